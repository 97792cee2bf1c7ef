// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The static link's layout: what start-up touches stays on few pages on any
// processor, the traced order does not depend on the processor that traced
// it, and the ELF view holds on any file.
#include "child.hpp"
#include "elf.hpp"

#include <gtest/gtest.h>

#include <elf.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Other processors, stood in for by masking this one's features down to each
// x86-64 level, or by setting glibc's preferences: glibc then picks other
// variants of its string functions, where this processor has what the row
// masks or prefers.
const char *const no_v4 = "-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD";
const std::string no_v3 = std::string(no_v4) + ",-AVX2,-AVX,-FMA,-BMI1,-BMI2,-LZCNT,-MOVBE,-F16C";
// Each row's level is the x86-64 level it runs at; Prefer_ERMS takes a
// copy by rep movsb, a variant of the lowest level, whatever the processor.
const int this_level = __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") ? 4
		       : __builtin_cpu_supports("avx2")                                         ? 3
		       : __builtin_cpu_supports("sse4.2")                                       ? 2
												: 1;
const struct {
	const char *name;
	std::string features;
	bool has_masked;
	int level;
} processors[] = {
	{"this processor (x86-64-v4 where it has AVX-512)", "", false, this_level},
	{"x86-64-v3: AVX2, no AVX-512", no_v4, this_level > 3, std::min(this_level, 3)},
	{"x86-64-v2: SSE4.2 and POPCNT, no AVX", no_v3, this_level > 2, std::min(this_level, 2)},
	{"x86-64-v1: SSE2 alone", no_v3 + ",-POPCNT,-SSSE3,-SSE4_1,-SSE4_2,-ERMS,-FSRM,-RTM",
	 __builtin_cpu_supports("ssse3") != 0, 1},
	{"Prefer_ERMS", "Prefer_ERMS", true, 1},
	{"Prefer_No_AVX512", "Prefer_No_AVX512", this_level > 3, this_level},
};

// The build's trace environment, with features added to its mask.
std::string masked(const std::string &features)
{
	return GREET_TRACE_ENV + (features.empty() ? "" : "," + features);
}

// A report without the line fails the test that reads it.
long reported(const std::string &report, const std::string &what)
{
	std::smatch m;
	if (!std::regex_search(report, m, std::regex("(^|\n)" + what + " ([0-9]+)\n")))
		throw std::runtime_error("the report has no line \"" + what + " N\":\n" + report);
	return std::stol(m[2]);
}

// The report's count of each part's faults, or of its lines "fault PART ...".
std::map<std::string, long> faults_of(const std::string &report, bool listed)
{
	std::map<std::string, long> faults;
	std::regex line(listed ? "(^|\n)fault ([^ \n]+) ()" : "(^|\n)faults ([^\n]+) ([0-9]+)(?=\n)");
	for (auto it = std::sregex_iterator(report.begin(), report.end(), line); it != std::sregex_iterator(); ++it)
		faults[(*it)[2]] += listed ? 1 : std::stol((*it)[3]);
	return faults;
}

std::string variant_lines(const std::string &report)
{
	std::string lines;
	std::regex line("(^|\n)(variant [^\n]*)");
	for (auto it = std::sregex_iterator(report.begin(), report.end(), line); it != std::sregex_iterator(); ++it)
		lines += (*it)[2].str() + "\n";
	return lines;
}

// The most faults each part but the code takes in the build's trace
// environment, on every processor and toolchain tried: the mask's parser
// reads a second window of constants and writes a seventh page of data;
// RELRO's one written page; the thread block, malloc's cache, the end of
// the exception pool, the stdout buffer; _dl_get_origin's buffer below the
// exec's page of the stack; the vDSO's header.
const std::map<std::string, long> most_faults = {{"read-only", 2}, {"relro", 1}, {"data", 7},
						 {"heap", 4},      {"stack", 1}, {"vdso", 1}};

