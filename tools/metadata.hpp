// The image metadata records: command record (".nuvos.cmdmeta", magic "NCMD")
// and package record (".nuvos.pkgmeta", magic "NPKG").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "elf32.hpp"

namespace nuv::meta {

struct Record {
    std::string magic;
    uint32_t version = 0;
    std::vector<std::string> texts;  // in record order
};

// The command record holds its description, then its name; the package
// record its name, then its second text.
struct CommandRecord {
    uint32_t version;
    std::string description, name;
};
struct PackageRecord {
    uint32_t version;
    std::string name, text;
};

// Parses a record of `ntexts` packed texts that must fill `bytes` exactly.
// On failure returns nullopt with a one-line reason in err.
std::optional<Record> parse_record(std::span<const uint8_t> bytes, const char* magic, int ntexts,
                                   std::string& err);

std::optional<CommandRecord> read_command(const elf::File& f, std::string& err);
std::optional<PackageRecord> read_package(const elf::File& f, std::string& err);

// The text of a JSON string (without its quotes): quotes and backslashes
// escaped, well-formed UTF-8 kept, every other byte below 0x20 or from 0x7F up
// written as \u00XX, so the result is valid JSON whatever the bytes.
std::string json_escape(const std::string& s);

}  // namespace nuv::meta
