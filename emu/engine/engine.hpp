// The CPU under one guest process: its registers, its memory and running it
// until the guest traps into the kernel, faults or hits a limit.
//
// Nothing above this interface knows which engine runs the guest or where the
// guest's memory lives: an engine may emulate the processor in this process
// or run the guest as a process of its own.
#pragma once

#include <array>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "constants.hpp"
#include "hex.hpp"

namespace nuv {

class Engine;
class Instrumentation;

// Told which engine runs guest code in this thread while it does, so that a
// supervisor can place a crash inside the engine in the guest.
class RunRecord {
  public:
    virtual void running(Engine* e) = 0;  // nullptr: none any more

  protected:
    ~RunRecord() = default;
};

// Page permissions of guest memory.
enum : uint32_t { kPermRead = 1, kPermWrite = 2, kPermExec = 4 };

// The guest's general registers.
struct Registers {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0, esp = 0;
    uint32_t eip = 0, eflags = 0x202;
};

// Why run() returned.
enum class EngineStop {
    Trap,      // int 0x80: the registers hold the call, eip the instruction after it
    Returned,  // execution reached RunLimits::return_address
    Fault,     // the guest faulted (memory, invalid or privileged instruction, ...)
    Limit,     // RunLimits::max_instructions were executed
    Timeout,   // RunLimits::deadline passed
    Failed,    // the engine itself failed; the guest cannot go on
    Others,    // a descriptor of RunLimits::others is ready: another process
               // needs the kernel while this guest runs on (released)
    // Only for an engine made for debugging (EngineRequest::debugging):
    Breakpoint,  // the guest ran int3; eip stands after it
    Stepped,     // RunLimits::step: one instruction ran (or its call was served)
    Watched,     // a watchpoint fired: the accessing instruction has run, eip
                 // stands after it; EngineEvent::watch names the watchpoint
    Paused,      // RunLimits::pause_fd became readable: the guest stands where
                 // it was (engines that run their guest in this thread)
};

// A debugger's watch on guest data, as the processor's debug registers keep
// one: an aligned run of 1, 2 or 4 bytes (8 where the engine allows), and
// the accesses that fire it.
struct Watchpoint {
    enum Kind : uint8_t { Write, Read, Access };
    uint32_t address = 0;
    uint32_t length = 0;
    Kind kind = Write;
    bool operator==(const Watchpoint&) const = default;
};

// What a guest fault was. Both engines describe the same fault alike; the
// host signal is the native engine's alone. People read it through
// report::words() (emu/debug).
enum class FaultKind : uint8_t {
    None,           // no fault
    Unmapped,       // a memory access where nothing is mapped
    Protection,     // a memory access the page's permissions refuse
    Bus,            // a mapped page the host cannot supply (SIGBUS)
    Invalid,        // an encoding the processor refuses (#UD)
    Privileged,     // #GP at user privilege: a privileged instruction, port
                    // I/O, a segment that is not the guest's
    Halt,           // hlt
    DivideError,    // #DE: a division by zero or a quotient too large
    FloatingPoint,  // an unmasked x87 exception (#MF)
    Breakpoint,     // int3 or a single step where no debugger is (vector 3, 1)
    Interrupt,      // int N for any N but 0x80 (vector)
    SystemCall,     // syscall, sysenter: NUV-OS has int 0x80 only
    RefusedCall,    // a Linux call of the guest that the native filter refused
    Emulator,       // the emulator failed on the instruction (detail)
    Killed,         // ended by the debugger, not by anything it ran
};

enum class FaultAccess : uint8_t { None, Read, Write, Execute };

struct GuestFault {
    FaultKind kind = FaultKind::None;
    FaultAccess access = FaultAccess::None;  // memory faults
    uint8_t size = 0;                        // bytes of the access, where known (0: unknown)
    uint16_t vector = 0;                     // DivideError, FloatingPoint, Breakpoint, Interrupt
    uint32_t address = 0;                    // the faulting address, for memory faults
    uint32_t eip = 0;                        // the faulting instruction
    int host_signal = 0;                     // the native engine's signal and its si_code (0: none)
    int host_code = 0;
    // A static text the words end with, where the kind alone does not tell
    // everything ("far call or jump through a register"); nullptr: none.
    const char* detail = nullptr;

