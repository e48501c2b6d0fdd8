#include "machine.hpp"

#include "kernel.hpp"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "sandbox.hpp"

namespace nuv {
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint64_t kMaxImageMemory = 256u << 20;

std::atomic<int> g_live_machines{0};
thread_local Machine* t_current = nullptr;

uint32_t page_down(uint32_t a) {
    return a & ~(kPage - 1);
}
uint64_t page_up(uint64_t a) {
    return (a + kPage - 1) & ~uint64_t{kPage - 1};
}

uint32_t uc_perms(uint32_t elf_flags) {
    uint32_t p = 0;
    if (elf_flags & elf::PF_R) p |= UC_PROT_READ;
    if (elf_flags & elf::PF_W) p |= UC_PROT_WRITE;
    if (elf_flags & elf::PF_X) p |= UC_PROT_EXEC;
    return p;
}

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

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

const char* stop_name(Stop s) {
    switch (s) {
        case Stop::Exited:
            return "exited";
        case Stop::Returned:
            return "returned";
        case Stop::Fault:
            return "fault";
        case Stop::Limit:
            return "instruction limit";
        case Stop::Timeout:
            return "timeout";
    }
    return "?";
}

struct MachineHooks {
    static void interrupt(uc_engine* uc, uint32_t intno, void* user) {
        auto* m = static_cast<Machine*>(user);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        if (intno != 0x80) {
            m->fault_ = "unexpected interrupt " + std::to_string(intno) + " at eip " + hex(eip);
            uc_emu_stop(uc);
            return;
        }
        SyscallArgs a;
        uc_reg_read(uc, UC_X86_REG_EAX, &a.nr);
        uc_reg_read(uc, UC_X86_REG_EBX, &a.ebx);
        uc_reg_read(uc, UC_X86_REG_ECX, &a.ecx);
        uc_reg_read(uc, UC_X86_REG_EDX, &a.edx);
        uc_reg_read(uc, UC_X86_REG_ESI, &a.esi);
        uc_reg_read(uc, UC_X86_REG_EDI, &a.edi);
        uc_reg_read(uc, UC_X86_REG_EBP, &a.ebp);
        int32_t result = m->dispatch(a, false);
        if (m->blocked_) {
            // Stopped at the trap until the call can complete; EIP is left alone.
            m->pending_ = a;
            m->pending_eip_ = eip;
            uc_emu_stop(uc);
            return;
        }
        m->finish_call(a, result, eip);
        if (m->yield_ && !m->exited_) uc_emu_stop(uc);
    }

    static bool bad_memory(uc_engine* uc, uc_mem_type type, uint64_t address, int /*size*/,
                           int64_t /*value*/, void* user) {
        auto* m = static_cast<Machine*>(user);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        m->fault_ =
            std::string(access_name(type)) + " at " + hex(address) + " (eip " + hex(eip) + ")";
        return false;
    }

    static bool bad_instruction(uc_engine* uc, void* user) {
        auto* m = static_cast<Machine*>(user);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        m->fault_ = "invalid instruction at " + hex(eip);
        return false;
    }

    static void block(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
        auto* m = static_cast<Machine*>(user);
        auto it = m->block_counts_.find(address);
        if (it == m->block_counts_.end()) {
            std::vector<uint8_t> code(size);
            uint32_t n = 0;
            if (size > 0 && uc_mem_read(uc, address, code.data(), size) == UC_ERR_OK) {
                cs_insn* insn = nullptr;
                n = static_cast<uint32_t>(cs_disasm(reinterpret_cast<csh>(m->disasm_), code.data(),
                                                    size, address, 0, &insn));
                if (insn != nullptr) cs_free(insn, n);
            }
            if (n == 0) n = 1;
            it = m->block_counts_.emplace(address, n).first;
        }
        m->insns_ += it->second;
        if (m->opts_.max_instructions != 0 && m->insns_ > m->opts_.max_instructions &&
            !m->limit_hit_) {
            m->limit_hit_ = true;
            uc_emu_stop(uc);
        }
    }

    static void exec(uc_engine*, uint64_t address, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        auto it = m->exec_counts_.find(static_cast<uint32_t>(address));
        if (it != m->exec_counts_.end()) ++it->second;
    }

