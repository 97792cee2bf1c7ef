// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The static link's layout: what start-up touches stays on few pages on any
// processor, the traced order does not depend on the processor that traced
// it, exceptions still unwind, and the tracer says plainly when it cannot
// trace.
#include "child.hpp"

#include <gtest/gtest.h>

#include <elf.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

// Other processors, stood in for by masking this one's features: glibc then
// picks other variants of its string functions.
const std::vector<std::pair<const char *, std::string>> processors = {
	{"this processor", ""},
	{"no AVX-512", "-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD"},
	{"SSE2 alone", "-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD,-AVX2,-AVX,-FMA,-BMI1,-BMI2,"
		       "-LZCNT,-MOVBE,-POPCNT,-SSSE3,-SSE4_1,-SSE4_2,-ERMS,-FSRM,-RTM"},
};

std::string masked(const std::string &features)
{
	return "GLIBC_TUNABLES=glibc.cpu.hwcaps=" + features;
}

// A report without the line fails the test that reads it.
long reported(const std::string &report, const std::string &what)
{
	std::smatch m;
	if (!std::regex_search(report, m, std::regex("(^|\n)" + what + " ([0-9]+)\n")))
		throw std::runtime_error("the report has no line \"" + what + " N\":\n" + report);
	return std::stol(m[2]);
}

#define SKIP_UNLESS_ORDERED()                                                                      \
	if (!GREET_ORDERED)                                                                        \
	GTEST_SKIP() << "greet is not linked in a traced start-up order (not static, no lld, or cross-built)"

// Start-up's code lies in 64 KiB windows (one fault each, by fault-around)
// and what it writes on pages (one fault each); both counts are exact for a
// run, where a count of faults moves with the stack's place.
TEST(Layout, StartUpTouchesFewWindowsAndPagesOnEveryProcessor)
{
	SKIP_UNLESS_ORDERED();
	for (auto &[name, features] : processors) {
		SCOPED_TRACE(name);
		Outcome o = finish(start({GREET_TRACE, "--report", GREET, masked(features)}));
		ASSERT_EQ(o.ended, "exit 0") << o.err;
		EXPECT_LE(reported(o.out, "code windows"), GREET_MOST_CODE_WINDOWS) << o.out;
		EXPECT_LE(reported(o.out, "written pages"), GREET_MOST_WRITTEN_PAGES) << o.out;
		EXPECT_GT(reported(o.out, "written pages"), 0) << o.out;
	}
}

// The build traced greet on one processor; any other gives the same order,
// and so the same greet.
TEST(Layout, OrderIsTheSameWhicheverProcessorTracesIt)
{
	SKIP_UNLESS_ORDERED();
	const std::string order = contents(GREET_ORDER);
	EXPECT_GT(std::count(order.begin(), order.end(), '\n'), 100) << GREET_ORDER;
	for (auto &[name, features] : processors) {
		SCOPED_TRACE(name);
		Outcome o = finish(start({GREET_TRACE, GREET_UNORDERED, masked(features)}));
		EXPECT_EQ(o.ended, "exit 0") << o.err;
		EXPECT_TRUE(o.out == order) << "the order differs from " << GREET_ORDER;
	}
}

// Where ptrace is refused (here: the tracer is itself traced), the order is
// empty and the build goes on with one line saying so; what cannot be
// traced for any other reason fails in one line.
TEST(Trace, SaysWhyItCannotTrace)
{
	SKIP_UNLESS_ORDERED();
	if (!*STRACE)
		GTEST_SKIP() << "strace not found";
	const std::string order = testing::TempDir() + "greet-order-XXXXXX";
	std::string path = order;
	close(mkstemp(path.data()));
	std::ofstream(path) << "stale\n";
	Outcome refused = finish(start({STRACE, "-f", "-qq", "-o", "/dev/null", GREET_TRACE, "-o", path, GREET}));
	EXPECT_EQ(refused.ended, "exit 0");
	EXPECT_EQ(refused.err, "greet-trace: ptrace is not permitted here, so " + path +
				       " is empty: greet is linked without its start-up order\n");
	EXPECT_EQ(contents(path), "");
	unlink(path.c_str());

	const struct {
		std::string program, why;
	} cases[] = {
		{MANPAGE, std::string(MANPAGE) + ": not an ELF file"},
		{"/nonexistent/greet", "/nonexistent/greet: No such file or directory"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.program);
		Outcome o = finish(start({GREET_TRACE, "--report", c.program}));
		EXPECT_EQ(o.ended, "exit 1");
		EXPECT_EQ(o.err, "greet-trace: " + c.why + "\n");
		EXPECT_EQ(o.out, "");
	}
}

// Linked as greet is, the unwinder still finds every frame.
TEST(Link, ExceptionsUnwindAcrossFrames)
{
	Outcome o = finish(start({GREET_UNWIND}));
	EXPECT_EQ(o.out, "unwound");
	EXPECT_EQ(o.ended, "exit 0") << o.err;
}

// No segment is both writable and executable, and the executable one holds
// code alone: no ELF header, read-only data or unwind tables.
TEST(Binary, ExecutableSegmentHoldsOnlyCode)
{
	std::string elf = contents(GREET);
	ASSERT_GE(elf.size(), sizeof(Elf64_Ehdr));
	auto eh = reinterpret_cast<const Elf64_Ehdr *>(elf.data());
	auto ph = reinterpret_cast<const Elf64_Phdr *>(elf.data() + eh->e_phoff);
	auto sh = reinterpret_cast<const Elf64_Shdr *>(elf.data() + eh->e_shoff);
	const char *names = elf.data() + sh[eh->e_shstrndx].sh_offset;
	int executable = 0;
	for (int i = 0; i < eh->e_phnum; i++) {
		if (ph[i].p_type != PT_LOAD || !(ph[i].p_flags & PF_X))
			continue;
		executable++;
		EXPECT_FALSE(ph[i].p_flags & PF_W) << "segment " << i << " is writable and executable";
		EXPECT_NE(ph[i].p_offset, 0u) << "the ELF header is executable";
		for (int j = 0; j < eh->e_shnum; j++) {
			if ((sh[j].sh_flags & SHF_ALLOC) && sh[j].sh_size && sh[j].sh_addr >= ph[i].p_vaddr &&
			    sh[j].sh_addr < ph[i].p_vaddr + ph[i].p_memsz) {
				EXPECT_TRUE(sh[j].sh_flags & SHF_EXECINSTR)
					<< names + sh[j].sh_name << " is in the executable segment";
			}
		}
	}
	EXPECT_EQ(executable, 1);
}

} // namespace
