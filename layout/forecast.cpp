// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "forecast.hpp"

#include "access.hpp"
#include "pages.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>

CodeWindows code_windows_at(int level, const Variants &variants, const Touched &touched, const Reached &reached)
{
	std::set<uint64_t> windows;
	uint64_t end = 0;
	const auto take = [&](const Symbol *f) {
		const uint64_t last = f->addr + std::max<uint64_t>(f->size, 1) - 1;
		for (uint64_t w = f->addr >> window_shift; w <= last >> window_shift; w++)
			windows.insert(w);
		end = std::max(end, last + 1);
	};
	for (auto *f : touched.executed)
		if (common_code(variants, reached.by_name, f))
			take(f);
	// Of each family run, the highest level up to level it has a variant of.
	std::map<std::string, int> picked;
	for (auto &[family, ran] : families_run(variants, touched.executed))
		picked[family] = 0;
	const auto pickable = [&](const Symbol *v, const Variant &variant) {
		return variant.level <= level && !reached.by_name.count(v);
	};
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (auto it = picked.find(f); it != picked.end() && pickable(v, variant))
				it->second = std::max(it->second, variant.level);
	for (auto &[v, variant] : variants)
		for (auto &f : variant.families)
			if (auto it = picked.find(f);
			    it != picked.end() && pickable(v, variant) && variant.level == it->second)
				take(v);
	const uint64_t window = uint64_t{1} << window_shift;
	return {windows.size(), windows.empty() ? 0 : (window - end % window) % window};
}