    // RDTSC cannot be hooked itself: a hook before it marks the read and a
    // hook on the next instruction replaces its result.
    static void before_rdtsc(uc_engine*, uint64_t, uint32_t, void* user) {
        static_cast<Machine*>(user)->tsc_pending_ = true;
    }

    static void after_rdtsc(uc_engine* uc, uint64_t, uint32_t, void* user) {
        auto* m = static_cast<Machine*>(user);
        if (!m->tsc_pending_) return;
        m->tsc_pending_ = false;
        uint32_t lo = static_cast<uint32_t>(m->tsc_next_);
        uint32_t hi = static_cast<uint32_t>(m->tsc_next_ >> 32);
        uc_reg_write(uc, UC_X86_REG_EAX, &lo);
        uc_reg_write(uc, UC_X86_REG_EDX, &hi);
        ++m->tsc_next_;
    }

    static void argv_read(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t,
                          void* user) {
        auto* m = static_cast<Machine*>(user);
        if (address < m->argv_end_ && address + static_cast<uint64_t>(size) > m->argv_begin_) {
            ++m->argv_reads_;
        }
    }
};

Machine::Machine(elf::File image, const Options& opts) : image_(std::move(image)), opts_(opts) {}

Machine::~Machine() {
    // The processes this one spawned end first: they may share its descriptors.
    own_kernel_.reset();
    if (disasm_ != nullptr) {
        csh h = reinterpret_cast<csh>(disasm_);
        cs_close(&h);
    }
    if (uc_ != nullptr) {
        uc_close(uc_);
        --g_live_machines;
    }
}

std::unique_ptr<Machine> Machine::load(const std::string& path, const Options& opts,
                                       std::string& err) {
    std::optional<elf::File> f = elf::read_file(path, err);
    if (!f) return nullptr;
    return load(std::move(f->bytes), opts, err);
}

std::unique_ptr<Machine> Machine::load(std::vector<uint8_t> bytes, const Options& opts,
                                       std::string& err) {
    std::optional<elf::File> f = elf::parse(std::move(bytes), err);
    if (!f) return nullptr;
    if (std::string why = elf::check_loadable(*f); !why.empty()) {
        err = why;
        return nullptr;
    }
    std::unique_ptr<Sandbox> sandbox = Sandbox::open_root(opts.root, err);
    if (!sandbox) return nullptr;
    if (g_live_machines.fetch_add(1) >= kMaxLiveMachines) {
        --g_live_machines;
        err = "too many live guests (at most " + std::to_string(kMaxLiveMachines) + ")";
        return nullptr;
    }
    std::unique_ptr<Machine> m(new Machine(std::move(*f), opts));
    m->sandbox_ = std::move(sandbox);
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &m->uc_) != UC_ERR_OK) {
        --g_live_machines;
        m->uc_ = nullptr;
        err = "cannot start the CPU emulator";
        return nullptr;
    }
    if (!m->map_image(err)) return nullptr;
    m->map(kStackTop - kStackSize, kStackSize, UC_PROT_READ | UC_PROT_WRITE);
    if (opts.count_instructions || opts.max_instructions != 0) {
        csh h = 0;
        if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) {
            err = "cannot start the instruction decoder";
            return nullptr;
        }
        m->disasm_ = reinterpret_cast<void*>(h);
    }
    m->own_kernel_ = std::make_unique<Kernel>(*m);
    m->kernel_ = m->own_kernel_.get();
    for (const SyscallDef& d : default_syscalls()) m->calls_[d.nr] = d;
    m->files_.resize(3);
    if (opts.input) {
        m->files_[0] = std::make_shared<StringInput>(*opts.input);
    } else {
        m->files_[0] = std::make_shared<HostFile>(0, true, false);
    }
    if (opts.capture_output) {
        m->files_[1] = std::make_shared<StringOutput>(m->out_);
        m->files_[2] = std::make_shared<StringOutput>(m->err_);
    } else {
        m->files_[1] = std::make_shared<HostFile>(1, false, true);
        m->files_[2] = std::make_shared<HostFile>(2, false, true);
    }
    return m;
}

