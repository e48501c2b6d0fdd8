// The gdb server's reader on whatever a client sends, in pieces of any size:
// it always finishes, keeps no more than its bound, hands on no packet longer
// than the protocol allows, and gives back whatever it framed itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "edge_buffer.h"
#include "gdb_packets.hpp"

using nuv::GdbPackets;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view wire(reinterpret_cast<const char*>(data), size);
    GdbPackets packets;
    const size_t step = size == 0 ? 1 : data[0] % 97 + 1;
    for (size_t at = 0; at < size; at += step) {
        packets.feed(wire.substr(at, step));
        NUV_CHECK(packets.buffered() <= GdbPackets::kMaxBuffered);
        std::string packet;
        for (;;) {
            GdbPackets::Item item = packets.next(packet);
            if (item == GdbPackets::Item::None) break;
            if (item == GdbPackets::Item::Packet) NUV_CHECK(packet.size() <= GdbPackets::kMaxPacket);
        }
    }
    // Framed by the server, any reply of at most half the limit comes back
    // whole, escapes and all.
    std::string reply(wire.substr(0, GdbPackets::kMaxPacket / 2));
    GdbPackets back;
    back.feed(GdbPackets::frame(reply));
    std::string got;
    NUV_CHECK(back.next(got) == GdbPackets::Item::Packet);
    NUV_CHECK(got == reply);
    return 0;
}
