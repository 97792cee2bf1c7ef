# Run by cmake --install after every other install rule: records each file
# just installed, with the DESTDIR it went under and its SHA-256, in
# greet-installed.txt, from which uninstall.cmake removes what this build
# installed and nothing else.
cmake_policy(VERSION 3.20)
set(installed "${greet_build_dir}/greet-installed.txt")
# cmake writes its own install_manifest.txt after this. Unlinking the one a
# sudo install left, owned by root, lets the user's next install or cpack
# write it again.
file(REMOVE "${greet_build_dir}/install_manifest.txt")
# cpack stages each package by installing into its own folder: not an
# install that anyone will undo.
if("$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}" MATCHES "/_CPack_Packages/")
	return()
endif()

# Recorded and matched as an absolute path without a trailing slash, however given.
set(destdir "$ENV{DESTDIR}")
if(destdir)
	get_filename_component(destdir "${destdir}" ABSOLUTE)
endif()
set(lines "")
set(keys "")
foreach(path IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
	file(SHA256 "${destdir}${path}" hash)
	list(APPEND lines "${hash}\t${destdir}\t${path}")
	list(APPEND keys "${destdir}\t${path}")
endforeach()
# What earlier installs recorded stays, unless this one has just replaced it.
if(EXISTS "${installed}")
	file(STRINGS "${installed}" earlier)
	foreach(line IN LISTS earlier)
		string(SUBSTRING "${line}" 65 -1 key)
		if(NOT key IN_LIST keys)
			list(APPEND lines "${line}")
		endif()
	endforeach()
endif()
list(JOIN lines "\n" text)
# Renamed into place, so that a failed write never loses the record.
file(WRITE "${installed}.new" "${text}\n")
file(RENAME "${installed}.new" "${installed}")
