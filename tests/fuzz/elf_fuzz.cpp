// The ELF reader on arbitrary bytes: parse, check for loading, and every
// section accessor must stay inside the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "edge_buffer.h"
#include "elf32.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto f = nuv::elf::parse(std::vector<uint8_t>(data, data + size));
    if (!f) {
        const std::string& err = f.error().message;
        NUV_CHECK(!err.empty() && err.find('\n') == std::string::npos);
        return 0;
    }
    nuv::elf::check_loadable(*f);
    const uint8_t* begin = f->bytes.data();
    const uint8_t* end = begin + f->bytes.size();
    for (const nuv::elf::Section& s : f->sections) {
        NUV_CHECK(f->section(s.name) != nullptr);
        std::span<const uint8_t> c = f->contents(s);
        if (c.empty()) continue;
        NUV_CHECK(c.data() >= begin && c.data() + c.size() <= end);
        // Touch every byte: the sanitizer sees any read outside the file.
        volatile uint8_t sum = 0;
        for (uint8_t b : c) sum = static_cast<uint8_t>(sum + b);
    }
    // A section the caller made up is checked just the same.
    if (size >= 8) {
        nuv::elf::Section s{};
        s.type = nuv::elf::SHT_PROGBITS;
        std::memcpy(&s.offset, data, 4);
        std::memcpy(&s.size, data + 4, 4);
        std::span<const uint8_t> c = f->contents(s);
        NUV_CHECK(c.empty() || (c.data() >= begin && c.data() + c.size() <= end));
    }
    return 0;
}
