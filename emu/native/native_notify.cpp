// The native engine's notification path: the guest's calls arrive as seccomp
// notifications while the guest waits in the call, so a call costs two
// switches between processes and no tracing stop. Everything else (the
// engine's own calls at the gate, signals, registers beyond the call's) still
// goes through the tracer, which can stop a waiting guest at any time.
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "direct_call.h"
#include "native_abi.hpp"
#include "native_engine.hpp"

#ifndef SECCOMP_IOCTL_NOTIF_SET_FLAGS
#define SECCOMP_IOCTL_NOTIF_SET_FLAGS SECCOMP_IOW(4, __u64)
#endif
#ifndef SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP
#define SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP 1
#endif

namespace nuv {
using namespace native;
namespace {

// How long a wait for the guest trusts that a stop will be announced.
constexpr int kStopPollMs = 100;

}  // namespace

int native::child_signals() {
    struct Fd {
        int fd = -1;
        Fd() {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGCHLD);
            if (pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0) {
                fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
            }
        }
        ~Fd() {
            if (fd >= 0) close(fd);
        }
    };
    thread_local Fd f;
    return f.fd;
}

void native::drain(int fd) {
    signalfd_siginfo info[8];
    while (::read(fd, info, sizeof info) > 0) {
    }
}

namespace {

struct NotifySizes {
    size_t request = sizeof(seccomp_notif), response = sizeof(seccomp_notif_resp);
};

const NotifySizes& notify_sizes() {
    static const NotifySizes sizes = [] {
        NotifySizes s;
        seccomp_notif_sizes k{};
        if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &k) == 0) {
            s.request = std::max<size_t>(s.request, k.seccomp_notif);
            s.response = std::max<size_t>(s.response, k.seccomp_notif_resp);
        }
        return s;
    }();
    return sizes;
}

}  // namespace

bool NativeEngine::take_listener(int32_t guest_fd, std::string& err) {
    if (guest_fd < 0) return true;  // the guest's calls stop for the tracer
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        notify_fd_ = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, guest_fd, 0));
        close(pidfd);
    }
    int why = errno;
    // Nothing of it stays in the guest.
    int64_t r = 0;
    if (!remote(abi_of(opts_).close, {static_cast<uint64_t>(guest_fd)}, r) || r != 0) {
        err = "cannot close the native guest's notification descriptor";
        return false;
    }
    if (notify_fd_ < 0) {
        err = std::string("cannot take the native guest's notification descriptor: ") +
              std::strerror(why);
        return false;
    }
    // Both sides of a call then wake on the processor that made the switch.
    ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_SET_FLAGS, SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP, 0);
    notify_sizes();
    if (child_signals() < 0) {
        err = "cannot watch the native guest's stops";
        return false;
    }
    request_.assign(notify_sizes().request, 0);
    return true;
}

bool NativeEngine::ensure_stopped() {
    if (released_) return false;  // only run() may take it back
    if (!traced_) {
        // Only run() stops a guest that runs on its own; one waiting in its
        // handler leaves it.
        return in_handler_ && attach(RunLimits::Clock::now() + kStopBound) && leave_handler();
    }
    if (!waiting_) return pid_ > 0;
    waiting_ = false;
    uint64_t eax = regs_.rax;
    // A signal ends the wait; the guest stops for the tracer before it would
    // run the call again. Any stop does: a timer's signal that came first
    // is the same to the caller, and ours, if still pending, is dropped at
    // the next stop.
    if (syscall(SYS_tgkill, pid_, pid_, kInterrupt) != 0) return false;
    int status = 0;
    if (!wait_stop(status) || !load_regs()) return false;
    regs_.rax = eax;
    regs_dirty_ = true;  // no call survives into the resumed run
    return true;
}

bool NativeEngine::release(const RunLimits& limits) {
    if (pid_ <= 0 || released_ || this_thread() != tracer_) return false;
    if (limits.deadline != RunLimits::Clock::time_point::max() &&
        RunLimits::Clock::now() >= limits.deadline) {
        return false;
    }
    if (direct()) {
        // Untraced, the guest keeps to the deadline through the kernel's
        // waits, which are bounded by it.
        if (in_handler_) {
            answer_direct();
        } else if (traced_ && !resume()) {
            return false;
        }
        set_page_word(NUV_DIRECT_AWAKE, 0);
        released_ = true;
        return true;
    }
    if (!arm_timer(limits.deadline)) return false;
    if (waiting_) {
        int status = 0;
        // A guest that a signal took out of its call stands at a stop with
        // its answer: run() continues it.
        if (answer(status) != Resume::Running) return false;
    } else if (!proceed(Go::Continue)) {
        return false;
    }
    released_ = true;
    return true;
}

