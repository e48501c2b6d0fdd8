// The Unicorn engine's run loop. The emulator runs on a fiber: run() enters
// it, and it comes back when uc_emu_start has returned (a fault, a limit, the
// return address, a stop) or, at a trap, from inside the interrupt hook,
// where it waits for the next run() to let the guest go on. A run started
// anew costs Unicorn's start (it drops the translated blocks at every exit
// of the instruction guard, some in hot code); a trap costs two switches.
#include <unicorn/unicorn.h>

#include <string>

#include "insn_guard.hpp"
#include "slow_path.hpp"
#include "unicorn_engine.hpp"
#include "unicorn_internal.hpp"

namespace nuv {
namespace {

// Room for the emulator's translating and for the hooks; only the pages
// touched are ever made.
constexpr size_t kFiberStack = size_t{8} << 20;

}  // namespace

void UnicornEngine::fiber_body(void* self) {
    auto* e = static_cast<UnicornEngine*>(self);
    while (e->order_ == Order::Start) {
        guard::GuardedStop stop = e->guard_->start(e->start_eip_, e->run_until_, 0, 0);
        e->ended_error_ = stop.error;
        e->ended_refused_ = stop.refused;
        e->fiber_->leave();
    }
}

bool UnicornEngine::enter(Order order) {
    if (fiber_ == nullptr) {
        fiber_ = Fiber::create(kFiberStack, &UnicornEngine::fiber_body, this);
        if (fiber_ == nullptr) return false;
    }
    order_ = order;
    // A crash inside the emulator is placed in this engine's guest.
    if (record_ != nullptr) record_->running(this);
    fiber_->enter();
    if (record_ != nullptr) record_->running(nullptr);
    return true;
}

bool UnicornEngine::suspend_at_trap() {
    if (fiber_ == nullptr || !fiber_->inside()) return false;  // a run outside the fiber
    suspended_ = true;
    fiber_->leave();
    // Entered again: to go on, or to end here (the hook then stops the run,
    // and must not write EIP for that, which would undo the stop).
    suspended_ = false;
    trapped_ = false;
    if (order_ != Order::Go) return false;
    // A trap is a safe place to stop for emptying the cache.
    if (watch_ != nullptr && watch_->wanted.load() && !cache_full_) {
        cache_full_ = true;
        return false;
    }
    return true;
}

void UnicornEngine::end_suspended() {
    if (!suspended_) return;
    enter(Order::End);
    // What stopped it is of no interest: the guest stands after its trap.
    trapped_ = false;
}

void UnicornEngine::ask_stop() {
    // Async-signal-safe: a lock-free count and a request the emulator looks
    // at between blocks (or, at a trap, as soon as the guest goes on).
    stops_asked_.fetch_add(1);
    uc_emu_stop(uc_);
}

void UnicornEngine::interrupt() {
    ask_stop();
}

bool UnicornEngine::set_watchpoints(std::span<const Watchpoint> w) {
    if (w.size() > kMaxWatchpoints || (!debugging_ && !w.empty())) return false;
    for (const Watchpoint& one : w) {
        const uint32_t n = one.length;
        if ((n != 1 && n != 2 && n != 4) || one.address % n != 0) return false;
    }
    // The data hook is in every translated block from the start (debugging).
    watchpoints_.assign(w.begin(), w.end());
    return true;
}

void UnicornEngine::empty_translation_cache() {
    // Unicorn must not be running: its own flush when the buffer is full, in
    // the middle of translating, is what fails.
    end_suspended();
    uc_ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0));
    code_.release();
    budget_.emptied();
    cache_full_ = false;
    if (watch_) watch_->wanted = false;
    ++flushes_;
}

