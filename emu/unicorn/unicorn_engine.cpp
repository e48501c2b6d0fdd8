// The Unicorn engine: making it, its registers and its watches. Its memory
// is in unicorn_memory.cpp, its hooks in unicorn_hooks.cpp, the run loop on
// its fiber in unicorn_run.cpp and its watching thread in unicorn_watch.cpp.
#include "unicorn_engine.hpp"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "insn_guard.hpp"
#include "slow_path.hpp"
#include "unicorn_internal.hpp"

namespace nuv {
namespace {

constexpr int kRegs[] = {UC_X86_REG_EAX, UC_X86_REG_EBX,   UC_X86_REG_ECX, UC_X86_REG_EDX,
                         UC_X86_REG_ESI, UC_X86_REG_EDI,   UC_X86_REG_EBP, UC_X86_REG_ESP,
                         UC_X86_REG_EIP, UC_X86_REG_EFLAGS};

}  // namespace

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

std::string UnicornEngine::library_version() {
    unsigned major = 0, minor = 0;
    const unsigned combined = uc_version(&major, &minor);
    // The patch level sits in the third byte of the combined number.
    return std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string((combined >> 8) & 0xFF);
}

UnicornEngine::~UnicornEngine() {
    watch_.reset();
    if (fiber_ != nullptr && !fiber_->finished()) {
        // A guest left at a trap is stopped there, and the fiber's body ends.
        end_suspended();
        enter(Order::Quit);
    }
    fiber_.reset();
    if (disasm_ != 0) cs_close(&disasm_);
    guard_.reset();
    if (uc_ != nullptr) uc_close(uc_);
    if (writable_code_pages_ != 0) slow_path::writable_code(-writable_code_pages_);
    slow_path::mappings_changed();
}

Registers UnicornEngine::registers() {
    Registers r;
    uint32_t* out[] = {&r.eax, &r.ebx, &r.ecx, &r.edx, &r.esi,
                       &r.edi, &r.ebp, &r.esp, &r.eip, &r.eflags};
    for (size_t i = 0; i < std::size(kRegs); ++i) uc_reg_read(uc_, kRegs[i], out[i]);
    return r;
}

void UnicornEngine::set_registers(const Registers& r) {
    // A guest sent elsewhere than where its trap left it starts a new run:
    // the run suspended at the trap is ended first, outside its hook.
    if (suspended_ && r.eip != eip_of(uc_)) end_suspended();
    const uint32_t* in[] = {&r.eax, &r.ebx, &r.ecx, &r.edx, &r.esi,
                            &r.edi, &r.ebp, &r.esp, &r.eip, &r.eflags};
    for (size_t i = 0; i < std::size(kRegs); ++i) {
        // Writing EIP inside a hook restarts the run there and drops a stop
        // already asked for: it is written only when it changes.
        if (kRegs[i] == UC_X86_REG_EIP && *in[i] == eip_of(uc_)) continue;
        uc_reg_write(uc_, kRegs[i], in[i]);
    }
}

void UnicornEngine::set_eax(uint32_t v) {
    uc_reg_write(uc_, UC_X86_REG_EAX, &v);
}

void UnicornEngine::reset_fpu() {
    // As a kernel leaves the FPU after initialising it: empty stack, all
    // exceptions masked, extended precision, round to nearest. A host call
    // does this before it starts: a guest left at a trap is stopped first.
    end_suspended();
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

bool UnicornEngine::sample_every(uint64_t every, std::function<void(uint32_t)> take) {
    // The count is kept by the block hook, which goes in with the first run.
    if (disasm_ == 0 || hooks_installed_ || every == 0 || !take) return false;
    sample_every_ = every;
    next_sample_ = insns_ + every;
    sampler_ = std::move(take);
    return true;
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

}  // namespace nuv
