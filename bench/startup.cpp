// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Start-up cost of greet and its peers: each iteration spawns the floor
// program (a static C program of one write), the limit (two system calls,
// no C library) and the candidate in turn (stdout to /dev/null), so a drift
// in machine load falls on all alike. Reported per run: the candidate's
// median wall time, its ratio to the floor's and to the limit's medians, its
// minor page faults (mean and median) beside theirs, and its user+system
// time, the last two from wait4.
// Every executable's file pages are first dropped from the page cache, so that
// all are read back alike: how a file was written (by a linker, by cp) changes
// how its cached pages are laid out, and that alone moved run times by 10%.
//
//   greet_bench [benchmark flags] [extra executables to compare]
#include "elf.hpp"

#include <benchmark/benchmark.h>

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

namespace {

struct Sample {
	double wall_us, cpu_us;
	long minflt;
};

Sample spawn_once(const std::vector<char *> &argv, const posix_spawn_file_actions_t *actions)
{
	timespec t0, t1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	pid_t pid;
	int status;
	rusage ru;
	if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0 ||
	    wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		std::fprintf(stderr, "greet_bench: %s: did not run and exit 0\n", argv[0]);
		std::exit(1);
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	auto us = [](const timeval &tv) { return tv.tv_sec * 1e6 + static_cast<double>(tv.tv_usec); };
	return {(t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3, us(ru.ru_utime) + us(ru.ru_stime),
		ru.ru_minflt};
}

void drop_cached_pages(const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 || fdatasync(fd) != 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
		std::fprintf(stderr, "greet_bench: %s: cannot drop its cached pages\n", path);
	if (fd >= 0)
		close(fd);
}

double median(std::vector<double> v)
{
	std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
	return v[v.size() / 2];
}

void startup(benchmark::State &state, std::vector<std::string> cmd)
{
	std::vector<char *> argv;
	for (auto &a : cmd)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	// The candidate, then those it is measured against.
	std::vector<std::vector<char *>> programs = {
		argv, {const_cast<char *>(GREET_FLOOR), nullptr}, {const_cast<char *>(GREET_LIMIT), nullptr}};
	for (auto &p : programs)
		drop_cached_pages(p[0]);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

	std::vector<std::vector<double>> wall(programs.size());
	std::vector<std::vector<double>> faults(programs.size());
	double cpu = 0;
	for (auto _ : state) {
		// Each goes first in turn, so that none always follows another.
		size_t first = wall[0].size() % programs.size();
		for (size_t k = 0; k < programs.size(); k++) {
			size_t i = (first + k) % programs.size();
			Sample s = spawn_once(programs[i], &actions);
			wall[i].push_back(s.wall_us);
			faults[i].push_back(static_cast<double>(s.minflt));
			if (i == 0) {
				state.SetIterationTime(s.wall_us / 1e6);
				cpu += s.cpu_us;
			}
		}
	}
	posix_spawn_file_actions_destroy(&actions);

	double runs = static_cast<double>(wall[0].size());
	state.counters["median_us"] = median(wall[0]);
	state.counters["floor_us"] = median(wall[1]);
	state.counters["vs_floor"] = median(wall[0]) / median(wall[1]);
	state.counters["vs_limit"] = median(wall[0]) / median(wall[2]);
	const auto mean = [&](const std::vector<double> &v) { return std::accumulate(v.begin(), v.end(), 0.0) / runs; };
	state.counters["minflt"] = mean(faults[0]);
	state.counters["minflt_median"] = median(faults[0]);
	state.counters["floor_minflt"] = mean(faults[1]);
	state.counters["floor_minflt_median"] = median(faults[1]);
	state.counters["limit_minflt"] = mean(faults[2]);
	state.counters["cpu_us"] = cpu / runs;
}

// Whether path is an executable linked statically: an ELF file that asks
// for no program interpreter.
bool static_executable(const char *path)
{
	std::ifstream f(path, std::ios::binary);
	const std::string bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
	try {
		Elf elf = read_elf(bytes);
		return std::none_of(elf.segments.begin(), elf.segments.end(),
				    [](const Segment &s) { return s.type == PT_INTERP; });
	} catch (const ElfError &) {
		return false;
	}
}

} // namespace

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	std::vector<std::pair<std::string, std::vector<std::string>>> candidates = {
		{"limit", {GREET_LIMIT}},
		{"floor", {GREET_FLOOR}},
		{"greet", {GREET}},
		{"greet_" GREET_OTHER_KIND, {GREET_OTHER}},
		{"echo", {"/bin/echo", "-n", "Hello People"}},
	};
	if (*GREET_UNORDERED)
		candidates.push_back({"greet_unordered", {GREET_UNORDERED}});
	if (*GREET_PLAIN)
		candidates.push_back({"greet_plain", {GREET_PLAIN}});
	// A static binary a user might pick instead, where installed.
	if (static_executable("/bin/busybox"))
		candidates.push_back({"busybox_static_echo", {"/bin/busybox", "echo", "-n", "Hello People"}});
	for (int i = 1; i < argc; i++)
		candidates.push_back({argv[i], {argv[i]}});
	for (auto &[name, cmd] : candidates)
		benchmark::RegisterBenchmark(name.c_str(), startup, cmd)
			->UseManualTime()
			->Unit(benchmark::kMicrosecond)
			->Iterations(1500);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
}
