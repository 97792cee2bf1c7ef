// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "reach.hpp"

#include "access.hpp"

#include <elf.h>

Reached reach(const Touched &touched, const Elf &elf, const Symbols &symbols, const Variants &variants, int depth)
{
	Reached reached;
	SymbolSet functions = touched.executed, seen;
	functions.merge(variants_of_families_run(variants, touched.executed, {}));
	for (; depth >= 0 && !functions.empty(); depth--) {
		SymbolSet callees;
		for (auto *f : functions) {
			seen.insert(f);
			if (!touched.executed.count(f))
				reached.functions.insert(f);
			const References r = references(elf.bytes_at(f->addr, f->size, PF_R | PF_X), f->addr);
			for (uint64_t addr : r.data)
				if (const Symbol *s = symbols.owner(addr);
				    s && !s->code && elf.in_read_only_segment(addr))
					reached.constants.insert(s);
			for (uint64_t addr : depth > 0 ? r.calls : std::vector<uint64_t>()) {
				const Symbol *s = symbols.owner(addr);
				if (s && s->code && variants.count(s) && !variants.count(f))
					reached.by_name.insert(s);
				else if (s && s->code && s->local && !seen.count(s))
					callees.insert(s);
			}
		}
		functions = callees;
	}
	for (auto *v : reached.by_name)
		if (!touched.executed.count(v))
			reached.functions.insert(v);
	return reached;
}
