// One guest process on the emulated i386: its address space, registers,
// descriptors and the kernel calls it makes through int 0x80.
#pragma once

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "elf32.hpp"
#include "engine.hpp"
#include "engine_factory.hpp"
#include "guest_memory.hpp"
#include "loader.hpp"
#include "result.hpp"
#include "debugger.hpp"
#include "files.hpp"
#include "process.hpp"
#include "calls.hpp"
#include <nuvos/kernel.h>

namespace nuv {

class Machine;
class Kernel;
class Sandbox;

// A recorded trap: the registers at the trap and the result handed back.
struct TrapRecord {
    SyscallArgs args;
    int32_t result = 0;
    uint32_t eip = 0;  // address of the instruction after the trap
};

enum class Stop {
    Exited,    // the guest made the exit call
    Returned,  // a called function returned to the host
    Fault,     // bad memory access, invalid instruction, stray interrupt, halt
    Limit,     // the instruction limit was reached
    Timeout,   // the wall-clock limit was reached
};

struct RunResult {
    Stop stop = Stop::Fault;
    int32_t status = 0;   // exit status, when Exited
    std::string message;  // what went wrong, when Fault, Limit or Timeout
    bool ok() const { return stop == Stop::Exited || stop == Stop::Returned; }
};

struct Options {
    bool record_traps = false;         // keep every trap for traps()
    bool count_instructions = false;   // count executed instructions
    uint64_t max_instructions = 0;     // stop after this many (0: no limit)
    uint64_t timeout_us = 0;           // stop after this much time per run or call (0: none)
    std::FILE* trace = nullptr;        // one line per call, strace-style
    bool capture_output = false;       // descriptors 1 and 2 into strings instead of the host's
    std::optional<std::string> input;  // descriptor 0 from this string instead of the host's
    // A controlled time-stamp counter: the first RDTSC of the image reads this
    // value and each later one a value 1 higher (unset: the emulator's own).
    std::optional<uint64_t> tsc;
    bool skip_sleep = false;  // the sleeping call returns at once instead of waiting
    std::string root;         // host directory seen as "/" (empty: the current one)
    // The engine of every process of the run (see engine_factory.hpp).
    EngineKind engine = EngineKind::Unicorn;
    // Guest memory of all the processes of the run together, in bytes (0: no
    // limit beyond each process's own); the first process makes the budget
    // and its children share it.
    uint64_t memory_limit = 0;
    std::shared_ptr<MemoryBudget> memory_budget;
    // Called when a process other than the first ends on a fault or a
    // limit (the first's end is left to whoever runs it).
    std::function<void(Machine&, const RunResult&)> on_child_stop;
    // The engine can be stopped by a debugger (see debugger.hpp); processes
    // that a process spawns are made without.
    bool debugging = false;
    // Called when a process faults, its registers and memory as at the fault.
    std::function<void(Machine&, const std::string& message)> on_fault;
    // Set from outside (a signal to nuvemu): every run and wait ends as at
    // its deadline, as "interrupted".
    const volatile std::sig_atomic_t* interrupted = nullptr;
    // Services of whoever supervises the run (null: none).
    TemporaryKeeper* temporaries = nullptr;
    RunRecord* run_record = nullptr;
};

// An argument of call(): one 32-bit word, or a 64-bit value passed as two words.
struct Arg {
    Arg(uint32_t w) : lo(w) {}                        // NOLINT: implicit on purpose
    Arg(int32_t w) : lo(static_cast<uint32_t>(w)) {}  // NOLINT
    static Arg u64(uint64_t v) {
        Arg a(static_cast<uint32_t>(v));
        a.hi = static_cast<uint32_t>(v >> 32);
        a.wide = true;
        return a;
    }
    uint32_t lo = 0, hi = 0;
    bool wide = false;
};

class Machine final : public CallContext, private TrapSink {
  public:
    // Fixed places in the guest's address space.
    static constexpr uint32_t kStackTop = Layout::kStackTop;
    static constexpr uint32_t kStackSize = Layout::kStackSize;
    static constexpr uint32_t kScratchBase = Layout::kScratchBase;
    static constexpr uint32_t kScratchSize = Layout::kScratchSize;
    static constexpr uint32_t kReturnAddress = Layout::kReturnAddress;
    static constexpr uint32_t kMaxArgBytes = NUV_ARG_BYTES_MAX;
    // Each CPU emulator reserves about 1 GiB of host address space for
    // translated code, so the machines alive at once are bounded.
    static constexpr int kMaxLiveMachines = 32;

