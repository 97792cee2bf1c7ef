// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// Throws through frames with objects to destroy and catches in main: prints
// "unwound" and exits 0 only if the unwinder found every frame's entry.
#include <cstdio>
#include <stdexcept>
#include <string>

[[gnu::noinline]] static size_t descend(int depth)
{
	std::string held(static_cast<size_t>(depth) + 32, 'x');
	if (depth == 0)
		throw std::runtime_error("unwound");
	return descend(depth - 1) + held.size();
}

int main(int argc, char **)
{
	try {
		return static_cast<int>(descend(argc + 3));
	} catch (const std::exception &e) {
		std::fputs(e.what(), stdout);
		return 0;
	}
}
