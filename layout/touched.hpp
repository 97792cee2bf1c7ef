// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What a run touched, as the program's own functions and objects.
#pragma once

#include "elf.hpp"
#include "run.hpp"
#include "symbols.hpp"
#include "variants.hpp"

#include <cstdint>
#include <map>
#include <set>

// The windows of the code run, the functions executed, the objects of the
// writable segments written and read, and the constants: the objects of
// the read-only segment read.
struct Touched {
	std::set<uint64_t> code_windows;
	SymbolSet executed, written, read, constants;
};

// What the run's instructions ran, read and wrote, as every object of the
// program each access overlaps; an object of no writable segment counts
// only as a constant read. The variants' own accesses are passed over: they
// differ from one variant, and so from one processor, to the next.
Touched record(const Elf &elf, const Symbols &symbols, const Variants &variants, const Run &run);

// Each page of the writable segments whose bytes differ between exec (the
// file's bytes, then zeros) and the run's exit, with the end of what differs
// in it, as an offset into the page.
std::map<uint64_t, uint64_t> changed_pages(const Elf &elf, const Run &run);
// What the steps touched, with each object whose bytes so differ written.
Touched with_changed(Touched stepped, const Elf &elf, const Symbols &symbols, const Run &run);
