// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "child.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

namespace {

constexpr size_t page_size = 4096;

// A run that could not be made or seen has no outcome: the test stops here.
[[noreturn]] void cannot(const char *what)
{
	throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// How a child that does what and exits 0 ended, as waitpid gives it.
int ended(const std::function<void()> &what)
{
	pid_t pid = fork();
	if (pid < 0)
		cannot("fork");
	if (pid == 0) {
		what();
		_exit(0);
	}
	int status;
	pid_t reaped;
	while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
	}
	if (reaped != pid)
		cannot("waitpid");
	return status;
}

} // namespace

Child start(const std::vector<std::string> &argv, const std::function<void()> &prepare,
	    const std::vector<std::string> &env)
{
	std::vector<char *> args, envp;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	for (auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	args.push_back(nullptr);
	envp.push_back(nullptr);

	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) != 0)
		cannot("pipe2");
	if (pipe2(err, O_CLOEXEC) != 0) {
		int saved = errno;
		close(out[0]), close(out[1]);
		errno = saved;
		cannot("pipe2");
	}
	pid_t pid = fork();
	if (pid < 0) {
		int saved = errno;
		for (int fd : {out[0], out[1], err[0], err[1]})
			close(fd);
		errno = saved;
		cannot("fork");
	}
	if (pid == 0) {
		dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
		signal(SIGPIPE, SIG_DFL);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		if (prepare)
			prepare();
		execve(args[0], args.data(), envp.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	return {pid, out[0], err[0]};
}

Outcome finish(Child c, std::chrono::seconds guard)
{
	using namespace std::chrono;
	Outcome o;
	auto deadline = steady_clock::now() + guard;
	pollfd fds[] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
	std::string *sinks[] = {&o.out, &o.err};
	for (int open = 2; open > 0;) {
		auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
		int ready = left.count() > 0 ? poll(fds, 2, static_cast<int>(left.count())) : 0;
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready < 0)
			cannot("poll");
		if (ready == 0) {
			kill(c.pid, SIGKILL);
			o.ended = "hung";
			break;
		}
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buf[4096];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n < 0 && errno == EINTR)
				continue;
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
	int status;
	pid_t reaped;
	while ((reaped = waitpid(c.pid, &status, 0)) < 0 && errno == EINTR) {
	}
	if (reaped != c.pid)
		cannot("waitpid");
	if (o.ended.empty())
		o.ended = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
					    : "signal " + std::to_string(WTERMSIG(status));
	return o;
}

std::string contents(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string temp_file(const std::string &name, const std::string &text)
{
	std::string path = testing::TempDir() + name + "-XXXXXX";
	const int fd = mkstemp(path.data());
	if (fd < 0)
		cannot("mkstemp");
	// A page a write, so that the page cache holds the file in single pages:
	// a larger write can cache it in larger folios, which fault-around maps
	// whole. Then on the disk, so that no writeback locks a page while a
	// trace maps it, which fault-around would pass over. Else a traced
	// copy's faults would not be the replay's.
	for (size_t at = 0; at < text.size(); at += page_size)
		if (write(fd, text.data() + at, std::min(page_size, text.size() - at)) < 0)
			cannot("write");
	if (fsync(fd) != 0)
		cannot("fsync");
	close(fd);
	return path;
}

std::string program_copy(const std::string &program)
{
	std::string path = temp_file("greet-copy", contents(program));
	if (chmod(path.c_str(), 0700) != 0)
		cannot("chmod");
	return path;
}

std::string temp_dir(const std::string &name)
{
	std::string path = testing::TempDir() + name + "-XXXXXX";
	if (!mkdtemp(path.data()))
		cannot("mkdtemp");
	return path;
}

std::string ptrace_refused()
{
	static const std::string refused = [] {
		const int status = ended([] {
			if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
				_exit(1);
		});
		if (WIFSIGNALED(status))
			return "needs ptrace, and asking for it ends a process by signal " +
			       std::to_string(WTERMSIG(status));
		return std::string(WEXITSTATUS(status) ? "needs ptrace, which is not permitted here" : "");
	}();
	return refused;
}

std::string seccomp_refused()
{
	static const std::string refused = ended([] { filter_calls({__NR_getppid}); }) == 0
						   ? ""
						   : "needs a seccomp filter, which is not permitted here";
	return refused;
}

void filter_calls(std::initializer_list<int> calls, int fd, int error)
{
	const auto count = static_cast<unsigned char>(calls.size());
	sock_filter filter[32];
	unsigned n = 0;
	filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	// Each call found jumps past the rest and the allow.
	for (int call : calls) {
		const auto past = static_cast<unsigned char>(count - n + 1);
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), past, 0);
	}
	filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	if (fd >= 0) {
		filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args));
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1);
	}
	filter[n++] = BPF_STMT(BPF_RET | BPF_K,
			       error ? SECCOMP_RET_ERRNO | static_cast<unsigned>(error) : SECCOMP_RET_KILL_PROCESS);
	if (fd >= 0)
		filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	sock_fprog program = {static_cast<unsigned short>(n), filter};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
		_exit(125);
}
