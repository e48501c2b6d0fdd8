// The kernel calls a guest makes through int 0x80: their arguments, what a
// handler makes of one, what a handler may use, and the table of handlers.
//
// A handler answers a call or says why it cannot yet: it never runs another
// process, waits or ends one itself. Whoever serves the call (the kernel)
// does that from the outcome. Each call `name` of the interface is served
// by handle_name, in the file of its family: io.cpp, fs.cpp, proc.cpp and
// mem.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nuvos/kernel.h>

#include "guest_memory.hpp"
#include "pipe.hpp"
#include "process.hpp"

namespace nuv {

// The registers of one int 0x80: the call number and the six argument registers.
struct SyscallArgs {
    uint32_t nr = 0;
    uint32_t ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0;
    uint32_t arg(int i) const {
        const uint32_t regs[6] = {ebx, ecx, edx, esi, edi, ebp};
        return (i >= 0 && i < 6) ? regs[i] : 0;
    }
};

// What a handler made of a call.
struct Outcome {
    using Clock = std::chrono::steady_clock;
    enum Kind {
        Done,   // answered: value goes to EAX
        Block,  // cannot complete yet: made again after others have run, or at wake
        Yield,  // answered, and the other processes run before this one goes on
        Exit,   // the process ends with status value
    };
    Kind kind = Done;
    int32_t value = 0;
    std::optional<Clock::time_point> wake;  // Block: not before then

    Outcome(int32_t v) : value(v) {}  // NOLINT: a plain answer converts
    static Outcome block() { return {Block, 0}; }
    static Outcome sleep_until(Clock::time_point t) {
        Outcome o{Block, 0};
        o.wake = t;
        return o;
    }
    static Outcome yield(int32_t v) { return {Yield, v}; }
    static Outcome exit(int32_t status) { return {Exit, status}; }
    // A read or write on a descriptor: its count or error, or a wait.
    static Outcome of(const IoResult& r) {
        return r.wait == IoWait::Block   ? block()
               : r.wait == IoWait::Yield ? yield(r.value)
                                         : Outcome(r.value);
    }

  private:
    Outcome(Kind k, int32_t v) : kind(k), value(v) {}
};

// What a handler may use: the calling process and its memory, and the
// services of the kernel that serves it.
class CallContext {
  public:
    using Stdio = Process::Stdio;
    virtual Process& process() = 0;
    virtual GuestMemory& memory() = 0;
    // Whether the call is being made again after it blocked, and the wake
    // time it set then.
    virtual bool resuming() const = 0;
    virtual std::optional<Outcome::Clock::time_point> wake_time() const = 0;
    // Sleeping calls return at once (a run that skips sleep).
    virtual bool skip_sleep() const = 0;
    // A descriptor that, readable, means someone (a debugger) may want the
    // calling process to stop where it stands; -1: none. A call that would
    // wait on the host gives way to it: it blocks, and is made again once
    // the run loop has looked.
    virtual int attention_fd() const { return -1; }

    // Starts a program as a child; its pid or a negated error code.
    virtual int32_t spawn(const std::string& path, const std::vector<std::string>& args,
                          const Stdio& how) = 0;
    // Collects an ended child (pid, or -1 for any); Block while it runs.
    virtual Outcome waitpid(int32_t pid, uint32_t status_address, int32_t options) = 0;
    // Files written in pieces (see Kernel).
    virtual int32_t stream_begin(std::string absolute_path) = 0;
    virtual int32_t stream_write(int32_t stream, uint32_t address, uint32_t length) = 0;
    virtual int32_t stream_end(int32_t stream) = 0;
    // The buffer of a named pipe, shared by everyone who opens it.
    virtual std::shared_ptr<PipeBuffer> named_pipe(uint64_t device, uint64_t inode) = 0;

    // Shorthands for the calling process.
    std::shared_ptr<OpenFile> file(int32_t fd) { return process().file(fd); }
    int32_t install_file(std::shared_ptr<OpenFile> f, int32_t at = -1) {
        return process().install_file(std::move(f), at);
    }
    bool close_file(int32_t fd) { return process().close_file(fd); }
    Sandbox& sandbox() { return process().sandbox(); }

  protected:
    ~CallContext() = default;
};

using Handler = std::function<Outcome(CallContext&, const SyscallArgs&)>;

struct SyscallDef {
    const char* name;
    uint32_t nr;
    int argc;
    // One character per argument, for the trace: d signed, u unsigned, x address,
    // s string, b bytes whose count is the next argument.
    const char* argfmt;
    Handler handler;
};

// The table of calls every first process starts from.
const std::vector<SyscallDef>& default_syscalls();

#define NUV_DECLARE_HANDLER_(name, nr, kinds) \
    Outcome handle_##name(CallContext&, const SyscallArgs&);
NUV_CALLS(NUV_DECLARE_HANDLER_)
#undef NUV_DECLARE_HANDLER_

// Reads a NUL-terminated guest path; a negated error code when it is not
// readable (NUV_EFAULT) or longer than NUV_PATH_MAX bytes (NUV_ENAMETOOLONG).
inline int32_t guest_path(CallContext& c, uint32_t address, std::string& out) {
    return c.memory().read_string(address, NUV_PATH_MAX, out);
}

}  // namespace nuv
