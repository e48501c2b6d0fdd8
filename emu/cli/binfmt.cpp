#include "binfmt.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "constants.hpp"

namespace nuv::cli::binfmt {
namespace {

// The fields compared, each at its offset, with every bit counting; the
// bytes between them (the section headers' place and count, the segment's
// file offset, physical address and sizes) are left out.
struct Field {
    size_t offset;
    std::string bytes;
};

Pattern make_pattern() {
    using namespace std::string_literals;
    const Field fields[] = {
        {0x00,
         "\x7f"
         "ELF\x01\x01\x01\x00"s},                     // ELF32, little-endian, version 1, System V
        {0x10, "\x02\x00\x03\x00\x01\x00\x00\x00"s},  // ET_EXEC, i386, version 1
        {0x18, "\x00\x00\x40\x00"s},                  // entry 0x400000
        {0x1c, "\x34\x00\x00\x00"s},                  // program headers at 52
        {0x24, "\x00\x00\x00\x00\x34\x00\x20\x00\x03\x00"s},  // no flags; 52; 32; three
        {0x34, "\x01\x00\x00\x00"s},                          // the first: PT_LOAD
        {0x3c, "\x00\x00\x40\x00"s},                          // at 0x400000
        {0x4c, "\x05\x00\x00\x00"s},                          // read and execute
    };
    Pattern p;
    p.magic.assign(0x50, '\0');
    p.mask.assign(0x50, '\0');
    for (const Field& f : fields) {
        p.magic.replace(f.offset, f.bytes.size(), f.bytes);
        p.mask.replace(f.offset, f.bytes.size(), std::string(f.bytes.size(), '\xff'));
    }
    return p;
}

std::string escaped(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string entry_path(const std::string& name) {
    return std::string(kDirectory) + "/" + name;
}

// binfmt_misc is there to be written, mounted now if it was not; else why not.
std::string make_ready() {
    const std::string reg = std::string(kDirectory) + "/register";
    if (::access(reg.c_str(), F_OK) == 0) return {};
    if (::access(kDirectory, F_OK) != 0) {
        return std::string("this host has no ") + kDirectory +
               " (a kernel without binfmt_misc, or /proc not mounted)";
    }
    if (::mount("binfmt_misc", kDirectory, "binfmt_misc", 0, nullptr) == 0) return {};
    const int err = errno;
    if (err == ENODEV) return "this host's kernel has no binfmt_misc";
    return std::string("binfmt_misc is not mounted at ") + kDirectory +
           " and cannot be mounted here (" + std::strerror(err) +
           "): mount it as root outside any container";
}

// Why writing to binfmt_misc failed, in the words a user can act on.
std::string refusal(int err) {
    if (err == EROFS) {
        return std::string(kDirectory) +
               " is read-only here (a container shares the host's binfmt_misc read-only): "
               "register on the host itself";
    }
    if (err == EACCES || err == EPERM) {
        return ::geteuid() != 0
                   ? "only root may change binfmt_misc: run it with sudo"
                   : "not permitted (a container or a user namespace may not change the host's "
                     "binfmt_misc): register on the host itself";
    }
    return std::strerror(err);
}

bool write_to(const std::string& path, const std::string& text, int& err) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    ssize_t n = ::write(fd, text.data(), text.size());
    err = n < 0 ? errno : EIO;
    ::close(fd);
    return n == static_cast<ssize_t>(text.size());
}

std::string read_all(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The absolute path of this very program.
std::string own_path() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

const Pattern& pattern() {
    static const Pattern p = make_pattern();
    return p;
}

bool matches(std::span<const uint8_t> head) {
    const Pattern& p = pattern();
    if (head.size() < p.magic.size()) return false;
    for (size_t i = 0; i < p.magic.size(); ++i) {
        if (((head[i] ^ static_cast<uint8_t>(p.magic[i])) & static_cast<uint8_t>(p.mask[i])) != 0)
            return false;
    }
    return true;
}

std::string rule(const std::string& name, const std::string& interpreter) {
    const Pattern& p = pattern();
    return ":" + name + ":M:0:" + escaped(p.magic) + ":" + escaped(p.mask) + ":" + interpreter +
           ":F";
}

bool ours(const std::string& entry) {
    static const char digits[] = "0123456789abcdef";
    auto hex = [](const std::string& bytes) {
        std::string out;
        for (unsigned char c : bytes) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    };
    const Pattern& p = pattern();
    bool magic = false, mask = false, offset = false;
    std::istringstream lines(entry);
    for (std::string line; std::getline(lines, line);) {
        magic = magic || line == "magic " + hex(p.magic);
        mask = mask || line == "mask " + hex(p.mask);
        offset = offset || line == "offset 0";
    }
    return magic && mask && offset;
}

bool valid_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || name == "register" || name == "status" || name == "." ||
        name == "..")
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

int command(const std::string& verb, const std::string& name, std::FILE* out, std::FILE* err) {
    if (!valid_name(name)) {
        std::fprintf(err,
                     "nuvemu: --binfmt: \"%s\" cannot name a rule (letters, digits, '.', '_' "
                     "and '-', at most 64)\n",
                     name.c_str());
        return kStatusUsage;
    }
    if (verb != "register" && verb != "unregister" && verb != "status") {
        std::fprintf(err, "nuvemu: --binfmt takes register, unregister or status, not \"%s\"\n",
                     verb.c_str());
        return kStatusUsage;
    }
    if (std::string why = make_ready(); !why.empty()) {
        if (verb == "status") {
            std::fprintf(out, "%s: not registered (%s)\n", name.c_str(), why.c_str());
            return 1;
        }
        std::fprintf(err, "nuvemu: --binfmt %s: %s\n", verb.c_str(), why.c_str());
        return kStatusUsage;
    }
    const std::string entry = entry_path(name);
    const bool present = ::access(entry.c_str(), F_OK) == 0;
    const std::string text = present ? read_all(entry) : std::string();
    if (verb == "status") {
        if (!present) {
            std::fprintf(out, "%s: not registered\n", name.c_str());
            return 1;
        }
        if (!ours(text)) {
            std::fprintf(out, "%s: a rule of another program, not for NUV-OS images\n%s",
                         name.c_str(), text.c_str());
            return 1;
        }
        std::fprintf(out, "%s: registered\n%s", name.c_str(), text.c_str());
        return 0;
    }
    if (present && !ours(text)) {
        std::fprintf(err,
                     "nuvemu: --binfmt %s: %s is a rule of another program, not for NUV-OS "
                     "images; it is left alone (name another rule)\n",
                     verb.c_str(), name.c_str());
        return kStatusUsage;
    }
    int e = 0;
    if (present && !write_to(entry, "-1", e)) {
        std::fprintf(err, "nuvemu: --binfmt %s: cannot remove %s: %s\n", verb.c_str(),
                     entry.c_str(), refusal(e).c_str());
        return kStatusUsage;
    }
    if (verb == "unregister") {
        std::fprintf(out, present ? "%s: unregistered\n" : "%s: was not registered\n",
                     name.c_str());
        return 0;
    }
    const std::string self = own_path();
    if (self.empty() || self.find(':') != std::string::npos) {
        std::fprintf(err, "nuvemu: --binfmt register: cannot name nuvemu's own path (%s)\n",
                     self.empty() ? "unreadable" : "it holds a ':'");
        return kStatusUsage;
    }
    if (!write_to(std::string(kDirectory) + "/register", rule(name, self), e)) {
        std::fprintf(err, "nuvemu: --binfmt register: %s\n", refusal(e).c_str());
        return kStatusUsage;
    }
    std::fprintf(out,
                 "%s: registered: NUV-OS images now run under %s, the current directory as "
                 "their root\n",
                 name.c_str(), self.c_str());
    return 0;
}

}  // namespace nuv::cli::binfmt