bool Machine::map_image(std::string& err) {
    // Pages shared by two segments get the union of their permissions.
    std::map<uint32_t, uint32_t> pages;
    uint64_t total = 0;
    for (const elf::Segment& s : image_.segments) {
        if (s.type != elf::PT_LOAD || s.memsz == 0) continue;
        uint64_t begin = page_down(s.vaddr), end = page_up(uint64_t{s.vaddr} + s.memsz);
        total += end - begin;
        if (total > kMaxImageMemory) {
            err = "image needs more than 256 MiB of memory";
            return false;
        }
        if (end > kStackTop - kStackSize && begin < uint64_t{kStackTop}) {
            err = "segment overlaps the stack area";
            return false;
        }
        if (end > kScratchBase && begin < uint64_t{kScratchBase} + kScratchSize) {
            err = "segment overlaps the reserved area at " + hex(kScratchBase);
            return false;
        }
        if (end > kReturnAddress) {
            err = "segment overlaps the top page of the address space";
            return false;
        }
        if (begin == 0) {
            err = "segment maps the null page";
            return false;
        }
        for (uint64_t p = begin; p < end; p += kPage)
            pages[static_cast<uint32_t>(p)] |= uc_perms(s.flags);
    }
    for (auto it = pages.begin(); it != pages.end();) {
        uint32_t begin = it->first, perms = it->second;
        uint64_t end = uint64_t{begin} + kPage;
        ++it;
        while (it != pages.end() && it->first == end && it->second == perms) {
            end += kPage;
            ++it;
        }
        map(begin, static_cast<uint32_t>(end - begin), perms);
    }
    for (const elf::Segment& s : image_.segments) {
        if (s.type != elf::PT_LOAD || s.filesz == 0) continue;
        if (uc_mem_write(uc_, s.vaddr, image_.bytes.data() + s.offset, s.filesz) != UC_ERR_OK) {
            err = "cannot place segment at " + hex(s.vaddr);
            return false;
        }
    }
    return true;
}

void Machine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    if (uc_mem_map(uc_, begin, size, perms) != UC_ERR_OK) {
        throw std::runtime_error("cannot map guest memory at " + hex(begin));
    }
    regions_.push_back(Region{begin, uint64_t{begin} + size, perms});
}

uint32_t Machine::map_anonymous(uint32_t length, uint32_t prot) {
    if (length == 0 || length > kMaxMappedBytes || mappings_.size() >= kMaxMappings) return 0;
    uint32_t size = static_cast<uint32_t>(page_up(length));
    uint64_t total = size;
    for (const Mapping& x : mappings_) total += x.length;
    if (total > kMaxMappedBytes) return 0;
    // First fit between the mappings already made.
    std::vector<Mapping> sorted = mappings_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Mapping& a, const Mapping& b) { return a.begin < b.begin; });
    uint64_t at = kMapBase;
    for (const Mapping& x : sorted) {
        if (x.begin - at >= size) break;
        at = uint64_t{x.begin} + x.length;
    }
    if (at + size > kMapEnd) return 0;
    uint32_t perms = 0;
    if (prot & NUV_PROT_READ) perms |= UC_PROT_READ;
    if (prot & NUV_PROT_WRITE) perms |= UC_PROT_WRITE;
    if (prot & NUV_PROT_EXEC) perms |= UC_PROT_EXEC;
    uint32_t begin = static_cast<uint32_t>(at);
    if (uc_mem_map(uc_, begin, size, perms) != UC_ERR_OK) return 0;
    regions_.push_back(Region{begin, uint64_t{begin} + size, perms});
    mappings_.push_back(Mapping{begin, size});
    return begin;
}

bool Machine::unmap_anonymous(uint32_t address, uint32_t length) {
    if (length == 0) return false;
    uint64_t size = page_up(length);
    auto it = std::find_if(mappings_.begin(), mappings_.end(), [&](const Mapping& x) {
        return x.begin == address && x.length == size;
    });
    if (it == mappings_.end()) return false;
    if (uc_mem_unmap(uc_, it->begin, it->length) != UC_ERR_OK) return false;
    regions_.erase(std::find_if(regions_.begin(), regions_.end(),
                                [&](const Region& r) { return r.begin == address; }));
    mappings_.erase(it);
    return true;
}

