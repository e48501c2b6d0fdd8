// The Unicorn engine's hooks: the trap, the guest's faults, the translated
// code's budget, instruction counts, single steps and the watches.
#include <capstone/capstone.h>
#include <poll.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "insn_guard.hpp"
#include "slow_path.hpp"
#include "unicorn_engine.hpp"
#include "unicorn_internal.hpp"

namespace nuv {
namespace {

// A refused memory access as a fault (its eip still to be set).
GuestFault access_fault(int type, uint64_t address, int size) {
    GuestFault f;
    f.address = static_cast<uint32_t>(address);
    switch (type) {
        case UC_MEM_READ_UNMAPPED:
        case UC_MEM_WRITE_UNMAPPED:
        case UC_MEM_FETCH_UNMAPPED:
            f.kind = FaultKind::Unmapped;
            break;
        default:
            f.kind = FaultKind::Protection;
            break;
    }
    switch (type) {
        case UC_MEM_READ_UNMAPPED:
        case UC_MEM_READ_PROT:
            f.access = FaultAccess::Read;
            break;
        case UC_MEM_WRITE_UNMAPPED:
        case UC_MEM_WRITE_PROT:
            f.access = FaultAccess::Write;
            break;
        case UC_MEM_FETCH_UNMAPPED:
        case UC_MEM_FETCH_PROT:
            f.access = FaultAccess::Execute;
            break;
        default:
            break;
    }
    // A fetch has no size of its own (how much of the instruction was
    // asked for is the emulator's business).
    if (f.access != FaultAccess::Execute && size > 0 && size <= 255) {
        f.size = static_cast<uint8_t>(size);
    }
    return f;
}

// Where the instruction whose hook runs stands, for hooks during which
// Unicorn's EIP may still hold the start of the running block: the first
// instruction of one of `ids` at or after `from` (0: none found).
uint32_t first_of(uc_engine* uc, uint32_t from, std::initializer_list<unsigned> ids) {
    uint8_t code[128];
    size_t n = std::min<size_t>(sizeof code, 0x1000 - (from & 0xFFF));
    if (uc_mem_read(uc, from, code, n) != UC_ERR_OK) return 0;
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return 0;
    cs_insn* insn = nullptr;
    size_t count = cs_disasm(h, code, n, from, 0, &insn);
    uint32_t found = 0;
    for (size_t i = 0; i < count && found == 0; ++i) {
        for (unsigned id : ids) {
            if (insn[i].id == id) found = static_cast<uint32_t>(insn[i].address);
        }
    }
    if (insn != nullptr) cs_free(insn, count);
    cs_close(&h);
    return found;
}

bool bytes_at(uc_engine* uc, uint32_t at, uint8_t a, uint8_t b) {
    uint8_t op[2] = {0, 0};
    return uc_mem_read(uc, at, op, 2) == UC_ERR_OK && op[0] == a && op[1] == b;
}

// Distinct blocks whose instruction counts are remembered; past this the
// map starts again (it is a cache).
constexpr size_t kMaxCountedBlocks = 1u << 18;

}  // namespace

struct UnicornEngine::Hooks {
    static void interrupt(uc_engine* uc, uint32_t intno, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (intno == 0x80) {
            // EIP already stands after the trap. The run leaves the fiber
            // here, and the guest goes on when it is entered again.
            e->trapped_ = true;
            if (e->suspend_at_trap()) return;
        } else if (intno == 3 && e->debugging_) {
            e->breakpoint_ = true;  // EIP stands after the int3
        } else if (intno == 13) {
            // In user mode privileged instructions and port I/O raise a
            // protection fault with EIP on the instruction.
            uint32_t eip = eip_of(uc);
            uint8_t op = 0;
            bool halt = uc_mem_read(uc, eip, &op, 1) == UC_ERR_OK && op == 0xF4;
            e->fault_ = GuestFault::at(halt ? FaultKind::Halt : FaultKind::Privileged, eip);
        } else {
            // int N stands after its instruction; as on the processor, where
            // only the gates of vectors 3 and 4 are open to the guest, the
            // fault names the instruction.
            uint32_t eip = eip_of(uc);
            if (intno != 1 && intno != 3 && intno != 4 && eip >= 2 &&
                bytes_at(uc, eip - 2, 0xCD, static_cast<uint8_t>(intno))) {
                eip -= 2;
            }
            e->fault_ = GuestFault::interrupt(intno, eip);
        }
        uc_emu_stop(uc);
    }

