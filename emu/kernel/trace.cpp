// The call trace: one line per completed kernel call, in the shape strace
// gives. Arguments are shown by the kinds the interface header lists for each
// call; what a call writes (read's bytes, pipe's descriptors, waitpid's
// status) is read back after the call, and only when it succeeded.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "kernel.hpp"

namespace nuv {
namespace {

// Strings and byte buffers show at most this many bytes, then "...".
constexpr uint32_t kShown = 48;
// Argument vectors show at most this many entries, then "...".
constexpr uint32_t kShownArgs = 32;

// Addresses in the trace as short as they can be.
std::string short_hex(uint32_t value) {
    return nuv::hex(value, 0);
}

std::string address(uint32_t value) {
    return value == 0 ? "NULL" : short_hex(value);
}

std::string quote(const std::string& text, bool cut) {
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
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += cut ? "\"..." : "\"";
    return out;
}

struct Name {
    uint32_t bits;
    const char* name;
};

// Flag words as NAME|NAME, with unknown bits left in hex; none as zero_name.
std::string flags(uint32_t value, std::initializer_list<Name> names, const char* zero_name) {
    std::string out;
    for (const Name& n : names) {
        if (n.bits != 0 && (value & n.bits) == n.bits) {
            if (!out.empty()) out += '|';
            out += n.name;
            value &= ~n.bits;
        }
    }
    if (value != 0 || out.empty()) {
        if (!out.empty()) out += '|';
        out += value == 0 ? std::string(zero_name) : short_hex(value);
    }
    return out;
}

std::string open_flags(uint32_t value) {
    // The access mode is a two-bit field, not a flag.
    std::string out;
    uint32_t mode = value & 3;
    if (mode == NUV_O_RDONLY) out = "O_RDONLY";
    if (mode == NUV_O_WRONLY) out = "O_WRONLY";
    if (!out.empty()) value &= ~uint32_t{3};
    std::string rest = flags(value, {{NUV_O_CREAT, "O_CREAT"}, {NUV_O_TRUNC, "O_TRUNC"}}, "");
    if (out.empty()) return rest;
    return rest.empty() ? out : out + "|" + rest;
}

const char* error_name(int32_t result, const char** text) {
    switch (-static_cast<int64_t>(result)) {
#define NUV_ERROR_CASE_(name, code, meaning) \
    case code:                               \
        *text = meaning;                     \
        return #name;
        NUV_ERRORS(NUV_ERROR_CASE_)
#undef NUV_ERROR_CASE_
        default:
            return nullptr;
    }
}

// Guest memory as the trace reads it: what cannot be read reads as zero.
class Peek {
  public:
    explicit Peek(const GuestMemory& m) : m_(m) {}
    bool accessible(uint32_t at, uint64_t n, bool for_write) const {
        return m_.accessible(at, n, for_write);
    }
    bool read(uint32_t at, void* out, size_t n) const { return m_.peek(at, out, n); }
    uint32_t u32(uint32_t at) const {
        uint32_t v = 0;
        read(at, &v, 4);
        return v;
    }
    std::vector<uint8_t> read_bytes(uint32_t at, size_t n) const {
        std::vector<uint8_t> v(n);
        read(at, v.data(), n);
        return v;
    }
    std::string read_string(uint32_t at, size_t max) const { return m_.peek_string(at, max); }

  private:
    const GuestMemory& m_;
};

// What the trace knows of a call: its arguments, its result, the memory.
class CallLine {
  public:
    CallLine(const GuestMemory& m, const SyscallArgs& a, int32_t result)
        : m_(m), a_(a), result_(result) {}

    std::string argument(const char* kinds, int i) const {
        uint32_t v = a_.arg(i), next = a_.arg(i + 1);
        bool ok = result_ >= 0;
        switch (kinds[i]) {
            case 'd':
                return std::to_string(static_cast<int32_t>(v));
            case 'u':
                return std::to_string(v);
            case 's':
                return string(v);
            case 'b':
                return bytes(v, next);
            case 'r':
                return ok ? bytes(v, static_cast<uint32_t>(result_)) : address(v);
            case 'o':
                return open_flags(v);
            case 'O': {
                char buf[16];
                std::snprintf(buf, sizeof buf, "0%" PRIo32, v);
                return buf;
            }
            case 'p':
                return flags(v,
                             {{NUV_PROT_READ, "PROT_READ"},
                              {NUV_PROT_WRITE, "PROT_WRITE"},
                              {NUV_PROT_EXEC, "PROT_EXEC"}},
                             "PROT_NONE");
            case 'm':
                return flags(v, {{NUV_MAP_ANONYMOUS, "MAP_ANONYMOUS"}}, "0");
            case 'w':
                return v == NUV_SEEK_SET   ? "SEEK_SET"
                       : v == NUV_SEEK_CUR ? "SEEK_CUR"
                       : v == NUV_SEEK_END ? "SEEK_END"
                                           : std::to_string(static_cast<int32_t>(v));
            case 'n':
                return flags(v, {{NUV_WNOHANG, "WNOHANG"}}, "0");
            case 'i':
                if (v == 0) return "NULL";
                return result_ > 0 ? words(v, 1) : short_hex(v);
            case 'P':
                return ok ? words(v, 2) : address(v);
            case 'v':
                return vector(v, static_cast<int32_t>(next));
            case 'S':
                return spawn_block(v);
            default:
                return address(v);
        }
    }

