// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// greet-trace [-o ORDER | --report] [--steps N] PROGRAM [NAME=VALUE ...]
//
// Runs PROGRAM, a static and unstripped x86-64 executable in a regular file
// of at most 256 MiB, once under ptrace, one instruction at a time, with no
// arguments, standard input and output on /dev/null and an environment of
// the NAME=VALUE given alone, and writes to ORDER (standard output without
// -o) the symbol order that gathers what its start-up and exit touch, for
// lld's --symbol-ordering-file (see order.hpp). An object counts as written
// where its bytes differ between exec and exit or an instruction stored to
// it, and as read where an instruction loaded from it; what the string
// functions' variants touch is passed over, since that depends on the
// variant this processor runs.
//
// --report prints instead how many instructions ran, how many 64 KiB windows
// the executed code lies in and how many pages the run wrote, the variant
// each string function family ran, then each window and page.
//
// A signal sent to PROGRAM, SIGTRAP included, is passed on to it, as it
// would be untraced. A PROGRAM that does not exit with status 0, runs more
// than N instructions (5,000,000 unless --steps says), or runs another
// program, starts a process or a thread, and so cannot be traced whole, is
// an error. Where ptrace is not permitted, or kills the process that asks
// for it, -o writes an empty ORDER, dated so that the next build traces
// again, and says so in one line: the program is then linked in its plain
// order. Any other failure is one line on standard error, exit 1, no ORDER
// changed and no ORDER.new left.
#include "elf.hpp"
#include "order.hpp"

#include <elf.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Options {
	const char *output = nullptr;
	bool report = false;
	unsigned long steps = 5'000'000;
	const char *program = nullptr;
	std::vector<std::string> env;
};

struct Run : Touched {
	unsigned long steps = 0;
	std::set<uint64_t> code_windows, written_pages;
};

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "greet-trace: %s\n", what.c_str());
	std::exit(1);
}

std::string why() { return std::strerror(errno); }

Options parse(int argc, char **argv)
{
	const char *usage = "usage: greet-trace [-o ORDER | --report] [--steps N] PROGRAM [NAME=VALUE ...]";
	const option longs[] = {{"output", required_argument, nullptr, 'o'},
				{"report", no_argument, nullptr, 'r'},
				{"steps", required_argument, nullptr, 's'},
				{nullptr, 0, nullptr, 0}};
	Options o;
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "+o:rs:", longs, nullptr)) != -1;) {
		if (c == 'o') {
			o.output = optarg;
		} else if (c == 'r') {
			o.report = true;
		} else if (c == 's') {
			char *end;
			errno = 0;
			o.steps = std::strtoul(optarg, &end, 10);
			if (errno || *optarg < '0' || *optarg > '9' || *end || o.steps == 0)
				fail(std::string("--steps: not a count above 0: ") + optarg);
		} else {
			fail(usage);
		}
	}
	if (optind >= argc || (o.output && o.report))
		fail(usage);
	o.program = argv[optind];
	o.env.assign(argv + optind + 1, argv + argc);
	return o;
}

// The largest file taken, far above any static program's size.
const off_t most_bytes = off_t{256} << 20;

// The program's file, which must be a regular file holding a static
// executable with its symbols. Opened without blocking, so that a FIFO is
// refused rather than waited on.
Elf load(const char *program, std::string &bytes)
{
	const std::string name = program;
	int fd = open(program, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0)
		fail(name + ": " + why());
	if (!S_ISREG(st.st_mode))
		fail(name + ": not a regular file");
	if (st.st_size > most_bytes)
		fail(name + ": larger than 256 MiB, so not a program to trace");
	bytes.resize(static_cast<size_t>(st.st_size));
	for (size_t got = 0; got < bytes.size();) {
		ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
		if (n <= 0)
			fail(name + ": " + (n < 0 ? why() : "shorter than its size"));
		got += static_cast<size_t>(n);
	}
	close(fd);
	try {
		Elf elf = read_elf(bytes);
		if (!elf.static_executable())
			throw ElfError("not a static, position-dependent executable");
		if (elf.symbols.empty())
			throw ElfError("no symbol table (stripped?)");
		uint64_t writable = 0;
		for (auto &s : elf.segments)
			if (s.type == PT_LOAD && (s.flags & PF_W))
				writable += s.memsz;
		if (writable > uint64_t{1} << 30)
			throw ElfError("writable segments too large to trace");
		return elf;
	} catch (const ElfError &e) {
		fail(name + ": " + e.what());
	}
}

