#include "native_engine.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "direct_call.h"
#include "filter.h"
#include "native_abi.hpp"
#include "native_regs.hpp"

namespace nuv {
using namespace native;
namespace {

constexpr uint32_t kMapPrivate = 0x02, kMapAnonymous = 0x20, kMapFixedNoreplace = 0x100000;

bool page_range(uint32_t begin, uint32_t size) {
    return size != 0 && begin % kPage == 0 && size % kPage == 0 &&
           uint64_t{begin} + size <= NativeEngine::kSpaceEnd;
}

}  // namespace

NativeEngine::NativeEngine(const NativeOptions& opts) : opts_(opts) {
    if (opts_.stub_path.empty()) opts_.stub_path = default_stub_path(opts_.stand_in_64);
    if (opts_.tsc) tsc_next_ = *opts_.tsc;
    // On one processor a call on the direct path waits for the engine to be
    // scheduled; notifications hand over at once.
    if (opts_.stand_in_64 || !several_processors() || opts_.debugging) {
        opts_.direct_calls = false;
    }
}

NativeEngine::~NativeEngine() {
    end_process();
}

void NativeEngine::end_process() {
    if (notify_fd_ >= 0) {
        close(notify_fd_);
        notify_fd_ = -1;
    }
    waiting_ = false;
    in_handler_ = false;
    if (page_ != nullptr) {
        munmap(page_, kPage);
        page_ = nullptr;
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
        wake_fd_ = -1;
    }
    if (mem_fd_ >= 0) {
        close(mem_fd_);
        mem_fd_ = -1;
    }
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

bool NativeEngine::wait_stop(int& status, RunLimits::Clock::time_point until) {
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
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - RunLimits::Clock::now());
        if (left.count() <= 0) {
            // It does not stop: it ends.
            end_process();
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

bool NativeEngine::at_seccomp_stop() {
    siginfo_t si{};
    if (ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0) {
        return si.si_signo == SIGTRAP && si.si_code == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8));
    }
    return is_seccomp_stop(stop_);
}

bool NativeEngine::proceed(Go how, int sig) {
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
            end_process();
            return false;
        }
    }
    if (!flush_regs()) return false;
    stop_ = -1;
    void* data = reinterpret_cast<void*>(static_cast<long>(sig));
    switch (how) {
        case Go::Continue:
            return ptrace(PTRACE_CONT, pid_, nullptr, data) == 0;
        case Go::Step:
            return ptrace(PTRACE_SINGLESTEP, pid_, nullptr, data) == 0;
        case Go::Detach:
            if (ptrace(PTRACE_DETACH, pid_, nullptr, data) != 0) return false;
            traced_ = false;
            return true;
    }
    return false;
}

bool NativeEngine::load_regs() {
    return ptrace(PTRACE_GETREGS, pid_, nullptr, &regs_) == 0;
}

void NativeEngine::restart_interrupted() {
    // A call that a signal took the guest out of before the engine read it
    // is made again when the guest goes on. Linux would do that itself, but
    // not once the registers are set from here: it is done by hand.
    const int64_t ax = abi_of(opts_).wide ? static_cast<int64_t>(regs_.rax)
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

bool NativeEngine::flush_regs() {
    if (!regs_dirty_) return true;
    // The process always stands at a skipped or finished call, or at a
    // signal: no call number may survive into the resumed run, or Linux
    // would run or restart it.
    regs_.orig_rax = ~0ull;
    if (ptrace(PTRACE_SETREGS, pid_, nullptr, &regs_) != 0) return false;
    regs_dirty_ = false;
    return true;
}

bool NativeEngine::resume() {
    if (direct() && !waiting_) {
        // On its own until it posts: the engine watches for that at once.
        set_page_word(NUV_DIRECT_AWAKE, 1);
        return proceed(Go::Detach);
    }
    return proceed(stepping_ ? Go::Step : Go::Continue);
}

bool NativeEngine::remote(uint32_t nr, std::initializer_list<uint64_t> args, int64_t& result) {
    if (!ensure_stopped()) return false;
    const Abi& abi = abi_of(opts_);
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
    regs_ = call;
    regs_dirty_ = true;
    if (!proceed(Go::Continue)) return false;
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
        if (!proceed(Go::Continue)) return false;
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

bool NativeEngine::guest_range(uint32_t address, uint64_t n) const {
    uint64_t end = uint64_t{address} + n;
    return end <= kSpaceEnd && (end <= gate_ || address >= uint64_t{gate_} + kGateSize);
}

bool NativeEngine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    // No page is ever both writable and executable.
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    checked_ip_ = 0;
    const Abi& abi = abi_of(opts_);
    int64_t r = 0;
    if (!remote(abi.mmap,
                {begin, size, linux_prot(perms), kMapPrivate | kMapAnonymous | kMapFixedNoreplace,
                 ~0ull, 0},
                r)) {
        return false;
    }
    if (r == int64_t{begin}) return true;
    // A kernel that ignores the no-replace flag may have placed it elsewhere.
    if (r > 0 || r < -4095) remote(abi.munmap, {static_cast<uint64_t>(r), size}, r);
    return false;
}

bool NativeEngine::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    checked_ip_ = 0;
    int64_t r = 0;
    return remote(abi_of(opts_).mprotect, {begin, size, linux_prot(perms)}, r) && r == 0;
}

