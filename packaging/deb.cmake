# Run by cpack in its staging tree before each package is made: drops the
# sections that a packaged binary does not need, as Debian's packaging tools
# do, and gives the .deb the files and layout that Debian's policy asks of it.
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
execute_process(COMMAND "${CPACK_GREET_STRIP}" --remove-section=.comment --remove-section=.note
	"${usr}/bin/greet" COMMAND_ERROR_IS_FATAL ANY)
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The license asks to go with every copy.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
	configure_file("${CPACK_RESOURCE_FILE_LICENSE}" "${doc}/LICENSE" COPYONLY ${mode})
	return()
endif()

configure_file("${CPACK_RESOURCE_FILE_LICENSE}" "${doc}/copyright" COPYONLY ${mode})
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog" "${doc}/changelog" COPYONLY ${mode})
execute_process(COMMAND gzip -9nf "${doc}/changelog" "${usr}/${CPACK_GREET_MANDIR}/man1/greet.1"
	COMMAND_ERROR_IS_FATAL ANY)
if(CPACK_GREET_STATIC)
	configure_file("${CMAKE_CURRENT_LIST_DIR}/lintian-overrides"
		"${usr}/share/lintian/overrides/${CPACK_PACKAGE_NAME}" COPYONLY ${mode})
endif()
