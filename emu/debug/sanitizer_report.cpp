#include "sanitizer_report.hpp"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fault_report.hpp"
#include "sanitizer_record.h"
#include "symbols.hpp"
#include "task.hpp"

namespace nuv::report {
namespace {

const char* kind_name(uint32_t kind) {
    switch (kind) {
        case NUV_SAN_HEAP_OVERFLOW:
            return "heap-buffer-overflow";
        case NUV_SAN_HEAP_UNDERFLOW:
            return "heap-buffer-underflow";
        case NUV_SAN_USE_AFTER_FREE:
            return "heap-use-after-free";
        case NUV_SAN_STACK_OVERFLOW:
            return "stack-buffer-overflow";
        case NUV_SAN_STACK_UNDERFLOW:
            return "stack-buffer-underflow";
        case NUV_SAN_STACK_AFTER_SCOPE:
            return "stack-use-after-scope";
        case NUV_SAN_GLOBAL_OVERFLOW:
            return "global-buffer-overflow";
        case NUV_SAN_WILD:
            return "wild-access";
        case NUV_SAN_DOUBLE_FREE:
            return "double-free";
        case NUV_SAN_BAD_FREE:
            return "bad-free";
        case NUV_SAN_POISONED:
            return "poisoned-access";
        default:
            return nullptr;
    }
}

bool heap_kind(uint32_t kind) {
    return kind == NUV_SAN_HEAP_OVERFLOW || kind == NUV_SAN_HEAP_UNDERFLOW ||
           kind == NUV_SAN_USE_AFTER_FREE || kind == NUV_SAN_DOUBLE_FREE;
}

// The sanitizer's own functions, which the backtrace of an access leaves out.
bool runtime_function(std::string_view name) {
    for (std::string_view prefix : {"nuv_san_", "__asan_", "__wrap_", "_ZN6nuvsan"}) {
        if (name.substr(0, prefix.size()) == prefix) return true;
    }
    return false;
}

std::string bytes(uint32_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// "    #N 0x... function+0x.. (file:line)\n" for return addresses: their
// lines are those of the calls.
std::string return_addresses(const Symbols& s, const uint32_t* pcs, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && pcs[i] != 0; ++i) {
        Symbols::Place p = s.where(pcs[i] - 1);
        if (!p.function.empty()) ++p.offset;
        std::string where = printable(Symbols::describe(p, pcs[i]));
        out += "    #" + std::to_string(i) + " " + hex(pcs[i]);
        if (where != hex(pcs[i])) out += " " + where;
        out += "\n";
    }
    return out;
}

// The address a report places against the block: the access's, or for one
// that begins in the block and runs out of it, where it leaves.
uint32_t reference(const nuv_san_record& r) {
    const uint32_t begin = r.block, end = r.block + r.block_size;
    const bool starts_inside = r.address >= begin && r.address < end;
    return starts_inside && (r.bad < begin || r.bad >= end) ? r.bad : r.address;
}

// Where the access lies against its block: "0 bytes after the 10-byte heap
// block at 0x...", "4 bytes before the 16-byte variable 'buf' (line 7) of f".
std::string relative(const Symbols& s, const nuv_san_record& r) {
    const uint32_t at = reference(r), begin = r.block, end = r.block + r.block_size;
    std::string where = at < begin  ? bytes(begin - at) + " before"
                        : at >= end ? bytes(at - end) + " after"
                                    : bytes(at - begin) + " inside";
    std::string what;
    std::string name(r.name, strnlen(r.name, sizeof r.name));
    if (heap_kind(r.kind)) {
        what = "heap block";
    } else if (r.kind == NUV_SAN_GLOBAL_OVERFLOW) {
        what = "global '" + printable(name) + "'";
    } else {
        std::string line;
        if (size_t colon = name.rfind(':'); colon != std::string::npos) {
            line = " (line " + printable(name.substr(colon + 1)) + ")";
            name.resize(colon);
        }
        what = "variable '" + printable(name) + "'" + line;
        if (r.frame_pc != 0) {
            std::string function = s.where(r.frame_pc).function;
            if (!function.empty()) what += " of " + printable(function);
        }
    }
    return where + " the " + std::to_string(r.block_size) + "-byte " + what + " at " + hex(begin);
}

}  // namespace

std::optional<std::string> sanitizer(Task& m, const GuestFault& f, const std::string& who) {
    if (f.kind != FaultKind::Invalid) return std::nullopt;
    std::shared_ptr<const Symbols> symbols = Symbols::load(m.image().bytes);
    if (symbols->where(f.eip).function != NUV_SAN_STOP) return std::nullopt;
    Registers regs = m.engine().registers();
    nuv_san_record r{};
    if (!m.memory().peek(regs.eax, &r, sizeof r) || r.magic != NUV_SAN_MAGIC) return std::nullopt;
    const char* kind = kind_name(r.kind);
    if (kind == nullptr) return std::nullopt;

    std::string out = "nuvemu: " + who + ": address sanitizer: " + kind + "\n  ";
    if (r.kind == NUV_SAN_DOUBLE_FREE || r.kind == NUV_SAN_BAD_FREE) {
        out += "free of " + hex(r.address);
    } else {
        out += std::string(r.write != 0 ? "write of " : "read of ") + bytes(r.size) + " at " +
               hex(r.address);
    }
    if (r.block != 0 && reference(r) != r.address) {
        out += " (its first bad byte at " + hex(r.bad) + ")";
    }
    if (r.block != 0) {
        out += ": " + relative(*symbols, r);
    } else if (r.kind == NUV_SAN_WILD) {
        out +=
            r.bad < 0x1000 ? ": a null pointer" : ": no memory of the program's at " + hex(r.bad);
    }
    out += "\n";

    // The access: the calls that led to it, the runtime's own left out.
    std::vector<Symbols::Frame> frames = symbols->unwind(
        regs,
        [&m](uint32_t address, void* to, size_t n) { return m.memory().peek(address, to, n); }, 40);
    std::vector<uint32_t> pcs;
    pcs.reserve(frames.size());
    for (const Symbols::Frame& fr : frames) {
        if (pcs.empty() && runtime_function(fr.place.function)) continue;
        pcs.push_back(fr.pc);
    }
    // Each of them, the innermost too, stands after a call (of the check).
    out += return_addresses(*symbols, pcs.data(), pcs.size());
    if (heap_kind(r.kind) && r.block != 0) {
        if (r.freed[0] != 0) {
            out +=
                "  the block was freed at:\n" + return_addresses(*symbols, r.freed, NUV_SAN_FRAMES);
        }
        out +=
            "  the block was allocated at:\n" + return_addresses(*symbols, r.alloc, NUV_SAN_FRAMES);
    }
    return out;
}

}  // namespace nuv::report