bool Machine::accessible(uint32_t address, uint64_t n, bool for_write) const {
    uint64_t at = address, end = uint64_t{address} + n;
    uint32_t need = for_write ? UC_PROT_WRITE : UC_PROT_READ;
    while (at < end) {
        const Region* r = nullptr;
        for (const Region& x : regions_) {
            if (at >= x.begin && at < x.end) r = &x;
        }
        if (r == nullptr || (r->perms & need) == 0) return false;
        at = r->end;
    }
    return true;
}

void Machine::install_hooks() {
    if (hooks_installed_) return;
    hooks_installed_ = true;
    uc_hook h;
    uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&MachineHooks::interrupt), this, 1,
                0);
    uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&MachineHooks::bad_memory),
                this, 1, 0);
    uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID,
                reinterpret_cast<void*>(&MachineHooks::bad_instruction), this, 1, 0);
    if (disasm_ != nullptr) {
        uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&MachineHooks::block), this, 1,
                    0);
    }
    for (const auto& [address, count] : exec_counts_) {
        uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&MachineHooks::exec), this,
                    address, address);
    }
    if (opts_.tsc) {
        tsc_next_ = *opts_.tsc;
        for (uint32_t at : find_rdtsc()) {
            uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&MachineHooks::before_rdtsc),
                        this, at, at);
            uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&MachineHooks::after_rdtsc),
                        this, at + 2, at + 2);
        }
    }
    if (watch_argv_) {
        uc_hook_add(uc_, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(&MachineHooks::argv_read),
                    this, kStackTop - kStackSize, kStackTop - 1);
    }
}

std::vector<uint32_t> Machine::find_rdtsc() const {
    // A linear sweep of the executable segments; compiled code has no data there.
    std::vector<uint32_t> found;
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return found;
    cs_option(h, CS_OPT_SKIPDATA, CS_OPT_ON);
    for (const elf::Segment& s : image_.segments) {
        if (s.type != elf::PT_LOAD || (s.flags & elf::PF_X) == 0 || s.filesz == 0) continue;
        cs_insn* insn = nullptr;
        size_t n = cs_disasm(h, image_.bytes.data() + s.offset, s.filesz, s.vaddr, 0, &insn);
        for (size_t i = 0; i < n; ++i) {
            if (insn[i].id == X86_INS_RDTSC)
                found.push_back(static_cast<uint32_t>(insn[i].address));
        }
        if (insn != nullptr) cs_free(insn, n);
    }
    cs_close(&h);
    return found;
}

void Machine::watch_exec(uint32_t address) {
    if (hooks_installed_) throw std::logic_error("watches must be set before the first run");
    exec_counts_.emplace(address, 0);
}

uint64_t Machine::exec_count(uint32_t address) const {
    auto it = exec_counts_.find(address);
    return it == exec_counts_.end() ? 0 : it->second;
}

void Machine::watch_argument_vector() {
    if (hooks_installed_) throw std::logic_error("watches must be set before the first run");
    watch_argv_ = true;
}

void Machine::reset_fpu() {
    // As a kernel leaves the FPU after initialising it: empty stack, all
    // exceptions masked, extended precision, round to nearest.
    uint32_t cw = 0x037F, sw = 0, tag = 0xFFFF;
    uc_reg_write(uc_, UC_X86_REG_FPCW, &cw);
    uc_reg_write(uc_, UC_X86_REG_FPSW, &sw);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tag);
}

Machine* Machine::current() {
    return t_current;
}

int32_t Machine::dispatch(const SyscallArgs& a, bool resuming) {
    const SyscallDef* def = syscall(a.nr);
    blocked_ = false;
    resuming_ = resuming;
    Machine* outer = t_current;
    t_current = this;
    int32_t result = -1;
    if (def != nullptr && def->handler) result = def->handler(*this, a);
    t_current = outer;
    resuming_ = false;
    return result;
}

void Machine::finish_call(const SyscallArgs& a, int32_t result, uint32_t eip) {
    wake_.reset();
    if (opts_.record_traps) traps_.push_back(TrapRecord{a, result, eip});
    if (opts_.trace != nullptr) trace_call(syscall(a.nr), a, result);
    // The exit call has stopped the run; EAX is left alone then.
    if (!exited_) uc_reg_write(uc_, UC_X86_REG_EAX, &result);
}

