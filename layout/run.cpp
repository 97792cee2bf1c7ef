// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "run.hpp"
#include "pages.hpp"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
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
// How /proc/PID/maps names the heap, and the kernel's own page that every
// process sees, which lies outside its page table.
const std::string heap_name = "[heap]", vsyscall_name = "[vsyscall]";

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
			pid_t got;
			do {
				ptrace(PTRACE_CONT, p, nullptr, nullptr);
				while ((got = waitpid(p, &status, __WALL)) < 0 && errno == EINTR) {
				}
			} while (got == p && !WIFEXITED(status) && !WIFSIGNALED(status));
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

void check_ptrace(long result)
{
	if (result != 0)
		throw TraceError("ptrace: " + why());
}

// What stopped the program: its own step (0), its entry into a signal's
// handler (entered_handler), a signal to pass on to it (its number), or a
// group-stop (-1), which passes nothing on. A step's trap comes from the
// processor, or from the kernel after a system call; the kernel tells the
// entry into a handler with a code of SIGTRAP itself; a SIGTRAP sent to the
// program, or raised by its int3, is its own.
constexpr int entered_handler = -2;
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
	if (info.si_signo == SIGTRAP && info.si_code == SIGTRAP)
		return entered_handler;
	return WSTOPSIG(status);
}

// What the forked child does before it runs the program, as a failure of
// each names it; the last is the exec, which the program's name names.
enum ChildStep { open_null, dup_null, no_randomize, exec, child_steps };
const char *const child_step_names[child_steps] = {"/dev/null", "dup2 of /dev/null", "personality", nullptr};
// How the child tells which step failed and why.
struct ChildFailure {
	int step, err;
};

// The child's failure at step, told to its tracer.
[[noreturn]] void failed(int report, ChildStep step)
{
	const ChildFailure told{step, errno};
	[[maybe_unused]] const ssize_t n = write(report, &told, sizeof told);
	_exit(1);
}

// The forked child: becomes a tracee, stops for its tracer and runs
// program; that it could not become one it tells by its exit status, and
// what else it could not do by a ChildFailure written to report.
[[noreturn]] void become(const std::string &program, const std::vector<std::string> &env, int report)
{
	std::vector<char *> envp;
	for (auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);
	char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
	const int null = open("/dev/null", O_RDWR);
	if (null < 0)
		failed(report, open_null);
	if (dup2(null, 0) < 0 || dup2(null, 1) < 0)
		failed(report, dup_null);
	// Addresses of stack and heap as in every traced run.
	if (personality(ADDR_NO_RANDOMIZE) < 0)
		failed(report, no_randomize);
	if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
		_exit(traceme_refused);
	raise(SIGSTOP);
	execve(argv[0], argv, envp.data());
	failed(report, exec);
}

// Starts program in t under ptrace, stopped at its exec, by a pipe that the
// exec closes.
void start(Tracee &t, const std::string &program, const std::vector<std::string> &env)
{
	int pipe[2];
	if (pipe2(pipe, O_CLOEXEC) != 0)
		throw TraceError("pipe2: " + why());
	Descriptor errors{pipe[0]}, report{pipe[1]};
	if ((t.pid = fork()) < 0)
		throw TraceError("fork: " + why());
	if (t.pid == 0)
		become(program, env, report.fd);
	close(report.fd);
	report.fd = -1;
	const auto child_failed = [&] {
		ChildFailure told;
		if (read(errors.fd, &told, sizeof told) != sizeof told || told.step < 0 || told.step >= child_steps)
			throw TraceError(program + ": ended before it started");
		const char *what = child_step_names[told.step];
		throw TraceError((what ? what : program) + ": " + std::strerror(told.err));
	};
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
		child_failed();
	check_ptrace(ptrace(PTRACE_SETOPTIONS, t.pid, nullptr, options));
	// Signals sent before the exec are passed on too.
	for (int signal = 0;;) {
		check_ptrace(ptrace(PTRACE_CONT, t.pid, nullptr, signal));
		status = t.wait();
		if (!WIFSTOPPED(status))
			child_failed();
		if (WSTOPSIG(status) == SIGTRAP && event_of(status) == PTRACE_EVENT_EXEC)
			return;
		signal = std::max(stopped_by(t.pid, status), 0);
	}
}

