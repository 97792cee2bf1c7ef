// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "map.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace {

// A line's columns: address, load address, size and alignment, then one
// space and the name, indented by a tab stop of 8 for each level: an output
// section's, an input section's (or a command's) and a symbol's.
constexpr int numbers = 4;
constexpr size_t name_indent = 8;

// The number at the start of text after its spaces, in base, and what
// follows it; false where there is none or it does not fit.
bool take(std::string_view &text, int base, uint64_t &value)
{
	text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
	auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
	if (error != std::errc() || end == text.data())
		return false;
	text.remove_prefix(static_cast<size_t>(end - text.data()));
	return true;
}

} // namespace

std::vector<InputSection> read_map(std::string_view text)
{
	std::vector<InputSection> sections;
	size_t number = 0;
	for (size_t at = 0; at < text.size();) {
		const size_t end = std::min(text.find('\n', at), text.size());
		std::string_view line = text.substr(at, end - at);
		at = end + 1;
		const std::string where = "line " + std::to_string(++number) + ": ";
		if (number == 1) {
			if (line.substr(std::min(line.find_first_not_of(' '), line.size())).substr(0, 3) != "VMA")
				throw MapError(where + "not the header of a link map");
			continue;
		}
		uint64_t column[numbers];
		for (int i = 0; i < numbers; i++)
			if (!take(line, i < numbers - 1 ? 16 : 10, column[i]))
				throw MapError(where + "not a line of a link map");
		const uint64_t addr = column[0], size = column[2], align = column[3];
		if (line.empty() || line[0] != ' ' || addr + size < addr)
			throw MapError(where + "not a line of a link map");
		line.remove_prefix(1);
		// An input section, "FILE:(SECTION)"; not a command, such as ". = ALIGN(...)".
		const size_t colon = line.rfind(":(");
		if (line.find_first_not_of(' ') != name_indent || colon == std::string_view::npos ||
		    line.back() != ')' || size == 0)
			continue;
		sections.push_back({addr, size, align, std::string(line.substr(name_indent, colon - name_indent)),
				    std::string(line.substr(colon + 2, line.size() - colon - 3))});
	}
	std::sort(sections.begin(), sections.end(),
		  [](const InputSection &a, const InputSection &b) { return a.addr < b.addr; });
	return sections;
}

const InputSection *section_at(const std::vector<InputSection> &sections, uint64_t addr)
{
	auto it = std::upper_bound(sections.begin(), sections.end(), addr,
				   [](uint64_t a, const InputSection &s) { return a < s.addr; });
	if (it == sections.begin() || addr - (--it)->addr >= it->size)
		return nullptr;
	return &*it;
}

std::string script_pattern(const InputSection &s)
{
	std::string file = s.file;
	if (!file.empty() && file.back() == ')' && file.find('(') != std::string::npos) {
		file.pop_back();
		file[file.rfind('(')] = ':';
	}
	const std::string name = file + "(" + s.section + ")";
	const auto plain = [](char c) {
		return std::isalnum(static_cast<unsigned char>(c)) || (c && std::strchr("_.+-/:", c));
	};
	return std::all_of(file.begin(), file.end(), plain) && std::all_of(s.section.begin(), s.section.end(), plain)
		       ? name
		       : "";
}
