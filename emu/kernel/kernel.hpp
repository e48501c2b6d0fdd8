// The kernel of one emulated system: the process table (the first process,
// which the host loaded, and the processes it spawns, each a task of its own
// with its own address space), the scheduler, and the run loop that serves
// every process's calls.
//
// The kernel runs in the host's thread. It runs the first process when the
// host asks it to (run, call); the others run while that one waits (a call
// that blocks, or one that yields). Engines whose guests are processes of
// their own also run guests alongside the one being served (see
// release_ready), and a guest that needs the kernel while another runs makes
// that one give way. A process whose call cannot complete (reading an empty
// pipe, waiting for a child, sleeping) stops at the trap and the call is made
// again once others have run. When no process can run and none is sleeping,
// the youngest blocked call fails with -NUV_EDEADLK, so the guest can never
// hang the host by waiting on itself.
//
// An engine only runs its guest until something happens and says what
// (Engine::run); a handler only says what it made of a call (Outcome); the
// kernel decides what follows.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "constants.hpp"
#include "debugger.hpp"
#include "pipe.hpp"
#include "task.hpp"

namespace nuv {

class Kernel {
  public:
    // Live guests at once, the first included.
    static constexpr int kMaxProcesses = NUV_PROCESS_MAX;
    // Processes live or ended but not yet waited for.
    static constexpr size_t kMaxEntries = NUV_PROCESS_ENTRIES;
    static constexpr int32_t kMaxSpawnArgs = NUV_SPAWN_ARGS_MAX;

    using Stdio = Process::Stdio;
    using Deadline = std::chrono::steady_clock::time_point;

    // Reads the image of a program from the path a guest gave; 0 or a negated
    // Errno. The default reads the path inside the caller's sandbox root.
    using ImageResolver =
        std::function<int32_t(Task& caller, const std::string& path, std::vector<uint8_t>& image)>;
    // The largest image a spawn reads.
    static constexpr uint64_t kMaxImageBytes = 64u << 20;
    // Reads a host file as an image: -NUV_ENOENT when missing, -NUV_ENOEXEC when it
    // is not a regular file or is too large.
    static int32_t read_image(const std::string& host_path, std::vector<uint8_t>& image);
    // Reads a guest path inside the caller's sandbox root as an image.
    static int32_t read_sandbox_image(Task& caller, const std::string& path,
                                      std::vector<uint8_t>& image);

    // A kernel whose first process (pid 1) runs the image, with the table
    // of calls every first process starts from; or why it cannot be.
    static Result<std::unique_ptr<Kernel>> boot(const std::string& path, const Options& opts);
    static Result<std::unique_ptr<Kernel>> boot(Result<Task::Image> image, const Options& opts);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    Task& first() { return *first_; }
    // Every live process's last profile sample (Options::profile): what each
    // ran since its last, where it stands.
    void finish_profile();

    // Runs the first process from its entry with the given argument count
    // and vector (nullopt: a null entry), until it ends; the processes it
    // started run while it waits.
    RunResult run(int32_t argc, const std::vector<std::optional<std::string>>& entries);
    // Calls a function of the first process (cdecl, the words as its
    // arguments) and returns when it does.
    RunResult call(uint32_t address, std::span<const uint32_t> words);

    void set_image_resolver(ImageResolver r) { resolver_ = std::move(r); }

    // The settings fd_set_inherit and fd_set_stdio change, per process.
    Stdio& stdio(Task& t);

    // Starts a program as a child of parent; its pid or a negated error code.
    int32_t spawn(Task& parent, const std::string& path, const std::vector<std::string>& args,
                  const Stdio& how);
    // Collects an ended child (pid, or -1 for any); blocks the caller while
    // the child runs unless options has bit 0 (then 0).
    Outcome waitpid(Task& caller, int32_t pid, uint32_t status_address, int32_t options);

    // Files written in pieces: the bytes collect here and the file appears
    // whole, replacing any old one, at the end. A stream belongs to the
    // process that began it and goes when that process ends.
    static constexpr size_t kMaxStreams = NUV_STREAM_MAX;  // open at once, all processes
    static constexpr uint64_t kMaxStreamBytes = NUV_STREAM_BYTES_MAX;  // held at once, all streams
    int32_t stream_begin(Task& t, std::string absolute_path);
    int32_t stream_write(Task& t, int32_t stream, uint32_t address, uint32_t length);
    int32_t stream_end(Task& t, int32_t stream);
    size_t open_streams() const { return streams_.size(); }

    // The buffer of a named pipe, shared by everyone who opens it.
    std::shared_ptr<PipeBuffer> named_pipe(uint64_t device, uint64_t inode);

