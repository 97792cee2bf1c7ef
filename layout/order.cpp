// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "order.hpp"

#include <elf.h>

#include <algorithm>
#include <regex>

namespace {

const std::regex variant_name("^(.+?)_(sse2|ssse3|sse4_1|sse4_2|avx|avx2|evex|evex512|avx512)(_.*)?$");
// Nearest the code first: SSE2 variants are also called by name.
const std::vector<std::string> isa_order = {"sse2", "ssse3", "sse4_1", "sse4_2", "evex",
					     "evex512", "avx512", "avx2", "avx"};

bool by_addr(const Symbol *a, const Symbol *b)
{
	return a->addr != b->addr ? a->addr < b->addr : a->name < b->name;
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

bool Symbols::unique(const std::string &name) const
{
	auto it = defined.find(name);
	return it != defined.end() && it->second == 1;
}

Variant variant(const std::string &name)
{
	std::smatch m;
	if (!std::regex_match(name, m, variant_name))
		return {};
	return {m[1], m[2]};
}

std::set<uint64_t> variant_addrs(const Symbols &symbols)
{
	std::set<uint64_t> addrs;
	for (auto &s : symbols.sized())
		if (s.code && !variant(s.name).family.empty())
			addrs.insert(s.addr);
	return addrs;
}

void record(Touched &run, const Elf &elf, const Symbols &symbols, const std::set<uint64_t> &variants,
	    const user_regs_struct &regs)
{
	if (const Symbol *f = symbols.owner(regs.rip); f && variants.count(f->addr))
		return;
	for (auto &a : accesses(elf.bytes_at(regs.rip, 15, PF_X), regs.rip, regs))
		for (uint64_t at : {a.addr, a.addr + a.size - 1})
			if (const Symbol *s = symbols.owner(at); s && !s->code)
				(a.write ? run.written : run.read).insert(s);
}

std::map<std::string, std::set<std::string>> variants_run(const Symbols &symbols, const Touched &run)
{
	// A variant's family is known by any of its names: memmove's variants
	// are memcpy's too.
	std::map<std::string, std::set<std::string>> families;
	for (auto &s : symbols.sized())
		for (auto *e : run.executed)
			if (s.addr == e->addr && s.code)
				if (Variant v = variant(s.name); !v.family.empty())
					families[v.family].insert(s.name);
	return families;
}

std::set<const Symbol *> named_read_only(const Elf &elf, const Symbols &symbols, const Touched &run, int depth)
{
	std::set<const Symbol *> functions = run.executed, named, seen;
	const auto families = variants_run(symbols, run);
	for (auto &s : symbols.sized())
		if (s.code && families.count(variant(s.name).family))
			functions.insert(&s);
	for (; depth >= 0 && !functions.empty(); depth--) {
		std::set<const Symbol *> callees;
		for (auto *f : functions) {
			seen.insert(f);
			const References r = references(elf.bytes_at(f->addr, f->size, PF_R | PF_X), f->addr);
			for (uint64_t addr : r.data)
				if (const Symbol *s = symbols.owner(addr); s && !s->code && elf.read_only(addr))
					named.insert(s);
			for (uint64_t addr : r.branches)
				if (const Symbol *s = symbols.owner(addr); s && s->code && !seen.count(s))
					callees.insert(s);
		}
		functions = callees;
	}
	return named;
}

std::vector<std::string> make_order(const Symbols &symbols, const Touched &run)
{
	std::vector<std::string> order;
	auto add = [&](std::vector<const Symbol *> list) {
		for (auto *s : list)
			if (symbols.unique(s->name))
				order.push_back(s->name);
	};
	const auto variants_at = variant_addrs(symbols);
	std::vector<const Symbol *> code;
	for (auto *e : run.executed)
		if (!variants_at.count(e->addr))
			code.push_back(e);
	std::sort(code.begin(), code.end(), by_addr);
	add(code);

	const auto families = variants_run(symbols, run);
	for (auto &isa : isa_order) {
		std::vector<const Symbol *> variants;
		for (auto &s : symbols.sized())
			if (Variant v = variant(s.name); s.code && v.isa == isa && families.count(v.family))
				variants.push_back(&s);
		add(variants);
	}

	std::vector<const Symbol *> written(run.written.begin(), run.written.end());
	std::sort(written.begin(), written.end(), [](const Symbol *a, const Symbol *b) {
		return a->size != b->size ? a->size < b->size : by_addr(a, b);
	});
	add(written);
	for (auto *group : {&run.read, &run.read_only}) {
		std::vector<const Symbol *> read;
		for (auto *s : *group)
			if (!run.written.count(s))
				read.push_back(s);
		std::sort(read.begin(), read.end(), by_addr);
		add(read);
	}
	return order;
}
