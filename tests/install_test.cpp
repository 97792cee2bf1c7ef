// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What ships around the program: install and uninstall, the source release
// and the manual page. The installs here are the suite's own, in folders and
// under a record of its own; whatever was installed from the build folder
// before is left exactly as it was.
#include "child.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The regular files under root, as paths relative to it.
std::set<std::string> files_under(const std::string &root)
{
	std::set<std::string> found;
	for (auto &e : std::filesystem::recursive_directory_iterator(root))
		if (e.is_regular_file())
			found.insert(std::filesystem::relative(e.path(), root).string());
	return found;
}

// Each file a record lists, by DESTDIR and path, with its bytes now.
std::map<std::string, std::string> recorded_files(const std::string &record)
{
	std::map<std::string, std::string> files;
	std::istringstream lines(record);
	for (std::string line; std::getline(lines, line);) {
		// The hash, a tab, DESTDIR (empty for none), a tab and the path.
		size_t tab = line.size() > 65 ? line.find('\t', 65) : std::string::npos;
		if (tab != std::string::npos) {
			std::string file = line.substr(65, tab - 65) + line.substr(tab + 1);
			files[file] = contents(file);
		}
	}
	return files;
}

// CMake's install scripts, cpack's among them, write install_manifest.txt
// into the build folder whatever they install where: a user's, from a real
// install, is kept aside and put back as it was, bytes and time, or the one
// made here removed where there was none.
class Kept {
public:
	explicit Kept(const std::string &kept) : path(kept), copy(temp_dir("greet-kept") + "/file")
	{
		existed = stat(path.c_str(), &original) == 0;
		if (existed)
			std::filesystem::copy_file(path, copy);
	}
	~Kept() { restore(); }
	Kept(const Kept &) = delete;
	Kept &operator=(const Kept &) = delete;
	void restore()
	{
		if (restored)
			return;
		restored = true;
		std::error_code ignored;
		if (!existed) {
			std::filesystem::remove(path, ignored);
		} else if (std::filesystem::copy_file(copy, path, std::filesystem::copy_options::overwrite_existing,
						      ignored)) {
			const timespec times[2] = {original.st_atim, original.st_mtim};
			utimensat(AT_FDCWD, path.c_str(), times, 0);
		}
		std::filesystem::remove_all(std::filesystem::path(copy).parent_path(), ignored);
	}

private:
	std::string path, copy;
	struct stat original;
	bool existed, restored = false;
};

// A file's bytes and time, or "none".
std::string state(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return "none";
	return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " + contents(path);
}

// Two staged installs and a plain one (no DESTDIR, a prefix of its own), a
// package made after them, a file of someone else's beside them and an
// installed file edited since: uninstalling under each DESTDIR, or none,
// removes what was installed there, and only while it is unchanged. What the
// build folder's own record says was installed before the suite, a user's
// real install among it, is still there after, byte for byte, and so is
// CMake's record of it.
TEST(Install, UninstallRemovesWhatWasInstalledAndNothingElse)
{
	const std::string build = BUILD_DIR, users_record = build + "/greet-installed.txt";
	const std::string manifest = build + "/install_manifest.txt", users_manifest = state(manifest);
	Kept kept(manifest);
	const std::string users = contents(users_record);
	const auto users_files = recorded_files(users);
	const std::string a = temp_dir("greet-destdir"), b = temp_dir("greet-destdir"),
			  plain = temp_dir("greet-prefix"), packages = temp_dir("greet-packages"),
			  own = temp_dir("greet-record"), record = "-DGREET_INSTALL_RECORD=" + own + "/record";
	auto under = [](const std::string &destdir, const std::vector<std::string> &argv) {
		std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
		if (!destdir.empty())
			env.push_back("DESTDIR=" + destdir);
		return finish(start(argv, {}, env));
	};
	// As cmake --install --prefix P --strip does it, with the suite's record.
	const struct {
		std::string destdir, prefix;
	} installs[] = {{a, "/usr"}, {b, "/usr"}, {"", plain + "/usr"}};
	for (auto &i : installs) {
		Outcome o = under(i.destdir, {CMAKE_COMMAND, record, "-DCMAKE_INSTALL_PREFIX=" + i.prefix,
					      "-DCMAKE_INSTALL_DO_STRIP=1", "-P", build + "/cmake_install.cmake"});
		ASSERT_EQ(o.ended, "exit 0") << o.out << o.err;
	}
	const std::string bin = a + "/usr/bin/greet", man = "/usr/share/man/man1/greet.1";
	EXPECT_EQ(finish(start({bin})).out, "Hello People");
	EXPECT_EQ(contents(bin).find(".symtab"), std::string::npos) << bin << " keeps its symbol table";
	EXPECT_EQ(contents(a + man), contents(MANPAGE));
	EXPECT_EQ(files_under(plain), (std::set<std::string>{"usr/bin/greet", man.substr(1)}));

	Outcome pack =
		under("", {CPACK_COMMAND, "-G", "TGZ", "--config", build + "/CPackConfig.cmake", "-B", packages});
	ASSERT_EQ(pack.ended, "exit 0") << pack.out << pack.err;
	std::ofstream(a + "/usr/bin/other") << "installed by someone else";
	std::ofstream(b + man, std::ios::app) << ".\\\" edited since\n";
	auto uninstall = [&](const std::string &destdir) {
		Outcome o = under(destdir, {CMAKE_COMMAND, record, "-P", build + "/uninstall.cmake"});
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
	EXPECT_EQ(files_under(own), std::set<std::string>{}) << "the record outlives what it recorded";
	EXPECT_EQ(contents(users_record), users) << "the build folder's record changed";
	EXPECT_EQ(recorded_files(users), users_files) << "a file installed before the suite changed";
	kept.restore();
	EXPECT_EQ(state(manifest), users_manifest) << "CMake's install manifest changed";
	for (auto &d : {a, b, plain, packages, own})
		std::filesystem::remove_all(d);
}

// A release is what git tracks at HEAD; a tree that cannot say what that is
// gets one line and no tarball.
TEST(SourceRelease, RefusesATreeWithoutGitOrWithUncommittedChanges)
{
	if (!*GIT)
		GTEST_SKIP() << "git not found";
	const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=/nonexistent", "GIT_CONFIG_NOSYSTEM=1"};
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
