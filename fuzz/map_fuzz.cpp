// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Any text, read as lld's map, gives its input sections or the reader's own
// reason: never a crash, another exception or a read past its end.
#include "map.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	try {
		read_map(std::string_view(reinterpret_cast<const char *>(data), size));
	} catch (const MapError &) {
	}
	return 0;
}
