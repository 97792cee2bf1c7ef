// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// One run of a static program under ptrace, one instruction at a time, and
// what it touched.
#pragma once

#include "order.hpp"

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// A page, and the window of 16 pages that the kernel's fault-around maps on
// one fault: start-up costs one fault for each window of code it runs and
// each page it writes.
constexpr unsigned page_shift = 12, window_shift = 16;

struct Traced : Touched {
	unsigned long steps = 0;
	std::set<uint64_t> code_windows, written_pages;
};

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
// most_steps. What each step ran, read and wrote is recorded (see record()),
// and so is each byte of its writable segments that differs between exec and
// exit. A signal sent to the program is passed on to it, as it would be
// untraced. A program that does not exit with status 0, runs for longer, or
// runs another program, starts a process or a thread, throws TraceError. No
// child is left behind, stopped or running, on any path.
Traced trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf,
	     const Symbols &symbols, const Variants &variants);
