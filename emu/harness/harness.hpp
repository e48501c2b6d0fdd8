// The host's handle on one guest program: load an image as the first process
// of a kernel of its own, run it or call its functions, and look at what they
// leave behind (registers, memory, output, the calls made). What tests, tools
// and benchmarks use; nuvemu's own runs go through it too.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.hpp"

namespace nuv {

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

class Harness {
  public:
    // Fixed places in the guest's address space.
    static constexpr uint32_t kStackTop = Layout::kStackTop;
    static constexpr uint32_t kStackSize = Layout::kStackSize;
    static constexpr uint32_t kScratchBase = Layout::kScratchBase;
    static constexpr uint32_t kScratchSize = Layout::kScratchSize;
    static constexpr uint32_t kReturnAddress = Layout::kReturnAddress;
    static constexpr uint32_t kMaxArgBytes = NUV_ARG_BYTES_MAX;
    static constexpr int kMaxLiveEmulated = Task::kMaxLiveEmulated;
    // Anonymous mappings, page-aligned, in [kMapBase, kMapEnd); bounded in
    // number and total size.
    static constexpr uint32_t kMapBase = NUV_MAP_BASE;
    static constexpr uint32_t kMapEnd = NUV_MAP_END;
    static constexpr size_t kMaxMappings = NUV_MAP_COUNT_MAX;
    static constexpr uint32_t kMaxMappedBytes = NUV_MAP_BYTES_MAX;
    static constexpr int kMaxFiles = Process::kMaxFiles;

    // Loads an image, or says why it cannot.
    static Result<std::unique_ptr<Harness>> open(const std::string& path, const Options& opts);
    static Result<std::unique_ptr<Harness>> open(std::vector<uint8_t> bytes, const Options& opts);
    // The same for tests: nullptr and the one-line reason in err.
    static std::unique_ptr<Harness> load(const std::string& path, const Options& opts,
                                         std::string& err);
    static std::unique_ptr<Harness> load(std::vector<uint8_t> bytes, const Options& opts,
                                         std::string& err);

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
    const elf::File& image() const { return task().image(); }

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
    uint32_t map_anonymous(uint32_t length, uint32_t prot);
    bool unmap_anonymous(uint32_t address, uint32_t length);
    size_t mapping_count() const { return task().memory().mapping_count(); }

    // The calls: replace a handler (for this process and those it spawns
    // later), and the traps recorded with Options::record_traps.
    void set_handler(uint32_t nr, Handler h);
    void set_handler(std::string_view name, Handler h);
    const SyscallDef* syscall(uint32_t nr) const { return task().syscall(nr); }
    const std::vector<TrapRecord>& traps() const { return task().traps(); }
    void clear_traps() { task().traps().clear(); }

    // The first process: descriptors, file system, output captured.
    Process& process() { return task().process(); }
    const Process& process() const { return task().process(); }
    std::shared_ptr<OpenFile> file(int32_t fd) const { return process().file(fd); }
    int32_t install_file(std::shared_ptr<OpenFile> f, int32_t at = -1) {
        return process().install_file(std::move(f), at);
    }
    bool close_file(int32_t fd) { return process().close_file(fd); }
    std::string& output() { return process().output(); }              // captured descriptor 1
    std::string& error_output() { return process().error_output(); }  // captured descriptor 2
    Sandbox& sandbox() { return process().sandbox(); }
    // What the run may still add under the root (Options::disk_limit).
    DiskBudget& disk_budget() { return sandbox().budget(); }
    int32_t pid() const { return task().pid(); }

    // Watches; set before the first run or call.
    void watch_exec(uint32_t address);
    uint64_t exec_count(uint32_t address) const;
    void watch_argument_vector();  // count reads of the argument vector's entries
    uint64_t argument_vector_reads() const;
    uint64_t instructions() const { return task().engine().instructions(); }

    Engine& engine() { return task().engine(); }
    GuestMemory& memory() { return task().memory(); }
    const GuestMemory& memory() const { return task().memory(); }
    const Options& options() const { return task().options(); }
    Kernel& kernel() { return *kernel_; }
    // The first process as the kernel runs it.
    Task& task() const { return kernel_->first(); }

  private:
    explicit Harness(std::unique_ptr<Kernel> k) : kernel_(std::move(k)) {}
    static Result<std::unique_ptr<Harness>> made(Result<std::unique_ptr<Kernel>> k);

    std::unique_ptr<Kernel> kernel_;
};

}  // namespace nuv