bool NativeEngine::unmap(uint32_t begin, uint32_t size) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    checked_ip_ = 0;
    int64_t r = 0;
    return remote(abi_of(opts_).munmap, {begin, size}, r) && r == 0;
}

bool NativeEngine::read(uint32_t address, void* out, size_t n) {
    if (n == 0) return true;
    if (pid_ <= 0 || !guest_range(address, n)) return false;
    iovec local{out, n};
    iovec there{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), n};
    if (process_vm_readv(pid_, &local, 1, &there, 1, 0) == static_cast<ssize_t>(n)) return true;
    // Pages the guest may not read itself.
    return pread(mem_fd_, out, n, address) == static_cast<ssize_t>(n);
}

bool NativeEngine::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    if (pid_ <= 0 || !guest_range(address, n)) return false;
    if (checked_ip_ != 0 && address < checked_ip_ && address + n + 2 > checked_ip_) checked_ip_ = 0;
    // Through the process's memory file: it writes read-only pages too.
    return pwrite(mem_fd_, data, n, address) == static_cast<ssize_t>(n);
}

Registers NativeEngine::registers() {
    return to_registers(regs_);
}

void NativeEngine::set_registers(const Registers& r) {
    if (waiting_) {
        // The answer to the call is all a waiting guest can take; anything
        // more needs the guest stopped, and only what changed is set then.
        Registers v = view_;
        v.eax = r.eax;
        if (std::memcmp(&v, &r, sizeof v) == 0) {
            regs_.rax = r.eax;
            return;
        }
        Registers was = view_;
        if (!ensure_stopped()) return;
        Registers now = registers();
        for_general([&](const RegisterSlot& s) {
            if (r.*s.guest != was.*s.guest) now.*s.guest = r.*s.guest;
        });
        now.eax = r.eax;
        set_registers(now);
        return;
    }
    set_general(regs_, r);
    regs_dirty_ = true;
}

void NativeEngine::reset_fpu() {
    user_fpregs_struct fp{};
    if (!ensure_stopped() || ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) != 0) return;
    // Empty stack, all exceptions masked, extended precision, round to nearest.
    fp.cwd = 0x037F;
    fp.swd = 0;
    fp.ftw = 0;  // the abridged tag word: every register empty
    fp.fop = 0;
    fp.rip = 0;
    fp.rdp = 0;
    fp.mxcsr = 0x1F80;
    std::memset(fp.st_space, 0, sizeof fp.st_space);
    ptrace(PTRACE_SETFPREGS, pid_, nullptr, &fp);
}

std::array<uint8_t, 10> NativeEngine::st0() {
    std::array<uint8_t, 10> out{};
    user_fpregs_struct fp{};
    if (ensure_stopped() && ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) == 0) {
        // The save area holds the registers in stack order: ST(0) first.
        std::memcpy(out.data(), fp.st_space, out.size());
    }
    return out;
}

bool NativeEngine::arm_timer(RunLimits::Clock::time_point deadline) {
    if (deadline == armed_) return true;
    // struct itimerval: the interval, then the value, in seconds and microseconds.
    int64_t sec = 0, usec = 0;
    if (deadline != RunLimits::Clock::time_point::max()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                          RunLimits::Clock::now());
        int64_t us = std::max<int64_t>(left.count(), 1);
        sec = std::min<int64_t>(us / 1000000, INT32_MAX);
        usec = us % 1000000;
    }
    const Abi& abi = abi_of(opts_);
    uint8_t value[32] = {};
    size_t size = 16;
    if (abi.wide) {
        int64_t v[4] = {0, 0, sec, usec};
        std::memcpy(value, v, sizeof v);
        size = sizeof v;
    } else {
        int32_t v[4] = {0, 0, static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
        std::memcpy(value, v, sizeof v);
    }
    uint32_t at = gate_ + kGateScratch;
    int64_t r = 0;
    if (pwrite(mem_fd_, value, size, at) != static_cast<ssize_t>(size) ||
        !remote(abi.setitimer, {0, at, 0}, r) || r != 0) {
        return false;
    }
    armed_ = deadline;
    return true;
}

