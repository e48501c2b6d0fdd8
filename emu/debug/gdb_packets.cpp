#include "gdb_packets.hpp"

#include <cstdint>
#include <cstdio>

namespace nuv {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void GdbPackets::feed(std::string_view bytes) {
    if (in_.size() < kMaxBuffered) in_.append(bytes.substr(0, kMaxBuffered - in_.size()));
}

GdbPackets::Item GdbPackets::next(std::string& data) {
    for (;;) {
        // Acknowledgements and noise between packets go; 0x03 interrupts.
        size_t start = in_.find_first_of("$\x03");
        if (start == std::string::npos) {
            in_.clear();
            return Item::None;
        }
        if (in_[start] == '\x03') {
            in_.erase(0, start + 1);
            return Item::Interrupt;
        }
        in_.erase(0, start);
        size_t end = in_.find('#');
        if (end == std::string::npos) {
            if (in_.size() > kMaxPacket + 1) {
                // No end in sight: refused, and the rest looked at afresh.
                in_.erase(0, 1);
                return Item::BadPacket;
            }
            return Item::None;
        }
        if (in_.size() < end + 3) return Item::None;
        std::string_view body(in_.data() + 1, end - 1);
        uint32_t sum = 0;
        for (char c : body) sum += static_cast<uint8_t>(c);
        int hi = hex_digit(in_[end + 1]), lo = hex_digit(in_[end + 2]);
        bool good = hi >= 0 && lo >= 0 && static_cast<uint32_t>(hi << 4 | lo) == (sum & 0xFF) &&
                    body.size() <= kMaxPacket && body.find('$') == std::string_view::npos;
        // Binary data comes escaped: '}' and the byte xor 0x20.
        data.clear();
        for (size_t i = 0; good && i < body.size(); ++i) {
            if (body[i] != '}') {
                data += body[i];
            } else if (i + 1 < body.size()) {
                data += static_cast<char>(body[++i] ^ 0x20);
            } else {
                good = false;
            }
        }
        in_.erase(0, end + 3);
        if (!good) {
            data.clear();
            return Item::BadPacket;
        }
        return Item::Packet;
    }
}

std::string GdbPackets::frame(std::string_view data) {
    std::string out = "$";
    uint32_t sum = 0;
    for (char c : data) {
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            out += '}';
            sum += '}';
            c = static_cast<char>(c ^ 0x20);
        }
        out += c;
        sum += static_cast<uint8_t>(c);
    }
    out += '#';
    char cs[4];
    std::snprintf(cs, sizeof cs, "%02x", sum & 0xFF);
    out += cs;
    return out;
}

}  // namespace nuv
