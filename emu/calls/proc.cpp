// Kernel calls on processes: ending, sleeping, starting and waiting for children.
#include <chrono>

#include "calls.hpp"

namespace nuv {

Outcome handle_exit(CallContext&, const SyscallArgs& a) {
    return Outcome::exit(static_cast<int32_t>(a.ebx));
}

using Clock = std::chrono::steady_clock;

Outcome handle_usleep(CallContext& c, const SyscallArgs& a) {
    if (c.skip_sleep() || a.ebx == 0) return Outcome::yield(0);
    // The first time the call is made it sets the wake time; later it checks it.
    auto now = Clock::now();
    auto wake =
        c.resuming() && c.wake_time() ? *c.wake_time() : now + std::chrono::microseconds(a.ebx);
    if (now < wake) return Outcome::sleep_until(wake);
    return 0;
}

// The program path and argument vector of a spawn, read from the guest.
static int32_t spawn_common(CallContext& c, uint32_t path_at, uint32_t argv_at, int32_t argc,
                            const CallContext::Stdio& how) {
    std::string path;
    if (int32_t e = c.memory().read_string(path_at, NUV_PATH_MAX, path); e < 0) return e;
    if (path.empty()) return -NUV_ENOENT;
    if (argc < 0 || argc > NUV_SPAWN_ARGS_MAX) return -NUV_EINVAL;
    std::vector<std::string> args;
    if (argc == 0) {
        args.push_back(path);
    } else {
        std::vector<uint32_t> vec(static_cast<size_t>(argc));
        if (int32_t e = c.memory().read(argv_at, vec.data(), vec.size() * 4); e < 0) return e;
        uint32_t budget = uint32_t{NUV_ARG_BYTES_MAX};
        for (uint32_t at : vec) {
            std::string s;
            int32_t e = c.memory().read_string(at, budget, s);
            if (e == -NUV_ENAMETOOLONG) return -NUV_EINVAL;
            if (e < 0) return e;
            budget -= static_cast<uint32_t>(s.size());
            args.push_back(std::move(s));
        }
    }
    return c.spawn(path, args, how);
}

Outcome handle_spawn(CallContext& c, const SyscallArgs& a) {
    return spawn_common(c, a.ebx, a.ecx, static_cast<int32_t>(a.edx), c.process().stdio());
}

Outcome handle_spawn_ex(CallContext& c, const SyscallArgs& a) {
    // The child's 0, 1 and 2 for this spawn (negative: as fd_set_stdio says),
    // and whether to hand on every descriptor.
    nuv_spawn_block b;
    if (int32_t e = c.memory().read(a.ebx, &b, sizeof b); e < 0) return e;
    CallContext::Stdio how = c.process().stdio();
    const int32_t fds[3] = {b.fd_in, b.fd_out, b.fd_err};
    for (size_t i = 0; i < 3; ++i) {
        if (fds[i] >= 0) {
            if (!c.file(fds[i])) return -NUV_EBADF;
            how.fds[i] = fds[i];
        }
    }
    if (b.inherit_all != 0) how.inherit_all = true;
    return spawn_common(c, b.path, b.argv, b.argc, how);
}

Outcome handle_waitpid(CallContext& c, const SyscallArgs& a) {
    return c.waitpid(static_cast<int32_t>(a.ebx), a.ecx, static_cast<int32_t>(a.edx));
}

}  // namespace nuv
