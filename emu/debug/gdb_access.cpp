// The guest's registers and memory as the GDB server reads and writes them
// for its client.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "gdb_protocol.hpp"
#include "gdb_server.hpp"
#include "kernel.hpp"

namespace nuv {
namespace {

using gdb::get_bytes;
using gdb::get_pair;
using gdb::kFloatControl;
using gdb::kFloatStack;
using gdb::put_bytes;
using gdb::put_u32;

// The general registers in the order a client numbers them: eight general
// ones, eip and eflags.
constexpr uint32_t Registers::*kOrder[10] = {
    &Registers::eax, &Registers::ecx, &Registers::edx, &Registers::ebx, &Registers::esp,
    &Registers::ebp, &Registers::esi, &Registers::edi, &Registers::eip, &Registers::eflags};
// What a user-mode 32-bit process has in its selectors (cs, ss, ds, es, fs, gs).
constexpr uint32_t kSelectors[6] = {0x23, 0x2b, 0x2b, 0x2b, 0, 0};

// The most memory one read or write packet moves.
constexpr uint32_t kMaxTransfer = 0x1000;

}  // namespace

std::string GdbServer::read_registers(Task& m) {
    Registers r = m.engine().registers();
    std::string out;
    for (auto f : kOrder) put_u32(out, r.*f);
    for (uint32_t s : kSelectors) put_u32(out, s);
    std::array<uint8_t, 10> top = m.engine().st0();
    put_bytes(out, top.data(), top.size());
    const uint8_t zero[10] = {};
    for (unsigned i = 1; i < kFloatStack; ++i) put_bytes(out, zero, sizeof zero);
    // Control word as the guest starts, the rest unknown to the engines.
    put_u32(out, 0x037F);
    for (unsigned i = 1; i < kFloatControl; ++i) put_u32(out, 0);
    return out;
}

bool GdbServer::write_register(Task& m, unsigned n, std::string_view hex) {
    std::vector<uint8_t> bytes;
    if (n >= 10 || hex.size() != 8 || !get_bytes(hex, bytes)) return false;
    uint32_t v = 0;
    std::memcpy(&v, bytes.data(), 4);
    Registers r = m.engine().registers();
    r.*kOrder[n] = v;
    m.engine().set_registers(r);
    return true;
}

std::string GdbServer::read_memory(Task& m, std::string_view args) {
    uint32_t addr = 0, len = 0;
    if (!get_pair(args, addr, len)) return "E01";
    len = std::min(len, kMaxTransfer);
    if (uint64_t{addr} + len > (uint64_t{1} << 32)) len = static_cast<uint32_t>(0 - addr);
    std::vector<uint8_t> buf(len);
    // What can be read, up to the first page that cannot.
    uint32_t got = 0;
    while (got < len) {
        uint32_t at = addr + got;
        uint32_t chunk = std::min(len - got, 0x1000 - (at & 0xFFF));
        if (!m.engine().read(at, buf.data() + got, chunk)) break;
        got += chunk;
    }
    if (got == 0 && len != 0) return "E14";
    std::string out;
    put_bytes(out, buf.data(), got);
    return out;
}

std::string GdbServer::write_memory(Task& m, std::string_view args) {
    size_t colon = args.find(':');
    uint32_t addr = 0, len = 0;
    std::vector<uint8_t> bytes;
    if (colon == std::string_view::npos || !get_pair(args.substr(0, colon), addr, len) ||
        !get_bytes(args.substr(colon + 1), bytes) || bytes.size() != len ||
        uint64_t{addr} + len > (uint64_t{1} << 32)) {
        return "E01";
    }
    if (len != 0 && !m.engine().write(addr, bytes.data(), len)) return "E14";
    return "OK";
}

}  // namespace nuv
