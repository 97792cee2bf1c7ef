# Run by cpack after each package is made. The .deb's members carry the
# modes that the packer's umask gave cpack's own intermediate files; each is
# set to 0644 here, as Debian's tools write them, so that one commit gives
# the same .deb under any umask.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
	if(NOT package MATCHES "\\.deb$")
		continue()
	endif()
	file(SIZE "${package}" size)
	set(header 8) # past "!<arch>\n"
	while(header LESS size)
		# A member's header: name 16, mtime 12, uid 6, gid 6, mode 8, size 10, "`\n".
		file(READ "${package}" fields OFFSET ${header} LIMIT 58)
		string(SUBSTRING "${fields}" 48 10 length)
		string(STRIP "${length}" length)
		math(EXPR mode "${header} + 40")
		execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
			"${package}" ${mode} COMMAND_ERROR_IS_FATAL ANY)
		math(EXPR header "${header} + 60 + ${length} + ${length} % 2")
	endwhile()
endforeach()
