// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "variants.hpp"

#include "access.hpp"

#include <elf.h>

#include <algorithm>

Variants find_variants(const Elf &elf, const Symbols &symbols)
{
	Variants found;
	for (uint64_t resolver : elf.resolvers) {
		const Symbol *r = symbols.owner(resolver);
		if (!r || !r->code || r->addr != resolver)
			continue;
		for (uint64_t addr : references(elf.bytes_at(r->addr, r->size, PF_R | PF_X), r->addr).data)
			if (const Symbol *v = symbols.owner(addr); v && v->code && v->addr == addr) {
				// A variant that several resolvers name is decoded once.
				auto [it, first] = found.try_emplace(v);
				if (first)
					it->second.level = level(elf.bytes_at(v->addr, v->size, PF_R | PF_X));
				it->second.families.insert(r->name);
			}
	}
	return found;
}

Variants level_by_section(Variants variants, const std::vector<InputSection> &sections)
{
	std::map<const InputSection *, int> highest;
	for (auto &[v, variant] : variants)
		if (const InputSection *s = section_at(sections, v->addr))
			highest[s] = std::max(highest[s], variant.level);
	for (auto &[v, variant] : variants)
		if (const InputSection *s = section_at(sections, v->addr))
			variant.level = highest[s];
	return variants;
}

std::map<std::string, std::set<std::string>> families_run(const Variants &variants, const SymbolSet &executed)
{
	std::map<std::string, std::set<std::string>> run;
	for (auto *e : executed)
		if (auto it = variants.find(e); it != variants.end())
			for (auto &f : it->second.families)
				run[f].insert(e->name);
	return run;
}

SymbolSet variants_of_families_run(const Variants &variants, const SymbolSet &executed, const SymbolSet &by_name)
{
	const auto run = families_run(variants, executed);
	SymbolSet all;
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (run.count(f) && !by_name.count(v))
				all.insert(v);
	return all;
}

bool common_code(const Variants &variants, const SymbolSet &by_name, const Symbol *f)
{
	return !variants.count(f) || by_name.count(f);
}
