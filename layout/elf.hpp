// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// A checked view of an ELF64 x86-64 file held in memory: every offset, size,
// count and index is checked against the file before it is used, so that
// any bytes at all give a view or an error, never a read past their end.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct Segment {
	uint32_t type, flags;
	uint64_t offset, vaddr, filesz, memsz;

	// Whether it is loaded and the program may write it; may only read it.
	bool writable() const;
	bool read_only() const;
};

struct Section {
	std::string name;
	uint32_t type;
	uint64_t flags, addr, offset, size;
};

// A defined function or object of the symbol table, with its size; a local
// one is its own source file's (a hidden one, which the link also makes
// local, is not).
struct Symbol {
	uint64_t addr, size;
	std::string name;
	bool code;
	bool local = false;
};

struct Elf {
	std::string_view file;
	uint16_t type;
	std::vector<Segment> segments;
	std::vector<Section> sections;
	std::vector<Symbol> symbols;
	// The IFUNC resolvers that start-up calls, from the IRELATIVE relocations.
	std::vector<uint64_t> resolvers;

	// Whether the kernel starts it without a loader and it relocates nothing.
	bool static_executable() const;
	// The loaded segment whose memory holds addr, or null.
	const Segment *segment_at(uint64_t addr) const;
	// Whether addr lies in a segment that is neither writable nor executable.
	bool in_read_only_segment(uint64_t addr) const;
	// The file's bytes at addr, up to max, where a loaded segment maps addr
	// from the file with the flags asked for; empty where none does.
	std::string_view bytes_at(uint64_t addr, uint64_t max, uint32_t flags) const;
};

struct ElfError : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// The view of file, which must outlive it; throws ElfError saying what is wrong.
Elf read_elf(std::string_view file);
