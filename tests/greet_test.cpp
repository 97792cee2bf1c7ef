// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Runs the built greet as a child in prepared process states and checks what
// it wrote to standard output and standard error and how it ended.
#include "child.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
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
	pipe(p);
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

TEST(Greet, NeverReadsOrWaitsForStandardInput)
{
	int held[2];
	ASSERT_EQ(pipe2(held, O_CLOEXEC), 0);
	const struct {
		const char *name;
		std::function<void()> prepare;
	} cases[] = {
		{"closed", [] { close(0); }},
		{"/dev/null", [] {}},
		{"/dev/zero", [] { dup2(open("/dev/zero", O_RDONLY | O_CLOEXEC), 0); }},
		{"pipe whose writer stays open", [&] { dup2(held[0], 0); }},
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
		path = testing::TempDir() + "greet-append-XXXXXX";
		fd = mkostemp(path.data(), O_APPEND | O_CLOEXEC);
		ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
	}
	void TearDown() override
	{
		close(fd);
		unlink(path.c_str());
	}
	std::function<void()> to_file()
	{
		return [fd = fd] { dup2(fd, 1); };
	}
	std::string path;
	int fd = -1;
};

TEST_F(AppendFile, TwoRunsLeaveTheGreetingTwice)
{
	for (int i = 0; i < 2; i++) {
		Outcome o = run({}, to_file());
		EXPECT_EQ(o.err, "");
		EXPECT_EQ(o.ended, "exit 0");
	}
	EXPECT_EQ(contents(path), greeting + greeting);
}

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
		{"stdout /dev/full", [] { dup2(open("/dev/full", O_WRONLY | O_CLOEXEC), 1); }, "No space left on device"},
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
		std::string path = testing::TempDir() + "greet-close-XXXXXX";
		int fd = mkostemp(path.data(), O_CLOEXEC);
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
	std::string log = testing::TempDir() + "greet-strace-XXXXXX";
	close(mkstemp(log.data()));
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

std::string temp_dir(const std::string &name)
{
	std::string dir = testing::TempDir() + name + "-XXXXXX";
	if (!mkdtemp(dir.data()))
		ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
	return dir;
}

// The regular files under root, as paths relative to it.
std::set<std::string> files_under(const std::string &root)
{
	std::set<std::string> found;
	for (auto &e : std::filesystem::recursive_directory_iterator(root))
		if (e.is_regular_file())
			found.insert(std::filesystem::relative(e.path(), root).string());
	return found;
}

// Two staged installs and a plain one (no DESTDIR, a prefix of its own), a
// package made after them, a file of someone else's beside them and an
// installed file edited since: uninstalling under each DESTDIR, or none,
// removes what was installed there, and only while it is unchanged.
TEST(Install, UninstallRemovesWhatWasInstalledAndNothingElse)
{
	const std::string build = BUILD_DIR, record = build + "/greet-installed.txt";
	const std::string recorded = contents(record);
	const std::string a = temp_dir("greet-destdir"), b = temp_dir("greet-destdir"),
			  plain = temp_dir("greet-prefix"), packages = temp_dir("greet-packages");
	auto under = [](const std::string &destdir, const std::vector<std::string> &argv) {
		std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
		if (!destdir.empty())
			env.push_back("DESTDIR=" + destdir);
		return finish(start(argv, {}, env));
	};
	const struct {
		std::string destdir, prefix;
	} installs[] = {{a, "/usr"}, {b, "/usr"}, {"", plain + "/usr"}};
	for (auto &i : installs) {
		Outcome o = under(i.destdir, {CMAKE_COMMAND, "--install", build, "--prefix", i.prefix, "--strip"});
		ASSERT_EQ(o.ended, "exit 0") << o.out << o.err;
	}
	const std::string bin = a + "/usr/bin/greet", man = "/usr/share/man/man1/greet.1";
	expect_greeted(finish(start({bin})));
	EXPECT_EQ(contents(bin).find(".symtab"), std::string::npos) << bin << " keeps its symbol table";
	EXPECT_EQ(contents(a + man), contents(MANPAGE));
	EXPECT_EQ(files_under(plain), (std::set<std::string>{"usr/bin/greet", man.substr(1)}));

	Outcome pack = under("", {CPACK_COMMAND, "-G", "TGZ", "--config", build + "/CPackConfig.cmake",
				  "-B", packages});
	ASSERT_EQ(pack.ended, "exit 0") << pack.out << pack.err;
	std::ofstream(a + "/usr/bin/other") << "installed by someone else";
	std::ofstream(b + man, std::ios::app) << ".\\\" edited since\n";
	auto uninstall = [&](const std::string &destdir) {
		Outcome o = under(destdir, {CMAKE_COMMAND, "-P", build + "/uninstall.cmake"});
		EXPECT_EQ(o.ended, "exit 0") << o.out << o.err;
	};
	uninstall(a);
	EXPECT_EQ(files_under(a), std::set<std::string>{"usr/bin/other"});
	EXPECT_EQ(files_under(b), (std::set<std::string>{"usr/bin/greet", man.substr(1)}));
	EXPECT_EQ(files_under(plain).size(), 2u);
	uninstall(b);
	EXPECT_EQ(files_under(b), std::set<std::string>{man.substr(1)});
	uninstall("");
	EXPECT_EQ(files_under(plain), std::set<std::string>{});
	EXPECT_EQ(contents(record), recorded) << "the record keeps installs elsewhere, and no staging";
	for (auto &d : {a, b, plain, packages})
		std::filesystem::remove_all(d);
}

