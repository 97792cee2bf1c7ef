// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "run.hpp"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// How the forked child tells that it could not become a tracee.
constexpr int traceme_refused = 126;
// The most bytes of writable segments compared between exec and exit.
constexpr uint64_t most_writable = uint64_t{1} << 30;
// How /proc/PID/maps names the heap, and the bit of a /proc/PID/pagemap
// entry that says a page is present.
const std::string heap_name = "[heap]";
constexpr uint64_t page_present = uint64_t{1} << 63;

std::string why()
{
	return std::strerror(errno);
}

// The forked child, and any process or thread it started, killed and reaped
// on every way out but its own exit.
struct Tracee {
	pid_t pid = -1;
	std::vector<pid_t> started;

	Tracee() = default;
	Tracee(const Tracee &) = delete;
	Tracee &operator=(const Tracee &) = delete;
	~Tracee()
	{
		if (pid > 0)
			started.push_back(pid);
		for (pid_t p : started)
			kill(p, SIGKILL);
		// Stopped at its exit or start, a kill does not wake it: it is let go too.
		for (pid_t p : started) {
			int status;
			do
				ptrace(PTRACE_CONT, p, nullptr, nullptr);
			while (waitpid(p, &status, __WALL) == p && !WIFEXITED(status) && !WIFSIGNALED(status));
		}
	}

	int wait()
	{
		int status;
		pid_t got;
		while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
		}
		if (got != pid)
			throw TraceError("waitpid: " + why());
		if (WIFEXITED(status) || WIFSIGNALED(status))
			pid = -1;
		return status;
	}
};

// The ptrace event a stop reports (PTRACE_EVENT_*), or 0 for none.
int event_of(int status)
{
	return status >> 16;
}

// A descriptor closed on every way out.
struct Descriptor {
	int fd;
	~Descriptor()
	{
		if (fd >= 0)
			close(fd);
	}
};

void check(long result)
{
	if (result != 0)
		throw TraceError("ptrace: " + why());
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
			throw TraceError("ptrace: " + why());
		return -1;
	}
	if (info.si_signo == SIGTRAP && (info.si_code == TRAP_TRACE || info.si_code == TRAP_BRKPT))
		return 0;
	return WSTOPSIG(status);
}

// Starts program in t under ptrace, stopped at its exec. What the child
// cannot do after the fork it tells by its exit status or, for the exec, by
// the error number written down a pipe that the exec closes.
void start(Tracee &t, const std::string &program, const std::vector<std::string> &env)
{
	std::vector<char *> envp;
	for (auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);
	char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
	int pipe[2];
	if (pipe2(pipe, O_CLOEXEC) != 0)
		throw TraceError("pipe2: " + why());
	Descriptor errors{pipe[0]}, report{pipe[1]};
	if ((t.pid = fork()) < 0)
		throw TraceError("fork: " + why());
	if (t.pid == 0) {
		const int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(null, 1);
		// Addresses of stack and heap as in every traced run.
		personality(ADDR_NO_RANDOMIZE);
		if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
			_exit(traceme_refused);
		raise(SIGSTOP);
		execve(argv[0], argv, envp.data());
		const int err = errno;
		[[maybe_unused]] const ssize_t told = write(report.fd, &err, sizeof err);
		_exit(1);
	}
	close(report.fd);
	report.fd = -1;
	int status = t.wait();
	if (WIFEXITED(status) && WEXITSTATUS(status) == traceme_refused)
		throw PtraceRefused("ptrace is not permitted here");
	if (WIFSIGNALED(status))
		throw PtraceRefused("ptrace is not permitted here (it ended the child that asked for it by signal " +
				    std::to_string(WTERMSIG(status)) + ", " + strsignal(WTERMSIG(status)) + ")");
	// Whatever the program starts or runs next is seen, so that a program
	// that cannot be traced whole is not traced in part.
	const long options = PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK |
			     PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE;
	if (!WIFSTOPPED(status))
		throw TraceError(program + ": ended before it started");
	check(ptrace(PTRACE_SETOPTIONS, t.pid, nullptr, options));
	// Signals sent before the exec are passed on too.
	for (int signal = 0;;) {
		check(ptrace(PTRACE_CONT, t.pid, nullptr, signal));
		status = t.wait();
		if (int err; !WIFSTOPPED(status) && read(errors.fd, &err, sizeof err) == sizeof err)
			throw TraceError(program + ": " + std::strerror(err));
		if (!WIFSTOPPED(status))
			throw TraceError(program + ": ended before it started");
		if (WSTOPSIG(status) == SIGTRAP && event_of(status) == PTRACE_EVENT_EXEC)
			return;
		signal = std::max(stopped_by(t.pid, status), 0);
	}
}

