// One guest process as the kernel runs it: the image it runs, the engine and
// memory under it, its descriptors and file system (Process), its table of
// calls, and the call it stands at when that call could not complete yet.
//
// A task does nothing by itself: the kernel runs it (kernel.hpp).
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nuvos/kernel.h>

#include "call_tally.hpp"
#include "calls.hpp"
#include "elf32.hpp"
#include "engine.hpp"
#include "engine_factory.hpp"
#include "guest_memory.hpp"
#include "in_process.hpp"
#include "loader.hpp"
#include "process.hpp"
#include "profile.hpp"
#include "result.hpp"
#include "sandbox.hpp"

namespace nuv {

class Task;
class Kernel;
class Debugger;

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
    int32_t status = 0;  // exit status, when Exited
    // When Fault: the guest's fault (report::words() says it), or kind None
    // and a message when the engine itself failed.
    GuestFault fault;
    std::string message;  // what went wrong, when Limit, Timeout or a failed engine
    bool ok() const { return stop == Stop::Exited || stop == Stop::Returned; }
};

const char* stop_name(Stop s);

struct Options {
    bool record_traps = false;        // keep every trap for traps()
    bool count_instructions = false;  // count executed instructions
    uint64_t max_instructions = 0;    // stop after this many (0: no limit)
    uint64_t timeout_us = 0;          // stop after this much time per run or call (0: none)
    std::FILE* trace = nullptr;       // one line per call, strace-style
    bool call_times = false;          // each trace line ends with the call's time
    // Every call of every process of the run counted here (null: none).
    std::shared_ptr<CallTally> tally;
    // Every process of the run sampled into this profile (null: none).
    std::shared_ptr<Profile> profile;
    bool capture_output = false;       // descriptors 1 and 2 into strings instead of the host's
    std::optional<std::string> input;  // descriptor 0 from this string instead of the host's
    // A controlled time-stamp counter: the first RDTSC of the image reads this
    // value and each later one a value 1 higher (unset: the emulator's own).
    std::optional<uint64_t> tsc;
    bool skip_sleep = false;  // the sleeping call returns at once instead of waiting
    // The native engine may rewrite a guest's int 0x80 sites so that its calls
    // reach the engine without a signal (the guest can see the new bytes).
    bool rewrite_sites = true;
    std::string root;  // host directory seen as "/" (empty: the current one)
    // The engine of every process of the run (see engine_factory.hpp).
    EngineKind engine = EngineKind::Unicorn;
    // Guest memory of all the processes of the run together, in bytes (0: no
    // limit beyond each process's own); the first process makes the budget
    // and its children share it.
    uint64_t memory_limit = 0;
    std::shared_ptr<MemoryBudget> memory_budget;
    // What all the processes of the run together may add to the files under
    // the root, in bytes (see disk_budget.hpp; kUnlimited: no limit).
    uint64_t disk_limit = DiskBudget::kUnlimited;
    // Called when a process other than the first ends on a fault or a
    // limit (the first's end is left to whoever runs it).
    std::function<void(const Kernel&, Task&, const RunResult&)> on_child_stop;
    // The engine can be stopped by a debugger (see debugger.hpp); processes
    // that a process spawns are made without.
    bool debugging = false;
    // Called when a process faults, its registers and memory as at the fault.
    std::function<void(Task&, const GuestFault&)> on_fault;
    // Called when a process ends, whatever ended it (its exit, a fault, a
    // limit, or the end of the run for those still live), its memory as at
    // its end.
    std::function<void(Task&)> on_end;
    // Set from outside (a signal to nuvemu): every run and wait ends as at
    // its deadline, as "interrupted".
    const volatile std::sig_atomic_t* interrupted = nullptr;
    // Services of whoever supervises the run (null: none).
    TemporaryKeeper* temporaries = nullptr;
    RunRecord* run_record = nullptr;

    bool cut_short() const { return interrupted != nullptr && *interrupted != 0; }
};

class Task {
  public:
    // Fixed places in the guest's address space.
    static constexpr uint32_t kStackTop = Layout::kStackTop;
    static constexpr uint32_t kReturnAddress = Layout::kReturnAddress;
    static constexpr uint32_t kMaxArgBytes = NUV_ARG_BYTES_MAX;
    // Each CPU emulator reserves about 1 GiB of host address space for
    // translated code, so the emulated tasks alive at once are bounded.
    static constexpr int kMaxLiveEmulated = 32;

