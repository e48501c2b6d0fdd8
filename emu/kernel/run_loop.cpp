// The run loop: a process's engine runs its guest until something happens,
// and the kernel serves the call, hands the stop to a debugger, or ends the
// process.
#include <algorithm>
#include <chrono>

#include "kernel.hpp"

namespace nuv {

// What a call's handler uses: the calling task and the kernel's services.
class Kernel::Frame final : public CallContext {
  public:
    Frame(Kernel& k, Task& t) : k_(k), t_(t) {}
    Process& process() override { return t_.process(); }
    GuestMemory& memory() override { return t_.memory(); }
    bool resuming() const override { return t_.loop().resuming; }
    std::optional<Outcome::Clock::time_point> wake_time() const override { return t_.loop().wake; }
    bool skip_sleep() const override { return t_.options().skip_sleep; }
    // Whichever process waits on the host gives way to the run's debugger:
    // the debugged process may be waiting on this one.
    int attention_fd() const override {
        const Debugger* d = t_.debugger() != nullptr ? t_.debugger() : k_.first_->debugger();
        return d != nullptr ? d->pause_fd() : -1;
    }
    int32_t spawn(const std::string& path, const std::vector<std::string>& args,
                  const Stdio& how) override {
        return k_.spawn(t_, path, args, how);
    }
    Outcome waitpid(int32_t pid, uint32_t status_address, int32_t options) override {
        return k_.waitpid(t_, pid, status_address, options);
    }
    int32_t stream_begin(std::string absolute_path) override {
        return k_.stream_begin(t_, std::move(absolute_path));
    }
    int32_t stream_write(int32_t stream, uint32_t address, uint32_t length) override {
        return k_.stream_write(t_, stream, address, length);
    }
    int32_t stream_end(int32_t stream) override { return k_.stream_end(t_, stream); }
    std::shared_ptr<PipeBuffer> named_pipe(uint64_t device, uint64_t inode) override {
        return k_.named_pipe(device, inode);
    }

  private:
    Kernel& k_;
    Task& t_;
};

RunResult Kernel::run(int32_t argc, const std::vector<std::optional<std::string>>& entries) {
    if (Status s = first_->prepare_start(argc, entries); !s) {
        RunResult r;
        r.message = s.error().message;
        return r;
    }
    return emulate(*first_, first_->image().entry);
}

RunResult Kernel::call(uint32_t address, std::span<const uint32_t> words) {
    Task& t = *first_;
    uint32_t sp = (Task::kStackTop - 64 - static_cast<uint32_t>(words.size()) * 4) & ~15u;
    t.memory().load(sp, words.data(), words.size() * 4);
    sp -= 4;
    const uint32_t ret = Task::kReturnAddress;
    t.memory().load(sp, &ret, 4);
    Registers r = t.engine().registers();
    r.esp = sp;
    t.engine().set_registers(r);
    t.engine().reset_fpu();
    return emulate(t, address);
}

int32_t Kernel::dispatch(Task& t, const SyscallArgs& a, bool resuming) {
    const SyscallDef* def = t.syscall(a.nr);
    t.loop().blocked = false;
    t.loop().resuming = resuming;
    Frame frame(*this, t);
    Outcome o = def != nullptr && def->handler ? def->handler(frame, a) : Outcome(-1);
    t.loop().resuming = false;
    switch (o.kind) {
        case Outcome::Done:
            break;
        case Outcome::Block:
            t.loop().blocked = true;
            if (o.wake) t.loop().wake = o.wake;
            break;
        case Outcome::Yield:
            t.loop().yield = true;
            break;
        case Outcome::Exit:
            t.loop().exited = true;
            t.loop().status = o.value;
            return 0;
    }
    return o.value;
}

void Kernel::finish_call(Task& t, const SyscallArgs& a, int32_t result, uint32_t eip,
                         Clock::time_point since) {
    if (t.options().record_traps) t.traps().push_back(TrapRecord{a, result, eip});
    const Options& o = t.options();
    if (o.trace != nullptr || o.tally) {
        const auto took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since);
        const SyscallDef* def = t.syscall(a.nr);
        if (o.tally) o.tally->add(a.nr, def != nullptr ? def->name : nullptr, result, took);
        if (o.trace != nullptr) trace_call(t, def, a, result, o.call_times ? &took : nullptr);
    }
    // After the exit call EAX is left alone.
    if (!t.loop().exited) t.engine().set_eax(static_cast<uint32_t>(result));
}

void Kernel::release(Task& t, Deadline deadline) {
    // A profiled guest runs only in the slices the kernel times.
    if (t.options().profile && !t.engine().counts()) return;
    RunLimits limits;
    limits.deadline = deadline;
    limits.return_address = Task::kReturnAddress;
    t.loop().started = true;
    grant_in_process(t);
    t.loop().released = t.engine().release(limits);
}

