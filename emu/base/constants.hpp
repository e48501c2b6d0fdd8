// Numbers every layer of nuvemu agrees on.
#pragma once

#include <cstdint>

namespace nuv {

// The guest's page: mappings, permissions and core files are in whole pages.
constexpr uint32_t kPageSize = 0x1000;

// How a process, or nuvemu itself, ends when not through the guest's exit
// call (the exit call's status is the guest's own).
constexpr int32_t kStatusLimit = 124;   // an instruction, time or memory limit stopped it
constexpr int32_t kStatusUsage = 125;   // bad usage, or an image that cannot be loaded
constexpr int32_t kStatusEngine = 126;  // the engine itself failed and the run was lost
constexpr int32_t kStatusFault = 139;   // the guest faulted (as a process killed by SIGSEGV)

}  // namespace nuv
