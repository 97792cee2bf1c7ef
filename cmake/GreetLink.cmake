# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# How greet is linked. Start-up is all greet costs: static, there is no
# loader and no shared library to map, and unused sections go; with lld, a
# linker script of our own places what start-up touches, each segment on
# pages of its own; with Zydis, greet-trace traces start-up for the order.
# Sets GREET_X86_64, and GREET_LINKED_STATIC, GREET_LAYOUT and GREET_ORDERED,
# each ON where the toolchain has what it takes, says in one line what is
# missing and what that costs, and defines greet_link().
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)
check_pie_supported()
# The layout and its tracer are made for x86-64 alone: its code windows, the
# registers the tracer reads and the processor features variants are judged
# by; so is the benchmark's limit program.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
	set(GREET_X86_64 ON)
else()
	set(GREET_X86_64 OFF)
endif()

# One order a configuration, with the script that places its lead section
# and the maps of the links: each is traced from its own build.
get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(multi_config)
	set(GREET_LAYOUT_DIR ${PROJECT_BINARY_DIR}/layout/$<CONFIG>)
else()
	set(GREET_LAYOUT_DIR ${PROJECT_BINARY_DIR}/layout)
endif()
set(GREET_ORDER_FILE ${GREET_LAYOUT_DIR}/greet.order)
set(GREET_LEAD_SCRIPT ${GREET_LAYOUT_DIR}/greet-lead.ld)
# The traced run's whole environment. A processor-feature mask that names no
# feature masks nothing, but takes the same path through start-up as any
# mask (its parser compares names with a string function's variant, called
# by name), so that the tests can stand in for other processors by adding
# features to mask and get this very order.
set(GREET_TRACE_ENV GLIBC_TUNABLES=glibc.cpu.hwcaps=-NO_SUCH_FEATURE)

# Links target as greet is: statically where greet is, in the start-up
# layout, and in the order traced from greet's start-up unless UNORDERED is
# given; PLAIN links it statically without the layout, DYNAMIC the ordinary
# way. In the layout, the link's map is GREET_LAYOUT_DIR/target.map.
function(greet_link target)
	cmake_parse_arguments(PARSE_ARGV 1 arg "DYNAMIC;UNORDERED;PLAIN" "" "")
	target_link_libraries(${target} PRIVATE greet_hardening)
	if(arg_DYNAMIC OR NOT GREET_LINKED_STATIC)
		set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
	elseif(arg_PLAIN)
		target_link_libraries(${target} PRIVATE greet_plain_link)
	else()
		target_link_libraries(${target} PRIVATE greet_static_link)
	endif()
	if(GREET_ORDERED AND NOT arg_DYNAMIC AND NOT arg_PLAIN AND NOT arg_UNORDERED)
		add_dependencies(${target} greet_order)
		# A name of greet's that another program lacks is no fault, nor a
		# lead section it does not link. The lead script comes before
		# greet.ld, which reads what it defines.
		target_link_options(${target} PRIVATE -Wl,--symbol-ordering-file=${GREET_ORDER_FILE}
			-Wl,--no-warn-symbol-ordering -Wl,-T,${GREET_LEAD_SCRIPT})
		set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${GREET_ORDER_FILE} ${GREET_LEAD_SCRIPT})
	endif()
	if(GREET_LAYOUT AND NOT arg_DYNAMIC AND NOT arg_PLAIN)
		set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/layout/greet.ld)
		target_link_options(${target} PRIVATE -Wl,-T,${PROJECT_SOURCE_DIR}/layout/greet.ld
			-Wl,-Map=${GREET_LAYOUT_DIR}/${target}.map)
	endif()
endfunction()

# The static link, and the plain static link for when the layout cannot be had.
add_library(greet_static_link INTERFACE)
add_library(greet_plain_link INTERFACE)
set(GREET_LINKED_STATIC OFF)
set(GREET_LAYOUT OFF)
set(GREET_ORDERED OFF)
# Whether a program that writes to std::cout links with the options given.
function(greet_can_link var)
	set(CMAKE_REQUIRED_LINK_OPTIONS ${ARGN})
	check_cxx_source_compiles("#include <iostream>\nint main() { std::cout << 1; }" ${var})
endfunction()
# Asked of a dynamic greet too: the benchmark's floor and limit link
# statically, and greet is compared with its plain static link.
set(static_link -static -Wl,--gc-sections)
greet_can_link(GREET_CAN_LINK_STATIC ${static_link})
if(NOT GREET_CAN_LINK_STATIC)
	if(GREET_STATIC)
		message(STATUS "greet: the toolchain cannot link statically; linking greet dynamically")
	endif()
	return()
endif()

# A static link takes crtbeginT.o, whose start-up registers .eh_frame with
# the unwinder, and from GCC 13 on that reads every unwind entry: 26 pages.
# crtbegin.o registers nothing; with --eh-frame-hdr the unwinder finds frames
# through the program headers instead, as it does in a dynamic program. The
# driver takes a crtbeginT.o from -B first.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crtbegin.o
	OUTPUT_VARIABLE crtbegin OUTPUT_STRIP_TRAILING_WHITESPACE)
if(IS_ABSOLUTE "${crtbegin}" AND EXISTS "${crtbegin}")
	configure_file(${crtbegin} ${PROJECT_BINARY_DIR}/crt/crtbeginT.o COPYONLY)
	list(APPEND static_link -B${PROJECT_BINARY_DIR}/crt/ -Wl,--eh-frame-hdr)
else()
	message(STATUS "greet: the compiler has no crtbegin.o; start-up registers the unwind tables")
endif()
target_link_options(greet_plain_link INTERFACE ${static_link})
if(NOT GREET_STATIC)
	return()
endif()
set(GREET_LINKED_STATIC ON)
target_link_options(greet_static_link INTERFACE ${static_link})

# What greet costs without the layout, measured on Debian 12 (README).
set(plain_cost "about 40 page faults a run instead of 20, and 1.2 times the time")
set(unordered_cost "about 37 page faults a run instead of 20")
set(install_hint "scripts/install-deps build installs lld and libzydis-dev")
if(NOT GREET_X86_64)
	message(STATUS "greet: the start-up layout is made for x86-64 alone, and this is ${CMAKE_SYSTEM_PROCESSOR}; linking greet statically without it")
	return()
endif()
if(NOT GREET_LLD)
	message(STATUS "greet: GREET_LLD is OFF, so greet links without its start-up layout: ${plain_cost}; configure with -DGREET_LLD=ON for it")
	return()
endif()
# Asked at every configure: lld may have come or gone since.
unset(GREET_CAN_LINK_LLD CACHE)
greet_can_link(GREET_CAN_LINK_LLD ${static_link} -fuse-ld=lld)
if(NOT GREET_CAN_LINK_LLD)
	message(STATUS "greet: no lld to link with, so greet links without its start-up layout: ${plain_cost}; ${install_hint}")
	return()
endif()
target_link_options(greet_static_link INTERFACE -fuse-ld=lld -Wl,-z,separate-loadable-segments)
set(GREET_LAYOUT ON)

# The tracer decodes each instruction it steps with Zydis.
if(CMAKE_CROSSCOMPILING)
	message(STATUS "greet: cross-compiling, so start-up cannot be traced here; linking without the start-up order")
	return()
endif()
find_package(zydis QUIET)
if(NOT zydis_FOUND)
	message(STATUS "greet: no Zydis (libzydis-dev) to trace start-up with, so greet links without its start-up order: ${unordered_cost}; ${install_hint}")
	return()
endif()
set(GREET_ORDERED ON)
