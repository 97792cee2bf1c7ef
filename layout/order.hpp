// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The symbols of a program, and the link order made from what a run of it
// touched.
#pragma once

#include "access.hpp"
#include "elf.hpp"
#include "map.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// A page, and the window of 16 pages that the kernel's fault-around maps on
// one fault: start-up costs one fault for each window of code it runs and
// each page it writes.
constexpr unsigned page_shift = 12, window_shift = 16;

// Where each address lies: of several names for one address, the first
// defined once, by name. Not copyable: it points into its own storage.
class Symbols {
public:
	explicit Symbols(const std::vector<Symbol> &all);
	Symbols(const Symbols &) = delete;
	Symbols &operator=(const Symbols &) = delete;
	// The function or object that addr lies in, or null.
	const Symbol *owner(uint64_t addr) const;
	// Each function or object that [addr, addr + size) overlaps, by address.
	std::vector<const Symbol *> overlapping(uint64_t addr, uint64_t size) const;
	// Whether name is defined once, so that the linker knows which is meant.
	bool unique(const std::string &name) const;

private:
	std::vector<Symbol> sorted;
	std::vector<const Symbol *> spans;
	std::map<std::string, int> defined;
};

// The string functions' variants, each with its families and the x86-64
// level its code needs: every function that an IFUNC resolver (as the
// IRELATIVE relocations give them) names by address is a variant of that
// resolver's family, known by the resolver's name. Read from the program's
// own code, so that whatever a C library calls its variants, and whichever
// this processor picks, they are the same.
struct Variant {
	int level;
	std::set<std::string> families;
	bool by_name = false; // see reach()
};
using Variants = std::map<const Symbol *, Variant>;
Variants find_variants(const Elf &elf, const Symbols &symbols);
// A variant's input section goes where the highest of the variants in it
// goes: each takes that level (a jump stub among AVX code needs no AVX).
void level_by_section(Variants &variants, const std::vector<InputSection> &sections);

// What a run touched: the functions executed and those reached from them
// (below), the objects of the writable segments written and read, and the
// constants: the objects of the read-only segment read or named.
struct Touched {
	std::set<const Symbol *> executed, reached, written, read, constants;
};

// What the instruction at regs.rip, run with regs, read and wrote, by its
// operands, as every object of the program each access overlaps; an object
// of no writable segment counts only as a constant read. The variants' own
// accesses are passed over: they differ from one variant, and so from one
// processor, to the next.
void record(Touched &run, const Elf &elf, const Symbols &symbols, const Variants &variants,
	    const user_regs_struct &regs);

// The families of string function that ran, each with the variants that did.
std::map<std::string, std::set<std::string>> variants_run(const Variants &variants, const Touched &run);

// What another processor's path through the same code may run and read in
// this one's place (another vendor's cache set-up, another variant): the
// functions that the functions run and every variant of the families run
// call directly, down to depth calls, go to run.reached, and the read-only
// objects all of them name by address to run.constants. A variant that the
// code run or reached, but the variants, calls directly, by name rather than
// through its resolver, may run on every processor: it is marked by_name and
// goes to run.reached too, and is placed and foreseen as that code's own.
void reach(Touched &run, const Elf &elf, const Symbols &symbols, Variants &variants, int depth);

// Where the link puts the input sections of the code run and reached, but
// the variants', beyond the order. A read of one byte of code maps its
// whole window, so what matters is the span from the first byte run to the
// last, and a run at each level needs the variants of its level alone:
//   unrun  a section whose code was reached and none run goes last, after
//          everything, where another processor that runs it still finds it
//          with the rest;
//   tails  a section whose code run is a short head of a long section goes
//          after the variants of the levels from the highest down to
//          tails_after, the longest cold tail last: as far down as the
//          highest level loses no window by it;
//   lead   the section whose code run starts furthest into it goes in front
//          of .init, its cold head ending where a window starts (see
//          lead_script()).
struct Placement {
	std::vector<const InputSection *> unrun, tails;
	int tails_after = 1;
	const InputSection *lead = nullptr;
	uint64_t lead_head = 0;
};
// The shortest cold head or tail worth placing, and how much of a tail's
// section, at least, is cold.
constexpr uint64_t long_cold = 1024;
constexpr uint64_t cold_share_of_tail = 4;
Placement place(const std::vector<InputSection> &sections, const Variants &variants, const Touched &run);
// The linker script that puts placement's lead in front of .init, or one
// that puts nothing there; see greet.ld.
std::string lead_script(const Placement &placement);

// What a run at an x86-64 level (1 to 4) touches of the code, as far as
// run tells: the functions run but the variants, and of each family run the
// variants of the highest level up to that level that it has, which such a
// processor picks among. The windows, and the bytes from the end of the
// last of that code to its window's end, by which the code may grow before
// it takes another window.
struct CodeWindows {
	size_t windows;
	uint64_t spare;
};
CodeWindows code_windows_at(int level, const Touched &run, const Variants &variants);

// For lld's --symbol-ordering-file, one name a line:
//   code      each function executed or reached but the variants and
//             the placed sections', in the program's own address order, so
//             that the order says which sections lie together and nothing
//             about the path one processor took among them;
//   variants  every variant of each string function family run, level by
//             level from the highest down and then by address, so that what
//             one processor runs lies together, the most recent processors'
//             next to the code: the same whichever variant this processor
//             ran; placement's tails, tail by tail, after those of level
//             tails_after;
//   unrun     the functions of placement's unrun sections;
//   written   each object written, smallest first, so that a large one
//             written in part does not push the small ones onto a page of
//             their own;
//   read      each writable object only read, then each constant, in
//             address order.
std::vector<std::string> make_order(const Symbols &symbols, const Variants &variants, const Touched &run,
				    const Placement &placement = {});
