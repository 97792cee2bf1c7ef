// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The input sections of a link, as lld's map of it (-Map) lists them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// One input section where the link put it, and the alignment it asks for:
// file as the map names it ("libc.a(dl-load.o)" for an archive's member),
// section as the file does.
struct InputSection {
	uint64_t addr, size, align;
	std::string file, section;
};

struct MapError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// Every input section of at least a byte that text maps, by address; throws
// MapError naming the first line that is not a map's.
std::vector<InputSection> read_map(std::string_view text);

// An input section's name as a linker script's pattern names it
// ("libc.a:dl-load.o(.text)" for the map's "libc.a(dl-load.o)"), or "" where
// a character of it would need quoting.
std::string script_pattern(const InputSection &s);

// The input section of sections, by address, that addr lies in, or null.
const InputSection *section_at(const std::vector<InputSection> &sections, uint64_t addr);