// Written whole or not at all, renamed into place, so that a failed run
// never leaves half an order. An order dated 1970 is older than what it is
// made from, so the build makes it again.
void write_order(const char *path, const std::vector<std::string> &names, bool dated_1970)
{
	std::string text, temporary = std::string(path) + ".new";
	for (auto &n : names)
		text += n + "\n";
	const timespec epoch[2] = {{0, 0}, {0, 0}};
	FILE *f = std::fopen(temporary.c_str(), "w");
	if (!f)
		fail(temporary + ": " + why());
	bool written = std::fputs(text.c_str(), f) >= 0;
	written = std::fclose(f) == 0 && written;
	if (!written || (dated_1970 && utimensat(AT_FDCWD, temporary.c_str(), epoch, 0) != 0)) {
		const std::string failed = temporary + ": " + why();
		unlink(temporary.c_str());
		fail(failed);
	}
	if (std::rename(temporary.c_str(), path) != 0) {
		const std::string failed = "cannot rename " + temporary + " to " + path + ": " + why();
		unlink(temporary.c_str());
		fail(failed);
	}
}

void wait_for(pid_t pid, int &status)
{
	pid_t got;
	while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
	}
	if (got != pid)
		fail("waitpid: " + why());
}

// What stopped the program: its own step (0), a signal to pass on to it
// (its number), or a group-stop (-1), which passes nothing on. A step's trap
// comes from the processor, or from the kernel after a system call; a
// SIGTRAP sent to the program, or raised by its int3, is its own.
int stopped_by(pid_t pid, int status)
{
	siginfo_t info;
	if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) != 0) {
		if (errno != EINVAL)
			fail("ptrace: " + why());
		return -1;
	}
	if (info.si_signo == SIGTRAP && (info.si_code == TRAP_TRACE || info.si_code == TRAP_BRKPT))
		return 0;
	return WSTOPSIG(status);
}

// The program started under ptrace and stopped at its exec, or -1 with the
// reason in refused where ptrace is not permitted: refused, or the child
// that asks for it killed, as a seccomp filter does.
pid_t spawn(const Options &o, std::string &refused)
{
	std::vector<char *> envp;
	for (auto &e : o.env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);
	char *argv[] = {const_cast<char *>(o.program), nullptr};
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
		raise(SIGSTOP);
		execve(o.program, argv, envp.data());
		std::fprintf(stderr, "greet-trace: %s: %s\n", o.program, std::strerror(errno));
		_exit(127);
	}
	int status;
	wait_for(pid, status);
	refused = "ptrace is not permitted here";
	if (WIFEXITED(status) && WEXITSTATUS(status) == 126)
		return -1;
	if (WIFSIGNALED(status)) {
		refused += " (it ended the child that asked for it by signal " + std::to_string(WTERMSIG(status)) +
			   ", " + strsignal(WTERMSIG(status)) + ")";
		return -1;
	}
	// Whatever the program starts or runs next is seen, so that a program
	// that cannot be traced whole is not traced in part.
	const long options = PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK |
			     PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE;
	if (!WIFSTOPPED(status) || ptrace(PTRACE_SETOPTIONS, pid, nullptr, options) != 0)
		fail("ptrace: " + why());
	// Signals sent before the exec are passed on too.
	for (int signal = 0;;) {
		if (ptrace(PTRACE_CONT, pid, nullptr, signal) != 0)
			fail("ptrace: " + why());
		wait_for(pid, status);
		if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
			std::exit(1); // the child said why
		if (!WIFSTOPPED(status))
			fail(std::string(o.program) + ": ended before it started");
		if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8)))
			return pid;
		signal = std::max(stopped_by(pid, status), 0);
	}
}

// The writable segments' bytes, as the program has them now.
std::vector<std::string> writable(pid_t pid, const Elf &elf)
{
	const std::string path = "/proc/" + std::to_string(pid) + "/mem";
	int mem = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (mem < 0)
		fail(path + ": " + why());
	std::vector<std::string> image;
	for (auto &s : elf.segments) {
		if (s.type != PT_LOAD || !(s.flags & PF_W))
			continue;
		std::string bytes(s.memsz, '\0');
		if (pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(s.vaddr)) != static_cast<ssize_t>(bytes.size()))
			fail(path + ": " + why());
		image.push_back(bytes);
	}
	close(mem);
	return image;
}

// Each byte of the writable segments that differs between exec and exit:
// its page was written, and so was the object it lies in.
void mark_written(Run &run, const Elf &elf, const Symbols &symbols, const std::vector<std::string> &before,
		  const std::vector<std::string> &after)
{
	size_t i = 0;
	for (auto &s : elf.segments) {
		if (s.type != PT_LOAD || !(s.flags & PF_W))
			continue;
		for (size_t j = 0; j < s.memsz; j++)
			if (before[i][j] != after[i][j]) {
				run.written_pages.insert((s.vaddr + j) >> 12);
				if (const Symbol *sym = symbols.owner(s.vaddr + j); sym && !sym->code)
					run.written.insert(sym);
			}
		i++;
	}
}

