// Watches on a running guest that only an engine emulating the processor can
// offer. Every watch is set before the guest first runs.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace nuv {

class Instrumentation {
  public:
    virtual ~Instrumentation() = default;
    // Counts how often the instruction at an address runs.
    virtual void watch_exec(uint32_t address) = 0;
    virtual uint64_t exec_count(uint32_t address) const = 0;
    // Counts guest reads that touch [begin, end).
    virtual void watch_reads(uint32_t begin, uint32_t end) = 0;
    virtual uint64_t watched_reads() const = 0;
    // Each RDTSC in the code ranges [begin, end) reads start, then start + 1, ...
    virtual void fix_tsc(uint64_t start,
                         const std::vector<std::pair<uint32_t, uint32_t>>& code) = 0;
    // Engines that count instructions: take(eip) is called, inside the run,
    // each time at least `every` more instructions have been counted, at the
    // start of the block at eip (registers() may still name an earlier EIP;
    // the others and memory stand there). take() may read them, and must not
    // write them or stop the run.
    virtual bool sample_every(uint64_t every, std::function<void(uint32_t eip)> take) = 0;
};

}  // namespace nuv
