// The native engine's direct call path: the guest's calls and faults reach a
// handler in its own process, which posts them on the call page and waits
// there for the answer (see direct_call.h). With the engine watching the page
// from another processor a call costs the guest's own trap and no switch
// between processes. The guest runs untraced; the engine attaches only to
// do what an answer on the page cannot (its own calls in the guest, the
// floating-point unit, a fault to examine, a time limit) and lets go again
// when the guest resumes.
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "direct_call.h"
#include "filter.h"
#include "native_abi.hpp"
#include "native_direct.hpp"
#include "native_regs.hpp"

namespace nuv::native {
void DirectChannel::drain_wakes(int fd) {
    uint64_t v = 0;
    while (::read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
    }
}

bool several_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

std::unique_ptr<CallChannel> make_direct_channel(TracedProcess& process, AddressSpace& space,
                                                 CallSites& sites, int& page_fd, int& wake_fd,
                                                 int& fd_socket) {
    auto c = std::make_unique<DirectChannel>(process, space, sites);
    if (!c->make_page(page_fd)) return nullptr;
    wake_fd = c->wake_fd();
    fd_socket = c->make_socket();
    return c;
}

void DirectChannel::close_all() {
    in_handler_ = false;
    if (page_ != nullptr) {
        munmap(page_, kPage);
        page_ = nullptr;
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
        wake_fd_ = -1;
    }
    if (sock_ >= 0) {
        close(sock_);
        sock_ = -1;
    }
    in_process_ = false;
}

std::string DirectChannel::killed_note(int signal) const {
    // A guest is killed so only when the host kernel cannot hand a call or
    // fault to the handler: the guest's stack pointer lies inside the
    // handler's own stack.
    if (signal != SIGSEGV || page_ == nullptr) return {};
    return ": its call or fault could not be handed to the engine (a stack pointer "
           "inside the engine's pages " +
           hex(p_.gate() + NUV_GATE_STACK) + " to " +
           hex(p_.gate() + NUV_GATE_STACK + NUV_GATE_STACK_SIZE - 1) + " does that)";
}

int DirectChannel::event_fd() const {
    if (page_ == nullptr) return -1;
    // Asked while the engine waits for other processes: a call this guest
    // waits in is not served until it is woken, so its handler sleeps at once.
    store(page_->watching, NUV_ENGINE_AWAY);
    // A wake-up for a post already taken says nothing: only a new post may
    // leave the descriptor ready, or a process waiting on a blocked call
    // would keep every other one from waiting.
    if (!posted()) {
        drain_wakes(wake_fd_);
        if (posted()) {
            uint64_t one = 1;
            ssize_t n = ::write(wake_fd_, &one, sizeof one);
            (void)n;
        }
    }
    return wake_fd_;
}

bool DirectChannel::make_page(int& fd) {
    fd = memfd_create("nuv-calls", MFD_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    void* p = MAP_FAILED;
    if (fd >= 0 && wake_fd_ >= 0 && ftruncate(fd, kPage) == 0) {
        p = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (p != MAP_FAILED) {
        page_ = static_cast<nuv_call_page*>(p);
        store(page_->spin, kHandlerRounds);
        return true;
    }
    if (fd >= 0) close(fd);
    if (wake_fd_ >= 0) close(wake_fd_);
    fd = wake_fd_ = -1;
    return false;
}

Status DirectChannel::take_over(const user_regs_struct& at) {
    const int32_t set_up = static_cast<int32_t>(at.rdx), event_fd = static_cast<int32_t>(at.rsi);
    if (set_up != 1 || load(page_->event_fd) != static_cast<uint32_t>(event_fd) ||
        child_signals() < 0) {
        return Error{HostError::NoEngine, "the native start-up stub did not set up its call page"};
    }
    taken_ = done_ = load(page_->seq);
    // Whether the stub moved Linux's fast system-call code into the gate
    // area, where the handler reads and writes through it.
    in_process_ = sock_ >= 0 && load(page_->vsyscall) != 0;
    return Done{};
}

Resume DirectChannel::answer_event(int&, bool) {
    if (in_handler_) {
        answer_direct();
        return Resume::Running;
    }
    return detach() ? Resume::Running : Resume::Failed;
}

bool DirectChannel::detach() {
    // On its own until it posts: the engine watches for that at once.
    store(page_->awake, NUV_ENGINE_AWAKE);
    answered_ = RunLimits::Clock::now();
    if (!p_.resume(TracedProcess::ResumeBy::Detach)) return false;
    traced_ = false;
    return true;
}

bool DirectChannel::pause() {
    // Only run() stops a guest that runs on its own; one waiting in its
    // handler leaves it.
    if (!traced_) {
        return in_handler_ && attach(RunLimits::Clock::now() + TracedProcess::kStopBound) &&
               leave_handler();
    }
    return p_.pid() > 0;
}

bool DirectChannel::release(const RunLimits&) {
    if (in_handler_) {
        answer_direct();
    } else if (traced_ && !detach()) {
        return false;
    }
    store(page_->watching, NUV_ENGINE_AWAY);
    store(page_->awake, NUV_ENGINE_ASLEEP);
    return true;
}

Wait DirectChannel::wait(int& status, EngineEvent& ev, const RunLimits& limits) {
    if (traced_) return wait_traced(status, ev, limits, -1);
    for (;;) {
        Wait w = wait_direct(status, limits);
        if (w != Wait::Event) return w;
        switch (take_post(ev)) {
            case Post::Event:
                return Wait::Event;
            case Post::Running:
                continue;
            case Post::Signal:
                return Wait::Signal;
        }
        return Wait::Event;
    }
}

void DirectChannel::read_post(uint32_t& signo, uint32_t& code, uint32_t& addr, uint32_t& nr,
                              uint32_t& arch) {
    uint32_t ctx[NUV_DIRECT_CTX_WORDS];
    std::memcpy(ctx, page_->ctx, sizeof ctx);
    signo = load(page_->signo);
    code = load(page_->code);
    addr = load(page_->addr);
    nr = load(page_->nr);
    arch = load(page_->arch);
    load_words(p_.regs(), ctx);
    if (signo == SIGSYS && static_cast<int>(code) == kSysSeccomp) p_.regs().rax = nr;
    // The rewritten sites' entry knows its code selector; the post may not
    // name another.
    if (signo == SIGSYS && code == NUV_DIRECT_CODE_SITE) p_.regs().cs = NUV_SITE_CS;
    p_.mark_clean();
}

DirectChannel::Post DirectChannel::take_post(EngineEvent& ev) {
    mark_taken();
    uint32_t signo = 0, code = 0, addr = 0, nr = 0, arch = 0;
    read_post(signo, code, addr, nr, arch);
    in_handler_ = true;
    ev.eip = static_cast<uint32_t>(p_.regs().rip);
    const bool sited = signo == SIGSYS && code == NUV_DIRECT_CODE_SITE;
    if (sited && !sites_.is_site(ev.eip - 2)) return null_call(ev);
    if (sited || (signo == SIGSYS && static_cast<int>(code) == kSysSeccomp)) {
        if (!sited && (arch != NUV_AUDIT_ARCH_I386 || !sites_.at_call_site(ev.eip))) {
            ev.stop = EngineStop::Fault;
            ev.fault = GuestFault::at(FaultKind::SystemCall, ev.eip);
            return Post::Event;
        }
        return call_post(ev, ev.eip - 2);
    }
    if (signo == SIGTRAP && ev.eip == p_.gate() + 3) {
        // The breakpoint after the gate's call: untraced, a call made there
        // fails without running, and the guest falls through to it.
        ev.stop = EngineStop::Fault;
        ev.fault = GuestFault::at(FaultKind::SystemCall, p_.gate() + 2);
        return Post::Event;
    }
    if (static_cast<int32_t>(code) <= 0) {
        // Sent by a process, not raised by the guest's own instruction: not
        // for the guest, which goes on as it was, nor a sign of its pace.
        bool watch = watch_;
        answer_direct();
        watch_ = watch;
        return Post::Running;
    }
    // A call from a rewritten site that did not reach the sled: answered
    // as it would have been (see sited_call()).
    if (uint32_t site = 0; sited_call(signo, site)) return call_post(ev, site);
    // A fault: the guest leaves its handler, traced, and stands where it
    // faulted, to be examined as under the tracer.
    if (!pause()) {
        lost_event(ev);
        return Post::Event;
    }
    return stopped_at(static_cast<int>(signo), static_cast<int>(code), addr);
}

DirectChannel::Post DirectChannel::stopped_at(int signo, int code, uint32_t addr) {
    signal_ = siginfo_t{};
    signal_.si_signo = signo;
    signal_.si_code = code;
    signal_.si_addr = reinterpret_cast<void*>(static_cast<uintptr_t>(addr));
    return Post::Signal;
}

DirectChannel::Post DirectChannel::call_post(EngineEvent& ev, uint32_t site) {
    ev.stop = EngineStop::Trap;
    ev.eip = static_cast<uint32_t>(p_.regs().rip);
    sites_.note_site(site);
    // What the handler cannot load itself (another code or stack selector,
    // the trap flag) is set from outside.
    uint16_t cs = p_.regs().cs & 0xffff;
    bool plain = (cs == NUV_USER_CS32 || cs == NUV_SITE_CS) && p_.regs().ss == NUV_USER_DS32 &&
                 (p_.regs().eflags & kTrapFlag) == 0;
    if (!plain && in_handler_ && !pause()) lost_event(ev);
    return Post::Event;
}

bool DirectChannel::sited_call(uint32_t signo, uint32_t& site) {
    // A call whose number lies past the sled faults where it landed, the
    // site's return address on the stack: it is the call itself, made with
    // a number no call has (so is one from a guest that went back to the
    // flat code selector itself). A call whose stack pointer the processor
    // could not push to faults on the site.
    if (signo != SIGSEGV && signo != SIGILL) return false;
    const uint32_t eip = static_cast<uint32_t>(p_.regs().rip);
    const uint32_t esp = static_cast<uint32_t>(p_.regs().rsp);
    if (sites_.is_site(eip)) {
        site = eip;
        p_.regs().rip = eip + 2;
        return true;
    }
    uint32_t back = 0;
    const uint32_t eax = static_cast<uint32_t>(p_.regs().rax);
    if (eip - eax >= 8 || !space_.read(esp, &back, sizeof back) || !sites_.is_site(back - 2)) {
        return false;
    }
    site = back - 2;
    p_.regs().rip = back;
    p_.regs().rsp = esp + 4;
    return true;
}

DirectChannel::Post DirectChannel::null_call(EngineEvent& ev) {
    // Something other than a rewritten site reached the sled: a call or
    // jump through a pointer to one of the page's first addresses. The
    // guest faults as it would have without the sled, where the pointer
    // led, the return address back on its stack.
    uint32_t ret = static_cast<uint32_t>(p_.regs().rip), target = 0;
    uint8_t insn[2] = {0, 0};
    const uint32_t eax = static_cast<uint32_t>(p_.regs().rax);
    if (space_.read(ret - 2, insn, 2) && insn[0] == 0xFF && (insn[1] & 0xF8) == 0xD0) {
        // call *%reg: the register's value
        const unsigned long long user_regs_struct::*regs[8] = {
            &user_regs_struct::rax, &user_regs_struct::rcx, &user_regs_struct::rdx,
            &user_regs_struct::rbx, &user_regs_struct::rsp, &user_regs_struct::rbp,
            &user_regs_struct::rsi, &user_regs_struct::rdi};
        target = static_cast<uint32_t>(p_.regs().*regs[insn[1] & 7]);
    } else {
        target = eax < NUV_SLED_JUMP ? eax : 0;
    }
    p_.regs().rsp -= 4;
    p_.regs().rip = target;
    p_.mark_dirty();
    if (!pause()) {
        lost_event(ev);
        return Post::Event;
    }
    p_.regs().rip = target;
    p_.mark_dirty();
    return stopped_at(SIGSEGV, SEGV_MAPERR, target);
}

void DirectChannel::move_off() {
    // The handler waited for the answer without a processor, most often on
    // this one, behind the engine: where a wake-up put the two together,
    // neither could ever watch for the other. The engine moves to another
    // processor it may use, if any, and may then come back anywhere.
    int here = sched_getcpu();
    cpu_set_t mine, others;
    if (here < 0 || sched_getaffinity(0, sizeof mine, &mine) != 0) return;
    others = mine;
    CPU_CLR(here, &others);
    if (CPU_COUNT(&others) > 0 && sched_setaffinity(0, sizeof others, &others) == 0) {
        sched_setaffinity(0, sizeof mine, &mine);
    }
}

void DirectChannel::answer_direct() {
    // The handler cannot set the trap flag for the guest (nor could the
    // guest itself from its own call).
    user_regs_struct a = p_.regs();
    a.eflags &= ~uint64_t{kTrapFlag};
    uint32_t words[NUV_DIRECT_CTX_WORDS] = {};
    store_words(words, a);
    words[NUV_CTX_CS] = (a.cs & 0xffff) == NUV_SITE_CS ? NUV_SITE_CS : NUV_USER_CS32;
    std::memcpy(page_->answer, words + NUV_CTX_EDI, sizeof page_->answer);
    in_handler_ = false;
    p_.mark_clean();
    if (load(page_->awake) == NUV_ENGINE_ASLEEP) store(page_->awake, NUV_ENGINE_AWAKE);
    mark_answered();
    if (load(page_->sleeping) != NUV_HANDLER_SPINNING) {
        syscall(SYS_futex, &page_->done, FUTEX_WAKE, 1, nullptr, nullptr, 0);
        watch_ = false;
    } else if (load(page_->beat) == beat_) {
        watch_ = false;
        move_off();
    }
    answered_ = RunLimits::Clock::now();
}

}  // namespace nuv::native
