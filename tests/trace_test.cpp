// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The tracer: what its core reads of an instruction's accesses, the order
// it makes of what a run touched, its ptrace run, and what its command line
// says when it cannot trace.
#include "access.hpp"
#include "child.hpp"
#include "faults.hpp"
#include "forecast.hpp"
#include "order.hpp"
#include "place.hpp"
#include "reach.hpp"
#include "run.hpp"
#include "touched.hpp"

#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

bool operator==(const Access &a, const Access &b)
{
	return std::tie(a.addr, a.size, a.read, a.write) == std::tie(b.addr, b.size, b.read, b.write);
}

std::ostream &operator<<(std::ostream &os, const Access &a)
{
	return os << std::hex << "{0x" << a.addr << std::dec << ", " << a.size << (a.read ? ", read" : "")
		  << (a.write ? ", write" : "") << "}";
}

namespace {

const uint64_t rip = 0x401000;

user_regs_struct registers()
{
	user_regs_struct r{};
	r.rax = 0x10, r.rcx = 3, r.rbx = 0x2000, r.rsp = 0x7fff0000fff0, r.rsi = 0x4000, r.rdi = 0x3000;
	r.r12 = 0x5000, r.r13 = 2;
	r.fs_base = 0x70000, r.gs_base = 0x80000;
	return r;
}

// Each instruction's bytes, run at rip with the registers above, and how
// long it is and whether it asks for a system call.
TEST(Access, EachInstructionTouchesWhatItsOperandsName)
{
	EXPECT_EQ(decode("\x0f\x05", rip, registers()).length, 2u);
	EXPECT_TRUE(decode("\x0f\x05", rip, registers()).system_call);
	EXPECT_FALSE(decode("\xcd\x03", rip, registers()).system_call);
	// The xsave family's area, the same for each, holds at least the legacy
	// region, the header and each state the system enables, whatever a
	// vendor's layout of them: AVX's upper halves, AVX-512's registers.
	const uint64_t down = 1u << 10, area = decode("\x0f\xae\x27", rip, registers()).accesses.at(0).size;
	EXPECT_GE(area, 512u + 64u + (__builtin_cpu_supports("avx") ? 256u : 0u) +
				(__builtin_cpu_supports("avx512f") ? 64u + 512u + 1024u : 0u));
	// clang-format off
	const struct {
		const char *what;
		std::string bytes;
		std::vector<Access> touched;
		uint64_t rcx = 3, eflags = 0;
	} cases[] = {
		{"mov rax, [rbx+8]", "\x48\x8b\x43\x08", {{0x2008, 8, true, false}}},
		{"mov [rbx+8], rax", "\x48\x89\x43\x08", {{0x2008, 8, false, true}}},
		{"add [rbx], eax", "\x01\x03", {{0x2000, 4, true, true}}},
		{"lock cmpxchg [rdi], ecx", "\xf0\x0f\xb1\x0f", {{0x3000, 4, true, true}}},
		{"xchg [rbx], eax", "\x87\x03", {{0x2000, 4, true, true}}},
		{"movsb", "\xa4", {{0x3000, 1, false, true}, {0x4000, 1, true, false}}},
		{"rep stosq", "\xf3\x48\xab", {{0x3000, 24, false, true}}},
		{"rep stosq, counting down", "\xf3\x48\xab", {{0x2ff0, 24, false, true}}, 3, down},
		{"rep stosq, a count of 0", "\xf3\x48\xab", {}, 0},
		{"rep stosd, ecx alone with a 32-bit address", "\x67\xf3\xab", {{0x3000, 8, false, true}}, 0x100000002},
		{"rep movsb", "\xf3\xa4", {{0x3000, 3, false, true}, {0x4000, 3, true, false}}},
		{"rep movsb, counting down", "\xf3\xa4", {{0x2ffe, 3, false, true}, {0x3ffe, 3, true, false}}, 3, down},
		{"repne scasb, as far as its data says", "\xf2\xae", {{0x3000, 1, true, false}}, ~0ull},
		{"xsave [rdi]", "\x0f\xae\x27", {{0x3000, area, true, true}}},
		{"xsavec [rdi]", "\x0f\xc7\x27", {{0x3000, area, false, true}}},
		{"xrstor [rdi]", "\x0f\xae\x2f", {{0x3000, area, true, false}}},
		{"mov rax, [rip+0x10]", std::string("\x48\x8b\x05\x10\x00\x00\x00", 7), {{rip + 7 + 0x10, 8, true, false}}},
		{"mov eax, [rbx+rcx*4+0x20]", "\x8b\x44\x8b\x20", {{0x2000 + 3 * 4 + 0x20, 4, true, false}}},
		{"mov eax, [rcx*8+0x1000]", std::string("\x8b\x04\xcd\x00\x10\x00\x00", 7), {{3 * 8 + 0x1000, 4, true, false}}},
		{"mov eax, [rsp+0x10]", "\x8b\x44\x24\x10", {{0x7fff00010000, 4, true, false}}},
		{"mov rax, [r12+r13*2]", "\x4b\x8b\x04\x6c", {{0x5004, 8, true, false}}},
		{"vmovdqu ymm0, [rdi] (VEX)", "\xc5\xfe\x6f\x07", {{0x3000, 32, true, false}}},
		{"vmovdqu [rdi+0x20], ymm1 (VEX)", "\xc5\xfe\x7f\x4f\x20", {{0x3020, 32, false, true}}},
		{"vmovdqu64 [rdi], zmm16 (EVEX)", "\x62\xe1\xfe\x48\x7f\x07", {{0x3000, 64, false, true}}},
		{"mov rax, fs:[0x28]", std::string("\x64\x48\x8b\x04\x25\x28\x00\x00\x00", 9), {{0x70028, 8, true, false}}},
		{"mov dword gs:[rax], 1", std::string("\x65\xc7\x00\x01\x00\x00\x00", 7), {{0x80010, 4, false, true}}},
		{"push rbx", "\x53", {{0x7fff0000ffe8, 8, false, true}}},
		{"pop rbx", "\x5b", {{0x7fff0000fff0, 8, true, false}}},
		{"addr32 call, still on the 64-bit stack", std::string("\x67\xe8\x00\x00\x00\x00", 6), {{0x7fff0000ffe8, 8, false, true}}},
		{"lea rax, [rbx+8]", "\x48\x8d\x43\x08", {}},
		{"nop dword [rax+rax]", std::string("\x0f\x1f\x44\x00\x00", 5), {}},
		{"prefetcht0 [rdi]", "\x0f\x18\x0f", {}},
		{"prefetchw [rdi]", "\x0f\x0d\x0f", {}},
		{"mov eax, ecx", "\x89\xc8", {}},
		{"truncated", "\x48\x8b", {}},
		{"nothing", "", {}},
	};
	// clang-format on
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		user_regs_struct r = registers();
		r.rcx = c.rcx, r.eflags = c.eflags;
		EXPECT_EQ(decode(c.bytes, rip, r).accesses, c.touched);
	}
}

