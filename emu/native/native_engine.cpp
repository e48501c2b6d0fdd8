#include "native_engine.hpp"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "filter.h"
#include "native_abi.hpp"
#include "native_channel.hpp"
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
    if (!opts_.direct_calls) sites_state_ = Sites::Off;
}

NativeEngine::~NativeEngine() {
    end_process();
}

bool NativeEngine::direct() const {
    return channel_ != nullptr && channel_->direct();
}

bool NativeEngine::in_process(const InProcessPolicy& policy) {
    // Of use only through rewritten sites: carried out once they are on.
    if (channel_ == nullptr || opts_.rewrite_sites_after == 0) return false;
    if (policy != policy_) {
        policy_ = policy;
        if (sites_state_ == Sites::On) channel_->in_process(policy_);
    }
    return sites_state_ != Sites::Off && channel_->runs_in_process();
}

int NativeEngine::event_fd() const {
    return channel_ != nullptr ? channel_->event_fd() : -1;
}

void NativeEngine::end_process() {
    if (channel_ != nullptr) channel_->close_all();
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

bool NativeEngine::at_seccomp_stop() {
    siginfo_t si{};
    if (ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0) {
        return si.si_signo == SIGTRAP && si.si_code == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8));
    }
    return is_seccomp_stop(stop_);
}

bool NativeEngine::resume(ResumeBy how, int sig) {
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
        case ResumeBy::Continue:
            return ptrace(PTRACE_CONT, pid_, nullptr, data) == 0;
        case ResumeBy::Step:
            return ptrace(PTRACE_SINGLESTEP, pid_, nullptr, data) == 0;
        case ResumeBy::Detach:
            return ptrace(PTRACE_DETACH, pid_, nullptr, data) == 0;
    }
    return false;
}

bool NativeEngine::pause() {
    if (released_) return false;  // only run() may take it back
    return channel_->pause();
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

bool NativeEngine::remote(uint32_t nr, std::initializer_list<uint64_t> args, int64_t& result) {
    if (!pause()) return false;
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

bool NativeEngine::guest_range(uint32_t address, uint64_t n) const {
    uint64_t end = uint64_t{address} + n;
    return end <= kSpaceEnd && (end <= gate_ || address >= uint64_t{gate_} + kGateSize);
}

bool NativeEngine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    // No page is ever both writable and executable.
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    forget_call_site();
    if (sites_in_the_way(begin, size)) sites_off();
    if (!map_exactly(begin, size, perms)) return false;
    if (perms & kPermExec) track_exec(begin, size, true, false);
    return true;
}

bool NativeEngine::map_exactly(uint32_t at, uint32_t size, uint32_t perms) {
    const Abi& abi = abi_of(opts_);
    int64_t r = 0;
    if (!remote(abi.mmap,
                {at, size, linux_prot(perms), kMapPrivate | kMapAnonymous | kMapFixedNoreplace,
                 ~0ull, 0},
                r)) {
        return false;
    }
    if (r == int64_t{at}) return true;
    // A kernel that ignores the no-replace flag may have placed it elsewhere.
    if (r > 0 || r < -4095) remote(abi.munmap, {static_cast<uint64_t>(r), size}, r);
    return false;
}

bool NativeEngine::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    forget_call_site();
    int64_t r = 0;
    if (!remote(abi_of(opts_).mprotect, {begin, size, linux_prot(perms)}, r) || r != 0)
        return false;
    track_exec(begin, size, (perms & kPermExec) != 0, false);
    return true;
}

bool NativeEngine::unmap(uint32_t begin, uint32_t size) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    forget_call_site();
    int64_t r = 0;
    if (!remote(abi_of(opts_).munmap, {begin, size}, r) || r != 0) return false;
    track_exec(begin, size, false, true);
    return true;
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
    if (checked_ip_ != 0 && address < checked_ip_ && address + n + 2 > checked_ip_) {
        forget_call_site();
    }
    // Through the process's memory file: it writes read-only pages too. A
    // rewritten site written over is the guest's own code again.
    if (!sites_.empty()) {
        for (auto it = sites_.lower_bound(address > 0 ? address - 1 : 0);
             it != sites_.end() && *it < uint64_t{address} + n;) {
            it = sites_.erase(it);
        }
    }
    return pwrite(mem_fd_, data, n, address) == static_cast<ssize_t>(n) &&
           (exec_pages_.empty() || write_shadow(address, data, n));
}

Registers NativeEngine::registers() {
    return to_registers(regs_);
}

void NativeEngine::set_registers(const Registers& r) {
    // A guest waiting in a call may take only some of them, or need a stop.
    if (channel_->set_registers(r)) return;
    set_general(regs_, r);
    regs_dirty_ = true;
}

void NativeEngine::reset_fpu() {
    user_fpregs_struct fp{};
    if (!pause() || ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) != 0) return;
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
    if (pause() && ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) == 0) {
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

}  // namespace nuv
