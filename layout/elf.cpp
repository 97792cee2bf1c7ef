// SPDX-FileCopyrightText: 2026 The greet developers
// SPDX-License-Identifier: MIT
#include "elf.hpp"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Whether [offset, offset + size) lies within the file, without overflow.
bool within(std::string_view file, uint64_t offset, uint64_t size)
{
	return offset <= file.size() && size <= file.size() - offset;
}

template <typename T> T at(std::string_view file, uint64_t offset)
{
	T value;
	std::memcpy(&value, file.data() + offset, sizeof value);
	return value;
}

// A NUL-terminated name at offset in a string table that lies in the file.
std::string name_in(std::string_view file, const Elf64_Shdr &table, uint64_t offset, const char *what)
{
	if (offset >= table.sh_size)
		throw ElfError(std::string(what) + " name lies outside its string table");
	std::string_view rest = file.substr(table.sh_offset + offset, table.sh_size - offset);
	size_t end = rest.find('\0');
	if (end == std::string_view::npos)
		throw ElfError(std::string(what) + " name runs past its string table");
	return std::string(rest.substr(0, end));
}

void read_symbols(Elf &elf, const std::vector<Elf64_Shdr> &shdrs, const Elf64_Shdr &symtab)
{
	if (symtab.sh_entsize != sizeof(Elf64_Sym) || symtab.sh_size % sizeof(Elf64_Sym))
		throw ElfError("symbol table entries are not ELF64 symbols");
	if (symtab.sh_link >= shdrs.size() || shdrs[symtab.sh_link].sh_type != SHT_STRTAB)
		throw ElfError("symbol table links to no string table");
	const Elf64_Shdr &names = shdrs[symtab.sh_link];
	const size_t first = elf.symbols.size();
	std::vector<uint64_t> section_ends;
	for (uint64_t i = 0; i < symtab.sh_size / sizeof(Elf64_Sym); i++) {
		auto sym = at<Elf64_Sym>(elf.file, symtab.sh_offset + i * sizeof(Elf64_Sym));
		std::string name = name_in(elf.file, names, sym.st_name, "symbol");
		int type = ELF64_ST_TYPE(sym.st_info);
		if (sym.st_shndx == SHN_UNDEF || sym.st_shndx >= SHN_LORESERVE ||
		    (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC))
			continue;
		if (sym.st_value + sym.st_size < sym.st_value)
			throw ElfError("symbol " + std::to_string(i) + " wraps around the address space");
		elf.symbols.push_back(
			{sym.st_value, sym.st_size, name, type != STT_OBJECT,
			 ELF64_ST_BIND(sym.st_info) == STB_LOCAL && ELF64_ST_VISIBILITY(sym.st_other) == STV_DEFAULT});
		// Where its section ends; where it lies in none, there.
		uint64_t end = sym.st_value;
		if (const Elf64_Shdr *in = sym.st_shndx < shdrs.size() ? &shdrs[sym.st_shndx] : nullptr;
		    in && sym.st_value >= in->sh_addr && sym.st_value - in->sh_addr <= in->sh_size)
			end += std::min(in->sh_size - (sym.st_value - in->sh_addr), UINT64_MAX - sym.st_value);
		section_ends.push_back(end);
	}
	// A function without a size, as crtbegin's are, runs to the next symbol
	// or to its section's end, so that running it is seen like any other.
	std::vector<uint64_t> starts;
	for (auto &s : elf.symbols)
		starts.push_back(s.addr);
	std::sort(starts.begin(), starts.end());
	for (size_t i = 0; i < section_ends.size(); i++)
		if (Symbol &s = elf.symbols[first + i]; s.code && !s.size) {
			auto next = std::upper_bound(starts.begin(), starts.end(), s.addr);
			s.size = std::min(next == starts.end() ? section_ends[i] : *next, section_ends[i]) - s.addr;
		}
}

void read_resolvers(Elf &elf, const Elf64_Shdr &rela)
{
	if (rela.sh_entsize != sizeof(Elf64_Rela) || rela.sh_size % sizeof(Elf64_Rela))
		throw ElfError("relocation entries are not ELF64 relocations");
	for (uint64_t i = 0; i < rela.sh_size / sizeof(Elf64_Rela); i++) {
		auto r = at<Elf64_Rela>(elf.file, rela.sh_offset + i * sizeof(Elf64_Rela));
		if (ELF64_R_TYPE(r.r_info) == R_X86_64_IRELATIVE)
			elf.resolvers.push_back(static_cast<uint64_t>(r.r_addend));
	}
}

} // namespace

