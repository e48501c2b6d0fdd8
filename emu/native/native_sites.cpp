// Rewritten call sites (see direct_call.h): once a guest on the direct path
// has made enough calls, each int 0x80 that traps is turned into
// `call *%eax`, which reaches the handler through the sled page without a
// signal. The guest's code then runs through the site segment, and every
// executable page has a copy (its shadow) NUV_SLED_BASE higher, kept equal
// to it by every write the engine makes. Whatever cannot be set up or kept
// (a mapping where a shadow or the sled would go) turns it all off again:
// the sites are restored and the guest runs through the flat selector.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "direct_call.h"
#include "native_abi.hpp"
#include "native_channel.hpp"
#include "native_engine.hpp"

namespace nuv {
using namespace native;
namespace {

constexpr uint32_t kModifyLdt = 123;
constexpr uint32_t kSledPage = NUV_SLED_BASE;
constexpr uint32_t kEntryPage = NUV_SLED_ENTRY & ~(kPage - 1);

// The sled page's bytes: the sled, the landing zone, the far jump, zeros.
std::vector<uint8_t> sled_bytes() {
    std::vector<uint8_t> b(kPage, 0);
    std::fill(b.begin() + NUV_SLED_LANDING, b.begin() + NUV_SLED_JUMP, 0x90);
    const uint32_t pattern = NUV_SLED_PATTERN;
    for (uint32_t i = 0; i < NUV_SLED_LANDING; i += 4) std::memcpy(&b[i], &pattern, 4);
    const uint32_t entry = NUV_SLED_ENTRY;
    b[NUV_SLED_JUMP] = 0xEA;
    std::memcpy(&b[NUV_SLED_JUMP + 1], &entry, 4);
    b[NUV_SLED_JUMP + 5] = NUV_USER_CS32;
    b[NUV_SLED_JUMP + 6] = 0;
    return b;
}

}  // namespace

bool NativeEngine::at_call_site(uint64_t ip) {
    if (checked_ip_ != 0 && ip == checked_ip_) return true;
    // read() refuses the gate and whatever lies past the guest's space.
    uint8_t insn[2] = {0, 0};
    if (ip < 2 || ip > kSpaceEnd || !read(static_cast<uint32_t>(ip - 2), insn, 2) ||
        insn[0] != 0xCD || insn[1] != 0x80) {
        return false;
    }
    checked_ip_ = ip;
    return true;
}

bool NativeEngine::is_site(uint32_t at) const {
    return sites_state_ == Sites::On && sites_.count(at) != 0;
}

bool NativeEngine::shadowed(uint32_t page) const {
    return exec_pages_.count(page) != 0;
}

void NativeEngine::note_site(uint32_t at) {
    if (sites_state_ == Sites::Waiting && opts_.rewrite_sites_after != 0 &&
        ++site_calls_ >= opts_.rewrite_sites_after) {
        if (!sites_on()) sites_off();
    }
    if (sites_state_ != Sites::On) return;
    // Runs on through the site segment from this call's answer on.
    if ((proc_.regs().cs & 0xffff) == NUV_USER_CS32) {
        proc_.regs().cs = NUV_SITE_CS;
        proc_.mark_dirty();
    }
    if (sites_.count(at) != 0) return;
    uint32_t page = at & ~(kPage - 1), next = (at + 1) & ~(kPage - 1);
    if (!shadowed(page) || !shadowed(next)) return;
    // The second byte first: `cd d0` faults, `ff 80` is never there.
    const uint8_t call = 0xFF, reg = 0xD0;
    if (pwrite(mem_fd_, &reg, 1, at + 1) != 1 || pwrite(mem_fd_, &call, 1, at) != 1 ||
        !write_shadow(at, "\xff\xd0", 2)) {
        sites_off();
        return;
    }
    sites_.insert(at);
    forget_call_site();
}

bool NativeEngine::back_to_site() {
    // From a rewritten site to the gate's entry the guest runs through the
    // engine's pages: the sled (the first page under the site selector) and
    // the flat entry's page. Nothing on that way changes anything but the
    // stack word the call pushed, so the guest can stand at its site again,
    // the call not yet made, as a report must show it.
    if (sites_state_ != Sites::On) return false;
    const uint16_t cs = proc_.regs().cs & 0xffff;
    const bool in_sled = cs == NUV_SITE_CS && proc_.regs().rip < kPage;
    const bool in_entry = cs == NUV_USER_CS32 && proc_.regs().rip >= kEntryPage &&
                          proc_.regs().rip < uint64_t{kEntryPage} + kPage;
    uint32_t back = 0;
    const uint32_t esp = static_cast<uint32_t>(proc_.regs().rsp);
    if ((!in_sled && !in_entry) || !read(esp, &back, sizeof back) || !is_site(back - 2)) {
        return false;
    }
    proc_.regs().rip = back - 2;
    proc_.regs().rsp = esp + 4;
    proc_.regs().cs = NUV_SITE_CS;
    proc_.mark_dirty();
    return true;
}

bool NativeEngine::make_shadow(uint32_t begin, uint32_t size) {
    // The copy must lie below the gate, where no guest mapping is (the
    // kernel refuses to place it over one).
    if (uint64_t{begin} + size + NUV_SLED_BASE > proc_.gate()) return false;
    uint32_t at = begin + NUV_SLED_BASE;
    if (!map_exactly(at, size, kPermRead | kPermExec)) return false;
    for (uint32_t p = begin; p < begin + size; p += kPage) exec_pages_.insert(p);
    // The shadow starts zero-filled, so only pages that hold something are
    // copied, one at a time: a page the guest never touched (Linux's page
    // map says it has none) is neither read nor given a second copy, and
    // the largest mapping costs no more memory on the way than one page.
    std::string map_path = "/proc/" + std::to_string(proc_.pid()) + "/pagemap";
    int map_fd = open(map_path.c_str(), O_RDONLY | O_CLOEXEC);
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
            ok = pread(mem_fd_, page, kPage, from) == static_cast<ssize_t>(kPage);
            if (ok && std::any_of(page, page + kPage, [](uint8_t b) { return b != 0; })) {
                ok = pwrite(mem_fd_, page, kPage, from + NUV_SLED_BASE) ==
                     static_cast<ssize_t>(kPage);
            }
        }
    }
    if (map_fd >= 0) close(map_fd);
    return ok;
}

