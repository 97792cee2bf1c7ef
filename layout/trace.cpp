// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// greet-trace [-o ORDER | --report] PROGRAM [NAME=VALUE ...]
//
// Runs PROGRAM, a static and unstripped executable, once under ptrace, one
// instruction at a time, with no arguments, standard input and output on
// /dev/null and an environment of the NAME=VALUE given alone, and writes to
// ORDER (standard output without -o) the symbol order that gathers what its
// start-up and exit touch, one name a line, for lld's --symbol-ordering-file:
//
//   code      each function executed, in the program's own address order, so
//             that the order says which sections lie together and nothing
//             about the path one processor took among them;
//   variants  every variant of each string function executed (glibc picks one
//             by the processor's features), ISA by ISA, SSE2 first since some
//             code calls those by name: the order is the same whichever
//             variant this processor ran;
//   data      each object written (its bytes differ between exec and exit, or
//             an instruction stored to it), smallest first, then each one
//             only read, in address order, so that start-up writes to few
//             pages and reads little beyond them. What the string functions
//             touch is passed over: that depends on the variant.
//
// A name defined more than once is passed over (the linker could not tell
// which is meant), as is all but one of several names for one address.
// --report prints instead how many 64 KiB windows the executed code lies in
// and how many pages the run wrote, then each of them. Where ptrace is not
// permitted, -o writes an empty ORDER and says so in one line: the program
// is then linked in its plain order. Any other failure is one line on
// standard error and exit 1.
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Symbol {
	unsigned long addr, size;
	std::string name;
	bool code;
};

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "greet-trace: %s\n", what.c_str());
	std::exit(1);
}

std::string why() { return std::strerror(errno); }

// The ISA a string function's variant is built for, as its name says:
// __memset_avx2_unaligned_erms is memset's AVX2 variant.
const std::regex variant("^(.+?)_(sse2|ssse3|sse4_1|sse4_2|avx|avx2|evex|evex512|avx512)(_.*)?$");
// Nearest the code first: SSE2 variants are also called by name.
const std::vector<std::string> isa_order = {"sse2", "ssse3", "sse4_1", "sse4_2", "evex",
					     "evex512", "avx512", "avx2", "avx"};

// The memory an x86-64 instruction reads or writes, from its ModRM operand
// (or a string instruction's rdi and rsi) and the registers it ran with;
// addr 0 where it has none, or one this reading does not follow (EVEX,
// segment-relative, RIP-relative where the next instruction is unknown).
struct Access {
	unsigned long addr;
	bool store;
};

