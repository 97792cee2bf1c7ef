// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Runs the built greet as a child in prepared process states and checks what
// it wrote to standard output and standard error and how it ended.
#include "child.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string greeting = "Hello People";

Outcome run(std::vector<std::string> args = {}, const std::function<void()> &prepare = {},
	    const std::vector<std::string> &env = {})
{
	args.insert(args.begin(), GREET);
	return finish(start(args, prepare, env));
}

void expect_greeted(const Outcome &o)
{
	EXPECT_EQ(o.out, greeting);
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.ended, "exit 0");
}

void stdout_to_broken_pipe()
{
	int p[2];
	if (pipe(p) != 0)
		_exit(127); // as an exec that fails: the row then fails
	close(p[0]);
	dup2(p[1], 1);
	close(p[1]);
}

// The 12 bytes exactly, so no line end: the last byte is 'e'.
TEST(Greet, WritesTheGreetingWhateverItsArguments)
{
	const std::vector<std::vector<std::string>> cases = {
		{}, {"word"}, {"several", "words", "here"}, {""}, {"--help"}, {"--version"}, {"-n"}, {"-"},
	};
	for (auto &args : cases) {
		SCOPED_TRACE(testing::PrintToString(args));
		expect_greeted(run(args));
	}
}

// Whatever standard input is, greet neither waits on it nor reads it: a
// read of it kills greet. Closed, fd 0 is no input but the next file opened,
// which a dynamic greet's loader reads.
TEST(Greet, NeverReadsOrWaitsForStandardInput)
{
	if (const std::string refused = seccomp_refused(); !refused.empty())
		GTEST_SKIP() << refused;
	int held[2];
	ASSERT_EQ(pipe2(held, O_CLOEXEC), 0);
	const auto unread = [] { filter_calls({SYS_read, SYS_readv, SYS_pread64, SYS_preadv, SYS_preadv2}, 0); };
	const struct {
		const char *name;
		std::function<void()> prepare;
	} cases[] = {
		{"closed", [] { close(0); }},
		{"/dev/null", unread},
		{"/dev/zero",
		 [&] {
			 dup2(open("/dev/zero", O_RDONLY | O_CLOEXEC), 0);
			 unread();
		 }},
		{"pipe whose writer stays open",
		 [&] {
			 dup2(held[0], 0);
			 unread();
		 }},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		expect_greeted(run({}, c.prepare));
	}
	close(held[0]);
	close(held[1]);
}

TEST(Greet, SameBytesInEveryLocale)
{
	const std::vector<std::vector<std::string>> envs = {
		{"LC_ALL=C.UTF-8"},
		{"LANG=C.UTF-8"},
		{"LC_ALL=tr_TR.UTF-8", "LANG=tr_TR.UTF-8"},
		{"LC_ALL=xx_NOWHERE.ISO-8859-99"},
		{"LANG=@@garbage/../..", "LC_CTYPE=\xff\xfe", "LANGUAGE=::"},
	};
	for (auto &env : envs) {
		SCOPED_TRACE(testing::PrintToString(env));
		expect_greeted(run({}, {}, env));
	}
}

TEST(Greet, TerminalReceivesExactlyTheGreeting)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_GE(slave, 0);

	Outcome o = run({}, [slave] { dup2(slave, 1); });
	close(slave);
	// With every slave closed, the master yields what was written, then EIO.
	std::string seen;
	char buf[256];
	for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
		seen.append(buf, static_cast<size_t>(n));
	close(master);

	EXPECT_EQ(seen, greeting);
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.ended, "exit 0");
}

class AppendFile : public testing::Test {
protected:
	void SetUp() override
	{
		path = temp_file("greet-append");
		fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
		ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
	}
	void TearDown() override
	{
		close(fd);
		unlink(path.c_str());
	}
	std::function<void()> to_file() const
	{
		return [fd = fd] { dup2(fd, 1); };
	}
	std::string path;
	int fd = -1;
};

TEST_F(AppendFile, ConcurrentRunsLeaveWholeGreetings)
{
	const int runs = 200;
	std::vector<Child> children;
	for (int i = 0; i < runs; i++)
		children.push_back(start({GREET}, to_file()));
	for (auto &c : children) {
		Outcome o = finish(c);
		EXPECT_EQ(o.err, "");
		EXPECT_EQ(o.ended, "exit 0");
	}
	std::string expected;
	for (int i = 0; i < runs; i++)
		expected += greeting;
	EXPECT_EQ(contents(path), expected);
}

