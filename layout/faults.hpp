// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What a run's page table at its exit says it cost, part of the process by
// part, as the kernel charges page faults: a read of the program's file
// maps the 64 KiB window around it (fault-around, within one segment),
// and each page written, and each page of any other mapping touched, costs
// one. The pages the exec itself filled, the arguments' and environment's
// strings at the stack's top, cost the program nothing.
#pragma once

#include "elf.hpp"
#include "run.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The parts, in this order, each with its faults: "read-only" (the headers
// and read-only data), "code", "relro", "data" (the rest of the writable
// segments), "heap", "stack" and "vdso", then each other mapping with pages
// present, by its name ("anonymous" where it has none).
using Faults = std::vector<std::pair<std::string, size_t>>;
Faults faults_by_part(const Elf &elf, const Run &run, const std::string &program, const std::vector<std::string> &env);

// The page of each address in the writable segments that the run wrote,
// as the page table has them: a private copy of the file's page, or of
// zeros, that is the process's own.
std::vector<uint64_t> written_pages(const Elf &elf, const Run &run);
// Of those, RELRO's (the writable data made read-only after start-up), and
// how far into the last of its pages whose bytes changed the change reaches.
struct RelroWrites {
	size_t pages;
	uint64_t fill;
};
RelroWrites relro_writes(const Elf &elf, const Run &run);

// The room on the heap's first region's last page, after its last byte that
// is not zero, before it spills onto another.
uint64_t heap_room(const Run &run);
