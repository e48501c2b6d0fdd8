// A guest's address space as the host sees it: which pages are mapped with
// which permissions, and the only way host code reads or writes guest memory.
// Every access is checked against the guest's permissions first, so a bad
// guest pointer gives -NUV_EFAULT and never reaches the engine.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nuvos/kernel.h>

#include "engine.hpp"

namespace nuv {

// Bytes of guest memory shared by all the processes of one run: every page
// mapped is taken from it and given back when unmapped.
class MemoryBudget {
  public:
    explicit MemoryBudget(uint64_t limit) : limit_(limit) {}
    bool take(uint64_t n);
    void give(uint64_t n) { used_ -= n; }
    uint64_t used() const { return used_; }
    uint64_t limit() const { return limit_; }

  private:
    const uint64_t limit_;
    std::atomic<uint64_t> used_{0};
};

class GuestMemory {
  public:
    static constexpr uint32_t kPage = kPageSize;
    explicit GuestMemory(Engine& engine, std::shared_ptr<MemoryBudget> budget = nullptr)
        : engine_(engine), budget_(std::move(budget)) {}
    ~GuestMemory();
    GuestMemory(const GuestMemory&) = delete;
    GuestMemory& operator=(const GuestMemory&) = delete;

    // Maps whole pages, zero-filled; false when the engine refuses or the
    // budget has no room left.
    bool map(uint32_t begin, uint32_t size, uint32_t perms);

    // Whether all of [address, address + n) is mapped readable (and writable);
    // a range that runs past the top of the address space is not.
    bool accessible(uint32_t address, uint64_t n, bool for_write) const;
    // 0 when accessible, otherwise -NUV_EFAULT.
    int32_t check(uint32_t address, uint64_t n, bool for_write) const;

    // Checked copies: 0 or -NUV_EFAULT, and nothing moves on failure.
    int32_t read(uint32_t address, void* out, size_t n) const;
    int32_t write(uint32_t address, const void* data, size_t n);
    int32_t read_u32(uint32_t address, uint32_t& out) const;
    int32_t write_u32(uint32_t address, uint32_t value);
    // A NUL-terminated string of at most max bytes (without its NUL): 0,
    // -NUV_EFAULT when it runs into memory that is not readable, or
    // -NUV_ENAMETOOLONG when no NUL comes within max bytes.
    int32_t read_string(uint32_t address, uint32_t max, std::string& out) const;

    // Copies that ignore the guest's permissions (loading an image, building
    // its stack, tests): false when a page is not mapped.
    bool load(uint32_t address, const void* data, size_t n) {
        return engine_.write(address, data, n);
    }
    bool peek(uint32_t address, void* out, size_t n) const { return engine_.read(address, out, n); }
    // The bytes up to a NUL, at most max of them, as far as they are mapped.
    std::string peek_string(uint32_t address, size_t max) const;

    // Anonymous mappings, page-aligned, in [NUV_MAP_BASE, NUV_MAP_END),
    // bounded in number and total size. 0 when refused.
    uint32_t map_anonymous(uint32_t length, uint32_t prot);
    bool unmap_anonymous(uint32_t address, uint32_t length);
    size_t mapping_count() const { return mappings_.size(); }

    // Every mapped range [begin, end) with its permissions, in the order mapped.
    struct Region {
        uint32_t begin;
        uint64_t end;
        uint32_t perms;
    };
    const std::vector<Region>& regions() const { return regions_; }

  private:
    struct Mapping {
        uint32_t begin, length;
    };
    Engine& engine_;
    std::shared_ptr<MemoryBudget> budget_;
    std::vector<Region> regions_;
    std::vector<Mapping> mappings_;
};

}  // namespace nuv
