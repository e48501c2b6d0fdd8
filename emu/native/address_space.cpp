#include "address_space.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "direct_call.h"
#include "native_abi.hpp"

namespace nuv::native {
namespace {

constexpr uint32_t kMapPrivate = 0x02, kMapAnonymous = 0x20, kMapFixedNoreplace = 0x100000;

}  // namespace

bool AddressSpace::open() {
    close();
    std::string mem = "/proc/" + std::to_string(p_.pid()) + "/mem";
    mem_fd_ = ::open(mem.c_str(), O_RDWR | O_CLOEXEC);
    return mem_fd_ >= 0;
}

void AddressSpace::close() {
    if (mem_fd_ >= 0) {
        ::close(mem_fd_);
        mem_fd_ = -1;
    }
}

bool AddressSpace::guest_range(uint32_t address, uint64_t n) const {
    const uint32_t gate = p_.gate();
    uint64_t end = uint64_t{address} + n;
    return end <= kSpaceEnd && (end <= gate || address >= uint64_t{gate} + NUV_GATE_SIZE);
}

bool AddressSpace::can_map(uint32_t begin, uint32_t size, uint32_t perms) const {
    // No page is ever both writable and executable.
    return size != 0 && begin % kPage == 0 && size % kPage == 0 &&
           uint64_t{begin} + size <= kSpaceEnd && guest_range(begin, size) &&
           !((perms & kPermWrite) && (perms & kPermExec));
}

bool AddressSpace::map(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!can_map(begin, size, perms) || !map_exactly(begin, size, perms)) return false;
    if (perms & kPermExec) track_exec(begin, size, true);
    return true;
}

bool AddressSpace::map_exactly(uint32_t at, uint32_t size, uint32_t perms) {
    int64_t r = 0;
    if (!p_.remote(abi_.mmap,
                   {at, size, linux_prot(perms), kMapPrivate | kMapAnonymous | kMapFixedNoreplace,
                    ~0ull, 0},
                   r)) {
        return false;
    }
    if (r == int64_t{at}) return true;
    // A kernel that ignores the no-replace flag may have placed it elsewhere.
    if (r > 0 || r < -4095) p_.remote(abi_.munmap, {static_cast<uint64_t>(r), size}, r);
    return false;
}

bool AddressSpace::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!can_map(begin, size, perms)) return false;
    int64_t r = 0;
    if (!p_.remote(abi_.mprotect, {begin, size, linux_prot(perms)}, r) || r != 0) return false;
    track_exec(begin, size, (perms & kPermExec) != 0);
    return true;
}

bool AddressSpace::unmap(uint32_t begin, uint32_t size) {
    if (!can_map(begin, size, 0)) return false;
    int64_t r = 0;
    if (!p_.remote(abi_.munmap, {begin, size}, r) || r != 0) return false;
    track_exec(begin, size, false);
    return true;
}

bool AddressSpace::read(uint32_t address, void* out, size_t n) {
    if (n == 0) return true;
    if (!p_.alive() || !guest_range(address, n)) return false;
    iovec local{out, n};
    iovec there{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), n};
    if (process_vm_readv(p_.pid(), &local, 1, &there, 1, 0) == static_cast<ssize_t>(n)) {
        return true;
    }
    // Pages the guest may not read itself.
    return peek(address, out, n);
}

bool AddressSpace::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    if (!p_.alive() || !guest_range(address, n)) return false;
    return poke(address, data, n) && (exec_pages_.empty() || write_shadow(address, data, n));
}

bool AddressSpace::poke(uint32_t address, const void* data, size_t n) {
    return pwrite(mem_fd_, data, n, address) == static_cast<ssize_t>(n);
}

bool AddressSpace::peek(uint32_t address, void* out, size_t n) {
    return pread(mem_fd_, out, n, address) == static_cast<ssize_t>(n);
}

