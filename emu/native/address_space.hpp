// The guest process's memory as the engine sees and changes it: reads and
// writes through the process's memory file (which reaches read-only pages
// too), mappings made by the process itself at the gate, which pages are
// executable and, while call sites are rewritten (call_sites.hpp), each such
// page's shadow: its copy NUV_SLED_BASE higher, kept equal to it by every
// write made here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "traced_process.hpp"

namespace nuv::native {

class AddressSpace {
  public:
    // The highest address a 32-bit process can map, plus one.
    static constexpr uint32_t kSpaceEnd = 0xFFFFE000;

    AddressSpace(TracedProcess& process, const Abi& abi) : p_(process), abi_(abi) {}
    ~AddressSpace() { close(); }
    AddressSpace(const AddressSpace&) = delete;
    AddressSpace& operator=(const AddressSpace&) = delete;

    // The process's memory file, opened once the gate is known; false (errno
    // says why) when it cannot be.
    bool open();
    void close();

    // Whether [address, address + n) lies in the guest's part: below the
    // space's end and clear of the gate area.
    bool guest_range(uint32_t address, uint64_t n) const;
    // Whether whole pages there may be given these permissions (never both
    // writable and executable).
    bool can_map(uint32_t begin, uint32_t size, uint32_t perms) const;
    bool map(uint32_t begin, uint32_t size, uint32_t perms);
    bool protect(uint32_t begin, uint32_t size, uint32_t perms);
    bool unmap(uint32_t begin, uint32_t size);
    // Zero-filled pages mapped exactly at `at` and nowhere else, over
    // nothing that is there.
    bool map_exactly(uint32_t at, uint32_t size, uint32_t perms);
    bool read(uint32_t address, void* out, size_t n);
    // The guest's memory and its shadow.
    bool write(uint32_t address, const void* data, size_t n);
    // The engine's own pages (the gate's scratch, the handler's stack, the
    // sled), or single bytes of the guest's code: no range checked, no
    // shadow written.
    bool poke(uint32_t address, const void* data, size_t n);
    bool peek(uint32_t address, void* out, size_t n);
    // The permissions Linux shows for the page at `address`.
    uint32_t page_perms(uint32_t address);

    // The guest's executable pages, and those that have a shadow.
    const std::set<uint32_t>& executable() const { return exec_wanted_; }
    const std::set<uint32_t>& shadows() const { return exec_pages_; }
    bool shadowed(uint32_t page) const { return exec_pages_.count(page) != 0; }
    bool make_shadow(uint32_t begin, uint32_t size);
    bool write_shadow(uint32_t address, const void* data, size_t n);
    // Every shadow unmapped.
    void drop_shadows();
    // The runs of consecutive pages in a set of page addresses: (begin, size).
    static std::vector<std::pair<uint32_t, uint32_t>> page_runs(const std::set<uint32_t>& pages);

  private:
    // Which pages are executable; a page that no longer is loses its shadow.
    void track_exec(uint32_t begin, uint32_t size, bool exec);

    TracedProcess& p_;
    const Abi& abi_;
    int mem_fd_ = -1;
    std::set<uint32_t> exec_wanted_;  // executable guest pages
    std::set<uint32_t> exec_pages_;   // those with a shadow
};

}  // namespace nuv::native