EngineEvent UnicornEngine::run(const RunLimits& limits) {
    install_hooks();
    record_ = limits.record;
    // The watch starts with the first run, so that an engine that never runs
    // has no thread (a process that forks keeps only the forking thread).
    if (!watch_) watch_ = std::make_unique<Watch>(*this);
    // One look at the clock serves the cache's check and the first test of
    // the deadline (a run per trap: every look counts); the watch must know
    // of the run before it (see Watch::entering).
    watch_->entering(limits.deadline);
    RunLimits::Clock::time_point now = RunLimits::Clock::now();
    if (code_.found() && now - checked_ >= check_every_) {
        checked_ = now;
        if (code_.used() >= code_limit_) empty_translation_cache();
    }
    limit_hit_ = false;
    fault_ = GuestFault{};
    slow_path::run_begins();
    max_insns_ = limits.max_instructions;
    EngineEvent ev;
    breakpoint_ = stepped_ = false;
    watch_pending_ = watched_ = paused_ = false;
    pause_fd_ = debugging_ ? limits.pause_fd : -1;
    step_armed_ = debugging_ && limits.step;
    step_begun_ = false;
    if (step_armed_ && step_owed_) {
        // The step ended at a trap that was served outside the run.
        step_owed_ = step_armed_ = false;
        watch_->left();
        ev.stop = EngineStop::Stepped;
        ev.eip = eip_of(uc_);
        return ev;
    }
    step_owed_ = false;
    const uint32_t until = limits.return_address;
    // A guest left at a trap goes on where it stands when the run asked for
    // now is the one it is in: the same return address and exits. The
    // deadline, the instruction limit and the step are looked at as it goes.
    if (suspended_ && (until != run_until_ || guard_->stale())) end_suspended();
    uint32_t eip = 0;
    for (bool first = true;; first = false) {
        if (!first) {
            watch_->entering(limits.deadline);
            now = RunLimits::Clock::now();
        }
        if (limits.cut_short() || now >= limits.deadline) {
            watch_->left();
            eip = eip_of(uc_);
            ev.stop = EngineStop::Timeout;
            ev.eip = eip;
            ev.message =
                (limits.cut_short() ? "interrupted at eip " : "time limit reached at eip ") +
                hex(eip);
            return ev;
        }
        if (!suspended_) {
            trapped_ = false;
            start_eip_ = eip_of(uc_);
            run_until_ = until;
            stops_at_start_ = stops_asked_.load();
        }
        const bool entered = enter(suspended_ ? Order::Go : Order::Start);
        watch_->left();
        if (!entered) {
            ev.stop = EngineStop::Failed;
            ev.eip = eip_of(uc_);
            ev.message = "no stack for the emulator";
            return ev;
        }
        if (suspended_) {
            // At a trap, the emulator waiting inside its hook.
            ev.stop = EngineStop::Trap;
            ev.eip = eip_of(uc_);
            step_owed_ = step_armed_;
            step_armed_ = false;
            return ev;
        }
        eip = eip_of(uc_);
        // Stopped by nothing the guest did: by interrupt(), the deadline, the
        // watch, or to empty the cache.
        const bool no_reason = ended_error_ == UC_ERR_OK && !trapped_ &&
                               fault_.kind == FaultKind::None && !limit_hit_ && !ended_refused_ &&
                               eip != until && !breakpoint_ && !stepped_ && !watched_ && !paused_;
        const bool asked = stops_asked_.load() != stops_at_start_;
        if (watch_->wanted.load()) {
            // The watch may have looked just before the cache was emptied.
            if (code_.used() >= code_limit_) {
                cache_full_ = true;
            } else {
                watch_->wanted = false;
            }
        }
        const bool emptied = cache_full_;
        if (cache_full_) empty_translation_cache();
        // Such a run goes on (the loop's first test ends it when its time is
        // up or it was cut short).
        if (no_reason && (asked || emptied)) continue;
        break;
    }
    ev.eip = eip;
    const bool step_open = step_armed_;
    step_armed_ = false;
    const auto err = static_cast<uc_err>(ended_error_);
    if (fault_.kind != FaultKind::None) {
        ev.stop = EngineStop::Fault;
        if (fault_.memory()) {
            fault_.eip = eip;
        } else if (fault_.eip != eip) {
            // Stopped past the instruction its hook named: the guest stands
            // on it, as on the processor.
            uc_reg_write(uc_, UC_X86_REG_EIP, &fault_.eip);
            ev.eip = fault_.eip;
        }
        ev.fault = fault_;
    } else if (trapped_) {
        ev.stop = EngineStop::Trap;
        step_owed_ = step_open;
    } else if (watched_) {
        ev.stop = EngineStop::Watched;
        ev.watch = watch_hit_;
    } else if (breakpoint_) {
        ev.stop = EngineStop::Breakpoint;
    } else if (stepped_) {
        ev.stop = EngineStop::Stepped;
    } else if (paused_) {
        ev.stop = EngineStop::Paused;
    } else if (limit_hit_) {
        ev.stop = EngineStop::Limit;
        ev.message =
            "instruction limit of " + std::to_string(max_insns_) + " reached at eip " + hex(eip);
    } else if (err != UC_ERR_OK) {
        ev.stop = EngineStop::Fault;
        ev.fault.kind = FaultKind::Emulator;
        ev.fault.eip = eip;
        ev.fault.detail = uc_strerror(err);
    } else if (ended_refused_) {
        ev.stop = EngineStop::Fault;
        ev.fault.kind = FaultKind::Invalid;
        ev.fault.eip = eip;
        ev.fault.detail = guard::describe(guard_->refusal(eip));
    } else if (until != 0 && eip == until) {
        ev.stop = EngineStop::Returned;
    } else {
        ev.stop = EngineStop::Fault;
        ev.fault.kind = FaultKind::Halt;
        ev.fault.eip = eip;
    }
    return ev;
}

}  // namespace nuv