    // Loads an image as the first process of a kernel of its own, or says
    // why it cannot.
    static Result<std::unique_ptr<Machine>> open(const std::string& path, const Options& opts);
    static Result<std::unique_ptr<Machine>> open(std::vector<uint8_t> bytes, const Options& opts);
    // The same for tests: nullptr and the one-line reason in err.
    static std::unique_ptr<Machine> load(const std::string& path, const Options& opts,
                                         std::string& err);
    static std::unique_ptr<Machine> load(std::vector<uint8_t> bytes, const Options& opts,
                                         std::string& err);
    // An image checked and planned for loading.
    struct Image {
        elf::File file;
        LoadPlan plan;
    };
    static Result<Image> check_image(std::vector<uint8_t> bytes);
    static Result<Image> check_image(elf::File file);
    // A machine running the image as the given process, with the reason as an
    // error kind when it cannot. It belongs to no kernel until the kernel
    // boots it (Kernel::boot) or spawns it (Kernel::spawn); load() does the
    // first.
    static Result<std::unique_ptr<Machine>> create(Image image, const Options& opts,
                                                   std::unique_ptr<Process> process);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Runs the image from its entry with the given argument vector.
    RunResult run(const std::vector<std::string>& args);
    // Runs with an arbitrary count and vector entries (nullopt: a null entry).
    RunResult run_raw(int32_t argc, const std::vector<std::optional<std::string>>& entries);

    // Calls a guest function with the cdecl convention and returns when it does.
    RunResult call(uint32_t address, std::initializer_list<Arg> args);
    RunResult call(std::string_view symbol_name, std::initializer_list<Arg> args);
    RunResult call_words(uint32_t address, std::span<const uint32_t> words);

    std::optional<uint32_t> find_symbol(std::string_view name) const;
    uint32_t symbol(std::string_view name) const;  // throws std::out_of_range
    const elf::File& image() const { return image_; }
    // The image's name as reports give it: its path as the host or the
    // spawning guest named it.
    const std::string& name() const { return name_; }
    void set_name(std::string name) { name_ = std::move(name); }

    // Results of the last call.
    uint32_t eax() const;
    uint64_t edx_eax() const;
    long double st0() const;  // the x87 top of stack
    std::array<uint8_t, 10> st0_bytes() const;

    // Guest memory; false when the range is not mapped.
    bool read(uint32_t address, void* out, size_t n) const;
    bool write(uint32_t address, const void* data, size_t n);
    uint32_t u32(uint32_t address) const;  // throws when unmapped
    void set_u32(uint32_t address, uint32_t value);
    std::string read_string(uint32_t address, size_t max = 1u << 20) const;
    std::vector<uint8_t> read_bytes(uint32_t address, size_t n) const;

    // Whether [address, address + n) is mapped with read (and write) access.
    bool accessible(uint32_t address, uint64_t n, bool for_write) const;

    // Kernel side.
    void set_handler(uint32_t nr, Handler h);
    void set_handler(std::string_view name, Handler h);
    const SyscallDef* syscall(uint32_t nr) const;
    const std::vector<TrapRecord>& traps() const { return traps_; }
    void clear_traps() { traps_.clear(); }
    void exit_process(int32_t status);  // ends the current run with status
    bool exited() const { return exited_; }

    // The process this machine runs: descriptors, file system, run state.
    Process& process() override { return *process_; }
    const Process& process() const { return *process_; }
    std::shared_ptr<OpenFile> file(int32_t fd) const { return process_->file(fd); }
    static constexpr int kMaxFiles = Process::kMaxFiles;
    std::string& output() { return process_->output(); }              // captured descriptor 1
    std::string& error_output() { return process_->error_output(); }  // captured descriptor 2
    Sandbox& sandbox() { return process_->sandbox(); }
    const Sandbox& sandbox() const { return process_->sandbox(); }

    // Watches; set before the first run or call.
    void watch_exec(uint32_t address);
    uint64_t exec_count(uint32_t address) const;
    void watch_argument_vector();  // count reads of the argument vector's entries
    uint64_t argument_vector_reads() const;

    uint64_t instructions() const { return engine_->instructions(); }
    Engine& engine() { return *engine_; }
    GuestMemory& memory() override { return *memory_; }
    const GuestMemory& memory() const { return *memory_; }
    const Options& options() const { return opts_; }

