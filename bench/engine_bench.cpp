// What the native engine costs on this machine, printed (not a test): one
// intercepted no-op kernel call against a plain one in a host process, one
// call the engine makes in its guest, and a register-only loop natively and
// under the engine. Each engine runs both as the 32-bit engine and as the
// 64-bit stand-in; a figure the host cannot give is reported as such.
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "native_engine.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The register-only loop: eax = eax * 3 + 1, ecx times; then `end`.
Bytes compute_loop(uint32_t n, std::initializer_list<uint8_t> end) {
    Bytes b = {0xB9};
    put32(b, n);
    b.insert(b.end(), {0x31, 0xC0, 0x6B, 0xC0, 0x03, 0x83, 0xC0, 0x01, 0xFF, 0xC9, 0x75, 0xF6});
    b.insert(b.end(), end);
    return b;
}

// Wall time of one run of the plain 32-bit program, in microseconds; < 0 when
// it cannot run here.
double plain32(const char* mode, uint64_t n, std::string& why) {
    std::string count = std::to_string(n);
    std::string path = NUV_PLAIN32;
    char* argv[] = {path.data(), const_cast<char*>(mode), count.data(), nullptr};
    char* envp[] = {nullptr};
    auto t0 = Clock::now();
    pid_t pid = 0;
    if (int e = posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp); e != 0) {
        why = std::strerror(e);
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double us = since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "cannot execute a 32-bit program"
                                                              : "the program failed";
        return -1;
    }
    return us;
}

void row(const char* what, double us, const std::string& why = "") {
    if (us < 0) {
        std::printf("  %-58s unavailable: %s\n", what, why.c_str());
    } else if (us >= 1000) {
        std::printf("  %-58s %10.1f ms\n", what, us / 1000);
    } else {
        std::printf("  %-58s %10.3f us\n", what, us);
    }
}