bool Kernel::retry_pending(Task& t) {
    if (!t.loop().pending) return true;
    int32_t result = dispatch(t, t.loop().pending->args, true);
    if (t.loop().blocked) {
        t.set_pending(t.loop().pending);  // a sleeper may now have a wake time
        return false;
    }
    Task::Pending p = *t.loop().pending;
    t.set_pending(std::nullopt);
    finish_call(t, p.args, result, p.eip, p.since);
    return true;
}

void Kernel::fail_pending(Task& t, int32_t result) {
    if (!t.loop().pending) return;
    Task::Pending p = *t.loop().pending;
    t.set_pending(std::nullopt);
    finish_call(t, p.args, result, p.eip, p.since);
}

RunResult Kernel::emulate(Task& t, uint32_t begin) {
    Deadline deadline = Deadline::max();
    if (t.options().timeout_us != 0) {
        deadline =
            std::chrono::steady_clock::now() + std::chrono::microseconds(t.options().timeout_us);
    }
    t.set_pending(std::nullopt);
    t.loop().exited = false;
    Registers r = t.engine().registers();
    r.eip = begin;
    t.engine().set_registers(r);
    Step s = step(t, deadline);
    while (s.blocked || s.yielded) {
        // Other processes run until this one can go on.
        if (!schedule(t, s.blocked, deadline)) {
            t.set_pending(std::nullopt);
            RunResult timeout;
            timeout.stop = Stop::Timeout;
            timeout.message =
                std::string(t.options().cut_short() ? "interrupted" : "time limit reached") +
                " while waiting in call " + std::to_string(t.loop().last_nr);
            return timeout;
        }
        s = step(t, deadline);
    }
    if (t.debugger() != nullptr) t.debugger()->ended(s.result);
    return s.result;
}

