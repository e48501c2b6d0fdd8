// The file calls: open, lseek and writefile on files inside the sandbox root.
// (read, write and close work on any descriptor; they are core calls.)
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "kernel.hpp"
#include "pipe.hpp"
#include "sandbox.hpp"
#include "syscalls.hpp"

namespace nuv {

// A named pipe opens as an end of the kernel's pipe for it, never as a host
// pipe (which could block the emulator).
constexpr int32_t kNotNamedPipe = 1;

static int32_t open_named_pipe(Machine& m, const std::string& path, bool writable) {
    UniqueFd probe;
    struct stat st {};
    if (m.sandbox().open(path, O_PATH, 0, probe) != 0 || fstat(probe.get(), &st) != 0 ||
        !S_ISFIFO(st.st_mode)) {
        return kNotNamedPipe;
    }
    auto pipe = m.kernel().named_pipe(st.st_dev, st.st_ino);
    if (writable) return m.install_file(std::make_shared<PipeWriteEnd>(std::move(pipe)));
    return m.install_file(std::make_shared<PipeReadEnd>(std::move(pipe)));
}

int32_t sys_open(Machine& m, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(m, a.ebx, path); e < 0) return e;
    const uint32_t flags = a.ecx;
    if ((flags & ~(NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC)) != 0) return -NUV_EINVAL;
    const bool writable = (flags & NUV_O_WRONLY) != 0;
    // O_NONBLOCK: opening a pipe or a device never blocks the emulator; such
    // files are refused below in any case.
    int host_flags = (writable ? O_WRONLY : O_RDONLY) | O_NOCTTY | O_NONBLOCK;
    if (flags & NUV_O_CREAT) host_flags |= O_CREAT;
    if (flags & NUV_O_TRUNC) host_flags |= O_TRUNC;
    if (int32_t r = open_named_pipe(m, path, writable); r != kNotNamedPipe) return r;
    UniqueFd fd;
    if (int32_t e = m.sandbox().open(path, host_flags, a.edx & 0777, fd); e < 0) return e;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return host_error(errno);
    // Regular files and directories only (a directory opens for reading).
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return -NUV_EACCES;
    if (fcntl(fd.get(), F_SETFL, 0) != 0) return host_error(errno);
    return m.install_file(std::make_shared<SandboxFile>(std::move(fd), !writable, writable));
}

int32_t sys_lseek(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    return f->seek(static_cast<int32_t>(a.ecx), static_cast<int32_t>(a.edx));
}

int32_t sys_writefile(Machine& m, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(m, a.ebx, path); e < 0) return e;
    const uint32_t data = a.ecx, length = a.edx;
    if (length > 0x7fffffffu) return -NUV_EINVAL;
    // Checked whole before anything on the host changes.
    if (int32_t e = m.memory().check(data, length, false); e < 0) return e;
    return m.sandbox().replace_file(path, length, [&](uint64_t offset, std::span<uint8_t> chunk) {
        return m.memory().read(data + static_cast<uint32_t>(offset), chunk.data(), chunk.size()) ==
               0;
    });
}

}  // namespace nuv
