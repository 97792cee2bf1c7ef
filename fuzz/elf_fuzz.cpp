// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Any bytes, read as a program, give a view or the view's own reason: never
// a crash, another exception or a read past their end.
#include "elf.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	try {
		const Elf elf = read_elf(std::string_view(reinterpret_cast<const char *>(data), size));
		for (auto &s : elf.segments)
			elf.bytes_at(s.vaddr, s.filesz, s.flags);
	} catch (const ElfError &) {
	}
	return 0;
}
