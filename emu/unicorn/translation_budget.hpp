// How much host code Unicorn has made since its translation cache was last
// emptied, estimated from the guest blocks it translated.
//
// Unicorn 2.0.1 keeps translated code in a buffer of about 1 GiB and crashes
// when the buffer fills (about four million small blocks); the Unicorn engine
// empties the cache itself before the estimate reaches its limit. The engine
// learns of every block as it runs; a block is new, and so was translated,
// when no block began at its address since the cache was emptied or since the
// blocks around that address were dropped (forget). Dropped blocks free no
// room in the buffer, so the estimate only grows until the cache is emptied.
//
// Telling a known block from a new one is a bit test in a bitmap of the page,
// cheap enough to run for every block executed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace nuv {

class TranslationBudget {
  public:
    // Host bytes reckoned for one block and for each guest byte in it: above
    // what Unicorn spends (its record of the block, the block's entry and
    // exit code, and at most 64 KiB of code for one block whatever its size).
    static constexpr uint64_t kBlockCost = 512;
    static constexpr uint64_t kByteCost = 128;
    // Half the buffer: room for underestimates and for what translation of
    // one block needs beyond the limit.
    static constexpr uint64_t kDefaultLimit = uint64_t{512} << 20;

    explicit TranslationBudget(uint64_t limit = kDefaultLimit) : limit_(limit) {}
    TranslationBudget(const TranslationBudget&) = delete;
    TranslationBudget& operator=(const TranslationBudget&) = delete;

    // A block of `size` guest bytes that begins at `address` is about to run.
    // True when the block is new and the estimate has reached the limit: the
    // cache must be emptied (and emptied() called) before more is translated.
    bool note(uint32_t address, uint32_t size) {
        uint64_t* word = bit_word(address);
        const uint64_t mask = uint64_t{1} << (address & 63);
        if ((*word & mask) != 0) return false;
        *word |= mask;
        ++blocks_;
        estimate_ += kBlockCost + kByteCost * size;
        return estimate_ >= limit_;
    }

    // The translated blocks that begin in [begin, end) were dropped: blocks
    // made there again are new.
    void forget(uint64_t begin, uint64_t end);
    // The whole cache was emptied.
    void emptied();

    void set_limit(uint64_t bytes) { limit_ = bytes; }
    uint64_t limit() const { return limit_; }
    uint64_t estimate() const { return estimate_; }
    uint64_t blocks() const { return blocks_; }  // new blocks since the cache was emptied
    uint64_t times_emptied() const { return emptied_; }

  private:
    static constexpr unsigned kPageBits = 12, kDirBits = 10;
    using PageBits = std::array<uint64_t, (1u << kPageBits) / 64>;
    using Directory = std::array<std::unique_ptr<PageBits>, 1u << kDirBits>;

    uint64_t* bit_word(uint32_t address) {
        Directory* dir = top_[address >> (kPageBits + kDirBits)].get();
        PageBits* page = dir != nullptr
                             ? (*dir)[(address >> kPageBits) & ((1u << kDirBits) - 1)].get()
                             : nullptr;
        if (page == nullptr) page = make_page(address);
        return &(*page)[(address & ((1u << kPageBits) - 1)) >> 6];
    }
    PageBits* make_page(uint32_t address);

    uint64_t limit_;
    uint64_t estimate_ = 0, blocks_ = 0, emptied_ = 0;
    std::array<std::unique_ptr<Directory>, 1u << (32 - kPageBits - kDirBits)> top_;
};

}  // namespace nuv
