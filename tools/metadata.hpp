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

// The bytes of `s` as the inside of a JSON string: quote and backslash are
// escaped, every byte below 0x20 or above 0x7e becomes \u00XX with the byte's
// value, the rest stay as they are.
std::string json_escape(const std::string& s);

}  // namespace nuv::meta