// The writable segments' bytes, as the program has them now.
std::vector<std::string> writable(pid_t pid, const Elf &elf)
{
	const std::string path = "/proc/" + std::to_string(pid) + "/mem";
	Descriptor mem{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
	if (mem.fd < 0)
		throw TraceError(path + ": " + why());
	std::vector<std::string> image;
	for (auto &s : elf.segments) {
		if (!s.writable())
			continue;
		std::string bytes(s.memsz, '\0');
		const ssize_t n = pread(mem.fd, bytes.data(), bytes.size(), static_cast<off_t>(s.vaddr));
		if (n != static_cast<ssize_t>(bytes.size()))
			throw TraceError(path + ": " +
					 (n < 0 ? why() : "shorter than the program's writable segments"));
		image.push_back(bytes);
	}
	return image;
}

// Each byte of the writable segments that differs between exec and exit:
// its page was written, and so was the object it lies in.
void mark_written(Traced &run, const Elf &elf, const Symbols &symbols, const std::vector<std::string> &before,
		  const std::vector<std::string> &after)
{
	size_t i = 0;
	for (auto &s : elf.segments) {
		if (!s.writable())
			continue;
		for (size_t j = 0; j < s.memsz; j++)
			if (before[i][j] != after[i][j]) {
				const uint64_t page = (s.vaddr + j) >> page_shift;
				run.written_pages[page] = s.vaddr + j + 1 - (page << page_shift);
				if (const Symbol *sym = symbols.owner(s.vaddr + j); sym && !sym->code)
					run.written.insert(sym);
			}
		i++;
	}
	for (auto &s : elf.segments)
		for (auto &[page, end] : run.written_pages)
			if (s.type == PT_GNU_RELRO && ((page + 1) << page_shift) > s.vaddr &&
			    (page << page_shift) < s.vaddr + s.memsz) {
				run.relro_pages++;
				run.relro_fill = end;
			}
}

// The heap at the program's exit, from its break as /proc/PID/maps gives
// it: a page is touched where /proc/PID/pagemap has it present.
void measure_heap(Traced &run, pid_t pid)
{
	const std::string proc = "/proc/" + std::to_string(pid);
	std::ifstream maps(proc + "/maps");
	uint64_t start = 0, end = 0;
	for (std::string line; std::getline(maps, line);)
		if (line.size() > heap_name.size() &&
		    line.compare(line.size() - heap_name.size(), heap_name.size(), heap_name) == 0 &&
		    std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64, &start, &end) != 2)
			throw TraceError(proc + "/maps: no heap in \"" + line + "\"");
	if (start >= end)
		return;
	Descriptor pagemap{open((proc + "/pagemap").c_str(), O_RDONLY | O_CLOEXEC)};
	Descriptor mem{open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC)};
	if (pagemap.fd < 0 || mem.fd < 0)
		throw TraceError(proc + (pagemap.fd < 0 ? "/pagemap: " : "/mem: ") + why());
	bool past_first_region = false;
	uint64_t last = start;
	std::string bytes(uint64_t{1} << page_shift, '\0');
	for (uint64_t page = start; page < end; page += bytes.size()) {
		uint64_t entry = 0;
		if (pread(pagemap.fd, &entry, sizeof entry, static_cast<off_t>((page >> page_shift) * sizeof entry)) !=
		    sizeof entry)
			throw TraceError(proc + "/pagemap: " + why());
		if (!(entry & page_present)) {
			past_first_region = run.heap_pages > 0;
			continue;
		}
		run.heap_pages++;
		if (past_first_region)
			continue;
		if (pread(mem.fd, bytes.data(), bytes.size(), static_cast<off_t>(page)) !=
		    static_cast<ssize_t>(bytes.size()))
			throw TraceError(proc + "/mem: " + why());
		if (const size_t at = bytes.find_last_not_of('\0'); at != std::string::npos)
			last = page + at + 1;
		run.heap_room = page + bytes.size() - last;
	}
}

