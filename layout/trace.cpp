// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// greet-trace [-o ORDER] [--script SCRIPT] [--map MAP] [--report] [--steps N]
//             PROGRAM [NAME=VALUE ...]
//
// Runs PROGRAM, a static and unstripped x86-64 executable in a regular file
// of at most 256 MiB, once under ptrace, one instruction at a time, with no
// arguments, standard input and output on /dev/null and an environment of
// the NAME=VALUE given alone, and writes to ORDER (standard output without
// -o) the symbol order that gathers what its start-up and exit touch, for
// lld's --symbol-ordering-file, and to SCRIPT the linker script that places
// the lead section (see place.hpp). MAP is lld's map of PROGRAM's link: from
// it the input sections are placed and the variants' levels judged; without
// it, or where it is missing (said in one line), functions alone are. An
// object counts as written where its bytes differ between exec and exit or
// an instruction stored to it, and as read where an instruction loaded from
// it; what the string functions' variants touch is passed over, since that
// depends on the variant this processor runs.
//
// --report prints instead how many instructions ran, how many 64 KiB windows
// the executed code lies in and how many pages the run wrote, as its page
// table at exit has them; for each x86-64 level, the windows its run would
// touch and the bytes to spare before another; RELRO's written pages and how
// far into the last the changed bytes reach; the heap's pages and the room on
// its first region's last page; the variant each string function family ran,
// then each window and page; then each fault the run took, in the order the
// kernel took them, "fault PART 0xPAGE KIND WHERE" (see faults.hpp); the
// faults of each part and their total, "faults PART N", "faults total N";
// and the kernel's own count, "faults kernel N". Where the replayed faults
// are not the kernel's count, or leave pages otherwise than the page table
// at exit, one line on standard error says so; the order stands.
//
// A signal sent to PROGRAM, SIGTRAP included, is passed on to it, as it
// would be untraced. A PROGRAM that does not exit with status 0, runs more
// than N instructions (5,000,000 unless --steps says), maps more than 4 GiB,
// or runs another program, starts a process or a thread, and so cannot be
// traced whole, is an error. Where ptrace is not permitted, or kills the
// process that asks for it, -o writes an empty ORDER, and --script a SCRIPT
// that places nothing, dated so that the next build traces again, and says
// so in one line: the program is then linked in its plain order. Any other
// failure, a MAP that is not a map included, is one line on standard error,
// exit 1, no ORDER or SCRIPT changed and no ORDER.new left.
#include "access.hpp"
#include "elf.hpp"
#include "faults.hpp"
#include "forecast.hpp"
#include "map.hpp"
#include "order.hpp"
#include "pages.hpp"
#include "place.hpp"
#include "reach.hpp"
#include "run.hpp"
#include "symbols.hpp"
#include "touched.hpp"
#include "variants.hpp"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// The largest file taken, far above any static program's size.
constexpr off_t most_bytes = off_t{256} << 20;
constexpr unsigned long default_steps = 5'000'000;
// How many calls down from the code run another processor's path is looked for.
constexpr int callee_depth = 2;

struct Options {
	const char *output = nullptr, *script = nullptr, *map = nullptr;
	bool report = false;
	unsigned long steps = default_steps;
	const char *program = nullptr;
	std::vector<std::string> env;
};

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "greet-trace: %s\n", what.c_str());
	std::exit(1);
}

Options parse(int argc, char **argv)
{
	const std::string usage = "usage: greet-trace [-o ORDER] [--script SCRIPT] [--map MAP] [--report] [--steps N] "
				  "PROGRAM [NAME=VALUE ...]";
	const option longs[] = {
		{"output", required_argument, nullptr, 'o'}, {"script", required_argument, nullptr, 'l'},
		{"map", required_argument, nullptr, 'm'},    {"report", no_argument, nullptr, 'r'},
		{"steps", required_argument, nullptr, 's'},  {nullptr, 0, nullptr, 0}};
	Options o;
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "+:o:l:m:rs:", longs, nullptr)) != -1;) {
		if (c == 'o') {
			o.output = optarg;
		} else if (c == 'l') {
			o.script = optarg;
		} else if (c == 'm') {
			o.map = optarg;
		} else if (c == 'r') {
			o.report = true;
		} else if (c == 's') {
			char *end;
			errno = 0;
			o.steps = std::strtoul(optarg, &end, 10);
			if (errno || *optarg < '0' || *optarg > '9' || *end || o.steps == 0)
				fail(std::string("--steps: not a count above 0: ") + optarg);
		} else if (c == ':') {
			fail(std::string(argv[optind - 1]) + ": needs an argument (" + usage + ")");
		} else {
			// An unknown short option by its letter, which may stand among others.
			const std::string given =
				optopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
			fail(given + ": not an option (" + usage + ")");
		}
	}
	if (o.report && (o.output || o.script))
		fail(std::string("--report cannot go with ") + (o.output ? "-o" : "--script"));
	if (optind >= argc)
		fail("no PROGRAM to trace (" + usage + ")");
	o.program = argv[optind];
	o.env.assign(argv + optind + 1, argv + argc);
	return o;
}