bool NativeEngine::write_shadow(uint32_t address, const void* data, size_t n) {
    // Only the parts that have a shadow.
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < n;) {
        uint32_t a = address + static_cast<uint32_t>(done);
        size_t chunk = std::min<size_t>(n - done, kPage - a % kPage);
        if (shadowed(a & ~(kPage - 1)) && pwrite(mem_fd_, bytes + done, chunk, a + NUV_SLED_BASE) !=
                                              static_cast<ssize_t>(chunk)) {
            return false;
        }
        done += chunk;
    }
    return true;
}

bool NativeEngine::sites_on() {
    if (!pause()) return false;
    sites_state_ = Sites::On;  // undone by sites_off() on any failure
    int64_t r = 0;
    // The site segment: base NUV_SLED_BASE, 4 GiB, readable code.
    struct {
        uint32_t entry, base, limit, flags;
    } desc = {0, NUV_SLED_BASE, 0xFFFFF, 0x55};  // 32-bit, code, in pages, usable
    uint32_t scratch = proc_.gate() + kGateScratch;
    if (pwrite(mem_fd_, &desc, sizeof desc, scratch) != static_cast<ssize_t>(sizeof desc) ||
        !proc_.remote(kModifyLdt, {1, scratch, sizeof desc}, r) || r != 0) {
        return false;
    }
    // The sled page, and the flat entry's jump to the gate page's entry.
    const std::vector<uint8_t> sled = sled_bytes();
    uint8_t entry[kPage];
    std::memset(entry, 0xCC, sizeof entry);
    const uint32_t from = NUV_SLED_ENTRY + 5, to = proc_.gate() + NUV_GATE_SITE_ENTRY;
    const uint32_t rel = to - from;
    entry[NUV_SLED_ENTRY - kEntryPage] = 0xE9;
    std::memcpy(&entry[NUV_SLED_ENTRY - kEntryPage + 1], &rel, 4);
    for (auto [at, bytes] : {std::pair{kSledPage, sled.data()},
                             std::pair{kEntryPage, static_cast<const uint8_t*>(entry)}}) {
        if (!map_exactly(at, kPage, kPermRead | kPermExec)) return false;
        sled_pages_.push_back(at);
        if (pwrite(mem_fd_, bytes, kPage, at) != static_cast<ssize_t>(kPage)) return false;
    }
    // A shadow of every executable run of pages.
    for (auto [begin, size] : page_runs(exec_wanted_)) {
        if (!make_shadow(begin, size)) return false;
    }
    channel_->in_process(policy_);
    return true;
}

