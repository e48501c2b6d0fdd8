// A host file opened through the sandbox: reads, writes and seeks on it for
// the guest.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "sandbox.hpp"

namespace nuv {

IoResult SandboxFile::read(std::span<uint8_t> out) {
    if (!readable_) return -NUV_EBADF;
    for (;;) {
        ssize_t r = ::read(fd_.get(), out.data(), out.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

IoResult SandboxFile::write(std::span<const uint8_t> in) {
    if (!writable_) return -NUV_EBADF;
    for (;;) {
        ssize_t r = ::write(fd_.get(), in.data(), in.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

OpenFile::Host SandboxFile::host() const {
    struct stat st {};
    return {fd_.get(), readable_, writable_, fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)};
}

int32_t SandboxFile::seek(int32_t offset, int32_t origin) {
    int whence = 0;
    switch (origin) {
        case NUV_SEEK_SET:
            whence = SEEK_SET;
            break;
        case NUV_SEEK_CUR:
            whence = SEEK_CUR;
            break;
        case NUV_SEEK_END:
            whence = SEEK_END;
            break;
        default:
            return -NUV_EINVAL;
    }
    off_t before = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (before < 0) return host_error(errno);
    off_t at = ::lseek(fd_.get(), offset, whence);
    if (at < 0) return host_error(errno);
    if (at > INT32_MAX) {
        // Beyond what the guest can be told: stay where we were.
        ::lseek(fd_.get(), before, SEEK_SET);
        return -NUV_EINVAL;
    }
    return static_cast<int32_t>(at);
}

}  // namespace nuv
