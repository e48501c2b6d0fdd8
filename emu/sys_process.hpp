// Kernel calls for processes, descriptors, mappings, sleeping, the keyboard
// and the file system's directories and streams.
#pragma once

#include <string>
#include <vector>

#include "machine.hpp"

namespace nuv {

void add_process_calls(std::vector<SyscallDef>& table);
void add_fs_calls(std::vector<SyscallDef>& table);

// Reads a NUL-terminated guest string of at most max bytes: 0, -E_FAULT when
// it runs into unmapped memory, -E_NAMETOOLONG when it is longer.
int32_t read_guest_string(const Machine& m, uint32_t address, uint32_t max, std::string& out);

}  // namespace nuv
