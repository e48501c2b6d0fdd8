// How much a run may add to the files under its root: one budget for every
// process of the run, charged for each byte a file grows by (a write past
// its end, a file made or replaced larger than it was). Bytes the guest
// writes over what a file already holds cost nothing, and nothing is given
// back when a file shrinks or goes: the budget bounds what a run can take,
// not what it leaves. A name made costs something even when it holds no
// bytes, so that a run cannot take the host's inodes or fill a directory
// with names by the million: a file or a named pipe kNameBytes (an inode
// and an entry in its directory), a directory kDirectoryBytes (the block an
// empty one takes on the usual host file systems). Pipes are not on the
// disk at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace nuv {

class DiskBudget {
  public:
    static constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();
    static constexpr uint64_t kNameBytes = 256;
    static constexpr uint64_t kDirectoryBytes = 4096;

    explicit DiskBudget(uint64_t limit = kUnlimited) : left_(limit), limit_(limit) {}

    uint64_t limit() const { return limit_; }
    uint64_t left() const { return left_.load(std::memory_order_relaxed); }
    bool unlimited() const { return limit_ == kUnlimited; }
    // Nothing is left of a limited budget: a write past a file's end fails.
    bool used_up() const { return !unlimited() && left() == 0; }

    // Takes `bytes` from what is left: all of them, or none (false) when
    // fewer are left.
    bool take(uint64_t bytes) {
        if (unlimited()) return true;
        uint64_t have = left_.load(std::memory_order_relaxed);
        do {
            if (have < bytes) return false;
        } while (!left_.compare_exchange_weak(have, have - bytes, std::memory_order_relaxed));
        return true;
    }
    // Takes at most `bytes`, and says how many it took.
    uint64_t take_up_to(uint64_t bytes) {
        if (unlimited()) return bytes;
        uint64_t have = left_.load(std::memory_order_relaxed), got = 0;
        do {
            got = have < bytes ? have : bytes;
        } while (!left_.compare_exchange_weak(have, have - got, std::memory_order_relaxed));
        return got;
    }
    // Growth that already happened elsewhere (within a limit this budget
    // set beforehand): what is left drops by it, down to nothing.
    void spent(uint64_t bytes) { take_up_to(bytes); }
    // Gives back what take() took for a growth that then did not happen.
    void give_back(uint64_t bytes) {
        if (!unlimited()) left_.fetch_add(bytes, std::memory_order_relaxed);
    }

  private:
    std::atomic<uint64_t> left_;
    const uint64_t limit_;
};

}  // namespace nuv
