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

// Reads and writes guest memory for a call after checking the range; a
// negated error code when the range is not accessible.
int32_t guest_to_host(const Machine& m, uint32_t address, uint32_t n, std::vector<uint8_t>& out);
int32_t host_to_guest(Machine& m, uint32_t address, const uint8_t* data, uint32_t n);

// Reads a NUL-terminated guest path; a negated error code when it is not
// readable (NUV_EFAULT) or longer than NUV_PATH_MAX bytes (NUV_ENAMETOOLONG).
int32_t guest_path(const Machine& m, uint32_t address, std::string& out);

// Reads a NUL-terminated guest string of at most max bytes: 0, -NUV_EFAULT
// when it runs into unmapped memory, -NUV_ENAMETOOLONG when it is longer.
int32_t read_guest_string(const Machine& m, uint32_t address, uint32_t max, std::string& out);

}  // namespace nuv
