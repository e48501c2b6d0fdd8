// Core files: the state of a faulting guest process as an ELF32 i386 core
// that a debugger opens beside the image (gdb IMAGE CORE): its registers in
// a process-status note, its name in a process-information note, and every
// mapping of its address space as a loadable segment.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine.hpp"
#include "result.hpp"

namespace nuv {

class Task;

// The signal a guest fault stands for, as Linux would tell an i386 process
// of it: the number (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGKILL for a
// process the debugger ended), its si_code (SEGV_MAPERR, SEGV_ACCERR,
// SI_KERNEL for a protection fault, ...) and si_addr (the address of a
// memory fault, the instruction's for SIGILL, SIGFPE and SIGTRAP). The same
// on every engine, whatever signal the host had.
struct FaultSignal {
    int signo = 0;
    int code = 0;
    uint32_t address = 0;
};
FaultSignal fault_signal(const GuestFault& f);
// The i386 siginfo_t of such a signal (128 bytes), as a core's note and the
// gdb server give it: number, errno, code, then the address.
std::array<int32_t, 32> siginfo(const FaultSignal& s);

// Where cores go: a directory opened before any guest runs, so that nothing
// a guest does to the names in it (a link, a named pipe, a directory moved
// away) sends a core elsewhere or holds the run up.
struct CoreDir {
    int fd = -1;  // the directory (O_PATH); -1 when it cannot be opened
    std::string dir;
    std::string name;  // the core's name in it
};
// The directory of path, opened, or why not.
Status open_core_dir(const std::string& path, CoreDir& out);

// Writes the core of process m, stopped by signal, as `file` in the
// directory: into a new file of its own, then renamed over whatever had that
// name. The signal goes into the process-status and signal-information
// notes, name into the process-information note. Adds the bytes written
// to *written; gives up, leaving nothing, once that would pass `budget`.
// A one-line reason when it cannot.
Status write_core(Task& m, const CoreDir& where, const std::string& file, const FaultSignal& signal,
                  const std::string& name, uint64_t budget, uint64_t& written);

}  // namespace nuv