    static GuestFault at(FaultKind kind, uint32_t eip) {
        GuestFault f;
        f.kind = kind;
        f.eip = eip;
        return f;
    }
    // The processor's interrupt `vector` raised at eip, as both engines
    // name it: 0 a divide error, 1 and 3 breakpoints, 16 the x87's.
    static GuestFault interrupt(uint32_t vector, uint32_t eip) {
        GuestFault f = at(vector == 0                  ? FaultKind::DivideError
                          : vector == 1 || vector == 3 ? FaultKind::Breakpoint
                          : vector == 16               ? FaultKind::FloatingPoint
                                                       : FaultKind::Interrupt,
                          eip);
        f.vector = static_cast<uint16_t>(vector);
        return f;
    }
    bool memory() const {
        return kind == FaultKind::Unmapped || kind == FaultKind::Protection ||
               kind == FaultKind::Bus;
    }
    // What both engines say alike: everything but the host's signal.
    bool same_as(const GuestFault& o) const {
        return kind == o.kind && access == o.access && size == o.size && vector == o.vector &&
               address == o.address && eip == o.eip;
    }
};

struct EngineEvent {
    EngineStop stop = EngineStop::Failed;
    uint32_t eip = 0;     // where the guest stands
    GuestFault fault;     // for Fault
    Watchpoint watch;     // for Watched
    std::string message;  // one line, for Limit, Timeout and Failed
};

struct RunLimits {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::time_point::max();
    // Stop once this many instructions have run in total (0: no limit); only
    // engines that count() honour it.
    uint64_t max_instructions = 0;
    // Stop, as Returned, when execution reaches this address (0: none).
    uint32_t return_address = 0;
    // Engines that run their guest alongside the host also stop, as Others,
    // when one of these descriptors (other engines' event_fd()) is readable.
    const std::vector<int>* others = nullptr;
    // Debugging: stop, as Stepped, once one instruction has run. A step whose
    // instruction is int 0x80 ends at the trap, as Trap; the next run with
    // step set, once the call is served, then stops at once.
    bool step = false;
    // Debugging: a descriptor (the debugger's connection) that, readable,
    // asks for the guest to stop where it stands. An engine that runs its
    // guest in this thread looks at it now and then and stops as Paused;
    // one that runs its guest alongside is given it among `others`.
    int pause_fd = -1;
    // Set from outside the run (a signal to nuvemu): the run ends as it
    // would at its deadline, with the message "interrupted ...".
    const volatile std::sig_atomic_t* interrupted = nullptr;
    // Engines that run guest code in this thread report it here (null: nowhere).
    RunRecord* record = nullptr;
    bool cut_short() const { return interrupted != nullptr && *interrupted != 0; }
    // The deadline, or now once the run is cut short.
    Clock::time_point until() const { return cut_short() ? Clock::now() : deadline; }
};

// What the kernel lets a guest process do in its own process: the calls it
// grants there, the host descriptors they may use (behind the guest's
// descriptors 0, 1, ...) and the limits they keep to. The kernel decides
// it (emu/kernel/in_process.cpp); an engine that runs its guest as a process
// of its own merely runs the granted calls there, each as the kernel would
// answer it, and hands every other call to the kernel as a trap. A call a
// guest makes past what its engine checks (Linux's own entry) cannot carry
// a position past max_position or a file past max_file_size either.
struct InProcessPolicy {
    enum : uint32_t { kRead = 1, kWrite = 2, kSeek = 4 };
    uint32_t calls = 0;  // kRead | kWrite | kSeek; 0: every call goes to the kernel
    struct Descriptor {
        const void* id = nullptr;  // the open file it belongs to
        int fd = -1;               // -1: none
        bool read = false;         // reads never wait on it
        bool write = false;
        bool sized = false;  // a regular file: writes keep to max_file_size
        bool operator==(const Descriptor&) const = default;
    };
    std::vector<Descriptor> descriptors;
    uint32_t max_position = 0x7FFFFFFF;  // no position beyond this
    uint32_t max_file_size = 0;          // no regular file written larger
    bool operator==(const InProcessPolicy&) const = default;
};

class Engine {
  public:
    virtual ~Engine() = default;
    virtual const char* name() const = 0;

