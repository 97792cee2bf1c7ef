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

// Every variant of each family that ran, whichever this processor ran.
std::set<const Symbol *> families_run(const Variants &variants, const Touched &run)
{
	const auto run_families = variants_run(variants, run);
	std::set<const Symbol *> all;
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (run_families.count(f))
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
		return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_.+-/:", c);
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
			if (const InputSection *s = section_at(sections, f->addr); s && !variants.count(f)) {
				const uint64_t end = std::min(f->addr + f->size, s->addr + s->size);
				auto [it, first] = hot.try_emplace(s, f->addr, end);
				it->second = {std::min(it->second.first, f->addr), std::max(it->second.second, end)};
			}
	return hot;
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
	Placement placement;
	std::vector<std::pair<uint64_t, const InputSection *>> tails;
	// By address, so that of equals the first is taken.
	for (auto &[s, hot] : hot_code(sections, variants, run)) {
		const uint64_t head = hot.first - s->addr, tail = s->addr + s->size - hot.second;
		if (tail >= long_cold && tail * cold_share_of_tail >= s->size * (cold_share_of_tail - 1))
			tails.emplace_back(tail, s);
		else if (head >= long_cold && head > placement.lead_head && !pattern(*s).empty())
			placement = {{}, s, head};
	}
	std::stable_sort(tails.begin(), tails.end(), [](auto &a, auto &b) { return a.first < b.first; });
	for (auto &t : tails)
		placement.tails.push_back(t.second);
	return placement;
}

std::string lead_script(const Placement &placement, uint64_t window)
{
	std::string script = "/* Written by greet-trace for greet.ld: the input section whose code run\n"
			     "   starts furthest into it, if any, in front of .init, its cold head ending\n"
			     "   where a window starts. */\n";
	if (!placement.lead)
		return script;
	const std::string head = std::to_string(placement.lead_head);
	return script + "SECTIONS {\n  .text.lead ALIGN(. + " + head + ", " + std::to_string(window) + ") - " + head +
	       " : { " + pattern(*placement.lead) + " }\n  greet_lead_end = .;\n} INSERT BEFORE .init;\n";
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

void reach(Touched &run, const Elf &elf, const Symbols &symbols, const Variants &variants, int depth)
{
	std::set<const Symbol *> functions = run.executed, seen;
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
				for (uint64_t addr : r.calls)
					if (const Symbol *s = symbols.owner(addr);
					    s && s->code && s->local && !seen.count(s))
						callees.insert(s);
		}
		functions = callees;
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
		if (!variants.count(f))
			take(f);
	for (auto *v : families_run(variants, run))
		if (variants.at(v).level <= level)
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
	// Code by tail, the code of no tail first.
	std::vector<std::vector<const Symbol *>> code(placement.tails.size() + 1);
	for (auto *group : {&run.executed, &run.reached})
		for (auto *f : *group)
			if (!variants.count(f)) {
				const auto &tails = placement.tails;
				const size_t in = static_cast<size_t>(
					std::find_if(tails.begin(), tails.end(),
						     [&](auto *s) { return f->addr - s->addr < s->size; }) -
					tails.begin());
				code[in == tails.size() ? 0 : in + 1].push_back(f);
			}
	for (auto &part : code)
		std::sort(part.begin(), part.end(), by_addr);
	add(code[0]);
	const auto all = families_run(variants, run);
	std::vector<const Symbol *> run_variants(all.begin(), all.end());
	std::sort(run_variants.begin(), run_variants.end(), [&](const Symbol *a, const Symbol *b) {
		int la = variants.at(a).level, lb = variants.at(b).level;
		return la != lb ? la < lb : by_addr(a, b);
	});
	add(run_variants);
	for (size_t i = 1; i < code.size(); i++)
		add(code[i]);

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