// The writable segments' bytes, as the program has them now.
std::vector<std::string> writable_at(pid_t pid, const Elf &elf)
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

// Each mapping of the process, from /proc/PID/maps, with its page table
// from /proc/PID/pagemap, which reads the table and maps nothing.
std::vector<Mapping> page_table(pid_t pid)
{
	const std::string proc = "/proc/" + std::to_string(pid);
	std::ifstream maps(proc + "/maps");
	Descriptor pagemap{open((proc + "/pagemap").c_str(), O_RDONLY | O_CLOEXEC)};
	if (!maps || pagemap.fd < 0)
		throw TraceError(proc + (pagemap.fd < 0 ? "/pagemap: " : "/maps: ") + why());
	std::vector<Mapping> mappings;
	uint64_t pages = 0;
	for (std::string line; std::getline(maps, line);) {
		Mapping m{};
		int name_at = 0;
		if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %*s %*s %*s %*s %n", &m.start, &m.end,
				&name_at) != 2 ||
		    m.start >= m.end || name_at == 0)
			throw TraceError(proc + "/maps: not a line of a process's mappings: \"" + line + "\"");
		m.name = line.substr(static_cast<size_t>(name_at));
		if (m.name == vsyscall_name)
			continue;
		if ((pages += (m.end - m.start) >> page_shift) > most_mapped_pages)
			throw TraceError(proc + ": maps more than " +
					 std::to_string(most_mapped_pages << page_shift >> 30) + " GiB");
		m.pages.resize((m.end - m.start) >> page_shift);
		const size_t bytes = m.pages.size() * sizeof m.pages[0];
		if (pread(pagemap.fd, m.pages.data(), bytes, static_cast<off_t>((m.start >> page_shift) * 8)) !=
		    static_cast<ssize_t>(bytes))
			throw TraceError(proc + "/pagemap: " + why());
		mappings.push_back(std::move(m));
	}
	return mappings;
}

