// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// One run of a static program under ptrace, one instruction at a time, and
// what it touched.
#pragma once

#include "order.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// What the run touched, in windows and pages: each page of the writable
// segments written, with the end of what was written in it (as an offset
// into the page), and of them those of RELRO, with that end in the last;
// the heap's pages touched, and the bytes its first region (the pages
// touched from its start on) has left after its last byte that is not
// zero, before it spills onto another page.
struct Traced : Touched {
	unsigned long steps = 0;
	std::set<uint64_t> code_windows;
	std::map<uint64_t, uint64_t> written_pages;
	size_t relro_pages = 0, heap_pages = 0;
	uint64_t relro_fill = 0, heap_room = 0;
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
// exit, and the heap at exit. A signal sent to the program is passed on to
// it, as it would be untraced. A program that does not exit with status 0,
// runs for longer, or runs another program, starts a process or a thread,
// throws TraceError. No child is left behind, stopped or running, on any
// path.
Traced trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf,
	     const Symbols &symbols, const Variants &variants);
