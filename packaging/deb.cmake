# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# Run by cpack in its staging tree before each package is made: drops the
# sections that a packaged binary does not need, as Debian's packaging tools
# do, gives the .deb the files and layout that Debian's policy asks of it,
# and the tarball its licenses.
# The source package holds no greet of its own.
if(CPACK_GENERATOR STREQUAL "External")
	return()
endif()
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
execute_process(COMMAND "${CPACK_GREET_STRIP}" --remove-section=.comment --remove-section=.note
	"${usr}/bin/greet" COMMAND_ERROR_IS_FATAL ANY)
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(release "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}")

# greet's license asks to go with every copy; so do those of the code that a
# static greet embeds, with the word of where its exact source is.
if(CPACK_GREET_STATIC)
	include("${CMAKE_CURRENT_LIST_DIR}/embedded.cmake")
endif()
# The GCC Runtime Library Exception, as the compiler's own package states it.
set(exception "")
if(CPACK_GREET_STATIC AND EXISTS "${gcc_runtime_copyright}")
	file(READ "${gcc_runtime_copyright}" text)
	string(REGEX MATCH "GCC RUNTIME LIBRARY EXCEPTION.*requirements of the license of GCC\\." exception "${text}")
endif()
if(CPACK_GREET_STATIC AND gcc_runtime_sources AND NOT exception)
	message(STATUS "greet: packaging: no copyright file of the compiler's states the GCC Runtime Library Exception; the packages point to it by name")
endif()

# One component of a static greet, in words: what, from which libraries, of
# which packages and sources.
function(describe name out)
	set(files "")
	foreach(library IN LISTS ${name}_libraries)
		get_filename_component(file "${library}" NAME)
		list(APPEND files "${file}")
	endforeach()
	list(JOIN files ", " files)
	set(what "${${name}_title} (${files}")
	if(${name}_sources)
		list(JOIN ${name}_packages ", " packages)
		list(JOIN ${name}_sources ", " sources)
		string(APPEND what " of ${packages}), Debian source ${sources}")
	else()
		list(JOIN ${name}_libraries ", " paths)
		string(APPEND what " at ${paths}, which no Debian package owns)")
	endif()
	set(${out} "${what}" PARENT_SCOPE)
endfunction()

if(CPACK_GENERATOR STREQUAL "DEB")
	# Debian's copyright-format 1.0. A license text's lines take one space in
	# front, an empty line becomes " .".
	function(indent text out)
		string(REGEX REPLACE "\n+$" "" text "${text}")
		string(REPLACE "\n\n" "\n.\n" text "${text}")
		string(REPLACE "\n\n" "\n.\n" text "${text}")
		string(REPLACE "\n" "\n " text " ${text}")
		set(${out} "${text}" PARENT_SCOPE)
	endfunction()
	file(READ "${CPACK_RESOURCE_FILE_LICENSE}" expat)
	string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" notice "${expat}")
	set(holder "${CMAKE_MATCH_1}")
	string(REGEX REPLACE "^.*\nPermission" "Permission" expat "${expat}")
	indent("${expat}" expat)
	set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}
Source: the source release ${release}.tar.gz