    // Unicorn does not check port permissions; at user privilege with IOPL 0
    // every port access is the protection fault the processor raises.
    static void port_fault(uc_engine* uc, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (e->fault_.kind != FaultKind::None) return;
        uint32_t eip = eip_of(uc);
        uint32_t at = first_of(uc, eip, {X86_INS_IN, X86_INS_OUT});
        e->fault_ = GuestFault::at(FaultKind::Privileged, at != 0 ? at : eip);
        uc_emu_stop(uc);
    }

    static uint32_t port_in(uc_engine* uc, uint32_t, int, void* user) {
        port_fault(uc, user);
        return 0;
    }

    static void port_out(uc_engine* uc, uint32_t, int, uint32_t, void* user) {
        port_fault(uc, user);
    }

    // The instruction's address waits for the run's end, when EIP stands at
    // the faulting instruction (slow_path.hpp).
    static bool bad_memory(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                           void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        // An instruction after one that faulted in its hook may run before
        // the block ends: the first fault is the guest's.
        if (e->fault_.kind != FaultKind::None) return false;
        e->fault_ = access_fault(type, address, size);
        if (type != UC_MEM_FETCH_UNMAPPED && type != UC_MEM_FETCH_PROT) {
            slow_path::fault_pending(e->fault_.address);
        }
        return false;
    }

    // Nothing: registered for an address no guest touches, it makes Unicorn
    // keep EIP up to date at every memory access, so that a bad access
    // names its own instruction rather than the first of its block. Only
    // where faults are not placed otherwise.
    static void precise_eip(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void*) {}

    // syscall and sysenter: as on the processor with the host's filter, a
    // fault that names the instruction (Unicorn runs them as no-ops).
    static void system_call(uc_engine* uc, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        uint32_t eip = eip_of(uc);
        auto names = [uc](uint32_t at) {
            return bytes_at(uc, at, 0x0F, 0x05) || bytes_at(uc, at, 0x0F, 0x34);
        };
        // EIP stands on sysenter, after syscall, or still at the start of
        // the block.
        if (!names(eip)) {
            uint32_t at = eip >= 2 && names(eip - 2)
                              ? eip - 2
                              : first_of(uc, eip, {X86_INS_SYSENTER, X86_INS_SYSCALL});
            if (at != 0) eip = at;
        }
        if (e->fault_.kind == FaultKind::None)
            e->fault_ = GuestFault::at(FaultKind::SystemCall, eip);
        uc_emu_stop(uc);
    }

    static bool bad_instruction(uc_engine* uc, void* user) {
        static_cast<UnicornEngine*>(user)->fault_ = GuestFault::at(FaultKind::Invalid, eip_of(uc));
        return false;
    }

    // Every block, before it runs: a new one counts against the budget of
    // translated code.
    static void block(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (e->budget_.note(static_cast<uint32_t>(address), size) && !e->cache_full_) {
            e->cache_full_ = true;
            uc_emu_stop(uc);
        }
    }

    static void counted_block(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
        block(uc, address, size, user);
        auto* e = static_cast<UnicornEngine*>(user);
        auto it = e->block_counts_.find(address);
        if (it == e->block_counts_.end()) {
            std::vector<uint8_t> code(size);
            uint32_t n = 0;
            if (size > 0 && uc_mem_read(uc, address, code.data(), size) == UC_ERR_OK) {
                cs_insn* insn = nullptr;
                n = static_cast<uint32_t>(
                    cs_disasm(e->disasm_, code.data(), size, address, 0, &insn));
                if (insn != nullptr) cs_free(insn, n);
            }
            if (n == 0) n = 1;
            if (e->block_counts_.size() >= kMaxCountedBlocks) e->block_counts_.clear();
            it = e->block_counts_.emplace(address, n).first;
        }
        e->insns_ += it->second;
        if (e->sample_every_ != 0 && e->insns_ >= e->next_sample_) {
            e->next_sample_ = e->insns_ + e->sample_every_;
            e->sampler_(static_cast<uint32_t>(address));
        }
        if (e->max_insns_ != 0 && e->insns_ > e->max_insns_ && !e->limit_hit_) {
            e->limit_hit_ = true;
            uc_emu_stop(uc);
        }
    }

    // Debugging: every instruction, before it runs; the second one of a
    // step's run is not run.
    static void step(uc_engine* uc, uint64_t, uint32_t, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (e->watch_pending_) {
            // The instruction that made a watched access has run.
            e->watch_pending_ = false;
            e->watched_ = true;
            uc_emu_stop(uc);
            return;
        }
        if (e->pause_fd_ >= 0 && --e->pause_countdown_ == 0) {
            e->pause_countdown_ = kPauseLook;
            pollfd p{e->pause_fd_, POLLIN, 0};
            if (poll(&p, 1, 0) > 0) {
                e->paused_ = true;
                uc_emu_stop(uc);
                return;
            }
        }
        if (!e->step_armed_) return;
        if (!e->step_begun_) {
            e->step_begun_ = true;
            return;
        }
        e->step_armed_ = false;
        e->stepped_ = true;
        uc_emu_stop(uc);
    }