void NativeEngine::stop_at_deadline(EngineEvent& ev, int& status, bool interrupted) {
    // Stopped where it stands if it can be within the grace; else ended, as
    // a process can always be.
    auto until = RunLimits::Clock::now() + kDeadlineGrace;
    constexpr uint64_t kUnseen = ~0ull;
    regs_.rip = kUnseen;  // what the attempt sees of the guest, if anything
    regs_dirty_ = false;
    bool stopped = direct() && !traced_
                       ? stop_untraced(until)
                       : pid_ > 0 && syscall(SYS_tgkill, pid_, pid_, kInterrupt) == 0 &&
                             wait_stop(status, until) && load_regs();
    ev.stop = EngineStop::Timeout;
    const std::string what = interrupted ? "interrupted" : "time limit reached";
    if (stopped) {
        if (at_seccomp_stop()) {
            // Stopped in a call not yet answered: skipped now, and made again
            // from its int 0x80 when the guest goes on.
            regs_.rax = regs_.orig_rax;
            regs_.rip -= 2;
            regs_dirty_ = true;
        } else {
            restart_interrupted();
        }
        ev.eip = static_cast<uint32_t>(regs_.rip);
        ev.message = what + " at eip " + hex(ev.eip);
        return;
    }
    bool known = regs_.rip != kUnseen;
    end_process();
    if (known) {
        ev.eip = static_cast<uint32_t>(regs_.rip);
        ev.message = what + " at eip " + hex(ev.eip) + " (the guest process was ended)";
    } else {
        ev.message = what + " (the guest process did not stop and was ended)";
    }
}

void NativeEngine::gone(EngineEvent& ev, int status) {
    ev.stop = EngineStop::Failed;
    if (status == kNoStatus) {
        ev.message = "guest process is gone";
    } else if (WIFSIGNALED(status)) {
        ev.message = "guest process killed by signal " + std::to_string(WTERMSIG(status));
        // On the direct path a guest is killed so only when the host kernel
        // cannot hand a call or fault to the handler: the guest's stack
        // pointer lies inside the handler's own stack.
        if (WTERMSIG(status) == SIGSEGV && direct()) {
            ev.message +=
                ": its call or fault could not be handed to the engine (a stack pointer "
                "inside the engine's pages " +
                hex(gate_ + NUV_GATE_STACK) + " to " + hex(gate_ + NUV_GATE_SIZE - 1) +
                " does that)";
        }
    } else if (WIFEXITED(status)) {
        ev.message = "guest process exited with " + std::to_string(WEXITSTATUS(status));
    } else {
        ev.message = "guest process is gone";
    }
}

