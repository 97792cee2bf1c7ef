// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Any bytes, read as a program (GREET_FUZZ_ELF) or as lld's map, give what
// the reader makes of them or its own reason: never a crash, another
// exception or a read past their end.
#include "elf.hpp"
#include "map.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string_view bytes(reinterpret_cast<const char *>(data), size);
	try {
#ifdef GREET_FUZZ_ELF
		read_elf(bytes);
#else
		read_map(bytes);
#endif
	} catch (const ElfError &) {
	} catch (const MapError &) {
	}
	return 0;
}
