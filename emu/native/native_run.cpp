// Running a native guest: one run until its next call, fault or limit,
// whatever the call channel; a release; the end of a run at its deadline.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "native_abi.hpp"
#include "native_channel.hpp"

namespace nuv {
using namespace native;

EngineEvent NativeEngine::run(const RunLimits& limits) {
    EngineEvent ev;
    if (proc_.pid() <= 0) {
        ev.message = "guest process is gone";
        return ev;
    }
    if (this_thread() != proc_.tracer()) {
        ev.message = "native engine used from a thread that does not trace it";
        return ev;
    }
    stepping_ = opts_.debugging && limits.step;
    if (stepping_ && step_owed_) {
        // The step ended at its instruction's trap, served since.
        step_owed_ = stepping_ = false;
        ev.stop = EngineStop::Stepped;
        ev.eip = static_cast<uint32_t>(proc_.regs().rip);
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
        ev.eip = static_cast<uint32_t>(proc_.regs().rip);
        ev.message = std::string(limits.cut_short() ? "interrupted" : "time limit reached") +
                     " at eip " + hex(ev.eip);
        return ev;
    }
    if (!running && channel_->needs_timer() && !arm_timer(limits.deadline)) {
        ev.message = "cannot set the guest's time limit";
        return ev;
    }
    int status = 0;
    for (;;) {
        // The guest goes on, its call answered or from where it stands.
        bool stopped = false;
        if (running) {
            running = false;
        } else {
            switch (channel_->answer_event(status, stepping_)) {
                case Resume::Running:
                    break;
                case Resume::Stopped:
                    stopped = true;
                    break;
                case Resume::Gone:
                    gone(ev, status);
                    return ev;
                case Resume::Failed:
                    // Most likely killed from outside: say how it ended.
                    ev.message =
                        std::string("cannot resume the guest process: ") + std::strerror(errno);
                    if (errno == ESRCH && !proc_.wait_stop(status)) gone(ev, status);
                    return ev;
            }
        }
        if (!stopped) {
            switch (channel_->wait(status, ev, limits)) {
                case Wait::Event:
                    step_owed_ = stepping_ && ev.stop == EngineStop::Trap;
                    return ev;
                case Wait::Signal: {
                    // Read from the direct path's page: the guest stands
                    // stopped where it was raised.
                    const siginfo_t si = channel_->posted_signal();
                    bool runs_on = false;
                    if (fault_event(si.si_signo, si, limits, ev, runs_on) && !runs_on) return ev;
                    continue;
                }
                case Wait::Others:
                    // Still running: the next run() picks it up again.
                    released_ = true;
                    ev.stop = EngineStop::Others;
                    return ev;
                case Wait::Deadline:
                    pause_at_deadline(ev, status, limits.cut_short());
                    return ev;
                case Wait::Gone:
                    gone(ev, status);
                    return ev;
                case Wait::Stopped:
                    break;
            }
            if (!proc_.load_regs()) {
                ev.message = "cannot read the guest's registers";
                return ev;
            }
            if (!is_seccomp_stop(status)) proc_.restart_interrupted();
        }
        ev.eip = static_cast<uint32_t>(proc_.regs().rip);
        if (is_seccomp_stop(status)) {
            // No call runs: the kernel above answers int 0x80 and refuses
            // every other way into Linux.
            // Linux has already put its "no such call" result in eax: the
            // kernel above sees the call number the guest put there.
            proc_.regs().rax = proc_.regs().orig_rax;
            proc_.mark_dirty();
            // The gate's call is the engine's: the guest making it there
            // (without the key) is refused.
            if (((proc_.regs().cs & 0xffff) == abi_of(opts_).code_selector || opts_.stand_in_64) &&
                sites_.at_call_site(proc_.regs().rip)) {
                ev.stop = EngineStop::Trap;
                step_owed_ = stepping_;
                return ev;
            }
            ev.stop = EngineStop::Fault;
            // Named by the instruction itself (syscall and sysenter are two
            // bytes), as under Unicorn.
            uint32_t at = ev.eip;
            uint8_t insn[2] = {0, 0};
            if (at >= 2 && read(at - 2, insn, 2) && insn[0] == 0x0F &&
                (insn[1] == 0x05 || insn[1] == 0x34)) {
                at -= 2;
            }
            ev.fault = GuestFault::at(FaultKind::SystemCall, at);
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
            // int3, the end of a step or a watchpoint: for the debugger.
            if (watch_fired(ev)) return ev;
            ev.stop = stepping_ ? EngineStop::Stepped : EngineStop::Breakpoint;
            return ev;
        }
        bool runs_on = false;
        siginfo_t si{};
        if (ptrace(PTRACE_GETSIGINFO, proc_.pid(), nullptr, &si) == 0 &&
            fault_event(sig, si, limits, ev, runs_on)) {
            if (runs_on) continue;
            return ev;
        }
        // Any other signal comes from outside and is not delivered.
    }
}

bool NativeEngine::release(const RunLimits& limits) {
    if (proc_.pid() <= 0 || released_ || this_thread() != proc_.tracer()) return false;
    if (limits.deadline != RunLimits::Clock::time_point::max() &&
        RunLimits::Clock::now() >= limits.deadline) {
        return false;
    }
    if (channel_->needs_timer() && !arm_timer(limits.deadline)) return false;
    if (!channel_->release(limits)) return false;
    released_ = true;
    return true;
}

void NativeEngine::pause_at_deadline(EngineEvent& ev, int& status, bool interrupted) {
    // Stopped where it stands if it can be within the grace; else ended, as
    // a process can always be.
    auto until = RunLimits::Clock::now() + kDeadlineGrace;
    constexpr uint64_t kUnseen = ~0ull;
    proc_.regs().rip = kUnseen;  // what the attempt sees of the guest, if anything
    proc_.mark_clean();
    bool stopped = channel_->pause_by(until, status);
    ev.stop = EngineStop::Timeout;
    const std::string what = interrupted ? "interrupted" : "time limit reached";
    if (stopped) {
        if (proc_.at_seccomp_stop()) {
            // Stopped in a call not yet answered: skipped now, and made again
            // from its int 0x80 when the guest goes on.
            proc_.regs().rax = proc_.regs().orig_rax;
            proc_.regs().rip -= 2;
            proc_.mark_dirty();
        } else {
            proc_.restart_interrupted();
            sites_.back_to_site();
        }
        ev.eip = static_cast<uint32_t>(proc_.regs().rip);
        ev.message = what + " at eip " + hex(ev.eip);
        return;
    }
    bool known = proc_.regs().rip != kUnseen;
    if (known) sites_.back_to_site();
    proc_.end();
    if (known) {
        ev.eip = static_cast<uint32_t>(proc_.regs().rip);
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
        ev.message += channel_->killed_note(WTERMSIG(status));
    } else if (WIFEXITED(status)) {
        ev.message = "guest process exited with " + std::to_string(WEXITSTATUS(status));
    } else {
        ev.message = "guest process is gone";
    }
}

}  // namespace nuv
