// The native engine: a guest runs as a real 32-bit x86 Linux process of its
// own, traced by the thread that created the engine. A seccomp filter hands
// every system call of every architecture to the engine before Linux would
// run it, so the guest's only way out is int 0x80, reported as a trap;
// everything else the guest does is either plain computation at full speed
// or a signal, reported as a fault. The guest's calls reach the engine
// through a call channel (native_channel.hpp): as seccomp notifications while
// it waits in the call (native_notify.cpp), or posted on a page shared with
// the engine by a handler in the guest process (native_direct.cpp). The
// engine stops the guest under ptrace only for what an answer cannot do.
//
// The process starts as our start-up stub (see native/stub.c), which drops
// the host's descriptors, sets its limits, installs the filter and stops at
// the gate: one page that holds `int 0x80; int3`. The engine makes its own
// system calls in the guest process there (mmap, mprotect, munmap, setitimer),
// and unmaps everything else before the guest's first instruction: the guest
// sees only the pages mapped through this interface, plus the gate page.
//
// The engine's invariant: no Linux call of a guest process runs unless the
// filter allows it by itself. The filter allows the handler's two calls at
// their sites (direct path) and the engine's own calls at the gate, which
// carry the gate's key (filter.h); every other call is a notification, a
// signal or a stop for the tracer, and the tracer never lets a stopped call
// run. Every way the engine moves a stopped guest (continue, single-step,
// detach, delivering a signal, the end of an attach) goes through
// TracedProcess::resume(), which looks at the stop first and, at a seccomp
// stop, skips the call (call number -1, result -ENOSYS) before the guest
// moves.
//
// No wait for the guest is unbounded: a guest that does not stop when the
// engine needs it to (within kStopBound, or by a run's deadline plus
// kDeadlineGrace) is killed, and the run says so.
//
// ptrace is bound to one thread: create, use and destroy an engine on the
// same host thread. That thread keeps SIGCHLD blocked: the engine reads it
// from a signal descriptor to learn of its guests' stops.
//
// Words for what the engine does to its guest process, one meaning each:
// - resume: a stopped, traced guest moves on (continue, single-step or
//   detach), always through the one check above: TracedProcess::resume().
// - pause: the guest is brought to a tracing stop where it stands, its
//   registers read: pause(); a channel's pause_by() within a time.
//   (Engine::interrupt() is another thing: it cuts a run short.)
// - attach / detach: tracing begins or ends (the direct path; a detach is
//   one way to resume).
// - release: the guest runs on its own until a run's deadline
//   (Engine::release; a channel's release()).
// - answer: the guest goes on from the call or fault a run reported (a
//   channel's answer_event()).
// - wait: the engine waits for the guest, never without a bound
//   (TracedProcess::wait_stop(), a channel's wait()).
// - end: the guest process is killed and reaped (TracedProcess::end()); a
//   channel closes what it holds for it (close_all()).
// - sites on / off: the rewriting of call sites begins or ends
//   (CallSites::on(), off()).
//
// The engine is made of parts, each reached by the others only through its
// public interface: TracedProcess (traced_process.hpp: the process, its
// stops, registers, resume, waits, remote calls and end), AddressSpace
// (address_space.hpp: its memory, mappings, executable pages and their
// shadows), CallSites (call_sites.hpp: where its calls come from, and their
// rewriting) and the call channel, which works the other three. NativeEngine
// composes them and implements the Engine interface.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/user.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "address_space.hpp"
#include "call_sites.hpp"
#include "engine.hpp"
#include "gate.h"
#include "result.hpp"
#include "traced_process.hpp"

namespace nuv {

namespace native {
class CallChannel;
}  // namespace native

struct NativeOptions {
    // The start-up stub; empty: the one built next to nuvemu.
    std::string stub_path;
    // A fixed time-stamp counter: RDTSC reads this value, then one more each
    // time (unset: the processor's own).
    std::optional<uint64_t> tsc;
    // Limits of the guest process. It opens no host file and starts no
    // process itself, so these only bound what a broken guest could reach.
    uint32_t max_files = 16;
    uint32_t max_processes = 1;
    uint64_t max_address_space = 0;  // bytes; 0: no limit
    // Runs the guest as 64-bit code in a 64-bit process, with the same
    // interception: a stand-in that lets the engine's own machinery (start,
    // filter, memory, faults, limits, ending) run on hosts that cannot run
    // 32-bit programs. i386 images do not run correctly in it; int 0x80
    // still traps.
    bool stand_in_64 = false;
    // The guest's calls go to a handler in its own process, which hands them
    // over through a shared page (see native/direct_call.h); the guest then
    // runs untraced between the engine's own interventions. Off: they come
    // as seccomp notifications, the guest always traced. i386 only, and only
    // where the engine may run on more than one processor.
    bool direct_calls = true;
    // On the direct path, after this many calls each int 0x80 that traps is
    // rewritten into a call that reaches the handler without a signal (see
    // native/direct_call.h); 0: never.
    uint32_t rewrite_sites_after = 64;
    // For a debugger (see EngineStop::Breakpoint, RunLimits::step): the
    // guest stays traced (no direct path), its calls come with all its
    // registers, and int3 and single steps end a run instead of faulting.
    bool debugging = false;
};

class NativeEngine final : public Engine {
  public:
    // The highest address a 32-bit process can map, plus one.
    static constexpr uint32_t kSpaceEnd = native::AddressSpace::kSpaceEnd;
    // How long the engine waits for a stop it asked for, and how long past a
    // run's deadline it tries to stop the guest where it stands before it
    // ends the guest process instead.
    static constexpr auto kStopBound = native::TracedProcess::kStopBound;
    static constexpr auto kDeadlineGrace = std::chrono::milliseconds(400);

