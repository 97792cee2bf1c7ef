// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What memory one x86-64 instruction reads and writes, decoded from its bytes
// with the registers it runs with.
#pragma once

#include <sys/user.h>

#include <cstdint>
#include <string_view>
#include <vector>

struct Access {
	uint64_t addr, size;
	bool read, write;
};

// The accesses of the instruction at the start of bytes, run at rip with
// regs: its memory operands, implicit ones (a string instruction's rsi and
// rdi, the stack) included, FS and GS bases added, each over every byte the
// instruction touches: a rep-prefixed string instruction's whole count, an
// xsave-family instruction's whole area. Address generation (lea), NOPs and
// prefetches touch nothing; bytes that decode to no instruction give none.
std::vector<Access> accesses(std::string_view bytes, uint64_t rip, const user_regs_struct &regs);

// What the code in bytes, loaded at addr, names by address: the targets of
// its RIP-relative operands, lea's included, and of its direct calls and
// jumps. Decoding goes on past bytes that are no instruction.
struct References {
	std::vector<uint64_t> data, branches;
};
References references(std::string_view bytes, uint64_t addr);
