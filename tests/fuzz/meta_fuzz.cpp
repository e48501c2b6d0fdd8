// The metadata record reader on arbitrary bytes, both as a bare record and
// inside an ELF image; the JSON escaping of whatever texts it returns.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "edge_buffer.h"
#include "metadata.hpp"

namespace {

void check_escaped(const std::string& text) {
    std::string e = nuv::meta::json_escape(text);
    for (size_t i = 0; i < e.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(e[i]);
        NUV_CHECK(c >= 32);
        if (c == '\\') {
            NUV_CHECK(i + 1 < e.size());
            ++i;
        } else {
            NUV_CHECK(c != '"');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    for (const char* magic : {"NCMD", "NPKG"}) {
        for (int ntexts = 1; ntexts <= 3; ++ntexts) {
            std::string err;
            auto r = nuv::meta::parse_record(bytes, magic, ntexts, err);
            if (!r) {
                NUV_CHECK(!err.empty());
                continue;
            }
            // Header, the texts with their NULs and the end byte fill it exactly.
            size_t total = 8 + 1;
            NUV_CHECK(r->texts.size() == static_cast<size_t>(ntexts));
            for (const std::string& t : r->texts) {
                total += t.size() + 1;
                for (unsigned char c : t) NUV_CHECK(c >= 32 && c <= 126);
                check_escaped(t);
            }
            NUV_CHECK(total == size);
        }
    }
    std::string err;
    auto f = nuv::elf::parse(std::vector<uint8_t>(data, data + size));
    if (f) {
        if (auto c = nuv::meta::read_command(*f, err)) {
            check_escaped(c->name);
            check_escaped(c->description);
        }
        if (auto p = nuv::meta::read_package(*f, err)) check_escaped(p->text);
    }
    check_escaped(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