bool Machine::retry_pending() {
    if (!pending_) return true;
    int32_t result = dispatch(*pending_, true);
    if (blocked_) return false;
    SyscallArgs a = *pending_;
    pending_.reset();
    finish_call(a, result, pending_eip_);
    return true;
}

void Machine::fail_pending(int32_t result) {
    if (!pending_) return;
    SyscallArgs a = *pending_;
    pending_.reset();
    finish_call(a, result, pending_eip_);
}

RunResult Machine::emulate(uint32_t begin) {
    Deadline deadline = Deadline::max();
    if (opts_.timeout_us != 0) {
        deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(opts_.timeout_us);
    }
    pending_.reset();
    exited_ = false;
    Step s = step(begin, deadline);
    while (s.blocked || s.yielded) {
        // Other processes run until this one can go on.
        if (!kernel_->schedule(*this, s.blocked, deadline)) {
            pending_.reset();
            RunResult r;
            r.stop = Stop::Timeout;
            r.message = "time limit reached while waiting in call " + std::to_string(last_nr_);
            return r;
        }
        s = step(resume_at_, deadline);
    }
    return s.result;
}

Machine::Step Machine::step(uint32_t begin, Deadline deadline) {
    install_hooks();
    fault_.clear();
    limit_hit_ = false;
    blocked_ = false;
    yield_ = false;
    Step out;
    uc_err e = UC_ERR_OK;
    uint32_t eip = begin;
    size_t timed_out = 0;
    for (;;) {
        uint64_t budget_us = 0;
        if (deadline != Deadline::max()) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                out.result.stop = Stop::Timeout;
                out.result.message = "time limit reached at eip " + hex(eip);
                return out;
            }
            budget_us = static_cast<uint64_t>(left.count());
        }
        e = uc_emu_start(uc_, eip, kReturnAddress, budget_us, 0);
        uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
        timed_out = 0;
        uc_query(uc_, UC_QUERY_TIMEOUT, &timed_out);
        // The emulator's timer now and then stops a run long before its time
        // (seen with several emulators in one process); such a run goes on.
        bool early = timed_out && e == UC_ERR_OK && !exited_ && fault_.empty() && !limit_hit_ &&
                     !pending_ && !yield_ && eip != kReturnAddress &&
                     std::chrono::steady_clock::now() < deadline;
        if (!early) break;
    }
    RunResult& r = out.result;
    if (!exited_ && fault_.empty() && !limit_hit_ && e == UC_ERR_OK && (pending_ || yield_)) {
        out.blocked = pending_.has_value();
        out.yielded = !out.blocked;
        if (pending_) last_nr_ = pending_->nr;
        resume_at_ = eip;
        return out;
    }
    if (exited_) {
        r.stop = Stop::Exited;
        r.status = status_;
    } else if (!fault_.empty()) {
        r.stop = Stop::Fault;
        r.message = fault_;
    } else if (limit_hit_) {
        r.stop = Stop::Limit;
        r.message = "instruction limit of " + std::to_string(opts_.max_instructions) +
                    " reached at eip " + hex(eip);
    } else if (e != UC_ERR_OK) {
        r.stop = Stop::Fault;
        r.message = std::string(uc_strerror(e)) + " at eip " + hex(eip);
    } else if (eip == kReturnAddress) {
        r.stop = Stop::Returned;
    } else {
        if (timed_out) {
            r.stop = Stop::Timeout;
            r.message = "time limit reached at eip " + hex(eip);
        } else {
            r.stop = Stop::Fault;
            r.message = "guest halted at eip " + hex(eip);
        }
    }
    return out;
}

