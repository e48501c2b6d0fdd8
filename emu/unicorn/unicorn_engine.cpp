#include "unicorn_engine.hpp"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <stdexcept>
#include <vector>

#include "insn_guard.hpp"

namespace nuv {
namespace {

const char* access_name(int type) {
    switch (type) {
        case UC_MEM_READ_UNMAPPED:
            return "read of unmapped memory";
        case UC_MEM_WRITE_UNMAPPED:
            return "write to unmapped memory";
        case UC_MEM_FETCH_UNMAPPED:
            return "execution of unmapped memory";
        case UC_MEM_READ_PROT:
            return "read of protected memory";
        case UC_MEM_WRITE_PROT:
            return "write to protected memory";
        case UC_MEM_FETCH_PROT:
            return "execution of non-executable memory";
        default:
            return "bad memory access";
    }
}

uint32_t eip_of(uc_engine* uc) {
    uint32_t eip = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    return eip;
}

// Distinct blocks whose instruction counts are remembered; past this the
// map starts again (it is a cache).
constexpr size_t kMaxCountedBlocks = 1u << 18;

constexpr int kRegs[] = {UC_X86_REG_EAX, UC_X86_REG_EBX,   UC_X86_REG_ECX, UC_X86_REG_EDX,
                         UC_X86_REG_ESI, UC_X86_REG_EDI,   UC_X86_REG_EBP, UC_X86_REG_ESP,
                         UC_X86_REG_EIP, UC_X86_REG_EFLAGS};

}  // namespace

// Looks at the buffer every kTranslationCheck while the engine lives. Past
// the limit it asks for the cache to be emptied at the next trap; a guest
// that makes no call is stopped where it stands once the buffer holds half
// as much again (stopping a run from outside is what Unicorn's own timer
// does, but it is not safe for every guest, so it is kept for the case that
// would otherwise crash).
struct UnicornEngine::Watch {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::atomic<bool> wanted{false};
    std::atomic<uint64_t> stops{0};  // runs it stopped
    std::thread thread;
};

struct UnicornEngine::Hooks {
    static void interrupt(uc_engine* uc, uint32_t intno, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (intno == 0x80) {
            // EIP already stands after the trap.
            if (e->sink_ != nullptr && e->sink_->serve(eip_of(uc))) {
                // A trap is a safe place to stop for emptying the cache.
                if (e->watch_ && e->watch_->wanted.load() && !e->cache_full_) {
                    e->cache_full_ = true;
                    uc_emu_stop(uc);
                }
                return;
            }
            e->trapped_ = true;
        } else if (intno == 3 && e->debugging_) {
            e->breakpoint_ = true;  // EIP stands after the int3
        } else if (intno == 13) {
            // In user mode privileged instructions and port I/O raise a
            // protection fault with EIP on the instruction.
            uint32_t eip = eip_of(uc);
            uint8_t op = 0;
            bool halt = uc_mem_read(uc, eip, &op, 1) == UC_ERR_OK && op == 0xF4;
            e->fault_ = (halt ? "guest halted at eip " : "protection fault at eip ") + hex(eip);
        } else {
            e->fault_ =
                "unexpected interrupt " + std::to_string(intno) + " at eip " + hex(eip_of(uc));
        }
        uc_emu_stop(uc);
    }

    // Unicorn does not check port permissions; at user privilege with IOPL 0
    // every port access is the protection fault the processor raises.
    static void port_fault(uc_engine* uc, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (e->fault_.empty()) e->fault_ = "protection fault at eip " + hex(eip_of(uc));
        uc_emu_stop(uc);
    }

    static uint32_t port_in(uc_engine* uc, uint32_t, int, void* user) {
        port_fault(uc, user);
        return 0;
    }

    static void port_out(uc_engine* uc, uint32_t, int, uint32_t, void* user) {
        port_fault(uc, user);
    }

    static bool bad_memory(uc_engine* uc, uc_mem_type type, uint64_t address, int, int64_t,
                           void* user) {
        static_cast<UnicornEngine*>(user)->fault_ = std::string(access_name(type)) + " at " +
                                                    hex(address) + " (eip " + hex(eip_of(uc)) + ")";
        return false;
    }

