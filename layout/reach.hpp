// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What another processor's path through the same code may run and read in
// this one's place: another vendor's cache set-up, another variant.
#pragma once

#include "elf.hpp"
#include "symbols.hpp"
#include "touched.hpp"
#include "variants.hpp"

// The functions that the functions run and every variant of the families
// run call directly, down to depth calls, but those run; the read-only
// objects all of them name by address; and the variants that the code run
// or reached, but the variants, calls directly, by name rather than through
// its resolver, which may run on every processor, and are placed and
// foreseen as that code's own (see common_code()).
struct Reached {
	SymbolSet functions, constants, by_name;
};
Reached reach(const Touched &touched, const Elf &elf, const Symbols &symbols, const Variants &variants, int depth);
