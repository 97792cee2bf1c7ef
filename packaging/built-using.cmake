# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# cmake [-DCXX=COMPILER] -P packaging/built-using.cmake
# Prints the Built-Using value of a static greet that COMPILER links ($CXX,
# or c++, where not given): the Debian source, at its exact version, of each
# static library the link embeds, as a package of greet names them. Included
# by the .deb's build, with CPACK_GREET_CXX set, it sets built_using alone.
if(NOT CPACK_GREET_CXX)
	if(CXX)
		set(CPACK_GREET_CXX "${CXX}")
	elseif(DEFINED ENV{CXX})
		set(CPACK_GREET_CXX "$ENV{CXX}")
	else()
		set(CPACK_GREET_CXX c++)
	endif()
endif()
# What no package owns is said when a package is staged, and would be taken
# for the value here.
set(embedded_quiet ON)
include("${CMAKE_CURRENT_LIST_DIR}/embedded.cmake")
set(built_using "")
foreach(name IN LISTS embedded)
	list(APPEND built_using ${${name}_sources})
endforeach()
list(REMOVE_DUPLICATES built_using)
list(JOIN built_using ", " built_using)
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
	# A value that leaves a library out would go into a package unseen.
	if(unowned)
		list(JOIN unowned ", " unowned)
		message(FATAL_ERROR "greet: built-using: no Debian package owns what ${CPACK_GREET_CXX} links statically: ${unowned}")
	endif()
	execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${built_using}")
endif()
