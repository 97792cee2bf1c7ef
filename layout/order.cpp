// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "order.hpp"

#include <elf.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool by_addr(const Symbol *a, const Symbol *b)
{
	return a->addr != b->addr ? a->addr < b->addr : a->name < b->name;
}

// Whether f is code that every processor's path may run: no variant, or
// one called by name.
bool common_code(const Variants &variants, const Symbol *f)
{
	auto it = variants.find(f);
	return it == variants.end() || it->second.by_name;
}

// Every variant of each family that ran, whichever this processor ran, but
// those called by name.
std::set<const Symbol *> families_run(const Variants &variants, const Touched &run)
{
	const auto run_families = variants_run(variants, run);
	std::set<const Symbol *> all;
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (run_families.count(f) && !variant.by_name)
				all.insert(v);
	return all;
}

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

// Each section's code run and reached but the variants', as the first
// byte and the end of it.
std::map<const InputSection *, std::pair<uint64_t, uint64_t>> hot_code(const std::vector<InputSection> &sections,
								       const Variants &variants, const Touched &run)
{
	std::map<const InputSection *, std::pair<uint64_t, uint64_t>> hot;
	for (auto *group : {&run.executed, &run.reached})
		for (auto *f : *group)
			if (const InputSection *s = section_at(sections, f->addr); s && common_code(variants, f)) {
				const uint64_t end = std::min(f->addr + f->size, s->addr + s->size);
				auto [it, first] = hot.try_emplace(s, f->addr, end);
				it->second = {std::min(it->second.first, f->addr), std::max(it->second.second, end)};
			}
	return hot;
}

// The lowest level whose variants, and those of the levels above, the
// tails may follow without the highest level's run taking another window:
// the code laid out as the link does from the window where it starts, the
// lead's code run first, and the windows counted to the last tail's code.
int tails_after(const Placement &placement, const std::vector<InputSection> &sections,
		const std::map<const InputSection *, std::pair<uint64_t, uint64_t>> &hot, const Variants &variants,
		const Touched &run)
{
	if (placement.tails.empty())
		return 1;
	std::map<int, std::set<const InputSection *>, std::greater<>> by_level;
	for (auto *v : families_run(variants, run))
		if (const InputSection *s = section_at(sections, v->addr))
			by_level[variants.at(v).level].insert(s);
	std::set<const InputSection *> elsewhere(placement.unrun.begin(), placement.unrun.end());
	elsewhere.insert(placement.tails.begin(), placement.tails.end());
	elsewhere.insert(placement.lead);
	const auto windows = [&](int level) {
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
	};
	int level = most_level;
	while (level > 1 && windows(level - 1) == windows(most_level))
		level--;
	return level;
}

} // namespace

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

bool Symbols::unique(const std::string &name) const
{
	auto it = defined.find(name);
	return it != defined.end() && it->second == 1;
}

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

void level_by_section(Variants &variants, const std::vector<InputSection> &sections)
{
	std::map<const InputSection *, int> highest;
	for (auto &[v, variant] : variants)
		if (const InputSection *s = section_at(sections, v->addr))
			highest[s] = std::max(highest[s], variant.level);
	for (auto &[v, variant] : variants)
		if (const InputSection *s = section_at(sections, v->addr))
			variant.level = highest[s];
}

