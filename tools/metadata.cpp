#include "metadata.hpp"

#include <cstdio>
#include <cstring>

namespace nuv::meta {
namespace {

constexpr uint32_t kVersion = 1;

std::optional<Record> section_record(const elf::File& f, const char* section, const char* magic,
                                     int ntexts, std::string& err) {
    const elf::Section* s = f.section(section);
    if (s == nullptr) {
        err = std::string("no ") + section + " section";
        return std::nullopt;
    }
    if (s->type != elf::SHT_PROGBITS) {
        err = std::string(section) + " holds no data";
        return std::nullopt;
    }
    std::optional<Record> r = parse_record(f.contents(*s), magic, ntexts, err);
    if (!r) err = std::string(section) + ": " + err;
    return r;
}

}  // namespace

std::optional<Record> parse_record(std::span<const uint8_t> bytes, const char* magic, int ntexts,
                                   std::string& err) {
    if (bytes.size() < 8) {
        err = "record shorter than its 8-byte header";
        return std::nullopt;
    }
    Record r;
    r.magic.assign(reinterpret_cast<const char*>(bytes.data()), 4);
    if (r.magic != magic) {
        err = "bad magic (expected " + std::string(magic) + ")";
        return std::nullopt;
    }
    r.version = static_cast<uint32_t>(bytes[4]) | (static_cast<uint32_t>(bytes[5]) << 8) |
                (static_cast<uint32_t>(bytes[6]) << 16) | (static_cast<uint32_t>(bytes[7]) << 24);
    if (r.version != kVersion) {
        err = "unsupported record version " + std::to_string(r.version);
        return std::nullopt;
    }
    size_t at = 8;
    for (int i = 0; i < ntexts; ++i) {
        const void* nul = std::memchr(bytes.data() + at, 0, bytes.size() - at);
        if (nul == nullptr) {
            err = "text " + std::to_string(i + 1) + " has no terminating NUL";
            return std::nullopt;
        }
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.data());
        std::string text(reinterpret_cast<const char*>(bytes.data() + at), end - at);
        for (unsigned char c : text) {
            if (c < 32 || c > 126) {
                err = "text " + std::to_string(i + 1) + " is not plain ASCII";
                return std::nullopt;
            }
        }
        r.texts.push_back(std::move(text));
        at = end + 1;
    }
    if (at >= bytes.size()) {
        err = "record has no end byte";
        return std::nullopt;
    }
    if (bytes[at] != 0) {
        err = "end byte is not zero";
        return std::nullopt;
    }
    if (at + 1 != bytes.size()) {
        err = std::to_string(bytes.size() - at - 1) + " bytes follow the end of the record";
        return std::nullopt;
    }
    return r;
}

std::optional<CommandRecord> read_command(const elf::File& f, std::string& err) {
    auto r = section_record(f, ".nuvos.cmdmeta", "NCMD", 2, err);
    if (!r) return std::nullopt;
    return CommandRecord{r->version, r->texts[0], r->texts[1]};
}

std::optional<PackageRecord> read_package(const elf::File& f, std::string& err) {
    auto r = section_record(f, ".nuvos.pkgmeta", "NPKG", 2, err);
    if (!r) return std::nullopt;
    return PackageRecord{r->version, r->texts[0], r->texts[1]};
}

std::string json_escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Control bytes and every byte outside ASCII: the byte's value as
            // one code point, so the output is ASCII, always valid JSON
            // whatever the bytes are, and each byte can be read back.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace nuv::meta