uint32_t Machine::build_stack(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                              uint32_t& vector_addr, bool& ok) {
    // From the top down: the strings, then the count, the vector and a null entry.
    uint64_t string_bytes = 0;
    for (const auto& e : entries) string_bytes += e ? e->size() + 1 : 0;
    uint64_t vector_bytes = 4 * (uint64_t{entries.size()} + 2);
    ok = string_bytes + vector_bytes <= kMaxArgBytes;
    if (!ok) return 0;
    uint32_t at = kStackTop - 16;
    std::vector<uint32_t> words;
    words.push_back(static_cast<uint32_t>(argc));
    for (const auto& e : entries) {
        if (!e) {
            words.push_back(0);
            continue;
        }
        at -= static_cast<uint32_t>(e->size() + 1);
        write(at, e->c_str(), e->size() + 1);
        words.push_back(at);
    }
    words.push_back(0);
    at = (at - static_cast<uint32_t>(words.size() * 4)) & ~15u;
    write(at, words.data(), words.size() * 4);
    vector_addr = at + 4;
    return at;
}

RunResult Machine::run(const std::vector<std::string>& args) {
    std::vector<std::optional<std::string>> entries(args.begin(), args.end());
    return run_raw(static_cast<int32_t>(args.size()), entries);
}

RunResult Machine::run_raw(int32_t argc, const std::vector<std::optional<std::string>>& entries) {
    RunResult r;
    if (!prepare_start(argc, entries, r.message)) return r;
    return emulate(image_.entry);
}

bool Machine::prepare_start(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                            std::string& err) {
    bool ok = false;
    uint32_t vector_addr = 0;
    uint32_t sp = build_stack(argc, entries, vector_addr, ok);
    if (!ok) {
        err = "argument list longer than " + std::to_string(kMaxArgBytes) + " bytes";
        return false;
    }
    argv_begin_ = vector_addr;
    argv_end_ = vector_addr + 4 * static_cast<uint32_t>(entries.size() + 1);
    uint32_t zero = 0;
    for (int reg : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                    UC_X86_REG_EDI, UC_X86_REG_EBP}) {
        uc_reg_write(uc_, reg, &zero);
    }
    uc_reg_write(uc_, UC_X86_REG_ESP, &sp);
    reset_fpu();
    resume_at_ = image_.entry;
    return true;
}

RunResult Machine::call_words(uint32_t address, std::span<const uint32_t> words) {
    uint32_t sp = (kStackTop - 64 - static_cast<uint32_t>(words.size()) * 4) & ~15u;
    write(sp, words.data(), words.size() * 4);
    sp -= 4;
    set_u32(sp, kReturnAddress);
    uc_reg_write(uc_, UC_X86_REG_ESP, &sp);
    reset_fpu();
    return emulate(address);
}

RunResult Machine::call(uint32_t address, std::initializer_list<Arg> args) {
    std::vector<uint32_t> words;
    for (const Arg& a : args) {
        words.push_back(a.lo);
        if (a.wide) words.push_back(a.hi);
    }
    return call_words(address, words);
}

RunResult Machine::call(std::string_view symbol_name, std::initializer_list<Arg> args) {
    return call(symbol(symbol_name), args);
}

std::optional<uint32_t> Machine::find_symbol(std::string_view name) const {
    auto it = image_.symbols.find(name);
    if (it == image_.symbols.end()) return std::nullopt;
    return it->second.value;
}

uint32_t Machine::symbol(std::string_view name) const {
    auto s = find_symbol(name);
    if (!s) throw std::out_of_range("no symbol " + std::string(name) + " in the image");
    return *s;
}

uint32_t Machine::reg(int uc_register) const {
    uint32_t v = 0;
    uc_reg_read(uc_, uc_register, &v);
    return v;
}

uint32_t Machine::eax() const {
    return reg(UC_X86_REG_EAX);
}

uint64_t Machine::edx_eax() const {
    return (uint64_t{reg(UC_X86_REG_EDX)} << 32) | reg(UC_X86_REG_EAX);
}

std::array<uint8_t, 10> Machine::st0_bytes() const {
    uint32_t sw = reg(UC_X86_REG_FPSW);
    int top = static_cast<int>((sw >> 11) & 7);
    uint8_t raw[16] = {};
    uc_reg_read(uc_, UC_X86_REG_FP0 + top, raw);
    std::array<uint8_t, 10> out{};
    std::memcpy(out.data(), raw, 10);
    return out;
}

long double Machine::st0() const {
    std::array<uint8_t, 10> b = st0_bytes();
    long double v = 0;
    static_assert(sizeof(long double) >= 10);
    std::memcpy(&v, b.data(), 10);
    return v;
}

