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

NativeEngine::NativeEngine(const NativeOptions& opts)
    : opts_(opts),
      proc_(abi_of(opts_)),
      space_(proc_, abi_of(opts_)),
      sites_(proc_, space_, opts_.rewrite_sites_after) {
    proc_.set_hooks([this] { return pause(); },
                    [this] {
                        if (channel_ != nullptr) channel_->close_all();
                        space_.close();
                    });
    sites_.set_hook([this](bool on) {
        if (channel_ != nullptr) channel_->in_process(on ? policy_ : InProcessPolicy{});
    });
    if (opts_.stub_path.empty()) opts_.stub_path = default_stub_path(opts_.stand_in_64);
    if (opts_.tsc) tsc_next_ = *opts_.tsc;
    // On one processor a call on the direct path waits for the engine to be
    // scheduled; notifications hand over at once.
    if (opts_.stand_in_64 || !several_processors() || opts_.debugging) {
        opts_.direct_calls = false;
    }
    if (!opts_.direct_calls) sites_.off();
}

NativeEngine::~NativeEngine() {
    proc_.end();
}

bool NativeEngine::direct() const {
    return channel_ != nullptr && channel_->direct();
}

bool NativeEngine::in_process(const InProcessPolicy& policy) {
    // Of use only through rewritten sites: carried out once they are on.
    if (channel_ == nullptr || opts_.rewrite_sites_after == 0) return false;
    if (policy != policy_) {
        policy_ = policy;
        if (sites_.state() == CallSites::State::On) channel_->in_process(policy_);
    }
    return sites_.state() != CallSites::State::Off && channel_->runs_in_process();
}

int NativeEngine::event_fd() const {
    return channel_ != nullptr ? channel_->event_fd() : -1;
}

bool NativeEngine::pause() {
    if (released_) return false;  // only run() may take it back
    return channel_->pause();
}

bool NativeEngine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!space_.can_map(begin, size, perms)) return false;
    sites_.forget_call_site();
    if (sites_.in_the_way(begin, size)) sites_.off();
    if (!space_.map(begin, size, perms)) return false;
    if (perms & kPermExec) sites_.exec_changed(begin, size, true, false);
    return true;
}

bool NativeEngine::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!space_.can_map(begin, size, perms)) return false;
    sites_.forget_call_site();
    if (!space_.protect(begin, size, perms)) return false;
    sites_.exec_changed(begin, size, (perms & kPermExec) != 0, false);
    return true;
}

bool NativeEngine::unmap(uint32_t begin, uint32_t size) {
    if (!space_.can_map(begin, size, 0)) return false;
    sites_.forget_call_site();
    if (!space_.unmap(begin, size)) return false;
    sites_.exec_changed(begin, size, false, true);
    return true;
}

bool NativeEngine::read(uint32_t address, void* out, size_t n) {
    return space_.read(address, out, n);
}

bool NativeEngine::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    if (!proc_.alive() || !space_.guest_range(address, n)) return false;
    // Through the process's memory file: it writes read-only pages too.
    sites_.before_write(address, n);
    return space_.write(address, data, n);
}

Registers NativeEngine::registers() {
    return to_registers(proc_.regs());
}

void NativeEngine::set_registers(const Registers& r) {
    // A guest waiting in a call may take only some of them, or need a stop.
    if (channel_->set_registers(r)) return;
    set_general(proc_.regs(), r);
    proc_.mark_dirty();
}

void NativeEngine::reset_fpu() {
    user_fpregs_struct fp{};
    if (!pause() || ptrace(PTRACE_GETFPREGS, proc_.pid(), nullptr, &fp) != 0) return;
    // Empty stack, all exceptions masked, extended precision, round to nearest.
    fp.cwd = 0x037F;
    fp.swd = 0;
    fp.ftw = 0;  // the abridged tag word: every register empty
    fp.fop = 0;
    fp.rip = 0;
    fp.rdp = 0;
    fp.mxcsr = 0x1F80;
    std::memset(fp.st_space, 0, sizeof fp.st_space);
    ptrace(PTRACE_SETFPREGS, proc_.pid(), nullptr, &fp);
}

std::array<uint8_t, 10> NativeEngine::st0() {
    std::array<uint8_t, 10> out{};
    user_fpregs_struct fp{};
    if (pause() && ptrace(PTRACE_GETFPREGS, proc_.pid(), nullptr, &fp) == 0) {
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
    uint32_t at = proc_.gate() + kGateScratch;
    int64_t r = 0;
    if (!space_.poke(at, value, size) || !proc_.remote(abi.setitimer, {0, at, 0}, r) || r != 0) {
        return false;
    }
    armed_ = deadline;
    return true;
}

}  // namespace nuv
