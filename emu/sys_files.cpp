// The file calls: open, lseek and writefile on files inside the sandbox root.
// (read, write and close work on any descriptor; they are core calls.)
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "sandbox.hpp"
#include "syscalls.hpp"

namespace nuv {
namespace {

// The guest's open flags.
constexpr uint32_t kWriteOnly = 0x1;
constexpr uint32_t kCreate = 0x40;
constexpr uint32_t kTruncate = 0x200;
constexpr uint32_t kPage = 0x1000;

int32_t sys_open(Machine& m, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(m, a.ebx, path); e < 0) return e;
    const uint32_t flags = a.ecx;
    if ((flags & ~(kWriteOnly | kCreate | kTruncate)) != 0) return -E_INVAL;
    const bool writable = (flags & kWriteOnly) != 0;
    // O_NONBLOCK: opening a pipe or a device never blocks the emulator; such
    // files are refused below in any case.
    int host_flags = (writable ? O_WRONLY : O_RDONLY) | O_NOCTTY | O_NONBLOCK;
    if (flags & kCreate) host_flags |= O_CREAT;
    if (flags & kTruncate) host_flags |= O_TRUNC;
    UniqueFd fd;
    if (int32_t e = m.sandbox().open(path, host_flags, a.edx & 0777, fd); e < 0) return e;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return host_error(errno);
    // Regular files and directories only (a directory opens for reading).
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return -E_ACCES;
    if (fcntl(fd.get(), F_SETFL, 0) != 0) return host_error(errno);
    return m.install_file(std::make_shared<SandboxFile>(std::move(fd), !writable, writable));
}

int32_t sys_lseek(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -E_BADF;
    return f->seek(static_cast<int32_t>(a.ecx), static_cast<int32_t>(a.edx));
}

int32_t sys_writefile(Machine& m, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(m, a.ebx, path); e < 0) return e;
    const uint32_t data = a.ecx, length = a.edx;
    if (length > 0x7fffffffu) return -E_INVAL;
    // Checked whole before anything on the host changes.
    if (!m.accessible(data, length, false)) return -E_FAULT;
    return m.sandbox().replace_file(path, length, [&](uint64_t offset, std::span<uint8_t> chunk) {
        return m.read(data + static_cast<uint32_t>(offset), chunk.data(), chunk.size());
    });
}

}  // namespace

int32_t guest_path(const Machine& m, uint32_t address, std::string& out) {
    out.clear();
    // Guest memory is mapped in whole pages: check a page, then read it.
    for (uint32_t at = address;;) {
        uint32_t n = kPage - (at & (kPage - 1));
        n = std::min<uint32_t>(n, static_cast<uint32_t>(Sandbox::kMaxPath + 1 - out.size()));
        if (!m.accessible(at, n, false)) return -E_FAULT;
        std::string piece(n, '\0');
        if (!m.read(at, piece.data(), n)) return -E_FAULT;
        size_t nul = piece.find('\0');
        out.append(piece, 0, nul);
        if (nul != std::string::npos) return 0;
        if (out.size() > Sandbox::kMaxPath) return -E_NAMETOOLONG;
        at += n;
        if (at == 0) return -E_FAULT;  // wrapped past the top of the address space
    }
}

void add_file_calls(std::vector<SyscallDef>& t) {
    t.push_back({"open", 4, 3, "sxx", sys_open});
    t.push_back({"writefile", 21, 3, "sbu", sys_writefile});
    t.push_back({"lseek", 110, 3, "ddd", sys_lseek});
}

}  // namespace nuv
