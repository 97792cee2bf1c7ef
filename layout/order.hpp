// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The symbols of a program, and the link order made from what a run of it
// touched.
#pragma once

#include "access.hpp"
#include "elf.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Where each address lies: of several names for one address, the first
// defined once, by name.
class Symbols {
public:
	explicit Symbols(const std::vector<Symbol> &all);
	// The function or object that addr lies in, or null.
	const Symbol *owner(uint64_t addr) const;
	// Whether name is defined once, so that the linker knows which is meant.
	bool unique(const std::string &name) const;
	const std::vector<Symbol> &sized() const { return sorted; }

private:
	std::vector<Symbol> sorted;
	std::vector<const Symbol *> spans;
	std::map<std::string, int> defined;
};

// A string function's variant, as its name says: __memset_avx2_unaligned_erms
// is __memset's, for AVX2. Empty for any other name.
struct Variant {
	std::string family, isa;
};
Variant variant(const std::string &name);
// Where the variants lie, by whichever of its names an address is known.
std::set<uint64_t> variant_addrs(const Symbols &symbols);

struct Touched {
	std::set<const Symbol *> executed, written, read, read_only;
};


// What the instruction at regs.rip, run with regs, read and wrote, by its
// operands, as objects of the program. The string functions' variants'
// own accesses are passed over: they differ from one variant, and so from
// one processor, to the next.
void record(Touched &run, const Elf &elf, const Symbols &symbols, const std::set<uint64_t> &variants,
	    const user_regs_struct &regs);

// The families of string function that ran, each with the variants that did.
std::map<std::string, std::set<std::string>> variants_run(const Symbols &symbols, const Touched &run);

// The read-only objects that the functions run, every variant of the string
// function families run, and the functions they branch to directly, down to
// depth branches, name by address: what another path through the same code,
// on another processor, may read.
std::set<const Symbol *> named_read_only(const Elf &elf, const Symbols &symbols, const Touched &run, int depth);

// For lld's --symbol-ordering-file, one name a line:
//   code      each function executed but the string functions' variants, in
//             the program's own address order, so that the order says which
//             sections lie together and nothing about the path one
//             processor took among them;
//   variants  every variant of each string function family executed, ISA by
//             ISA, SSE2 first since some code calls those by name: the same
//             whichever variant this processor ran;
//   written   each object written, smallest first, so that a large one
//             written in part does not push the small ones onto a page of
//             their own;
//   read      each writable object only read, then each read-only one, in
//             address order.
std::vector<std::string> make_order(const Symbols &symbols, const Touched &run);
