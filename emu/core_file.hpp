// Core files: the state of a faulting guest process as an ELF32 i386 core
// that a debugger opens beside the image (gdb IMAGE CORE): its registers in
// a process-status note, its name in a process-information note, and every
// mapping of its address space as a loadable segment.
#pragma once

#include <string>

namespace nuv {

class Machine;

// The Linux signal number that a guest fault's message stands for: SIGILL,
// SIGFPE, SIGTRAP, SIGBUS, or SIGSEGV when none other fits.
int fault_signal(const std::string& message);

// Writes the core of process m, stopped by signal, to path (replacing a file
// of that name); name goes into the process-information note. False and a
// one-line reason in err when it cannot.
bool write_core(Machine& m, const std::string& path, int signal, const std::string& name,
                std::string& err);

}  // namespace nuv
