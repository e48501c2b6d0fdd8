// Kernel calls on the file system: opening files, writing files whole or in
// pieces that appear whole, directories, removal, the current directory and
// named pipes. Every path is resolved inside the sandbox root.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "calls.hpp"
#include "sandbox.hpp"

namespace nuv {

// A named pipe opens as an end of the kernel's pipe for it, never as a host
// pipe (which could block the emulator).
constexpr int32_t kNotNamedPipe = 1;

static int32_t open_named_pipe(CallContext& c, const std::string& path, bool writable) {
    UniqueFd probe;
    struct stat st {};
    if (c.sandbox().open(path, O_PATH, 0, probe) != 0 || fstat(probe.get(), &st) != 0 ||
        !S_ISFIFO(st.st_mode)) {
        return kNotNamedPipe;
    }
    auto pipe = c.named_pipe(st.st_dev, st.st_ino);
    if (writable) return c.install_file(std::make_shared<PipeWriteEnd>(std::move(pipe)));
    return c.install_file(std::make_shared<PipeReadEnd>(std::move(pipe)));
}

// Opens a guest path for handle_open. A file the open makes costs the disk
// budget a name: made exclusively, so that one already there costs nothing;
// with nothing left in the budget only files that exist open.
static int32_t open_charged(CallContext& c, const std::string& path, int host_flags, mode_t mode,
                            UniqueFd& fd) {
    DiskBudget& budget = c.sandbox().budget();
    if ((host_flags & O_CREAT) == 0 || budget.unlimited()) {
        return c.sandbox().open(path, host_flags, mode, fd);
    }
    if (budget.take(DiskBudget::kNameBytes)) {
        int32_t e = c.sandbox().open(path, host_flags | O_EXCL, mode, fd);
        if (e == 0) return 0;
        budget.give_back(DiskBudget::kNameBytes);
        if (e != -NUV_EEXIST) return e;
        return c.sandbox().open(path, host_flags, mode, fd);
    }
    int32_t e = c.sandbox().open(path, host_flags & ~O_CREAT, mode, fd);
    Sandbox::Entry at;
    if (e == -NUV_ENOENT && c.sandbox().locate(path, at) == 0) return -NUV_ENOSPC;
    return e;
}

Outcome handle_open(CallContext& c, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(c, a.ebx, path); e < 0) return e;
    const uint32_t flags = a.ecx;
    if ((flags & ~(NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC)) != 0) return -NUV_EINVAL;
    const bool writable = (flags & NUV_O_WRONLY) != 0;
    // O_NONBLOCK: opening a pipe or a device never blocks the emulator; such
    // files are refused below in any case.
    int host_flags = (writable ? O_WRONLY : O_RDONLY) | O_NOCTTY | O_NONBLOCK;
    if (flags & NUV_O_CREAT) host_flags |= O_CREAT;
    if (flags & NUV_O_TRUNC) host_flags |= O_TRUNC;
    if (int32_t r = open_named_pipe(c, path, writable); r != kNotNamedPipe) return r;
    UniqueFd fd;
    if (int32_t e = open_charged(c, path, host_flags, a.edx & 0777, fd); e < 0) return e;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return host_error(errno);
    // Regular files and directories only (a directory opens for reading).
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return -NUV_EACCES;
    if (fcntl(fd.get(), F_SETFL, 0) != 0) return host_error(errno);
    return c.install_file(std::make_shared<SandboxFile>(std::move(fd), !writable, writable,
                                                        c.sandbox().shared_budget()));
}

Outcome handle_writefile(CallContext& c, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(c, a.ebx, path); e < 0) return e;
    const uint32_t data = a.ecx, length = a.edx;
    if (length > 0x7fffffffu) return -NUV_EINVAL;
    // Checked whole before anything on the host changes.
    if (int32_t e = c.memory().check(data, length, false); e < 0) return e;
    return c.sandbox().replace_file(path, length, [&](uint64_t offset, std::span<uint8_t> chunk) {
        return c.memory().read(data + static_cast<uint32_t>(offset), chunk.data(), chunk.size()) ==
               0;
    });
}

// Reads a path from guest memory and resolves it to its parent directory and
// final name inside the sandbox.
static int32_t locate_guest_path(CallContext& c, uint32_t address, std::string& path,
                                 Sandbox::Entry& at) {
    if (int32_t e = guest_path(c, address, path); e < 0) return e;
    return c.sandbox().locate(path, at);
}

