// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "faults.hpp"

#include "pages.hpp"
#include "touched.hpp"

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

namespace {

// The pages of one page table, the lowest level, that fault-around stays
// within, and of a window.
constexpr uint64_t table_pages = 512, window_pages = uint64_t{1} << (window_shift - page_shift);
// How the kernel's own names for mappings read, and the system calls' names.
const char *const part_names[] = {"read-only", "code", "relro", "data", "heap", "stack", "vdso"};
const std::pair<long, const char *> syscall_names[] = {
#include "syscall_names.inc"
};

// How a page is mapped: from the file or as the shared zero page, which a
// write must copy, or as the process's own.
enum class Mapped { shared, own };
using PageState = std::map<uint64_t, Mapped>;

PageState state_of(const std::vector<Mapping> &table)
{
	PageState state;
	for (auto &m : table)
		for (size_t i = 0; i < m.pages.size(); i++)
			if (const uint64_t e = m.pages[i]; e & page_present)
				state[(m.start >> page_shift) + i] =
					!(e & page_of_file) && (e & page_exclusive) ? Mapped::own : Mapped::shared;
	return state;
}

const Mapping *mapping_at(const std::vector<Mapping> &table, uint64_t page)
{
	for (auto &m : table)
		if (page >= m.start >> page_shift && page < m.end >> page_shift)
			return &m;
	return nullptr;
}

// Whether a page lies in RELRO.
bool in_relro(const Elf &elf, uint64_t page)
{
	return std::any_of(elf.segments.begin(), elf.segments.end(), [&](const Segment &s) {
		return s.type == PT_GNU_RELRO && ((page + 1) << page_shift) > s.vaddr &&
		       (page << page_shift) < s.vaddr + s.memsz;
	});
}

// The part a page lies in: the program's segment's, else its mapping's at
// exit, by the name the kernel gives its own mappings in brackets.
std::pair<Part, std::string> part_of(const Elf &elf, const Run &run, uint64_t page)
{
	if (const Segment *s = elf.segment_at(page << page_shift))
		return {!s->writable()        ? (s->flags & PF_X ? Part::code : Part::read_only)
			: in_relro(elf, page) ? Part::relro
					      : Part::data,
			""};
	const Mapping *m = mapping_at(run.mappings, page);
	std::string name = m ? m->name : "";
	if (name.size() > 2 && name.front() == '[' && name.back() == ']')
		name = name.substr(1, name.size() - 2);
	for (int p = static_cast<int>(Part::heap); p < static_cast<int>(Part::other); p++)
		if (name == part_names[p])
			return {static_cast<Part>(p), ""};
	return {Part::other, name.empty() ? "anonymous" : name};
}

// The pages the kernel touched while it acted for the program, as the page
// table before and after says: each that it mapped, or made the process's own.
std::vector<std::pair<uint64_t, Kind>> kernel_touches(const KernelStep &k)
{
	const PageState before = state_of(k.before), after = state_of(k.after);
	std::vector<std::pair<uint64_t, Kind>> touched;
	for (auto &[page, mapped] : after) {
		const auto was = before.find(page);
		if (was == before.end() || was->second != mapped)
			touched.emplace_back(page, mapped == Mapped::own ? Kind::write : Kind::read);
	}
	return touched;
}

// The replay's state and its rules: the page table as the faults so far
// have left it, and the mappings as the kernel last left them.
struct Replayer {
	const Elf &elf;
	const Run &run;
	const std::vector<Mapping> *layout;
	PageState state;
	std::vector<Fault> faults;

	// A touch by what by says took it.
	void touch(uint64_t page, Kind kind, Fault by)
	{
		const auto it = state.find(page);
		if (it != state.end() && (kind != Kind::write || it->second == Mapped::own))
			return;
		std::tie(by.part, by.mapping) = part_of(elf, run, page);
		by.page = page;
		by.kind = kind;
		faults.push_back(by);
		const Mapping *m = mapping_at(*layout, page);
		if (kind == Kind::write || !m || m->name.empty() || m->name[0] != '/') {
			state[page] = kind == Kind::write ? Mapped::own : Mapped::shared;
			return;
		}
		const uint64_t table = page / table_pages * table_pages;
		const uint64_t from = std::max({page / window_pages * window_pages, m->start >> page_shift, table});
		const uint64_t to = std::min({from + window_pages, table + table_pages, m->end >> page_shift});
		for (uint64_t p = from; p < to; p++)
			state.emplace(p, Mapped::shared);
	}

	// Each page of [addr, addr + size), in the order the access goes.
	void touch_range(uint64_t addr, uint64_t size, Kind kind, const Fault &by)
	{
		for (uint64_t p = addr >> page_shift; p <= (addr + std::max<uint64_t>(size, 1) - 1) >> page_shift; p++)
			touch(p, kind, by);
	}
};

} // namespace

