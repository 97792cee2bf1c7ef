// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "touched.hpp"

#include "pages.hpp"

#include <elf.h>

#include <functional>

namespace {

// Calls changed(addr) for each byte of the writable segments that differs
// between exec and exit.
void each_changed(const Elf &elf, const Run &run, const std::function<void(uint64_t)> &changed)
{
	size_t i = 0;
	for (auto &s : elf.segments) {
		if (!s.writable())
			continue;
		const std::string_view file = elf.file.substr(s.offset, s.filesz), exit = run.writable_at_exit.at(i++);
		for (size_t j = 0; j < s.memsz && j < exit.size(); j++)
			if ((j < file.size() ? file[j] : '\0') != exit[j])
				changed(s.vaddr + j);
	}
}

} // namespace

Touched record(const Elf &elf, const Symbols &symbols, const Variants &variants, const Run &run)
{
	Touched touched;
	size_t next = 0;
	for (auto &step : run.steps) {
		const size_t first = next;
		next += step.accesses;
		touched.code_windows.insert(step.rip >> window_shift);
		const Symbol *f = symbols.owner(step.rip);
		if (f && f->code)
			touched.executed.insert(f);
		if (f && variants.count(f))
			continue;
		for (size_t i = first; i < next; i++) {
			const Access &a = run.accesses.at(i);
			for (const Symbol *s : symbols.overlapping(a.addr, a.size)) {
				const Segment *segment = elf.segment_at(s->addr);
				if (s->code || !segment)
					continue;
				if (segment->writable())
					(a.write ? touched.written : touched.read).insert(s);
				else if (!a.write && segment->read_only())
					touched.constants.insert(s);
			}
		}
	}
	return touched;
}

std::map<uint64_t, uint64_t> changed_pages(const Elf &elf, const Run &run)
{
	std::map<uint64_t, uint64_t> pages;
	each_changed(elf, run, [&](uint64_t addr) {
		const uint64_t page = addr >> page_shift;
		pages[page] = addr + 1 - (page << page_shift);
	});
	return pages;
}

Touched with_changed(Touched stepped, const Elf &elf, const Symbols &symbols, const Run &run)
{
	each_changed(elf, run, [&](uint64_t addr) {
		if (const Symbol *sym = symbols.owner(addr); sym && !sym->code)
			stepped.written.insert(sym);
	});
	return stepped;
}
