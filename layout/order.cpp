// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "order.hpp"

#include "pages.hpp"

#include <algorithm>

namespace {

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
	for (const SymbolList &part :
	     {code_sequence(variants, touched, reached, placement), data_order(touched, reached)})
		for (auto *s : part)
			if (symbols.unique(s->name))
				order.push_back(s->name);
	return order;
}

std::string lead_script(const Placement &placement)
{
	std::string script = "/* Written by greet-trace, for the link before greet.ld: the input section\n"
			     "   whose code run starts furthest into it, if any, in front of .init, its\n"
			     "   cold head ending where a window starts. */\n";
	if (!placement.lead)
		return script;
	const std::string head = std::to_string(placement.lead_head);
	return script + "SECTIONS {\n  .text.lead ALIGN(. + " + head + ", " +
	       std::to_string(uint64_t{1} << window_shift) + ") - " + head + " : { " + script_pattern(*placement.lead) +
	       " }\n  greet_lead_end = .;\n} INSERT BEFORE .text;\n";
}
