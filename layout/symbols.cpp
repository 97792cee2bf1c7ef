// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "symbols.hpp"

#include <algorithm>

Symbols::Symbols(const std::vector<Symbol> &all)
{
	for (auto &s : all) {
		defined[s.name]++;
		if (s.size)
			sorted.push_back(s);
	}
	std::sort(sorted.begin(), sorted.end(), [&](const Symbol &a, const Symbol &b) {
		bool ua = unique(a.name), ub = unique(b.name);
		return a.addr != b.addr ? a.addr < b.addr : ua != ub ? ua : a.name < b.name;
	});
	for (auto &s : sorted)
		if (spans.empty() || spans.back()->addr != s.addr)
			spans.push_back(&s);
}

const Symbol *Symbols::owner(uint64_t addr) const
{
	auto it = std::upper_bound(spans.begin(), spans.end(), addr,
				   [](uint64_t a, const Symbol *s) { return a < s->addr; });
	if (it == spans.begin() || addr - (*--it)->addr >= (*it)->size)
		return nullptr;
	return *it;
}

std::vector<const Symbol *> Symbols::overlapping(uint64_t addr, uint64_t size) const
{
	std::vector<const Symbol *> found;
	if (const Symbol *first = owner(addr))
		found.push_back(first);
	// The rest start inside the range.
	auto it = std::upper_bound(spans.begin(), spans.end(), addr,
				   [](uint64_t a, const Symbol *s) { return a < s->addr; });
	for (; it != spans.end() && (*it)->addr - addr < size; ++it)
		found.push_back(*it);
	return found;
}

bool by_addr(const Symbol *a, const Symbol *b)
{
	return a->addr != b->addr ? a->addr < b->addr : a->name < b->name;
}

bool Symbols::unique(const std::string &name) const
{
	auto it = defined.find(name);
	return it != defined.end() && it->second == 1;
}
