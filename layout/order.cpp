// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "order.hpp"

#include <algorithm>

namespace {

using SymbolList = std::vector<const Symbol *>;

bool by_addr(const Symbol *a, const Symbol *b)
{
	return a->addr != b->addr ? a->addr < b->addr : a->name < b->name;
}

// The code and the variants, placed as make_order() says.
SymbolList code_order(const Variants &variants, const Touched &touched, const Reached &reached,
		      const Placement &placement)
{
	// The code by placed section, that of none first.
	std::vector<const InputSection *> placed = placement.tails;
	placed.insert(placed.end(), placement.unrun.begin(), placement.unrun.end());
	std::vector<SymbolList> code(placed.size() + 1);
	for (auto *group : {&touched.executed, &reached.functions})
		for (auto *f : *group)
			if (common_code(variants, reached.by_name, f)) {
				const auto in = std::find_if(placed.begin(), placed.end(),
							     [&](auto *s) { return f->addr - s->addr < s->size; });
				code[in == placed.end() ? 0 : static_cast<size_t>(in - placed.begin()) + 1].push_back(
					f);
			}
	for (auto &part : code)
		std::sort(part.begin(), part.end(), by_addr);
	const SymbolSet all = variants_of_families_run(variants, touched.executed, reached.by_name);
	SymbolList run_variants(all.begin(), all.end());
	std::sort(run_variants.begin(), run_variants.end(), [&](const Symbol *a, const Symbol *b) {
		int la = variants.at(a).level, lb = variants.at(b).level;
		return la != lb ? la > lb : by_addr(a, b);
	});
	const auto lower = std::find_if(run_variants.begin(), run_variants.end(),
					[&](const Symbol *v) { return variants.at(v).level < placement.tails_after; });
	SymbolList order = code[0];
	order.insert(order.end(), run_variants.begin(), lower);
	for (size_t i = 0; i < placement.tails.size(); i++)
		order.insert(order.end(), code[i + 1].begin(), code[i + 1].end());
	order.insert(order.end(), lower, run_variants.end());
	for (size_t i = placement.tails.size(); i < placed.size(); i++)
		order.insert(order.end(), code[i + 1].begin(), code[i + 1].end());
	return order;
}

// The objects written, then those only read, as make_order() says.
SymbolList data_order(const Touched &touched, const Reached &reached)
{
	SymbolList order(touched.written.begin(), touched.written.end());
	std::sort(order.begin(), order.end(), [](const Symbol *a, const Symbol *b) {
		return a->size != b->size ? a->size < b->size : by_addr(a, b);
	});
	SymbolSet constants = touched.constants;
	constants.insert(reached.constants.begin(), reached.constants.end());
	const SymbolSet *const only_read[] = {&touched.read, &constants};
	for (auto *group : only_read) {
		SymbolList read;
		for (auto *s : *group)
			if (!touched.written.count(s))
				read.push_back(s);
		std::sort(read.begin(), read.end(), by_addr);
		order.insert(order.end(), read.begin(), read.end());
	}
	return order;
}

} // namespace

std::vector<std::string> make_order(const Symbols &symbols, const Variants &variants, const Touched &touched,
				    const Reached &reached, const Placement &placement)
{
	std::vector<std::string> order;
	for (const SymbolList &part : {code_order(variants, touched, reached, placement), data_order(touched, reached)})
		for (auto *s : part)
			if (symbols.unique(s->name))
				order.push_back(s->name);
	return order;
}