Symbol function(uint64_t addr, const std::string &name, bool local = false)
{
	return {addr, 0x10, name, true, local};
}
Symbol object(uint64_t addr, uint64_t size, const std::string &name)
{
	return {addr, size, name, false};
}

std::vector<std::string> names(const std::set<const Symbol *> &set)
{
	std::vector<std::string> n;
	for (auto *s : set)
		n.push_back(s->name);
	std::sort(n.begin(), n.end());
	return n;
}

TEST(Order, OwnerIsTheSymbolAnAddressLiesIn)
{
	// clang-format off
	const Symbols symbols({function(0x1000, "twice"), function(0x1000, "once"), function(0x2000, "twice"),
			       object(0x3000, 8, "small"), object(0x3008, 8, "next"), object(0x3010, 8, "third"),
			       {0x3100, 0, "sizeless", false}});
	// clang-format on
	EXPECT_EQ(symbols.owner(0x1000)->name, "once") << "a name defined once comes first";
	EXPECT_EQ(symbols.owner(0x100f)->name, "once");
	EXPECT_EQ(symbols.owner(0x1010), nullptr);
	EXPECT_EQ(symbols.owner(0x3007)->name, "small");
	EXPECT_EQ(symbols.owner(0x3018), nullptr);
	EXPECT_EQ(symbols.owner(0x3100), nullptr);
	EXPECT_EQ(symbols.owner(0), nullptr);
	EXPECT_TRUE(symbols.unique("once"));
	EXPECT_FALSE(symbols.unique("twice"));
	const struct {
		uint64_t addr, size;
		std::vector<std::string> overlapped;
	} ranges[] = {
		{0x3004, 0x10, {"small", "next", "third"}},
		{0x3008, 8, {"next"}},
		{0x2ff8, 9, {"small"}},
		{0x2ff8, 8, {}},
		{0x3018, 0x1000, {}},
		{0x1008, ~0ull - 0x1008, {"once", "twice", "small", "next", "third"}},
	};
	for (auto &r : ranges) {
		SCOPED_TRACE(testing::Message() << std::hex << r.addr << "+" << r.size);
		std::vector<std::string> found;
		for (auto *s : symbols.overlapping(r.addr, r.size))
			found.push_back(s->name);
		EXPECT_EQ(found, r.overlapped);
	}
}