    // Processes. A machine made by load() is the first process (pid 1) of a
    // kernel of its own; the processes it spawns belong to that kernel and run
    // while it waits for them (see kernel.hpp).
    Kernel& kernel() { return *kernel_; }
    int32_t pid() const { return process_->pid(); }
    // What the call's handlers use (see CallContext).
    bool resuming() const override { return resuming_; }
    std::optional<Outcome::Clock::time_point> wake_time() const override { return wake_; }
    bool skip_sleep() const override { return opts_.skip_sleep; }
    int32_t spawn(const std::string& path, const std::vector<std::string>& args,
                  const Stdio& how) override;
    Outcome waitpid(int32_t pid, uint32_t status_address, int32_t options) override;
    int32_t stream_begin(std::string absolute_path) override;
    int32_t stream_write(int32_t stream, uint32_t address, uint32_t length) override;
    int32_t stream_end(int32_t stream) override;
    std::shared_ptr<PipeBuffer> named_pipe(uint64_t device, uint64_t inode) override;

    // Anonymous mappings, page-aligned, in [kMapBase, kMapEnd); bounded in
    // number and total size. map_anonymous gives 0 when it refuses.
    static constexpr uint32_t kMapBase = NUV_MAP_BASE;
    static constexpr uint32_t kMapEnd = NUV_MAP_END;
    static constexpr size_t kMaxMappings = NUV_MAP_COUNT_MAX;
    static constexpr uint32_t kMaxMappedBytes = NUV_MAP_BYTES_MAX;
    uint32_t map_anonymous(uint32_t length, uint32_t prot);
    bool unmap_anonymous(uint32_t address, uint32_t length);
    size_t mapping_count() const { return memory_->mapping_count(); }

    // For the kernel that runs this machine as one of its processes: puts it
    // in kernel k, with the call table of parent when there is one (replaced
    // handlers reach the children too).
    void attach(Kernel& k, const Machine* parent);
    // Sets up the stack and registers to run the image from its entry.
    bool prepare_start(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                       std::string& err);
    // One stretch of running; blocked or yielded when a call stopped it for
    // the kernel.
    struct Step {
        RunResult result;
        bool blocked = false, yielded = false;
    };
    using Deadline = std::chrono::steady_clock::time_point;
    Step step(Deadline deadline);
    bool waiting() const { return process_->state() != RunState::Runnable; }
    bool retry_pending();  // true when the pending call has completed
    void fail_pending(int32_t result);
    // Lets a guest whose engine runs it alongside the host go on now, from
    // its entry or a completed call; its next step() then only waits for it.
    void release(Deadline deadline);
    // A debugger that stops this process (its engine made with
    // Options::debugging); set before the first run.
    void set_debugger(Debugger* d) { debugger_ = d; }

  private:
    Machine(elf::File image, LoadPlan plan, const Options& opts, std::unique_ptr<Process> process);
    static Result<std::unique_ptr<Machine>> open(Result<Image> image, const Options& opts);
    void set_pending(std::optional<SyscallArgs> a);
    uint32_t build_stack(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                         uint32_t& vector_addr, bool& ok);
    RunResult emulate(uint32_t begin);
    // Serves the call at a trap; true when the guest goes on at once.
    bool serve(uint32_t eip) override;
    int32_t dispatch(const SyscallArgs& a, bool resuming);
    void finish_call(const SyscallArgs& a, int32_t result, uint32_t eip);
    void trace_call(const SyscallDef* def, const SyscallArgs& a, int32_t result);

    struct LiveCount {
        LiveCount();
        ~LiveCount();
        bool over = false;
    };
    LiveCount live_;  // first, so it is counted as long as the engine lives
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<GuestMemory> memory_;
    elf::File image_;
    LoadPlan plan_;
    Options opts_;
    std::map<uint32_t, SyscallDef> calls_;
    std::vector<TrapRecord> traps_;
    std::unique_ptr<Process> process_;
    bool started_ = false;  // watches can no longer be set
    bool exited_ = false;
    int32_t status_ = 0;
    bool watch_argv_ = false;
    std::unique_ptr<Kernel> own_kernel_;  // the first process's kernel
    Kernel* kernel_ = nullptr;
    bool blocked_ = false, yield_ = false, resuming_ = false;
    std::optional<std::chrono::steady_clock::time_point> wake_;
    std::optional<SyscallArgs> pending_;
    uint32_t pending_eip_ = 0;
    Step step_;                            // the outcome of the current step()
    Deadline deadline_ = Deadline::max();  // the current step()'s
    std::vector<int> others_;              // other processes' event descriptors
    bool served_ = false;                  // the engine's last trap was served inside its run
    uint32_t resume_at_ = 0;
    uint32_t last_nr_ = 0;
    std::string name_;
    Debugger* debugger_ = nullptr;
    bool debug_began_ = false;  // the debugger has seen the start
    bool debug_pause_ = false;  // the last call stopped the run for the debugger
    // Hands a stop to the debugger; false when the process ends there (the
    // step's result says why).
    bool debug_stop(const DebugEvent& e, RunLimits& limits);
};

const char* stop_name(Stop s);

}  // namespace nuv
