// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The string functions' variants, each with its families and the x86-64
// level its code needs: every function that an IFUNC resolver (as the
// IRELATIVE relocations give them) names by address is a variant of that
// resolver's family, known by the resolver's name. Read from the program's
// own code, so that whatever a C library calls its variants, and whichever
// this processor picks, they are the same.
#pragma once

#include "elf.hpp"
#include "map.hpp"
#include "symbols.hpp"

#include <map>
#include <set>
#include <string>
#include <vector>

struct Variant {
	int level;
	std::set<std::string> families;
};
using Variants = std::map<const Symbol *, Variant>;
using SymbolSet = std::set<const Symbol *>;
Variants find_variants(const Elf &elf, const Symbols &symbols);
// The variants with each input section's variants at the highest level of
// them: a section goes where that level goes (a jump stub among AVX code
// needs no AVX).
Variants level_by_section(Variants variants, const std::vector<InputSection> &sections);

// Of the functions executed, the families of string function that ran,
// each with the names of its variants that did.
std::map<std::string, std::set<std::string>> families_run(const Variants &variants, const SymbolSet &executed);
// Every variant of each family that ran, whichever this processor ran, but
// those called by name (see reach()).
SymbolSet variants_of_families_run(const Variants &variants, const SymbolSet &executed, const SymbolSet &by_name);
// Whether f is code that every processor's path may run: no variant, or
// one called by name.
bool common_code(const Variants &variants, const SymbolSet &by_name, const Symbol *f);
