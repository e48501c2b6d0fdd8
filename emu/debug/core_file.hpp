// Core files: the state of a faulting guest process as an ELF32 i386 core
// that a debugger opens beside the image (gdb IMAGE CORE): its registers in
// a process-status note, its name in a process-information note, and every
// mapping of its address space as a loadable segment.
#pragma once

#include <string>

#include "result.hpp"

namespace nuv {

class Task;

// The Linux signal number that a guest fault's message stands for: SIGILL,
// SIGFPE, SIGTRAP, SIGBUS, or SIGSEGV when none other fits.
int fault_signal(const std::string& message);

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
// name. name goes into the process-information note. Adds the bytes written
// to *written; gives up, leaving nothing, once that would pass `budget`.
// A one-line reason when it cannot.
Status write_core(Task& m, const CoreDir& where, const std::string& file, int signal,
                  const std::string& name, uint64_t budget, uint64_t& written);

}  // namespace nuv