Files: *
Copyright: ${holder}
License: Expat
")
	set(licenses "\nLicense: Expat\n${expat}\n")
	if(CPACK_GREET_STATIC)
		string(APPEND copyright "
Files: usr/bin/greet
Copyright: ${holder}
 Free Software Foundation, Inc., and the other authors of ${c_library_title}
 Free Software Foundation, Inc., for ${gcc_runtime_title}
License: Expat and ${c_library_license} and ${gcc_runtime_license}
Comment: greet is linked statically: besides its own code, under Expat,
 usr/bin/greet holds parts of")
		foreach(name IN LISTS embedded)
			describe(${name} what)
			string(APPEND copyright "\n ${what}, under ${${name}_license};")
		endforeach()
		if(c_library_sources OR gcc_runtime_sources)
			string(APPEND copyright "\n the Debian archive keeps the exact sources named in Built-Using.\n")
		else()
			string(APPEND copyright "\n no Debian package says which sources those are.\n")
		endif()
		string(APPEND licenses "
License: ${c_library_license}
 This library is free software; you can redistribute it and/or modify it
 under the terms of the GNU Lesser General Public License as published by
 the Free Software Foundation; either version 2.1 of the License, or (at
 your option) any later version.
 .
 On Debian systems, the complete text of the GNU Lesser General Public
 License version 2.1 can be found in /usr/share/common-licenses/LGPL-2.1.

License: ${gcc_runtime_license}
 These libraries are free software; you can redistribute them and/or modify
 them under the terms of the GNU General Public License as published by the
 Free Software Foundation; either version 3, or (at your option) any later
 version, with the GCC Runtime Library Exception, version 3.1, which follows.
 .
 On Debian systems, the complete text of the GNU General Public License
 version 3 can be found in /usr/share/common-licenses/GPL-3.
")
		if(exception)
			indent("${exception}" quoted)
			string(APPEND licenses " .\n${quoted}\n")
		endif()
	endif()
	file(WRITE "${doc}/copyright" "${copyright}${licenses}")
	configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${doc}/changelog" @ONLY ${mode})
	execute_process(COMMAND gzip -9nf "${doc}/changelog" "${usr}/${CPACK_GREET_MANDIR}/man1/greet.1"
		COMMAND_ERROR_IS_FATAL ANY)
	if(CPACK_GREET_STATIC)
		configure_file("${CMAKE_CURRENT_LIST_DIR}/lintian-overrides"
			"${usr}/share/lintian/overrides/${CPACK_PACKAGE_NAME}" COPYONLY ${mode})
	endif()
else()
	configure_file("${CPACK_RESOURCE_FILE_LICENSE}" "${doc}/LICENSE" COPYONLY ${mode})
	if(CPACK_GREET_STATIC)
		# The license texts themselves, from this machine, and a note of what
		# is embedded and where its source is.
		set(notice "greet ${CPACK_PACKAGE_VERSION}, linked statically.

bin/greet holds greet's own code, under the MIT license (LICENSE), whose
source is the greet source release ${release}.tar.gz, and parts of:
")
		foreach(name IN LISTS embedded)
			describe(${name} what)
			string(APPEND notice "\n- ${what},\n  under ${${name}_terms};\n")
		endforeach()
		string(APPEND notice "
The LGPL 2.1 is in LGPL-2.1, the GPL 3 in GPL-3, and the GCC Runtime Library
Exception 3.1 in GCC-exception-3.1. The Debian archive keeps each Debian
source named above, at that version, for anyone to fetch (apt-get source).
")
		if(NOT c_library_sources AND NOT gcc_runtime_sources)
			string(REPLACE "The Debian archive keeps each Debian\nsource named above, at that version, for anyone to fetch (apt-get source).\n"
				"No Debian package says which sources those are.\n" notice "${notice}")
		endif()
		string(REPLACE ";\n\nThe" ".\n\nThe" notice "${notice}")
		file(WRITE "${doc}/NOTICE" "${notice}")
		foreach(license LGPL-2.1 GPL-3)
			if(EXISTS "/usr/share/common-licenses/${license}")
				configure_file("/usr/share/common-licenses/${license}" "${doc}/${license}" COPYONLY)
			else()
				message(STATUS "greet: packaging: this machine has no /usr/share/common-licenses/${license} to ship")
			endif()
		endforeach()
		if(exception)
			file(WRITE "${doc}/GCC-exception-3.1" "${exception}\n")
		endif()
	endif()
endif()

# Modes as Debian's policy has them, whoever packs and whatever their umask,
# so that one commit gives the same package everywhere.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS entries ITEMS "${CPACK_TEMPORARY_DIRECTORY}")
	if(IS_DIRECTORY "${entry}" OR entry MATCHES "/bin/[^/]+$")
		file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
			GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
	else()
		file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
	endif()
endforeach()