namespace {

void read_segments(Elf &elf, const Elf64_Ehdr &eh)
{
	if (eh.e_phnum && eh.e_phentsize != sizeof(Elf64_Phdr))
		throw ElfError("program header entries are not ELF64 program headers");
	if (!within(elf.file, eh.e_phoff, uint64_t{eh.e_phnum} * sizeof(Elf64_Phdr)))
		throw ElfError("program headers lie past the end of the file");
	for (uint64_t i = 0; i < eh.e_phnum; i++) {
		auto p = at<Elf64_Phdr>(elf.file, eh.e_phoff + i * sizeof(Elf64_Phdr));
		if (!within(elf.file, p.p_offset, p.p_filesz) || p.p_filesz > p.p_memsz ||
		    p.p_vaddr + p.p_memsz < p.p_vaddr)
			throw ElfError("segment " + std::to_string(i) + " lies outside the file or the address space");
		elf.segments.push_back({p.p_type, p.p_flags, p.p_offset, p.p_vaddr, p.p_filesz, p.p_memsz});
	}
}

// The sections, and of them the symbol table's symbols and the relocations'
// resolvers.
void read_sections(Elf &elf, const Elf64_Ehdr &eh)
{
	if (eh.e_shnum && eh.e_shentsize != sizeof(Elf64_Shdr))
		throw ElfError("section header entries are not ELF64 section headers");
	if (!within(elf.file, eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr)))
		throw ElfError("section headers lie past the end of the file");
	std::vector<Elf64_Shdr> shdrs;
	for (uint64_t i = 0; i < eh.e_shnum; i++) {
		auto s = at<Elf64_Shdr>(elf.file, eh.e_shoff + i * sizeof(Elf64_Shdr));
		if (s.sh_type != SHT_NOBITS && !within(elf.file, s.sh_offset, s.sh_size))
			throw ElfError("section " + std::to_string(i) + " lies past the end of the file");
		shdrs.push_back(s);
	}
	if (!shdrs.empty() && (eh.e_shstrndx >= shdrs.size() || shdrs[eh.e_shstrndx].sh_type != SHT_STRTAB))
		throw ElfError("no section name table");
	for (auto &s : shdrs) {
		elf.sections.push_back({name_in(elf.file, shdrs[eh.e_shstrndx], s.sh_name, "section"), s.sh_type,
					s.sh_flags, s.sh_addr, s.sh_offset, s.sh_size});
		if (s.sh_type == SHT_SYMTAB)
			read_symbols(elf, shdrs, s);
		else if (s.sh_type == SHT_RELA)
			read_resolvers(elf, s);
	}
}

} // namespace

Elf read_elf(std::string_view file)
{
	if (file.size() < SELFMAG || file.compare(0, SELFMAG, ELFMAG) != 0)
		throw ElfError("not an ELF file");
	if (file.size() < sizeof(Elf64_Ehdr))
		throw ElfError("truncated ELF header");
	auto eh = at<Elf64_Ehdr>(file, 0);
	if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB)
		throw ElfError("not a 64-bit little-endian ELF file");
	if (eh.e_machine != EM_X86_64)
		throw ElfError("not an x86-64 ELF file");
	Elf elf{file, eh.e_type, {}, {}, {}, {}};
	read_segments(elf, eh);
	read_sections(elf, eh);
	return elf;
}

bool Elf::static_executable() const
{
	return type == ET_EXEC && std::none_of(segments.begin(), segments.end(), [](const Segment &s) {
		       return s.type == PT_INTERP || s.type == PT_DYNAMIC;
	       });
}

const Segment *Elf::segment_at(uint64_t addr) const
{
	for (auto &s : segments)
		if (s.type == PT_LOAD && addr >= s.vaddr && addr - s.vaddr < s.memsz)
			return &s;
	return nullptr;
}

bool Segment::writable() const
{
	return type == PT_LOAD && (flags & PF_W);
}

bool Segment::read_only() const
{
	return type == PT_LOAD && (flags & (PF_R | PF_W | PF_X)) == PF_R;
}

bool Elf::in_read_only_segment(uint64_t addr) const
{
	const Segment *s = segment_at(addr);
	return s && s->read_only();
}

std::string_view Elf::bytes_at(uint64_t addr, uint64_t max, uint32_t flags) const
{
	const Segment *s = segment_at(addr);
	if (!s || (s->flags & flags) != flags || addr - s->vaddr >= s->filesz)
		return {};
	return file.substr(s->offset + (addr - s->vaddr), std::min(max, s->filesz - (addr - s->vaddr)));
}
