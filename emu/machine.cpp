#include "machine.hpp"

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "instrumentation.hpp"
#include "kernel.hpp"
#include "sandbox.hpp"
#include "unicorn_engine.hpp"

namespace nuv {
namespace {

thread_local Machine* t_current = nullptr;
std::atomic<int> g_live_machines{0};

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

Machine::LiveCount::LiveCount() : over(g_live_machines.fetch_add(1) >= kMaxLiveMachines) {}

Machine::LiveCount::~LiveCount() {
    --g_live_machines;
}

Machine::Machine(elf::File image, LoadPlan plan, const Options& opts)
    : image_(std::move(image)), plan_(std::move(plan)), opts_(opts) {}

Machine::~Machine() {
    // The processes this one spawned end first: they may share its descriptors.
    own_kernel_.reset();
}

std::unique_ptr<Machine> Machine::load(const std::string& path, const Options& opts,
                                       std::string& err) {
    std::optional<elf::File> f = elf::read_file(path, err);
    if (!f) return nullptr;
    return load(std::move(f->bytes), opts, err);
}

std::unique_ptr<Machine> Machine::load(std::vector<uint8_t> bytes, const Options& opts,
                                       std::string& err) {
    Result<std::unique_ptr<Machine>> m = create(std::move(bytes), opts);
    if (!m) {
        err = m.error().message;
        return nullptr;
    }
    return std::move(*m);
}

Result<std::unique_ptr<Machine>> Machine::create(std::vector<uint8_t> bytes, const Options& opts,
                                                 const Sandbox* inherit_root) {
    std::string err;
    std::optional<elf::File> f = elf::parse(std::move(bytes), err);
    if (!f) return Error{Fault::BadImage, err};
    Result<LoadPlan> plan = plan_image(*f);
    if (!plan) return plan.error();
    Result<std::unique_ptr<Sandbox>> sandbox =
        inherit_root != nullptr ? inherit_root->share() : Sandbox::open_root(opts.root);
    if (!sandbox) return sandbox.error();
    std::unique_ptr<Machine> m(new Machine(std::move(*f), std::move(*plan), opts));
    if (m->live_.over) {
        return Error{Fault::TooMany,
                     "too many live guests (at most " + std::to_string(kMaxLiveMachines) + ")"};
    }
    m->engine_ = UnicornEngine::create(opts.count_instructions || opts.max_instructions != 0);
    if (!m->engine_) return Error{Fault::NoEngine, "cannot start the CPU emulator"};
    m->engine_->serve_traps_with(m.get());
    m->memory_ = std::make_unique<GuestMemory>(*m->engine_);
    m->sandbox_ = std::move(*sandbox);
    if (Status placed = place_image(m->plan_, m->image_, *m->memory_); !placed) {
        return placed.error();
    }
    if (opts.tsc) {
        Instrumentation* in = m->engine_->instrumentation();
        if (in == nullptr) return Error{Fault::NoEngine, "this engine cannot fix RDTSC"};
        in->fix_tsc(*opts.tsc, m->plan_.code);
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

void Machine::join(Kernel& k, int32_t pid, const Machine& parent,
                   std::vector<std::shared_ptr<OpenFile>> files) {
    own_kernel_.reset();
    kernel_ = &k;
    pid_ = pid;
    files_ = std::move(files);
    calls_ = parent.calls_;  // replaced handlers reach the children too
}

bool Machine::accessible(uint32_t address, uint64_t n, bool for_write) const {
    return memory_->accessible(address, n, for_write);
}

uint32_t Machine::map_anonymous(uint32_t length, uint32_t prot) {
    return memory_->map_anonymous(length, prot);
}

bool Machine::unmap_anonymous(uint32_t address, uint32_t length) {
    return memory_->unmap_anonymous(address, length);
}

static Instrumentation& watches(Engine& e) {
    Instrumentation* in = e.instrumentation();
    if (in == nullptr) throw std::logic_error("this engine offers no watches");
    return *in;
}

void Machine::watch_exec(uint32_t address) {
    if (started_) throw std::logic_error("watches must be set before the first run");
    watches(*engine_).watch_exec(address);
}

uint64_t Machine::exec_count(uint32_t address) const {
    Instrumentation* in = engine_->instrumentation();
    return in == nullptr ? 0 : in->exec_count(address);
}

void Machine::watch_argument_vector() {
    if (started_) throw std::logic_error("watches must be set before the first run");
    watches(*engine_);
    watch_argv_ = true;
}

uint64_t Machine::argument_vector_reads() const {
    Instrumentation* in = engine_->instrumentation();
    return in == nullptr ? 0 : in->watched_reads();
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
    // After the exit call EAX is left alone.
    if (!exited_) {
        Registers r = engine_->registers();
        r.eax = static_cast<uint32_t>(result);
        engine_->set_registers(r);
    }
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
    Registers r = engine_->registers();
    r.eip = begin;
    engine_->set_registers(r);
    Step s = step(deadline);
    while (s.blocked || s.yielded) {
        // Other processes run until this one can go on.
        if (!kernel_->schedule(*this, s.blocked, deadline)) {
            pending_.reset();
            RunResult t;
            t.stop = Stop::Timeout;
            t.message = "time limit reached while waiting in call " + std::to_string(last_nr_);
            return t;
        }
        s = step(deadline);
    }
    return s.result;
}

Machine::Step Machine::step(Deadline deadline) {
    started_ = true;
    blocked_ = false;
    yield_ = false;
    step_ = Step{};
    RunLimits limits;
    limits.deadline = deadline;
    limits.max_instructions = opts_.max_instructions;
    limits.return_address = kReturnAddress;
    for (;;) {
        served_ = false;
        EngineEvent ev = engine_->run(limits);
        RunResult& res = step_.result;
        switch (ev.stop) {
            case EngineStop::Trap:
                if (served_ || !serve(ev.eip)) return step_;
                continue;
            case EngineStop::Returned:
                res.stop = Stop::Returned;
                return step_;
            case EngineStop::Limit:
                res.stop = Stop::Limit;
                break;
            case EngineStop::Timeout:
                res.stop = Stop::Timeout;
                break;
            case EngineStop::Fault:
            case EngineStop::Failed:
                res.stop = Stop::Fault;
                break;
        }
        res.message = ev.message;
        return step_;
    }
}

bool Machine::serve(uint32_t eip) {
    Registers regs = engine_->registers();
    SyscallArgs a;
    a.nr = regs.eax;
    a.ebx = regs.ebx;
    a.ecx = regs.ecx;
    a.edx = regs.edx;
    a.esi = regs.esi;
    a.edi = regs.edi;
    a.ebp = regs.ebp;
    int32_t result = dispatch(a, false);
    served_ = true;
    if (blocked_) {
        // Stopped at the trap until the call can complete.
        pending_ = a;
        pending_eip_ = eip;
        last_nr_ = a.nr;
        step_.blocked = true;
        return false;
    }
    finish_call(a, result, eip);
    if (exited_) {
        step_.result.stop = Stop::Exited;
        step_.result.status = status_;
        return false;
    }
    if (yield_) {
        step_.yielded = true;
        return false;
    }
    return true;
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
    if (watch_argv_ && !started_) {
        watches(*engine_).watch_reads(vector_addr,
                                      vector_addr + 4 * static_cast<uint32_t>(entries.size() + 1));
    }
    Registers r;
    r.esp = sp;
    r.eip = image_.entry;
    engine_->set_registers(r);
    engine_->reset_fpu();
    return true;
}

RunResult Machine::call_words(uint32_t address, std::span<const uint32_t> words) {
    uint32_t sp = (kStackTop - 64 - static_cast<uint32_t>(words.size()) * 4) & ~15u;
    write(sp, words.data(), words.size() * 4);
    sp -= 4;
    set_u32(sp, kReturnAddress);
    Registers r = engine_->registers();
    r.esp = sp;
    engine_->set_registers(r);
    engine_->reset_fpu();
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

uint32_t Machine::eax() const {
    return engine_->registers().eax;
}

uint64_t Machine::edx_eax() const {
    Registers r = engine_->registers();
    return (uint64_t{r.edx} << 32) | r.eax;
}

std::array<uint8_t, 10> Machine::st0_bytes() const {
    return engine_->st0();
}

long double Machine::st0() const {
    std::array<uint8_t, 10> b = st0_bytes();
    long double v = 0;
    static_assert(sizeof(long double) >= 10);
    std::memcpy(&v, b.data(), 10);
    return v;
}

bool Machine::read(uint32_t address, void* out, size_t n) const {
    return memory_->peek(address, out, n);
}

bool Machine::write(uint32_t address, const void* data, size_t n) {
    return memory_->load(address, data, n);
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
        if (!memory_->map(kScratchBase, kScratchSize, kPermRead | kPermWrite)) {
            throw std::runtime_error("cannot map scratch memory");
        }
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
