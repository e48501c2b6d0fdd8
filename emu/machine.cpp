#include "machine.hpp"

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "engine_factory.hpp"
#include "instrumentation.hpp"
#include "kernel.hpp"
#include "sandbox.hpp"

namespace nuv {
namespace {

thread_local Machine* t_current = nullptr;
std::atomic<int> g_live_machines{0};

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
    Options own = opts;
    if (own.memory_limit != 0 && !own.memory_budget) {
        own.memory_budget = std::make_shared<MemoryBudget>(own.memory_limit);
    }
    std::unique_ptr<Machine> m(new Machine(std::move(*f), std::move(*plan), own));
    EngineRequest req;
    req.kind = opts.engine;
    req.needs_counting = opts.count_instructions || opts.max_instructions != 0;
    req.tsc = opts.tsc;
    req.max_address_space = own.memory_limit;
    bool tsc_done = false;
    std::string why;
    m->engine_ = make_engine(req, tsc_done, why);
    if (!m->engine_) return Error{Fault::NoEngine, why};
    // Each emulator instance reserves much host memory; native processes are
    // bounded by the kernel's process limit alone.
    if (m->live_.over && std::strcmp(m->engine_->name(), "native") != 0) {
        return Error{Fault::TooMany,
                     "too many live guests (at most " + std::to_string(kMaxLiveMachines) + ")"};
    }
    m->engine_->serve_traps_with(m.get());
    m->memory_ = std::make_unique<GuestMemory>(*m->engine_, own.memory_budget);
    m->sandbox_ = std::move(*sandbox);
    if (own.memory_budget) {
        uint64_t need = Layout::kStackSize;
        for (const LoadPlan::Area& a : m->plan_.areas) need += a.size;
        const MemoryBudget& b = *own.memory_budget;
        if (need > b.limit() || b.used() > b.limit() - need) {
            return Error{Fault::TooMany,
                         "memory limit of " + std::to_string(b.limit() >> 20) + " MiB reached"};
        }
    }
    if (Status placed = place_image(m->plan_, m->image_, *m->memory_); !placed) {
        return placed.error();
    }
    if (opts.tsc && !tsc_done) {
        Instrumentation* in = m->engine_->instrumentation();
        if (in == nullptr) return Error{Fault::NoEngine, "this engine cannot fix RDTSC"};
        in->fix_tsc(*opts.tsc, m->plan_.code);
    }
    if (inherit_root == nullptr) {
        // The first process boots a kernel of its own; a child joins its parent's.
        m->own_kernel_ = std::make_unique<Kernel>(*m);
        m->kernel_ = m->own_kernel_.get();
    }
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
