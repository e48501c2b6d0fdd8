#include "insn_guard.hpp"

#include <cstdio>

namespace nuv::guard {
namespace {

// The processor takes at most 15 bytes for one instruction.
constexpr size_t kMaxInstruction = 15;

bool is_legacy_prefix(uint8_t b) {
    switch (b) {
        case 0xF0:  // LOCK
        case 0xF2:
        case 0xF3:  // REPNE, REP
        case 0x2E:
        case 0x36:
        case 0x3E:
        case 0x26:
        case 0x64:
        case 0x65:  // segment overrides
        case 0x66:
        case 0x67:  // operand and address size
            return true;
        default:
            return false;
    }
}

// Whether LOCK may precede this opcode with this ModRM reg field (the
// destination must also be memory, checked by the caller). The lockable
// instructions: ADD, ADC, AND, BTC, BTR, BTS, CMPXCHG, CMPXCHG8B, DEC, INC,
// NEG, NOT, OR, SBB, SUB, XADD, XCHG and XOR.
bool lockable_one_byte(uint8_t op, unsigned reg) {
    switch (op) {
        case 0x00:
        case 0x01:  // add r/m, r
        case 0x08:
        case 0x09:  // or
        case 0x10:
        case 0x11:  // adc
        case 0x18:
        case 0x19:  // sbb
        case 0x20:
        case 0x21:  // and
        case 0x28:
        case 0x29:  // sub
        case 0x30:
        case 0x31:  // xor
        case 0x86:
        case 0x87:  // xchg
            return true;
        case 0x80:
        case 0x81:
        case 0x82:
        case 0x83:
            return reg != 7;  // every group-1 operation but cmp
        case 0xF6:
        case 0xF7:
            return reg == 2 || reg == 3;  // not, neg
        case 0xFE:
        case 0xFF:
            return reg == 0 || reg == 1;  // inc, dec
        default:
            return false;
    }
}

bool lockable_two_byte(uint8_t op, unsigned reg) {
    switch (op) {
        case 0xAB:  // bts
        case 0xB3:  // btr
        case 0xBB:  // btc
        case 0xB0:
        case 0xB1:  // cmpxchg
        case 0xC0:
        case 0xC1:  // xadd
            return true;
        case 0xBA:
            return reg >= 5;  // bts, btr, btc with an immediate
        case 0xC7:
            return reg == 1;  // cmpxchg8b
        default:
            return false;
    }
}

}  // namespace

Refusal classify(std::span<const uint8_t> code) {
    size_t limit = code.size() < kMaxInstruction ? code.size() : kMaxInstruction;
    size_t at = 0;
    bool lock = false;
    while (at < limit && is_legacy_prefix(code[at])) {
        lock |= code[at] == 0xF0;
        ++at;
    }
    if (at >= limit) return Refusal::None;
    const bool two_byte = code[at] == 0x0F;
    if (two_byte && ++at >= limit) return Refusal::None;
    const uint8_t op = code[at++];
    // Every refusal depends on the ModRM byte: without it nothing is known.
    if (at >= limit) {
        // LOCK on an opcode that takes no ModRM at all cannot be lockable.
        if (!lock) return Refusal::None;
        bool may_lock = two_byte ? lockable_two_byte(op, 1) || lockable_two_byte(op, 5)
                                 : lockable_one_byte(op, 0) || lockable_one_byte(op, 2);
        return may_lock ? Refusal::None : Refusal::LockNotLockable;
    }
    const uint8_t modrm = code[at];
    const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7;
    if (!two_byte && op == 0xFF && mod == 3 && (reg == 3 || reg == 5)) {
        return Refusal::FarThroughRegister;
    }
    if (!lock) return Refusal::None;
    if (!(two_byte ? lockable_two_byte(op, reg) : lockable_one_byte(op, reg))) {
        return Refusal::LockNotLockable;
    }
    return mod == 3 ? Refusal::LockRegister : Refusal::None;
}

std::vector<uint32_t> scan(std::span<const uint8_t> code, uint32_t base) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < code.size(); ++i) {
        // Only a far group-5 opcode or a LOCK byte can start a refusal, so
        // most offsets are settled without decoding.
        bool candidate = false;
        for (size_t j = i; j < code.size() && j < i + kMaxInstruction; ++j) {
            if (code[j] == 0xF0 || code[j] == 0xFF) {
                candidate = true;
                break;
            }
            if (!is_legacy_prefix(code[j])) break;
        }
        if (candidate && classify(code.subspan(i)) != Refusal::None) {
            out.push_back(base + static_cast<uint32_t>(i));
        }
    }
    return out;
}

