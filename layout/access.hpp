// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// What memory one x86-64 instruction reads and writes, decoded from its bytes
// with the registers it runs with.
#pragma once

#include <sys/user.h>

#include <cstdint>
#include <string_view>
#include <vector>

// The most bytes an x86-64 instruction takes.
constexpr uint64_t longest_instruction = 15;

struct Access {
	uint64_t addr, size;
	bool read, write;
};

// The instruction at the start of bytes, run at rip with regs: how many
// bytes it takes (0 where they decode to no instruction), whether it asks
// the kernel for a system call, and its accesses: its memory operands,
// implicit ones (a string instruction's rsi and rdi, the stack) included,
// FS and GS bases added, each over every byte the instruction touches: a
// rep-prefixed string instruction's whole count, an xsave-family
// instruction's whole area. Address generation (lea), NOPs and prefetches
// touch nothing.
struct Instruction {
	uint64_t length = 0;
	bool system_call = false;
	std::vector<Access> accesses;
};
Instruction decode(std::string_view bytes, uint64_t rip, const user_regs_struct &regs);

// What the code in bytes, loaded at addr, names by address: the targets of
// its RIP-relative operands, lea's included, and of its direct calls (not
// its jumps, which stay within a function or leave it for good, as to a
// compiler's cold part of it). Decoding goes on past bytes that are no
// instruction.
struct References {
	std::vector<uint64_t> data, calls;
};
References references(std::string_view bytes, uint64_t addr);

// The x86-64 level, 1 to 4, that the code in bytes needs: the highest that
// any of its instructions' extensions belongs to (2: SSSE3 and SSE4; 3: AVX,
// AVX2, FMA, F16C, BMI, LZCNT and MOVBE; 4: AVX-512).
int level(std::string_view bytes);
constexpr int most_level = 4;
