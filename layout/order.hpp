// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The link order made from what a run touched and reaches.
#pragma once

#include "place.hpp"
#include "reach.hpp"
#include "symbols.hpp"
#include "touched.hpp"
#include "variants.hpp"

#include <string>
#include <vector>

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
std::vector<std::string> make_order(const Symbols &symbols, const Variants &variants, const Touched &touched,
				    const Reached &reached, const Placement &placement);
