// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The tracer's core, by parts: what it reads of an instruction's accesses,
// and the order it makes of what a run touched.
#include "access.hpp"
#include "order.hpp"

#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>

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
	r.rax = 0x10, r.rcx = 3, r.rbx = 0x2000, r.rsp = 0x7ff0, r.rsi = 0x4000, r.rdi = 0x3000;
	r.r12 = 0x5000, r.r13 = 2;
	r.fs_base = 0x70000, r.gs_base = 0x80000;
	return r;
}

// Each instruction's bytes, run at rip with the registers above.
TEST(Access, EachInstructionTouchesWhatItsOperandsName)
{
	const struct {
		const char *what;
		std::string bytes;
		std::vector<Access> touched;
	} cases[] = {
		{"mov rax, [rbx+8]", "\x48\x8b\x43\x08", {{0x2008, 8, true, false}}},
		{"mov [rbx+8], rax", "\x48\x89\x43\x08", {{0x2008, 8, false, true}}},
		{"add [rbx], eax", "\x01\x03", {{0x2000, 4, true, true}}},
		{"lock cmpxchg [rdi], ecx", "\xf0\x0f\xb1\x0f", {{0x3000, 4, true, true}}},
		{"xchg [rbx], eax", "\x87\x03", {{0x2000, 4, true, true}}},
		{"movsb", "\xa4", {{0x3000, 1, false, true}, {0x4000, 1, true, false}}},
		{"rep stosq", "\xf3\x48\xab", {{0x3000, 8, false, true}}},
		{"mov rax, [rip+0x10]", std::string("\x48\x8b\x05\x10\x00\x00\x00", 7), {{rip + 7 + 0x10, 8, true, false}}},
		{"mov eax, [rbx+rcx*4+0x20]", "\x8b\x44\x8b\x20", {{0x2000 + 3 * 4 + 0x20, 4, true, false}}},
		{"mov eax, [rcx*8+0x1000]", std::string("\x8b\x04\xcd\x00\x10\x00\x00", 7), {{3 * 8 + 0x1000, 4, true, false}}},
		{"mov eax, [rsp+0x10]", "\x8b\x44\x24\x10", {{0x8000, 4, true, false}}},
		{"mov rax, [r12+r13*2]", "\x4b\x8b\x04\x6c", {{0x5004, 8, true, false}}},
		{"vmovdqu ymm0, [rdi] (VEX)", "\xc5\xfe\x6f\x07", {{0x3000, 32, true, false}}},
		{"vmovdqu [rdi+0x20], ymm1 (VEX)", "\xc5\xfe\x7f\x4f\x20", {{0x3020, 32, false, true}}},
		{"vmovdqu64 [rdi], zmm16 (EVEX)", "\x62\xe1\xfe\x48\x7f\x07", {{0x3000, 64, false, true}}},
		{"mov rax, fs:[0x28]", std::string("\x64\x48\x8b\x04\x25\x28\x00\x00\x00", 9), {{0x70028, 8, true, false}}},
		{"mov dword gs:[rax], 1", std::string("\x65\xc7\x00\x01\x00\x00\x00", 7), {{0x80010, 4, false, true}}},
		{"push rbx", "\x53", {{0x7fe8, 8, false, true}}},
		{"pop rbx", "\x5b", {{0x7ff0, 8, true, false}}},
		{"lea rax, [rbx+8]", "\x48\x8d\x43\x08", {}},
		{"nop dword [rax+rax]", std::string("\x0f\x1f\x44\x00\x00", 5), {}},
		{"prefetcht0 [rdi]", "\x0f\x18\x0f", {}},
		{"prefetchw [rdi]", "\x0f\x0d\x0f", {}},
		{"mov eax, ecx", "\x89\xc8", {}},
		{"truncated", "\x48\x8b", {}},
		{"nothing", "", {}},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(accesses(c.bytes, rip, registers()), c.touched);
	}
}

Symbol function(uint64_t addr, const std::string &name) { return {addr, 0x10, name, true}; }
Symbol object(uint64_t addr, uint64_t size, const std::string &name) { return {addr, size, name, false}; }

TEST(Order, OwnerIsTheSymbolAnAddressLiesIn)
{
	const Symbols symbols({function(0x1000, "twice"), function(0x1000, "once"), function(0x2000, "twice"),
			       object(0x3000, 8, "small"), {0x3100, 0, "sizeless", false}});
	EXPECT_EQ(symbols.owner(0x1000)->name, "once") << "a name defined once comes first";
	EXPECT_EQ(symbols.owner(0x100f)->name, "once");
	EXPECT_EQ(symbols.owner(0x1010), nullptr);
	EXPECT_EQ(symbols.owner(0x3007)->name, "small");
	EXPECT_EQ(symbols.owner(0x3008), nullptr);
	EXPECT_EQ(symbols.owner(0x3100), nullptr);
	EXPECT_EQ(symbols.owner(0), nullptr);
	EXPECT_TRUE(symbols.unique("once"));
	EXPECT_FALSE(symbols.unique("twice"));
}