    // Debugging: every data access, before it is made; one a watchpoint
    // holds stops the run once its instruction has run (see step).
    static void data(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                     void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (e->watchpoints_.empty() || e->watch_pending_) return;
        const bool write = type == UC_MEM_WRITE;
        for (const Watchpoint& w : e->watchpoints_) {
            if (address < uint64_t{w.address} + w.length &&
                address + static_cast<uint64_t>(size) > w.address &&
                (w.kind == Watchpoint::Access || (w.kind == Watchpoint::Write) == write)) {
                e->watch_pending_ = true;
                e->watch_hit_ = w;
                return;
            }
        }
    }

    static void exec(uc_engine*, uint64_t address, uint32_t, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        auto it = e->exec_counts_.find(static_cast<uint32_t>(address));
        if (it != e->exec_counts_.end()) ++it->second;
    }

    // RDTSC cannot be hooked itself: a hook before it marks the read and a
    // hook on the next instruction replaces its result.
    static void before_rdtsc(uc_engine*, uint64_t, uint32_t, void* user) {
        static_cast<UnicornEngine*>(user)->tsc_pending_ = true;
    }

    static void after_rdtsc(uc_engine* uc, uint64_t, uint32_t, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (!e->tsc_pending_) return;
        e->tsc_pending_ = false;
        uint32_t lo = static_cast<uint32_t>(e->tsc_next_);
        uint32_t hi = static_cast<uint32_t>(e->tsc_next_ >> 32);
        uc_reg_write(uc, UC_X86_REG_EAX, &lo);
        uc_reg_write(uc, UC_X86_REG_EDX, &hi);
        ++e->tsc_next_;
    }

    static void read(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (address < e->reads_end_ && address + static_cast<uint64_t>(size) > e->reads_begin_) {
            ++e->reads_;
        }
    }
};

void UnicornEngine::install_hooks() {
    // Hooks added after code has run would miss blocks already translated:
    // all of them go in before the first run.
    if (hooks_installed_) return;
    hooks_installed_ = true;
    uc_hook h;
    auto add = [&](int type, auto* fn, uint64_t begin, uint64_t end) {
        uc_hook_add(uc_, &h, type, reinterpret_cast<void*>(fn), this, begin, end);
    };
    add(UC_HOOK_INTR, &Hooks::interrupt, 1, 0);
    add(UC_HOOK_MEM_INVALID, &Hooks::bad_memory, 1, 0);
    add(UC_HOOK_INSN_INVALID, &Hooks::bad_instruction, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::port_in), this, 1, 0,
                UC_X86_INS_IN);
    uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::port_out), this, 1, 0,
                UC_X86_INS_OUT);
    for (int insn : {UC_X86_INS_SYSCALL, UC_X86_INS_SYSENTER}) {
        uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&Hooks::system_call), this, 1, 0,
                    insn);
    }
    if (!slow_path::in_use()) {
        add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, &Hooks::precise_eip, 0xFFFFFFFF, 0xFFFFFFFF);
    }
    if (disasm_ != 0) {
        add(UC_HOOK_BLOCK, &Hooks::counted_block, 1, 0);
    } else if (!code_.found()) {
        add(UC_HOOK_BLOCK, &Hooks::block, 1, 0);
    }
    guard_->on_drop([this](uint64_t begin, uint64_t end) { budget_.forget(begin, end); });
    for (const auto& [address, count] : exec_counts_)
        add(UC_HOOK_CODE, &Hooks::exec, address, address);
    if (tsc_fixed_) {
        for (uint32_t at : rdtsc_) {
            add(UC_HOOK_CODE, &Hooks::before_rdtsc, at, at);
            add(UC_HOOK_CODE, &Hooks::after_rdtsc, at + 2, at + 2);
        }
    }
    if (watch_reads_) add(UC_HOOK_MEM_READ, &Hooks::read, reads_begin_, reads_end_ - 1);
    if (debugging_) {
        add(UC_HOOK_CODE, &Hooks::step, 1, 0);
        // Watchpoints come and go while code is translated: the hook is
        // there from the start, and looks at the current set.
        add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, &Hooks::data, 1, 0);
    }
}

}  // namespace nuv