// Code by address, every variant of each family run by level, highest first, and address,
// written objects smallest first, then those only read, writable before read-only;
// a name the linker could not tell apart is left out.
TEST(Order, GathersCodeVariantsThenWrittenThenReadData)
{
	// clang-format off
	const Symbols symbols({
		function(0x1200, "later"), function(0x1100, "earlier"), function(0x1300, "twice"),
		function(0x1400, "twice"), function(0x1500, "reached", true), function(0x2000, "memset_avx2"),
		function(0x2100, "memset_sse2"), function(0x2200, "memset_evex"), function(0x2300, "strlen_avx2"),
		function(0x2400, "memcpy_avx"), function(0x2400, "memmove_avx"), function(0x2500, "memmove_sse2"),
		object(0x5000, 64, "big"), object(0x5100, 8, "small"), object(0x5200, 8, "read"),
		object(0x5300, 4, "both"), object(0x400, 16, "constant"),
	});
	auto at = [&](uint64_t addr) { return symbols.owner(addr); };
	const Variants variants = {{at(0x2000), {3, {"memset"}}},	  {at(0x2100), {1, {"memset"}}},
				   {at(0x2200), {4, {"memset"}}},	  {at(0x2300), {3, {"strlen"}}},
				   {at(0x2400), {3, {"memcpy", "memmove"}}}, {at(0x2500), {1, {"memmove"}}}};
	Touched run;
	run.executed = {at(0x1200), at(0x1100), at(0x1300), at(0x2000), at(0x2400)};
	run.written = {at(0x5000), at(0x5100), at(0x5300)};
	run.read = {at(0x5200), at(0x5300)};
	Reached reached;
	reached.functions = {at(0x1500)};
	reached.constants = {at(0x400)};
	EXPECT_EQ(make_order(symbols, variants, run, reached, {}),
		  (std::vector<std::string>{"earlier", "later", "reached", "memset_evex", "memset_avx2", "memcpy_avx",
					    "memset_sse2", "memmove_sse2", "both", "small", "big", "read", "constant"}));
	EXPECT_EQ(families_run(variants, run.executed), (std::map<std::string, std::set<std::string>>{
							{"memcpy", {"memcpy_avx"}},
							{"memmove", {"memcpy_avx"}},
							{"memset", {"memset_avx2"}}}));
	// clang-format on
}

// A link's map gives each input section's extent. A section whose code run
// is a short head goes after the variants, the one whose code run starts
// furthest in goes in front of .init by the lead script, and a jump stub's
// level is that of the code it lies among.
TEST(Order, PlacesSectionsByTheCodeRunInThem)
{
	// clang-format off
	const std::vector<InputSection> sections = read_map(
		"             VMA              LMA     Size Align Out     In      Symbol\n"
		"            1000             1000     4000    64 .text\n"
		"            1000             1000      100    16         /lib/crt1.o:(.text)\n"
		"            1000             1000        0     1                 _start\n"
		"            1100             1100      c00    16         /lib/libc.a(head.o):(.text)\n"
		"            1d00             1d00     1400    16         /lib/libc.a(tail.o):(.text)\n"
		"            3100             3100      200    16         /lib/libc.a(avx.o):(.text.avx)\n"
		"            3300             3300      d00     1         . = ALIGN ( 0x1000 )\n"
		"            4000             4000      400    16         /lib/libc.a(big.o):(.text)\n");
	const Symbols symbols({function(0x1000, "start"), function(0x1100, "cold"), function(0x1c00, "hot"),
			       function(0x1d00, "tail"), function(0x1d80, "tail_cold"), function(0x3100, "stub"),
			       function(0x3180, "avx"), function(0x4000, "sse2"), function(0x4200, "big")});
	// clang-format on
	ASSERT_EQ(sections.size(), 5u);
	EXPECT_EQ(sections[1].file + sections[1].section, "/lib/libc.a(head.o).text");
	auto at = [&](uint64_t addr) { return symbols.owner(addr); };
	const Variants variants = level_by_section(
		{{at(0x3100), {1, {"memmove"}}}, {at(0x3180), {3, {"memmove"}}}, {at(0x4000), {1, {"memmove"}}}},
		sections);
	Touched run;
	run.executed = {at(0x1000), at(0x1c00), at(0x1d00), at(0x3100), at(0x4200)};
	const Placement placement = place(sections, variants, run, {});
	ASSERT_EQ(placement.tails.size(), 1u);
	EXPECT_EQ(placement.tails[0]->addr, 0x1d00u);
	ASSERT_NE(placement.lead, nullptr);
	EXPECT_EQ(placement.lead->addr, 0x1100u);
	EXPECT_NE(lead_script(placement).find(".text.lead ALIGN(. + 2816, 65536) - 2816 : { "
					      "/lib/libc.a:head.o(.text) }"),
		  std::string::npos)
		<< lead_script(placement);
	EXPECT_EQ(make_order(symbols, variants, run, {}, placement),
		  (std::vector<std::string>{"start", "hot", "big", "stub", "avx", "sse2", "tail"}));
	EXPECT_EQ(code_windows_at(1, variants, run, {}).spare, 0x10000u - 0x4210);
	// Without big, the code ends with the level's own variant: sse2 at v1, avx at v3.
	run.executed.erase(at(0x4200));
	EXPECT_EQ(code_windows_at(1, variants, run, {}).spare, 0x10000u - 0x4010);
	EXPECT_EQ(code_windows_at(3, variants, run, {}).spare, 0x10000u - 0x3190);
	EXPECT_THROW(read_map("VMA\n 1000 1000 zz 16 .text\n"), MapError);
}

