// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What the link is given: the order made from what a run touched and
// reaches, and the linker script that places the lead.
#pragma once

#include "place.hpp"
#include "reach.hpp"
#include "symbols.hpp"
#include "touched.hpp"
#include "variants.hpp"

#include <string>
#include <vector>

// For lld's --symbol-ordering-file, one name a line, of those the linker
// can tell apart:
//   code      the code's sequence (see code_sequence());
//   written   each object written, smallest first, so that a large one
//             written in part does not push the small ones onto a page of
//             their own;
//   read      each writable object only read, then each constant, in
//             address order.
std::vector<std::string> make_order(const Symbols &symbols, const Variants &variants, const Touched &touched,
				    const Reached &reached, const Placement &placement);
// The linker script that puts placement's lead in front of .init, or one
// that puts nothing there; see greet.ld.
std::string lead_script(const Placement &placement);
