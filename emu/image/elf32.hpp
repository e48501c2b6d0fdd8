// A checked reader of ELF32 little-endian files: header, program headers,
// section headers and the symbol table. Every field is validated against the
// file's size before use; nothing trusts the header.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace nuv::elf {

constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_DYNAMIC = 2;
constexpr uint32_t PT_INTERP = 3;
constexpr uint32_t PF_X = 1;
constexpr uint32_t PF_W = 2;
constexpr uint32_t PF_R = 4;
constexpr uint32_t SHT_NULL = 0;
constexpr uint32_t SHT_PROGBITS = 1;
constexpr uint32_t SHT_SYMTAB = 2;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHT_DYNAMIC = 6;
constexpr uint32_t SHF_WRITE = 1;
constexpr uint32_t SHF_ALLOC = 2;
constexpr uint32_t SHF_EXECINSTR = 4;

struct Segment {
    uint32_t type, offset, vaddr, paddr, filesz, memsz, flags, align;
};

struct Section {
    std::string name;
    uint32_t type, flags, addr, offset, size, link, info, align, entsize;
};

struct Symbol {
    uint32_t value, size;
    uint8_t type;  // STT_*
};

struct File {
    std::vector<uint8_t> bytes;
    uint8_t osabi = 0;
    uint16_t type = 0, machine = 0;
    uint32_t entry = 0;
    std::vector<Segment> segments;
    std::vector<Section> sections;
    std::map<std::string, Symbol, std::less<>> symbols;

    const Section* section(std::string_view name) const;
    // The bytes of a section that lies in the file; empty for NOBITS and NULL
    // sections and for any range that is not wholly inside the file.
    std::span<const uint8_t> contents(const Section& s) const;
};

// Parses an ELF32 little-endian file, or says in one line why it cannot
// (HostError::BadImage).
Result<File> parse(std::vector<uint8_t> bytes);
Result<File> read_file(const std::string& path);

// Checks that a parsed file is a static i386 executable that a loader can
// map: returns an empty string when it is, else the reason.
std::string check_loadable(const File& f);

}  // namespace nuv::elf