// Two resolvers, as the IRELATIVE relocations give them: each names its
// variants by address, whatever they are called, and a variant's level is
// what its code needs; what a resolver reads or calls is none of them.
TEST(Order, VariantsAreWhatEachResolverNames)
{
	std::string file(0x100, '\xcc');
	auto put = [&](uint64_t at, const std::string &code) { file.replace(at, code.size(), code); };
	// lea rax, [A]; lea rdx, [B]; mov eax, [D]; call helper
	// clang-format off
	put(0x00, std::string("\x48\x8d\x05\x19\x00\x00\x00" "\x48\x8d\x15\x22\x00\x00\x00"
			      "\x8b\x05\xec\x0f\x00\x00" "\xe8\x35\x00\x00\x00", 25));
	// pcmpistri (SSE4.2) in A, whatever its name; an EVEX store in B
	put(0x20, std::string("\x66\x0f\x3a\x63\xca\x1a", 6));
	put(0x30, std::string("\x62\xe1\xfe\x48\x7f\x07", 6));
	// lea rax, [B]
	put(0x60, std::string("\x48\x8d\x05\xc9\xff\xff\xff" "\xc3", 8));
	Elf elf{file, ET_EXEC, {{PT_LOAD, PF_R | PF_X, 0, 0x1000, 0x100, 0x100}, {PT_LOAD, PF_R, 0, 0x2000, 0x100, 0x100}},
		{},
		{{0x1000, 0x20, "one", true}, function(0x1020, "__strcmp_sse42"), function(0x1030, "__memset_erms"),
		 function(0x1050, "helper"), function(0x1060, "two"), object(0x2000, 8, "D")},
		{0x1000, 0x1060, 0x1040}};
	// clang-format on
	const Symbols symbols(elf.symbols);
	std::map<std::string, std::pair<int, std::set<std::string>>> found;
	for (auto &[v, variant] : find_variants(elf, symbols))
		found[v->name] = {variant.level, variant.families};
	EXPECT_EQ(found, (std::map<std::string, std::pair<int, std::set<std::string>>>{
				 {"__strcmp_sse42", {2, {"one"}}}, {"__memset_erms", {4, {"one", "two"}}}}));
}

// f1 names A and calls f2 and the variant g; f2 names B, calls f3 and jumps
// to h; f3 names C and a writable W; m, run too, calls k, of another file.
// Down to the depth of calls asked, the functions of their own file called
// are reached, and the variants called by name, and the read-only objects
// named.
TEST(Order, ReachesWhatCodeAndItsCalleesName)
{
	std::string file(0x100, '\xcc');
	auto put = [&](uint64_t at, const std::string &code) { file.replace(at, code.size(), code); };
	// clang-format off
	put(0x00, std::string("\x8b\x05\xfa\x0f\x00\x00" "\xe8\x05\x00\x00\x00" "\xe8\x20\x00\x00\x00", 16));
	put(0x10, std::string("\x8b\x05\xfa\x0f\x00\x00" "\xe8\x05\x00\x00\x00" "\xeb\x23" "\xc3", 14));
	put(0x20, std::string("\x48\x8d\x05\xf9\x0f\x00\x00" "\x48\x8b\x05\xd2\x1f\x00\x00" "\xc3", 15));
	put(0x40, std::string("\x48\x8d\x05\xf9\x0f\x00\x00" "\xc3", 8));
	put(0x50, std::string("\xe8\x0b\x00\x00\x00" "\xc3", 6));
	Elf elf{file, ET_EXEC,
		{{PT_LOAD, PF_R | PF_X, 0, 0x1000, 0x100, 0x100}, {PT_LOAD, PF_R, 0, 0x2000, 0x100, 0x100},
		 {PT_LOAD, PF_R | PF_W, 0, 0x3000, 0x100, 0x100}},
		{},
		{function(0x1000, "f1", true), function(0x1010, "f2", true), function(0x1020, "f3", true),
		 function(0x1030, "g"), function(0x1040, "h", true), function(0x1050, "m", true), function(0x1060, "k"),
		 object(0x2000, 8, "A"), object(0x2010, 8, "B"),
		 object(0x2020, 8, "C"), object(0x2040, 8, "D"), object(0x3000, 8, "W")},
		{}};
	const Symbols symbols(elf.symbols);
	const struct {
		std::vector<std::string> reached, named, by_name;
	} depths[] = {{{}, {"A"}, {}}, {{"f2", "g"}, {"A", "B"}, {"g"}}, {{"f2", "f3", "g"}, {"A", "B", "C"}, {"g"}},
		      {{"f2", "f3", "g"}, {"A", "B", "C"}, {"g"}}};
	const Variants variants = {{symbols.owner(0x1030), {1, {"memset"}}}};
	for (int depth = 0; depth < 4; depth++) {
		// clang-format on
		SCOPED_TRACE(depth);
		Touched run;
		run.executed = {symbols.owner(0x1000), symbols.owner(0x1050)};
		const Reached reached = reach(run, elf, symbols, variants, depth);
		EXPECT_EQ(names(reached.functions), depths[depth].reached);
		EXPECT_EQ(names(reached.constants), depths[depth].named);
		EXPECT_EQ(names(reached.by_name), depths[depth].by_name);
	}
}