Access access(const unsigned char *b, unsigned long at, unsigned long next, const user_regs_struct &r)
{
	if (!b)
		return {0, false};
	const unsigned long regs[16] = {r.rax, r.rcx, r.rdx, r.rbx, r.rsp, r.rbp, r.rsi, r.rdi,
					r.r8,  r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15};
	size_t i = 0;
	bool lock = false, rex_b = false, rex_x = false, rep_f3 = false;
	for (;; i++) {
		unsigned char c = b[i];
		if (c == 0xf0)
			lock = true;
		else if (c == 0x64 || c == 0x65 || c == 0x67)
			return {0, false};
		else if (c == 0xf3)
			rep_f3 = true;
		else if (c != 0x66 && c != 0xf2 && c != 0x2e && c != 0x36 && c != 0x3e && c != 0x26)
			break;
	}
	if ((b[i] & 0xf0) == 0x40) {
		rex_b = b[i] & 1, rex_x = b[i] & 2;
		i++;
	}
	int map = 0;
	if (b[i] == 0xc5) {
		map = 1, i += 2;
	} else if (b[i] == 0xc4) {
		rex_x = !(b[i + 1] & 0x40), rex_b = !(b[i + 1] & 0x20), map = b[i + 1] & 0x1f, i += 3;
	} else if (b[i] == 0x62) {
		return {0, false};
	} else if (b[i] == 0x0f) {
		map = b[i + 1] == 0x38 ? 2 : b[i + 1] == 0x3a ? 3 : 1;
		i += map == 1 ? 1 : 2;
	}
	unsigned op = b[i++];
	if (map == 0 && (op == 0xa4 || op == 0xa5 || op == 0xaa || op == 0xab)) // movs, stos
		return {r.rdi, true};
	bool modrm;
	if (map == 0)
		modrm = (op < 0x40 && (op & 7) < 4) || op == 0x63 || op == 0x69 || op == 0x6b ||
			(op >= 0x80 && op <= 0x8f) || op == 0xc0 || op == 0xc1 || op == 0xc6 || op == 0xc7 ||
			(op >= 0xd0 && op <= 0xd3) || (op >= 0xd8 && op <= 0xdf) || op == 0xf6 ||
			op == 0xf7 || op == 0xfe || op == 0xff;
	else if (map == 1)
		modrm = !(op == 0x05 || op == 0x06 || op == 0x07 || op == 0x08 || op == 0x09 ||
			  op == 0x0b || op == 0x0e || (op >= 0x30 && op <= 0x37) || op == 0x77 ||
			  (op >= 0x80 && op <= 0x8f) || (op >= 0xa0 && op <= 0xa2) || op == 0xa8 ||
			  op == 0xa9 || op == 0xaa || (op >= 0xc8 && op <= 0xcf));
	else
		modrm = map <= 3;
	if (!modrm)
		return {0, false};
	unsigned m = b[i++], mod = m >> 6, reg = (m >> 3) & 7, rm = m & 7;
	if (mod == 3)
		return {0, false};
	unsigned long ea = 0;
	if (rm == 4) {
		unsigned sib = b[i++], index = ((sib >> 3) & 7) | (rex_x << 3), base = (sib & 7) | (rex_b << 3);
		if (index != 4)
			ea += regs[index] << (sib >> 6);
		if ((sib & 7) == 5 && mod == 0) {
			int32_t d;
			std::memcpy(&d, b + i, 4);
			ea += static_cast<unsigned long>(static_cast<long>(d));
			mod = 0, i += 4;
		} else {
			ea += regs[base];
		}
	} else if (rm == 5 && mod == 0) {
		if (next <= at || next - at > 15)
			return {0, false};
		int32_t d;
		std::memcpy(&d, b + i, 4);
		ea = next + static_cast<unsigned long>(static_cast<long>(d));
	} else {
		ea = regs[rm | (rex_b << 3)];
	}
	if (mod == 1)
		ea += static_cast<unsigned long>(static_cast<long>(static_cast<int8_t>(b[i])));
	if (mod == 2) {
		int32_t d;
		std::memcpy(&d, b + i, 4);
		ea += static_cast<unsigned long>(static_cast<long>(d));
	}
	bool store = lock;
	if (map == 0)
		store = store || op == 0x88 || op == 0x89 || op == 0xc6 || op == 0xc7 || op == 0x86 ||
			op == 0x87 || op == 0x8f || (op < 0x38 && (op & 7) < 2) ||
			((op == 0x80 || op == 0x81 || op == 0x83) && reg != 7) ||
			((op == 0xfe || op == 0xff) && reg < 2) || ((op == 0xf6 || op == 0xf7) && (reg == 2 || reg == 3)) ||
			op == 0xc0 || op == 0xc1 || (op >= 0xd0 && op <= 0xd3);
	else if (map == 1)
		store = store || op == 0xb0 || op == 0xb1 || op == 0xc0 || op == 0xc1 || op == 0xab ||
			op == 0xb3 || op == 0xbb || (op == 0xba && reg >= 5) || (op & 0xf0) == 0x90 ||
			op == 0x11 || op == 0x13 || op == 0x17 || op == 0x29 || op == 0x2b || op == 0x7f ||
			op == 0xd6 || op == 0xe7 || op == 0xc3 || (op == 0x7e && !rep_f3);
	return {ea, store};
}

} // namespace

