// What the native engine's files share: the system-call numbers and argument
// registers of the guest process, the gate page's layout and small helpers
// for the traced process.
#pragma once

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gate.h"
#include "native_engine.hpp"

namespace nuv::native {

// The stub shares the page size as a macro; it is the guest's page.
constexpr uint32_t kPage = NUV_PAGE_SIZE;
static_assert(kPage == kPageSize);

// What differs between a 32-bit guest process and the 64-bit stand-in: the
// code selector, the numbers of the calls the engine makes there, and which
// registers carry their arguments.
struct Abi {
    uint16_t code_selector;
    uint32_t getpid, munmap, setitimer, mprotect, mmap, close;
    unsigned long long user_regs_struct::*args[6];
    bool wide;
};

constexpr Abi kI386 = {NUV_USER_CS32,
                       20,
                       91,
                       104,
                       125,
                       192,  // mmap2
                       6,
                       {&user_regs_struct::rbx, &user_regs_struct::rcx, &user_regs_struct::rdx,
                        &user_regs_struct::rsi, &user_regs_struct::rdi, &user_regs_struct::rbp},
                       false};
constexpr Abi kX86_64 = {NUV_USER_CS64,
                         39,
                         11,
                         38,
                         10,
                         9,
                         3,
                         {&user_regs_struct::rdi, &user_regs_struct::rsi, &user_regs_struct::rdx,
                          &user_regs_struct::r10, &user_regs_struct::r8, &user_regs_struct::r9},
                         true};

inline const Abi& abi_of(const NativeOptions& o) {
    return o.stand_in_64 ? kX86_64 : kI386;
}

constexpr uint32_t kProtRead = 1, kProtWrite = 2, kProtExec = 4;

// The signal that stops a running guest, or takes a waiting one out of its
// call, for the tracer; ignored by default, never delivered to the guest.
constexpr int kInterrupt = SIGURG;

// How a guest process is traced.
constexpr long kTraceOptions = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;

// Stops and ends of guests announce themselves through SIGCHLD, read from
// this descriptor; the tracing thread keeps the signal blocked. -1: none.
int child_signals();
// Empties a signal descriptor.
void drain(int fd);

// Whether this process may run on more than one processor: the direct call
// path pays off only where guest and engine can run at once.
bool several_processors();

// A wait status for a guest that vanished without one.
constexpr int kNoStatus = -1;

// Where in the gate page, past its code, the engine writes what its own calls
// there need (the timer's setting, a probe).
constexpr uint32_t kGateScratch = NUV_GATE_SCRATCH;

inline uint32_t linux_prot(uint32_t perms) {
    uint32_t p = 0;
    if (perms & kPermRead) p |= kProtRead;
    if (perms & kPermWrite) p |= kProtWrite;
    if (perms & kPermExec) p |= kProtExec;
    return p;
}

struct MapsLine {
    uint64_t begin, end;
    std::string perms;
};

inline std::vector<MapsLine> read_maps(pid_t pid) {
    std::vector<MapsLine> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(in, line)) {
        MapsLine m{};
        char dash = 0;
        std::istringstream ls(line);
        ls >> std::hex >> m.begin >> dash >> m.end >> m.perms;
        if (ls && dash == '-') out.push_back(m);
    }
    return out;
}

inline pid_t this_thread() {
    thread_local pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    return tid;
}

inline bool is_seccomp_stop(int status) {
    return WIFSTOPPED(status) && (status >> 8) == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8));
}

}  // namespace nuv::native
