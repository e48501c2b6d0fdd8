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

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when the byte there starts none.
size_t utf8_length(const std::string& s, size_t i) {
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = at(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

std::string json_escape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t n = c >= 0x80 ? utf8_length(s, i) : 0; n > 0) {
            out.append(s, i, n);
            i += n;
        } else {
            // Control bytes, DEL and bytes that are not UTF-8 become \u00XX
            // (the byte's value as a code point), so the text is always JSON.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        }
    }
    return out;
}

}  // namespace nuv::meta
