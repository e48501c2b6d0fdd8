#include "syscalls.hpp"

#include <algorithm>
#include <cinttypes>

namespace nuv {
// The most bytes one read or write call moves; the library loops for the rest.
constexpr uint32_t kMaxTransfer = NUV_IO_MAX;

int32_t sys_write(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    std::vector<uint8_t> data(n);
    if (int32_t e = m.memory().read(a.ecx, data.data(), n); e < 0) return e;
    return f->write(data);
}

int32_t sys_read(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    // Checked first, so that no input is consumed for a bad buffer.
    if (int32_t e = m.memory().check(a.ecx, n, true); e < 0) return e;
    std::vector<uint8_t> data(n);
    int32_t r = f->read(data);
    if (r > 0) m.memory().write(a.ecx, data.data(), static_cast<uint32_t>(r));
    return r;
}

int32_t sys_exit(Machine& m, const SyscallArgs& a) {
    m.exit_process(static_cast<int32_t>(a.ebx));
    return 0;
}

int32_t sys_close(Machine& m, const SyscallArgs& a) {
    return m.close_file(static_cast<int32_t>(a.ebx)) ? 0 : -NUV_EBADF;
}

const std::vector<SyscallDef>& default_syscalls() {
    static const std::vector<SyscallDef> table = [] {
#define NUV_CALL_ENTRY_(name, nr, kinds) \
    {#name, nr, static_cast<int>(sizeof(kinds) - 1), kinds, sys_##name},
        return std::vector<SyscallDef>{NUV_CALLS(NUV_CALL_ENTRY_)};
#undef NUV_CALL_ENTRY_
    }();
    return table;
}

std::string Machine::describe_arg(char kind, uint32_t value, uint32_t next) const {
    char buf[32];
    switch (kind) {
        case 'd':
            std::snprintf(buf, sizeof buf, "%" PRId32, static_cast<int32_t>(value));
            return buf;
        case 'u':
            std::snprintf(buf, sizeof buf, "%" PRIu32, value);
            return buf;
        case 's':
        case 'b': {
            if (value == 0) return "NULL";
            constexpr uint32_t kShown = 48;
            std::string text;
            bool cut = false;
            if (kind == 's') {
                text = read_string(value, kShown + 1);
                cut = text.size() > kShown;
                if (!accessible(value, text.size() + (cut ? 0 : 1), false)) break;
            } else {
                uint32_t n = std::min(next, kShown);
                cut = next > kShown;
                if (!accessible(value, n, false)) break;
                std::vector<uint8_t> bytes = read_bytes(value, n);
                text.assign(bytes.begin(), bytes.end());
            }
            if (text.size() > kShown) text.resize(kShown);
            std::string out = "\"";
            for (unsigned char c : text) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                    out += static_cast<char>(c);
                } else if (c == '\n') {
                    out += "\\n";
                } else if (c == '\t') {
                    out += "\\t";
                } else if (c < 32 || c >= 127) {
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
            }
            out += cut ? "\"..." : "\"";
            return out;
        }
        default:
            break;
    }
    std::snprintf(buf, sizeof buf, "0x%08" PRIx32, value);
    return buf;
}

void Machine::trace_call(const SyscallDef* def, const SyscallArgs& a, int32_t result) {
    std::string line;
    if (def == nullptr) {
        line = "syscall_" + std::to_string(a.nr) + "(" + describe_arg('x', a.ebx, 0) + ", " +
               describe_arg('x', a.ecx, 0) + ", " + describe_arg('x', a.edx, 0) +
               ") = -1 (unknown call)";
    } else {
        line = std::string(def->name) + "(";
        for (int i = 0; i < def->argc; ++i) {
            if (i > 0) line += ", ";
            char kind = def->argfmt[i] != 0 ? def->argfmt[i] : 'x';
            line += describe_arg(kind, a.arg(i), a.arg(i + 1));
        }
        line += ")";
        if (exited_) {
            line += " = ?\n+++ exited with " + std::to_string(status_) + " +++";
        } else {
            line += " = " + std::to_string(result);
        }
    }
    // Lines of spawned processes carry their process id.
    if (pid() != 1) line = "[pid " + std::to_string(pid()) + "] " + line;
    std::fprintf(opts_.trace, "%s\n", line.c_str());
    std::fflush(opts_.trace);
}

}  // namespace nuv
