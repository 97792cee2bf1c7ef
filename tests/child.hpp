// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Starts a program as a child in a prepared process state and reports what
// it wrote to standard output and standard error and how it ended.
#pragma once

#include "config.hpp"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

struct Outcome {
	std::string out, err;
	std::string ended; // "exit N", "signal N" or "hung"
};

struct Child {
	pid_t pid;
	int out, err;
};

// Starts argv with only the environment env. Its stdout and stderr are pipes
// back to us, its stdin is /dev/null, its signal mask is empty and SIGPIPE is
// at its default; prepare() then runs in the child just before exec to change
// that state, so it may make async-signal-safe calls only. A child that cannot
// be started throws, which fails the test where it stands.
Child start(const std::vector<std::string> &argv, const std::function<void()> &prepare = {},
	    const std::vector<std::string> &env = {});

// Collects the child's output until it closes both pipes, then reaps it. Only
// a child that keeps them open for the whole guard is killed and reported
// "hung": the guard is there for a real hang, never to judge a slow machine.
Outcome finish(Child c, std::chrono::seconds guard = std::chrono::minutes(5));

std::string contents(const std::string &path);
// A new file holding text, and a new empty folder, named after name in the
// test's temporary folder; what cannot be made throws.
std::string temp_file(const std::string &name, const std::string &text = "");
std::string temp_dir(const std::string &name);
// An executable copy of program, made by temp_file, for the tracer to run:
// its faults then do not hang on how the build's file came to be cached.
std::string program_copy(const std::string &program);

// Installs a seccomp filter, as a service manager's, that kills the process
// at any of the system calls given, or where error is set makes them fail
// with that error, where fd >= 0 only when the call's first argument is fd;
// for prepare(), so that the program run is killed or refused at such a call.
void filter_calls(std::initializer_list<int> calls, int fd = -1, int error = 0);

// Why a child of this process cannot install such a filter (an emulator
// that refuses seccomp), or "" where it can.
std::string seccomp_refused();

// Why a child of this process cannot be traced (ptrace refused: a tracer of
// our own, a sandbox, a seccomp filter that kills the caller), or "" where
// it can. A test that traces, itself or by strace, is skipped with the reason.
std::string ptrace_refused();
#define SKIP_UNLESS_PTRACE()                                                                                           \
	if (const std::string refused = ptrace_refused(); !refused.empty())                                            \
	GTEST_SKIP() << refused

// The tracer's tests need greet linked in a traced order, and ptrace.
#define SKIP_UNLESS_ORDERED()                                                                                          \
	if (!GREET_ORDERED)                                                                                            \
		GTEST_SKIP() << "greet is not linked in a traced start-up order (not static, no lld, no Zydis, "       \
				"or cross-built)";                                                                     \
	SKIP_UNLESS_PTRACE()
