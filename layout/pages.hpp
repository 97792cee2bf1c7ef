// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
// A page, and the window of 16 pages that the kernel's fault-around maps on
// one read of a file mapping: start-up costs one fault for each window of
// the program's file it reads or runs, and one for each page it writes.
#pragma once

constexpr unsigned page_shift = 12, window_shift = 16;
