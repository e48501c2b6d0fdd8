// The Unicorn engine's memory: the guest's mappings, whose executable pages
// the instruction guard scans, and the system page with the descriptor table
// and the stub that drops the guest to user privilege.
#include "unicorn_engine.hpp"

#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "insn_guard.hpp"
#include "slow_path.hpp"

namespace nuv {
namespace {

constexpr uint32_t kPage = 0x1000;

// The page that holds the descriptor table and the stub that drops to user
// privilege, just below the host calls' return address; guest memory cannot
// be mapped there.
constexpr uint32_t kSystemPage = 0xFFFFE000;
constexpr uint32_t kStubOffset = 0x100;  // iret; nop
constexpr uint32_t kFrameOffset = 0x800;
constexpr uint16_t kKernelCode = 0x08, kKernelData = 0x10;
// The selectors a 32-bit process has under Linux, which the native engine's
// guests run with: a guest that loads another one (an iret to 0x1b, a far
// jump to 0x33) faults as it does there.
constexpr uint16_t kUserCode = 0x23, kUserData = 0x2B;  // entries 4 and 5, privilege 3

// Flat 4 GiB segments, already marked accessed so that loading them never
// writes to the table.
constexpr uint8_t kDescriptors[6][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0xFF, 0xFF, 0, 0, 0, 0x9B, 0xCF, 0},  // code, privilege 0
    {0xFF, 0xFF, 0, 0, 0, 0x93, 0xCF, 0},  // data, privilege 0
    {0xFF, 0xFF, 0, 0, 0, 0x93, 0xCF, 0},  // data, privilege 0 (Linux's kernel data)
    {0xFF, 0xFF, 0, 0, 0, 0xFB, 0xCF, 0},  // code, privilege 3
    {0xFF, 0xFF, 0, 0, 0, 0xF3, 0xCF, 0},  // data, privilege 3
};

// As on the processor (and so in a native guest, but for execute-only pages
// where the processor has protection keys), a page that can be written or
// executed can be read: Unicorn checks reads only where it does not find the
// page in its TLB already, which a store or an instruction fetch fills.
uint32_t readable_as_on_the_processor(uint32_t perms) {
    return (perms & (kPermWrite | kPermExec)) != 0 ? perms | kPermRead : perms;
}

bool system_page(uint32_t begin, uint64_t size) {
    return begin < uint64_t{kSystemPage} + kPage && uint64_t{begin} + size > kSystemPage;
}

}  // namespace

bool UnicornEngine::enter_user_mode() {
    // A descriptor table with flat segments for both privileges, then an
    // IRET from privilege 0 to privilege 3. The page is read-only, so a
    // guest can neither change the table nor use the stub to come back.
    if (uc_mem_map(uc_, kSystemPage, kPage, UC_PROT_READ | UC_PROT_EXEC) != UC_ERR_OK) return false;
    slow_path::mappings_changed();
    uint8_t page[kPage] = {};
    std::memcpy(page, kDescriptors, sizeof kDescriptors);
    page[kStubOffset] = 0xCF;      // iret
    page[kStubOffset + 1] = 0x90;  // nop: where the IRET lands
    const uint32_t frame[5] = {kSystemPage + kStubOffset + 1, kUserCode, 0x202,
                               kSystemPage + kFrameOffset, kUserData};
    std::memcpy(page + kFrameOffset, frame, sizeof frame);
    if (uc_mem_write(uc_, kSystemPage, page, sizeof page) != UC_ERR_OK) return false;
    uc_x86_mmr gdtr{0, kSystemPage, sizeof kDescriptors - 1, 0};
    uint32_t esp = kSystemPage + kFrameOffset;
    uint32_t kernel_data = kKernelData, user_data = kUserData;
    if (uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr) != UC_ERR_OK ||
        uc_reg_write(uc_, UC_X86_REG_SS, &kernel_data) != UC_ERR_OK ||
        uc_reg_write(uc_, UC_X86_REG_ESP, &esp) != UC_ERR_OK) {
        return false;
    }
    for (int seg : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_FS, UC_X86_REG_GS}) {
        if (uc_reg_write(uc_, seg, &user_data) != UC_ERR_OK) return false;
    }
    // The landing place is an exit: a count limit would make Unicorn drop
    // and clear its whole translation buffer on the next run.
    guard::GuardedStop stop =
        guard_->start(kSystemPage + kStubOffset, kSystemPage + kStubOffset + 1, 0, 0);
    uint32_t cs = 0, ss = 0;
    uc_reg_read(uc_, UC_X86_REG_CS, &cs);
    uc_reg_read(uc_, UC_X86_REG_SS, &ss);
    (void)kKernelCode;
    return stop.returned && cs == kUserCode && ss == kUserData;
}