Kernel::Step Kernel::step(Task& t, Deadline deadline, Deadline slice, int attention) {
    const Deadline bound = std::min(deadline, slice);
    t.loop().started = true;
    t.loop().blocked = false;
    t.loop().yield = false;
    Step step;
    if (t.loop().debug_kill) {
        // Ended by the debugger while it waited in a call.
        t.loop().debug_kill = false;
        t.set_pending(std::nullopt);
        step.result.stop = Stop::Fault;
        step.result.fault = GuestFault::at(FaultKind::Killed, t.engine().registers().eip);
        return step;
    }
    RunLimits limits;
    limits.deadline = bound;
    limits.interrupted = t.options().interrupted;
    limits.record = t.options().run_record;
    limits.max_instructions = t.options().max_instructions;
    limits.return_address = Task::kReturnAddress;
    limits.others = &t.loop().others;
    Debugger* debugger = t.debugger();
    // What the run watches besides the guest: the other processes' calls
    // and the debugger's connection (which a stop may change).
    auto watch_fds = [&] {
        event_fds(t, t.loop().others);
        if (attention >= 0 && t.engine().concurrent()) t.loop().others.push_back(attention);
        limits.pause_fd = debugger != nullptr ? debugger->pause_fd() : -1;
        if (limits.pause_fd >= 0 && t.engine().concurrent()) {
            t.loop().others.push_back(limits.pause_fd);
        }
    };
    watch_fds();
    // A stop the debugger is owed before the guest moves; false: the run ends.
    auto tell = [&](DebugEvent::Kind kind) {
        if (!debug_stop(t, {kind, t.engine().registers().eip, {}, {}}, limits, step, deadline)) {
            return false;
        }
        watch_fds();
        return true;
    };
    if (debugger != nullptr && !t.loop().debug_began) {
        t.loop().debug_began = true;
        if (!tell(DebugEvent::Start)) return step;
    }
    if (debugger != nullptr && t.loop().debug_step) {
        // Stepped while it waited in a call, which is now done.
        t.loop().debug_step = false;
        if (!tell(DebugEvent::Stepped)) return step;
    }
    // A profile of an engine that does not sample itself: runs in slices
    // of running time, a sample at the end of each.
    Profile* timed =
        t.options().profile && !t.engine().counts() ? t.options().profile.get() : nullptr;
    for (;;) {
        if (!t.loop().released) grant_in_process(t);
        const Clock::time_point began = timed != nullptr ? Clock::now() : Clock::time_point{};
        if (timed != nullptr && !t.loop().released) {
            const auto left = timed->every_time() - t.loop().profile_owed;
            limits.deadline = began + left < bound ? began + left : bound;
        }
        EngineEvent ev = t.engine().run(limits);
        t.loop().released = false;
        if (ev.stop == EngineStop::Others && debugger != nullptr && debugger->wants_stop()) {
            ev = pause_for_debugger(t, limits);
        }
        settle_in_process(t);
        if (timed != nullptr) {
            const Clock::time_point now = Clock::now();
            t.loop().profile_owed += now - began;
            limits.deadline = bound;
            const bool slice_over = t.loop().profile_owed >= timed->every_time();
            if (slice_over || ev.stop == EngineStop::Timeout) timed->finish(t);
            // The slice's end, not the run's: the guest goes on.
            if (ev.stop == EngineStop::Timeout && now < bound && !t.options().cut_short()) {
                continue;
            }
        }
        RunResult& res = step.result;
        switch (ev.stop) {
            case EngineStop::Trap:
                if (!serve(t, ev.eip, step, deadline)) {
                    if (!t.loop().debug_pause) return step;
                    t.loop().debug_pause = false;
                    if (!debug_stop(t, {DebugEvent::Interrupted, ev.eip, {}, {}}, limits, step,
                                    deadline)) {
                        return step;
                    }
                    watch_fds();
                }
                continue;
            case EngineStop::Paused:
                // The debugger's connection stirred: a client that asks for
                // a stop, one that has just come, or one that went away.
                if (debugger != nullptr && debugger->wants_stop()) {
                    if (!debug_stop(t, {DebugEvent::Interrupted, ev.eip, {}, {}}, limits, step,
                                    deadline)) {
                        return step;
                    }
                }
                watch_fds();
                continue;
            case EngineStop::Watched:
                if (debugger != nullptr) {
                    if (!debug_stop(t, {DebugEvent::Watched, ev.eip, {}, ev.watch}, limits, step,
                                    deadline)) {
                        return step;
                    }
                    watch_fds();
                    continue;
                }
                // Nobody set it: a debug trap where no debugger is.
                res.stop = Stop::Fault;
                res.fault = GuestFault::interrupt(1, ev.eip);
                return step;
            case EngineStop::Breakpoint:
            case EngineStop::Stepped:
                if (debugger != nullptr) {
                    DebugEvent::Kind k = ev.stop == EngineStop::Breakpoint ? DebugEvent::Breakpoint
                                                                           : DebugEvent::Stepped;
                    if (!debug_stop(t, {k, ev.eip, {}, {}}, limits, step, deadline)) return step;
                    watch_fds();
                    continue;
                }
                res.stop = Stop::Fault;
                res.fault =
                    GuestFault::interrupt(ev.stop == EngineStop::Breakpoint ? 3 : 1, ev.eip);
                return step;
            case EngineStop::Returned:
                res.stop = Stop::Returned;
                return step;
            case EngineStop::Others:
                step.yielded = true;
                return step;
            case EngineStop::Limit:
                res.stop = Stop::Limit;
                break;
            case EngineStop::Timeout:
                if (slice < deadline && Clock::now() < deadline && !t.options().cut_short()) {
                    // The stretch is over, not the run.
                    step.yielded = true;
                    return step;
                }
                res.stop = Stop::Timeout;
                break;
            case EngineStop::Fault:
            case EngineStop::Failed:
                res.stop = Stop::Fault;
                break;
        }
        res.message = ev.message;
        if (ev.stop == EngineStop::Fault) {
            res.fault = ev.fault;
            if (t.options().on_fault) t.options().on_fault(t, ev.fault);
            if (debugger != nullptr) {
                RunLimits after = limits;
                if (debug_stop(t, {DebugEvent::Fault, ev.eip, ev.fault, {}}, after, step,
                               deadline)) {
                    // Kept for the debugger, which lets it go on from where
                    // it stands (the faulting instruction, unless moved).
                    limits.step = after.step;
                    res = RunResult{};
                    watch_fds();
                    continue;
                }
                // Otherwise the fault ends the process.
                res.stop = Stop::Fault;
                res.fault = ev.fault;
                res.message = ev.message;
            }
        }
        return step;
    }
}

bool Kernel::serve(Task& t, uint32_t eip, Step& step, Deadline deadline) {
    Registers regs = t.engine().registers();
    SyscallArgs a;
    a.nr = regs.eax;
    a.ebx = regs.ebx;
    a.ecx = regs.ecx;
    a.edx = regs.edx;
    a.esi = regs.esi;
    a.edi = regs.edi;
    a.ebp = regs.ebp;
    const Clock::time_point since = Clock::now();
    int32_t result = dispatch(t, a, false);
    if (t.loop().blocked) {
        // Stopped at the trap until the call can complete.
        t.set_pending(Task::Pending{a, eip, since});
        t.loop().last_nr = a.nr;
        step.blocked = true;
        return false;
    }
    finish_call(t, a, result, eip, since);
    release_ready(t, deadline);
    if (t.loop().exited) {
        step.result.stop = Stop::Exited;
        step.result.status = t.loop().status;
        return false;
    }
    if (t.loop().yield) {
        step.yielded = true;
        return false;
    }
    if (t.debugger() != nullptr && t.debugger()->wants_stop()) {
        t.loop().debug_pause = true;
        return false;
    }
    return true;
}

}  // namespace nuv
