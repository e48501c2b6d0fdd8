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

Machine::Machine(elf::File image, LoadPlan plan, const Options& opts,
                 std::unique_ptr<Process> process)
    : image_(std::move(image)), plan_(std::move(plan)), opts_(opts), process_(std::move(process)) {}

Machine::~Machine() {
    // The processes this one spawned end first: they may share its descriptors.
    own_kernel_.reset();
}

std::unique_ptr<Machine> Machine::load(const std::string& path, const Options& opts,
                                       std::string& err) {
    Result<std::unique_ptr<Machine>> m = open(path, opts);
    if (!m) {
        err = m.error().message;
        return nullptr;
    }
    return std::move(*m);
}

std::unique_ptr<Machine> Machine::load(std::vector<uint8_t> bytes, const Options& opts,
                                       std::string& err) {
    Result<std::unique_ptr<Machine>> m = open(std::move(bytes), opts);
    if (!m) {
        err = m.error().message;
        return nullptr;
    }
    return std::move(*m);
}

Result<std::unique_ptr<Machine>> Machine::open(const std::string& path, const Options& opts) {
    std::string err;
    // Read and parsed once: the parsed file is planned as it is.
    std::optional<elf::File> f = elf::read_file(path, err);
    if (!f) return Error{Fault::BadImage, err};
    return open(check_image(std::move(*f)), opts);
}

Result<std::unique_ptr<Machine>> Machine::open(std::vector<uint8_t> bytes, const Options& opts) {
    return open(check_image(std::move(bytes)), opts);
}

Result<std::unique_ptr<Machine>> Machine::open(Result<Image> image, const Options& opts) {
    if (!image) return image.error();
    Result<std::unique_ptr<Process>> first = Process::first(
        opts.root, opts.input, opts.capture_output, opts.interrupted, opts.temporaries);
    if (!first) return first.error();
    Result<std::unique_ptr<Machine>> m = create(std::move(*image), opts, std::move(*first));
    if (!m) return m.error();
    (*m)->own_kernel_ = Kernel::boot(**m);
    return m;
}

Result<Machine::Image> Machine::check_image(std::vector<uint8_t> bytes) {
    std::string err;
    std::optional<elf::File> f = elf::parse(std::move(bytes), err);
    if (!f) return Error{Fault::BadImage, err};
    return check_image(std::move(*f));
}

Result<Machine::Image> Machine::check_image(elf::File file) {
    Result<LoadPlan> plan = plan_image(file);
    if (!plan) return plan.error();
    return Image{std::move(file), std::move(*plan)};
}

Result<std::unique_ptr<Machine>> Machine::create(Image image, const Options& opts,
                                                 std::unique_ptr<Process> process) {
    Options own = opts;
    if (own.memory_limit != 0 && !own.memory_budget) {
        own.memory_budget = std::make_shared<MemoryBudget>(own.memory_limit);
    }
    std::unique_ptr<Machine> m(
        new Machine(std::move(image.file), std::move(image.plan), own, std::move(process)));
    EngineRequest req;
    req.kind = opts.engine;
    req.needs_counting = opts.count_instructions || opts.max_instructions != 0;
    req.tsc = opts.tsc;
    req.max_address_space = own.memory_limit;
    req.debugging = opts.debugging;
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
    return m;
}

void Machine::attach(Kernel& k, const Machine* parent) {
    kernel_ = &k;
    if (parent != nullptr) {
        calls_ = parent->calls_;
    } else {
        for (const SyscallDef& d : default_syscalls()) calls_[d.nr] = d;
    }
}

