// The GDB server's software breakpoints: those the client sets, and the
// int3 bytes put in the guest's memory for them while it runs.
#include "gdb_protocol.hpp"
#include "gdb_server.hpp"
#include "kernel.hpp"

namespace nuv {

using gdb::get_pair;

std::string GdbServer::breakpoint(std::string_view args, bool insert) {
    // Software breakpoints only ("0,addr,kind"); others are not supported.
    if (args.size() < 2 || args[0] != '0' || args[1] != ',') return "";
    std::string_view rest = args.substr(2);
    size_t semi = rest.find(';');  // conditions are not evaluated here
    rest = rest.substr(0, semi);
    uint32_t addr = 0, kind = 0;
    if (!get_pair(rest, addr, kind)) return "E01";
    constexpr size_t kMaxBreakpoints = 4096;
    if (insert) {
        if (breakpoints_.size() >= kMaxBreakpoints && breakpoints_.count(addr) == 0) return "E01";
        breakpoints_.insert(addr);
    } else {
        breakpoints_.erase(addr);
    }
    return "OK";
}

void GdbServer::insert_breakpoints(Task& m) {
    uint32_t here = m.engine().registers().eip;
    for (uint32_t addr : breakpoints_) {
        // The one the guest stands on would stop it at once.
        if (addr == here) continue;
        uint8_t byte = 0;
        const uint8_t int3 = 0xCC;
        if (!m.engine().read(addr, &byte, 1) || !m.engine().write(addr, &int3, 1)) continue;
        inserted_[addr] = byte;
    }
}

void GdbServer::remove_breakpoints(Task& m) {
    for (const auto& [addr, byte] : inserted_) m.engine().write(addr, &byte, 1);
    inserted_.clear();
}

}  // namespace nuv