// A release is what git tracks at HEAD; a tree that cannot say what that is
// gets one line and no tarball.
TEST(SourceRelease, RefusesATreeWithoutGitOrWithUncommittedChanges)
{
	if (!*GIT)
		GTEST_SKIP() << "git not found";
	const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=/nonexistent",
					      "GIT_CONFIG_NOSYSTEM=1"};
	auto git = [&](const std::string &repo, std::vector<std::string> args) {
		args.insert(args.begin(), {GIT, "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t"});
		return finish(start(args, {}, env));
	};
	const std::string plain = temp_dir("greet-plain"), dirty = temp_dir("greet-dirty");
	std::ofstream(dirty + "/file") << "committed";
	ASSERT_EQ(git(dirty, {"init", "-q"}).ended, "exit 0");
	ASSERT_EQ(git(dirty, {"add", "file"}).ended, "exit 0");
	ASSERT_EQ(git(dirty, {"commit", "-qm", "one"}).ended, "exit 0");
	std::ofstream(dirty + "/file") << "changed";
	const struct {
		std::string tree, why;
	} cases[] = {
		{plain, "has no git metadata"},
		{dirty, "has uncommitted changes"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.tree);
		const std::string out = temp_dir("greet-release");
		Outcome o = finish(start({SOURCE_RELEASE, c.tree, "greet-0", out}, {}, env));
		EXPECT_EQ(o.ended, "exit 1");
		EXPECT_TRUE(o.err.rfind("greet: source release: " + c.tree + " " + c.why, 0) == 0) << o.err;
		EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
		EXPECT_TRUE(files_under(out).empty());
		std::filesystem::remove_all(out);
	}
	for (auto &d : {plain, dirty})
		std::filesystem::remove_all(d);
}

TEST(Manual, FormatsWithoutWarnings)
{
	const struct {
		const char *name;
		std::vector<std::string> argv;
	} formatters[] = {
		{"groff", {GROFF, "-man", "-ww", "-z", MANPAGE}},
		{"mandoc", {MANDOC, "-T", "lint", "-W", "warning", MANPAGE}},
	};
	std::string missing;
	for (auto &f : formatters) {
		if (f.argv[0].empty()) {
			missing += std::string(" ") + f.name;
			continue;
		}
		SCOPED_TRACE(f.name);
		Outcome o = finish(start(f.argv, {}, {"PATH=/usr/bin:/bin"}));
		EXPECT_EQ(o.out + o.err, "");
		EXPECT_EQ(o.ended, "exit 0");
	}
	if (!missing.empty())
		GTEST_SKIP() << "not found, so not checked with:" << missing;
}

} // namespace
