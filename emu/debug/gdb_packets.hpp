// The GDB remote protocol's framing, apart from the server that speaks it:
// what a client's bytes hold, and a reply put on the wire.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuv {

// Packets as the wire carries them: "$data#cs", '+' and '-' acknowledgements,
// and the interrupt byte 0x03.
class GdbPackets {
  public:
    // The longest packet accepted (data only); longer ones are refused.
    static constexpr size_t kMaxPacket = 0x4000;
    // Bytes from the wire kept unread at most: a client that sends more while
    // the guest runs loses the rest (it should send nothing but an interrupt).
    static constexpr size_t kMaxBuffered = 4 * kMaxPacket;
    enum class Item { None, Packet, BadPacket, Interrupt };
    // Adds bytes from the wire, up to kMaxBuffered unread.
    void feed(std::string_view bytes);
    size_t buffered() const { return in_.size(); }
    // The next complete item, if any; a packet's data goes into data.
    Item next(std::string& data);
    // "$" data "#" checksum, with '#', '$', '}' and '*' escaped.
    static std::string frame(std::string_view data);

  private:
    std::string in_;
};

// A hexadecimal digit's value, or -1.
int hex_digit(char c);

}  // namespace nuv
