#include "files.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nuv {

IoResult HostFile::read(std::span<uint8_t> out) {
    if (!readable_) return -NUV_EBADF;
    for (;;) {
        if (cut_short()) return -NUV_EIO;  // the run is ending
        ssize_t r = ::read(fd_, out.data(), out.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return -NUV_EBADF;
    }
}

IoResult HostFile::write(std::span<const uint8_t> in) {
    if (!writable_) return -NUV_EBADF;
    for (;;) {
        if (cut_short()) return -NUV_EIO;  // the run is ending
        ssize_t r = ::write(fd_, in.data(), in.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return -NUV_EBADF;
    }
}

OpenFile::Host HostFile::host() const {
    struct stat st {};
    return {fd_, readable_, writable_, fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)};
}

bool HostFile::await_input(int attention, int most_ms) {
    if (!readable_ || attention < 0 || nonblock) return true;
    for (;;) {
        if (cut_short()) return true;  // the read that follows says so
        pollfd p[2] = {{fd_, POLLIN, 0}, {attention, POLLIN, 0}};
        const int n = poll(p, 2, most_ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return true;  // the read meets the same trouble and tells it
        }
        // Input, an end or an error first: the read takes it.
        if (p[0].revents != 0) return true;
        return false;  // attention, or the time is up
    }
}

IoResult StringInput::read(std::span<uint8_t> out) {
    size_t n = std::min(out.size(), data_.size() - pos_);
    std::copy_n(data_.data() + pos_, n, out.data());
    pos_ += n;
    return static_cast<int32_t>(n);
}

}  // namespace nuv
