// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Where the link puts the input sections of start-up's code, beyond the
// order, and the sequence of code that the order gives the link.
#pragma once

#include "map.hpp"
#include "reach.hpp"
#include "touched.hpp"
#include "variants.hpp"

#include <cstdint>
#include <string>
#include <vector>

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
Placement place(const std::vector<InputSection> &sections, const Variants &variants, const Touched &touched,
		const Reached &reached);

// The code's order, which the link lays out section by section, each where
// its first function is, and which place() measures: each function
// executed or reached but the variants and the placed sections', in the
// program's own address order, so that the order says which sections lie
// together and nothing about the path one processor took among them; then
// every variant of each family run, level by level from the highest down
// and then by address, so that what one processor runs lies together, the
// most recent processors' next to the code (the same whichever variant this
// processor ran), with placement's tails, tail by tail, after those of level
// tails_after; then the functions of placement's unrun sections.
SymbolList code_sequence(const Variants &variants, const Touched &touched, const Reached &reached,
			 const Placement &placement);
