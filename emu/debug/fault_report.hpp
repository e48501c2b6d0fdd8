// Reports a person can act on when a process stops on a fault or a limit:
// the fault's kind in words, the faulting instruction and the calls that led
// to it, with function, offset and source line where the image has them
// (see symbols.hpp).
//
//   nuvemu: crash: guest fault: null-pointer read: read of unmapped memory at 0x00000000 (eip
//   0x0040021c)
//       #0 0x0040021c sum+0xc (crash.c:21)
//       #1 0x00400301 main+0x61 (crash.c:52)
//
// Once a run has a second process every report names the process:
// "nuvemu: [pid 2] crash: guest fault: ...".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "engine.hpp"

namespace nuv {

class Kernel;
class Task;
struct RunResult;

namespace report {

// A guest fault in words, on one line: what the instruction did, where,
// and the instruction's address, with the cause in front where the address
// tells it: "null-pointer read: read of unmapped memory at 0x00000000 (eip
// 0x0040021c)", "stack overflow: write to ...", "division by zero at eip
// ...", "protection fault at eip ...". The same fault reads the same on
// every engine.
std::string words(const GuestFault& f);

// How a run ended, in words: a fault's words, else the result's message
// (a limit, a timeout, an engine that failed).
std::string what(const RunResult& r);

// Text from the image or the guest (a symbol's or a file's name, a path) as
// it may be shown on a terminal: control bytes and '\\' as "\\xNN", at most
// 200 bytes, then "...".
std::string printable(std::string_view text);

// The process as reports name it: "IMAGE", or "[pid N] IMAGE" once the run
// has had a second process.
std::string who(const Kernel& k, Task& m);

// The backtrace of a process as it stands, one indented line per frame
// ("    #0 0x0040021c sum+0xc (crash.c:21)\n"); empty when its registers
// cannot be read.
std::string backtrace(Task& m);

// What nuvemu writes when a process ends on a fault or a limit: one line
// "nuvemu: WHO: guest fault: ..." (or "stopped: ...") and the backtrace.
void stop(std::FILE* to, const Kernel& k, Task& m, const RunResult& r);

// After the run's time limit (or an interruption): where every live process
// other than `reported` stands, one line each ("nuvemu: WHO: at eip 0x...")
// with its backtrace. Processes running alongside the host are stopped first.
void others(std::FILE* to, Kernel& k, Task& reported);

}  // namespace report
}  // namespace nuv
