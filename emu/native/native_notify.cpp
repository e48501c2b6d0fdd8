// The native engine's notification path: the guest's calls arrive as seccomp
// notifications while the guest waits in the call, so a call costs two
// switches between processes and no tracing stop. Everything else (the
// engine's own calls at the gate, signals, registers beyond the call's) still
// goes through the tracer, which can stop a waiting guest at any time.
// Without a notification descriptor the guest's calls are tracing stops.
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "native_abi.hpp"
#include "native_notify.hpp"
#include "native_regs.hpp"

#ifndef SECCOMP_IOCTL_NOTIF_SET_FLAGS
#define SECCOMP_IOCTL_NOTIF_SET_FLAGS SECCOMP_IOW(4, __u64)
#endif
#ifndef SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP
#define SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP 1
#endif

namespace nuv::native {
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

Error failure(std::string message) {
    return Error{HostError::NoEngine, std::move(message)};
}

}  // namespace

std::unique_ptr<CallChannel> make_notify_channel(TracedProcess& process, AddressSpace& space,
                                                 CallSites& sites, bool debugging) {
    return std::make_unique<NotifyChannel>(process, space, sites, debugging);
}

Status NotifyChannel::take_over(const user_regs_struct& at) {
    const int32_t guest_fd = static_cast<int32_t>(at.rcx);
    if (guest_fd < 0) return Done{};  // the guest's calls stop for the tracer
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, p_.pid(), 0));
    if (pidfd >= 0) {
        notify_fd_ = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, guest_fd, 0));
        close(pidfd);
    }
    int why = errno;
    // Nothing of it stays in the guest.
    int64_t r = 0;
    // The notification path is i386's (the stand-in's calls are stops).
    if (!p_.remote(kI386.close, {static_cast<uint64_t>(guest_fd)}, r) || r != 0) {
        return failure("cannot close the native guest's notification descriptor");
    }
    if (notify_fd_ < 0) {
        return failure(std::string("cannot take the native guest's notification descriptor: ") +
                       std::strerror(why));
    }
    // Both sides of a call then wake on the processor that made the switch.
    ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_SET_FLAGS, SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP, 0);
    notify_sizes();
    if (child_signals() < 0) return failure("cannot watch the native guest's stops");
    request_.assign(notify_sizes().request, 0);
    return Done{};
}

Resume NotifyChannel::answer_event(int& status, bool step) {
    // A guest that waits in a call takes its answer and goes on; one that
    // stands at a stop is continued.
    if (waiting_) return answer(status);
    using ResumeBy = TracedProcess::ResumeBy;
    return p_.resume(step ? ResumeBy::Step : ResumeBy::Continue) ? Resume::Running : Resume::Failed;
}

bool NotifyChannel::pause() {
    if (!waiting_) return p_.pid() > 0;
    waiting_ = false;
    uint64_t eax = p_.regs().rax;
    // A signal ends the wait; the guest stops for the tracer before it would
    // run the call again. Any stop does: a timer's signal that came first
    // is the same to the caller, and ours, if still pending, is dropped at
    // the next stop.
    if (syscall(SYS_tgkill, p_.pid(), p_.pid(), kInterrupt) != 0) return false;
    int status = 0;
    if (!p_.wait_stop(status) || !p_.load_regs()) return false;
    p_.regs().rax = eax;
    p_.mark_dirty();  // no call survives into the resumed run
    return true;
}

bool NotifyChannel::release(const RunLimits&) {
    // The engine has set the guest's timer.
    if (waiting_) {
        int status = 0;
        // A guest that a signal took out of its call stands at a stop with
        // its answer: run() continues it.
        return answer(status) == Resume::Running;
    }
    return p_.resume(TracedProcess::ResumeBy::Continue);
}

bool NotifyChannel::set_registers(const Registers& r) {
    if (!waiting_) return false;
    // The answer to the call is all a waiting guest can take; anything
    // more needs the guest stopped, and only what changed is set then.
    Registers v = view_;
    v.eax = r.eax;
    if (std::memcmp(&v, &r, sizeof v) == 0) {
        p_.regs().rax = r.eax;
        return true;
    }
    Registers was = view_;
    if (!pause()) return true;
    Registers now = to_registers(p_.regs());
    for_general([&](const RegisterSlot& s) {
        if (r.*s.guest != was.*s.guest) now.*s.guest = r.*s.guest;
    });
    now.eax = r.eax;
    // Stopped, the guest takes them all, as at any stop.
    set_general(p_.regs(), now);
    p_.mark_dirty();
    return true;
}

Resume NotifyChannel::answer(int& status) {
    seccomp_notif_resp* resp = nullptr;
    alignas(8) uint8_t buf[64] = {};
    if (notify_sizes().response <= sizeof buf) resp = reinterpret_cast<seccomp_notif_resp*>(buf);
    std::vector<uint8_t> big;
    if (resp == nullptr) {
        big.assign(notify_sizes().response, 0);
        resp = reinterpret_cast<seccomp_notif_resp*>(big.data());
    }
    resp->id = notify_id_;
    resp->val = static_cast<int32_t>(static_cast<uint32_t>(p_.regs().rax));
    resp->error = 0;
    resp->flags = 0;
    waiting_ = false;
    if (ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_SEND, resp) == 0) return Resume::Running;
    if (errno != ENOENT) {
        // Not a withdrawn call: the guest would wait for ever.
        p_.end();
        status = kNoStatus;
        return Resume::Gone;
    }
    // A signal took the guest out of the call: it stands at a stop, the call
    // not yet answered, or it is gone.
    if (!p_.wait_stop(status) || !p_.load_regs()) return Resume::Gone;
    p_.regs().rax = static_cast<uint32_t>(resp->val);
    p_.mark_dirty();
    return Resume::Stopped;
}

bool NotifyChannel::receive(EngineEvent& ev) {
    std::fill(request_.begin(), request_.end(), 0);
    auto* req = reinterpret_cast<seccomp_notif*>(request_.data());
    // ENOENT: the call was withdrawn (a signal came) before it was read.
    if (ioctl(notify_fd_, SECCOMP_IOCTL_NOTIF_RECV, req) != 0) return false;
    if (static_cast<pid_t>(req->pid) != p_.pid()) return false;
    const seccomp_data& d = req->data;
    user_regs_struct& regs = p_.regs();
    // The call's registers, as i386 passes them.
    regs.rax = static_cast<uint32_t>(d.nr);
    for (size_t i = 0; i < 6; ++i) regs.*kI386.args[i] = static_cast<uint32_t>(d.args[i]);
    regs.rip = d.instruction_pointer;
    view_ = to_registers(regs);
    waiting_ = true;
    notify_id_ = req->id;
    ev.eip = static_cast<uint32_t>(d.instruction_pointer);
    // Only int 0x80 is the kernel's way in; sysenter and syscall arrive here too.
    if (!sites_.at_call_site(d.instruction_pointer)) {
        ev.stop = EngineStop::Fault;
        ev.fault = GuestFault::at(FaultKind::SystemCall, ev.eip);
        return true;
    }
    ev.stop = EngineStop::Trap;
    // A debugger may look at every register at any call.
    if (debugging_ && !pause()) lost_event(ev);
    return true;
}

}  // namespace nuv::native
