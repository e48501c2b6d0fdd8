// The report of a sanitized image (nuvos-cc -fsanitize=address) that its
// runtime stopped: the runtime fills a record (sanitizer_record.h) and traps
// in nuv_san_stop; this reads the record and says, instead of the invalid
// instruction, what was found:
//
//   nuvemu: bugs: address sanitizer: heap-buffer-overflow
//     write of 1 byte at 0x00480018: 0 bytes after the 10-byte heap block at 0x0048000e
//       #0 0x004002c4 heap_overflow+0x44 (bugs.c:14)
//       #1 0x004006b1 main+0x91 (bugs.c:80)
//     the block was allocated at:
//       #0 0x0040029d heap_overflow+0x1d (bugs.c:13)
//       #1 0x004006b1 main+0x91 (bugs.c:80)
#pragma once

#include <optional>
#include <string>

#include "engine.hpp"

namespace nuv {

class Task;

namespace report {

// The sanitizer's report for a process stopped by `f`, its first line
// beginning "nuvemu: WHO: address sanitizer: KIND"; nullopt when the fault is
// not the sanitizer's stop (or its record cannot be read).
std::optional<std::string> sanitizer(Task& m, const GuestFault& f, const std::string& who);

}  // namespace report
}  // namespace nuv
