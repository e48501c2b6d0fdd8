// The instruction guard: finds the places in guest code where an instruction
// that the processor refuses as invalid could begin, and keeps the CPU
// emulator from ever translating one.
//
// Unicorn 2.0.1 aborts the whole host process when it translates some of
// these encodings (a far call or jump through a register, LOCK on a compare)
// and runs others (LOCK on a register destination or on an instruction that
// cannot be locked) where the processor raises an invalid-opcode fault. With
// executable memory fixed once it is mapped (no page is both writable and
// executable), every such start can be found when the code is mapped. The
// guard registers those addresses as Unicorn exits: translation ends a block
// before an exit, so the instruction is never translated, and a run that
// stops there stopped at an invalid instruction.
//
// Use, in an engine built on Unicorn:
// - make the UnicornGuard right after uc_open, before anything is translated;
// - after the bytes of executable memory are placed (an image's segments are
//   written after their pages are mapped) or a range becomes executable, call
//   code_mapped with the bytes of the whole executable run around it, so that
//   an instruction crossing two mappings is seen whole; call code_unmapped
//   when a range is unmapped or loses execute permission;
// - run the guest with start() in place of uc_emu_start; a stop with
//   `refused` set is the guest's invalid-instruction fault at `eip`, and
//   refusal(eip) says why (describe() in words).
// Memory that is writable and executable at once is outside what the guard
// sees: bytes the guest stores there are not scanned.
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace nuv::guard {

// Why an instruction start is refused.
enum class Refusal {
    None,
    FarThroughRegister,  // ff /3 or ff /5 with a register operand
    LockNotLockable,     // LOCK on an instruction that cannot be locked
    LockRegister,        // LOCK on a lockable instruction with a register destination
};

// Classifies the instruction that begins at code[0] (legacy prefixes
// included). An instruction cut short by the end of `code` is refused only
// when the bytes there already settle it; callers pass whole executable
// ranges.
Refusal classify(std::span<const uint8_t> code);

// Every address in [base, base + code.size()) at which a refused instruction
// begins, in ascending order. Every byte offset is tried, since a guest may
// jump anywhere.
std::vector<uint32_t> scan(std::span<const uint8_t> code, uint32_t base);

const char* describe(Refusal r);

// How a guarded run ended.
struct GuardedStop {
    uc_err error = UC_ERR_OK;  // what uc_emu_start returned
    uint32_t eip = 0;
    bool refused = false;   // stopped before a refused instruction at eip
    bool returned = false;  // reached the return address given to start()
};

// Keeps the exit list of one Unicorn instance in step with the guest's
// executable memory. Not copyable: it belongs to its engine.
class UnicornGuard {
  public:
    // Turns exits on for `uc`; ok() tells whether Unicorn accepted it.
    explicit UnicornGuard(uc_engine* uc);
    UnicornGuard(const UnicornGuard&) = delete;
    UnicornGuard& operator=(const UnicornGuard&) = delete;

    bool ok() const { return ok_; }

    // Executable memory [base, base + code.size()) now holds `code`: the
    // refused starts in that range are replaced by those of the new bytes.
    void code_mapped(uint32_t base, std::span<const uint8_t> code);
    // [begin, begin + size) is no longer executable.
    void code_unmapped(uint32_t begin, uint32_t size);

    bool refused_at(uint32_t address) const { return refused_.count(address) != 0; }
    // "invalid instruction at 0x00401000 (far call or jump through a register)"
    Refusal refusal(uint32_t address) const;
    size_t refused_count() const { return refused_.size(); }
    // Whether the exits of a run in progress are out of date: start() would
    // install others.
    bool stale() const { return !stale_.empty(); }
    // Called with each range [begin, end) whose translated blocks are dropped.
    void on_drop(std::function<void(uint64_t, uint64_t)> f) { on_drop_ = std::move(f); }

    // uc_emu_start from `begin`, stopping at `return_address` (0: none) and
    // before every refused instruction, after at most `count` instructions
    // (0: no limit). With exits on, Unicorn ignores its own end address, so
    // the return address joins the exit list.
    GuardedStop start(uint32_t begin, uint32_t return_address, uint64_t timeout_us, size_t count);

  private:
    bool install(uint32_t return_address);

    void changed(uint32_t begin, uint64_t end);

    uc_engine* uc_;
    bool ok_ = false;
    bool installed_ = false;
    uint32_t installed_return_ = 0;
    std::map<uint32_t, Refusal> refused_;
    // Ranges whose translated blocks may have been made under an older exit
    // list. Unicorn's full flush costs hundreds of milliseconds; dropping the
    // blocks of the changed ranges costs next to nothing.
    std::vector<std::pair<uint64_t, uint64_t>> stale_;
    std::function<void(uint64_t, uint64_t)> on_drop_;
};

}  // namespace nuv::guard
