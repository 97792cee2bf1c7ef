// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Starts a program as a child in a prepared process state and reports what
// it wrote to standard output and standard error and how it ended.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
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
// back to us and its stdin is /dev/null; prepare() then runs in the child just
// before exec to change that state, so it may make async-signal-safe calls only.
inline Child start(const std::vector<std::string> &argv,
	    const std::function<void()> &prepare = {},
	    const std::vector<std::string> &env = {})
{
	std::vector<char *> args, envp;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	for (auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	args.push_back(nullptr);
	envp.push_back(nullptr);

	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
		ADD_FAILURE() << "pipe: " << std::strerror(errno);
	pid_t pid = fork();
	if (pid < 0)
		ADD_FAILURE() << "fork: " << std::strerror(errno);
	if (pid == 0) {
		dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
		if (prepare)
			prepare();
		execve(args[0], args.data(), envp.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	return {pid, out[0], err[0]};
}

// Collects the child's output until it closes both pipes, then reaps it. A
// child that keeps them open past the deadline is killed and reported "hung".
inline Outcome finish(Child c)
{
	using namespace std::chrono;
	Outcome o;
	auto deadline = steady_clock::now() + seconds(10);
	pollfd fds[] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
	std::string *sinks[] = {&o.out, &o.err};
	for (int open = 2; open > 0;) {
		auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
		if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) == 0) {
			kill(c.pid, SIGKILL);
			o.ended = "hung";
			break;
		}
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				sinks[i]->append(buf, static_cast<size_t>(n));
			} else {
				fds[i].fd = -1;
				open--;
			}
		}
	}
	close(c.out);
	close(c.err);
	int status = 0;
	waitpid(c.pid, &status, 0);
	if (o.ended.empty())
		o.ended = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
					     : "signal " + std::to_string(WTERMSIG(status));
	return o;
}

inline std::string contents(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

