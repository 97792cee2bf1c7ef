// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// A static program for the tracer's tests, doing what DO in its environment
// says: exit 3, abort, run for ever, or take a signal (left at its default,
// or caught) and exit 0.
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {
volatile std::sig_atomic_t caught = 0;
}

int main()
{
	const char *what = std::getenv("DO");
	if (!what)
		return 0;
	if (!std::strcmp(what, "exit"))
		return 3;
	if (!std::strcmp(what, "abort"))
		std::abort();
	if (!std::strcmp(what, "ignore"))
		return std::raise(SIGWINCH);
	if (!std::strcmp(what, "catch")) {
		std::signal(SIGUSR1, [](int) { caught = 1; });
		std::raise(SIGUSR1);
		return caught ? 0 : 2;
	}
	while (!caught) {
	}
	return 0;
}