Replay replay(const Elf &elf, const Run &run)
{
	Replayer r{elf, run, &run.at_exec, state_of(run.at_exec), {}};
	size_t next_access = 0;
	auto kernel = run.by_kernel.begin();
	// What the kernel did for the program once the run had taken steps.
	const auto kernel_acts = [&](size_t steps) {
		for (; kernel != run.by_kernel.end() && kernel->steps == steps; ++kernel) {
			r.layout = &kernel->after;
			Fault by;
			by.rip = steps ? run.steps[steps - 1].rip : 0;
			by.syscall = kernel->syscall;
			by.signal = kernel->signal;
			for (auto &[page, kind] : kernel_touches(*kernel))
				r.touch(page, kind, by);
		}
	};
	kernel_acts(0);
	for (size_t i = 0; i < run.steps.size(); i++) {
		const Step &step = run.steps[i];
		Fault by;
		by.rip = step.rip;
		r.touch_range(step.rip, step.length, Kind::fetch, by);
		// Its reads first, then its writes; a read-modify-write is a write.
		for (const bool writes : {false, true})
			for (size_t a = next_access; a < next_access + step.accesses; a++)
				if (run.accesses.at(a).write == writes)
					r.touch_range(run.accesses[a].addr, run.accesses[a].size,
						      writes ? Kind::write : Kind::read, by);
		next_access += step.accesses;
		kernel_acts(i + 1);
	}
	Replay result{std::move(r.faults), {}};
	const PageState at_exit = state_of(run.mappings);
	for (auto &[page, mapped] : r.state)
		if (const auto e = at_exit.find(page); e == at_exit.end() || e->second != mapped)
			result.unlike_exit.push_back(page);
	for (auto &[page, mapped] : at_exit)
		if (!r.state.count(page))
			result.unlike_exit.push_back(page);
	std::sort(result.unlike_exit.begin(), result.unlike_exit.end());
	return result;
}

Faults faults_by_part(const std::vector<Fault> &faults)
{
	Faults parts;
	for (const char *name : part_names)
		parts.emplace_back(name, 0);
	std::map<std::string, size_t> others;
	for (auto &f : faults) {
		if (f.part == Part::other)
			others[f.mapping]++;
		else
			parts[static_cast<size_t>(f.part)].second++;
	}
	parts.insert(parts.end(), others.begin(), others.end());
	return parts;
}

std::string describe(const Fault &fault, const Symbols &symbols)
{
	static const char *const kinds[] = {"read", "fetch", "write"};
	std::string where;
	char at[32];
	if (fault.signal) {
		where = "signal " + std::to_string(fault.signal);
	} else if (fault.syscall >= 0) {
		const auto *end = std::end(syscall_names);
		const auto *name =
			std::find_if(std::begin(syscall_names), end, [&](auto &n) { return n.first == fault.syscall; });
		where = name != end ? name->second : "syscall " + std::to_string(fault.syscall);
	} else if (const Symbol *s = symbols.owner(fault.rip)) {
		std::snprintf(at, sizeof at, "+%#lx", static_cast<unsigned long>(fault.rip - s->addr));
		where = s->name + at;
	} else {
		std::snprintf(at, sizeof at, "%#lx", static_cast<unsigned long>(fault.rip));
		where = at;
	}
	std::snprintf(at, sizeof at, " %#lx ", static_cast<unsigned long>(fault.page << page_shift));
	const std::string part = fault.part == Part::other ? fault.mapping : part_names[static_cast<int>(fault.part)];
	return part + at + kinds[static_cast<int>(fault.kind)] + " " + where;
}

std::vector<uint64_t> written_pages(const Elf &elf, const Run &run)
{
	std::vector<uint64_t> written;
	for (auto &m : run.mappings)
		for (size_t i = 0; i < m.pages.size(); i++) {
			const uint64_t addr = m.start + (uint64_t{i} << page_shift), entry = m.pages[i];
			const Segment *s = elf.segment_at(addr);
			if (s && s->writable() && (entry & page_present) && !(entry & page_of_file) &&
			    (entry & page_exclusive))
				written.push_back(addr >> page_shift);
		}
	return written;
}

RelroWrites relro_writes(const Elf &elf, const Run &run, const std::vector<uint64_t> &written)
{
	RelroWrites relro{static_cast<size_t>(std::count_if(written.begin(), written.end(),
							    [&](uint64_t page) { return in_relro(elf, page); })),
			  0};
	for (auto &[page, end] : changed_pages(elf, run))
		relro.fill = in_relro(elf, page) ? end : relro.fill;
	return relro;
}

uint64_t heap_room(const Run &run)
{
	const size_t at = run.heap.find_last_not_of('\0');
	return run.heap.size() - (at == std::string::npos ? 0 : at + 1);
}
