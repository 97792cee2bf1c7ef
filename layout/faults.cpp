// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "faults.hpp"

#include "pages.hpp"
#include "touched.hpp"

#include <elf.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

const std::string stack_name = "[stack]";
// The parts every process has, in the order they are given.
const char *const parts_of_every_process[] = {"read-only", "code", "relro", "data", "heap", "stack", "vdso"};

// Whether a page lies in RELRO.
bool in_relro(const Elf &elf, uint64_t page)
{
	return std::any_of(elf.segments.begin(), elf.segments.end(), [&](const Segment &s) {
		return s.type == PT_GNU_RELRO && ((page + 1) << page_shift) > s.vaddr &&
		       (page << page_shift) < s.vaddr + s.memsz;
	});
}

// The part of the program's segments that addr lies in, or null.
const char *program_part(const Elf &elf, uint64_t addr)
{
	const Segment *s = elf.segment_at(addr);
	if (!s)
		return nullptr;
	if (s->writable())
		return in_relro(elf, addr >> page_shift) ? "relro" : "data";
	return s->flags & PF_X ? "code" : "read-only";
}

// The first page of the stack that the exec filled with the program's name,
// its arguments' and its environment's strings, below the null pointer at
// the stack's top: the program's name twice, once as its only argument.
uint64_t exec_strings_page(const Mapping &stack, const std::string &program, const std::vector<std::string> &env)
{
	uint64_t bytes = sizeof(void *) + 2 * (program.size() + 1);
	for (auto &e : env)
		bytes += e.size() + 1;
	return (stack.end - std::min(bytes, stack.end - stack.start)) >> page_shift;
}

// A mapping outside the program's segments, as a part: by its name, which
// the kernel gives its own in brackets.
std::string mapping_part(const Mapping &m)
{
	if (m.name.empty())
		return "anonymous";
	if (m.name.size() > 2 && m.name.front() == '[' && m.name.back() == ']')
		return m.name.substr(1, m.name.size() - 2);
	return m.name;
}

} // namespace

Faults faults_by_part(const Elf &elf, const Run &run, const std::string &program, const std::vector<std::string> &env)
{
	std::map<std::string, size_t> faults;
	// The windows read, each charged to the part of its first page present.
	// Adjacent segments of the same flags are one mapping until RELRO is
	// made read-only, after the reads that share its window.
	std::set<std::pair<uint32_t, uint64_t>> windows;
	for (auto &m : run.mappings) {
		const uint64_t first_free = m.name == stack_name ? exec_strings_page(m, program, env) : ~uint64_t{0};
		for (size_t i = 0; i < m.pages.size(); i++) {
			const uint64_t addr = m.start + (uint64_t{i} << page_shift), entry = m.pages[i];
			if (!(entry & page_present) || addr >> page_shift >= first_free)
				continue;
			const char *part = program_part(elf, addr);
			if (!part)
				faults[mapping_part(m)]++;
			else if (!(entry & page_of_file) ||
				 windows.emplace(elf.segment_at(addr)->flags, addr >> window_shift).second)
				faults[part]++;
		}
	}
	Faults parts;
	for (const std::string name : parts_of_every_process) {
		parts.emplace_back(name, faults[name]);
		faults.erase(name);
	}
	parts.insert(parts.end(), faults.begin(), faults.end());
	return parts;
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

RelroWrites relro_writes(const Elf &elf, const Run &run)
{
	const std::vector<uint64_t> written = written_pages(elf, run);
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