    // Starts the guest process; a NoEngine error with a one-line reason when
    // it cannot (for instance on a host that does not run 32-bit programs).
    static Result<std::unique_ptr<NativeEngine>> start(const NativeOptions& opts);
    // The stub built with the project, next to the running program's build.
    static std::string default_stub_path(bool stand_in_64 = false);

    ~NativeEngine() override;
    NativeEngine(const NativeEngine&) = delete;
    NativeEngine& operator=(const NativeEngine&) = delete;

    const char* name() const override { return "native"; }
    bool map(uint32_t begin, uint32_t size, uint32_t perms) override;
    bool protect(uint32_t begin, uint32_t size, uint32_t perms) override;
    bool unmap(uint32_t begin, uint32_t size) override;
    bool read(uint32_t address, void* out, size_t n) override;
    bool write(uint32_t address, const void* data, size_t n) override;
    Registers registers() override;
    void set_registers(const Registers& r) override;
    void reset_fpu() override;
    std::array<uint8_t, 10> st0() override;
    EngineEvent run(const RunLimits& limits) override;
    bool release(const RunLimits& limits) override;
    bool concurrent() const override { return true; }
    int event_fd() const override;
    bool in_process(const InProcessPolicy& policy) override;
    // The debug registers (native_watch.cpp).
    bool set_watchpoints(std::span<const Watchpoint> w) override;
    uint32_t max_watch_length() const override { return 8; }

    // The host process id of the guest, and the gate's address: the gate
    // page, then on the direct path the call page and the handler's stack.
    pid_t pid() const { return proc_.pid(); }
    uint32_t gate() const { return proc_.gate(); }
    static constexpr uint32_t kGateSize = NUV_GATE_SIZE;
    // Whether the guest's calls take the direct path.
    bool direct() const;
    bool alive() const { return proc_.alive(); }

  private:
    explicit NativeEngine(const NativeOptions& opts);
    Status handover();
    Status clear_address_space();
    bool rdtsc_traps();
    using ResumeBy = native::TracedProcess::ResumeBy;
    // Brings the guest to a tracing stop with all its registers read, a call
    // it waits in still unanswered; not while it is released.
    bool pause();
    // Brings the guest to a stop at a run's deadline, or ends it.
    void pause_at_deadline(EngineEvent& ev, int& status, bool interrupted);
    bool arm_timer(RunLimits::Clock::time_point deadline);
    // What a signal the guest stands stopped at means (native_fault.cpp).
    bool fault_event(int sig, const siginfo_t& si, const RunLimits& limits, EngineEvent& ev,
                     bool& runs_on);
    bool probe_write(uint32_t address, bool unmapped);
    // Bytes the instruction at eip reads (or writes) at a time; 0: unknown.
    uint8_t access_size(uint32_t eip, bool writes);
    void gone(EngineEvent& ev, int status);
    // Whether a debug trap came from a watchpoint (then ev says which).
    bool watch_fired(EngineEvent& ev);

    // The parts: the traced process, its memory, its call sites, and the
    // channel its calls come through.
    NativeOptions opts_;
    native::TracedProcess proc_;
    native::AddressSpace space_;
    native::CallSites sites_;
    std::unique_ptr<native::CallChannel> channel_;
    uint64_t tsc_next_ = 0;
    RunLimits::Clock::time_point armed_ = RunLimits::Clock::time_point::max();
    bool released_ = false;   // running on its own since release()
    InProcessPolicy policy_;  // the kernel's latest
    // Debugging: the current run steps; a step that ended at a trap is over.
    bool stepping_ = false;
    bool step_owed_ = false;
    // The watchpoints in the debug registers (native_watch.cpp).
    std::vector<Watchpoint> watches_;
};

}  // namespace nuv
