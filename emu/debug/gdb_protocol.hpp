// What the GDB server's sources share: numbers and bytes as the protocol
// writes them in hexadecimal, and the layout of the registers a client is
// told of. Private to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "gdb_packets.hpp"

namespace nuv::gdb {

// The registers in the order of the target description: eight general ones,
// eip, eflags, six selectors, the x87 stack and its eight control registers.
constexpr unsigned kGeneral = 16, kFloatStack = 8, kFloatControl = 8;
constexpr unsigned kRegisterCount = kGeneral + kFloatStack + kFloatControl;

inline constexpr char kHex[] = "0123456789abcdef";

inline void put_bytes(std::string& out, const void* data, size_t n) {
    const auto* b = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        out += kHex[b[i] >> 4];
        out += kHex[b[i] & 15];
    }
}

inline void put_u32(std::string& out, uint32_t v) {
    put_bytes(out, &v, 4);  // the target's byte order: little-endian
}

inline bool get_bytes(std::string_view hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

// A hexadecimal number of at most 8 digits, all of text.
inline bool get_number(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 8) return false;
    out = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) return false;
        out = out << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// "A,B" as two numbers.
inline bool get_pair(std::string_view text, uint32_t& a, uint32_t& b) {
    size_t comma = text.find(',');
    return comma != std::string_view::npos && get_number(text.substr(0, comma), a) &&
           get_number(text.substr(comma + 1), b);
}

inline std::string hex2(int v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

}  // namespace nuv::gdb
