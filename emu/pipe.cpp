#include "pipe.hpp"

#include <algorithm>

#include "machine.hpp"

namespace nuv {

int32_t wait_or_again(bool nonblock) {
    Machine* m = Machine::current();
    if (m == nullptr || nonblock) return -NUV_EAGAIN;
    m->block();
    return -NUV_EAGAIN;  // not seen: the call is made again later
}

int32_t PipeReadEnd::read(std::span<uint8_t> out) {
    if (out.empty()) return 0;
    if (p_->bytes.empty()) {
        if (p_->writers == 0 && (!p_->named || p_->had_writer)) return 0;
        if (nonblock) {
            // A guest polling an empty pipe lets the writer run.
            if (Machine* m = Machine::current()) m->yield();
        }
        return wait_or_again(nonblock);
    }
    size_t n = std::min(out.size(), p_->bytes.size());
    std::copy_n(p_->bytes.begin(), n, out.begin());
    p_->bytes.erase(p_->bytes.begin(), p_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
}

int32_t PipeWriteEnd::write(std::span<const uint8_t> in) {
    if (p_->readers == 0) {
        if (!p_->named || p_->had_reader) return -NUV_EPIPE;
        return wait_or_again(nonblock);
    }
    if (in.empty()) return 0;
    size_t room = PipeBuffer::kCapacity - p_->bytes.size();
    if (room == 0) {
        if (nonblock) {
            if (Machine* m = Machine::current()) m->yield();
        }
        return wait_or_again(nonblock);
    }
    size_t n = std::min(in.size(), room);
    p_->bytes.insert(p_->bytes.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int32_t>(n);
}

}  // namespace nuv
