// Where the run loop meets a debugger: a stop handed to it and what it
// says next, and a guest stopped where it stands when the debugger asks.
#include <csignal>

#include "kernel.hpp"

namespace nuv {

bool Kernel::debug_stop(Task& t, const DebugEvent& e, RunLimits& limits, Step& step,
                        Deadline deadline) {
    RunResult& res = step.result;
    switch (t.debugger()->stopped(t, e, deadline)) {
        case DebugGo::Continue:
            limits.step = false;
            return true;
        case DebugGo::Step:
            limits.step = true;
            return true;
        case DebugGo::Deliver:
            return false;
        case DebugGo::Kill:
            res.stop = Stop::Fault;
            res.fault = GuestFault::at(FaultKind::Killed, t.engine().registers().eip);
            return false;
        case DebugGo::Timeout:
            res.stop = Stop::Timeout;
            res.message = "time limit reached at eip " + hex(t.engine().registers().eip) +
                          " (stopped in the debugger)";
            return false;
    }
    return false;
}

EngineEvent Kernel::pause_for_debugger(Task& t, const RunLimits& limits) {
    // A guest that runs alongside is stopped where it stands, as at a
    // deadline; whatever it did first is told instead.
    static const volatile std::sig_atomic_t now = 1;
    RunLimits at_once = limits;
    at_once.interrupted = &now;
    at_once.others = nullptr;
    EngineEvent ev = t.engine().run(at_once);
    if (ev.stop == EngineStop::Timeout && !limits.cut_short()) {
        ev.stop = EngineStop::Paused;
        ev.message.clear();
    }
    return ev;
}

}  // namespace nuv
