#include "guest.hpp"

#include "fault_report.hpp"
#include "native_engine.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <fstream>
#include <iterator>

namespace nuvtest {

bool native_required() {
    const char* v = std::getenv("NUV_REQUIRE_NATIVE");
    return v != nullptr && *v != '\0' && std::string_view(v) != "0";
}

std::string fault_fields(const nuv::GuestFault& f) {
    return "kind " + std::to_string(static_cast<int>(f.kind)) + " access " +
           std::to_string(static_cast<int>(f.access)) + " size " + std::to_string(f.size) +
           " vector " + std::to_string(f.vector) + " address " + nuv::hex(f.address) + " eip " +
           nuv::hex(f.eip) + " host signal " + std::to_string(f.host_signal) + "/" +
           std::to_string(f.host_code) + " (" + nuv::report::words(f) + ")";
}

std::string event_text(const nuv::EngineEvent& ev) {
    return ev.stop == nuv::EngineStop::Fault ? nuv::report::words(ev.fault) : ev.message;
}

::testing::AssertionResult same_fault(const nuv::GuestFault& got, const nuv::GuestFault& want) {
    if (got.same_as(want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got " << fault_fields(got) << "\n want " << fault_fields(want);
}

std::optional<std::string> native_unavailable() {
    nuv::Result<std::unique_ptr<nuv::NativeEngine>> started = nuv::NativeEngine::start({});
    if (started) return std::nullopt;
    return started.error().message;
}

std::string image_path(std::string_view name) {
    return std::string(NUV_IMAGE_DIR "/") + std::string(name);
}

nuv::Options test_options() {
    nuv::Options o;
    o.record_traps = true;
    o.capture_output = true;
    o.input = std::string();
    o.timeout_us = 20'000'000;
    return o;
}

std::unique_ptr<nuv::Harness> load_image(std::string_view name, const nuv::Options& opts) {
    std::string err;
    auto m = nuv::Harness::load(image_path(name), opts, err);
    EXPECT_NE(m, nullptr) << err;
    return m;
}

ScratchDir::ScratchDir(const std::string& prefix) {
    std::string tmpl = testing::TempDir() + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("cannot make " + tmpl);
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TraceLog::TraceLog() : file_(open_memstream(&buffer_, &size_)) {
    if (file_ == nullptr) throw std::runtime_error("cannot open a memory stream");
}

TraceLog::~TraceLog() {
    std::fclose(file_);
    std::free(buffer_);
}

std::string TraceLog::text() const {
    std::fflush(file_);
    return std::string(buffer_, size_);
}

ToolRun run_command(const std::string& command) {
    static int serial = 0;
    std::string err_file = testing::TempDir() + "stderr_" + std::to_string(getpid()) + "_" +
                           std::to_string(++serial) + ".txt";
    ToolRun r;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    // The shell starts with no signal blocked, as from a terminal: the native
    // engine keeps SIGCHLD blocked on the thread that waits for its guests,
    // and a shell that inherits that (busybox's) waits for its jobs forever.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::string line = command + " 2>" + err_file + " </dev/null";
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return r;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n > 0) {
            r.out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return r;
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream e(err_file);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    std::remove(err_file.c_str());
    return r;
}

ToolRun run_nuvemu(const std::string& args) {
    return run_command(NUV_BIN_DIR "/nuvemu " + args);
}

void LibTest::SetUp() {
    m_ = load_image("libtest", opts_);
    ASSERT_NE(m_, nullptr);
}

uint32_t LibTest::call(std::string_view fn, std::initializer_list<nuv::Arg> args) {
    nuv::RunResult r = m_->call(fn, args);
    EXPECT_EQ(r.stop, nuv::Stop::Returned)
        << fn << ": " << nuv::stop_name(r.stop) << " " << nuv::report::what(r);
    return m_->eax();
}

uint64_t CountingLibTest::instructions_of(std::string_view fn,
                                          std::initializer_list<nuv::Arg> args) {
    uint64_t before = m_->instructions();
    call(fn, args);
    return m_->instructions() - before;
}

uint32_t LibTest::buf(size_t n, uint8_t fill) {
    uint32_t a = nuvtest::alloc(*m_, n, 16);
    std::vector<uint8_t> bytes(n, fill);
    m_->write(a, bytes.data(), n);
    return a;
}

std::vector<uint32_t> LibTest::trap_numbers() const {
    std::vector<uint32_t> v;
    for (const auto& t : m_->traps()) v.push_back(t.args.nr);
    return v;
}

void LibTest::script(uint32_t nr, std::vector<int32_t> results) {
    auto next = std::make_shared<size_t>(0);
    m_->set_handler(nr, [results, next](nuv::CallContext&, const nuv::SyscallArgs&) {
        size_t i = std::min(*next, results.size() - 1);
        ++*next;
        return results[i];
    });
}

}  // namespace nuvtest
