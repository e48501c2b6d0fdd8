#include "fault_report.hpp"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include "kernel.hpp"
#include "printable.hpp"
#include "sanitizer_report.hpp"
#include "symbols.hpp"

namespace nuv::report {
namespace {

// Addresses this close above zero are a null pointer plus a field's offset.
constexpr uint32_t kNullReach = 0x1000;
// Accesses this close below the stack are the stack overflowing.
constexpr uint32_t kStackReach = 0x10000;
constexpr uint32_t kStackBottom = Layout::kStackTop - Layout::kStackSize;

// A memory fault's access in words: "read of unmapped memory".
const char* access_words(const GuestFault& f) {
    const bool unmapped = f.kind == FaultKind::Unmapped;
    switch (f.access) {
        case FaultAccess::Read:
            return unmapped ? "read of unmapped memory" : "read of protected memory";
        case FaultAccess::Write:
            return unmapped ? "write to unmapped memory" : "write to protected memory";
        case FaultAccess::Execute:
            return unmapped ? "execution of unmapped memory" : "execution of non-executable memory";
        case FaultAccess::None:
            break;
    }
    return "bad memory access";
}

// What a memory fault's address says of its cause, in front of its words:
// a null pointer plus a field's offset, or the stack run past its end.
const char* cause(const GuestFault& f) {
    if (f.address < kNullReach) {
        switch (f.access) {
            case FaultAccess::Read:
                return "null-pointer read: ";
            case FaultAccess::Write:
                return "null-pointer write: ";
            case FaultAccess::Execute:
                return "call through a null pointer: ";
            case FaultAccess::None:
                return "";
        }
    }
    if (f.access != FaultAccess::Execute && f.access != FaultAccess::None &&
        f.address < kStackBottom && f.address >= kStackBottom - kStackReach) {
        return "stack overflow: ";
    }
    return "";
}

}  // namespace

std::string printable(std::string_view text) {
    return printable_text(text);
}

std::string words(const GuestFault& f) {
    const std::string at_eip = " at eip " + hex(f.eip);
    switch (f.kind) {
        case FaultKind::None:
            return "no fault";
        case FaultKind::Unmapped:
        case FaultKind::Protection:
            return std::string(cause(f)) + access_words(f) + " at " + hex(f.address) + " (eip " +
                   hex(f.eip) + ")";
        case FaultKind::Bus:
            return "bus error at " + hex(f.address) + " (eip " + hex(f.eip) + ")";
        case FaultKind::Invalid:
            return "invalid instruction at " + hex(f.eip) +
                   (f.detail != nullptr ? std::string(" (") + f.detail + ")" : std::string());
        case FaultKind::Privileged:
            return "protection fault" + at_eip;
        case FaultKind::Halt:
            return "guest halted" + at_eip;
        case FaultKind::DivideError:
            return "division by zero" + at_eip;
        case FaultKind::FloatingPoint:
        case FaultKind::Breakpoint:
        case FaultKind::Interrupt:
            return "unexpected interrupt " + std::to_string(f.vector) + at_eip;
        case FaultKind::SystemCall:
            return "system call other than int 0x80" + at_eip;
        case FaultKind::RefusedCall:
            return "refused system call" + at_eip;
        case FaultKind::Emulator:
            return std::string(f.detail != nullptr ? f.detail : "emulator failure") + at_eip;
        case FaultKind::Killed:
            return "killed by the debugger";
    }
    return "no fault";
}

std::string what(const RunResult& r) {
    if (r.stop == Stop::Fault && r.fault.kind != FaultKind::None) return words(r.fault);
    if (r.stop == Stop::Fault && r.message.empty())
        return "the guest returned from its entry point";
    return r.message;
}

std::string who(const Kernel& k, Task& m) {
    std::string name = m.name().empty() ? "image" : printable(m.name());
    if (!k.spawned_any()) return name;
    return "[pid " + std::to_string(m.pid()) + "] " + name;
}

std::string backtrace(Task& m) {
    std::shared_ptr<const Symbols> symbols = Symbols::load(m.image().bytes);
    Registers regs = m.engine().registers();
    std::vector<Symbols::Frame> frames = symbols->unwind(
        regs,
        [&m](uint32_t address, void* out, size_t n) { return m.memory().peek(address, out, n); });
    std::string out;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Symbols::Frame& f = frames[i];
        // A recursion shows once, with the number of its repeats.
        size_t same = 0;
        while (i + same + 1 < frames.size() && frames[i + same + 1].pc == f.pc) ++same;
        out += "    #" + std::to_string(i) + " " + hex(f.pc);
        std::string where = printable(Symbols::describe(f.place, f.pc));
        if (where != hex(f.pc)) out += " " + where;
        out += "\n";
        if (same > 1) {
            out += "    ... the same call " + std::to_string(same) + " times more" +
                   (i + same + 1 == frames.size() ? " (and maybe more)" : "") + "\n";
            i += same;
        }
    }
    return out;
}

void stop(std::FILE* to, const Kernel& k, Task& m, const RunResult& r) {
    std::string line = "nuvemu: " + who(k, m) + ": ";
    switch (r.stop) {
        case Stop::Exited:
        case Stop::Returned:
            return;
        case Stop::Limit:
        case Stop::Timeout:
            line += "stopped: " + r.message;
            break;
        case Stop::Fault:
            // A sanitized image's runtime stopped it: its report instead.
            if (std::optional<std::string> text = sanitizer(m, r.fault, who(k, m))) {
                std::fputs(text->c_str(), to);
                std::fflush(to);
                return;
            }
            line += "guest fault: " + what(r);
            break;
    }
    // The line first: however long the image's debug information takes to
    // read, what happened is said.
    line += "\n";
    std::fputs(line.c_str(), to);
    std::fflush(to);
    std::fputs(backtrace(m).c_str(), to);
    std::fflush(to);
}

void others(std::FILE* to, Kernel& k, Task& reported) {
    std::string text;
    for (int32_t pid : k.live_pids()) {
        Task* m = k.process(pid);
        if (m == nullptr || m == &reported) continue;
        std::string state;
        if (m->waiting()) {
            state = " (waiting in a call)";
        } else if (m->engine().concurrent()) {
            // Running alongside the host: brought to a stop where it stands.
            Kernel::Step s = k.step(*m, std::chrono::steady_clock::now());
            if (s.result.stop == Stop::Exited || k.process(pid) != m) continue;
            if (s.result.stop == Stop::Fault) state = " (" + what(s.result) + ")";
        }
        Registers regs = m->engine().registers();
        text +=
            "nuvemu: " + who(k, *m) + ": at eip " + hex(regs.eip) + state + "\n" + backtrace(*m);
    }
    std::fputs(text.c_str(), to);
    std::fflush(to);
}

}  // namespace nuv::report
