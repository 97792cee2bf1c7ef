// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// The code windows a run at each x86-64 level would touch, foreseen from
// this processor's.
#pragma once

#include "reach.hpp"
#include "touched.hpp"
#include "variants.hpp"

#include <cstddef>
#include <cstdint>

// What a run at an x86-64 level (1 to 4) touches of the code, as far as
// run tells: the functions run but the variants, and of each family run the
// variants of the highest level up to that level that it has, which such a
// processor picks among. The windows, and the bytes from the end of the
// last of that code to its window's end, by which the code may grow before
// it takes another window.
struct CodeWindows {
	size_t windows;
	uint64_t spare;
};
CodeWindows code_windows_at(int level, const Variants &variants, const Touched &touched, const Reached &reached);