    // An argument shown only when the one before allows it (open's mode
    // only with O_CREAT).
    bool shown(const char* kinds, int i) const {
        return !(kinds[i] == 'O' && i > 0 && kinds[i - 1] == 'o' &&
                 (a_.arg(i - 1) & NUV_O_CREAT) == 0);
    }

    std::string result(uint32_t nr) const {
        const char* text = nullptr;
        if (result_ < 0) {
            if (const char* name = error_name(result_, &text)) {
                return std::to_string(result_) + " " + name + " (" + text + ")";
            }
        }
        if (nr == NUV_SYS_mmap && result_ != -1) return short_hex(static_cast<uint32_t>(result_));
        return std::to_string(result_);
    }

  private:
    std::string string(uint32_t at) const {
        if (at == 0) return "NULL";
        std::string text = m_.read_string(at, kShown + 1);
        bool cut = text.size() > kShown;
        if (!m_.accessible(at, text.size() + (cut ? 0 : 1), false)) return short_hex(at);
        if (cut) text.resize(kShown);
        return quote(text, cut);
    }

    std::string bytes(uint32_t at, uint32_t count) const {
        if (at == 0) return "NULL";
        uint32_t n = std::min(count, kShown);
        if (!m_.accessible(at, n, false)) return short_hex(at);
        std::vector<uint8_t> b = m_.read_bytes(at, n);
        return quote(std::string(b.begin(), b.end()), count > kShown);
    }

    // n 32-bit words as [a, b].
    std::string words(uint32_t at, uint32_t n) const {
        if (!m_.accessible(at, 4 * n, false)) return short_hex(at);
        std::string out = "[";
        for (uint32_t i = 0; i < n; ++i) {
            if (i > 0) out += ", ";
            out += std::to_string(static_cast<int32_t>(m_.u32(at + 4 * i)));
        }
        return out + "]";
    }

    std::string vector(uint32_t at, int32_t count) const {
        if (count < 0) return short_hex(at);
        if (count == 0) return "[]";
        if (at == 0) return "NULL";
        uint32_t n = std::min(static_cast<uint32_t>(count), kShownArgs);
        if (!m_.accessible(at, uint64_t{4} * n, false)) return short_hex(at);
        std::string out = "[";
        for (uint32_t i = 0; i < n; ++i) {
            if (i > 0) out += ", ";
            out += string(m_.u32(at + 4 * i));
        }
        if (static_cast<uint32_t>(count) > n) out += ", ...";
        return out + "]";
    }

    std::string spawn_block(uint32_t at) const {
        nuv_spawn_block b;
        if (at == 0) return "NULL";
        if (!m_.accessible(at, sizeof b, false) || !m_.read(at, &b, sizeof b)) return short_hex(at);
        return "{path=" + string(b.path) + ", argv=" + vector(b.argv, b.argc) +
               ", fd_in=" + std::to_string(b.fd_in) + ", fd_out=" + std::to_string(b.fd_out) +
               ", fd_err=" + std::to_string(b.fd_err) +
               ", inherit_all=" + std::to_string(b.inherit_all) + "}";
    }

    Peek m_;
    const SyscallArgs& a_;
    int32_t result_;
};

}  // namespace

void Kernel::trace_call(Task& t, const SyscallDef* def, const SyscallArgs& a, int32_t result,
                        const std::chrono::nanoseconds* took) {
    std::string line;
    // Once a second process exists every line names its process.
    std::string prefix;
    if (t.pid() != 1 || spawned_any()) {
        prefix = "[pid " + std::to_string(t.pid()) + "] ";
    }
    if (def == nullptr) {
        char buf[96];
        std::snprintf(buf, sizeof buf,
                      "syscall_%" PRIu32 "(0x%08" PRIx32 ", 0x%08" PRIx32 ", 0x%08" PRIx32
                      ") = -1 (unknown call)",
                      a.nr, a.ebx, a.ecx, a.edx);
        line = buf;
    } else {
        CallLine call(t.memory(), a, result);
        line = std::string(def->name) + "(";
        bool first = true;
        for (int i = 0; i < def->argc; ++i) {
            if (!call.shown(def->argfmt, i)) continue;
            if (!first) line += ", ";
            first = false;
            line += call.argument(def->argfmt, i);
        }
        line += ")";
        if (t.loop().exited) {
            line +=
                " = ?\n" + prefix + "+++ exited with " + std::to_string(t.loop().status) + " +++";
        } else {
            line += " = " + call.result(def->nr);
        }
    }
    if (took != nullptr && !t.loop().exited) {
        char buf[32];
        std::snprintf(buf, sizeof buf, " <%.6f>", static_cast<double>(took->count()) / 1e9);
        line += buf;
    }
    std::fprintf(t.options().trace, "%s%s\n", prefix.c_str(), line.c_str());
    std::fflush(t.options().trace);
}

}  // namespace nuv
