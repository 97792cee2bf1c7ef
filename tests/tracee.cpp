// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// A static program for the tracer's tests, doing what DO in its environment
// says: exit 3, abort, run for ever, catch a signal and exit 0, take SIGTRAP,
// or start a process, a program or a thread.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {
volatile std::sig_atomic_t caught = 0;
}

// By a name of its own, so that its first instruction can be looked for.
extern "C" void greet_tracee_caught(int)
{
	caught = 1;
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
	if (!std::strcmp(what, "trap"))
		return std::raise(SIGTRAP);
	if (!std::strcmp(what, "fork")) {
		pid_t child = fork();
		if (child == 0)
			_exit(0);
		return child > 0 && waitpid(child, nullptr, 0) == child ? 0 : 2;
	}
	if (!std::strcmp(what, "exec")) {
		char *none[] = {nullptr};
		execve("/proc/self/exe", none, none);
		return 2;
	}
	if (!std::strcmp(what, "thread")) {
		pthread_t thread;
		if (pthread_create(
			    &thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr) != 0)
			return 2;
		return pthread_join(thread, nullptr);
	}
	if (!std::strcmp(what, "catch")) {
		std::signal(SIGUSR1, greet_tracee_caught);
		std::raise(SIGUSR1);
		return caught ? 0 : 2;
	}
	while (!caught) {
	}
	return 0;
}
