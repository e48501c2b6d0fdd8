// The CPU emulator's buffer of translated code, and how much of it is in use.
//
// Unicorn 2.0.1 maps about 1 GiB, readable, writable and executable, for the
// host code it makes, fills it from the start and crashes when it is full.
// The pages it has written are the pages resident in memory, so what is in
// use is read off the mapping (mincore) at no cost to the code that runs.
// Emptying the cache writes over the whole buffer; release() then hands the
// pages back to the system, so that residence tells use again.
#pragma once

#include <cstdint>
#include <functional>

namespace nuv {

class CodeBuffer {
  public:
    CodeBuffer() = default;

    // Runs `make` (which makes an emulator and has it set up its buffer) and
    // returns the one mapping it added that is readable, writable and
    // executable and at least 16 MiB long; not found() when there is not
    // exactly one. Calls from different threads are taken one at a time.
    static CodeBuffer find_around(const std::function<bool()>& make, bool& made);

    bool found() const { return end_ > begin_; }
    uint64_t size() const { return end_ - begin_; }
    // Bytes of resident pages: the code written since the last release(),
    // which fills the buffer from its start; the count stops at the first
    // stretch of 16 MiB with nothing in it.
    uint64_t used() const;
    // The cache was emptied: every page past the emulator's entry code at the
    // start of the buffer goes back to the system (reads as zeros).
    void release();

  private:
    uintptr_t begin_ = 0, end_ = 0;
};

}  // namespace nuv
