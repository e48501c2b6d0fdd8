#include "traced_process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "filter.h"
#include "native_abi.hpp"

namespace nuv::native {

TracedProcess::~TracedProcess() {
    ended_ = nullptr;
    end();
}

void TracedProcess::set_hooks(std::function<bool()> pause, std::function<void()> ended) {
    pause_ = std::move(pause);
    ended_ = std::move(ended);
}

void TracedProcess::started(pid_t pid, pid_t tracer) {
    pid_ = pid;
    tracer_ = tracer;
}

void TracedProcess::end() {
    if (ended_) ended_();
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, __WALL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || WIFEXITED(status) || WIFSIGNALED(status)) break;
    }
    pid_ = -1;
}

bool TracedProcess::at_seccomp_stop() {
    siginfo_t si{};
    if (ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0) {
        return si.si_signo == SIGTRAP && si.si_code == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8));
    }
    return is_seccomp_stop(stop_);
}

bool TracedProcess::resume(ResumeBy how, int sig) {
    if (pid_ <= 0) return false;
    if (at_seccomp_stop()) {
        // A call the filter did not allow: it is skipped, whatever the
        // registers the engine may set next.
        user_regs_struct now{};
        if (ptrace(PTRACE_GETREGS, pid_, nullptr, &now) != 0) return false;
        now.orig_rax = ~0ull;
        now.rax = static_cast<uint64_t>(-int64_t{ENOSYS});
        if (ptrace(PTRACE_SETREGS, pid_, nullptr, &now) != 0 ||
            ptrace(PTRACE_GETREGS, pid_, nullptr, &now) != 0 ||
            static_cast<uint32_t>(now.orig_rax) != ~0u) {
            end();
            return false;
        }
    }
    if (!flush_regs()) return false;
    stop_ = -1;
    void* data = reinterpret_cast<void*>(static_cast<long>(sig));
    switch (how) {
        case ResumeBy::Continue:
            return ptrace(PTRACE_CONT, pid_, nullptr, data) == 0;
        case ResumeBy::Step:
            return ptrace(PTRACE_SINGLESTEP, pid_, nullptr, data) == 0;
        case ResumeBy::Detach:
            return ptrace(PTRACE_DETACH, pid_, nullptr, data) == 0;
    }
    return false;
}

bool TracedProcess::load_regs() {
    return ptrace(PTRACE_GETREGS, pid_, nullptr, &regs_) == 0;
}

void TracedProcess::restart_interrupted() {
    // A call that a signal took the guest out of before the engine read it
    // is made again when the guest goes on. Linux would do that itself, but
    // not once the registers are set from here: it is done by hand.
    const int64_t ax = abi_.wide ? static_cast<int64_t>(regs_.rax)
                                 : static_cast<int32_t>(static_cast<uint32_t>(regs_.rax));
    constexpr int64_t kRestartSys = -512, kRestartNoIntr = -513, kRestartNoHand = -514;
    if (static_cast<int64_t>(regs_.orig_rax) < 0 ||
        (ax != kRestartSys && ax != kRestartNoIntr && ax != kRestartNoHand)) {
        return;
    }
    regs_.rax = regs_.orig_rax;
    regs_.rip -= 2;  // int 0x80, and syscall in the stand-in
    regs_dirty_ = true;
}

bool TracedProcess::flush_regs() {
    if (!regs_dirty_) return true;
    // The process always stands at a skipped or finished call, or at a
    // signal: no call number may survive into the resumed run, or Linux
    // would run or restart it.
    regs_.orig_rax = ~0ull;
    if (ptrace(PTRACE_SETREGS, pid_, nullptr, &regs_) != 0) return false;
    regs_dirty_ = false;
    return true;
}

bool TracedProcess::remote(uint32_t nr, std::initializer_list<uint64_t> args, int64_t& result) {
    if (!pause()) return false;
    const Abi& abi = abi_;
    user_regs_struct saved = regs_;
    user_regs_struct call = regs_;
    size_t i = 0;
    for (uint64_t a : args) call.*abi.args[i++] = abi.wide ? a : static_cast<uint32_t>(a);
    // The key lets the call through the filter; no call of the engine's
    // needs the last two argument registers otherwise (mmap ignores them
    // for the anonymous mappings it makes).
    call.*abi.args[NUV_GATE_KEY_ARG0] = key_[0];
    call.*abi.args[NUV_GATE_KEY_ARG1] = key_[1];
    call.rax = nr;
    call.rip = gate_;
    call.cs = abi.code_selector;  // the guest may run through another
    regs_ = call;
    regs_dirty_ = true;
    if (!resume(ResumeBy::Continue)) return false;
    int status = 0;
    // To the breakpoint after the gate's call, past signals such as a stale
    // timer's, which are not delivered.
    user_regs_struct at{};
    for (;;) {
        if (!wait_stop(status)) return false;
        if (WIFSTOPPED(status) && (status >> 16) == 0 && WSTOPSIG(status) == SIGTRAP &&
            ptrace(PTRACE_GETREGS, pid_, nullptr, &at) == 0 && at.rip == uint64_t{gate_} + 3) {
            break;
        }
        if (!resume(ResumeBy::Continue)) return false;
    }
    // An i386 result is an address or count up to 4 GiB, or -4095..-1 for an error.
    uint32_t low = static_cast<uint32_t>(at.rax);
    result = abi.wide            ? static_cast<int64_t>(at.rax)
             : low > 0xFFFFF000u ? static_cast<int64_t>(static_cast<int32_t>(low))
                                 : static_cast<int64_t>(low);
    regs_ = saved;
    regs_dirty_ = true;
    return true;
}

bool TracedProcess::wait_stop(int& status, Clock::time_point until) {
    int chld = child_signals();
    bool drained = false;
    bool got = false;
    for (;;) {
        pid_t r = waitpid(pid_, &status, __WALL | WNOHANG);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (r == pid_ && (WIFEXITED(status) || WIFSIGNALED(status)))) {
            if (r < 0) status = kNoStatus;
            pid_ = -1;
            break;
        }
        if (r == pid_) {
            stop_ = status;
            got = true;
            break;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) {
            // It does not stop: it ends.
            end();
            status = kNoStatus;
            break;
        }
        if (chld < 0) {
            // Without the signal descriptor: look again shortly.
            usleep(200);
            continue;
        }
        pollfd p{chld, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 10))) > 0) {
            drain(chld);
            drained = true;
        }
    }
    // What was drained may have been another guest's news: it is announced
    // again for whoever waits for that one.
    if (drained) syscall(SYS_tgkill, getpid(), this_thread(), SIGCHLD);
    return got;
}

}  // namespace nuv::native
