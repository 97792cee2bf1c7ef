/* SPDX-FileCopyrightText: 2026 The greet developers
   SPDX-License-Identifier: MIT */
/* The least a process that writes the greeting can be: write(2) and
   exit_group(2), no C library, no start-up of any kind. */
	.text
	.globl _start
_start:
	mov $1, %eax		/* write(1, greeting, 12) */
	mov $1, %edi
	lea greeting(%rip), %rsi
	mov $12, %edx
	syscall
	mov $231, %eax		/* exit_group(0) */
	xor %edi, %edi
	syscall

	.section .rodata
greeting:
	.ascii "Hello People"

	.section .note.GNU-stack, "", @progbits
