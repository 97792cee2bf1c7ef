// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// One run of a static program under ptrace, one instruction at a time, and
// the facts of it that the kernel keeps: what the program left in memory,
// and its page table.
#pragma once

#include "elf.hpp"

#include <sys/user.h>

#include <cstdint>
#include <functional>
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

// A run's own facts: the instructions it ran; at its exit, each writable
// segment's bytes, in the segments' order, and each of its mappings with
// their pages (read before anything of the tracer's reads its memory, which
// maps the pages it reads); and the bytes of the heap's first region, its
// present pages from the first on.
struct Run {
	unsigned long steps = 0;
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

// Called with the registers before each instruction the program runs.
using OnStep = std::function<void(const user_regs_struct &regs)>;

// Runs program, as elf views it, with no arguments, standard input and
// output on /dev/null, the environment env alone and its addresses as in
// every traced run, until it exits, one instruction at a time for at most
// most_steps, handing each to on_step. A signal sent to the program is
// passed on to it, as it would be untraced. A program that does not exit
// with status 0, runs for longer, maps more than most_mapped_pages, or runs
// another program, starts a process or a thread, throws TraceError. No child
// is left behind, stopped or running, on any path.
constexpr uint64_t most_mapped_pages = uint64_t{1} << 20;
Run trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf,
	  const OnStep &on_step);