// A string function's variant loads V; its caller, after the return, stores
// to C, loads R and stores 32 bytes over W1, W2 and W3: each instruction is
// judged by the function it lies in, and an access by every object it
// overlaps.
TEST(Order, RecordsWhatEachInstructionTouchedButTheVariants)
{
	// clang-format off
	const Elf elf{"", ET_EXEC, {{PT_LOAD, PF_R | PF_X, 0, 0x1000, 0, 0x40}, {PT_LOAD, PF_R | PF_W, 0, 0x3000, 0, 0x100},
				    {PT_LOAD, PF_R, 0, 0x5000, 0, 0x100}},
		      {},
		      {function(0x1000, "memset_avx2"), {0x1010, 0x20, "caller", true}, object(0x3000, 8, "V"),
		       object(0x3008, 8, "C"), object(0x3010, 8, "R"), object(0x3020, 8, "W1"), object(0x3028, 0x10, "W2"),
		       object(0x3038, 8, "W3"), object(0x3040, 8, "after"), object(0x5000, 8, "K")},
		      {}};
	const Symbols symbols(elf.symbols);
	::Run run;
	run.steps = {{0x1000, 7, 1}, {0x1010, 7, 1}, {0x1017, 7, 1}, {0x101e, 8, 2}};
	run.accesses = {{0x3000, 8, true, false}, {0x3008, 8, false, true}, {0x3010, 8, true, false},
			{0x3020, 32, false, true}, {0x5000, 8, true, false}};
	// clang-format on
	const Touched touched = record(elf, symbols, {{symbols.owner(0x1000), {3, {"memset"}}}}, run);
	EXPECT_EQ(names(touched.written), (std::vector<std::string>{"C", "W1", "W2", "W3"}));
	EXPECT_EQ(names(touched.read), std::vector<std::string>{"R"});
	EXPECT_EQ(names(touched.constants), std::vector<std::string>{"K"});
	EXPECT_EQ(names(touched.executed), (std::vector<std::string>{"caller", "memset_avx2"}));
	EXPECT_EQ(touched.code_windows, std::set<uint64_t>{0});
	// What changed between exec and exit was written too, by whatever wrote it.
	run.writable_at_exit = {std::string(0x100, '\0')};
	run.writable_at_exit[0][0x40] = 1;
	EXPECT_EQ(names(with_changed(touched, elf, symbols, run).written),
		  (std::vector<std::string>{"C", "W1", "W2", "W3", "after"}));
}

