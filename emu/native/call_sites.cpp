#include "call_sites.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "direct_call.h"
#include "native_abi.hpp"

namespace nuv::native {
namespace {

constexpr uint32_t kModifyLdt = 123;
constexpr uint32_t kSledPage = NUV_SLED_BASE;
constexpr uint32_t kEntryPage = NUV_SLED_ENTRY & ~(kPage - 1);
// Sites are rewritten only on the direct path, in i386 guests.
constexpr uint32_t kMunmap = kI386.munmap;
constexpr uint8_t kTrap[2] = {0xCD, 0x80};

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

bool CallSites::at_call_site(uint64_t ip) {
    if (checked_ip_ != 0 && ip == checked_ip_) return true;
    // read() refuses the gate and whatever lies past the guest's space.
    uint8_t insn[2] = {0, 0};
    if (ip < 2 || ip > AddressSpace::kSpaceEnd ||
        !space_.read(static_cast<uint32_t>(ip - 2), insn, 2) || insn[0] != 0xCD ||
        insn[1] != 0x80) {
        return false;
    }
    checked_ip_ = ip;
    return true;
}

bool CallSites::is_site(uint32_t at) const {
    return state_ == State::On && sites_.count(at) != 0;
}

void CallSites::note_site(uint32_t at) {
    if (state_ == State::Waiting && rewrite_after_ != 0 && ++site_calls_ >= rewrite_after_) {
        if (!on()) off();
    }
    if (state_ != State::On) return;
    // Runs on through the site segment from this call's answer on.
    user_regs_struct& regs = p_.regs();
    if ((regs.cs & 0xffff) == NUV_USER_CS32) {
        regs.cs = NUV_SITE_CS;
        p_.mark_dirty();
    }
    if (sites_.count(at) != 0) return;
    uint32_t page = at & ~(kPage - 1), next = (at + 1) & ~(kPage - 1);
    if (!space_.shadowed(page) || !space_.shadowed(next)) return;
    // The second byte first: `cd d0` faults, `ff 80` is never there.
    const uint8_t call = 0xFF, reg = 0xD0;
    if (!space_.poke(at + 1, &reg, 1) || !space_.poke(at, &call, 1) ||
        !space_.write_shadow(at, "\xff\xd0", 2)) {
        off();
        return;
    }
    sites_.insert(at);
    forget_call_site();
}

bool CallSites::back_to_site() {
    // From a rewritten site to the gate's entry the guest runs through the
    // engine's pages: the sled (the first page under the site selector) and
    // the flat entry's page. Nothing on that way changes anything but the
    // stack word the call pushed, so the guest can stand at its site again,
    // the call not yet made, as a report must show it.
    if (state_ != State::On) return false;
    user_regs_struct& regs = p_.regs();
    const uint16_t cs = regs.cs & 0xffff;
    const bool in_sled = cs == NUV_SITE_CS && regs.rip < kPage;
    const bool in_entry =
        cs == NUV_USER_CS32 && regs.rip >= kEntryPage && regs.rip < uint64_t{kEntryPage} + kPage;
    uint32_t back = 0;
    const uint32_t esp = static_cast<uint32_t>(regs.rsp);
    if ((!in_sled && !in_entry) || !space_.read(esp, &back, sizeof back) || !is_site(back - 2)) {
        return false;
    }
    regs.rip = back - 2;
    regs.rsp = esp + 4;
    regs.cs = NUV_SITE_CS;
    p_.mark_dirty();
    return true;
}

bool CallSites::on() {
    if (!p_.pause()) return false;
    state_ = State::On;  // undone by off() on any failure
    int64_t r = 0;
    // The site segment: base NUV_SLED_BASE, 4 GiB, readable code.
    struct {
        uint32_t entry, base, limit, flags;
    } desc = {0, NUV_SLED_BASE, 0xFFFFF, 0x55};  // 32-bit, code, in pages, usable
    uint32_t scratch = p_.gate() + kGateScratch;
    if (!space_.poke(scratch, &desc, sizeof desc) ||
        !p_.remote(kModifyLdt, {1, scratch, sizeof desc}, r) || r != 0) {
        return false;
    }
    // The sled page, and the flat entry's jump to the gate page's entry.
    const std::vector<uint8_t> sled = sled_bytes();
    uint8_t entry[kPage];
    std::memset(entry, 0xCC, sizeof entry);
    const uint32_t from = NUV_SLED_ENTRY + 5, to = p_.gate() + NUV_GATE_SITE_ENTRY;
    const uint32_t rel = to - from;
    entry[NUV_SLED_ENTRY - kEntryPage] = 0xE9;
    std::memcpy(&entry[NUV_SLED_ENTRY - kEntryPage + 1], &rel, 4);
    for (auto [at, bytes] : {std::pair{kSledPage, sled.data()},
                             std::pair{kEntryPage, static_cast<const uint8_t*>(entry)}}) {
        if (!space_.map_exactly(at, kPage, kPermRead | kPermExec)) return false;
        sled_pages_.push_back(at);
        if (!space_.poke(at, bytes, kPage)) return false;
    }
    // A shadow of every executable run of pages.
    for (auto [begin, size] : AddressSpace::page_runs(space_.executable())) {
        if (!space_.make_shadow(begin, size)) return false;
    }
    if (changed_) changed_(true);
    return true;
}

void CallSites::off() {
    if (state_ == State::Off) return;
    bool was_on = state_ == State::On;
    state_ = State::Off;
    if (!was_on || !p_.alive()) return;
    // Each site back as it was; the guest goes on through the flat selector.
    for (uint32_t at : sites_) {
        if (!space_.poke(at, kTrap, 2)) p_.end();
    }
    sites_.clear();
    forget_call_site();
    if (changed_) changed_(false);
    user_regs_struct& regs = p_.regs();
    if ((regs.cs & 0xffff) == NUV_SITE_CS) {
        regs.cs = NUV_USER_CS32;
        p_.mark_dirty();
    }
    if (!p_.pause()) return;
    int64_t r = 0;
    for (uint32_t at : sled_pages_) p_.remote(kMunmap, {at, kPage}, r);
    sled_pages_.clear();
    space_.drop_shadows();
}

bool CallSites::in_the_way(uint32_t begin, uint32_t size) const {
    uint64_t end = uint64_t{begin} + size;
    auto overlaps = [&](uint64_t b, uint64_t e) { return begin < e && b < end; };
    if (overlaps(kSledPage, uint64_t{kSledPage} + 2 * kPage) ||
        overlaps(kEntryPage, uint64_t{kEntryPage} + kPage)) {
        return true;
    }
    for (uint32_t p : space_.shadows()) {
        if (overlaps(uint64_t{p} + NUV_SLED_BASE, uint64_t{p} + NUV_SLED_BASE + kPage)) return true;
    }
    return false;
}

void CallSites::before_write(uint32_t address, size_t n) {
    if (checked_ip_ != 0 && address < checked_ip_ && address + n + 2 > checked_ip_) {
        forget_call_site();
    }
    // A rewritten site written over is the guest's own code again.
    if (!sites_.empty()) {
        for (auto it = sites_.lower_bound(address > 0 ? address - 1 : 0);
             it != sites_.end() && *it < uint64_t{address} + n;) {
            it = sites_.erase(it);
        }
    }
}

void CallSites::exec_changed(uint32_t begin, uint32_t size, bool exec, bool gone) {
    // A page that stays but may no longer run gets its sites back; one that
    // may gets a shadow while sites are on.
    for (auto it = sites_.lower_bound(begin); it != sites_.end() && *it < begin + size;) {
        if (exec) {
            ++it;
            continue;
        }
        if (!gone && !space_.poke(*it, kTrap, 2)) p_.end();
        it = sites_.erase(it);
    }
    if (exec && state_ == State::On) {
        for (uint32_t p = begin; p < begin + size; p += kPage) {
            if (!space_.shadowed(p) && !space_.make_shadow(p, kPage)) {
                off();
                return;
            }
        }
    }
}

}  // namespace nuv::native
