// Test support: loading images into the emulator and calling guest code.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"
#include "scratch.hpp"

namespace nuvtest {

// Whether a test of the native engine must fail, rather than be skipped,
// where the engine cannot start: NUV_REQUIRE_NATIVE set to anything but ""
// or "0" (tests/vm/ runs the native tests in a virtual machine with it, where
// a skip would hide that they never ran).
bool native_required();

// Why the native engine with its default options cannot start on this host;
// nullopt when it can.
std::optional<std::string> native_unavailable();

// Ends the running test because the native engine cannot start (REASON, the
// engine's message): a skip, or a failure under native_required(). Like
// GTEST_SKIP and FAIL it returns from the function it is written in.
#define NUVTEST_NATIVE_UNAVAILABLE(reason)                                                        \
    do {                                                                                          \
        if (::nuvtest::native_required()) {                                                       \
            FAIL() << "the native engine cannot start (NUV_REQUIRE_NATIVE is set): " << (reason); \
        }                                                                                         \
        GTEST_SKIP() << (reason);                                                                 \
    } while (0)

// Ends the running test unless the native engine can start here.
// Skips a test that builds images with the kit where that cannot be done.
#define NUVTEST_NEED_KIT_COMPILER()                                                    \
    do {                                                                               \
        if (std::optional<std::string> why_ = ::nuvtest::kit_compiler_unavailable()) { \
            GTEST_SKIP() << *why_;                                                     \
        }                                                                              \
    } while (0)

#define NUVTEST_NEED_NATIVE_ENGINE()                                             \
    do {                                                                         \
        if (std::optional<std::string> why_ = ::nuvtest::native_unavailable()) { \
            NUVTEST_NATIVE_UNAVAILABLE(*why_);                                   \
        }                                                                        \
    } while (0)

// Guest memory as a replaced call handler sees it; a range that is not
// mapped fails the test.
inline std::vector<uint8_t> read_bytes(nuv::CallContext& c, uint32_t address, size_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_EQ(c.memory().read(address, v.data(), n), 0) << "guest range unmapped";
    return v;
}
inline uint32_t read_u32(nuv::CallContext& c, uint32_t address) {
    uint32_t v = 0;
    EXPECT_EQ(c.memory().read(address, &v, 4), 0) << "guest word unmapped";
    return v;
}

// Whether `got` is the fault `want` (every field both engines fill: kind,
// access, size, vector, address, eip), with both spelled out when not.
::testing::AssertionResult same_fault(const nuv::GuestFault& got, const nuv::GuestFault& want);
// A fault's fields and words, for failure messages.
std::string fault_fields(const nuv::GuestFault& f);
// What an engine's stop says: a fault's words, else its message.
std::string event_text(const nuv::EngineEvent& ev);

// Path of an image built into the build tree's image folder.
std::string image_path(std::string_view name);

// Options for tests: traps recorded, output captured, a time limit.
nuv::Options test_options();

// Loads an image or fails the test.
std::unique_ptr<nuv::Harness> load_image(std::string_view name, const nuv::Options& opts);

// The result of a host command run by run_command.
struct ToolRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a shell command with no standard input and collects its output.
ToolRun run_command(const std::string& command);

// Why the kit's compiler driver cannot build images here (a machine with
// nuvemu and the test programs but no build tools, such as the virtual
// machine of the native tests), or nothing when it can.
inline std::optional<std::string> kit_compiler_unavailable() {
    ToolRun r = run_command("test -x " NUV_BIN_DIR "/nuvos-cc && command -v gcc >/dev/null");
    if (r.status == 0) return std::nullopt;
    return std::string("the kit's compiler driver or the host compiler is not on this machine");
}

// Runs the nuvemu command with the given (shell-quoted) arguments.
ToolRun run_nuvemu(const std::string& args);

// A fresh directory for one test, removed with everything in it.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix = "nuv");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Whole-file helpers for host files; read_file gives "" for a missing file.
void write_file(const std::filesystem::path& p, const std::string& content);
std::string read_file(const std::filesystem::path& p);

// Collects the emulator's trace in memory: pass file() as Options::trace.
class TraceLog {
  public:
    TraceLog();
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;
    std::FILE* file() const { return file_; }
    std::string text() const;  // everything logged so far

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_ = nullptr;
};

// A fixture around a fresh machine with the whole library loaded.
class LibTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Options may be adjusted in a derived SetUp before calling LibTest::SetUp.
    nuv::Options opts_ = test_options();
    std::unique_ptr<nuv::Harness> m_;

    nuv::Harness& g() { return *m_; }
    // Calls a function and returns EAX; the call must return normally.
    uint32_t call(std::string_view fn, std::initializer_list<nuv::Arg> args);
    int32_t icall(std::string_view fn, std::initializer_list<nuv::Arg> args) {
        return static_cast<int32_t>(call(fn, args));
    }
    uint32_t str(std::string_view s) { return nuvtest::put_string(*m_, s); }
    uint32_t buf(size_t n, uint8_t fill = 0xAA);
    uint32_t sym(std::string_view name) { return m_->symbol(name); }
    // The trap numbers recorded since the last clear.
    std::vector<uint32_t> trap_numbers() const;
    // Makes call nr answer with the given results in turn (the last repeats).
    void script(uint32_t nr, std::vector<int32_t> results);
};

// The same with the guest's instructions counted (the emulator only).
class CountingLibTest : public LibTest {
  protected:
    void SetUp() override {
        opts_.count_instructions = true;
        LibTest::SetUp();
    }
    // Instructions executed by one call, which must return normally.
    uint64_t instructions_of(std::string_view fn, std::initializer_list<nuv::Arg> args);
};

}  // namespace nuvtest
