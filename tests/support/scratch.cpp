#include "scratch.hpp"

#include <map>
#include <stdexcept>

namespace nuvtest {
namespace {

// Bytes used per machine. A machine whose region is not mapped yet is new
// (perhaps at the address of one that has gone) and starts from nothing.
std::map<const nuv::Harness*, uint32_t>& used() {
    static std::map<const nuv::Harness*, uint32_t> u;
    return u;
}

}  // namespace

uint32_t alloc(nuv::Harness& m, size_t n, uint32_t align) {
    constexpr uint32_t base = nuv::Harness::kScratchBase, size = nuv::Harness::kScratchSize;
    uint32_t& u = used()[&m];
    if (!m.memory().accessible(base, size, true)) {
        if (!m.memory().map(base, size, nuv::kPermRead | nuv::kPermWrite)) {
            throw std::runtime_error("cannot map scratch memory");
        }
        u = 0;
    }
    if (align == 0) align = 1;
    uint64_t at = (uint64_t{u} + align - 1) / align * align;
    if (at + n > size) throw std::length_error("scratch memory exhausted");
    u = static_cast<uint32_t>(at + n);
    return base + static_cast<uint32_t>(at);
}

uint32_t put_string(nuv::Harness& m, std::string_view s) {
    uint32_t a = alloc(m, s.size() + 1, 1);
    m.write(a, s.data(), s.size());
    uint8_t nul = 0;
    m.write(a + static_cast<uint32_t>(s.size()), &nul, 1);
    return a;
}

uint32_t put_bytes(nuv::Harness& m, std::span<const uint8_t> bytes) {
    uint32_t a = alloc(m, bytes.size(), 1);
    m.write(a, bytes.data(), bytes.size());
    return a;
}

}  // namespace nuvtest
