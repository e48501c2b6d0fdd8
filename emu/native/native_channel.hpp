// How a native guest's calls reach the engine: a call channel. Two kinds,
// chosen when the guest process starts:
//
// - NotifyChannel (native_notify.cpp): the guest, always traced, waits in
//   its call while the engine reads it as a seccomp notification and
//   answers it; without a notification descriptor (the 64-bit stand-in, a
//   kernel without them) each call is a stop for the tracer instead.
// - DirectChannel (native_direct.cpp): the guest, untraced, posts its calls
//   and faults on a call page shared with the engine and waits in its own
//   handler for the answer; the engine attaches only for what an answer
//   cannot do.
//
// A channel works the guest through the engine's parts (the traced process,
// its address space, its call sites), never the engine itself: it moves the
// guest only through TracedProcess::resume(), and waits for it only with a
// deadline, as the engine does (native_engine.hpp).
#pragma once

#include <signal.h>
#include <sys/user.h>

#include <memory>
#include <optional>
#include <string>

#include "address_space.hpp"
#include "call_sites.hpp"
#include "engine.hpp"
#include "result.hpp"
#include "traced_process.hpp"

namespace nuv::native {

// What a wait for the guest found.
enum class Wait {
    Event,     // a call or fault for run()'s caller, in the event
    Stopped,   // the guest stands at a tracing stop; the status says which
    Gone,      // the guest process ended; the status says how, if known
    Others,    // another process's descriptor is ready; the guest runs on
    Deadline,  // the run's deadline passed; the guest runs on
    Signal,    // the guest stands at a tracing stop for the signal that
               // posted_signal() tells of, read from where the channel got it
};

// What became of a guest sent on.
enum class Resume {
    Running,  // it runs (or waits for its next call's answer)
    Stopped,  // it stands at a tracing stop, the status says which
    Gone,     // it ended
    Failed,   // it could not be moved (errno says why)
};

class CallChannel {
  public:
    CallChannel(TracedProcess& process, AddressSpace& space, CallSites& sites)
        : p_(process), space_(space), sites_(sites) {}
    virtual ~CallChannel() = default;
    CallChannel(const CallChannel&) = delete;
    CallChannel& operator=(const CallChannel&) = delete;

    // Whether this is the direct path with its call page.
    virtual bool direct() const = 0;
    // Ready when the guest has news for the engine (Engine::event_fd).
    virtual int event_fd() const = 0;
    // At the hand-over, with the registers of the stub's hand-over call:
    // takes what the stub set up for this path.
    virtual Status take_over(const user_regs_struct& at) = 0;
    // The guest goes on: the call it waits in answered with the engine's
    // registers, or moved on (by a single step if `step`) from where it stands.
    virtual Resume answer_event(int& status, bool step) = 0;
    // The guest's next event within the run's limits.
    virtual Wait wait(int& status, EngineEvent& ev, const RunLimits& limits) = 0;
    // Brings the guest to a tracing stop where it stands, every register
    // in the engine's copy, a call it waits in still unanswered.
    virtual bool pause() = 0;
    // Stops a running guest where it stands by `until`, its registers read;
    // false when it did not.
    virtual bool pause_by(RunLimits::Clock::time_point until, int& status);
    // Sets the guest running on its own until the deadline (Engine::release).
    virtual bool release(const RunLimits& limits) = 0;
    // Whether the guest keeps to a run's deadline only by the engine's
    // timer in its process (else by the channel's own bounded waits).
    virtual bool needs_timer() const = 0;
    // After Wait::Signal: the signal.
    virtual siginfo_t posted_signal() const { return {}; }
    // Sets the guest's registers where the channel must; false: the engine
    // sets its copy as at any stop.
    virtual bool set_registers(const Registers&) { return false; }
    // What the guest may do in its own process (Engine::in_process); an
    // empty policy takes everything back.
    virtual void in_process(const InProcessPolicy&) {}
    virtual bool runs_in_process() const { return false; }
    // What this path adds to the report of a guest killed by `signal`.
    virtual std::string killed_note(int) const { return {}; }
    // The guest process is ending: the channel closes what it holds for it.
    virtual void close_all() = 0;

  protected:
    // Waits for a traced guest: its stops, its end, a notification on `fd`
    // (-1: none), which receive() reads, or another process's descriptor.
    Wait wait_traced(int& status, EngineEvent& ev, const RunLimits& limits, int fd);
    virtual bool receive(EngineEvent&) { return false; }
    // Whether the guest stopped or ended, without waiting for it.
    std::optional<Wait> check_child(int& status);

    TracedProcess& p_;
    AddressSpace& space_;
    CallSites& sites_;
};

// What a run reports of a guest lost on the way.
inline void lost_event(EngineEvent& ev) {
    ev.stop = EngineStop::Failed;
    ev.message = "guest process is gone";
}

// debugging: every call comes with all the guest's registers.
std::unique_ptr<CallChannel> make_notify_channel(TracedProcess& process, AddressSpace& space,
                                                 CallSites& sites, bool debugging);
// The call page and the wake-up descriptor are made here, before the guest
// process starts; page_fd (the page's memory file, for the stub, closed by
// the caller once handed on) and wake_fd (the channel's own) go to the stub.
// nullptr when they cannot be made.
// fd_socket: the stub's end of the socket that hands descriptors over (-1:
// none).
std::unique_ptr<CallChannel> make_direct_channel(TracedProcess& process, AddressSpace& space,
                                                 CallSites& sites, int& page_fd, int& wake_fd,
                                                 int& fd_socket);

}  // namespace nuv::native