// Runs the stopped program one instruction at a time until its exit.
Run trace(pid_t pid, const Options &o, const Elf &elf, const Symbols &symbols, const Variants &variants)
{
	const std::string program = o.program;
	const auto before = writable(pid, elf);
	Run run;
	const Symbol *current = nullptr;
	int status, signal = 0;
	for (user_regs_struct regs;;) {
		if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
			fail("ptrace: " + why());
		if (!signal) {
			run.code_windows.insert(regs.rip >> 16);
			// Most steps stay in the function of the step before.
			if (!current || regs.rip - current->addr >= current->size)
				if ((current = symbols.owner(regs.rip)) && current->code)
					run.executed.insert(current);
			if (run.steps++ == o.steps) {
				kill(pid, SIGKILL);
				wait_for(pid, status);
				fail(program + ": still running after " + std::to_string(o.steps) +
				     " instructions, so stopped");
			}
		}
		if (ptrace(PTRACE_SINGLESTEP, pid, nullptr, signal) != 0)
			fail("ptrace: " + why());
		wait_for(pid, status);
		if (!WIFSTOPPED(status))
			fail(program + ": ended before its exit could be seen");
		switch (status >> 16) {
		case PTRACE_EVENT_EXIT:
			break;
		case PTRACE_EVENT_EXEC:
			fail(program + ": runs another program, so it cannot be traced whole");
		case PTRACE_EVENT_FORK:
		case PTRACE_EVENT_VFORK:
			fail(program + ": starts another process, so it cannot be traced whole");
		case PTRACE_EVENT_CLONE:
			fail(program + ": starts a thread, so it cannot be traced whole");
		default:
			// A signal stops it before it runs another instruction; it
			// gets the signal as it goes on.
			const int by = stopped_by(pid, status);
			signal = std::max(by, 0);
			if (by == 0)
				record(run, elf, symbols, variants, regs);
			continue;
		}
		break;
	}
	unsigned long exit_status = 0;
	if (ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &exit_status) != 0)
		fail("ptrace: " + why());
	const int ended = static_cast<int>(exit_status);
	if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0)
		fail(program + (WIFEXITED(ended) ? ": exited with status " + std::to_string(WEXITSTATUS(ended))
						 : ": ended by signal " + std::to_string(WTERMSIG(ended))));
	mark_written(run, elf, symbols, before, writable(pid, elf));
	// Stopped at its exit, it ends once let go.
	ptrace(PTRACE_CONT, pid, nullptr, nullptr);
	wait_for(pid, status);
	return run;
}

// Objects by the segment they lie in: only what start-up touches in the
// writable segments and in the read-only one is ordered.
void sort_by_segment(Run &run, const Elf &elf)
{
	for (auto *set : {&run.written, &run.read})
		for (auto it = set->begin(); it != set->end();) {
			const Segment *s = elf.segment_at((*it)->addr);
			if (set == &run.read && elf.read_only((*it)->addr))
				run.read_only.insert(*it);
			it = s && (s->flags & PF_W) ? std::next(it) : set->erase(it);
		}
}

void report(const Run &run, const Variants &variants)
{
	std::printf("instructions %lu\ncode windows %zu\nwritten pages %zu\n", run.steps, run.code_windows.size(),
		    run.written_pages.size());
	for (auto &[family, names] : variants_run(variants, run))
		for (auto &name : names)
			std::printf("variant %s %s\n", family.c_str(), name.c_str());
	for (auto w : run.code_windows)
		std::printf("code window %#lx\n", static_cast<unsigned long>(w << 16));
	for (auto p : run.written_pages)
		std::printf("written page %#lx\n", static_cast<unsigned long>(p << 12));
}

} // namespace

int main(int argc, char **argv)
{
	const Options o = parse(argc, argv);
	std::string bytes;
	const Elf elf = load(o.program, bytes);
	const Symbols symbols(elf.symbols);
	const Variants variants = find_variants(elf, symbols);
	std::string refused;
	const pid_t pid = spawn(o, refused);
	if (pid < 0) {
		if (!o.output)
			fail(refused);
		write_order(o.output, {}, true);
		std::fprintf(stderr, "greet-trace: %s, so %s is empty: greet is linked without its start-up order\n",
			     refused.c_str(), o.output);
		return 0;
	}
	Run run = trace(pid, o, elf, symbols, variants);
	sort_by_segment(run, elf);
	reach(run, elf, symbols, variants, 2);
	if (o.report)
		report(run, variants);
	else if (o.output)
		write_order(o.output, make_order(symbols, variants, run), false);
	else
		for (auto &name : make_order(symbols, variants, run))
			std::printf("%s\n", name.c_str());
	return 0;
}
