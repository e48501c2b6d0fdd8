// A debugger attached to one process: the run loop (Kernel::step) hands it
// every stop a debugger cares about and learns from it how the guest goes on.
// The engine under the process must be made for debugging (Options::debugging).
#pragma once

#include <chrono>
#include <cstdint>
#include "engine.hpp"

namespace nuv {

class Task;
struct RunResult;

struct DebugEvent {
    enum Kind {
        Start,        // before the guest's first instruction
        Breakpoint,   // the guest ran int3: eip stands after it
        Stepped,      // one instruction ran
        Interrupted,  // stopped because the debugger asked (wants_stop): after a
                      // call, or where it stood when pause_fd() became readable
        Watched,      // a watchpoint fired; eip stands after the accessing instruction
        Fault,        // the guest faulted; it ends unless the debugger says Continue
                      // or Step (the guest then goes on from where it stands)
    };
    Kind kind = Start;
    uint32_t eip = 0;
    GuestFault fault;  // for Fault
    Watchpoint watch;  // for Watched
};

// How the guest goes on from a stop.
enum class DebugGo {
    Continue,
    Step,     // one instruction, then a Stepped stop
    Deliver,  // at a Fault: the fault's signal ends the process
    Kill,     // the process ends now
    Timeout,  // the run's deadline passed while the debugger held the guest
};

class Debugger {
  public:
    // The guest stands still; its registers and memory may be read and
    // written through the task. A debugger that waits for its client
    // waits no longer than deadline.
    virtual DebugGo stopped(Task& m, const DebugEvent& e,
                            std::chrono::steady_clock::time_point deadline) = 0;
    // Asked after each call the guest makes: whether it should stop there
    // (an interruption from the client, or a client that has just come).
    virtual bool wants_stop() = 0;
    // While the guest runs: a descriptor that, readable, may mean the
    // debugger wants it to stop where it stands (then asked through
    // wants_stop()); -1: none.
    virtual int pause_fd() const { return -1; }
    // The process has ended (its exit, a fault, a kill or a limit).
    virtual void ended(const RunResult& r) = 0;

  protected:
    ~Debugger() = default;
};

}  // namespace nuv
