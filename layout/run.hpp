// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// One run of a static program under ptrace, one instruction at a time, and
// its facts: what it ran and touched, what it left in memory, its page
// table as the run went, and the faults the kernel counted.
#pragma once

#include "access.hpp"
#include "elf.hpp"

#include <sys/user.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// One mapping of the process, as /proc/PID/maps gives it ("" names
// anonymous memory), with the page table's entry for each of its pages, as
// /proc/PID/pagemap gives them.
struct Mapping {
	uint64_t start, end;
	std::string name;
	std::vector<uint64_t> pages;
};
// What an entry says of its page: that it is present; that it holds the
// mapped file's own bytes (not a private copy the process wrote); that no
// other mapping shares it (a private copy, not the shared zero page).
constexpr uint64_t page_present = uint64_t{1} << 63, page_of_file = uint64_t{1} << 61,
		   page_exclusive = uint64_t{1} << 56;

// One instruction the program ran: where it lies, how many bytes it takes
// (0 where they decode to none), and how many of the run's accesses, after
// those of the steps before it, are its own.
struct Step {
	uint64_t rip;
	uint32_t length, accesses;
};
// The page table just before and just after the kernel acted for the
// program, once the run had taken steps instructions: a system call
// (syscall, the instruction's number, or -1) or a signal's delivery
// (signal, or 0).
struct KernelStep {
	size_t steps;
	long syscall = -1;
	int signal = 0;
	std::vector<Mapping> before, after;
};

// A run's own facts: every instruction it ran and what each touched, in
// the order run; the page table when the exec had made the process, and
// around each time the kernel acted for it; the kernel's count of the
// faults the program took from its exec to its exit, those it charged to
// the tracer for reading the next instruction included; at its exit, each
// writable segment's bytes, in the segments' order, and each of its
// mappings with their pages (read before anything of the tracer's reads its
// memory, which maps the pages it reads); and the bytes of the heap's first
// region, its present pages from the first on.
struct Run {
	std::vector<Step> steps;
	std::vector<Access> accesses;
	std::vector<Mapping> at_exec;
	std::vector<KernelStep> by_kernel;
	uint64_t kernel_faults = 0;
	std::vector<std::string> writable_at_exit;
	std::vector<Mapping> mappings;
	std::string heap;
};

// What errno says, as the C library words it.
std::string why();

// Why a program could not be traced whole, or did not end well, in one line.
struct TraceError : std::runtime_error {
	using std::runtime_error::runtime_error;
};
// ptrace is not permitted here: refused, or the child that asked for it killed.
struct PtraceRefused : TraceError {
	using TraceError::TraceError;
};

// Runs program, as elf views it, with no arguments, standard input and
// output on /dev/null, the environment env alone and its addresses as in
// every traced run, until it exits, one instruction at a time for at most
// most_steps, and returns its facts. A signal sent to the program is
// passed on to it, as it would be untraced. A program that does not exit
// with status 0, runs for longer, maps more than most_mapped_pages, or runs
// another program, starts a process or a thread, throws TraceError. No child
// is left behind, stopped or running, on any path.
constexpr uint64_t most_mapped_pages = uint64_t{1} << 20;
Run trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf);
