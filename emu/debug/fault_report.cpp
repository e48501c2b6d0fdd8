#include "fault_report.hpp"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "kernel.hpp"
#include "kernel.hpp"
#include "symbols.hpp"

namespace nuv::report {
namespace {

// Addresses this close above zero are a null pointer plus a field's offset.
constexpr uint32_t kNullReach = 0x1000;
// Accesses this close below the stack are the stack overflowing.
constexpr uint32_t kStackReach = 0x10000;
constexpr uint32_t kStackBottom = Layout::kStackTop - Layout::kStackSize;

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The address after "at 0x" in a memory fault's message.
bool address_in(const std::string& message, uint32_t& address) {
    size_t at = message.find(" at 0x");
    if (at == std::string::npos) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(message.c_str() + at + 4, &end, 16);
    if (end == message.c_str() + at + 4) return false;
    address = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text.substr(0, 200)) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > 200) out += "...";
    return out;
}

std::string in_words(const std::string& message) {
    bool read = starts_with(message, "read of ");
    bool write = starts_with(message, "write to ");
    bool fetch = starts_with(message, "execution of ");
    uint32_t address = 0;
    if ((read || write || fetch) && address_in(message, address)) {
        if (address < kNullReach) {
            return std::string(read    ? "null-pointer read: "
                               : write ? "null-pointer write: "
                                       : "call through a null pointer: ") +
                   message;
        }
        if (!fetch && address < kStackBottom && address >= kStackBottom - kStackReach) {
            return "stack overflow: " + message;
        }
        return message;
    }
    const char* divide = "unexpected interrupt 0 at eip ";
    if (starts_with(message, divide)) {
        return "division by zero at eip " + message.substr(std::string(divide).size());
    }
    // Unicorn and the processor name the same fault differently.
    const char* privileged = "privileged instruction at eip ";
    if (starts_with(message, privileged)) {
        return "protection fault at eip " + message.substr(std::string(privileged).size());
    }
    return message;
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
            line += "guest fault: " + (r.message.empty() ? "the guest returned from its entry point"
                                                         : in_words(r.message));
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
            if (s.result.stop == Stop::Fault) state = " (" + in_words(s.result.message) + ")";
        }
        Registers regs = m->engine().registers();
        text +=
            "nuvemu: " + who(k, *m) + ": at eip " + hex(regs.eip) + state + "\n" + backtrace(*m);
    }
    std::fputs(text.c_str(), to);
    std::fflush(to);
}

}  // namespace nuv::report
