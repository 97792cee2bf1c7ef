// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The page faults a run took, one by one, in the order the kernel takes
// them, and what its page table says it wrote. The run's touches, the
// instructions' and the kernel's own for its system calls, are replayed
// through the kernel's rules from the page table the exec left: a read or
// fetch of a page of a file mapping that is not mapped maps the 64 KiB
// window around it (fault-around: from the window's start, or the mapping's
// or the page table's if later, for 16 pages, as far as the mapping and the
// page table go), each write to a page that is not yet the process's own
// costs one, and each first touch of a page of any other mapping costs one,
// and a write after a read one more.
#pragma once

#include "elf.hpp"
#include "run.hpp"
#include "symbols.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The parts of the process a fault is charged to: the program's segments
// (read-only: the headers and read-only data; RELRO by PT_GNU_RELRO; data:
// the rest of the writable segments), the mappings every process has, and
// any other mapping.
enum class Part { read_only, code, relro, data, heap, stack, vdso, other };
enum class Kind { read, fetch, write };

// One fault: the page's part (and name, for another mapping: "anonymous"
// where it has none), the page, the kind of touch, and what took it: the
// instruction at rip, or the kernel in the system call syscall that
// instruction made or in delivering signal.
struct Fault {
	Part part = Part::other;
	std::string mapping;
	uint64_t page = 0;
	Kind kind = Kind::read;
	uint64_t rip = 0;
	long syscall = -1;
	int signal = 0;
};

// The faults in the order taken, and the pages the replay leaves otherwise
// than the page table at exit has them (mapped or not, the file's or the
// process's own copy).
struct Replay {
	std::vector<Fault> faults;
	std::vector<uint64_t> unlike_exit;
};
Replay replay(const Elf &elf, const Run &run);

// The faults of each part, by name: "read-only", "code", "relro", "data",
// "heap", "stack" and "vdso", in this order, then each other mapping's.
using Faults = std::vector<std::pair<std::string, size_t>>;
Faults faults_by_part(const std::vector<Fault> &faults);
// A fault as the report lists it: "PART 0xPAGE KIND WHERE", WHERE the
// instruction's symbol and offset (its address where it lies in none), or
// the system call, or the signal, whose kernel touch it was.
std::string describe(const Fault &fault, const Symbols &symbols);

// The page of each address in the writable segments that the run wrote,
// as the page table has them: a private copy of the file's page, or of
// zeros, that is the process's own.
std::vector<uint64_t> written_pages(const Elf &elf, const Run &run);
// Of those written pages, RELRO's (the writable data made read-only after
// start-up), and how far into the last of its pages whose bytes changed the
// change reaches.
struct RelroWrites {
	size_t pages;
	uint64_t fill;
};
RelroWrites relro_writes(const Elf &elf, const Run &run, const std::vector<uint64_t> &written);

// The room on the heap's first region's last page, after its last byte that
// is not zero, before it spills onto another.
uint64_t heap_room(const Run &run);