// Why a ptrace event stops the trace, or "" for the program's exit.
std::string cannot_go_on(const std::string &program, int event)
{
	switch (event) {
	case PTRACE_EVENT_EXIT:
		return "";
	case PTRACE_EVENT_EXEC:
		return program + ": runs another program, so it cannot be traced whole";
	case PTRACE_EVENT_FORK:
	case PTRACE_EVENT_VFORK:
		return program + ": starts another process, so it cannot be traced whole";
	default:
		return program + ": starts a thread, so it cannot be traced whole";
	}
}

// Steps the stopped program until its exit stop.
void step(Tracee &t, Traced &run, const std::string &program, unsigned long most_steps, const Elf &elf,
	  const Symbols &symbols, const Variants &variants)
{
	const Symbol *current = nullptr;
	for (int signal = 0;;) {
		user_regs_struct regs;
		check(ptrace(PTRACE_GETREGS, t.pid, nullptr, &regs));
		if (!signal) {
			run.code_windows.insert(regs.rip >> window_shift);
			// Most steps stay in the function of the step before.
			if (!current || regs.rip - current->addr >= current->size)
				if ((current = symbols.owner(regs.rip)) && current->code)
					run.executed.insert(current);
			if (run.steps++ == most_steps)
				throw TraceError(program + ": still running after " + std::to_string(most_steps) +
						 " instructions, so stopped");
		}
		check(ptrace(PTRACE_SINGLESTEP, t.pid, nullptr, signal));
		const int status = t.wait();
		if (!WIFSTOPPED(status))
			throw TraceError(program + ": ended before its exit could be seen");
		if (const int event = event_of(status)) {
			const std::string why_not = cannot_go_on(program, event);
			if (why_not.empty())
				return;
			unsigned long started = 0;
			check(ptrace(PTRACE_GETEVENTMSG, t.pid, nullptr, &started));
			if (event != PTRACE_EVENT_EXEC)
				t.started.push_back(static_cast<pid_t>(started));
			throw TraceError(why_not);
		}
		// A signal stops it before it runs another instruction; it gets
		// the signal as it goes on.
		const int by = stopped_by(t.pid, status);
		signal = std::max(by, 0);
		if (by == 0)
			record(run, elf, symbols, variants, regs);
	}
}

} // namespace

Traced trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf,
	     const Symbols &symbols, const Variants &variants)
{
	uint64_t writable_bytes = 0;
	for (auto &s : elf.segments)
		writable_bytes += s.writable() ? s.memsz : 0;
	if (writable_bytes > most_writable)
		throw TraceError(program + ": writable segments too large to trace");
	Tracee t;
	start(t, program, env);
	const auto before = writable(t.pid, elf);
	Traced run;
	step(t, run, program, most_steps, elf, symbols, variants);
	unsigned long exit_status = 0;
	check(ptrace(PTRACE_GETEVENTMSG, t.pid, nullptr, &exit_status));
	const int ended = static_cast<int>(exit_status);
	if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0)
		throw TraceError(program + (WIFEXITED(ended)
						    ? ": exited with status " + std::to_string(WEXITSTATUS(ended))
						    : ": ended by signal " + std::to_string(WTERMSIG(ended))));
	mark_written(run, elf, symbols, before, writable(t.pid, elf));
	measure_heap(run, t.pid);
	// Stopped at its exit, it ends once let go.
	check(ptrace(PTRACE_CONT, t.pid, nullptr, nullptr));
	t.wait();
	return run;
}
