/* SPDX-FileCopyrightText: 2026 The greet developers
   SPDX-License-Identifier: MIT */
/* The least a greeting program can do: one write(2), nothing else. */
#include <unistd.h>

int main(void)
{
	return write(1, "Hello People", 12) == 12 ? 0 : 1;
}