    // Nothing: registered for an address no guest touches, it makes Unicorn
    // keep EIP up to date at every memory access, so that a bad access
    // names its own instruction rather than the first of its block.
    static void precise_eip(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void*) {}

    // syscall and sysenter: as on the processor with the host's filter, a
    // fault that names the instruction (Unicorn runs them as no-ops).
    static void system_call(uc_engine* uc, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        uint32_t eip = eip_of(uc);
        uint8_t op[2] = {0, 0};
        // EIP stands on sysenter, or after syscall.
        if (!(uc_mem_read(uc, eip, op, 2) == UC_ERR_OK && op[0] == 0x0F &&
              (op[1] == 0x05 || op[1] == 0x34)) &&
            eip >= 2) {
            eip -= 2;
        }
        if (e->fault_.empty()) e->fault_ = "system call other than int 0x80 at eip " + hex(eip);
        uc_emu_stop(uc);
    }

    static bool bad_instruction(uc_engine* uc, void* user) {
        static_cast<UnicornEngine*>(user)->fault_ = "invalid instruction at " + hex(eip_of(uc));
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
        if (e->max_insns_ != 0 && e->insns_ > e->max_insns_ && !e->limit_hit_) {
            e->limit_hit_ = true;
            uc_emu_stop(uc);
        }
    }

    // Debugging: every instruction, before it runs; the second one of a
    // step's run is not run.
    static void step(uc_engine* uc, uint64_t, uint32_t, void* user) {
        auto* e = static_cast<UnicornEngine*>(user);
        if (!e->step_armed_) return;
        if (!e->step_begun_) {
            e->step_begun_ = true;
            return;
        }
        e->step_armed_ = false;
        e->stepped_ = true;
        uc_emu_stop(uc);
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

std::unique_ptr<UnicornEngine> UnicornEngine::create(bool count_instructions, bool debugging) {
    std::unique_ptr<UnicornEngine> e(new UnicornEngine());
    e->debugging_ = debugging;
    bool made = false;
    // Unicorn sets up its buffer of translated code by the first run.
    e->code_ = CodeBuffer::find_around(
        [&] {
            if (uc_open(UC_ARCH_X86, UC_MODE_32, &e->uc_) != UC_ERR_OK) {
                e->uc_ = nullptr;
                return false;
            }
            e->guard_ = std::make_unique<guard::UnicornGuard>(e->uc_);
            return e->guard_->ok() && e->enter_user_mode();
        },
        made);
    if (!made) return nullptr;
    if (count_instructions) {
        csh h = 0;
        if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return nullptr;
        e->disasm_ = h;
    }
    return e;
}

UnicornEngine::~UnicornEngine() {
    if (watch_) {
        {
            std::lock_guard<std::mutex> lock(watch_->m);
            watch_->done = true;
        }
        watch_->cv.notify_all();
        watch_->thread.join();
    }
    if (disasm_ != 0) cs_close(&disasm_);
    guard_.reset();
    if (uc_ != nullptr) uc_close(uc_);
}

Registers UnicornEngine::registers() {
    Registers r;
    uint32_t* out[] = {&r.eax, &r.ebx, &r.ecx, &r.edx, &r.esi,
                       &r.edi, &r.ebp, &r.esp, &r.eip, &r.eflags};
    for (size_t i = 0; i < std::size(kRegs); ++i) uc_reg_read(uc_, kRegs[i], out[i]);
    return r;
}

void UnicornEngine::set_registers(const Registers& r) {
    const uint32_t* in[] = {&r.eax, &r.ebx, &r.ecx, &r.edx, &r.esi,
                            &r.edi, &r.ebp, &r.esp, &r.eip, &r.eflags};
    for (size_t i = 0; i < std::size(kRegs); ++i) {
        // Writing EIP inside a hook restarts the run there and drops a stop
        // already asked for: it is written only when it changes.
        if (kRegs[i] == UC_X86_REG_EIP && *in[i] == eip_of(uc_)) continue;
        uc_reg_write(uc_, kRegs[i], in[i]);
    }
}

void UnicornEngine::reset_fpu() {
    // As a kernel leaves the FPU after initialising it: empty stack, all
    // exceptions masked, extended precision, round to nearest.
    uint32_t cw = 0x037F, sw = 0, tag = 0xFFFF;
    uc_reg_write(uc_, UC_X86_REG_FPCW, &cw);
    uc_reg_write(uc_, UC_X86_REG_FPSW, &sw);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tag);
}

std::array<uint8_t, 10> UnicornEngine::st0() {
    uint32_t sw = 0;
    uc_reg_read(uc_, UC_X86_REG_FPSW, &sw);
    int top = static_cast<int>((sw >> 11) & 7);
    uint8_t raw[16] = {};
    uc_reg_read(uc_, UC_X86_REG_FP0 + top, raw);
    std::array<uint8_t, 10> out{};
    std::memcpy(out.data(), raw, 10);
    return out;
}

void UnicornEngine::watch_exec(uint32_t address) {
    if (hooks_installed_) throw std::logic_error("watches must be set before the first run");
    exec_counts_.emplace(address, 0);
}

uint64_t UnicornEngine::exec_count(uint32_t address) const {
    auto it = exec_counts_.find(address);
    return it == exec_counts_.end() ? 0 : it->second;
}

void UnicornEngine::watch_reads(uint32_t begin, uint32_t end) {
    if (hooks_installed_) throw std::logic_error("watches must be set before the first run");
    watch_reads_ = true;
    reads_begin_ = begin;
    reads_end_ = end;
}

void UnicornEngine::fix_tsc(uint64_t start,
                            const std::vector<std::pair<uint32_t, uint32_t>>& code) {
    if (hooks_installed_) throw std::logic_error("watches must be set before the first run");
    tsc_fixed_ = true;
    tsc_next_ = start;
    // A linear sweep of the code; compiled code has no data there.
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return;
    cs_option(h, CS_OPT_SKIPDATA, CS_OPT_ON);
    for (const auto& [begin, end] : code) {
        std::vector<uint8_t> bytes(end - begin);
        if (!read(begin, bytes.data(), bytes.size())) continue;
        cs_insn* insn = nullptr;
        size_t n = cs_disasm(h, bytes.data(), bytes.size(), begin, 0, &insn);
        for (size_t i = 0; i < n; ++i) {
            if (insn[i].id == X86_INS_RDTSC)
                rdtsc_.push_back(static_cast<uint32_t>(insn[i].address));
        }
        if (insn != nullptr) cs_free(insn, n);
    }
    cs_close(&h);
}

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
    add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, &Hooks::precise_eip, 0xFFFFFFFF, 0xFFFFFFFF);
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
    if (debugging_) add(UC_HOOK_CODE, &Hooks::step, 1, 0);
}

