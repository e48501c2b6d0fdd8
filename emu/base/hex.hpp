// Addresses and words as messages show them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace nuv {

// "0x004001b7": at least `digits` hexadecimal digits (0: as many as needed).
inline std::string hex(uint64_t v, int digits = 8) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace nuv
