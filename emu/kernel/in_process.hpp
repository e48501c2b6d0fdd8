// What a guest may do in its own process (InProcessPolicy, engine.hpp): the
// kernel decides it from everything that bears on it, and charges the disk
// budget for what the guest's own writes added.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "disk_budget.hpp"
#include "engine.hpp"

namespace nuv {

class Task;

// The kernel's rule for positions (SandboxFile::seek): 0 to 2^31 - 1.
constexpr uint32_t kMaxPosition = 0x7FFFFFFF;

// A policy handed to an engine, and what it lets the guest's writes add.
struct InProcessGrant {
    InProcessPolicy policy;
    // Each host descriptor through which a regular file may grow, and the
    // file's size when it was granted.
    struct Sized {
        int fd = -1;
        uint64_t size = 0;
    };
    std::vector<Sized> sized;
    uint64_t reserved = 0;  // taken from the budget for their growth
};

// The policy for a task as it stands: nothing where every call must reach
// the kernel (a trace, a tally of the calls, recorded traps, a fixed
// time-stamp counter: runs that repeat exactly); read, write and lseek only where the kernel's own
// handler serves them; per descriptor what never needs the kernel: reads of
// regular files no larger than a position can be, writes of regular files
// and of other outputs that are not non-blocking (one that waits is ended
// with the run, as the kernel's own gives up then). Regular files grow
// together by no more than the budget has left: their growth is reserved
// (see reserve()).
InProcessGrant in_process_grant(const Task& t, DiskBudget& budget);

// Takes from budget what the granted regular files may add from their
// sizes now and sets the policy's max_file_size to the largest size that
// keeps them to it.
void reserve(InProcessGrant& g, DiskBudget& budget);
// Charges budget with what the granted files grew by since the grant (the
// guest's own writes: the kernel gets control back from the guest here)
// and gives back the rest of the reservation; the growth.
uint64_t settle(InProcessGrant& g, DiskBudget& budget);

// The largest size L <= max such that the sum of max(0, L - size) over
// sizes is at most room (water-filling).
uint32_t file_size_limit(std::span<const uint64_t> sizes, uint64_t room, uint32_t max);
// The sum of max(0, max - size) over sizes: what the files add growing to max.
uint64_t growth_room(std::span<const uint64_t> sizes, uint32_t max);

}  // namespace nuv
