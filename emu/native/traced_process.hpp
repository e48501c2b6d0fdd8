// The guest process as the tracer holds it: its id and the thread that
// traces it, the last stop, the register cache, the gate and its key. This
// is where the guest is moved on (resume(): the engine's invariant, in one
// place; see native_engine.hpp), waited for (always with a bound), made to
// run the engine's own calls at the gate (remote()) and ended.
//
// Two things it cannot do alone come from whoever composes it, as hooks:
// bringing the guest to a stop (which depends on how its calls reach the
// engine) and closing what others hold for the process when it ends.
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>

#include "engine.hpp"

namespace nuv::native {

struct Abi;

class TracedProcess {
  public:
    using Clock = RunLimits::Clock;
    // How long a wait for a stop the engine asked for may take.
    static constexpr auto kStopBound = std::chrono::seconds(2);
    enum class ResumeBy { Continue, Step, Detach };

    explicit TracedProcess(const Abi& abi) : abi_(abi) {}
    ~TracedProcess();
    TracedProcess(const TracedProcess&) = delete;
    TracedProcess& operator=(const TracedProcess&) = delete;

    // pause: brings the guest to a tracing stop, its registers read.
    // ended: the process is about to be killed; what is held for it closes.
    void set_hooks(std::function<bool()> pause, std::function<void()> ended);

    // The process, once started, and the thread that traces it.
    void started(pid_t pid, pid_t tracer);
    pid_t pid() const { return pid_; }
    pid_t tracer() const { return tracer_; }
    bool alive() const { return pid_ > 0; }
    // It ended and was reaped by whoever found out.
    void lost() { pid_ = -1; }

    uint32_t gate() const { return gate_; }
    void set_gate(uint32_t at) { gate_ = at; }
    const uint32_t* key() const { return key_; }
    void set_key(uint32_t k0, uint32_t k1) {
        key_[0] = k0;
        key_[1] = k1;
    }

    // The register cache: read at a stop, written back before the guest moves.
    user_regs_struct& regs() { return regs_; }
    const user_regs_struct& regs() const { return regs_; }
    void mark_dirty() { regs_dirty_ = true; }
    void mark_clean() { regs_dirty_ = false; }
    bool load_regs();
    bool flush_regs();
    // A call a signal interrupted before the engine read it is made again.
    void restart_interrupted();

    bool at_seccomp_stop();
    // The last stop is no longer known (a new attach).
    void forget_stop() { stop_ = -1; }
    // The only way a stopped guest is moved on; sig: a signal delivered as
    // it goes. At a seccomp stop the call is skipped first.
    bool resume(ResumeBy how, int sig = 0);
    // Waits for the next stop until `until`; false when the process is gone,
    // or did not stop in time (it is then ended).
    bool wait_stop(int& status, Clock::time_point until);
    bool wait_stop(int& status) { return wait_stop(status, Clock::now() + kStopBound); }
    // Through the pause hook.
    bool pause() { return pause_ ? pause_() : false; }
    // One Linux system call made by the guest process at the gate; false
    // when the process could not make it.
    bool remote(uint32_t nr, std::initializer_list<uint64_t> args, int64_t& result);
    // Kills and reaps the process, after the ended hook.
    void end();

  private:
    const Abi& abi_;
    pid_t pid_ = -1;
    pid_t tracer_ = -1;
    uint32_t key_[2] = {0, 0};  // the gate's key
    uint32_t gate_ = 0;
    int stop_ = -1;  // the last stop's wait status; -1: none known
    user_regs_struct regs_{};
    bool regs_dirty_ = false;
    std::function<bool()> pause_;
    std::function<void()> ended_;
};

}  // namespace nuv::native
