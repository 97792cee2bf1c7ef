# SPDX-FileCopyrightText: 2026 The greet developers
# SPDX-License-Identifier: MIT
# CPack's source package, run by cpack --config CPackSourceConfig.cmake (the
# package_source target): the release that source-release makes of what git
# tracks, in place of a copy of whatever lies in the tree.
execute_process(COMMAND "${CPACK_GREET_SOURCE_DIR}/packaging/source-release" "${CPACK_GREET_SOURCE_DIR}"
	"${CPACK_SOURCE_PACKAGE_FILE_NAME}" "${CPACK_GREET_BINARY_DIR}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
	message(FATAL_ERROR "greet: no source release made")
endif()
