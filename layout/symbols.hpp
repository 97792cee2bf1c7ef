// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The index of a program's functions and objects by address.
#pragma once

#include "elf.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using SymbolList = std::vector<const Symbol *>;
// Whether a comes before b by address, then by name.
bool by_addr(const Symbol *a, const Symbol *b);

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