    // An image checked and planned for loading.
    struct Image {
        elf::File file;
        LoadPlan plan;
    };
    static Result<Image> check_image(std::vector<uint8_t> bytes);
    static Result<Image> check_image(elf::File file);
    // A task running the image as the given process, with the call table
    // calls and an engine from engines, or the reason as an error kind when
    // it cannot.
    static Result<std::unique_ptr<Task>> create(Image image, const Options& opts,
                                                std::unique_ptr<Process> process,
                                                std::map<uint32_t, SyscallDef> calls,
                                                EngineFactory& engines);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Sets up the stack and registers to run the image from its entry.
    Status prepare_start(int32_t argc, const std::vector<std::optional<std::string>>& entries);

    const elf::File& image() const { return image_; }
    const LoadPlan& plan() const { return plan_; }
    // The image's name as reports give it: its path as the host or the
    // spawning guest named it.
    const std::string& name() const { return name_; }
    void set_name(std::string name) { name_ = std::move(name); }
    std::optional<uint32_t> find_symbol(std::string_view name) const;

    Engine& engine() { return *engine_; }
    const Engine& engine() const { return *engine_; }
    GuestMemory& memory() { return *memory_; }
    const GuestMemory& memory() const { return *memory_; }
    Process& process() { return *process_; }
    const Process& process() const { return *process_; }
    int32_t pid() const { return process_->pid(); }
    const Options& options() const { return opts_; }

    // The table of calls; children start from their parent's.
    std::map<uint32_t, SyscallDef>& calls() { return calls_; }
    const std::map<uint32_t, SyscallDef>& calls() const { return calls_; }
    const SyscallDef* syscall(uint32_t nr) const;
    std::vector<TrapRecord>& traps() { return traps_; }

    // Watches of the argument vector's entries: set before the first run.
    void watch_argument_vector() { watch_argv_ = true; }
    bool started() const { return loop_.started; }

    // The call the task stands at while it cannot complete, and its state.
    struct Pending {
        SyscallArgs args;
        uint32_t eip = 0;
        std::chrono::steady_clock::time_point since{};  // the trap
    };
    const std::optional<Pending>& pending() const { return loop_.pending; }
    void set_pending(std::optional<Pending> p);
    bool waiting() const { return process_->state() != RunState::Runnable; }
    const std::optional<std::chrono::steady_clock::time_point>& wake_time() const {
        return loop_.wake;
    }

    // A debugger that stops this task (its engine made with
    // Options::debugging); set before the first run.
    void set_debugger(Debugger* d) { debugger_ = d; }
    Debugger* debugger() const { return debugger_; }

    // What the kernel keeps for the task between and across its runs
    // (kernel.hpp); the task itself sets only its pending call and wake time
    // (set_pending).
    struct LoopState {
        bool started = false;  // watches can no longer be set
        bool exited = false;
        int32_t status = 0;
        bool blocked = false, yield = false, resuming = false;
        std::optional<std::chrono::steady_clock::time_point> wake;
        std::optional<Pending> pending;
        uint32_t last_nr = 0;
        std::vector<int> others;  // other processes' event descriptors
        bool released = false;    // running on its own since Kernel::release
        // What the engine was last told its guest may do in its own process,
        // and what decided it; the engine runs nothing there (in_process_off).
        InProcessGrant grant;
        struct GrantBasis {
            uint32_t files = 0, calls = 0;
            uint64_t nonblock = 0;
            bool operator==(const GrantBasis&) const = default;
        };
        GrantBasis grant_basis;
        bool granted = false, in_process_off = false;
        bool debug_began = false;  // the debugger has seen the start
        bool debug_pause = false;  // the last call stopped the run for the debugger
        bool debug_kill = false;   // the debugger ended it while it waited in a call
        bool debug_step = false;   // it asked for a step there: told once the call is done
        // Profiling (profile.hpp): the instruction count at the last sample,
        // and the running time since it, for engines sampled by time.
        uint64_t profiled = 0;
        std::chrono::nanoseconds profile_owed{0};
    };
    LoopState& loop() { return loop_; }
    const LoopState& loop() const { return loop_; }

  private:
    Task(Image image, const Options& opts, std::unique_ptr<Process> process);
    uint32_t build_stack(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                         uint32_t& vector_addr, bool& ok);

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
    std::string name_;
    Debugger* debugger_ = nullptr;

    bool watch_argv_ = false;
    LoopState loop_;
};

}  // namespace nuv