TEST(Greet, ReportsAFailedWriteAndExitsOne)
{
	const struct {
		const char *name;
		std::function<void()> prepare;
		const char *why;
	} cases[] = {
		{"stdout closed", [] { close(1); }, "Bad file descriptor"},
		{"stdout /dev/full", [] { dup2(open("/dev/full", O_WRONLY | O_CLOEXEC), 1); },
		 "No space left on device"},
		{"reader gone, SIGPIPE ignored",
		 [] {
			 stdout_to_broken_pipe();
			 signal(SIGPIPE, SIG_IGN);
		 },
		 "Broken pipe"},
		{"reader gone, SIGPIPE blocked",
		 [] {
			 stdout_to_broken_pipe();
			 signal(SIGPIPE, SIG_DFL);
			 sigset_t set;
			 sigemptyset(&set);
			 sigaddset(&set, SIGPIPE);
			 sigprocmask(SIG_BLOCK, &set, nullptr);
		 },
		 "Broken pipe"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		Outcome o = run({}, c.prepare);
		EXPECT_EQ(o.err, std::string("greet: write error: ") + c.why + "\n");
		EXPECT_EQ(o.ended, "exit 1");
	}
}

// Some file systems take the write and report its failure only at close;
// strace makes close(2) of the output file fail the way they do.
TEST(Greet, ReportsAFailureGivenOnlyAtClose)
{
	if (std::string(STRACE).empty())
		GTEST_SKIP() << "strace not found";
	SKIP_UNLESS_PTRACE();
	const struct {
		const char *error, *why;
	} cases[] = {
		{"EIO", "Input/output error"},
		{"ENOSPC", "No space left on device"},
		{"EDQUOT", "Disk quota exceeded"},
		{nullptr, nullptr},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.error ? c.error : "no failure");
		const std::string path = temp_file("greet-close");
		int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
		ASSERT_GE(fd, 0);
		std::vector<std::string> argv = {STRACE, "-qq", "-o", "/dev/null", "-P", path, "-e", "trace=close"};
		if (c.error)
			argv.insert(argv.end(), {"-e", std::string("inject=close:error=") + c.error});
		argv.push_back(GREET);
		Outcome o = finish(start(argv, [fd] { dup2(fd, 1); }));
		close(fd);
		EXPECT_EQ(contents(path), greeting);
		unlink(path.c_str());
		EXPECT_EQ(o.err, c.error ? std::string("greet: write error: ") + c.why + "\n" : "");
		EXPECT_EQ(o.ended, c.error ? "exit 1" : "exit 0");
	}
}

TEST(Greet, DiesQuietlyBySigpipeWhenReaderIsGoneAndSignalIsDefault)
{
	Outcome o = run({}, [] {
		stdout_to_broken_pipe();
		signal(SIGPIPE, SIG_DFL);
	});
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.ended, "signal " + std::to_string(SIGPIPE));
}

TEST(Greet, MakesOneWriteAndNoOtherUseOfFiles)
{
	if (std::string(STRACE).empty())
		GTEST_SKIP() << "strace not found";
	SKIP_UNLESS_PTRACE();
	const std::string log = temp_file("greet-strace");
	expect_greeted(finish(start({STRACE, "-f", "-qq", "-o", log, GREET})));

	const std::set<std::string> writes = {"write", "writev", "pwrite64", "pwritev", "pwritev2"};
	const std::set<std::string> reads = {"read", "readv", "pread64", "preadv", "preadv2"};
	const std::set<std::string> opens = {"open", "openat", "openat2", "creat", "open_by_handle_at"};
	const std::regex call(R"(^(?:\d+ +)?(\w+)\((.*)\) += (.*)$)");
	std::vector<std::string> wrote, read_stdin, opened;
	std::ifstream trace(log);
	for (std::string line; std::getline(trace, line);) {
		std::smatch m;
		if (!std::regex_search(line, m, call))
			continue;
		std::string name = m[1], args = m[2];
		line = name + "(" + args + ") = " + m[3].str();
		if (writes.count(name))
			wrote.push_back(line);
		if (reads.count(name) && args.rfind("0,", 0) == 0)
			read_stdin.push_back(line);
		if (opens.count(name))
			opened.push_back(line);
	}
	unlink(log.c_str());

	EXPECT_EQ(wrote, std::vector<std::string>{"write(1, \"Hello People\", 12) = 12"});
	EXPECT_EQ(read_stdin, std::vector<std::string>{});
	// Linked statically, nothing is loaded at start-up, so nothing is opened.
	if (GREET_STATIC_BUILD) {
		EXPECT_EQ(opened, std::vector<std::string>{});
	}
}

// Linked as greet is, the unwinder still finds every frame.
TEST(Link, ExceptionsUnwindAcrossFrames)
{
	Outcome o = finish(start({GREET_UNWIND}));
	EXPECT_EQ(o.out, "unwound");
	EXPECT_EQ(o.ended, "exit 0") << o.err;
}

} // namespace

// The dispositions the suite relies on, whatever its parent left: children
// are reaped by waitpid, which a SIGCHLD left ignored would make fail, and
// each child's SIGPIPE is set by start().
int main(int argc, char **argv)
{
	signal(SIGCHLD, SIG_DFL);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