bool Machine::read(uint32_t address, void* out, size_t n) const {
    if (n == 0) return true;
    return uc_mem_read(uc_, address, out, n) == UC_ERR_OK;
}

bool Machine::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    return uc_mem_write(uc_, address, data, n) == UC_ERR_OK;
}

uint32_t Machine::u32(uint32_t address) const {
    uint32_t v = 0;
    if (!read(address, &v, 4))
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    return v;
}

void Machine::set_u32(uint32_t address, uint32_t value) {
    if (!write(address, &value, 4)) {
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    }
}

std::string Machine::read_string(uint32_t address, size_t max) const {
    std::string s;
    char c = 0;
    while (s.size() < max && read(address + static_cast<uint32_t>(s.size()), &c, 1) && c != 0) {
        s.push_back(c);
    }
    return s;
}

std::vector<uint8_t> Machine::read_bytes(uint32_t address, size_t n) const {
    std::vector<uint8_t> v(n);
    if (!read(address, v.data(), n))
        throw std::out_of_range("guest range " + hex(address) + " unmapped");
    return v;
}

uint32_t Machine::alloc(size_t n, uint32_t align) {
    if (!scratch_mapped_) {
        map(kScratchBase, kScratchSize, UC_PROT_READ | UC_PROT_WRITE);
        scratch_mapped_ = true;
    }
    if (align == 0) align = 1;
    uint64_t at = (uint64_t{scratch_used_} + align - 1) / align * align;
    if (at + n > kScratchSize) throw std::length_error("scratch memory exhausted");
    scratch_used_ = static_cast<uint32_t>(at + n);
    return kScratchBase + static_cast<uint32_t>(at);
}

uint32_t Machine::put_string(std::string_view s) {
    uint32_t a = alloc(s.size() + 1, 1);
    write(a, s.data(), s.size());
    uint8_t nul = 0;
    write(a + static_cast<uint32_t>(s.size()), &nul, 1);
    return a;
}

uint32_t Machine::put_bytes(std::span<const uint8_t> bytes) {
    uint32_t a = alloc(bytes.size(), 1);
    write(a, bytes.data(), bytes.size());
    return a;
}

void Machine::set_handler(uint32_t nr, Handler h) {
    auto it = calls_.find(nr);
    if (it == calls_.end()) {
        calls_[nr] = SyscallDef{"unknown", nr, 3, "xxx", std::move(h)};
    } else {
        it->second.handler = std::move(h);
    }
}

void Machine::set_handler(std::string_view name, Handler h) {
    for (auto& [nr, def] : calls_) {
        if (name == def.name) {
            def.handler = std::move(h);
            return;
        }
    }
    throw std::out_of_range("no system call named " + std::string(name));
}

const SyscallDef* Machine::syscall(uint32_t nr) const {
    auto it = calls_.find(nr);
    return it == calls_.end() ? nullptr : &it->second;
}

void Machine::exit_process(int32_t status) {
    exited_ = true;
    status_ = status;
    uc_emu_stop(uc_);
}

std::shared_ptr<OpenFile> Machine::file(int32_t fd) const {
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size()) return nullptr;
    return files_[static_cast<size_t>(fd)];
}

int32_t Machine::install_file(std::shared_ptr<OpenFile> f, int32_t at) {
    if (at < 0) {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (!files_[i]) {
                files_[i] = std::move(f);
                return static_cast<int32_t>(i);
            }
        }
        if (files_.size() >= kMaxFiles) return -NUV_EMFILE;
        files_.push_back(std::move(f));
        return static_cast<int32_t>(files_.size() - 1);
    }
    if (at >= kMaxFiles) return -NUV_EBADF;
    if (static_cast<size_t>(at) >= files_.size()) files_.resize(static_cast<size_t>(at) + 1);
    files_[static_cast<size_t>(at)] = std::move(f);
    return at;
}

bool Machine::close_file(int32_t fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size() || !files_[static_cast<size_t>(fd)]) {
        return false;
    }
    files_[static_cast<size_t>(fd)].reset();
    return true;
}

}  // namespace nuv
