// The direct call path's waits (see native_direct.cpp): for the guest's
// next post, watching the page or asleep on its event descriptor, and for a
// stop of an untraced guest, which leaves its handler first.
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "direct_call.h"
#include "native_abi.hpp"
#include "native_direct.hpp"
#include "native_regs.hpp"

namespace nuv::native {

bool DirectChannel::attach(RunLimits::Clock::time_point until) {
    if (ptrace(PTRACE_SEIZE, p_.pid(), nullptr, reinterpret_cast<void*>(kTraceOptions)) != 0) {
        return false;
    }
    traced_ = true;
    p_.forget_stop();
    // Any other stop may come first and take the interruption with it: it
    // is asked for again after each.
    for (;;) {
        if (ptrace(PTRACE_INTERRUPT, p_.pid(), nullptr, nullptr) != 0) return false;
        int status = 0;
        if (!p_.wait_stop(status, until)) return false;
        if ((status >> 16) == PTRACE_EVENT_STOP) return true;
        // A signal on its way to the guest's handler goes on there; a call
        // stopped for the tracer is skipped.
        int sig = WIFSTOPPED(status) && (status >> 16) == 0 ? WSTOPSIG(status) : 0;
        if (!p_.resume(TracedProcess::ResumeBy::Continue, sig)) return false;
    }
}

bool DirectChannel::leave_handler() {
    // The handler is left where it waits: the guest's registers (as the
    // kernel above may have changed them) go into the process itself, its
    // floating-point state being live already.
    user_regs_struct now{};
    if (ptrace(PTRACE_GETREGS, p_.pid(), nullptr, &now) != 0) return false;
    copy_slots(now, p_.regs());
    p_.regs() = now;
    p_.mark_dirty();
    in_handler_ = false;
    mark_answered();
    return p_.flush_regs();
}

bool DirectChannel::pause_untraced(RunLimits::Clock::time_point until) {
    if (!attach(until)) return false;
    // Stopped inside the handler, the guest is stepped until it has posted
    // (it then stands where the call or fault was raised, a call not yet
    // made) or until it has left; a handler that does neither within a few
    // thousand steps or by `until` is not one the engine answered.
    for (int step = 0; step < 4096; ++step) {
        if (!p_.load_regs()) return false;
        uint64_t ip = p_.regs().rip;
        // In the handler, or in Linux's code it reads and writes through.
        if (ip < p_.gate() || ip >= uint64_t{p_.gate()} + NativeEngine::kGateSize) {
            // Stepped back to the guest: the trap flag Linux shows now and
            // then after a step through the handler's popf is the engine's.
            if (step > 0 && (p_.regs().eflags & kTrapFlag) != 0) {
                p_.regs().eflags &= ~uint64_t{kTrapFlag};
                p_.mark_dirty();
            }
            return true;
        }
        if (posted()) {
            mark_taken();
            uint32_t signo = 0, code = 0, addr = 0, nr = 0, arch = 0;
            read_post(signo, code, addr, nr, arch);
            if (signo == SIGSYS && static_cast<int>(code) == kSysSeccomp) p_.regs().rip -= 2;
            if (signo == SIGSYS && code == NUV_DIRECT_CODE_SITE) {
                // Back into the sled, the return address where the call put
                // it: the sled changes nothing on its way to the entry.
                p_.regs().rsp -= 4;
                p_.regs().rip = 0;
            }
            in_handler_ = true;
            return leave_handler();
        }
        int status = 0;
        if (RunLimits::Clock::now() >= until || !p_.resume(TracedProcess::ResumeBy::Step) ||
            !p_.wait_stop(status, until)) {
            return false;
        }
    }
    return false;
}

Wait DirectChannel::seen() {
    // The engine runs for this post until it answers: the handler may wait
    // for that on the page.
    store(page_->awake, NUV_ENGINE_AWAKE);
    store(page_->watching, NUV_ENGINE_WATCHING);
    beat_ = load(page_->beat);
    auto gap = RunLimits::Clock::now() - answered_;
    watch_ = gap < kWatch;
    return Wait::Event;
}

Wait DirectChannel::wait_direct(int& status, const RunLimits& limits) {
    // Watched from here (the path is taken only where the engine has a
    // processor of its own), a post is taken without a switch.
    if (watch_) {
        store(page_->watching, NUV_ENGINE_WATCHING);
        auto until = answered_ + kWatch;
        do {
            for (int i = 0; i < 64; ++i) {
                if (posted()) {
                    beat_ = load(page_->beat);
                    return Wait::Event;
                }
                __builtin_ia32_pause();
            }
        } while (RunLimits::Clock::now() < until);
        watch_ = false;
    }
    store(page_->watching, NUV_ENGINE_AWAY);
    store(page_->awake, NUV_ENGINE_ASLEEP);
    if (posted()) return seen();
    int chld = child_signals();
    std::vector<pollfd> p = {{wake_fd_, POLLIN, 0}, {chld, POLLIN, 0}};
    if (limits.others != nullptr) {
        for (int fd : *limits.others) {
            if (fd >= 0 && fd != wake_fd_) p.push_back({fd, POLLIN, 0});
        }
    }
    for (;;) {
        if (limits.cut_short()) return Wait::Deadline;
        int wait_ms = 100;
        if (limits.deadline != RunLimits::Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(limits.deadline -
                                                                     RunLimits::Clock::now());
            if (left.count() <= 0) return Wait::Deadline;
            wait_ms = static_cast<int>(std::min<int64_t>(left.count(), wait_ms));
        }
        for (pollfd& f : p) f.revents = 0;
        int n = poll(p.data(), p.size(), wait_ms);
        if (n < 0 && errno != EINTR) return Wait::Gone;
        if (n > 0 && p[0].revents != 0) drain_wakes(wake_fd_);
        if (n > 0 && chld >= 0 && p[1].revents != 0) drain(chld);
        // Untraced, the guest reports no stops: only its end.
        if (check_child(status) == Wait::Gone) return Wait::Gone;
        if (posted()) return seen();
        for (size_t i = 2; n > 0 && i < p.size(); ++i) {
            if (p[i].revents != 0) return Wait::Others;
        }
    }
}

}  // namespace nuv::native