// A run replayed through the kernel's rules, from the page table at exec:
// a fetch or read of the program's file maps its window within the
// mapping, from the mapping's start where that is later (0x227 is mapped
// with 0x218, 0x228 is not) and from RELRO's end once mprotect has split
// them (0x251 is mapped with 0x243); a write makes a page the process's
// own, once; another mapping's page costs one a touch of a new kind; a
// step fetches, reads, then writes; what the exec left costs nothing; the
// kernel's own write in a system call, and the split, come from the page
// table around it; each fault is charged to its part.
TEST(Faults, AreTheKernelsReplayedFromFirstTouches)
{
	const uint64_t F = page_present | page_of_file | page_exclusive, W = page_present | page_exclusive;
	// clang-format off
	const Elf elf{"", ET_EXEC, {{PT_LOAD, PF_R, 0, 0x200000, 0, 0x2000}, {PT_LOAD, PF_R | PF_X, 0, 0x218000, 0, 0x20000},
				    {PT_LOAD, PF_R | PF_W, 0, 0x240000, 0, 0x2000}, {PT_LOAD, PF_R | PF_W, 0, 0x242000, 0, 0x12000},
				    {PT_GNU_RELRO, PF_R, 0, 0x240000, 0, 0x2000}}, {}, {function(0x218000, "f"), function(0x228000, "g")}, {}};
	const auto table = [](uint64_t start, uint64_t end, const char *name, const std::vector<std::pair<uint64_t, uint64_t>> &present = {}) {
		Mapping m{start, end, name, std::vector<uint64_t>((end - start) >> 12, 0)};
		for (auto &[page, entry] : present)
			m.pages.at(page - (start >> 12)) = entry;
		return m;
	};
	const Mapping vdso = table(0x7f0000, 0x7f1000, "[vdso]"), heap = table(0x260000, 0x263000, "[heap]");
	::Run run;
	run.at_exec = {table(0x200000, 0x202000, "/p"), table(0x218000, 0x238000, "/p"), table(0x240000, 0x254000, "/p"),
		       heap, vdso, table(0x900000, 0x903000, "[stack]", {{0x902, W}}), table(0x3fa000, 0x410000, "/q")};
	run.steps = {{0x218000, 4, 2}, {0x227000, 4, 0}, {0x228000, 4, 1}, {0x228004, 2, 0}, {0x230000, 4, 8}};
	run.accesses = {{0x200010, 8, true, false}, {0x902ff0, 8, false, true}, {0x241008, 8, true, true},
			{0x243000, 8, true, false}, {0x243008, 8, false, true}, {0x251000, 8, true, false},
			{0x260100, 8, true, false}, {0x260100, 0x1000, false, true}, {0x7f0000, 8, true, false},
			{0x3fb000, 8, true, false}, {0x400000, 8, true, false}};
	// readlink writes the stack's next page down; mprotect, there too, splits RELRO from the data.
	const std::vector<Mapping> split = {run.at_exec[0], run.at_exec[1], table(0x240000, 0x242000, "/p"),
					    table(0x242000, 0x254000, "/p"), heap, vdso, run.at_exec[6]};
	KernelStep readlink{4, 89, 0, run.at_exec, split};
	readlink.after.push_back(table(0x900000, 0x903000, "[stack]", {{0x901, W}, {0x902, W}}));
	run.by_kernel = {readlink};
	run.mappings = {table(0x200000, 0x202000, "/p", {{0x200, F}, {0x201, F}}), table(0x218000, 0x238000, "/p"),
			table(0x240000, 0x242000, "/p", {{0x241, W}}), table(0x242000, 0x254000, "/p"),
			table(0x260000, 0x263000, "[heap]", {{0x260, W}, {0x261, W}}), table(0x7f0000, 0x7f1000, "[vdso]", {{0x7f0, F}}),
			readlink.after.back(), table(0x3fa000, 0x410000, "/q")};
	std::fill(run.mappings[1].pages.begin(), run.mappings[1].pages.end(), F);
	std::fill_n(run.mappings[3].pages.begin(), 16, F);
	run.mappings[3].pages[1] = W;
	// Fault-around stops at the end of a page table's 2 MiB, though the window goes on.
	std::fill(run.mappings[7].pages.begin(), run.mappings[7].pages.end(), F);
	const std::vector<std::string> expected = {
		"code 0x218000 fetch f+0", "read-only 0x200000 read f+0", "code 0x228000 fetch g+0", "relro 0x241000 write g+0",
		"stack 0x901000 write readlink", "code 0x230000 fetch 0x230000", "data 0x243000 read 0x230000",
		"heap 0x260000 read 0x230000", "vdso 0x7f0000 read 0x230000", "/q 0x3fb000 read 0x230000",
		"/q 0x400000 read 0x230000", "data 0x243000 write 0x230000",
		"heap 0x260000 write 0x230000", "heap 0x261000 write 0x230000"};
	// clang-format on
	const Symbols symbols(elf.symbols);
	const Replay replayed = replay(elf, run);
	std::vector<std::string> faults;
	for (auto &f : replayed.faults)
		faults.push_back(describe(f, symbols));
	EXPECT_EQ(faults, expected);
	EXPECT_EQ(replayed.unlike_exit, std::vector<uint64_t>{});
	// clang-format off
	EXPECT_EQ(faults_by_part(replayed.faults), (Faults{{"read-only", 1}, {"code", 3}, {"relro", 1}, {"data", 2},
							   {"heap", 3}, {"stack", 1}, {"vdso", 1}, {"/q", 2}}));
	// clang-format on
	EXPECT_EQ(written_pages(elf, run), (std::vector<uint64_t>{0x241, 0x243}));
	run.writable_at_exit = {std::string(0x2000, '\0'), std::string(0x12000, '\0')};
	run.writable_at_exit[0][0x1010] = 1;
	const RelroWrites relro = relro_writes(elf, run, written_pages(elf, run));
	EXPECT_EQ(std::make_pair(relro.pages, relro.fill), std::make_pair(size_t{1}, uint64_t{0x11}));
	run.heap = std::string("heap\0\0\0", 7);
	EXPECT_EQ(heap_room(run), 3u);
	run.mappings[5].pages[0] = 0;
	EXPECT_EQ(replay(elf, run).unlike_exit, std::vector<uint64_t>{0x7f0});
}