// Start-up's code lies in 64 KiB windows (one fault each, by fault-around)
// and what it writes on pages (one fault each), as the page table at exit
// has them; its faults, listed one by one, are the kernel's count of them.
// Each row takes no more windows than the report foresees for its level,
// no more faults in any part than its figure above, nor than this
// processor's run in the build's own environment, the first row, but for
// the constants of the level's variants, and RELRO's one page written. A
// masked row runs other variants wherever this processor has what it masks.
TEST(Layout, StartUpTouchesFewWindowsAndPagesOnEveryProcessor)
{
	SKIP_UNLESS_ORDERED();
	const std::string greet = program_copy(GREET);
	std::string own;
	std::map<std::string, long> own_faults;
	for (auto &p : processors) {
		SCOPED_TRACE(p.name);
		Outcome o = finish(start({GREET_TRACE, "--report", "--map", GREET_MAP, greet, masked(p.features)}));
		ASSERT_EQ(o.ended, "exit 0") << o.err;
		const long foreseen = reported(o.out, "code windows at x86-64-v" + std::to_string(p.level));
		EXPECT_LE(reported(o.out, "code windows"), foreseen) << o.out;
		EXPECT_LE(foreseen, GREET_MOST_CODE_WINDOWS) << o.out;
		EXPECT_LE(reported(o.out, "written pages"), GREET_MOST_WRITTEN_PAGES) << o.out;
		EXPECT_GT(reported(o.out, "written pages"), 0) << o.out;
		EXPECT_EQ(reported(o.out, "relro written pages"), 1) << o.out;
		EXPECT_EQ(o.err, "") << "the replay is not the kernel's";
		std::map<std::string, long> faults = faults_of(o.out, false);
		EXPECT_EQ(faults["total"], faults["kernel"]) << o.out;
		faults.erase("total");
		faults.erase("kernel");
		std::map<std::string, long> listed = faults_of(o.out, true);
		for (auto &part : faults)
			listed.emplace(part.first, 0);
		EXPECT_EQ(listed, faults) << "the fault lines are not what the parts count";
		EXPECT_EQ(faults["code"], reported(o.out, "code windows")) << o.out;
		EXPECT_EQ(faults["heap"], reported(o.out, "heap pages")) << o.out;
		if (own_faults.empty())
			own_faults = faults;
		// Code is the level's, as foreseen; so are the constants its variants
		// read, which the order leaves where they are: a window of them for
		// each window of code the level takes beyond this processor's run.
		const long beyond = std::max(0L, foreseen - own_faults["code"]);
		for (auto &[part, n] : faults) {
			const long extra = part == "read-only" ? beyond : 0;
			EXPECT_LE(n, part == "code" ? foreseen : own_faults[part] + extra) << part << "\n" << o.out;
			const long most = most_faults.count(part) ? most_faults.at(part) : 0;
			EXPECT_LE(n, part == "code" ? foreseen : most + extra) << part << "\n" << o.out;
		}
		const std::string variants = variant_lines(o.out);
		EXPECT_NE(variants, "") << o.out;
		if (own.empty())
			own = variants;
		else if (p.has_masked)
			EXPECT_NE(variants, own) << "masking changed no string function's variant";
		else
			std::printf("%s: this processor lacks what the row masks, so it stood for nothing here\n",
				    p.name);
	}
	unlink(greet.c_str());
}

// The build traced greet on one processor; any other gives the same order
// and lead script, and so the same greet.
TEST(Layout, OrderIsTheSameWhicheverProcessorTracesIt)
{
	SKIP_UNLESS_ORDERED();
	const std::string order = contents(GREET_ORDER), script = temp_file("greet-lead.ld");
	EXPECT_GT(std::count(order.begin(), order.end(), '\n'), 100) << GREET_ORDER;
	EXPECT_NE(order.find("\nframe_dummy\n"), std::string::npos) << "a function without a size is left out";
	for (auto &p : processors) {
		SCOPED_TRACE(p.name);
		Outcome o = finish(start({GREET_TRACE, "--map", GREET_UNORDERED_MAP, "--script", script,
					  GREET_UNORDERED, masked(p.features)}));
		EXPECT_EQ(o.ended, "exit 0") << o.err;
		EXPECT_TRUE(o.out == order) << "the order differs from " << GREET_ORDER;
		EXPECT_EQ(contents(script), contents(GREET_LEAD_SCRIPT));
	}
}