// A file read whole, which must be a regular file; false, with errno set,
// where it cannot be opened. Opened without blocking, so that a FIFO is
// refused rather than waited on.
bool read_file(const std::string &name, std::string &bytes)
{
	int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	struct stat st;
	if (fd < 0)
		return false;
	if (fstat(fd, &st) != 0)
		fail(name + ": " + why());
	if (!S_ISREG(st.st_mode))
		fail(name + ": not a regular file");
	if (st.st_size > most_bytes)
		fail(name + ": larger than " + std::to_string(most_bytes >> 20) + " MiB, so not a file to read");
	bytes.resize(static_cast<size_t>(st.st_size));
	for (size_t got = 0; got < bytes.size();) {
		ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
		if (n <= 0)
			fail(name + ": " + (n < 0 ? why() : "shorter than its size"));
		got += static_cast<size_t>(n);
	}
	close(fd);
	return true;
}

// The program's file, which must hold a static executable with its symbols.
Elf load(const std::string &name, std::string &bytes)
{
	if (!read_file(name, bytes))
		fail(name + ": " + why());
	try {
		Elf elf = read_elf(bytes);
		if (!elf.static_executable())
			throw ElfError("not a static, position-dependent executable");
		if (elf.symbols.empty())
			throw ElfError("no symbol table (stripped?)");
		return elf;
	} catch (const ElfError &e) {
		fail(name + ": " + e.what());
	}
}

// The input sections of the map at name; none, said in one line, where
// there is no such file, since the order does without them.
std::vector<InputSection> load_map(const std::string &name)
{
	std::string text;
	if (!read_file(name, text)) {
		if (errno != ENOENT)
			fail(name + ": " + why());
		std::fprintf(stderr, "greet-trace: %s: %s, so sections are placed by the order alone\n", name.c_str(),
			     why().c_str());
		return {};
	}
	try {
		return read_map(text);
	} catch (const MapError &e) {
		fail(name + ": " + e.what());
	}
}

// Each file written whole before any is renamed into place, so that a
// failed run never leaves half a file; then renamed one by one, in the
// order given: where a rename fails, the files before it are new and the
// rest as they were. A file dated 1970 is older than what it is made from,
// so the build makes it again.
void write_files(const std::vector<std::pair<const char *, std::string>> &files, bool dated_1970)
{
	const timespec epoch[2] = {{0, 0}, {0, 0}};
	std::vector<std::string> written;
	const auto failed = [&](const std::string &what) {
		for (auto &temporary : written)
			unlink(temporary.c_str());
		fail(what);
	};
	for (auto &[path, text] : files) {
		const std::string temporary = std::string(path) + ".new";
		FILE *f = std::fopen(temporary.c_str(), "w");
		if (!f)
			failed(temporary + ": " + why());
		written.push_back(temporary);
		bool ok = std::fputs(text.c_str(), f) >= 0;
		ok = std::fclose(f) == 0 && ok;
		if (!ok || (dated_1970 && utimensat(AT_FDCWD, temporary.c_str(), epoch, 0) != 0))
			failed(temporary + ": " + why());
	}
	for (size_t i = 0; i < files.size(); i++) {
		if (std::rename(written[i].c_str(), files[i].first) != 0)
			failed("cannot rename " + written[i] + " to " + files[i].first + ": " + why());
	}
}

// The order to ORDER, or to standard output without -o, and the script to
// SCRIPT where asked for: ORDER last, so that a new ORDER never goes with a
// stale SCRIPT, and an ORDER left stale has the build make both again.
void write_outputs(const Options &o, const std::string &order, const std::string &script, bool dated_1970)
{
	std::vector<std::pair<const char *, std::string>> files;
	if (o.script)
		files.emplace_back(o.script, script);
	if (o.output)
		files.emplace_back(o.output, order);
	write_files(files, dated_1970);
	if (!o.output)
		std::fputs(order.c_str(), stdout);
}