EngineEvent NativeEngine::run(const RunLimits& limits) {
    EngineEvent ev;
    if (pid_ <= 0) {
        ev.message = "guest process is gone";
        return ev;
    }
    if (this_thread() != tracer_) {
        ev.message = "native engine used from a thread that does not trace it";
        return ev;
    }
    stepping_ = opts_.debugging && limits.step;
    if (stepping_ && step_owed_) {
        // The step ended at its instruction's trap, served since.
        step_owed_ = stepping_ = false;
        ev.stop = EngineStop::Stepped;
        ev.eip = static_cast<uint32_t>(regs_.rip);
        return ev;
    }
    step_owed_ = false;
    // A released guest keeps the deadline it was released under, and is
    // stopped by it.
    bool running = released_;
    released_ = false;
    if (!running &&
        (limits.cut_short() || (limits.deadline != RunLimits::Clock::time_point::max() &&
                                RunLimits::Clock::now() >= limits.deadline))) {
        ev.stop = EngineStop::Timeout;
        ev.eip = static_cast<uint32_t>(regs_.rip);
        ev.message = std::string(limits.cut_short() ? "interrupted" : "time limit reached") +
                     " at eip " + hex(ev.eip);
        return ev;
    }
    if (!running && !direct() && !arm_timer(limits.deadline)) {
        ev.message = "cannot set the guest's time limit";
        return ev;
    }
    int status = 0;
    for (;;) {
        // A guest that waits in a call takes its answer and goes on; one
        // that stands at a stop is continued.
        bool stopped = false;
        if (running) {
            running = false;
        } else if (in_handler_) {
            answer_direct();
        } else if (waiting_) {
            Resume how = answer(status);
            if (how == Resume::Gone) {
                gone(ev, status);
                return ev;
            }
            stopped = how == Resume::Stopped;
        } else if (!resume()) {
            // Most likely killed from outside: say how it ended.
            ev.message = std::string("cannot resume the guest process: ") + std::strerror(errno);
            if (errno == ESRCH && !wait_stop(status)) gone(ev, status);
            return ev;
        }
        if (!stopped) {
            Wait w =
                direct() && !traced_ ? wait_direct(status, limits) : wait_event(status, ev, limits);
            switch (w) {
                case Wait::Notified:
                    if (!direct()) {
                        step_owed_ = stepping_ && ev.stop == EngineStop::Trap;
                        return ev;
                    }
                    switch (take_post(limits, ev)) {
                        case Post::Event:
                            return ev;
                        case Post::Running:
                            running = true;
                            continue;
                        case Post::Stopped:
                            continue;
                    }
                    return ev;
                case Wait::Others:
                    // Still running: the next run() picks it up again.
                    released_ = true;
                    ev.stop = EngineStop::Others;
                    return ev;
                case Wait::Deadline:
                    stop_at_deadline(ev, status, limits.cut_short());
                    return ev;
                case Wait::Gone:
                    gone(ev, status);
                    return ev;
                case Wait::Stopped:
                    break;
            }
            if (!load_regs()) {
                ev.message = "cannot read the guest's registers";
                return ev;
            }
            if (!is_seccomp_stop(status)) restart_interrupted();
        }
        ev.eip = static_cast<uint32_t>(regs_.rip);
        if (is_seccomp_stop(status)) {
            // No call runs: the kernel above answers int 0x80 and refuses
            // every other way into Linux.
            // Linux has already put its "no such call" result in eax: the
            // kernel above sees the call number the guest put there.
            regs_.rax = regs_.orig_rax;
            regs_dirty_ = true;
            // The gate's call is the engine's: the guest making it there
            // (without the key) is refused.
            uint8_t insn[2] = {0, 0};
            if (((regs_.cs & 0xffff) == abi_of(opts_).code_selector || opts_.stand_in_64) &&
                regs_.rip >= 2 && regs_.rip != uint64_t{gate_} + 2 &&
                read(static_cast<uint32_t>(regs_.rip - 2), insn, 2) && insn[0] == 0xCD &&
                insn[1] == 0x80) {
                ev.stop = EngineStop::Trap;
                step_owed_ = stepping_;
                return ev;
            }
            ev.stop = EngineStop::Fault;
            // Named by the instruction itself (syscall and sysenter are two
            // bytes), as under Unicorn.
            uint32_t at = ev.eip;
            if (at >= 2 && read(at - 2, insn, 2) && insn[0] == 0x0F &&
                (insn[1] == 0x05 || insn[1] == 0x34)) {
                at -= 2;
            }
            ev.message = "system call other than int 0x80 at eip " + hex(at);
            return ev;
        }
        if (!WIFSTOPPED(status) || (status >> 16) != 0) continue;
        int sig = WSTOPSIG(status);
        if (sig == SIGALRM) {
            if (limits.deadline != RunLimits::Clock::time_point::max() &&
                RunLimits::Clock::now() >= limits.deadline) {
                armed_ = RunLimits::Clock::time_point::max();
                ev.stop = EngineStop::Timeout;
                ev.message = "time limit reached at eip " + hex(ev.eip);
                return ev;
            }
            // A timer set for an earlier run: this one's deadline is later.
            armed_ = RunLimits::Clock::time_point::max();
            if (!arm_timer(limits.deadline)) {
                ev.message = "cannot set the guest's time limit";
                return ev;
            }
            continue;
        }
        if (sig == SIGTRAP && opts_.debugging) {
            // int3, or the end of a step: for the debugger, not a fault.
            ev.stop = stepping_ ? EngineStop::Stepped : EngineStop::Breakpoint;
            return ev;
        }
        bool go_on = false;
        siginfo_t si{};
        if (ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0 &&
            fault_event(sig, si, limits, ev, go_on)) {
            if (go_on) continue;
            return ev;
        }
        // Any other signal comes from outside and is not delivered.
    }
}

}  // namespace nuv