// Code by address, every variant of each family run by ISA, written objects
// smallest first, then those only read, writable before read-only; a name
// the linker could not tell apart is left out.
TEST(Order, GathersCodeVariantsThenWrittenThenReadData)
{
	const Symbols symbols({
		function(0x1200, "later"), function(0x1100, "earlier"), function(0x1300, "twice"),
		function(0x1400, "twice"), function(0x2000, "__memset_avx2_unaligned"),
		function(0x2100, "__memset_sse2_unaligned"), function(0x2200, "__memset_evex_unaligned"),
		function(0x2300, "__strlen_avx2"), function(0x2400, "__memcpy_avx_unaligned_erms"),
		function(0x2400, "__memmove_avx_unaligned_erms"), function(0x2500, "__memmove_sse2_unaligned"),
		object(0x5000, 64, "big"), object(0x5100, 8, "small"), object(0x5200, 8, "read"),
		object(0x5300, 4, "both"), object(0x400, 16, "constant"),
	});
	auto at = [&](uint64_t addr) { return symbols.owner(addr); };
	Touched run;
	run.executed = {at(0x1200), at(0x1100), at(0x1300), at(0x2000), at(0x2400)};
	run.written = {at(0x5000), at(0x5100), at(0x5300)};
	run.read = {at(0x5200), at(0x5300)};
	run.read_only = {at(0x400)};
	EXPECT_EQ(make_order(symbols, run),
		  (std::vector<std::string>{"earlier", "later", "__memset_sse2_unaligned", "__memmove_sse2_unaligned",
					    "__memset_evex_unaligned", "__memset_avx2_unaligned",
					    "__memcpy_avx_unaligned_erms", "__memmove_avx_unaligned_erms", "both",
					    "small", "big", "read", "constant"}));
	EXPECT_EQ(variants_run(symbols, run),
		  (std::map<std::string, std::set<std::string>>{
			  {"__memcpy", {"__memcpy_avx_unaligned_erms"}},
			  {"__memmove", {"__memmove_avx_unaligned_erms"}},
			  {"__memset", {"__memset_avx2_unaligned"}}}));
}

// f1 names A and calls f2, which names B and calls f3, which names C and a
// writable W: read-only objects are named down to the depth of calls asked.
TEST(Order, NamesTheReadOnlyObjectsOfCodeAndItsCallees)
{
	std::string file(0x100, '\xcc');
	auto put = [&](uint64_t at, const std::string &code) { file.replace(at, code.size(), code); };
	put(0x00, std::string("\x48\x8d\x05\xf9\x0f\x00\x00" "\xe8\x04\x00\x00\x00" "\xc3", 13));
	put(0x10, std::string("\x8b\x05\xfa\x0f\x00\x00" "\xe8\x05\x00\x00\x00" "\xc3", 12));
	put(0x20, std::string("\x48\x8d\x05\xf9\x0f\x00\x00" "\x48\x8b\x05\xd2\x1f\x00\x00" "\xc3", 15));
	Elf elf{file, ET_EXEC,
		{{PT_LOAD, PF_R | PF_X, 0, 0x1000, 0x100, 0x100}, {PT_LOAD, PF_R, 0, 0x2000, 0x100, 0x100},
		 {PT_LOAD, PF_R | PF_W, 0, 0x3000, 0x100, 0x100}},
		{},
		{function(0x1000, "f1"), function(0x1010, "f2"), function(0x1020, "f3"), object(0x2000, 8, "A"),
		 object(0x2010, 8, "B"), object(0x2020, 8, "C"), object(0x3000, 8, "W")}};
	const Symbols symbols(elf.symbols);
	Touched run;
	run.executed = {symbols.owner(0x1000)};
	const std::vector<std::vector<std::string>> named = {{"A"}, {"A", "B"}, {"A", "B", "C"}, {"A", "B", "C"}};
	for (int depth = 0; depth < 4; depth++) {
		SCOPED_TRACE(depth);
		std::vector<std::string> names;
		for (auto *s : named_read_only(elf, symbols, run, depth))
			names.push_back(s->name);
		std::sort(names.begin(), names.end());
		EXPECT_EQ(names, named[static_cast<size_t>(depth)]);
	}
}

// A string function's variant loads V; its caller, after the return, stores
// to C and loads R: each instruction is judged by the function it lies in.
TEST(Order, RecordsWhatEachInstructionTouchedButTheVariants)
{
	std::string file(0x40, '\xcc');
	file.replace(0x00, 7, std::string("\x48\x8b\x05\xf9\x1f\x00\x00", 7));
	file.replace(0x10, 7, std::string("\x48\x89\x05\xf1\x1f\x00\x00", 7));
	file.replace(0x17, 7, std::string("\x48\x8b\x05\xf2\x1f\x00\x00", 7));
	Elf elf{file, ET_EXEC,
		{{PT_LOAD, PF_R | PF_X, 0, 0x1000, 0x40, 0x40}, {PT_LOAD, PF_R | PF_W, 0, 0x3000, 0, 0x100}},
		{},
		{function(0x1000, "__memset_avx2_unaligned"), {0x1010, 0x20, "caller", true}, object(0x3000, 8, "V"),
		 object(0x3008, 8, "C"), object(0x3010, 8, "R")}};
	const Symbols symbols(elf.symbols);
	Touched run;
	for (uint64_t rip : {0x1000, 0x1010, 0x1017}) {
		user_regs_struct regs{};
		regs.rip = rip;
		record(run, elf, symbols, variant_addrs(symbols), regs);
	}
	auto names = [](const std::set<const Symbol *> &set) {
		std::vector<std::string> n;
		for (auto *s : set)
			n.push_back(s->name);
		return n;
	};
	EXPECT_EQ(names(run.written), std::vector<std::string>{"C"});
	EXPECT_EQ(names(run.read), std::vector<std::string>{"R"});
}

TEST(Order, VariantIsReadFromTheName)
{
	const struct {
		const char *name, *family, *isa;
	} cases[] = {
		{"__memset_avx512_unaligned_erms", "__memset", "avx512"},
		{"__strlen_sse2", "__strlen", "sse2"},
		{"__memcmp_evex_movbe", "__memcmp", "evex"},
		{"__strchr_sse4_2", "__strchr", "sse4_2"},
		{"memset", "", ""},
		{"__libc_start_main", "", ""},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		Variant v = variant(c.name);
		EXPECT_EQ(v.family, c.family);
		EXPECT_EQ(v.isa, c.isa);
	}
}

} // namespace