// The run, called as the tracer calls it: a program traced whole gives what
// it ran and wrote, a signal it gets is passed on to it, and what cannot be
// traced whole, or does not end well, is one line; no child is left behind,
// stopped or running, on any path.
TEST(Trace, RunsAProgramWholeOrSaysWhyAndLeavesNoChild)
{
	SKIP_UNLESS_ORDERED();
	const std::string tracee = program_copy(GREET_TRACEE), bytes = contents(tracee);
	const std::string not_executable = temp_file("greet-tracee", bytes);
	const Elf elf = read_elf(bytes);
	const Symbols symbols(elf.symbols);
	const Variants variants = find_variants(elf, symbols);
	const auto handler = std::find_if(elf.symbols.begin(), elf.symbols.end(),
					  [](auto &s) { return s.name == "greet_tracee_caught"; });
	ASSERT_NE(handler, elf.symbols.end());
	std::set<uint64_t> stack_tops;
	const struct {
		std::string program;
		std::vector<std::string> env;
		std::string why; // empty: traced whole
	} cases[] = {
		{tracee, {}, ""},
		{tracee, {"DO=catch"}, ""},
		{tracee, {"DO=exit"}, ": exited with status 3"},
		{tracee, {"DO=abort"}, ": ended by signal 6"},
		{tracee, {"DO=trap"}, ": ended by signal 5"},
		{tracee, {"DO=loop"}, ": still running after 200000 instructions, so stopped"},
		{tracee, {"DO=fork"}, ": starts another process, so it cannot be traced whole"},
		{tracee, {"DO=exec"}, ": runs another program, so it cannot be traced whole"},
		{tracee, {"DO=thread"}, ": starts a thread, so it cannot be traced whole"},
		{not_executable, {}, ": Permission denied"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.env));
		try {
			const ::Run run = trace(c.program, c.env, 200'000, elf);
			const Touched touched = record(elf, symbols, variants, run);
			EXPECT_EQ(c.why, "");
			EXPECT_TRUE(std::any_of(touched.executed.begin(), touched.executed.end(),
						[](const Symbol *s) { return s->name == "main"; }));
			EXPECT_FALSE(written_pages(elf, run).empty());
			// The kernel's count, and its page table at exit, are the replay's.
			const Replay replayed = replay(elf, run);
			EXPECT_EQ(replayed.faults.size(), run.kernel_faults);
			EXPECT_EQ(replayed.unlike_exit, std::vector<uint64_t>{});
			// The handler's first instruction is a step; the stack is where every traced run has it.
			EXPECT_EQ(std::any_of(run.steps.begin(), run.steps.end(),
					      [&](const Step &s) { return s.rip == handler->addr; }),
				  c.env == std::vector<std::string>{"DO=catch"});
			stack_tops.insert(std::find_if(run.mappings.begin(), run.mappings.end(), [](auto &m) {
						  return m.name == "[stack]";
					  })->end);
		} catch (const TraceError &e) {
			EXPECT_EQ(e.what(), c.program + c.why);
		}
		EXPECT_EQ(waitpid(-1, nullptr, __WALL | WNOHANG), -1) << "a child is left behind";
	}
	EXPECT_EQ(stack_tops.size(), 1u) << "the traced runs' addresses are randomised";
	unlink(not_executable.c_str());
	unlink(tracee.c_str());
}

