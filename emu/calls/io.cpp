// Kernel calls on descriptors: reading, writing, closing and moving in
// them, pipes, copies, the descriptors a spawn hands on, and the keyboard.
#include <algorithm>
#include <array>
#include <chrono>
#include <optional>

#include "calls.hpp"

namespace nuv {

// The most bytes one read or write call moves; the library loops for the rest.
constexpr uint32_t kMaxTransfer = NUV_IO_MAX;

Outcome handle_write(CallContext& c, const SyscallArgs& a) {
    auto f = c.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    std::vector<uint8_t> data(n);
    if (int32_t e = c.memory().read(a.ecx, data.data(), n); e < 0) return e;
    return Outcome::of(f->write(data));
}

namespace {

// How long a read that gave way stays blocked before it looks again, and
// how long it waits for input before it gives way (so that the run's
// deadline and its end are seen).
constexpr std::chrono::milliseconds kGiveWay{20};
constexpr int kAwaitMs = 100;

// What a read that must give way (see CallContext::attention_fd) before it
// waits for the host's input answers; none when it goes on to read.
std::optional<Outcome> give_way(CallContext& c, OpenFile& f) {
    const int attention = c.attention_fd();
    if (attention < 0 || f.await_input(attention, kAwaitMs)) return std::nullopt;
    return Outcome::sleep_until(Outcome::Clock::now() + kGiveWay);
}

}  // namespace

Outcome handle_read(CallContext& c, const SyscallArgs& a) {
    auto f = c.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    // Checked first, so that no input is consumed for a bad buffer.
    if (int32_t e = c.memory().check(a.ecx, n, true); e < 0) return e;
    if (std::optional<Outcome> w = n != 0 ? give_way(c, *f) : std::nullopt) return *w;
    std::vector<uint8_t> data(n);
    IoResult r = f->read(data);
    if (r.wait == IoWait::None && r.value > 0) {
        c.memory().write(a.ecx, data.data(), static_cast<uint32_t>(r.value));
    }
    return Outcome::of(r);
}

Outcome handle_close(CallContext& c, const SyscallArgs& a) {
    return c.close_file(static_cast<int32_t>(a.ebx)) ? 0 : -NUV_EBADF;
}

Outcome handle_lseek(CallContext& c, const SyscallArgs& a) {
    auto f = c.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    return f->seek(static_cast<int32_t>(a.ecx), static_cast<int32_t>(a.edx));
}

Outcome handle_getkey(CallContext& c, const SyscallArgs&) {
    auto f = c.file(0);
    if (!f) return -NUV_EBADF;
    if (std::optional<Outcome> w = give_way(c, *f)) return *w;
    uint8_t key = 0;
    IoResult r = f->read(std::span<uint8_t>(&key, 1));
    if (r.wait != IoWait::None) return Outcome::of(r);
    if (r.value == 1) return key;
    return r.value == 0 ? -1 : r.value;
}

Outcome handle_pipe(CallContext& c, const SyscallArgs& a) {
    if (int32_t e = c.memory().check(a.ebx, 8, true); e < 0) return e;
    auto p = std::make_shared<PipeBuffer>();
    int32_t r = c.install_file(std::make_shared<PipeReadEnd>(p));
    if (r < 0) return r;
    int32_t w = c.install_file(std::make_shared<PipeWriteEnd>(p));
    if (w < 0) {
        c.close_file(r);
        return w;
    }
    const uint32_t ends[2] = {static_cast<uint32_t>(r), static_cast<uint32_t>(w)};
    return c.memory().write(a.ebx, ends, sizeof ends);
}

Outcome handle_dup(CallContext& c, const SyscallArgs& a) {
    auto f = c.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    return c.install_file(std::move(f));
}

Outcome handle_dup2(CallContext& c, const SyscallArgs& a) {
    int32_t from = static_cast<int32_t>(a.ebx), to = static_cast<int32_t>(a.ecx);
    auto f = c.file(from);
    if (!f || to < 0 || to >= Process::kMaxFiles) return -NUV_EBADF;
    if (from == to) return to;
    return c.install_file(std::move(f), to);
}

Outcome handle_fd_set_inherit(CallContext& c, const SyscallArgs& a) {
    c.process().stdio().inherit_all = a.ebx != 0;
    return 0;
}

Outcome handle_fd_set_stdio(CallContext& c, const SyscallArgs& a) {
    std::array<int32_t, 3> fds{static_cast<int32_t>(a.ebx), static_cast<int32_t>(a.ecx),
                               static_cast<int32_t>(a.edx)};
    for (int32_t fd : fds) {
        if (fd >= 0 && !c.file(fd)) return -NUV_EBADF;
    }
    for (int32_t& fd : fds) fd = std::max(fd, -1);
    c.process().stdio().fds = fds;
    return 0;
}

Outcome handle_fd_set_nonblock(CallContext& c, const SyscallArgs& a) {
    auto f = c.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    f->nonblock = a.ecx != 0;
    return 0;
}

}  // namespace nuv