NativeEngine::Resume NativeEngine::answer(int& status) {
    seccomp_notif_resp* resp = nullptr;
    alignas(8) uint8_t buf[64] = {};
    if (notify_sizes().response <= sizeof buf) resp = reinterpret_cast<seccomp_notif_resp*>(buf);
    std::vector<uint8_t> big;
    if (resp == nullptr) {
        big.assign(notify_sizes().response, 0);
        resp = reinterpret_cast<seccomp_notif_resp*>(big.data());
    }
    resp->id = notify_id_;
    resp->val = static_cast<int32_t>(static_cast<uint32_t>(regs_.rax));
    resp->error = 0;
    resp->flags = 0;
    waiting_ = false;
    if (ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_SEND, resp) == 0) return Resume::Running;
    if (errno != ENOENT) {
        // Not a withdrawn call: the guest would wait for ever.
        end_process();
        status = kNoStatus;
        return Resume::Gone;
    }
    // A signal took the guest out of the call: it stands at a stop, the call
    // not yet answered, or it is gone.
    if (!wait_stop(status) || !load_regs()) return Resume::Gone;
    regs_.rax = static_cast<uint32_t>(resp->val);
    regs_dirty_ = true;
    return Resume::Stopped;
}

NativeEngine::Wait NativeEngine::wait_event(int& status, EngineEvent& ev, const RunLimits& limits) {
    const std::vector<int>* others = limits.others;
    // Without a notification descriptor (-1, which poll passes over) the
    // guest's calls are stops like any other.
    int chld = child_signals();
    // Ours, the stops', then the other processes' calls.
    std::vector<pollfd> p = {{notify_fd_, POLLIN, 0}, {chld, POLLIN, 0}};
    if (others != nullptr) {
        for (int fd : *others) {
            if (fd >= 0 && fd != notify_fd_) p.push_back({fd, POLLIN, 0});
        }
    }
    for (;;) {
        if (limits.cut_short()) return Wait::Deadline;
        for (pollfd& f : p) f.revents = 0;
        // The guest's timer may have been set for an earlier deadline than
        // this run's: the wait itself keeps to the deadline too.
        int wait_ms = kStopPollMs;
        if (limits.deadline != RunLimits::Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(limits.deadline -
                                                                     RunLimits::Clock::now());
            if (left.count() <= 0) return Wait::Deadline;
            wait_ms = static_cast<int>(std::min<int64_t>(left.count(), kStopPollMs));
        }
        int n = poll(p.data(), p.size(), wait_ms);
        if (n < 0 && errno != EINTR) return wait_stop(status) ? Wait::Stopped : Wait::Gone;
        // A stop is looked for when SIGCHLD says there may be one, and now
        // and then in case another thread took the signal.
        bool look = n == 0;
        if (n > 0 && chld >= 0 && p[1].revents != 0) {
            drain(chld);
            look = true;
        }
        if (look) {
            if (std::optional<Wait> w = check_child(status)) return *w;
        }
        if (n <= 0) continue;
        if ((p[0].revents & POLLIN) && receive(ev)) return Wait::Notified;
        // Nobody is left to notify: the guest is gone or about to be.
        if (p[0].revents & (POLLHUP | POLLERR)) {
            return wait_stop(status) ? Wait::Stopped : Wait::Gone;
        }
        // Another process's call, or its end: the scheduler goes to it.
        for (size_t i = 2; i < p.size(); ++i) {
            if (p[i].revents != 0) return Wait::Others;
        }
    }
}

std::optional<NativeEngine::Wait> NativeEngine::check_child(int& status) {
    pid_t r = waitpid(pid_, &status, __WALL | WNOHANG);
    if (r == pid_) {
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) return Wait::Stopped;
        pid_ = -1;
        return Wait::Gone;
    }
    if (r < 0 && errno != EINTR) {
        pid_ = -1;
        status = kNoStatus;
        return Wait::Gone;
    }
    return std::nullopt;
}

bool NativeEngine::receive(EngineEvent& ev) {
    std::fill(request_.begin(), request_.end(), 0);
    auto* req = reinterpret_cast<seccomp_notif*>(request_.data());
    // ENOENT: the call was withdrawn (a signal came) before it was read.
    if (ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_RECV, req) != 0) return false;
    if (static_cast<pid_t>(req->pid) != pid_) return false;
    const seccomp_data& d = req->data;
    // The call's registers, as i386 passes them.
    regs_.rax = static_cast<uint32_t>(d.nr);
    for (size_t i = 0; i < 6; ++i) regs_.*kI386.args[i] = static_cast<uint32_t>(d.args[i]);
    regs_.rip = d.instruction_pointer;
    view_ = registers();
    waiting_ = true;
    notify_id_ = req->id;
    ev.eip = static_cast<uint32_t>(d.instruction_pointer);
    // Only int 0x80 is the kernel's way in; sysenter and syscall arrive here too.
    uint8_t insn[2] = {0, 0};
    if (d.instruction_pointer != checked_ip_ &&
        (d.instruction_pointer < 2 || d.instruction_pointer > kSpaceEnd ||
         !read(static_cast<uint32_t>(d.instruction_pointer - 2), insn, 2) || insn[0] != 0xCD ||
         insn[1] != 0x80)) {
        ev.stop = EngineStop::Fault;
        ev.message = "system call other than int 0x80 at eip " + hex(ev.eip);
        return true;
    }
    checked_ip_ = d.instruction_pointer;
    ev.stop = EngineStop::Trap;
    // A debugger may look at every register at any call.
    if (opts_.debugging && !ensure_stopped()) {
        ev.stop = EngineStop::Failed;
        ev.message = "guest process is gone";
    }
    return true;
}

}  // namespace nuv
