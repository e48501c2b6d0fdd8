#include "host_fs.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

namespace nuv::host_fs {
namespace {

// The host kernel asks for a retry when a rename raced with a confined lookup.
constexpr int kRetries = 8;

}  // namespace

int openat2_call(int dirfd, const char* path, int flags, mode_t mode, uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = resolve;
    for (int i = 0;; ++i) {
        long fd = syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if ((errno != EAGAIN && errno != EINTR) || i == kRetries) return -1;
    }
}

bool on_kernel_file_system(int fd) {
    struct statfs st {};
    if (fstatfs(fd, &st) != 0) return true;
    switch (static_cast<uint64_t>(st.f_type)) {
        case 0x9fa0:      // proc
        case 0x62656572:  // sysfs
        case 0x64626720:  // debugfs
        case 0x74726163:  // tracefs
        case 0x73636673:  // securityfs
        case 0x27e0eb:    // cgroup
        case 0x63677270:  // cgroup2
        case 0xcafe4a11:  // bpf
        case 0x62656570:  // configfs
        case 0xde5e81e4:  // efivarfs
        case 0x6165676c:  // pstore
        case 0x42494e4d:  // binfmt_misc
        case 0x65735543:  // fusectl
        case 0xf97cff8c:  // selinuxfs
        case 0x1cd1:      // devpts
            return true;
        default:
            return false;
    }
}

std::string host_path_of(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink(link, buf.data(), buf.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) == buf.size() - 1 || buf[0] != '/') return {};
    return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace nuv::host_fs