// Takes what making the entry's name costs from the disk budget: 0, or when
// too little is left -NUV_EEXIST for a name already there (the error the
// host gives first), else -NUV_ENOSPC.
static int32_t take_for_name(CallContext& c, const Sandbox::Entry& at, uint64_t cost) {
    if (c.sandbox().budget().take(cost)) return 0;
    struct stat st {};
    bool there = fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    return there ? -NUV_EEXIST : -NUV_ENOSPC;
}

Outcome handle_mkdir(CallContext& c, const SyscallArgs& a) {
    std::string path;
    Sandbox::Entry at;
    int32_t e = locate_guest_path(c, a.ebx, path, at);
    if (e == -NUV_EINVAL) {
        // "/", "." and ".." (as the last name) are directories that exist,
        // when the path to them does.
        UniqueFd dir;
        e = c.sandbox().open(path, O_PATH | O_DIRECTORY, 0, dir);
        return e < 0 ? e : -NUV_EEXIST;
    }
    if (e < 0) return e;
    // A directory takes a block of the host's disk even when empty.
    if (int32_t r = take_for_name(c, at, DiskBudget::kDirectoryBytes); r < 0) return r;
    if (mkdirat(at.dir.get(), at.name.c_str(), 0777) != 0) {
        c.sandbox().budget().give_back(DiskBudget::kDirectoryBytes);
        return host_error(errno);
    }
    return 0;
}

Outcome handle_mkfifo(CallContext& c, const SyscallArgs& a) {
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(c, a.ebx, path, at); e < 0) return e;
    if (at.trailing_slash) return -NUV_EINVAL;
    if (int32_t r = take_for_name(c, at, DiskBudget::kNameBytes); r < 0) return r;
    if (mkfifoat(at.dir.get(), at.name.c_str(), 0666) != 0) {
        c.sandbox().budget().give_back(DiskBudget::kNameBytes);
        return host_error(errno);
    }
    return 0;
}

// unlink removes anything but a directory; rmdir only an empty directory.
static int32_t remove_name(CallContext& c, uint32_t address, bool directory) {
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(c, address, path, at); e < 0) return e;
    struct stat st {};
    if (fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return host_error(errno);
    }
    bool is_dir = S_ISDIR(st.st_mode);
    if (directory && !is_dir) return -NUV_ENOTDIR;
    if (!directory && is_dir) return -NUV_EISDIR;
    if (!directory && at.trailing_slash) return -NUV_ENOTDIR;
    if (unlinkat(at.dir.get(), at.name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        int err = errno;
        return err == EEXIST ? -NUV_ENOTEMPTY : host_error(err);
    }
    return 0;
}

Outcome handle_unlink(CallContext& c, const SyscallArgs& a) {
    return remove_name(c, a.ebx, false);
}

Outcome handle_rmdir(CallContext& c, const SyscallArgs& a) {
    return remove_name(c, a.ebx, true);
}

Outcome handle_chdir(CallContext& c, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(c, a.ebx, path); e < 0) return e;
    return c.sandbox().change_dir(path);
}

Outcome handle_getcwd(CallContext& c, const SyscallArgs& a) {
    // The current directory as a guest path with its NUL; the result is its length.
    const std::string& cwd = c.sandbox().cwd();
    uint64_t need = cwd.size() + 1;
    if (a.ecx < need) return -NUV_ERANGE;
    if (int32_t e = c.memory().write(a.ebx, cwd.c_str(), static_cast<size_t>(need)); e < 0) {
        return e;
    }
    return static_cast<int32_t>(cwd.size());
}

Outcome handle_nuvfs_stream_begin(CallContext& c, const SyscallArgs& a) {
    // The directory must be there now; the file appears only at the end.
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(c, a.ebx, path, at); e < 0) {
        // The root, "." or "..": directories, as writefile says of them.
        return e == -NUV_EINVAL ? -NUV_EISDIR : e;
    }
    if (at.trailing_slash) return -NUV_EISDIR;
    // A final symbolic link is followed inside the root, as the end will.
    UniqueFd probe;
    struct stat st {};
    if (c.sandbox().open(path, O_PATH, 0, probe) == 0 && fstat(probe.get(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
        return -NUV_EISDIR;
    }
    return c.stream_begin(c.sandbox().absolute(path));
}

Outcome handle_nuvfs_stream_write(CallContext& c, const SyscallArgs& a) {
    return c.stream_write(static_cast<int32_t>(a.ebx), a.ecx, a.edx);
}

Outcome handle_nuvfs_stream_end(CallContext& c, const SyscallArgs& a) {
    return c.stream_end(static_cast<int32_t>(a.ebx));
}

}  // namespace nuv
