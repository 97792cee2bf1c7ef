# Run by cpack in its staging tree before each package is made: drops the
# sections that a packaged binary does not need, as Debian's packaging tools
# do, gives the .deb the files and layout that Debian's policy asks of it,
# and the tarball its license.
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
execute_process(COMMAND "${CPACK_GREET_STRIP}" --remove-section=.comment --remove-section=.note
	"${usr}/bin/greet" COMMAND_ERROR_IS_FATAL ANY)
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The license asks to go with every copy.
if(CPACK_GENERATOR STREQUAL "DEB")
	configure_file("${CPACK_RESOURCE_FILE_LICENSE}" "${doc}/copyright" COPYONLY ${mode})
	configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${doc}/changelog" @ONLY ${mode})
	execute_process(COMMAND gzip -9nf "${doc}/changelog" "${usr}/${CPACK_GREET_MANDIR}/man1/greet.1"
		COMMAND_ERROR_IS_FATAL ANY)
	if(CPACK_GREET_STATIC)
		configure_file("${CMAKE_CURRENT_LIST_DIR}/lintian-overrides"
			"${usr}/share/lintian/overrides/${CPACK_PACKAGE_NAME}" COPYONLY ${mode})
	endif()
else()
	configure_file("${CPACK_RESOURCE_FILE_LICENSE}" "${doc}/LICENSE" COPYONLY ${mode})
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