void Machine::set_pending(std::optional<SyscallArgs> a) {
    pending_ = std::move(a);
    process_->set_state(!pending_ ? RunState::Runnable
                        : wake_   ? RunState::Asleep
                                  : RunState::Waiting);
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

int32_t Machine::dispatch(const SyscallArgs& a, bool resuming) {
    const SyscallDef* def = syscall(a.nr);
    blocked_ = false;
    resuming_ = resuming;
    Outcome o = def != nullptr && def->handler ? def->handler(*this, a) : Outcome(-1);
    resuming_ = false;
    switch (o.kind) {
        case Outcome::Done:
            break;
        case Outcome::Block:
            blocked_ = true;
            if (o.wake) wake_ = o.wake;
            break;
        case Outcome::Yield:
            yield_ = true;
            break;
        case Outcome::Exit:
            exit_process(o.value);
            return 0;
    }
    return o.value;
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

void Machine::release(Deadline deadline) {
    RunLimits limits;
    limits.deadline = deadline;
    limits.return_address = kReturnAddress;
    started_ = true;
    engine_->release(limits);
}

bool Machine::retry_pending() {
    if (!pending_) return true;
    int32_t result = dispatch(*pending_, true);
    if (blocked_) {
        set_pending(pending_);  // a sleeper may now have a wake time
        return false;
    }
    SyscallArgs a = *pending_;
    set_pending(std::nullopt);
    finish_call(a, result, pending_eip_);
    return true;
}

void Machine::fail_pending(int32_t result) {
    if (!pending_) return;
    SyscallArgs a = *pending_;
    set_pending(std::nullopt);
    finish_call(a, result, pending_eip_);
}

RunResult Machine::emulate(uint32_t begin) {
    Deadline deadline = Deadline::max();
    if (opts_.timeout_us != 0) {
        deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(opts_.timeout_us);
    }
    set_pending(std::nullopt);
    exited_ = false;
    Registers r = engine_->registers();
    r.eip = begin;
    engine_->set_registers(r);
    Step s = step(deadline);
    while (s.blocked || s.yielded) {
        // Other processes run until this one can go on.
        if (!kernel_->schedule(*this, s.blocked, deadline)) {
            set_pending(std::nullopt);
            RunResult t;
            t.stop = Stop::Timeout;
            t.message = std::string(opts_.interrupted != nullptr && *opts_.interrupted != 0
                                        ? "interrupted"
                                        : "time limit reached") +
                        " while waiting in call " + std::to_string(last_nr_);
            return t;
        }
        s = step(deadline);
    }
    if (debugger_ != nullptr) debugger_->ended(s.result);
    return s.result;
}

bool Machine::debug_stop(const DebugEvent& e, RunLimits& limits) {
    RunResult& res = step_.result;
    switch (debugger_->stopped(*this, e, deadline_)) {
        case DebugGo::Continue:
            limits.step = false;
            return true;
        case DebugGo::Step:
            limits.step = true;
            return true;
        case DebugGo::Kill:
            res.stop = Stop::Fault;
            res.message = "killed by the debugger";
            return false;
        case DebugGo::Timeout:
            res.stop = Stop::Timeout;
            res.message = "time limit reached at eip " + hex(engine_->registers().eip) +
                          " (stopped in the debugger)";
            return false;
    }
    return false;
}

Machine::Step Machine::step(Deadline deadline) {
    started_ = true;
    blocked_ = false;
    yield_ = false;
    step_ = Step{};
    deadline_ = deadline;
    RunLimits limits;
    limits.deadline = deadline;
    limits.interrupted = opts_.interrupted;
    limits.record = opts_.run_record;
    limits.max_instructions = opts_.max_instructions;
    limits.return_address = kReturnAddress;
    if (kernel_ != nullptr) {
        kernel_->event_fds(*this, others_);
        limits.others = &others_;
    }
    if (debugger_ != nullptr && !debug_began_) {
        debug_began_ = true;
        if (!debug_stop({DebugEvent::Start, engine_->registers().eip, {}}, limits)) return step_;
    }
    for (;;) {
        served_ = false;
        EngineEvent ev = engine_->run(limits);
        RunResult& res = step_.result;
        switch (ev.stop) {
            case EngineStop::Trap:
                if (served_ || !serve(ev.eip)) {
                    if (!debug_pause_) return step_;
                    debug_pause_ = false;
                    if (!debug_stop({DebugEvent::Interrupted, ev.eip, {}}, limits)) return step_;
                }
                continue;
            case EngineStop::Breakpoint:
            case EngineStop::Stepped:
                if (debugger_ != nullptr) {
                    DebugEvent::Kind k = ev.stop == EngineStop::Breakpoint ? DebugEvent::Breakpoint
                                                                           : DebugEvent::Stepped;
                    if (!debug_stop({k, ev.eip, {}}, limits)) return step_;
                    continue;
                }
                res.stop = Stop::Fault;
                res.message = std::string("unexpected interrupt ") +
                              (ev.stop == EngineStop::Breakpoint ? "3" : "1") + " at eip " +
                              hex(ev.eip);
                return step_;
            case EngineStop::Returned:
                res.stop = Stop::Returned;
                return step_;
            case EngineStop::Others:
                step_.yielded = true;
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
        if (res.stop == Stop::Fault && ev.stop == EngineStop::Fault) {
            if (opts_.on_fault) opts_.on_fault(*this, ev.message);
            if (debugger_ != nullptr) {
                RunLimits after = limits;
                debug_stop({DebugEvent::Fault, ev.eip, ev.message}, after);
                res.stop = Stop::Fault;
                res.message = ev.message;
            }
        }
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
        pending_eip_ = eip;
        set_pending(a);
        last_nr_ = a.nr;
        step_.blocked = true;
        return false;
    }
    finish_call(a, result, eip);
    if (kernel_ != nullptr) kernel_->release_ready(*this, deadline_);
    if (exited_) {
        step_.result.stop = Stop::Exited;
        step_.result.status = status_;
        return false;
    }
    if (yield_) {
        step_.yielded = true;
        return false;
    }
    if (debugger_ != nullptr && debugger_->wants_stop()) {
        debug_pause_ = true;
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

int32_t Machine::spawn(const std::string& path, const std::vector<std::string>& args,
                       const Stdio& how) {
    return kernel_->spawn(*this, path, args, how);
}

Outcome Machine::waitpid(int32_t pid, uint32_t status_address, int32_t options) {
    return kernel_->waitpid(*this, pid, status_address, options);
}

int32_t Machine::stream_begin(std::string absolute_path) {
    return kernel_->stream_begin(*this, std::move(absolute_path));
}

int32_t Machine::stream_write(int32_t stream, uint32_t address, uint32_t length) {
    return kernel_->stream_write(*this, stream, address, length);
}

int32_t Machine::stream_end(int32_t stream) {
    return kernel_->stream_end(*this, stream);
}

std::shared_ptr<PipeBuffer> Machine::named_pipe(uint64_t device, uint64_t inode) {
    return kernel_->named_pipe(device, inode);
}

const SyscallDef* Machine::syscall(uint32_t nr) const {
    auto it = calls_.find(nr);
    return it == calls_.end() ? nullptr : &it->second;
}

void Machine::exit_process(int32_t status) {
    exited_ = true;
    status_ = status;
}

}  // namespace nuv
