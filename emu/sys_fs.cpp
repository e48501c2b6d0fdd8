// Kernel calls on the file system's names: directories, removal, the current
// directory, named pipes, and files written in pieces that appear whole.
// Every path is resolved inside the sandbox root.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "kernel.hpp"
#include "sandbox.hpp"
#include "syscalls.hpp"

namespace nuv {
// Reads a path from guest memory and resolves it to its parent directory and
// final name inside the sandbox.
static int32_t locate_guest_path(Machine& m, uint32_t address, std::string& path,
                                 Sandbox::Entry& at) {
    if (int32_t e = guest_path(m, address, path); e < 0) return e;
    return m.sandbox().locate(path, at);
}

int32_t sys_mkdir(Machine& m, const SyscallArgs& a) {
    std::string path;
    Sandbox::Entry at;
    int32_t e = locate_guest_path(m, a.ebx, path, at);
    if (e == -NUV_EINVAL) {
        // "/", "." and ".." (as the last name) are directories that exist,
        // when the path to them does.
        UniqueFd dir;
        e = m.sandbox().open(path, O_PATH | O_DIRECTORY, 0, dir);
        return e < 0 ? e : -NUV_EEXIST;
    }
    if (e < 0) return e;
    if (mkdirat(at.dir.get(), at.name.c_str(), 0777) != 0) return host_error(errno);
    return 0;
}

int32_t sys_mkfifo(Machine& m, const SyscallArgs& a) {
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(m, a.ebx, path, at); e < 0) return e;
    if (at.trailing_slash) return -NUV_EINVAL;
    if (mkfifoat(at.dir.get(), at.name.c_str(), 0666) != 0) return host_error(errno);
    return 0;
}

// unlink removes anything but a directory; rmdir only an empty directory.
static int32_t remove_name(Machine& m, uint32_t address, bool directory) {
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(m, address, path, at); e < 0) return e;
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

int32_t sys_unlink(Machine& m, const SyscallArgs& a) {
    return remove_name(m, a.ebx, false);
}

int32_t sys_rmdir(Machine& m, const SyscallArgs& a) {
    return remove_name(m, a.ebx, true);
}

int32_t sys_chdir(Machine& m, const SyscallArgs& a) {
    std::string path;
    if (int32_t e = guest_path(m, a.ebx, path); e < 0) return e;
    return m.sandbox().change_dir(path);
}

int32_t sys_getcwd(Machine& m, const SyscallArgs& a) {
    // The current directory as a guest path with its NUL; the result is its length.
    const std::string& cwd = m.sandbox().cwd();
    uint64_t need = cwd.size() + 1;
    if (a.ecx < need) return -NUV_ERANGE;
    if (int32_t e = m.memory().write(a.ebx, cwd.c_str(), static_cast<size_t>(need)); e < 0) {
        return e;
    }
    return static_cast<int32_t>(cwd.size());
}

int32_t sys_nuvfs_stream_begin(Machine& m, const SyscallArgs& a) {
    // The directory must be there now; the file appears only at the end.
    std::string path;
    Sandbox::Entry at;
    if (int32_t e = locate_guest_path(m, a.ebx, path, at); e < 0) {
        // The root, "." or "..": directories, as writefile says of them.
        return e == -NUV_EINVAL ? -NUV_EISDIR : e;
    }
    if (at.trailing_slash) return -NUV_EISDIR;
    // A final symbolic link is followed inside the root, as the end will.
    UniqueFd probe;
    struct stat st {};
    if (m.sandbox().open(path, O_PATH, 0, probe) == 0 && fstat(probe.get(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
        return -NUV_EISDIR;
    }
    return m.kernel().stream_begin(m, m.sandbox().absolute(path));
}

int32_t sys_nuvfs_stream_write(Machine& m, const SyscallArgs& a) {
    return m.kernel().stream_write(m, static_cast<int32_t>(a.ebx), a.ecx, a.edx);
}

int32_t sys_nuvfs_stream_end(Machine& m, const SyscallArgs& a) {
    return m.kernel().stream_end(m, static_cast<int32_t>(a.ebx));
}

}  // namespace nuv
