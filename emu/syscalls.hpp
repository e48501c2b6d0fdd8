// The kernel calls that nuvemu services, grouped by area. Each group adds its
// entries to the one table that every machine starts from.
#pragma once

#include <string>
#include <vector>

#include "machine.hpp"

namespace nuv {

void add_core_calls(std::vector<SyscallDef>& table);
void add_file_calls(std::vector<SyscallDef>& table);

// Reads and writes guest memory for a call after checking the range; a
// negated Errno when the range is not accessible.
int32_t guest_to_host(const Machine& m, uint32_t address, uint32_t n, std::vector<uint8_t>& out);
int32_t host_to_guest(Machine& m, uint32_t address, const uint8_t* data, uint32_t n);

// Reads a NUL-terminated guest path; a negated Errno when it is not readable
// (E_FAULT) or longer than Sandbox::kMaxPath bytes (E_NAMETOOLONG).
int32_t guest_path(const Machine& m, uint32_t address, std::string& out);

}  // namespace nuv
