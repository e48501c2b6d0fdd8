#include "pipe.hpp"

#include <algorithm>

namespace nuv {

IoResult wait_or_again(bool nonblock) {
    if (nonblock) return -NUV_EAGAIN;
    return {0, IoWait::Block};
}

IoResult PipeReadEnd::read(std::span<uint8_t> out) {
    if (out.empty()) return 0;
    if (p_->bytes.empty()) {
        if (p_->writers == 0 && (!p_->named || p_->had_writer)) return 0;
        // A guest polling an empty pipe lets the writer run.
        if (nonblock) return {-NUV_EAGAIN, IoWait::Yield};
        return wait_or_again(nonblock);
    }
    size_t n = std::min(out.size(), p_->bytes.size());
    std::copy_n(p_->bytes.begin(), n, out.begin());
    p_->bytes.erase(p_->bytes.begin(), p_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
}

IoResult PipeWriteEnd::write(std::span<const uint8_t> in) {
    if (p_->readers == 0) {
        if (!p_->named || p_->had_reader) return -NUV_EPIPE;
        return wait_or_again(nonblock);
    }
    if (in.empty()) return 0;
    size_t room = PipeBuffer::kCapacity - p_->bytes.size();
    if (room == 0) {
        if (nonblock) return {-NUV_EAGAIN, IoWait::Yield};
        return wait_or_again(nonblock);
    }
    size_t n = std::min(in.size(), room);
    p_->bytes.insert(p_->bytes.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
}

}  // namespace nuv