void report(const Elf &elf, const Symbols &symbols, const Run &run, const Variants &variants, const Touched &touched,
	    const Reached &reached, const std::vector<Fault> &faults)
{
	const std::vector<uint64_t> written = written_pages(elf, run);
	std::printf("instructions %zu\ncode windows %zu\nwritten pages %zu\n", run.steps.size(),
		    touched.code_windows.size(), written.size());
	for (int level = 1; level <= most_level; level++) {
		const CodeWindows at = code_windows_at(level, variants, touched, reached);
		std::printf("code windows at x86-64-v%d %zu\nbytes to spare at x86-64-v%d %lu\n", level, at.windows,
			    level, static_cast<unsigned long>(at.spare));
	}
	const RelroWrites relro = relro_writes(elf, run, written);
	std::printf("relro written pages %zu\nrelro written page fill %lu\n", relro.pages,
		    static_cast<unsigned long>(relro.fill));
	// The heap's pages touched are its faults.
	std::printf("heap pages %zu\nheap room %lu\n",
		    static_cast<size_t>(std::count_if(faults.begin(), faults.end(),
						      [](const Fault &f) { return f.part == Part::heap; })),
		    static_cast<unsigned long>(heap_room(run)));
	for (auto &[family, names] : families_run(variants, touched.executed))
		for (auto &name : names)
			std::printf("variant %s %s\n", family.c_str(), name.c_str());
	for (auto w : touched.code_windows)
		std::printf("code window %#lx\n", static_cast<unsigned long>(w << window_shift));
	for (auto page : written)
		std::printf("written page %#lx\n", static_cast<unsigned long>(page << page_shift));
	for (auto &f : faults)
		std::printf("fault %s\n", describe(f, symbols).c_str());
	for (auto &[part, n] : faults_by_part(faults))
		std::printf("faults %s %zu\n", part.c_str(), n);
	std::printf("faults total %zu\nfaults kernel %lu\n", faults.size(),
		    static_cast<unsigned long>(run.kernel_faults));
}

// The faults replayed, checked against the kernel's count and the page
// table at exit: where either differs, the account is not the kernel's,
// which is said in one line; the order stands.
std::vector<Fault> checked_faults(const Options &o, const Elf &elf, const Run &run)
{
	Replay replayed = replay(elf, run);
	if (replayed.faults.size() != run.kernel_faults)
		std::fprintf(stderr, "greet-trace: %s: the replay takes %zu faults where the kernel counted %lu\n",
			     o.program, replayed.faults.size(), static_cast<unsigned long>(run.kernel_faults));
	if (!replayed.unlike_exit.empty())
		std::fprintf(stderr,
			     "greet-trace: %s: the replay leaves %zu pages otherwise than the page table at exit has "
			     "them, the first at %#lx\n",
			     o.program, replayed.unlike_exit.size(),
			     static_cast<unsigned long>(replayed.unlike_exit[0] << page_shift));
	return std::move(replayed.faults);
}

} // namespace

int main(int argc, char **argv)
try {
	const Options o = parse(argc, argv);
	std::string bytes;
	const Elf elf = load(o.program, bytes);
	const Symbols symbols(elf.symbols);
	const std::vector<InputSection> sections = o.map ? load_map(o.map) : std::vector<InputSection>();
	const Variants variants = level_by_section(find_variants(elf, symbols), sections);
	Run run;
	try {
		run = trace(o.program, o.env, o.steps, elf);
	} catch (const PtraceRefused &e) {
		if (!o.output)
			fail(e.what());
		write_outputs(o, "", lead_script({}), true);
		std::fprintf(stderr, "greet-trace: %s, so %s is empty: greet is linked without its start-up order\n",
			     e.what(), o.output);
		return 0;
	} catch (const TraceError &e) {
		fail(e.what());
	}
	const Touched touched = with_changed(record(elf, symbols, variants, run), elf, symbols, run);
	const Reached reached = reach(touched, elf, symbols, variants, callee_depth);
	if (o.report) {
		report(elf, symbols, run, variants, touched, reached, checked_faults(o, elf, run));
		return 0;
	}
	const Placement placement = place(sections, variants, touched, reached);
	std::string order;
	for (auto &name : make_order(symbols, variants, touched, reached, placement))
		order += name + "\n";
	write_outputs(o, order, lead_script(placement), false);
	// Said once the order is written, so that a failure is one line alone.
	checked_faults(o, elf, run);
	return 0;
} catch (const std::exception &e) {
	// Anything else, running out of memory included, is one line too.
	fail(e.what());
}
