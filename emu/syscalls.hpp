// The kernel calls that nuvemu services. The table every machine starts from
// is made from the interface's list of calls: each call `name` is serviced by
// the handler sys_name, defined in the file of its area.
#pragma once

#include <string>
#include <vector>

#include <nuvos/kernel.h>

#include "machine.hpp"

namespace nuv {

#define NUV_DECLARE_HANDLER_(name, nr, kinds) int32_t sys_##name(Machine&, const SyscallArgs&);
NUV_CALLS(NUV_DECLARE_HANDLER_)
#undef NUV_DECLARE_HANDLER_

// Reads a NUL-terminated guest path; a negated error code when it is not
// readable (NUV_EFAULT) or longer than NUV_PATH_MAX bytes (NUV_ENAMETOOLONG).
inline int32_t guest_path(const Machine& m, uint32_t address, std::string& out) {
    return m.memory().read_string(address, NUV_PATH_MAX, out);
}

}  // namespace nuv