const char* describe(Refusal r) {
    switch (r) {
        case Refusal::None:
            return "valid";
        case Refusal::FarThroughRegister:
            return "far call or jump through a register";
        case Refusal::LockNotLockable:
            return "LOCK on an instruction that cannot be locked";
        case Refusal::LockRegister:
            return "LOCK with a register destination";
    }
    return "?";
}

UnicornGuard::UnicornGuard(uc_engine* uc) : uc_(uc) {
    ok_ = uc_ctl_exits_enable(uc_) == UC_ERR_OK;
}

void UnicornGuard::changed(uint32_t begin, uint64_t end) {
    // A block may begin up to a page before a changed address and run into it.
    stale_.emplace_back(begin >= 4096 ? begin - 4096 : 0, end + 4096);
}

void UnicornGuard::code_mapped(uint32_t base, std::span<const uint8_t> code) {
    code_unmapped(base, static_cast<uint32_t>(code.size()));
    std::vector<uint32_t> found = scan(code, base);
    for (uint32_t a : found) refused_.emplace(a, classify(code.subspan(a - base)));
    if (!found.empty()) changed(base, uint64_t{base} + code.size());
}

void UnicornGuard::code_unmapped(uint32_t begin, uint32_t size) {
    auto first = refused_.lower_bound(begin);
    auto last = uint64_t{begin} + size > UINT32_MAX
                    ? refused_.end()
                    : refused_.lower_bound(static_cast<uint32_t>(begin + size));
    if (first != last) {
        refused_.erase(first, last);
        changed(begin, uint64_t{begin} + size);
    }
}

Refusal UnicornGuard::refusal(uint32_t address) const {
    auto it = refused_.find(address);
    return it == refused_.end() ? Refusal::None : it->second;
}

bool UnicornGuard::install(uint32_t return_address) {
    if (installed_ && stale_.empty() && return_address == installed_return_) return true;
    std::vector<uint64_t> exits;
    exits.reserve(refused_.size() + 1);
    for (const auto& entry : refused_) exits.push_back(entry.first);
    if (return_address != 0) exits.push_back(return_address);
    // Unicorn refuses an empty exit list; an exit at the top byte of the
    // address space stands for none (no instruction can begin there and
    // still fit).
    if (exits.empty()) exits.push_back(0xFFFFFFFFu);
    if (uc_ctl_set_exits(uc_, exits.data(), exits.size()) != UC_ERR_OK) return false;
    // Blocks translated under the old list may run past a new exit.
    if (installed_ && return_address != installed_return_) {
        changed(installed_return_, uint64_t{installed_return_} + 1);
        changed(return_address, uint64_t{return_address} + 1);
    }
    for (const auto& [begin, end] : stale_) {
        if (uc_ctl_remove_cache(uc_, begin, end) != UC_ERR_OK) return false;
        if (on_drop_) on_drop_(begin, end);
    }
    stale_.clear();
    installed_ = true;
    installed_return_ = return_address;
    return true;
}

GuardedStop UnicornGuard::start(uint32_t begin, uint32_t return_address, uint64_t timeout_us,
                                size_t count) {
    GuardedStop stop;
    if (!ok_ || !install(return_address)) {
        stop.error = UC_ERR_ARG;
        return stop;
    }
    stop.error = uc_emu_start(uc_, begin, return_address, timeout_us, count);
    uc_reg_read(uc_, UC_X86_REG_EIP, &stop.eip);
    if (stop.error == UC_ERR_OK) {
        stop.refused = refused_at(stop.eip);
        stop.returned = !stop.refused && return_address != 0 && stop.eip == return_address;
    }
    return stop;
}

}  // namespace nuv::guard
