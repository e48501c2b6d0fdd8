// Building blocks for tests that write i386 machine code by hand: a 32-bit
// little-endian immediate, and byte strings joined in order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace nuvtest {

using Bytes = std::vector<uint8_t>;

inline Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace nuvtest