void NativeEngine::sites_off() {
    if (sites_state_ == Sites::Off) return;
    bool was_on = sites_state_ == Sites::On;
    sites_state_ = Sites::Off;
    if (!was_on || proc_.pid() <= 0) return;
    // Each site back as it was; the guest goes on through the flat selector.
    const uint8_t trap[2] = {0xCD, 0x80};
    for (uint32_t at : sites_) {
        if (pwrite(mem_fd_, trap, 2, at) != 2) proc_.end();
    }
    sites_.clear();
    forget_call_site();
    channel_->in_process({});
    if ((proc_.regs().cs & 0xffff) == NUV_SITE_CS) {
        proc_.regs().cs = NUV_USER_CS32;
        proc_.mark_dirty();
    }
    if (!pause()) return;
    const Abi& abi = abi_of(opts_);
    int64_t r = 0;
    for (uint32_t at : sled_pages_) proc_.remote(abi.munmap, {at, kPage}, r);
    sled_pages_.clear();
    for (auto [begin, size] : page_runs(exec_pages_)) {
        proc_.remote(abi.munmap, {begin + NUV_SLED_BASE, size}, r);
    }
    exec_pages_.clear();
}

std::vector<std::pair<uint32_t, uint32_t>> NativeEngine::page_runs(
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

bool NativeEngine::sites_in_the_way(uint32_t begin, uint32_t size) const {
    uint64_t end = uint64_t{begin} + size;
    auto overlaps = [&](uint64_t b, uint64_t e) { return begin < e && b < end; };
    if (overlaps(kSledPage, uint64_t{kSledPage} + 2 * kPage) ||
        overlaps(kEntryPage, uint64_t{kEntryPage} + kPage)) {
        return true;
    }
    for (uint32_t p : exec_pages_) {
        if (overlaps(uint64_t{p} + NUV_SLED_BASE, uint64_t{p} + NUV_SLED_BASE + kPage)) return true;
    }
    return false;
}

void NativeEngine::track_exec(uint32_t begin, uint32_t size, bool exec, bool gone) {
    // Which pages are executable, and their shadows when sites are on. A
    // page that stays but may no longer run gets its sites back.
    const Abi& abi = abi_of(opts_);
    int64_t r = 0;
    const uint8_t trap[2] = {0xCD, 0x80};
    for (uint32_t p = begin; p < begin + size; p += kPage) {
        if (exec) {
            exec_wanted_.insert(p);
        } else {
            exec_wanted_.erase(p);
        }
        if (!exec && shadowed(p)) {
            proc_.remote(abi.munmap, {p + NUV_SLED_BASE, kPage}, r);
            exec_pages_.erase(p);
        }
    }
    for (auto it = sites_.lower_bound(begin); it != sites_.end() && *it < begin + size;) {
        if (exec) {
            ++it;
            continue;
        }
        if (!gone && pwrite(mem_fd_, trap, 2, *it) != 2) proc_.end();
        it = sites_.erase(it);
    }
    if (exec && sites_state_ == Sites::On) {
        for (uint32_t p = begin; p < begin + size; p += kPage) {
            if (!shadowed(p) && !make_shadow(p, kPage)) {
                sites_off();
                return;
            }
        }
    }
}

}  // namespace nuv
