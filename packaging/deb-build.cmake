# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# Run by cpack after each package is made. Each .deb is built again by
# dpkg-deb from what cpack packed, so that its container is Debian's own
# (member modes and order whatever the packer's umask), and the static
# greet's gets the Built-Using field that names the sources it embeds, as
# Debian's policy asks of a package that incorporates other packages' code.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
	if(NOT deb MATCHES "\\.deb$")
		continue()
	endif()
	set(tree "${deb}.tree")
	file(REMOVE_RECURSE "${tree}")
	execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
	# The two folders that extracting makes take the umask; the rest keep
	# the modes packed.
	file(CHMOD "${tree}" "${tree}/DEBIAN" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
		GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
	if(CPACK_GREET_STATIC)
		include("${CMAKE_CURRENT_LIST_DIR}/built-using.cmake")
		if(built_using)
			file(READ "${tree}/DEBIAN/control" control)
			string(REGEX REPLACE "\n+$" "" control "${control}")
			file(WRITE "${tree}/DEBIAN/control" "${control}\nBuilt-Using: ${built_using}\n")
		endif()
	endif()
	execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}"
		OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
	file(REMOVE_RECURSE "${tree}")
endforeach()
