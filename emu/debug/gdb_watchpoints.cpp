// The GDB server's watchpoints: those the client sets (Z2 write, Z3 read,
// Z4 access), each cut into the aligned runs the engine watches, at most
// Engine::kMaxWatchpoints of them in all, as the processor's debug
// registers hold them.
#include <cstdio>

#include "gdb_protocol.hpp"
#include "gdb_server.hpp"
#include "kernel.hpp"

namespace nuv {
namespace {

using gdb::get_pair;

// [address, address + length) as aligned runs of 1, 2, 4 (or up to
// `longest`) bytes, appended to out.
void cut(const Watchpoint& w, uint32_t longest, std::vector<Watchpoint>& out) {
    uint64_t at = w.address;
    const uint64_t end = uint64_t{w.address} + w.length;
    while (at < end && out.size() <= Engine::kMaxWatchpoints) {
        uint32_t size = longest;
        while (size > 1 && (at % size != 0 || at + size > end)) size /= 2;
        Watchpoint piece = w;
        piece.address = static_cast<uint32_t>(at);
        piece.length = size;
        out.push_back(piece);
        at += size;
    }
}

bool covers(const Watchpoint& w, uint32_t address) {
    return address >= w.address && uint64_t{address} < uint64_t{w.address} + w.length;
}

}  // namespace

bool GdbServer::apply_watchpoints(Task& m) {
    std::vector<Watchpoint> pieces;
    for (const Watchpoint& w : watches_) cut(w, m.engine().max_watch_length(), pieces);
    if (pieces.size() > Engine::kMaxWatchpoints) return false;
    if (!m.engine().set_watchpoints(pieces)) return false;
    engine_watches_ = !pieces.empty();
    return true;
}

std::string GdbServer::watchpoint(Task& m, char type, std::string_view args, bool insert) {
    // "addr,kind[;cond...]", kind the length in bytes.
    args = args.substr(0, args.find(';'));
    uint32_t addr = 0, length = 0;
    if (!get_pair(args, addr, length) || length == 0 ||
        uint64_t{addr} + length > (uint64_t{1} << 32)) {
        return "E01";
    }
    Watchpoint w;
    w.address = addr;
    w.length = length;
    w.kind = type == '2' ? Watchpoint::Write : type == '3' ? Watchpoint::Read : Watchpoint::Access;
    const std::vector<Watchpoint> before = watches_;
    if (insert) {
        watches_.push_back(w);
    } else {
        for (auto it = watches_.begin(); it != watches_.end(); ++it) {
            if (*it == w) {
                watches_.erase(it);
                break;
            }
        }
    }
    if (apply_watchpoints(m)) return "OK";
    // Too many for the engine: what was set before stays.
    watches_ = before;
    apply_watchpoints(m);
    return "E01";
}

std::string GdbServer::watch_reply(const Watchpoint& fired) const {
    // The client's own watchpoint, of the kind that fired, that holds the
    // run the engine watched.
    const Watchpoint* named = nullptr;
    for (const Watchpoint& w : watches_) {
        if (covers(w, fired.address) && (named == nullptr || w.kind == fired.kind)) named = &w;
    }
    const Watchpoint& w = named != nullptr ? *named : fired;
    const char* what = w.kind == Watchpoint::Write  ? "watch"
                       : w.kind == Watchpoint::Read ? "rwatch"
                                                    : "awatch";
    char buf[40];
    std::snprintf(buf, sizeof buf, "T05%s:%x;", what, w.address);
    return buf;
}

}  // namespace nuv