// Bytes at the very end of a mapping whose next page cannot be read, so
// that a read past their end faults.
class Guarded {
public:
	explicit Guarded(const std::string &bytes)
	{
		const size_t page = 4096;
		size = (bytes.size() / page + 2) * page;
		base = static_cast<char *>(
			mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
		if (base == MAP_FAILED || mprotect(base + size - page, page, PROT_NONE) != 0)
			throw std::runtime_error("mmap: " + std::string(std::strerror(errno)));
		data = base + size - page - bytes.size();
		std::memcpy(data, bytes.data(), bytes.size());
		length = bytes.size();
	}
	~Guarded() { munmap(base, size); }
	Guarded(const Guarded &) = delete;
	Guarded &operator=(const Guarded &) = delete;
	std::string_view view() const { return {data, length}; }

private:
	char *base, *data;
	size_t size, length;
};

// What read_elf says of bytes: "" for a view.
std::string verdict(const std::string &bytes)
{
	Guarded file(bytes);
	try {
		read_elf(file.view());
		return "";
	} catch (const ElfError &e) {
		return e.what();
	}
}

template <typename T> T &at(std::string &bytes, uint64_t offset)
{
	return *reinterpret_cast<T *>(bytes.data() + offset);
}

// The section of that type, in a copy of the file.
Elf64_Shdr &section(std::string &f, uint32_t type)
{
	auto &eh = at<Elf64_Ehdr>(f, 0);
	for (int i = 0; i < eh.e_shnum; i++)
		if (auto &s = at<Elf64_Shdr>(f, eh.e_shoff + i * sizeof(Elf64_Shdr)); s.sh_type == type)
			return s;
	throw std::runtime_error("no section of type " + std::to_string(type));
}

std::string program_for_elf()
{
	return contents(*GREET_UNORDERED ? GREET_UNORDERED : GREET);
}

// Each malformed file, made from a real one, gets its reason and no read
// past its end.
TEST(Elf, EveryMalformedFileGetsItsReason)
{
	const std::string real = program_for_elf();
	ASSERT_EQ(verdict(real), "");
	// Where a cut at 5000 bytes and the symbol table fall, as the view reads them.
	const Elf view = read_elf(real);
	const auto cut = std::find_if(view.segments.begin(), view.segments.end(),
				      [](auto &p) { return p.offset + p.filesz > 5000; });
	const auto symbol_table =
		std::find_if(view.sections.begin(), view.sections.end(), [](auto &s) { return s.type == SHT_SYMTAB; });
	using Edit = std::function<void(std::string &)>;
	auto eh = [](std::string &f) -> Elf64_Ehdr & { return at<Elf64_Ehdr>(f, 0); };
	auto ph = [&](std::string &f, int i) -> Elf64_Phdr & {
		return at<Elf64_Phdr>(f, eh(f).e_phoff + i * sizeof(Elf64_Phdr));
	};
	auto truncate = [](size_t n) { return Edit([n](std::string &f) { f.resize(n); }); };
	const struct {
		const char *what;
		Edit edit;
		std::string why;
	} cases[] = {
		// clang-format off
		{"empty", truncate(0), "not an ELF file"},
		{"truncated to 3 bytes", truncate(3), "not an ELF file"},
		{"truncated to 63 bytes", truncate(63), "truncated ELF header"},
		{"truncated to 100 bytes", truncate(100), "program headers lie past the end of the file"},
		{"truncated to 5000 bytes", truncate(5000), "segment " + std::to_string(cut - view.segments.begin()) + " lies outside the file or the address space"},
		{"truncated by one byte", truncate(real.size() - 1), "section headers lie past the end of the file"},
		{"32-bit", [&](std::string &f) { eh(f).e_ident[EI_CLASS] = ELFCLASS32; }, "not a 64-bit little-endian ELF file"},
		{"big-endian", [&](std::string &f) { eh(f).e_ident[EI_DATA] = ELFDATA2MSB; }, "not a 64-bit little-endian ELF file"},
		{"another machine", [&](std::string &f) { eh(f).e_machine = EM_AARCH64; }, "not an x86-64 ELF file"},
		{"e_phoff past the end", [&](std::string &f) { eh(f).e_phoff = f.size(); }, "program headers lie past the end of the file"},
		{"e_phoff near 2^64", [&](std::string &f) { eh(f).e_phoff = ~0ull - 8; }, "program headers lie past the end of the file"},
		{"e_phnum too large", [&](std::string &f) { eh(f).e_phnum = 0xffff; }, "program headers lie past the end of the file"},
		{"e_phentsize wrong", [&](std::string &f) { eh(f).e_phentsize = 8; }, "program header entries are not ELF64 program headers"},
		{"e_shoff past the end", [&](std::string &f) { eh(f).e_shoff = f.size() + 4096; }, "section headers lie past the end of the file"},
		{"e_shnum too large", [&](std::string &f) { eh(f).e_shnum = 0xffff; }, "section headers lie past the end of the file"},
		{"e_shentsize wrong", [&](std::string &f) { eh(f).e_shentsize = 40; }, "section header entries are not ELF64 section headers"},
		{"e_shstrndx out of range", [&](std::string &f) { eh(f).e_shstrndx = eh(f).e_shnum; }, "no section name table"},
		{"a segment past the end", [&](std::string &f) { ph(f, 1).p_offset = f.size(); }, "segment 1 lies outside the file or the address space"},
		{"a huge p_memsz", [&](std::string &f) { ph(f, 1).p_memsz = ~0ull; }, "segment 1 lies outside the file or the address space"},
		{"a section past the end", [&](std::string &f) { section(f, SHT_SYMTAB).sh_size = f.size(); }, "section " + std::to_string(symbol_table - view.sections.begin()) + " lies past the end of the file"},
		{"a symbol table's link out of range", [&](std::string &f) { section(f, SHT_SYMTAB).sh_link = 0xffff; }, "symbol table links to no string table"},
		{"a symbol table of odd size", [&](std::string &f) { section(f, SHT_SYMTAB).sh_size -= 1; }, "symbol table entries are not ELF64 symbols"},
		{"a symbol's name past its table", [&](std::string &f) {
			 auto &symtab = section(f, SHT_SYMTAB);
			 at<Elf64_Sym>(f, symtab.sh_offset + symtab.sh_size - sizeof(Elf64_Sym)).st_name = 0x7fffffff;
		 }, "symbol name lies outside its string table"},
		{"names not ended", [&](std::string &f) {
			 auto &symtab = section(f, SHT_SYMTAB);
			 auto &names = at<Elf64_Shdr>(f, eh(f).e_shoff + symtab.sh_link * sizeof(Elf64_Shdr));
			 std::fill_n(f.begin() + static_cast<long>(names.sh_offset), names.sh_size, 'x');
		 }, "symbol name runs past its string table"},
		// clang-format on
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::string f = real;
		c.edit(f);
		EXPECT_EQ(verdict(f), c.why);
	}
}

// A dynamic executable, or one asking for a loader, is read but is not
// static; greet is.
TEST(Elf, StaticIsAnExecutableWithoutLoaderOrDynamicSection)
{
	const std::string real = program_for_elf();
	const struct {
		const char *what;
		std::function<void(std::string &)> edit;
		bool is_static;
	} cases[] = {
		{"as built", [](std::string &) {}, GREET_STATIC_BUILD},
		{"position-independent", [](std::string &f) { at<Elf64_Ehdr>(f, 0).e_type = ET_DYN; }, false},
		{"asking for a loader",
		 [](std::string &f) { at<Elf64_Phdr>(f, at<Elf64_Ehdr>(f, 0).e_phoff).p_type = PT_INTERP; }, false},
		{"with a dynamic section",
		 [](std::string &f) { at<Elf64_Phdr>(f, at<Elf64_Ehdr>(f, 0).e_phoff).p_type = PT_DYNAMIC; }, false},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::string f = real;
		c.edit(f);
		Guarded file(f);
		EXPECT_EQ(read_elf(file.view()).static_executable(), c.is_static);
	}
}

// Random corruptions of the headers give a view or a reason, never a
// crash, another exception or a read past the end; the seed makes every run
// the same.
TEST(Elf, RandomlyCorruptedHeadersGiveAViewOrAReason)
{
	const std::string real = program_for_elf();
	const auto &eh = *reinterpret_cast<const Elf64_Ehdr *>(real.data());
	// The ELF header, the program headers and the section headers.
	const std::vector<std::pair<uint64_t, uint64_t>> headers = {{0, sizeof(Elf64_Ehdr)},
								    {eh.e_phoff, eh.e_phnum * sizeof(Elf64_Phdr)},
								    {eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr)}};
	std::mt19937 random(20261209);
	int views = 0, reasons = 0;
	for (int round = 0; round < 400; round++) {
		std::string f = real;
		for (int n = 1 + static_cast<int>(random() % 8); n > 0; n--) {
			auto &[start, length] = headers[random() % headers.size()];
			f[start + random() % length] = static_cast<char>(random());
		}
		if (random() % 4 == 0)
			f.resize(random() % f.size());
		const std::string said = verdict(f);
		(said.empty() ? views : reasons)++;
		// A reason is the view's own (read_elf throws no other), in one line.
		EXPECT_EQ(said.find('\n'), std::string::npos) << said;
	}
	std::printf("400 corruptions: %d read as a view, %d refused with a reason\n", views, reasons);
	EXPECT_GT(reasons, 0);
}

// No segment is both writable and executable, and the executable one holds
// code alone: no ELF header, read-only data or unwind tables.
TEST(Binary, ExecutableSegmentHoldsOnlyCode)
{
	const std::string bytes = contents(GREET);
	const Elf elf = read_elf(bytes);
	int executable = 0;
	for (auto &seg : elf.segments) {
		if (seg.type != PT_LOAD || !(seg.flags & PF_X))
			continue;
		executable++;
		EXPECT_FALSE(seg.flags & PF_W) << "a segment is writable and executable";
		EXPECT_NE(seg.offset, 0u) << "the ELF header is executable";
		for (auto &s : elf.sections) {
			if ((s.flags & SHF_ALLOC) && s.size && s.addr >= seg.vaddr && s.addr - seg.vaddr < seg.memsz) {
				EXPECT_TRUE(s.flags & SHF_EXECINSTR) << s.name << " is in the executable segment";
			}
		}
	}
	EXPECT_EQ(executable, 1);
}

} // namespace