    int live_processes() const;
    // Whether a second process was ever started (the trace then names each one).
    bool spawned_any() const { return next_pid_ > 2; }
    size_t entries() const { return procs_.size(); }
    // The task of a live process (nullptr when it has ended or never was).
    Task* process(int32_t pid) const;
    // The pids of the live processes, oldest first.
    std::vector<int32_t> live_pids() const;

    // One stretch of running a process: until it ends, or stops at a call
    // for the scheduler (blocked or yielded).
    struct Step {
        RunResult result;
        bool blocked = false, yielded = false;
    };
    // A stretch that reaches `slice` before the run's deadline ends there as
    // if the guest had yielded: it goes on at its next step. So does one of
    // an engine that runs alongside when `attention` becomes readable; such a
    // guest is not stopped for it, and goes on running meanwhile.
    Step step(Task& t, Deadline deadline, Deadline slice = Deadline::max(), int attention = -1);

  private:
    class Frame;
    Kernel(std::unique_ptr<EngineFactory> engines, std::unique_ptr<Task> first);

    // The run loop (run_loop.cpp).
    RunResult emulate(Task& t, uint32_t begin);
    // Serves the call at a trap; true when the guest goes on at once.
    bool serve(Task& t, uint32_t eip, Step& step, Deadline deadline);
    int32_t dispatch(Task& t, const SyscallArgs& a, bool resuming);
    using Clock = std::chrono::steady_clock;
    // since: when the guest trapped.
    void finish_call(Task& t, const SyscallArgs& a, int32_t result, uint32_t eip,
                     Clock::time_point since);
    // took: the call's time, shown at the line's end (null: not shown).
    void trace_call(Task& t, const SyscallDef* def, const SyscallArgs& a, int32_t result,
                    const std::chrono::nanoseconds* took);
    bool retry_pending(Task& t);  // true when the pending call has completed
    void fail_pending(Task& t, int32_t result);
    // Lets a guest whose engine runs it alongside the host go on now, from
    // its entry or a completed call; its next step() then only waits for it.
    void release(Task& t, Deadline deadline);
    // Hands a stop to the task's debugger; false when the process ends there
    // (step's result says why).
    bool debug_stop(Task& t, const DebugEvent& e, RunLimits& limits, Step& step, Deadline deadline);
    // Stops a guest that runs alongside (concurrent()) where it stands, for
    // its debugger: a Paused event, or whatever the guest came to first.
    EngineEvent pause_for_debugger(Task& t, const RunLimits& limits);

    // The scheduler (scheduler.cpp).
    // Lets every other process that can run alongside the host go on now:
    // a blocked call that the caller's call let complete is answered at
    // once, and a runnable one (just spawned, or yielded) is resumed. Their
    // next calls wait until the scheduler comes to them.
    void release_ready(Task& self, Deadline deadline);
    // The event descriptors of every other live process's engine (see
    // Engine::event_fd): a process running alongside stops when one is ready.
    void event_fds(Task& self, std::vector<int>& out) const;
    // What the task's guest may do in its own process (in_process.hpp):
    // told to its engine before it goes on, once anything it depends on
    // changed; and the disk budget charged for what it did there, each time
    // the kernel gets control back from it.
    static void grant_in_process(Task& t);
    static void settle_in_process(Task& t);
    // Runs the other processes: one round when the caller yielded, otherwise
    // until its blocked call completes. False when the deadline passed.
    bool schedule(Task& self, bool wait, Deadline deadline);
    // Waits a moment, at most until `until`, for a sleeper to wake; a
    // debugger's client that asks meanwhile finds self stopped at its call.
    // False when the run is to end (the deadline passed in the debugger).
    bool doze(Task& self, Clock::time_point until, Deadline deadline);
    // Runs each other live process once, each for no longer than `slice`
    // (zero: as long as it goes on; one that runs alongside is not stopped
    // for it, but watched for self's debugger instead); true when any made
    // progress.
    bool run_round(Task& self, Deadline deadline, Clock::duration slice, bool& timed_out);

    // A process live, or ended and not yet waited for.
    struct Entry {
        int32_t ppid = 0;            // 0 once nobody can wait for it
        std::unique_ptr<Task> task;  // null once ended
        int32_t status = 0;
    };
    void end(int32_t pid, int32_t status);
    Entry* find(Task& t);

    struct Stream {
        int32_t owner = 0;
        std::string path;
        std::vector<uint8_t> bytes;
    };
    void drop_streams(int32_t pid);

    std::unique_ptr<EngineFactory> engines_;
    Task* first_ = nullptr;
    std::map<int32_t, Entry> procs_;
    int32_t next_pid_ = 2;
    ImageResolver resolver_;
    std::map<int32_t, Stream> streams_;
    int32_t next_stream_ = 1;
    uint64_t stream_bytes_ = 0;
    std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<PipeBuffer>> named_pipes_;
};

}  // namespace nuv