Placement place(const std::vector<InputSection> &sections, const Variants &variants, const Touched &run)
{
	std::set<const InputSection *> ran;
	for (auto *f : run.executed)
		ran.insert(section_at(sections, f->addr));
	Placement placement;
	std::vector<std::pair<uint64_t, const InputSection *>> tails;
	const auto hot = hot_code(sections, variants, run);
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
	placement.tails_after = tails_after(placement, sections, hot, variants, run);
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

void record(Touched &run, const Elf &elf, const Symbols &symbols, const Variants &variants,
	    const user_regs_struct &regs)
{
	if (const Symbol *f = symbols.owner(regs.rip); f && variants.count(f))
		return;
	for (auto &a : accesses(elf.bytes_at(regs.rip, longest_instruction, PF_X), regs.rip, regs))
		for (const Symbol *s : symbols.overlapping(a.addr, a.size)) {
			const Segment *segment = elf.segment_at(s->addr);
			if (s->code || !segment)
				continue;
			if (segment->writable())
				(a.write ? run.written : run.read).insert(s);
			else if (!a.write && segment->read_only())
				run.constants.insert(s);
		}
}

std::map<std::string, std::set<std::string>> variants_run(const Variants &variants, const Touched &run)
{
	std::map<std::string, std::set<std::string>> run_families;
	for (auto *e : run.executed)
		if (auto it = variants.find(e); it != variants.end())
			for (auto &f : it->second.families)
				run_families[f].insert(e->name);
	return run_families;
}

void reach(Touched &run, const Elf &elf, const Symbols &symbols, Variants &variants, int depth)
{
	std::set<const Symbol *> functions = run.executed, seen, by_name;
	functions.merge(families_run(variants, run));
	for (; depth >= 0 && !functions.empty(); depth--) {
		std::set<const Symbol *> callees;
		for (auto *f : functions) {
			seen.insert(f);
			if (!run.executed.count(f))
				run.reached.insert(f);
			const References r = references(elf.bytes_at(f->addr, f->size, PF_R | PF_X), f->addr);
			for (uint64_t addr : r.data)
				if (const Symbol *s = symbols.owner(addr);
				    s && !s->code && elf.in_read_only_segment(addr))
					run.constants.insert(s);
			if (depth > 0)
				for (uint64_t addr : r.calls) {
					const Symbol *s = symbols.owner(addr);
					if (s && s->code && variants.count(s) && !variants.count(f))
						by_name.insert(s);
					else if (s && s->code && s->local && !seen.count(s))
						callees.insert(s);
				}
		}
		functions = callees;
	}
	for (auto *v : by_name) {
		variants.at(v).by_name = true;
		if (!run.executed.count(v))
			run.reached.insert(v);
	}
}

CodeWindows code_windows_at(int level, const Touched &run, const Variants &variants)
{
	std::set<uint64_t> windows;
	uint64_t end = 0;
	const auto take = [&](const Symbol *f) {
		const uint64_t last = f->addr + std::max<uint64_t>(f->size, 1) - 1;
		for (uint64_t w = f->addr >> window_shift; w <= last >> window_shift; w++)
			windows.insert(w);
		end = std::max(end, last + 1);
	};
	for (auto *f : run.executed)
		if (common_code(variants, f))
			take(f);
	// Of each family run, the highest level up to level it has a variant of.
	std::map<std::string, int> picked;
	for (auto &[family, ran] : variants_run(variants, run))
		picked[family] = 0;
	const auto pickable = [&](const Variant &variant) { return variant.level <= level && !variant.by_name; };
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (auto it = picked.find(f); it != picked.end() && pickable(variant))
				it->second = std::max(it->second, variant.level);
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (auto it = picked.find(f);
			    it != picked.end() && pickable(variant) && variant.level == it->second)
				take(v);
	const uint64_t window = uint64_t{1} << window_shift;
	return {windows.size(), windows.empty() ? 0 : (window - end % window) % window};
}

std::vector<std::string> make_order(const Symbols &symbols, const Variants &variants, const Touched &run,
				    const Placement &placement)
{
	std::vector<std::string> order;
	auto add = [&](const std::vector<const Symbol *> &list) {
		for (auto *s : list)
			if (symbols.unique(s->name))
				order.push_back(s->name);
	};
	// The code by placed section, that of none first.
	std::vector<const InputSection *> placed = placement.tails;
	placed.insert(placed.end(), placement.unrun.begin(), placement.unrun.end());
	std::vector<std::vector<const Symbol *>> code(placed.size() + 1);
	for (auto *group : {&run.executed, &run.reached})
		for (auto *f : *group)
			if (common_code(variants, f)) {
				const auto in = std::find_if(placed.begin(), placed.end(),
							     [&](auto *s) { return f->addr - s->addr < s->size; });
				code[in == placed.end() ? 0 : static_cast<size_t>(in - placed.begin()) + 1].push_back(
					f);
			}
	for (auto &part : code)
		std::sort(part.begin(), part.end(), by_addr);
	add(code[0]);
	const auto all = families_run(variants, run);
	std::vector<const Symbol *> run_variants(all.begin(), all.end());
	std::sort(run_variants.begin(), run_variants.end(), [&](const Symbol *a, const Symbol *b) {
		int la = variants.at(a).level, lb = variants.at(b).level;
		return la != lb ? la > lb : by_addr(a, b);
	});
	const auto lower = std::find_if(run_variants.begin(), run_variants.end(),
					[&](const Symbol *v) { return variants.at(v).level < placement.tails_after; });
	add({run_variants.begin(), lower});
	for (size_t i = 0; i < placement.tails.size(); i++)
		add(code[i + 1]);
	add({lower, run_variants.end()});
	for (size_t i = placement.tails.size(); i < placed.size(); i++)
		add(code[i + 1]);

	std::vector<const Symbol *> written(run.written.begin(), run.written.end());
	std::sort(written.begin(), written.end(), [](const Symbol *a, const Symbol *b) {
		return a->size != b->size ? a->size < b->size : by_addr(a, b);
	});
	add(written);
	for (auto *group : {&run.read, &run.constants}) {
		std::vector<const Symbol *> read;
		for (auto *s : *group)
			if (!run.written.count(s))
				read.push_back(s);
		std::sort(read.begin(), read.end(), by_addr);
		add(read);
	}
	return order;
}
