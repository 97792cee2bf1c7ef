// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "access.hpp"

#include <Zydis/Zydis.h>

namespace {

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

} // namespace

std::vector<Access> accesses(std::string_view bytes, uint64_t rip, const user_regs_struct &regs)
{
	ZydisDecodedInstruction insn;
	ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
	if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder(), bytes.data(), bytes.size(), &insn, ops)))
		return {};
	// Hint NOPs and prefetches have memory operands that are read by name only.
	switch (insn.meta.category) {
	case ZYDIS_CATEGORY_NOP:
	case ZYDIS_CATEGORY_WIDENOP:
	case ZYDIS_CATEGORY_PREFETCH:
	case ZYDIS_CATEGORY_PREFETCHWT1:
		return {};
	default:
		break;
	}
	const ZydisRegisterContext registers = context(rip, regs);
	std::vector<Access> found;
	for (unsigned i = 0; i < insn.operand_count; i++) {
		const ZydisDecodedOperand &op = ops[i];
		bool read = op.actions & ZYDIS_OPERAND_ACTION_MASK_READ;
		bool write = op.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE;
		ZyanU64 addr;
		// A vector-indexed operand has no one address; lea and its kind none at all.
		if (op.type != ZYDIS_OPERAND_TYPE_MEMORY || op.mem.type != ZYDIS_MEMOP_TYPE_MEM || !(read || write) ||
		    !ZYAN_SUCCESS(ZydisCalcAbsoluteAddressEx(&insn, &op, rip, &registers, &addr)))
			continue;
		// A push or call names the stack's top, and writes below it.
		if (op.visibility == ZYDIS_OPERAND_VISIBILITY_HIDDEN && op.mem.base == ZYDIS_REGISTER_RSP && write &&
		    !read)
			addr -= op.size / 8u;
		if (op.mem.segment == ZYDIS_REGISTER_FS)
			addr += regs.fs_base;
		else if (op.mem.segment == ZYDIS_REGISTER_GS)
			addr += regs.gs_base;
		found.push_back({addr, op.size ? op.size / 8u : 1u, read, write});
	}
	return found;
}

References references(std::string_view bytes, uint64_t addr)
{
	References found;
	ZydisDecodedInstruction insn;
	ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
	for (size_t at = 0; at < bytes.size();) {
		if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder(), bytes.data() + at, bytes.size() - at, &insn, ops))) {
			at++;
			continue;
		}
		for (unsigned i = 0; i < insn.operand_count_visible; i++) {
			const ZydisDecodedOperand &op = ops[i];
			ZyanU64 target;
			bool rip_relative = op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP;
			bool branch = op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative;
			if ((rip_relative || branch) && ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&insn, &op, addr + at, &target)))
				(branch ? found.branches : found.data).push_back(target);
		}
		at += insn.length;
	}
	return found;
}