void UnicornEngine::set_perms(uint32_t begin, uint32_t size, std::optional<uint32_t> perms) {
    constexpr uint32_t kWritableCode = kPermWrite | kPermExec;
    int64_t delta = 0;
    for (uint64_t p = begin; p < uint64_t{begin} + size; p += kPage) {
        auto it = perms_.find(static_cast<uint32_t>(p));
        if (it != perms_.end() && (it->second & kWritableCode) == kWritableCode) --delta;
        if (perms) {
            perms_[static_cast<uint32_t>(p)] = *perms;
            if ((*perms & kWritableCode) == kWritableCode) ++delta;
        } else if (it != perms_.end()) {
            perms_.erase(it);
        }
    }
    if (delta != 0) {
        writable_code_pages_ += delta;
        slow_path::writable_code(delta);
    }
    slow_path::mappings_changed();
}

bool UnicornEngine::executable(uint32_t page) const {
    auto it = perms_.find(page);
    return it != perms_.end() && (it->second & kPermExec) != 0;
}

void UnicornEngine::rescan(uint64_t begin, uint64_t end) {
    uint64_t page = begin & ~uint64_t{kPage - 1};
    while (page < end) {
        if (!executable(static_cast<uint32_t>(page))) {
            page += kPage;
            continue;
        }
        // The whole run of executable pages around this one, so that an
        // instruction crossing two mappings is seen whole.
        uint64_t first = page, last = page + kPage;
        while (first >= kPage && executable(static_cast<uint32_t>(first - kPage))) first -= kPage;
        while (last <= UINT32_MAX && executable(static_cast<uint32_t>(last))) last += kPage;
        std::vector<uint8_t> bytes(last - first);
        if (uc_mem_read(uc_, first, bytes.data(), bytes.size()) == UC_ERR_OK) {
            guard_->code_mapped(static_cast<uint32_t>(first), bytes);
        }
        page = last;
    }
}

bool UnicornEngine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    if (system_page(begin, size)) return false;
    if (uc_mem_map(uc_, begin, size, readable_as_on_the_processor(perms)) != UC_ERR_OK) {
        return false;
    }
    set_perms(begin, size, perms);
    if ((perms & kPermExec) != 0) rescan(begin, uint64_t{begin} + size);
    return true;
}

void UnicornEngine::drop_code(uint64_t begin, uint64_t end) {
    // Stores do not look for code (slow_path.hpp): the blocks of pages that
    // change or stop being executable go here, while no block runs. Unicorn
    // finds a range's blocks from where its first page lies in its own
    // memory, which the next page need not follow: so page by page. A block
    // that runs into a page from the one before goes with that page.
    bool stopped = false;
    for (uint64_t p = begin & ~uint64_t{kPage - 1}; p < end; p += kPage) {
        if (!executable(static_cast<uint32_t>(p))) continue;
        if (!stopped) end_suspended();
        stopped = true;
        uc_ctl_remove_cache(uc_, p, p + kPage);
    }
}

bool UnicornEngine::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (system_page(begin, size)) return false;
    if ((perms & kPermExec) == 0) drop_code(begin, uint64_t{begin} + size);
    // A page that was writable may be in the TLB as clean (slow_path.hpp):
    // made writable and executable, its stores must look for code again.
    // Unicorn empties its TLB when a page stops or starts being writable,
    // and only then: so by way of read-only.
    constexpr uint32_t kWritableCode = kPermWrite | kPermExec;
    if ((perms & kWritableCode) == kWritableCode &&
        uc_mem_protect(uc_, begin, size, readable_as_on_the_processor(perms & ~kPermWrite)) !=
            UC_ERR_OK) {
        return false;
    }
    if (uc_mem_protect(uc_, begin, size, readable_as_on_the_processor(perms)) != UC_ERR_OK) {
        return false;
    }
    set_perms(begin, size, perms);
    if ((perms & kPermExec) != 0) {
        rescan(begin, uint64_t{begin} + size);
    } else {
        guard_->code_unmapped(begin, size);
    }
    // Blocks dropped with the pages no longer count against the budget.
    budget_.forget(begin >= kPage ? begin - kPage : 0, uint64_t{begin} + size);
    return true;
}

bool UnicornEngine::unmap(uint32_t begin, uint32_t size) {
    if (system_page(begin, size)) return false;
    drop_code(begin, uint64_t{begin} + size);
    if (uc_mem_unmap(uc_, begin, size) != UC_ERR_OK) return false;
    set_perms(begin, size, std::nullopt);
    guard_->code_unmapped(begin, size);
    budget_.forget(begin >= kPage ? begin - kPage : 0, uint64_t{begin} + size);
    return true;
}

bool UnicornEngine::read(uint32_t address, void* out, size_t n) {
    return n == 0 || uc_mem_read(uc_, address, out, n) == UC_ERR_OK;
}

bool UnicornEngine::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    if (system_page(address, n)) return false;
    // Code changes (a debugger's breakpoint) while no block runs: a guest
    // left at a trap is stopped there first. Unicorn drops the blocks
    // translated from bytes that change, but not always one that an int3
    // ended (a debugger's breakpoint taken out again): they go here.
    const uint64_t to = uint64_t{address} + n;
    drop_code(address, to);
    if (uc_mem_write(uc_, address, data, n) != UC_ERR_OK) return false;
    budget_.forget(address >= kPage ? address - kPage : 0, to);
    rescan(address, to);
    return true;
}

}  // namespace nuv
