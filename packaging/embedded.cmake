# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# Included by the package scripts of a static greet: what the link embedded
# besides greet's own code, as the toolchain in use says. For each component,
# the static libraries the compiler links (its own -print-file-name), the
# Debian package that owns each, and that package's source and version:
#   embedded              the components' names
#   <name>_libraries      the libraries' paths
#   <name>_packages       the owning binary packages
#   <name>_sources        "source (= version)" of each owner, as Built-Using
#                         has them; a library no package owns has none, and
#                         is then named by its path alone
#   <name>_license        the license, as copyright-format names it, and
#   <name>_terms          in words
#   <name>_copyright      the owner's copyright file, where there is one
# A library no package owns is said in one line, unless embedded_quiet is set.
set(embedded c_library gcc_runtime)
set(c_library_title "the GNU C Library")
set(c_library_archives libc.a)
set(c_library_license LGPL-2.1+)
set(c_library_terms "the GNU Lesser General Public License, version 2.1 or later")
set(gcc_runtime_title "the GCC runtime libraries")
set(gcc_runtime_archives libstdc++.a libgcc.a libgcc_eh.a)
set(gcc_runtime_license "GPL-3+ with GCC-exception-3.1 exception")
set(gcc_runtime_terms "the GNU General Public License, version 3 or later, with the GCC Runtime Library Exception 3.1")

set(unowned "")
foreach(name IN LISTS embedded)
	set(${name}_libraries "")
	set(${name}_packages "")
	set(${name}_sources "")
	set(${name}_copyright "")
	foreach(archive IN LISTS ${name}_archives)
		execute_process(COMMAND "${CPACK_GREET_CXX}" -print-file-name=${archive}
			OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
		if(NOT IS_ABSOLUTE "${path}")
			list(APPEND unowned "${archive}")
			list(APPEND ${name}_libraries "${archive}")
			continue()
		endif()
		file(REAL_PATH "${path}" path)
		list(APPEND ${name}_libraries "${path}")
		execute_process(COMMAND dpkg-query --search "${path}" OUTPUT_VARIABLE owner
			RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
		if(NOT status EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)")
			list(APPEND unowned "${path}")
			continue()
		endif()
		set(package "${CMAKE_MATCH_1}")
		execute_process(COMMAND dpkg-query --show "--showformat=\${source:Package} (= \${source:Version})"
			"${package}" OUTPUT_VARIABLE source COMMAND_ERROR_IS_FATAL ANY)
		list(APPEND ${name}_packages "${package}")
		list(APPEND ${name}_sources "${source}")
		if(EXISTS "/usr/share/doc/${package}/copyright")
			set(${name}_copyright "/usr/share/doc/${package}/copyright")
		endif()
	endforeach()
	list(REMOVE_DUPLICATES ${name}_packages)
	list(REMOVE_DUPLICATES ${name}_sources)
endforeach()
if(unowned AND NOT embedded_quiet)
	list(JOIN unowned ", " unowned)
	message(STATUS "greet: packaging: no Debian package owns ${unowned}; the packages name them by path, without a version")
endif()
