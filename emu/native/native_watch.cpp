// The native engine's watchpoints: the processor's debug registers of the
// guest process, set through ptrace (DR0-DR3 hold the addresses, DR7 turns
// them on with what they watch and how many bytes), and DR6, which tells
// after a debug trap which of them fired. The processor has no watch for
// reads alone: a Read watchpoint watches writes as well.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>

#include <cerrno>
#include <cstddef>

#include "native_engine.hpp"

namespace nuv {
namespace {

// The offset of debug register n in the tracer's struct user.
void* debug_register(unsigned n) {
    return reinterpret_cast<void*>(offsetof(struct user, u_debugreg) + n * sizeof(long));
}

// DR7's bits for slot i: enabled locally, what fires it, its length.
uint64_t control_bits(unsigned i, const Watchpoint& w) {
    const uint64_t rw = w.kind == Watchpoint::Write ? 1 : 3;
    const uint64_t len = w.length == 1 ? 0 : w.length == 2 ? 1 : w.length == 8 ? 2 : 3;
    return uint64_t{1} << (2 * i) | rw << (16 + 4 * i) | len << (18 + 4 * i);
}

}  // namespace

bool NativeEngine::set_watchpoints(std::span<const Watchpoint> w) {
    if (w.size() > kMaxWatchpoints || proc_.pid() <= 0 || released_) return false;
    if (!opts_.debugging && !w.empty()) return false;
    uint64_t control = 0;
    for (unsigned i = 0; i < w.size(); ++i) {
        const uint32_t n = w[i].length;
        if ((n != 1 && n != 2 && n != 4 && n != 8) || w[i].address % n != 0) return false;
        control |= control_bits(i, w[i]);
    }
    // Off first: Linux checks each address against the control in force.
    if (ptrace(PTRACE_POKEUSER, proc_.pid(), debug_register(7), nullptr) != 0) return false;
    watches_.clear();
    for (unsigned i = 0; i < w.size(); ++i) {
        if (ptrace(PTRACE_POKEUSER, proc_.pid(), debug_register(i),
                   reinterpret_cast<void*>(uintptr_t{w[i].address})) != 0) {
            return false;
        }
    }
    if (control != 0 &&
        ptrace(PTRACE_POKEUSER, proc_.pid(), debug_register(7), reinterpret_cast<void*>(control)) != 0) {
        return false;
    }
    watches_.assign(w.begin(), w.end());
    return true;
}

bool NativeEngine::watch_fired(EngineEvent& ev) {
    if (watches_.empty()) return false;
    errno = 0;
    long status = ptrace(PTRACE_PEEKUSER, proc_.pid(), debug_register(6), nullptr);
    if (errno != 0) return false;
    // Cleared for the next trap (an int3 leaves it as it was).
    ptrace(PTRACE_POKEUSER, proc_.pid(), debug_register(6), nullptr);
    for (unsigned i = 0; i < watches_.size(); ++i) {
        if ((status & (1L << i)) != 0) {
            ev.stop = EngineStop::Watched;
            ev.watch = watches_[i];
            return true;
        }
    }
    return false;
}

}  // namespace nuv
