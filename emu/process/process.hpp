// One guest process as the kernel sees it: its id, its descriptor table, its
// file system (the sandbox root, held open and handed on as an open directory,
// and the current directory in it), whether it can run, and the descriptors
// its next spawn hands to the child as 0, 1 and 2.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nuvos/kernel.h>

#include "files.hpp"
#include "result.hpp"
#include "sandbox.hpp"

namespace nuv {

enum class RunState {
    Runnable,  // runs when scheduled
    Waiting,   // stopped at a call that cannot complete yet
    Asleep,    // stopped at a call that completes at a set time
};

class Process {
  public:
    static constexpr int kMaxFiles = NUV_OPEN_MAX;

    // How a spawn hands descriptors to the child: the caller's descriptors
    // that become the child's 0, 1 and 2 (negative: the caller's own 0, 1, 2),
    // and whether every other open descriptor is handed on too.
    struct Stdio {
        std::array<int32_t, 3> fds{-1, -1, -1};
        bool inherit_all = false;
    };

    // The first process: pid 1, its root opened from host_root (empty: the
    // current directory), standard input from input (unset: the host's) and
    // output into output()/error_output() when capture is set; what the run
    // may add under the root is budget's (none: no limit), its children's too.
    static Result<std::unique_ptr<Process>> first(
        const std::string& host_root, const std::optional<std::string>& input, bool capture,
        const volatile std::sig_atomic_t* interrupted = nullptr, TemporaryKeeper* keeper = nullptr,
        std::shared_ptr<DiskBudget> budget = nullptr);
    // A child of parent: the same open root, the parent's current directory
    // (the root, should that be gone) and the given descriptors.
    static Result<std::unique_ptr<Process>> child(int32_t pid, const Process& parent,
                                                  std::vector<std::shared_ptr<OpenFile>> files);

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int32_t pid() const { return pid_; }
    int32_t ppid() const { return ppid_; }

    // Descriptors.
    std::shared_ptr<OpenFile> file(int32_t fd) const;
    // Installs f at the lowest free descriptor (at < 0) or at `at`; the
    // descriptor or a negated error code.
    int32_t install_file(std::shared_ptr<OpenFile> f, int32_t at = -1);
    bool close_file(int32_t fd);
    const std::vector<std::shared_ptr<OpenFile>>& files() const { return files_; }
    // Changes whenever a descriptor is installed or closed.
    uint32_t files_changed() const { return files_changed_; }
    Stdio& stdio() { return stdio_; }
    // Output captured from descriptors 1 and 2 of the first process.
    std::string& output() { return out_; }
    std::string& error_output() { return err_; }

    // The sandbox root and the current directory.
    Sandbox& sandbox() { return *sandbox_; }
    const Sandbox& sandbox() const { return *sandbox_; }

    RunState state() const { return state_; }
    void set_state(RunState s) { state_ = s; }

  private:
    Process(int32_t pid, int32_t ppid, std::unique_ptr<Sandbox> sandbox);

    int32_t pid_, ppid_;
    std::unique_ptr<Sandbox> sandbox_;
    std::vector<std::shared_ptr<OpenFile>> files_;
    Stdio stdio_;
    uint32_t files_changed_ = 1;
    std::string out_, err_;
    RunState state_ = RunState::Runnable;
};

}  // namespace nuv