// The bytes of the heap's first region of present pages.
std::string heap_region(pid_t pid, const std::vector<Mapping> &mappings)
{
	const std::string path = "/proc/" + std::to_string(pid) + "/mem";
	for (auto &m : mappings) {
		if (m.name != heap_name)
			continue;
		size_t first = 0, end;
		while (first < m.pages.size() && !(m.pages[first] & page_present))
			first++;
		for (end = first; end < m.pages.size() && (m.pages[end] & page_present); end++) {
		}
		const uint64_t at = m.start + (uint64_t{first} << page_shift);
		std::string bytes((end - first) << page_shift, '\0');
		Descriptor mem{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
		if (mem.fd < 0 || pread(mem.fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
					  static_cast<ssize_t>(bytes.size()))
			throw TraceError(path + ": " + why());
		return bytes;
	}
	return "";
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

// The faults the kernel has counted for pid, minor and major, as
// /proc/PID/stat gives them (its 10th and 12th fields).
uint64_t faults_of(pid_t pid)
{
	const std::string path = "/proc/" + std::to_string(pid) + "/stat";
	std::ifstream stat(path);
	std::string line;
	std::getline(stat, line);
	// The command's name, in parentheses, may hold anything but ends at the last.
	const size_t name_end = line.rfind(')');
	unsigned long long minor = 0, major = 0;
	if (name_end == std::string::npos ||
	    std::sscanf(line.c_str() + name_end + 1, " %*c %*d %*d %*d %*d %*d %*u %llu %*u %llu", &minor, &major) != 2)
		throw TraceError(path + ": not a process's status: \"" + line + "\"");
	return minor + major;
}

// The faults the tracer's thread has taken: those the kernel charges to it
// while it asks for a step, when it reads the next instruction to see
// whether that sets the trap flag, are the program's.
uint64_t own_faults()
{
	rusage usage{};
	getrusage(RUSAGE_THREAD, &usage);
	return static_cast<uint64_t>(usage.ru_minflt + usage.ru_majflt);
}

// Runs the instruction at regs.rip, passing signal on, and records in run
// what ran: the instruction, unless the signal took the program into a
// handler first, and the page table around it where the kernel acts (a
// system call, a signal's delivery). Returns the stop's status.
int take_step(Tracee &t, const Elf &elf, const user_regs_struct &regs, int signal, Run &run)
{
	const Instruction insn = decode(elf.bytes_at(regs.rip, longest_instruction, PF_X), regs.rip, regs);
	KernelStep kernel{
		run.steps.size(), signal || !insn.system_call ? -1 : static_cast<long>(regs.rax), signal, {}, {}};
	const bool by_kernel = kernel.syscall >= 0 || signal;
	if (by_kernel)
		kernel.before = page_table(t.pid);
	const uint64_t charged = own_faults();
	check_ptrace(ptrace(PTRACE_SINGLESTEP, t.pid, nullptr, signal));
	run.kernel_faults += own_faults() - charged;
	const int status = t.wait();
	if (!WIFSTOPPED(status))
		return status;
	if (!signal || (!event_of(status) && stopped_by(t.pid, status) != entered_handler)) {
		run.steps.push_back(
			{regs.rip, static_cast<uint32_t>(insn.length), static_cast<uint32_t>(insn.accesses.size())});
		run.accesses.insert(run.accesses.end(), insn.accesses.begin(), insn.accesses.end());
		kernel.steps += !signal;
	}
	if (by_kernel) {
		kernel.after = page_table(t.pid);
		run.by_kernel.push_back(std::move(kernel));
	}
	return status;
}

// Steps the stopped program until its exit stop, recording in run each
// instruction it runs.
void step(Tracee &t, const std::string &program, unsigned long most_steps, const Elf &elf, Run &run)
{
	for (int signal = 0;;) {
		user_regs_struct regs;
		check_ptrace(ptrace(PTRACE_GETREGS, t.pid, nullptr, &regs));
		if (run.steps.size() == most_steps)
			throw TraceError(program + ": still running after " + std::to_string(most_steps) +
					 " instructions, so stopped");
		const int status = take_step(t, elf, regs, signal, run);
		if (!WIFSTOPPED(status))
			throw TraceError(program + ": ended before its exit could be seen");
		if (const int event = event_of(status)) {
			const std::string why_not = cannot_go_on(program, event);
			if (why_not.empty())
				return;
			unsigned long started = 0;
			check_ptrace(ptrace(PTRACE_GETEVENTMSG, t.pid, nullptr, &started));
			if (event != PTRACE_EVENT_EXEC)
				t.started.push_back(static_cast<pid_t>(started));
			throw TraceError(why_not);
		}
		// A signal stops it before it runs another instruction; it gets
		// the signal as it goes on.
		signal = std::max(stopped_by(t.pid, status), 0);
	}
}

} // namespace

std::string why()
{
	return std::strerror(errno);
}

Run trace(const std::string &program, const std::vector<std::string> &env, unsigned long most_steps, const Elf &elf)
{
	uint64_t writable_bytes = 0;
	for (auto &s : elf.segments)
		writable_bytes += s.writable() ? s.memsz : 0;
	if (writable_bytes > most_writable)
		throw TraceError(program + ": writable segments too large to trace");
	Tracee t;
	start(t, program, env);
	Run run;
	run.at_exec = page_table(t.pid);
	const uint64_t faults_at_exec = faults_of(t.pid);
	step(t, program, most_steps, elf, run);
	run.kernel_faults += faults_of(t.pid) - faults_at_exec;
	unsigned long exit_status = 0;
	check_ptrace(ptrace(PTRACE_GETEVENTMSG, t.pid, nullptr, &exit_status));
	const int ended = static_cast<int>(exit_status);
	if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0)
		throw TraceError(program + (WIFEXITED(ended)
						    ? ": exited with status " + std::to_string(WEXITSTATUS(ended))
						    : ": ended by signal " + std::to_string(WTERMSIG(ended))));
	// The page table first: reading the program's memory maps what it reads.
	run.mappings = page_table(t.pid);
	run.writable_at_exit = writable_at(t.pid, elf);
	run.heap = heap_region(t.pid, run.mappings);
	// Stopped at its exit, it ends once let go.
	check_ptrace(ptrace(PTRACE_CONT, t.pid, nullptr, nullptr));
	t.wait();
	return run;
}