    // Memory, in whole pages. map() gives zero-filled pages; read() and
    // write() ignore the guest's permissions (the kernel checks those first)
    // and fail on unmapped pages.
    virtual bool map(uint32_t begin, uint32_t size, uint32_t perms) = 0;
    virtual bool protect(uint32_t begin, uint32_t size, uint32_t perms) = 0;
    virtual bool unmap(uint32_t begin, uint32_t size) = 0;
    virtual bool read(uint32_t address, void* out, size_t n) = 0;
    virtual bool write(uint32_t address, const void* data, size_t n) = 0;

    virtual Registers registers() = 0;
    virtual void set_registers(const Registers& r) = 0;
    // EAX alone: a call's result, written once per call.
    virtual void set_eax(uint32_t v) {
        Registers r = registers();
        r.eax = v;
        set_registers(r);
    }
    // The x87 unit: reset to its start state (control word 0x037F, empty
    // stack), and the raw 80-bit top of stack.
    virtual void reset_fpu() = 0;
    virtual std::array<uint8_t, 10> st0() = 0;

    // Runs the guest from its current registers until one of the stops.
    virtual EngineEvent run(const RunLimits& limits) = 0;
    // Makes a run in progress on this thread return soon, so that it finds
    // itself cut short (RunLimits::interrupted). Called from a signal handler:
    // async-signal-safe. Engines whose runs return on their own within a
    // fraction of a second need not do anything.
    virtual void interrupt() {}

    // Whether the engine counts instructions (and so honours max_instructions).
    virtual bool counts() const { return false; }
    virtual uint64_t instructions() const { return 0; }

    // Engines whose guest runs in a process of its own can let it go on from
    // where it stands (at a served trap or its entry) while the host does
    // other work: release() resumes it under limits' deadline without
    // waiting, and the next run() only waits for its next stop. In between,
    // nothing but run() and destruction may touch the engine. False when the
    // engine cannot, or the guest did not go on (run() then reports why).
    virtual bool release(const RunLimits& limits) {
        (void)limits;
        return false;
    }
    virtual bool concurrent() const { return false; }
    // Readable when the guest, running on its own, needs the kernel (-1: never).
    virtual int event_fd() const { return -1; }
    // What the guest may do in its own process (InProcessPolicy), told by
    // the kernel whenever it changes, the guest stopped. Until then, and in
    // engines that do not run the guest in a process of its own, every call
    // is the kernel's: an engine never serves a call itself. False when the
    // engine runs no call in the guest's process, now or later (the kernel
    // need not tell it again).
    virtual bool in_process(const InProcessPolicy&) { return false; }

    // Debugging: the watchpoints, at most kMaxWatchpoints, replacing those
    // set before; a run stops as Watched after an instruction that made an
    // access one of them watches (a Read watchpoint on an engine that cannot
    // tell reads from writes fires on both). The guest stands still. False,
    // and none kept, when the engine cannot watch them all.
    static constexpr size_t kMaxWatchpoints = 4;
    virtual bool set_watchpoints(std::span<const Watchpoint> w) { return w.empty(); }
    // The longest run of bytes one watchpoint covers.
    virtual uint32_t max_watch_length() const { return 4; }

    // Watches that only some engines offer (nullptr: none).
    virtual Instrumentation* instrumentation() { return nullptr; }
};

}  // namespace nuv