int main(int argc, char **argv)
{
	const char *output = nullptr;
	bool report = false;
	int arg = 1;
	if (argc > 2 && std::strcmp(argv[1], "-o") == 0)
		output = argv[2], arg = 3;
	else if (argc > 1 && std::strcmp(argv[1], "--report") == 0)
		report = true, arg = 2;
	if (arg >= argc)
		fail("usage: greet-trace [-o ORDER | --report] PROGRAM [NAME=VALUE ...]");
	const char *program = argv[arg];
	std::ifstream in(program, std::ios::binary);
	if (!in)
		fail(std::string(program) + ": " + why());
	const std::string elf{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	if (elf.size() < sizeof(Elf64_Ehdr) || elf.compare(0, SELFMAG, ELFMAG) != 0)
		fail(std::string(program) + ": not an ELF file");
	auto eh = reinterpret_cast<const Elf64_Ehdr *>(elf.data());
	auto sh = reinterpret_cast<const Elf64_Shdr *>(elf.data() + eh->e_shoff);
	auto ph = reinterpret_cast<const Elf64_Phdr *>(elf.data() + eh->e_phoff);
	if (eh->e_type != ET_EXEC)
		fail(std::string(program) + ": not a static, position-dependent executable");

	// Every sized function and object, and how often each name is defined.
	std::vector<Symbol> symbols;
	std::map<std::string, int> defined;
	for (int i = 0; i < eh->e_shnum; i++) {
		if (sh[i].sh_type != SHT_SYMTAB)
			continue;
		auto sym = reinterpret_cast<const Elf64_Sym *>(elf.data() + sh[i].sh_offset);
		const char *names = elf.data() + sh[sh[i].sh_link].sh_offset;
		for (size_t j = 0; j < sh[i].sh_size / sizeof *sym; j++) {
			int type = ELF64_ST_TYPE(sym[j].st_info);
			if (sym[j].st_shndx == SHN_UNDEF || sym[j].st_shndx >= SHN_LORESERVE ||
			    (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC))
				continue;
			std::string name = names + sym[j].st_name;
			defined[name]++;
			if (sym[j].st_size)
				symbols.push_back({sym[j].st_value, sym[j].st_size, name, type != STT_OBJECT});
		}
	}
	if (symbols.empty())
		fail(std::string(program) + ": no symbol table (stripped?)");
	// Where each address lies: of several names for one address, the first
	// defined once, by name.
	std::sort(symbols.begin(), symbols.end(), [&](const Symbol &a, const Symbol &b) {
		bool ua = defined[a.name] == 1, ub = defined[b.name] == 1;
		return a.addr != b.addr ? a.addr < b.addr : ua != ub ? ua : a.name < b.name;
	});
	std::vector<const Symbol *> spans;
	for (auto &s : symbols)
		if (spans.empty() || spans.back()->addr != s.addr)
			spans.push_back(&s);
	auto owner = [&](unsigned long addr) -> const Symbol * {
		auto it = std::upper_bound(spans.begin(), spans.end(), addr,
					   [](unsigned long a, const Symbol *s) { return a < s->addr; });
		if (it == spans.begin() || addr >= (*--it)->addr + (*it)->size)
			return nullptr;
		return *it;
	};

	std::vector<std::string> env_strings(argv + arg + 1, argv + argc);
	std::vector<char *> envp;
	for (auto &e : env_strings)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	char *child_argv[] = {const_cast<char *>(program), nullptr};

	pid_t pid = fork();
	if (pid < 0)
		fail("fork: " + why());
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(null, 1);
		// Addresses of stack and heap as in every traced run.
		personality(ADDR_NO_RANDOMIZE);
		if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
			_exit(126);
		execve(program, child_argv, envp.data());
		std::fprintf(stderr, "greet-trace: %s: %s\n", program, std::strerror(errno));
		_exit(127);
	}
	int status;
	if (waitpid(pid, &status, 0) != pid)
		fail("waitpid: " + why());
	if (WIFEXITED(status) && WEXITSTATUS(status) == 126) {
		if (!output)
			fail("ptrace is not permitted here");
		if (FILE *f = std::fopen(output, "w"); !f || std::fclose(f) != 0)
			fail(std::string(output) + ": " + why());
		std::fprintf(stderr, "greet-trace: ptrace is not permitted here, so %s is empty: "
				     "greet is linked without its start-up order\n", output);
		return 0;
	}
	if (!WIFSTOPPED(status))
		std::exit(1); // the child said why
	ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);

	// The writable segments' bytes, as exec left them and as exit finds them.
	char mem_path[64];
	std::snprintf(mem_path, sizeof mem_path, "/proc/%d/mem", static_cast<int>(pid));
	int mem = open(mem_path, O_RDONLY | O_CLOEXEC);
	if (mem < 0)
		fail(std::string(mem_path) + ": " + why());
	auto writable = [&] {
		std::vector<std::pair<unsigned long, std::string>> image;
		for (int i = 0; i < eh->e_phnum; i++) {
			if (ph[i].p_type != PT_LOAD || !(ph[i].p_flags & PF_W))
				continue;
			std::string bytes(ph[i].p_memsz, '\0');
			if (pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(ph[i].p_vaddr)) !=
			    static_cast<ssize_t>(bytes.size()))
				fail(std::string(mem_path) + ": " + why());
			image.emplace_back(ph[i].p_vaddr, bytes);
		}
		return image;
	};
	const auto before = writable();
	std::set<unsigned long> variant_addrs;
	for (auto &s : symbols)
		if (s.code && std::regex_match(s.name, variant))
			variant_addrs.insert(s.addr);
	// The bytes of the instruction at addr, from the file.
	auto code_bytes = [&](unsigned long addr) -> const unsigned char * {
		for (int i = 0; i < eh->e_phnum; i++)
			if (ph[i].p_type == PT_LOAD && (ph[i].p_flags & PF_X) && addr >= ph[i].p_vaddr &&
			    addr < ph[i].p_vaddr + ph[i].p_filesz &&
			    ph[i].p_offset + (addr - ph[i].p_vaddr) + 15 <= elf.size())
				return reinterpret_cast<const unsigned char *>(elf.data()) + ph[i].p_offset +
				       (addr - ph[i].p_vaddr);
		return nullptr;
	};

	std::set<const Symbol *> executed, stored, loaded;
	user_regs_struct before_regs{};
	bool in_variant = false;
	std::set<unsigned long> code_windows, written_pages;
	const Symbol *current = nullptr;
	unsigned long steps = 0, previous = 0;
	for (;; steps++) {
		user_regs_struct regs;
		if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
			fail("ptrace: " + why());
		code_windows.insert(regs.rip >> 16);
		// The object the instruction just run read or wrote, by its memory
		// operand and the registers it ran with. The string functions'
		// accesses are passed over: they differ from one variant to the
		// next, and so from one processor to the next.
		if (previous && !in_variant) {
			Access a = access(code_bytes(previous), previous, regs.rip, before_regs);
			if (a.addr)
				if (const Symbol *s = owner(a.addr); s && !s->code)
					(a.store ? stored : loaded).insert(s);
		}
		in_variant = current && variant_addrs.count(current->addr);
		before_regs = regs;
		previous = regs.rip;
		// Most steps stay in the function of the step before.
		if (!current || regs.rip < current->addr || regs.rip >= current->addr + current->size) {
			current = owner(regs.rip);
			if (current && current->code)
				executed.insert(current);
		}
		if (ptrace(PTRACE_SINGLESTEP, pid, nullptr, nullptr) != 0)
			fail("ptrace: " + why());
		if (waitpid(pid, &status, 0) != pid)
			fail("waitpid: " + why());
		if (!WIFSTOPPED(status))
			fail(std::string(program) + ": ended before its exit could be seen");
		if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
			break;
		if (WSTOPSIG(status) != SIGTRAP)
			fail(std::string(program) + ": stopped by signal " + std::to_string(WSTOPSIG(status)));
	}
	const auto after = writable();
	std::set<const Symbol *> written;
	for (size_t i = 0; i < before.size(); i++)
		for (size_t j = 0; j < before[i].second.size(); j++)
			if (before[i].second[j] != after[i].second[j]) {
				written_pages.insert((before[i].first + j) >> 12);
				if (const Symbol *s = owner(before[i].first + j); s && !s->code)
					written.insert(s);
			}
	auto writable_addr = [&](unsigned long addr) {
		for (auto &[start, bytes] : before)
			if (addr >= start && addr < start + bytes.size())
				return true;
		return false;
	};
	// Stopped at its exit, it ends once let go.
	ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	waitpid(pid, &status, 0);

	// Code, then every variant of each family executed, then written data.
	// A variant's family is known by any of its names: memmove's variants
	// are memcpy's too.
	std::set<std::string> families;
	std::vector<const Symbol *> code;
	for (auto *e : executed) {
		if (!variant_addrs.count(e->addr)) {
			code.push_back(e);
			continue;
		}
		for (auto &s : symbols) {
			std::smatch m;
			if (s.addr == e->addr && std::regex_match(s.name, m, variant))
				families.insert(m[1]);
		}
	}
	auto by_addr = [](const Symbol *a, const Symbol *b) { return a->addr < b->addr; };
	std::sort(code.begin(), code.end(), by_addr);
	std::vector<std::string> order;
	auto print = [&](const Symbol *s) {
		if (defined[s->name] == 1)
			order.push_back(s->name);
	};
	for (auto *s : code)
		print(s);
	for (auto &isa : isa_order) {
		for (auto &s : symbols) {
			std::smatch m;
			if (s.code && std::regex_match(s.name, m, variant) && m[2] == isa && families.count(m[1]))
				print(&s);
		}
	}
	for (auto *s : stored)
		if (writable_addr(s->addr))
			written.insert(s);
	std::vector<const Symbol *> data(written.begin(), written.end()), read;
	for (auto *s : loaded)
		if (!written.count(s) && writable_addr(s->addr))
			read.push_back(s);
	// The smallest first, so that a large object written in part does not
	// push the small ones onto a page of their own.
	std::sort(data.begin(), data.end(), [](const Symbol *a, const Symbol *b) {
		return a->size != b->size ? a->size < b->size : a->addr < b->addr;
	});
	std::sort(read.begin(), read.end(), by_addr);
	for (auto *s : data)
		print(s);
	for (auto *s : read)
		print(s);
	if (report) {
		std::printf("instructions %lu\ncode windows %zu\nwritten pages %zu\n", steps,
			    code_windows.size(), written_pages.size());
		for (auto w : code_windows)
			std::printf("code window %#lx\n", w << 16);
		for (auto p : written_pages)
			std::printf("written page %#lx\n", p << 12);
		return 0;
	}
	std::string names;
	for (auto &n : order)
		names += n + "\n";
	if (!output) {
		std::fputs(names.c_str(), stdout);
		return 0;
	}
	// Renamed into place, so that a failed run never leaves half an order.
	std::string temporary = std::string(output) + ".new";
	FILE *f = std::fopen(temporary.c_str(), "w");
	if (!f || std::fputs(names.c_str(), f) < 0 || std::fclose(f) != 0 ||
	    std::rename(temporary.c_str(), output) != 0)
		fail(std::string(output) + ": " + why());
	return 0;
}
