// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "access.hpp"

#include <Zydis/Zydis.h>
#include <cpuid.h>

#include <algorithm>
#include <utility>

namespace {

// The flags register's direction flag: string instructions count down.
constexpr uint64_t direction_flag = 1u << 10;

const ZydisDecoder &decoder()
{
	static const ZydisDecoder d = [] {
		ZydisDecoder init;
		ZydisDecoderInit(&init, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
		return init;
	}();
	return d;
}

// Each general register by every name an address may use for it.
ZydisRegisterContext context(uint64_t rip, const user_regs_struct &r)
{
	const uint64_t values[16] = {r.rax, r.rcx, r.rdx, r.rbx, r.rsp, r.rbp, r.rsi, r.rdi,
				     r.r8,  r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15};
	ZydisRegisterContext c{};
	for (int i = 0; i < 16; i++) {
		c.values[ZYDIS_REGISTER_RAX + i] = values[i];
		c.values[ZYDIS_REGISTER_EAX + i] = values[i] & 0xffffffff;
	}
	c.values[ZYDIS_REGISTER_RIP] = rip;
	return c;
}

// The size of this processor's XSAVE area for the features the system
// enables: what an xsave-family instruction may write or read.
uint64_t xsave_area()
{
	static const uint64_t size = [] {
		unsigned a, b = 0, c, d;
		return __get_cpuid_count(0xd, 0, &a, &b, &c, &d) ? uint64_t{b} : uint64_t{0};
	}();
	return size;
}

// The bytes that a memory operand of size bytes at addr spans over the
// whole instruction: a rep-prefixed string instruction repeats it rcx times
// (ecx with a 32-bit address), up or down as the direction flag says, and
// with a count of 0 touches nothing. How far a repe or repne one goes only
// its data tells, and a single step runs one iteration of it: the element at
// its registers.
std::pair<uint64_t, uint64_t> span(const ZydisDecodedInstruction &insn, const user_regs_struct &regs, uint64_t addr,
				   uint64_t size)
{
	const bool string =
		insn.meta.category == ZYDIS_CATEGORY_STRINGOP || insn.meta.category == ZYDIS_CATEGORY_IOSTRINGOP;
	if (!string || !(insn.attributes & ZYDIS_ATTRIB_HAS_REP))
		return {addr, size};
	const uint64_t count =
		std::min<uint64_t>(insn.address_width == 32 ? regs.rcx & 0xffffffff : regs.rcx, ~uint64_t{0} / size);
	const uint64_t bytes = count * size;
	if (!(regs.eflags & direction_flag))
		return {addr, bytes};
	return {addr + size >= bytes ? addr + size - bytes : 0, bytes};
}

// Hint NOPs and prefetches have memory operands that are read by name only.
bool touches_nothing(ZydisInstructionCategory category)
{
	return category == ZYDIS_CATEGORY_NOP || category == ZYDIS_CATEGORY_WIDENOP ||
	       category == ZYDIS_CATEGORY_PREFETCH || category == ZYDIS_CATEGORY_PREFETCHWT1;
}

} // namespace

Instruction decode(std::string_view bytes, uint64_t rip, const user_regs_struct &regs)
{
	ZydisDecodedInstruction insn;
	ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
	if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder(), bytes.data(), bytes.size(), &insn, ops)))
		return {};
	Instruction found{insn.length, insn.meta.category == ZYDIS_CATEGORY_SYSCALL, {}};
	if (touches_nothing(insn.meta.category))
		return found;
	const ZydisRegisterContext registers = context(rip, regs);
	for (unsigned i = 0; i < insn.operand_count; i++) {
		const ZydisDecodedOperand &op = ops[i];
		bool read = op.actions & ZYDIS_OPERAND_ACTION_MASK_READ;
		bool write = op.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE;
		ZyanU64 addr;
		// A vector-indexed operand has no one address; lea and its kind none at all.
		if (op.type != ZYDIS_OPERAND_TYPE_MEMORY || op.mem.type != ZYDIS_MEMOP_TYPE_MEM || !(read || write) ||
		    !ZYAN_SUCCESS(ZydisCalcAbsoluteAddressEx(&insn, &op, rip, &registers, &addr)))
			continue;
		// The stack is 64-bit whatever the address size (glibc's _start
		// calls with an addr32 prefix); a push or call names its top and
		// writes below it.
		if (op.visibility == ZYDIS_OPERAND_VISIBILITY_HIDDEN &&
		    (op.mem.base == ZYDIS_REGISTER_RSP || op.mem.base == ZYDIS_REGISTER_ESP)) {
			addr = regs.rsp + static_cast<uint64_t>(op.mem.disp.value);
			if (write && !read)
				addr -= op.size / 8u;
		}
		if (op.mem.segment == ZYDIS_REGISTER_FS)
			addr += regs.fs_base;
		else if (op.mem.segment == ZYDIS_REGISTER_GS)
			addr += regs.gs_base;
		uint64_t size = op.size ? op.size / 8u : 1u;
		if (insn.meta.category == ZYDIS_CATEGORY_XSAVE || insn.meta.category == ZYDIS_CATEGORY_XSAVEOPT)
			size = std::max(size, xsave_area());
		const auto [start, spanned] = span(insn, regs, addr, size);
		if (spanned)
			found.accesses.push_back({start, spanned, read, write});
	}
	return found;
}

References references(std::string_view bytes, uint64_t addr)
{
	References found;
	ZydisDecodedInstruction insn;
	ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
	for (size_t at = 0; at < bytes.size();) {
		if (!ZYAN_SUCCESS(
			    ZydisDecoderDecodeFull(&decoder(), bytes.data() + at, bytes.size() - at, &insn, ops))) {
			at++;
			continue;
		}
		for (unsigned i = 0; i < insn.operand_count_visible; i++) {
			const ZydisDecodedOperand &op = ops[i];
			ZyanU64 target;
			bool rip_relative = op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP;
			bool call = insn.mnemonic == ZYDIS_MNEMONIC_CALL && op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE &&
				    op.imm.is_relative;
			if ((rip_relative || call) &&
			    ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&insn, &op, addr + at, &target)))
				(call ? found.calls : found.data).push_back(target);
		}
		at += insn.length;
	}
	return found;
}

int level(std::string_view bytes)
{
	int highest = 1;
	ZydisDecodedInstruction insn;
	for (size_t at = 0; at < bytes.size();) {
		if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder(), nullptr, bytes.data() + at,
								bytes.size() - at, &insn))) {
			at++;
			continue;
		}
		switch (insn.meta.isa_ext) {
		case ZYDIS_ISA_EXT_AVX512EVEX:
		case ZYDIS_ISA_EXT_AVX512VEX:
			highest = 4;
			break;
		case ZYDIS_ISA_EXT_AVX:
		case ZYDIS_ISA_EXT_AVX2:
		case ZYDIS_ISA_EXT_AVX2GATHER:
		case ZYDIS_ISA_EXT_FMA:
		case ZYDIS_ISA_EXT_F16C:
		case ZYDIS_ISA_EXT_BMI1:
		case ZYDIS_ISA_EXT_BMI2:
		case ZYDIS_ISA_EXT_LZCNT:
		case ZYDIS_ISA_EXT_MOVBE:
			highest = std::max(highest, 3);
			break;
		case ZYDIS_ISA_EXT_SSSE3:
		case ZYDIS_ISA_EXT_SSE4:
			highest = std::max(highest, 2);
			break;
		default:
			break;
		}
		at += insn.length;
	}
	return highest;
}
