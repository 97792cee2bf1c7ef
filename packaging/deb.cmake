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

# Each component embedded, in words, after lead, and then mid and its
# license as its field gives it; each but the last ends with ";", the last
# with last.
function(list_embedded lead mid field last out)
	set(text "")
	foreach(name IN LISTS embedded)
		describe(${name} what)
		string(APPEND text "${lead}${what}${mid}${${name}_${field}};")
	endforeach()
	string(REGEX REPLACE "^\n+(.*);$" "\\1${last}" text "${text}")
	set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The template name filled in with the variables it names, without its
# trailing line ends.
function(filled name out)
	file(READ "${CMAKE_CURRENT_LIST_DIR}/${name}" text)
	string(CONFIGURE "${text}" text @ONLY)
	string(REGEX REPLACE "\n+$" "" text "${text}")
	set(${out} "${text}" PARENT_SCOPE)
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
	set(static_files "")
	set(static_licenses "")
	if(CPACK_GREET_STATIC)
		if(exception)
			indent("${exception}" exception)
			set(exception " .\n${exception}")
		endif()
		list_embedded("\n " ", under " license ";" parts)
		set(where_sources_are "no Debian package says which sources those are")
		if(c_library_sources OR gcc_runtime_sources)
			set(where_sources_are "the Debian archive keeps the exact sources named in Built-Using")
		endif()
		filled(copyright-static.in static_files)
		filled(licenses-static.in static_licenses)
		string(APPEND static_files "\n")
		string(PREPEND static_licenses "\n")
	endif()
	filled(copyright.in copyright)
	file(WRITE "${doc}/copyright" "${copyright}\n")
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
		list_embedded("\n\n- " ",\n  under " terms "." parts)
		set(where_sources_are "No Debian package says which sources those are.")
		if(c_library_sources OR gcc_runtime_sources)
			set(where_sources_are "The Debian archive keeps each Debian\nsource named above, at that version, for anyone to fetch (apt-get source).")
		endif()
		filled(NOTICE.in notice)
		file(WRITE "${doc}/NOTICE" "${notice}\n")
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