void engine_rows(bool stand_in, uint32_t calls, uint32_t iters) {
    std::printf("%s:\n", stand_in ? "native engine, 64-bit stand-in" : "native engine, 32-bit");
    nuv::NativeOptions o;
    o.stand_in_64 = stand_in;
    auto t0 = Clock::now();
    auto started = nuv::NativeEngine::start(o);
    row("start a guest process (to its first instruction)", started ? since(t0) : -1,
        started ? std::string() : started.error().message);
    if (!started) return;
    std::unique_ptr<nuv::NativeEngine> e = std::move(*started);
    constexpr uint32_t kCode = 0x400000;
    auto load = [&](const Bytes& code) {
        e->write(kCode, code.data(), code.size());
        nuv::Registers r;
        r.eip = kCode;
        r.esp = 0xC0000000 - 16;
        e->set_registers(r);
    };
    if (!e->map(kCode, 0x1000, nuv::kPermRead | nuv::kPermExec) ||
        !e->map(0xC0000000 - 0x10000, 0x10000, nuv::kPermRead | nuv::kPermWrite)) {
        std::printf("  cannot map the benchmark's pages\n");
        return;
    }
    // mov ecx, n; L: mov eax, 20; int 0x80; dec ecx; jnz L; hlt
    Bytes code = {0xB9};
    put32(code, calls);
    code.insert(code.end(), {0xB8, 20, 0, 0, 0, 0xCD, 0x80, 0xFF, 0xC9, 0x75, 0xF5, 0xF4});
    load(code);
    // The calls answered, in microseconds each; < 0 if the loop broke off.
    auto answered = [&](uint32_t n) {
        code[1] = static_cast<uint8_t>(n), code[2] = static_cast<uint8_t>(n >> 8);
        code[3] = static_cast<uint8_t>(n >> 16), code[4] = static_cast<uint8_t>(n >> 24);
        load(code);
        auto t = Clock::now();
        uint32_t done = 0;
        for (;;) {
            nuv::EngineEvent ev = e->run({});
            if (ev.stop != nuv::EngineStop::Trap) break;
            nuv::Registers r = e->registers();
            r.eax = 0;
            e->set_registers(r);
            ++done;
        }
        return done == n ? since(t) / n : -1;
    };
    row("intercepted no-op kernel call (int 0x80, answered)", answered(calls),
        "the loop did not finish");
    if (!stand_in) {
        // What interception adds, from rounds that alternate with plain calls
        // so that both meet the same load: the median of seven.
        std::vector<double> added;
        std::string why;
        for (int round = 0; round < 7; ++round) {
            uint32_t n = calls / 5 + 1;
            double base = plain32("calls", 0, why), many = plain32("calls", n, why);
            double ours = answered(n);
            if (base < 0 || many < 0 || ours < 0) break;
            added.push_back(ours - (many - base) / n);
        }
        std::sort(added.begin(), added.end());
        // Negative where a call through a rewritten site costs the guest
        // less than its own plain int 0x80.
        if (added.size() == 7) {
            std::printf("  %-58s %10.3f us\n",
                        "added by interception (median of 7 alternating rounds)", added[3]);
        } else {
            row("added by interception (median of 7 alternating rounds)", -1, why);
        }
    }
    if (stand_in) {
        // The filter's own stop, which a 32-bit guest's int 0x80 takes: here a
        // 64-bit `syscall`, refused and stepped over. mov esi, n; L: mov eax,
        // 39; syscall; dec esi; jnz L; hlt
        code = {0xBE};
        put32(code, calls);
        code.insert(code.end(), {0xB8, 39, 0, 0, 0, 0x0F, 0x05, 0xFF, 0xCE, 0x75, 0xF5, 0xF4});
        load(code);
        t0 = Clock::now();
        uint32_t done = 0;
        for (;;) {
            nuv::EngineEvent ev = e->run({});
            if (ev.fault.kind != nuv::FaultKind::SystemCall) break;
            ++done;
        }
        row("filtered system call stop, stepped over", done == calls ? since(t0) / calls : -1,
            "the loop did not finish");
    }
    t0 = Clock::now();
    bool ok = true;
    for (int i = 0; i < 1000 && ok; ++i) {
        ok = e->protect(kCode, 0x1000, i % 2 ? nuv::kPermRead | nuv::kPermExec : nuv::kPermRead);
    }
    e->protect(kCode, 0x1000, nuv::kPermRead | nuv::kPermExec);
    row("call made by the engine in the guest (mprotect)", ok ? since(t0) / 1000 : -1, "failed");
    load(compute_loop(iters, {0xCD, 0x80}));
    t0 = Clock::now();
    nuv::EngineEvent ev = e->run({});
    row("register-only loop", ev.stop == nuv::EngineStop::Trap ? since(t0) : -1, ev.message);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t calls = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 100000;
    uint32_t iters = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 100000000;
    std::printf("engine_bench: %u kernel calls, %u loop iterations\n", calls, iters);
    std::printf("host:\n");
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < calls; ++i) syscall(SYS_getpid);
    row("plain 64-bit system call (getpid), this process", since(t0) / calls);
    std::string why;
    double base = plain32("calls", 0, why);
    double many = base < 0 ? -1 : plain32("calls", calls, why);
    row("plain int 0x80 (getpid), a 32-bit process", many < 0 ? -1 : (many - base) / calls, why);
    base = plain32("loop", 0, why);
    many = base < 0 ? -1 : plain32("loop", iters, why);
    row("register-only loop, a 32-bit process", many < 0 ? -1 : many - base, why);
    Bytes loop = compute_loop(iters, {0xC3});
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED) {
        std::memcpy(page, loop.data(), loop.size());
        mprotect(page, 4096, PROT_READ | PROT_EXEC);
        t0 = Clock::now();
        reinterpret_cast<void (*)()>(page)();
        row("register-only loop, this 64-bit process", since(t0));
        munmap(page, 4096);
    }
    engine_rows(false, calls, iters);
    engine_rows(true, calls, iters);
    return 0;
}
