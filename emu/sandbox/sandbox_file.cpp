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

IoResult SandboxFile::write_all(std::span<const uint8_t> in) {
    for (;;) {
        ssize_t r = ::write(fd_.get(), in.data(), in.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

IoResult SandboxFile::write(std::span<const uint8_t> in) {
    if (!writable_) return -NUV_EBADF;
    if (!budget_ || budget_->unlimited() || in.empty()) return write_all(in);
    // What the file grows by: everything past its end, a hole before the
    // bytes included (the host may fill it in).
    struct stat st {};
    if (fstat(fd_.get(), &st) != 0) return host_error(errno);
    off_t at = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (at < 0) return host_error(errno);
    const uint64_t pos = static_cast<uint64_t>(at), size = static_cast<uint64_t>(st.st_size);
    const uint64_t end = pos + in.size();
    if (!S_ISREG(st.st_mode) || end <= size) return write_all(in);
    const uint64_t growth = end - size;
    const uint64_t got = budget_->take_up_to(growth);
    // Bytes the budget does not cover come off the end of the write.
    const uint64_t cut = growth - got;
    if (cut >= in.size()) {
        budget_->give_back(got);
        return -NUV_ENOSPC;
    }
    IoResult r = write_all(in.first(in.size() - static_cast<size_t>(cut)));
    // Give back what was taken for bytes the host did not write.
    // (A write of nothing leaves even a hole before it unmade.)
    const uint64_t written = r.value > 0 ? static_cast<uint64_t>(r.value) : 0;
    const uint64_t grown = written > 0 && pos + written > size ? pos + written - size : 0;
    if (grown < got) budget_->give_back(got - grown);
    return r;
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
