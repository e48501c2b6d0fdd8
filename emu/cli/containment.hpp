// Containment: nuvemu runs its engines in a child process that it watches,
// so that whatever a guest makes an engine do, nuvemu itself ends with a
// one-line message and one of its documented statuses, never a signal or a
// core dump.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "constants.hpp"
#include "engine.hpp"
#include "sandbox.hpp"

namespace nuv::containment {

struct Limits {
    // Resident memory of the child, all guest processes together (0: none).
    uint64_t max_resident = uint64_t{1} << 30;
    // When the child is ended whatever it is doing: the run's own time limit
    // plus a grace in which the run reports it itself (max: never). What
    // holds a run past it (a host descriptor that blocks, say) ends with it.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Runs `body` in a child process and returns the status it exits with. When
// the child is killed by a signal or passes the memory limit or the deadline, prints one line
// on standard error, beginning with `who`, naming the signal or the limit and,
// when known, the guest address and instruction bytes being run, and returns
// kExitEngine or kExitLimit; a temporary the child held is removed in every
// case. SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to
// nuvemu are passed on to the child; a child ended by one of them or by
// SIGPIPE ends nuvemu with the same signal, as for any command. When the
// child cannot be made, `body` runs in this process.
int supervise(const std::string& who, const std::function<int()>& body, const Limits& limits);

// A temporary file that the engine's process names for a moment only: the
// new content of a file between taking a name beside its target and being
// renamed over it. While one is held, a supervisor whose engine process dies
// removes it, if the name still belongs to that file (file_ino 0: any regular
// file, for a name held before the file is made). Holding a second releases
// the first; without a supervisor both calls do nothing.
void hold_temporary(int dir, const std::string& name, uint64_t file_ino);
void release_temporary();

// The two records above as the services the lower layers are given.
TemporaryKeeper& temporaries();
RunRecord& run_record();

// Asks the engine running guest code in this process, if any, to return
// from its run soon (Engine::interrupt). Async-signal-safe.
void interrupt_running_engine();

// Marks the engine that runs guest code in this process for as long as it
// lives, so that a crash inside the engine can be placed in the guest.
class RunningEngine {
  public:
    explicit RunningEngine(Engine* e);
    ~RunningEngine();
    RunningEngine(const RunningEngine&) = delete;
    RunningEngine& operator=(const RunningEngine&) = delete;

  private:
    Engine* previous_;
};

}  // namespace nuv::containment
