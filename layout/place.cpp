// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "place.hpp"

#include "access.hpp"
#include "pages.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace {

// Each section's code run and reached, but the variants', as the first
// byte and the end of it.
using HotCode = std::map<const InputSection *, std::pair<uint64_t, uint64_t>>;

HotCode hot_code(const std::vector<InputSection> &sections, const Variants &variants, const Touched &touched,
		 const Reached &reached)
{
	HotCode hot;
	for (auto *group : {&touched.executed, &reached.functions})
		for (auto *f : *group)
			if (const InputSection *s = section_at(sections, f->addr);
			    s && common_code(variants, reached.by_name, f)) {
				const uint64_t end = std::min(f->addr + f->size, s->addr + s->size);
				auto [it, first] = hot.try_emplace(s, f->addr, end);
				it->second = {std::min(it->second.first, f->addr), std::max(it->second.second, end)};
			}
	return hot;
}

// The windows the code takes, laid out as the link lays out the sections
// of sequence, each where its first function is, from the window where it
// starts (the lead's code run first), through the code run in the last tail.
uint64_t windows_through_tails(const std::vector<InputSection> &sections, const std::vector<const Symbol *> &sequence,
			       const Placement &placement, const HotCode &hot)
{
	std::set<const InputSection *> laid = {placement.lead};
	uint64_t at = placement.lead ? placement.lead->size - placement.lead_head : 0;
	for (auto *f : sequence) {
		const InputSection *s = section_at(sections, f->addr);
		if (!s || !laid.insert(s).second)
			continue;
		const bool last = s == placement.tails.back();
		const uint64_t align = std::max<uint64_t>(s->align, 1);
		at = (at + align - 1) / align * align + (last ? hot.at(s).second - s->addr : s->size);
		if (last)
			break;
	}
	return (at + (uint64_t{1} << window_shift) - 1) >> window_shift;
}

// The lowest level whose variants, and those of the levels above, the
// tails may follow without the highest level's run taking another window.
int tails_after(Placement placement, const std::vector<InputSection> &sections, const HotCode &hot,
		const Variants &variants, const Touched &touched, const Reached &reached)
{
	if (placement.tails.empty())
		return 1;
	const auto windows = [&](int level) {
		placement.tails_after = level;
		return windows_through_tails(sections, code_sequence(variants, touched, reached, placement), placement,
					     hot);
	};
	const uint64_t highest = windows(most_level);
	int level = most_level;
	while (level > 1 && windows(level - 1) == highest)
		level--;
	return level;
}

} // namespace

Placement place(const std::vector<InputSection> &sections, const Variants &variants, const Touched &touched,
		const Reached &reached)
{
	std::set<const InputSection *> ran;
	for (auto *f : touched.executed)
		ran.insert(section_at(sections, f->addr));
	Placement placement;
	std::vector<std::pair<uint64_t, const InputSection *>> tails;
	const HotCode hot = hot_code(sections, variants, touched, reached);
	// By address, so that of equals the first is taken.
	for (auto &[s, extent] : hot) {
		const uint64_t head = extent.first - s->addr, tail = s->addr + s->size - extent.second;
		if (!ran.count(s))
			placement.unrun.push_back(s);
		else if (tail >= long_cold && tail * cold_share_of_tail >= s->size * (cold_share_of_tail - 1))
			tails.emplace_back(tail, s);
		else if (head >= long_cold && head > placement.lead_head && !script_pattern(*s).empty()) {
			placement.lead = s;
			placement.lead_head = head;
		}
	}
	std::stable_sort(tails.begin(), tails.end(), [](auto &a, auto &b) { return a.first < b.first; });
	for (auto &t : tails)
		placement.tails.push_back(t.second);
	placement.tails_after = tails_after(placement, sections, hot, variants, touched, reached);
	return placement;
}

SymbolList code_sequence(const Variants &variants, const Touched &touched, const Reached &reached,
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