void UnicornEngine::empty_translation_cache() {
    // Unicorn must not be running: its own flush when the buffer is full, in
    // the middle of translating, is what fails.
    uc_ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0));
    code_.release();
    budget_.emptied();
    cache_full_ = false;
    if (watch_) watch_->wanted = false;
    ++flushes_;
}

void UnicornEngine::bound_translation() {
    checked_ = std::chrono::steady_clock::now();
    if (code_.used() >= code_limit_) empty_translation_cache();
}

void UnicornEngine::interrupt() {
    // Sets a request the emulator looks at between blocks.
    uc_emu_stop(uc_);
}

void UnicornEngine::start_watch() {
    watch_ = std::make_unique<Watch>();
    watch_->thread = std::thread([this, w = watch_.get()] {
        std::unique_lock<std::mutex> lock(w->m);
        while (!w->cv.wait_for(lock, kTranslationCheck, [w] { return w->done; })) {
            uint64_t used = code_.used();
            if (used < code_limit_.load()) continue;
            w->wanted = true;
            if (used >= code_limit_.load() / 2 * 3) {
                ++w->stops;
                uc_emu_stop(uc_);
            }
        }
    });
}

EngineEvent UnicornEngine::run(const RunLimits& limits) {
    install_hooks();
    // The watch starts with the first run, so that an engine that never runs
    // has no thread (a process that forks keeps only the forking thread).
    if (code_.found() && !watch_) start_watch();
    if (code_.found() && std::chrono::steady_clock::now() - checked_ >= check_every_) {
        bound_translation();
    }
    trapped_ = limit_hit_ = false;
    fault_.clear();
    max_insns_ = limits.max_instructions;
    EngineEvent ev;
    uint32_t eip = eip_of(uc_);
    breakpoint_ = stepped_ = false;
    step_armed_ = debugging_ && limits.step;
    step_begun_ = false;
    if (step_armed_ && step_owed_) {
        // The step ended at a trap that was served outside the run.
        step_owed_ = step_armed_ = false;
        ev.stop = EngineStop::Stepped;
        ev.eip = eip;
        return ev;
    }
    step_owed_ = false;
    const uint64_t until = limits.return_address;
    uc_err err = UC_ERR_OK;
    size_t timed_out = 0;
    bool refused = false;
    for (;;) {
        if (limits.cut_short()) {
            ev.stop = EngineStop::Timeout;
            ev.eip = eip;
            ev.message = "interrupted at eip " + hex(eip);
            return ev;
        }
        uint64_t budget_us = 0;
        if (limits.deadline != RunLimits::Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                limits.deadline - RunLimits::Clock::now());
            if (left.count() <= 0) {
                ev.stop = EngineStop::Timeout;
                ev.eip = eip;
                ev.message = "time limit reached at eip " + hex(eip);
                return ev;
            }
            budget_us = static_cast<uint64_t>(left.count());
        }
        const uint64_t watch_stops = watch_ ? watch_->stops.load() : 0;
        guard::GuardedStop stop;
        if (limits.record != nullptr) limits.record->running(this);
        stop = guard_->start(eip, static_cast<uint32_t>(until), budget_us, 0);
        if (limits.record != nullptr) limits.record->running(nullptr);
        err = stop.error;
        refused = stop.refused;
        eip = eip_of(uc_);
        timed_out = 0;
        uc_query(uc_, UC_QUERY_TIMEOUT, &timed_out);
        // The emulator's timer now and then stops a run long before its time
        // (seen with several emulators in one process); such a run goes on.
        bool stopped_for_no_reason = err == UC_ERR_OK && !trapped_ && fault_.empty() &&
                                     !limit_hit_ && !refused && eip != until && !breakpoint_ &&
                                     !stepped_;
        bool early =
            timed_out && stopped_for_no_reason && RunLimits::Clock::now() < limits.deadline;
        if (watch_ && watch_->wanted.load()) {
            // The watch may have looked just before the cache was emptied.
            if (code_.used() >= code_limit_) {
                cache_full_ = true;
            } else {
                watch_->wanted = false;
            }
        }
        if (cache_full_) {
            empty_translation_cache();
            // The run stopped only to empty the cache: it goes on.
            if (stopped_for_no_reason && !timed_out) continue;
        } else if (watch_ && watch_->stops.load() != watch_stops && stopped_for_no_reason &&
                   !timed_out) {
            continue;  // stopped by the watch just after the cache was emptied
        }
        // Stopped by an interruption: the loop's first test says so.
        if (limits.cut_short() && stopped_for_no_reason) continue;
        if (!early) break;
    }
    ev.eip = eip;
    const bool step_open = step_armed_;
    step_armed_ = false;
    if (!fault_.empty()) {
        ev.stop = EngineStop::Fault;
        ev.message = fault_;
    } else if (trapped_) {
        ev.stop = EngineStop::Trap;
        step_owed_ = step_open;
    } else if (breakpoint_) {
        ev.stop = EngineStop::Breakpoint;
    } else if (stepped_) {
        ev.stop = EngineStop::Stepped;
    } else if (limit_hit_) {
        ev.stop = EngineStop::Limit;
        ev.message =
            "instruction limit of " + std::to_string(max_insns_) + " reached at eip " + hex(eip);
    } else if (err != UC_ERR_OK) {
        ev.stop = EngineStop::Fault;
        ev.message = std::string(uc_strerror(err)) + " at eip " + hex(eip);
    } else if (refused) {
        ev.stop = EngineStop::Fault;
        ev.message = guard_->message(eip);
    } else if (until != 0 && eip == until) {
        ev.stop = EngineStop::Returned;
    } else if (timed_out) {
        ev.stop = EngineStop::Timeout;
        ev.message = "time limit reached at eip " + hex(eip);
    } else {
        ev.stop = EngineStop::Fault;
        ev.message = "guest halted at eip " + hex(eip);
    }
    return ev;
}

}  // namespace nuv
