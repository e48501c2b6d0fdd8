// Kernel calls for processes, descriptors, mappings, sleeping and the keyboard.
#include <algorithm>
#include <chrono>

#include "kernel.hpp"
#include "pipe.hpp"
#include "sys_process.hpp"
#include "syscalls.hpp"

namespace nuv {

int32_t read_guest_string(const Machine& m, uint32_t address, uint32_t max, std::string& out) {
    out.clear();
    if (address == 0) return -E_FAULT;
    char chunk[256];
    for (uint32_t done = 0; done <= max;) {
        // Read what is mapped of the next chunk, byte runs at a time.
        uint32_t n = std::min<uint32_t>(sizeof chunk, max + 1 - done);
        uint64_t at = uint64_t{address} + done;
        if (at > 0xFFFFFFFFu) return -E_FAULT;
        while (n > 0 && !m.accessible(static_cast<uint32_t>(at), n, false)) n /= 2;
        if (n == 0 || !m.read(static_cast<uint32_t>(at), chunk, n)) return -E_FAULT;
        for (uint32_t i = 0; i < n; ++i) {
            if (chunk[i] == 0) return 0;
            out.push_back(chunk[i]);
        }
        done += n;
    }
    out.clear();
    return -E_NAMETOOLONG;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxPath = 4096;
constexpr int32_t kNoHang = 1;
constexpr uint32_t kMapAnonymous = 0x20;

int32_t sys_getkey(Machine& m, const SyscallArgs&) {
    auto f = m.file(0);
    if (!f) return -E_BADF;
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
    // takes as failure.
    uint32_t length = a.ecx, prot = a.edx, flags = a.esi;
    if ((flags & kMapAnonymous) == 0 || (prot & ~7u) != 0) return -1;
    uint32_t at = m.map_anonymous(length, prot);
    return at == 0 ? -1 : static_cast<int32_t>(at);
}

int32_t sys_munmap(Machine& m, const SyscallArgs& a) {
    return m.unmap_anonymous(a.ebx, a.ecx) ? 0 : -E_INVAL;
}

int32_t sys_pipe(Machine& m, const SyscallArgs& a) {
    if (!m.accessible(a.ebx, 8, true)) return -E_FAULT;
    auto p = std::make_shared<PipeBuffer>();
    int32_t r = m.install_file(std::make_shared<PipeReadEnd>(p));
    if (r < 0) return r;
    int32_t w = m.install_file(std::make_shared<PipeWriteEnd>(p));
    if (w < 0) {
        m.close_file(r);
        return w;
    }
    m.set_u32(a.ebx, static_cast<uint32_t>(r));
    m.set_u32(a.ebx + 4, static_cast<uint32_t>(w));
    return 0;
}

int32_t sys_dup(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -E_BADF;
    return m.install_file(std::move(f));
}

int32_t sys_dup2(Machine& m, const SyscallArgs& a) {
    int32_t from = static_cast<int32_t>(a.ebx), to = static_cast<int32_t>(a.ecx);
    auto f = m.file(from);
    if (!f || to < 0 || to >= Machine::kMaxFiles) return -E_BADF;
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
        if (fd >= 0 && !m.file(fd)) return -E_BADF;
    }
    for (int32_t& fd : fds) fd = std::max(fd, -1);
    m.kernel().stdio(m).fds = fds;
    return 0;
}

int32_t sys_fd_set_nonblock(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -E_BADF;
    f->nonblock = a.ecx != 0;
    return 0;
}

// The program path and argument vector of a spawn, read from the guest.
int32_t spawn_common(Machine& m, uint32_t path_at, uint32_t argv_at, int32_t argc,
                     const Kernel::Stdio& how) {
    std::string path;
    if (int32_t e = read_guest_string(m, path_at, kMaxPath, path); e < 0) return e;
    if (path.empty()) return -E_NOENT;
    if (argc < 0 || argc > Kernel::kMaxSpawnArgs) return -E_INVAL;
    std::vector<std::string> args;
    if (argc == 0) {
        args.push_back(path);
    } else {
        if (!m.accessible(argv_at, uint64_t{4} * static_cast<uint32_t>(argc), false))
            return -E_FAULT;
        uint32_t budget = Machine::kMaxArgBytes;
        for (int32_t i = 0; i < argc; ++i) {
            std::string s;
            uint32_t at = m.u32(argv_at + 4 * static_cast<uint32_t>(i));
            int32_t e = read_guest_string(m, at, budget, s);
            if (e == -E_NAMETOOLONG) return -E_INVAL;
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
    // The block: path, vector, count, the child's 0, 1 and 2 for this spawn
    // (negative: as fd_set_stdio says), and whether to hand on every descriptor.
    std::vector<uint8_t> raw;
    if (int32_t e = guest_to_host(m, a.ebx, 28, raw); e < 0) return e;
    uint32_t w[7];
    std::copy_n(raw.data(), sizeof w, reinterpret_cast<uint8_t*>(w));
    Kernel::Stdio how = m.kernel().stdio(m);
    for (size_t i = 0; i < 3; ++i) {
        int32_t fd = static_cast<int32_t>(w[3 + i]);
        if (fd >= 0) {
            if (!m.file(fd)) return -E_BADF;
            how.fds[i] = fd;
        }
    }
    if (w[6] != 0) how.inherit_all = true;
    return spawn_common(m, w[0], w[1], static_cast<int32_t>(w[2]), how);
}

int32_t sys_waitpid(Machine& m, const SyscallArgs& a) {
    return m.kernel().waitpid(m, static_cast<int32_t>(a.ebx), a.ecx, static_cast<int32_t>(a.edx));
}

}  // namespace

void add_process_calls(std::vector<SyscallDef>& t) {
    t.push_back({"getkey", 6, 0, "", sys_getkey});
    t.push_back({"usleep", 22, 1, "u", sys_usleep});
    t.push_back({"mmap", 98, 6, "xuxxdd", sys_mmap});
    t.push_back({"munmap", 99, 2, "xu", sys_munmap});
    t.push_back({"pipe", 124, 1, "x", sys_pipe});
    t.push_back({"dup", 126, 1, "d", sys_dup});
    t.push_back({"dup2", 127, 2, "dd", sys_dup2});
    t.push_back({"fd_set_inherit", 128, 1, "d", sys_fd_set_inherit});
    t.push_back({"fd_set_stdio", 129, 3, "ddd", sys_fd_set_stdio});
    t.push_back({"fd_set_nonblock", 130, 2, "dd", sys_fd_set_nonblock});
    t.push_back({"spawn", 131, 3, "sxd", sys_spawn});
    t.push_back({"waitpid", 132, 3, "dxx", sys_waitpid});
    t.push_back({"spawn_ex", 150, 1, "x", sys_spawn_ex});
}

}  // namespace nuv
