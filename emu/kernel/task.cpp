#include "task.hpp"

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "instrumentation.hpp"

namespace nuv {
namespace {

std::atomic<int> g_live_tasks{0};

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

Task::LiveCount::LiveCount() : over(g_live_tasks.fetch_add(1) >= kMaxLiveEmulated) {}

Task::LiveCount::~LiveCount() {
    --g_live_tasks;
}

Task::Task(Image image, const Options& opts, std::unique_ptr<Process> process)
    : image_(std::move(image.file)),
      plan_(std::move(image.plan)),
      opts_(opts),
      process_(std::move(process)) {}

Task::~Task() {
    // What ran since the last sample, where the process ended.
    if (opts_.profile && engine_ != nullptr && memory_ != nullptr) opts_.profile->finish(*this);
    // What the guest added in its own process is charged, the rest given back.
    if (process_ != nullptr) settle(loop_.grant, process_->sandbox().budget());
}

Result<Task::Image> Task::check_image(std::vector<uint8_t> bytes) {
    Result<elf::File> f = elf::parse(std::move(bytes));
    if (!f) return f.error();
    return check_image(std::move(*f));
}

Result<Task::Image> Task::check_image(elf::File file) {
    Result<LoadPlan> plan = plan_image(file);
    if (!plan) return plan.error();
    return Image{std::move(file), std::move(*plan)};
}

Result<std::unique_ptr<Task>> Task::create(Image image, const Options& opts,
                                           std::unique_ptr<Process> process,
                                           std::map<uint32_t, SyscallDef> calls,
                                           EngineFactory& engines) {
    Options own = opts;
    if (own.memory_limit != 0 && !own.memory_budget) {
        own.memory_budget = std::make_shared<MemoryBudget>(own.memory_limit);
    }
    std::unique_ptr<Task> t(new Task(std::move(image), own, std::move(process)));
    t->calls_ = std::move(calls);
    EngineRequest req;
    req.kind = opts.engine;
    // A profile weighs the emulator's samples in instructions.
    req.needs_counting = opts.count_instructions || opts.max_instructions != 0 ||
                         (opts.profile && opts.engine == EngineKind::Unicorn);
    req.tsc = opts.tsc;
    req.max_address_space = own.memory_limit;
    req.debugging = opts.debugging;
    req.rewrite_sites = opts.rewrite_sites;
    bool tsc_done = false;
    Result<std::unique_ptr<Engine>> engine = engines.make(req, tsc_done);
    if (!engine) return engine.error();
    t->engine_ = std::move(*engine);
    // Each emulator instance reserves much host memory; native processes are
    // bounded by the kernel's process limit alone.
    if (t->live_.over && std::strcmp(t->engine_->name(), "native") != 0) {
        return Error{HostError::TooMany,
                     "too many live guests (at most " + std::to_string(kMaxLiveEmulated) + ")"};
    }
    t->memory_ = std::make_unique<GuestMemory>(*t->engine_, own.memory_budget);
    if (own.memory_budget) {
        uint64_t need = Layout::kStackSize;
        for (const LoadPlan::Area& a : t->plan_.areas) need += a.size;
        const MemoryBudget& b = *own.memory_budget;
        if (need > b.limit() || b.used() > b.limit() - need) {
            return Error{HostError::TooMany,
                         "memory limit of " + std::to_string(b.limit() >> 20) + " MiB reached"};
        }
    }
    if (Status placed = place_image(t->plan_, t->image_, *t->memory_); !placed) {
        return placed.error();
    }
    if (opts.tsc && !tsc_done) {
        Instrumentation* in = t->engine_->instrumentation();
        if (in == nullptr) return Error{HostError::NoEngine, "this engine cannot fix RDTSC"};
        in->fix_tsc(*opts.tsc, t->plan_.code);
    }
    // Sampled by its engine where that counts, else by the kernel's slices.
    if (opts.profile) opts.profile->attach(*t);
    return t;
}

uint32_t Task::build_stack(int32_t argc, const std::vector<std::optional<std::string>>& entries,
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
        memory_->load(at, e->c_str(), e->size() + 1);
        words.push_back(at);
    }
    words.push_back(0);
    at = (at - static_cast<uint32_t>(words.size() * 4)) & ~15u;
    memory_->load(at, words.data(), words.size() * 4);
    vector_addr = at + 4;
    return at;
}

Status Task::prepare_start(int32_t argc, const std::vector<std::optional<std::string>>& entries) {
    bool ok = false;
    uint32_t vector_addr = 0;
    uint32_t sp = build_stack(argc, entries, vector_addr, ok);
    if (!ok) {
        return Error{HostError::ArgsTooLong,
                     "argument list longer than " + std::to_string(kMaxArgBytes) + " bytes"};
    }
    if (watch_argv_ && !loop_.started) {
        Instrumentation* in = engine_->instrumentation();
        if (in == nullptr) throw std::logic_error("this engine offers no watches");
        in->watch_reads(vector_addr, vector_addr + 4 * static_cast<uint32_t>(entries.size() + 1));
    }
    Registers r;
    r.esp = sp;
    r.eip = image_.entry;
    engine_->set_registers(r);
    engine_->reset_fpu();
    return Done{};
}

std::optional<uint32_t> Task::find_symbol(std::string_view name) const {
    auto it = image_.symbols.find(name);
    if (it == image_.symbols.end()) return std::nullopt;
    return it->second.value;
}

const SyscallDef* Task::syscall(uint32_t nr) const {
    auto it = calls_.find(nr);
    return it == calls_.end() ? nullptr : &it->second;
}

void Task::set_pending(std::optional<Pending> p) {
    loop_.pending = std::move(p);
    // No call waiting, no time to wake it at.
    if (!loop_.pending) loop_.wake.reset();
    process_->set_state(!loop_.pending ? RunState::Runnable
                        : loop_.wake   ? RunState::Asleep
                                       : RunState::Waiting);
}

}  // namespace nuv