uint32_t AddressSpace::page_perms(uint32_t address) {
    for (const MapsLine& m : read_maps(p_.pid())) {
        if (address < m.begin || address >= m.end || m.perms.size() < 3) continue;
        uint32_t p = 0;
        if (m.perms[0] == 'r') p |= kPermRead;
        if (m.perms[1] == 'w') p |= kPermWrite;
        if (m.perms[2] == 'x') p |= kPermExec;
        return p;
    }
    return 0;
}

bool AddressSpace::make_shadow(uint32_t begin, uint32_t size) {
    // The copy must lie below the gate, where no guest mapping is (the
    // kernel refuses to place it over one).
    if (uint64_t{begin} + size + NUV_SLED_BASE > p_.gate()) return false;
    uint32_t at = begin + NUV_SLED_BASE;
    if (!map_exactly(at, size, kPermRead | kPermExec)) return false;
    for (uint32_t p = begin; p < begin + size; p += kPage) exec_pages_.insert(p);
    // The shadow starts zero-filled, so only pages that hold something are
    // copied, one at a time: a page the guest never touched (Linux's page
    // map says it has none) is neither read nor given a second copy, and
    // the largest mapping costs no more memory on the way than one page.
    std::string map_path = "/proc/" + std::to_string(p_.pid()) + "/pagemap";
    int map_fd = ::open(map_path.c_str(), O_RDONLY | O_CLOEXEC);
    constexpr uint32_t kBatch = 512;  // pages whose map entries are read at once
    uint64_t entries[kBatch];
    uint8_t page[kPage];
    bool ok = true;
    for (uint32_t first = 0; ok && first < size / kPage; first += kBatch) {
        const uint32_t n = std::min<uint32_t>(kBatch, size / kPage - first);
        const uint32_t base = begin + first * kPage;
        const off_t where = static_cast<off_t>(base / kPage) * 8;
        const bool known =
            map_fd >= 0 && pread(map_fd, entries, n * 8, where) == static_cast<ssize_t>(n * 8);
        for (uint32_t i = 0; ok && i < n; ++i) {
            // Bit 63: in memory; bit 62: swapped out.
            if (known && (entries[i] >> 62) == 0) continue;
            const uint32_t from = base + i * kPage;
            ok = peek(from, page, kPage);
            if (ok && std::any_of(page, page + kPage, [](uint8_t b) { return b != 0; })) {
                ok = poke(from + NUV_SLED_BASE, page, kPage);
            }
        }
    }
    if (map_fd >= 0) ::close(map_fd);
    return ok;
}

bool AddressSpace::write_shadow(uint32_t address, const void* data, size_t n) {
    // Only the parts that have a shadow.
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < n;) {
        uint32_t a = address + static_cast<uint32_t>(done);
        size_t chunk = std::min<size_t>(n - done, kPage - a % kPage);
        if (shadowed(a & ~(kPage - 1)) && !poke(a + NUV_SLED_BASE, bytes + done, chunk)) {
            return false;
        }
        done += chunk;
    }
    return true;
}

void AddressSpace::drop_shadows() {
    int64_t r = 0;
    for (auto [begin, size] : page_runs(exec_pages_)) {
        p_.remote(abi_.munmap, {begin + NUV_SLED_BASE, size}, r);
    }
    exec_pages_.clear();
}

std::vector<std::pair<uint32_t, uint32_t>> AddressSpace::page_runs(
    const std::set<uint32_t>& pages) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (uint32_t p : pages) {
        if (!runs.empty() && runs.back().first + runs.back().second == p) {
            runs.back().second += kPage;
        } else {
            runs.push_back({p, kPage});
        }
    }
    return runs;
}

void AddressSpace::track_exec(uint32_t begin, uint32_t size, bool exec) {
    int64_t r = 0;
    for (uint32_t p = begin; p < begin + size; p += kPage) {
        if (exec) {
            exec_wanted_.insert(p);
        } else {
            exec_wanted_.erase(p);
        }
        if (!exec && shadowed(p)) {
            p_.remote(abi_.munmap, {p + NUV_SLED_BASE, kPage}, r);
            exec_pages_.erase(p);
        }
    }
}

}  // namespace nuv::native
