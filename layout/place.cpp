// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "place.hpp"

#include "access.hpp"
#include "pages.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace {

// Each section's code run and reached, but the variants', as the first
// byte and the end of it.
using HotCode = std::map<const InputSection *, std::pair<uint64_t, uint64_t>>;
// The sections of the variants of the families run, by level, the highest first.
using VariantSections = std::map<int, std::set<const InputSection *>, std::greater<>>;

// An input section's name as a linker script's pattern names it
// ("libc.a:dl-load.o(.text)" for the map's "libc.a(dl-load.o)"), or "" where
// a character of it would need quoting.
std::string pattern(const InputSection &s)
{
	std::string file = s.file;
	if (!file.empty() && file.back() == ')' && file.find('(') != std::string::npos) {
		file.pop_back();
		file[file.rfind('(')] = ':';
	}
	const std::string name = file + "(" + s.section + ")";
	const auto plain = [](char c) {
		return std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("_.+-/:", c));
	};
	return std::all_of(file.begin(), file.end(), plain) && std::all_of(s.section.begin(), s.section.end(), plain)
		       ? name
		       : "";
}

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

// The windows the code takes, to the last tail's code run, where the tails
// follow the variants of level and those above: laid out as the link does
// from the window where it starts, the lead's code run first.
uint64_t windows_to_tails(int level, const Placement &placement, const HotCode &hot, const VariantSections &by_level)
{
	std::set<const InputSection *> elsewhere(placement.unrun.begin(), placement.unrun.end());
	elsewhere.insert(placement.tails.begin(), placement.tails.end());
	elsewhere.insert(placement.lead);
	uint64_t at = placement.lead ? placement.lead->size - placement.lead_head : 0;
	const auto lay = [&](const InputSection *s, uint64_t size) {
		const uint64_t align = std::max<uint64_t>(s->align, 1);
		at = (at + align - 1) / align * align + size;
	};
	for (auto &[s, extent] : hot)
		if (!elsewhere.count(s))
			lay(s, s->size);
	for (auto &[l, variant_sections] : by_level)
		for (auto *s : variant_sections)
			if (l >= level)
				lay(s, s->size);
	for (auto *s : placement.tails)
		lay(s, s == placement.tails.back() ? hot.at(s).second - s->addr : s->size);
	return (at + (uint64_t{1} << window_shift) - 1) >> window_shift;
}

// The lowest level whose variants, and those of the levels above, the
// tails may follow without the highest level's run taking another window.
int tails_after(const Placement &placement, const std::vector<InputSection> &sections, const HotCode &hot,
		const Variants &variants, const Touched &touched, const Reached &reached)
{
	if (placement.tails.empty())
		return 1;
	VariantSections by_level;
	for (auto *v : variants_of_families_run(variants, touched.executed, reached.by_name))
		if (const InputSection *s = section_at(sections, v->addr))
			by_level[variants.at(v).level].insert(s);
	const uint64_t highest = windows_to_tails(most_level, placement, hot, by_level);
	int level = most_level;
	while (level > 1 && windows_to_tails(level - 1, placement, hot, by_level) == highest)
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
		else if (head >= long_cold && head > placement.lead_head && !pattern(*s).empty()) {
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

std::string lead_script(const Placement &placement)
{
	std::string script = "/* Written by greet-trace, for the link before greet.ld: the input section\n"
			     "   whose code run starts furthest into it, if any, in front of .init, its\n"
			     "   cold head ending where a window starts. */\n";
	if (!placement.lead)
		return script;
	const std::string head = std::to_string(placement.lead_head);
	return script + "SECTIONS {\n  .text.lead ALIGN(. + " + head + ", " +
	       std::to_string(uint64_t{1} << window_shift) + ") - " + head + " : { " + pattern(*placement.lead) +
	       " }\n  greet_lead_end = .;\n} INSERT BEFORE .text;\n";
}