// Where ptrace is refused (the tracer is itself traced) or kills its caller,
// the order is empty, dated before what it is made from so that the next
// build traces again, and the build goes on with one line saying so.
TEST(Trace, SaysWhyItCannotTrace)
{
	SKIP_UNLESS_ORDERED();
	if (!*STRACE)
		GTEST_SKIP() << "strace not found";
	const std::string tail = " is empty: greet is linked without its start-up order\n";
	const struct {
		const char *what;
		std::vector<std::string> before;
		std::function<void()> prepare;
		std::string why;
	} cases[] = {
		{"inside a tracer", {STRACE, "-f", "-qq", "-o", "/dev/null"}, {}, "ptrace is not permitted here"},
		{"under a filter that kills",
		 {},
		 [] { filter_calls({__NR_ptrace}); },
		 "ptrace is not permitted here (it ended the child that asked for it by signal 31, Bad system call)"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string path = temp_file("greet-order", "stale\n"),
				  script = temp_file("greet-lead.ld", "stale");
		std::vector<std::string> argv = c.before;
		argv.insert(argv.end(), {GREET_TRACE, "-o", path, "--script", script, GREET});
		// A leak checker, where the tracer has one, needs the ptrace refused here.
		Outcome refused = finish(start(argv, c.prepare, {"ASAN_OPTIONS=detect_leaks=0"}));
		EXPECT_EQ(refused.ended, "exit 0");
		EXPECT_EQ(refused.err, "greet-trace: " + c.why + ", so " + path + tail);
		EXPECT_EQ(contents(path), "");
		EXPECT_EQ(contents(script), lead_script({}));
		struct stat order, tracer;
		ASSERT_EQ(stat(path.c_str(), &order), 0);
		ASSERT_EQ(stat(GREET_TRACE, &tracer), 0);
		EXPECT_LT(order.st_mtime, tracer.st_mtime) << "a build would take the empty order as up to date";
		unlink(path.c_str());
		unlink(script.c_str());
	}
}

// What cannot be loaded, traced or written, or does not end well, a usage
// error and a failure to set up the traced run included, is one line and
// exit 1, and the order and the lead script are left as they were.
TEST(Trace, FailsInOneLineAndLeavesTheOrder)
{
	SKIP_UNLESS_ORDERED();
	// A copy, whose faults the replay knows, as every run that succeeds has them.
	const std::string program = program_copy(GREET_UNORDERED), unordered = contents(program);
	const std::string truncated = temp_file("greet-truncated", unordered.substr(0, 100)), self = "/proc/self/exe";
	const std::string fifo = temp_file("greet-fifo"), folder = temp_dir("greet-folder"), tracee = GREET_TRACEE;
	const std::string map = contents(GREET_UNORDERED_MAP);
	const std::string bad_map =
		temp_file("greet-bad.map", map.substr(0, map.find('\n', map.find('\n') + 1) + 1) + "\t.text\n");
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	// clang-format off
	const std::string usage = " (usage: greet-trace [-o ORDER] [--script SCRIPT] [--map MAP] [--report] [--steps N] "
				  "PROGRAM [NAME=VALUE ...])";
	const struct {
		std::vector<std::string> args;
		std::string why;
		std::function<void()> prepare = {};
	} cases[] = {
		{{MANPAGE}, std::string(MANPAGE) + ": not an ELF file"},
		{{"/nonexistent/greet"}, "/nonexistent/greet: No such file or directory"},
		{{truncated}, truncated + ": program headers lie past the end of the file"},
		{{"--steps", "0", program}, "--steps: not a count above 0: 0"},
		{{"--steps", "-5", program}, "--steps: not a count above 0: -5"},
		{{GREET_TRACEE, "DO=exit"}, tracee + ": exited with status 3"},
		{{self}, self + ": not a static, position-dependent executable"},
		{{"/dev"}, "/dev: not a regular file"},
		{{"/dev/zero"}, "/dev/zero: not a regular file"},
		{{fifo}, fifo + ": not a regular file"},
		{{"--script", folder, program}, "cannot rename " + folder + ".new to " + folder + ": Is a directory"},
		{{"-o", "/nonexistent/order", program}, "/nonexistent/order.new: No such file or directory"},
		{{"--map", MANPAGE, program}, std::string(MANPAGE) + ": line 1: not the header of a link map"},
		{{"--map", bad_map, program}, bad_map + ": line 3: not a line of a link map"},
		{{"--map", "/dev", program}, "/dev: not a regular file"},
		{{"--frob", program}, "--frob: not an option" + usage},
		{{"--map"}, "--map: needs an argument" + usage},
		{{}, "no PROGRAM to trace" + usage},
		{{"--report", program}, "--report cannot go with -o"},
		{{program}, "personality: Operation not permitted", [] { filter_calls({__NR_personality}, -1, EPERM); }},
		{{program}, "dup2 of /dev/null: Bad file descriptor", [] { filter_calls({__NR_dup2}, -1, EBADF); }},
	};
	// clang-format on
	for (auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.args));
		const std::string order = temp_file("greet-order", "stale\n"),
				  script = temp_file("greet-lead.ld", "stale\n");
		std::vector<std::string> argv = {GREET_TRACE, "-o", order, "--script", script};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Outcome o = finish(start(argv, c.prepare));
		EXPECT_EQ(o.ended, "exit 1");
		EXPECT_EQ(o.err, "greet-trace: " + c.why + "\n");
		EXPECT_EQ(contents(order), "stale\n");
		EXPECT_EQ(contents(script), "stale\n");
		for (size_t i = 1; i + 1 < argv.size(); i++) {
			if (argv[i] == "-o" || argv[i] == "--script") {
				EXPECT_NE(access((argv[i + 1] + ".new").c_str(), F_OK), 0)
					<< argv[i + 1] << ".new is left";
			}
		}
		unlink(order.c_str());
		unlink(script.c_str());
	}
	unlink(fifo.c_str());
	rmdir(folder.c_str());
	unlink(truncated.c_str());
	unlink(bad_map.c_str());
	unlink(program.c_str());
}

} // namespace
