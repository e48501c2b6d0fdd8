// Kernel calls for processes, descriptors, mappings, sleeping and the keyboard.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "kernel.hpp"
#include "pipe.hpp"
#include "syscalls.hpp"

namespace nuv {

using Clock = std::chrono::steady_clock;

int32_t sys_getkey(Machine& m, const SyscallArgs&) {
    auto f = m.file(0);
    if (!f) return -NUV_EBADF;
    uint8_t c = 0;
    int32_t r = f->read(std::span<uint8_t>(&c, 1));
    if (r == 1) return c;
    return r == 0 ? -1 : r;
}

int32_t sys_usleep(Machine& m, const SyscallArgs& a) {
    if (m.options().skip_sleep || a.ebx == 0) {
        m.yield();
        return 0;
    }
    // The first time the call is made it sets the wake time; later it checks it.
    auto now = Clock::now();
    auto wake =
        m.resuming() && m.wake_time() ? *m.wake_time() : now + std::chrono::microseconds(a.ebx);
    if (now < wake) m.block_until(wake);
    return 0;
}

int32_t sys_mmap(Machine& m, const SyscallArgs& a) {
    // Anonymous mappings only; every failure is -1, the one value the library
    // takes as failure. Memory is never writable and executable at once, so a
    // request for both fails like any other.
    uint32_t length = a.ecx, prot = a.edx, flags = a.esi;
    if ((flags & NUV_MAP_ANONYMOUS) == 0 ||
        (prot & ~uint32_t{NUV_PROT_READ | NUV_PROT_WRITE | NUV_PROT_EXEC}) != 0)
        return -1;
    if ((prot & NUV_PROT_WRITE) && (prot & NUV_PROT_EXEC)) return -1;
    uint32_t at = m.map_anonymous(length, prot);
    return at == 0 ? -1 : static_cast<int32_t>(at);
}

int32_t sys_munmap(Machine& m, const SyscallArgs& a) {
    return m.unmap_anonymous(a.ebx, a.ecx) ? 0 : -NUV_EINVAL;
}

int32_t sys_pipe(Machine& m, const SyscallArgs& a) {
    if (int32_t e = m.memory().check(a.ebx, 8, true); e < 0) return e;
    auto p = std::make_shared<PipeBuffer>();
    int32_t r = m.install_file(std::make_shared<PipeReadEnd>(p));
    if (r < 0) return r;
    int32_t w = m.install_file(std::make_shared<PipeWriteEnd>(p));
    if (w < 0) {
        m.close_file(r);
        return w;
    }
    const uint32_t ends[2] = {static_cast<uint32_t>(r), static_cast<uint32_t>(w)};
    return m.memory().write(a.ebx, ends, sizeof ends);
}

int32_t sys_dup(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    return m.install_file(std::move(f));
}

int32_t sys_dup2(Machine& m, const SyscallArgs& a) {
    int32_t from = static_cast<int32_t>(a.ebx), to = static_cast<int32_t>(a.ecx);
    auto f = m.file(from);
    if (!f || to < 0 || to >= Machine::kMaxFiles) return -NUV_EBADF;
    if (from == to) return to;
    return m.install_file(std::move(f), to);
}

int32_t sys_fd_set_inherit(Machine& m, const SyscallArgs& a) {
    m.kernel().stdio(m).inherit_all = a.ebx != 0;
    return 0;
}

int32_t sys_fd_set_stdio(Machine& m, const SyscallArgs& a) {
    std::array<int32_t, 3> fds{static_cast<int32_t>(a.ebx), static_cast<int32_t>(a.ecx),
                               static_cast<int32_t>(a.edx)};
    for (int32_t fd : fds) {
        if (fd >= 0 && !m.file(fd)) return -NUV_EBADF;
    }
    for (int32_t& fd : fds) fd = std::max(fd, -1);
    m.kernel().stdio(m).fds = fds;
    return 0;
}

int32_t sys_fd_set_nonblock(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    f->nonblock = a.ecx != 0;
    return 0;
}

// The program path and argument vector of a spawn, read from the guest.
static int32_t spawn_common(Machine& m, uint32_t path_at, uint32_t argv_at, int32_t argc,
                            const Kernel::Stdio& how) {
    std::string path;
    if (int32_t e = m.memory().read_string(path_at, NUV_PATH_MAX, path); e < 0) return e;
    if (path.empty()) return -NUV_ENOENT;
    if (argc < 0 || argc > Kernel::kMaxSpawnArgs) return -NUV_EINVAL;
    std::vector<std::string> args;
    if (argc == 0) {
        args.push_back(path);
    } else {
        std::vector<uint32_t> vec(static_cast<size_t>(argc));
        if (int32_t e = m.memory().read(argv_at, vec.data(), vec.size() * 4); e < 0) return e;
        uint32_t budget = Machine::kMaxArgBytes;
        for (uint32_t at : vec) {
            std::string s;
            int32_t e = m.memory().read_string(at, budget, s);
            if (e == -NUV_ENAMETOOLONG) return -NUV_EINVAL;
            if (e < 0) return e;
            budget -= static_cast<uint32_t>(s.size());
            args.push_back(std::move(s));
        }
    }
    return m.kernel().spawn(m, path, args, how);
}

int32_t sys_spawn(Machine& m, const SyscallArgs& a) {
    return spawn_common(m, a.ebx, a.ecx, static_cast<int32_t>(a.edx), m.kernel().stdio(m));
}

int32_t sys_spawn_ex(Machine& m, const SyscallArgs& a) {
    // The child's 0, 1 and 2 for this spawn (negative: as fd_set_stdio says),
    // and whether to hand on every descriptor.
    nuv_spawn_block b;
    if (int32_t e = m.memory().read(a.ebx, &b, sizeof b); e < 0) return e;
    Kernel::Stdio how = m.kernel().stdio(m);
    const int32_t fds[3] = {b.fd_in, b.fd_out, b.fd_err};
    for (size_t i = 0; i < 3; ++i) {
        if (fds[i] >= 0) {
            if (!m.file(fds[i])) return -NUV_EBADF;
            how.fds[i] = fds[i];
        }
    }
    if (b.inherit_all != 0) how.inherit_all = true;
    return spawn_common(m, b.path, b.argv, b.argc, how);
}

int32_t sys_waitpid(Machine& m, const SyscallArgs& a) {
    return m.kernel().waitpid(m, static_cast<int32_t>(a.ebx), a.ecx, static_cast<int32_t>(a.edx));
}

}  // namespace nuv
