// Calls a native guest makes in its own process: what the kernel grants
// (InProcessPolicy), and the limits that hold there whatever the guest does:
// the direct path's filter, the file size limit, the disk budget; and that a
// granted call answers as the kernel's own would.
#include <fcntl.h>
#include <linux/filter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "calls.hpp"
#include "direct_call.h"
#include "filter.h"
#include "guest.hpp"
#include "harness.hpp"
#include "in_process.hpp"
#include "native_engine.hpp"

namespace nuv {
namespace {

constexpr uint32_t kCode = 0x400000, kData = 0x600000, kStackTop = 0xC0000000;
constexpr uint32_t kLimit = 0x7FFFFFFF;
using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void mov(Bytes& b, int reg, uint32_t v) {  // mov reg, imm32 (eax 0, ecx 1, edx 2, ebx 3, ...)
    b.push_back(static_cast<uint8_t>(0xB8 + reg));
    put32(b, v);
}
void store_eax(Bytes& b, uint32_t at) {
    b.push_back(0xA3);
    put32(b, at);
}

// The direct path's filter, run as the host kernel runs it on one call.
uint32_t filter(uint32_t nr, uint32_t ip, std::array<uint32_t, 6> args) {
    constexpr uint32_t kGate = 0xE1000002, kWake = 0xE1000100, kSleep = 0xE1000200,
                       kIo = 0xE1006040, kEvent = 1, kDone = 0xE1001040;
    static const sock_filter prog[] =
        NUV_DIRECT_FILTER_PROGRAM(kGate, kWake, kSleep, kIo, kEvent, kDone, 7, 0x1000);
    uint32_t data[16] = {nr, NUV_AUDIT_ARCH_I386, ip, 0};
    for (int i = 0; i < 6; ++i) data[4 + 2 * i] = args[static_cast<size_t>(i)];
    uint32_t a = 0;
    for (size_t pc = 0; pc < sizeof prog / sizeof prog[0]; ++pc) {
        const sock_filter& f = prog[pc];
        switch (f.code) {
            case BPF_LD | BPF_W | BPF_ABS:
                a = data[f.k / 4];
                break;
            case BPF_JMP | BPF_JEQ | BPF_K:
                pc += a == f.k ? f.jt : f.jf;
                break;
            case BPF_JMP | BPF_JGE | BPF_K:
                pc += a >= f.k ? f.jt : f.jf;
                break;
            case BPF_RET | BPF_K:
                return f.k;
            default:
                ADD_FAILURE() << "instruction " << f.code;
                return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

// At Linux's return point for its fast entry, _llseek moves no position to
// 2^31 or beyond, and reads and writes reach only the installed descriptors.
TEST(DirectFilter, AtTheFastEntryOnlyCallsThatKeepToTheLimits) {
    constexpr uint32_t kIo = 0xE1006040, kAllow = NUV_SECCOMP_RET_ALLOW,
                       kTrap = NUV_SECCOMP_RET_TRAP;
    constexpr uint32_t kSet = 0, kCur = 1, kEnd = 2;
    struct Case {
        const char* name;
        uint32_t nr, ip;
        std::array<uint32_t, 6> args;  // fd, high, low, result, origin
        uint32_t want;
    };
    const Case cases[] = {
        {"read an installed descriptor", 3, kIo, {64, 0, 16}, kAllow},
        {"write the last installed descriptor", 4, kIo, {127, 0, 16}, kAllow},
        {"write below the slots", 4, kIo, {63, 0, 16}, kTrap},
        {"write above the slots", 4, kIo, {128, 0, 16}, kTrap},
        {"write elsewhere", 4, kIo + 2, {64, 0, 16}, kTrap},
        {"seek from the start below 2^31", 140, kIo, {64, 0, kLimit, 0, kSet}, kAllow},
        {"seek from the start to 0", 140, kIo, {64, 0, 0, 0, kSet}, kAllow},
        {"ask where it stands", 140, kIo, {64, 0, 0, 0, kCur}, kAllow},
        {"seek from the start to 2^31", 140, kIo, {64, 0, 0x80000000, 0, kSet}, kTrap},
        {"seek from the start past 2^32", 140, kIo, {64, 1, 0, 0, kSet}, kTrap},
        {"seek from the start, negative", 140, kIo, {64, ~0u, ~0u, 0, kSet}, kTrap},
        {"seek on from here", 140, kIo, {64, 0, 1, 0, kCur}, kTrap},
        {"seek back from here", 140, kIo, {64, ~0u, ~0u, 0, kCur}, kTrap},
        {"seek from the end", 140, kIo, {64, 0, 0, 0, kEnd}, kTrap},
        {"seek to data", 140, kIo, {64, 0, 0, 0, 3}, kTrap},
        {"seek below the slots", 140, kIo, {63, 0, 0, 0, kSet}, kTrap},
        {"seek above the slots", 140, kIo, {128, 0, 0, 0, kCur}, kTrap},
        {"seek elsewhere", 140, 0x400000, {64, 0, 0, 0, kSet}, kTrap},
        {"lseek", 19, kIo, {64, 0, 0}, kTrap},
        {"pwrite64", 181, kIo, {64, 0, 16, 0, 0}, kTrap},
        {"the engine's call with its key", 20, 0xE1000002, {0, 0, 0, 0, 7, 0x1000}, kAllow},
        {"the engine's call without",
         20,
         0xE1000002,
         {0, 0, 0, 0, 7, 0},
         NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_I386},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(filter(c.nr, c.ip, c.args), c.want) << c.name;
    }
}

// The size L that keeps regular files of the given sizes to the room
// between them: the sum of max(0, L - size) is at most the room, and one
// more byte would pass it (unless L is the position limit).
TEST(InProcessBudget, FileSizeLimitFillsTheRoomFromTheSmallestFileUp) {
    struct Case {
        std::vector<uint64_t> sizes;
        uint64_t room;
        uint32_t want;
    };
    const Case cases[] = {
        {{}, 0, kLimit},
        {{0}, 0, 0},
        {{0}, 10000, 10000},
        {{500}, 100, 600},
        {{0, 0}, 100, 50},
        {{0, 0}, 101, 50},
        {{0, 1000}, 600, 600},
        {{0, 1000}, 1000, 1000},
        {{0, 1000}, 1100, 1050},
        {{300, 100, 200}, 300, 300},
        {{300, 100, 200}, 0, 100},
        {{5000}, 0, 5000},
        {{0}, uint64_t{1} << 40, kLimit},
        {{0, 0, 0}, uint64_t{3} * kLimit, kLimit},
        {{0, 0, 0}, uint64_t{3} * kLimit - 1, kLimit - 1},
        {{uint64_t{1} << 32, 0}, 10, 10},
    };
    for (const Case& c : cases) {
        uint32_t got = file_size_limit(c.sizes, c.room, kLimit);
        EXPECT_EQ(got, c.want) << c.room;
        EXPECT_LE(growth_room(c.sizes, got), c.room);
        if (got < kLimit && !c.sizes.empty()) {
            EXPECT_GT(growth_room(c.sizes, got + 1), c.room);
        }
    }
}

off_t size_of(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// A native guest whose int 0x80 sites are rewritten at its first call, on
// the direct path, with calls in its own process.
class InProcessEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        NativeOptions o;
        o.rewrite_sites_after = 1;
        Result<std::unique_ptr<NativeEngine>> started = NativeEngine::start(o);
        if (!started) NUVTEST_NATIVE_UNAVAILABLE(started.error().message);
        e_ = std::move(*started);
        if (!e_->direct()) GTEST_SKIP() << "no direct call path on this host";
        std::ifstream mem("/proc/" + std::to_string(e_->pid()) + "/mem", std::ios::binary);
        mem.seekg(page() + NUV_DIRECT_VSYSCALL);
        mem.read(reinterpret_cast<char*>(&entry_), 4);
        if (!mem.good() || entry_ == 0) GTEST_SKIP() << "no fast system-call entry here";
        mem.seekg(entry_);
        mem.read(reinterpret_cast<char*>(entry_code_), sizeof entry_code_);
        ASSERT_TRUE(mem.good());
        if (fd_ >= 0) close(fd_);
        fd_ = open((dir_.path() + "/f").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    uint32_t page() const { return e_->gate() + NUV_GATE_CALL_PAGE; }

    // The code's start: the first call turns the sites on, and the code
    // goes on through the sites' code segment; or back to the flat one, ebp
    // the fast entry's address.
    Bytes prologue(bool flat = true) const {
        Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80};
        if (!flat) return b;
        b.push_back(0xEA), put32(b, kCode + 14), b.insert(b.end(), {NUV_USER_CS32, 0});
        b.insert(b.end(), {0x8B, 0x2D}), put32(b, page() + NUV_DIRECT_VSYSCALL);  // mov ebp, [..]
        return b;
    }
    // Linux's fast entry: called at its address, or its code up to its own
    // sysenter or syscall copied into the guest's (a return address pushed).
    void fast_call(Bytes& b, bool own) const {
        if (!own) {
            b.insert(b.end(), {0xFF, 0xD5});  // call ebp
            return;
        }
        size_t n = 0;
        for (size_t i = 0; i + 1 < sizeof entry_code_ && n == 0; ++i) {
            if (entry_code_[i] == 0x0F &&
                (entry_code_[i + 1] == 0x34 || entry_code_[i + 1] == 0x05)) {
                n = i + 2;
            }
        }
        ASSERT_NE(n, 0u) << "no fast entry in Linux's code";
        b.push_back(0x68), put32(b, kCode + static_cast<uint32_t>(b.size() + 4 + n));
        b.insert(b.end(), entry_code_, entry_code_ + n);
    }
    void load(Bytes b) {
        b.insert(b.end(), {0xB8, 0x42, 0, 0, 0, 0xCD, 0x80});  // mov eax, 0x42; int 0x80
        ASSERT_TRUE(e_->map(kCode, 0x1000, kPermRead | kPermExec));
        ASSERT_TRUE(e_->write(kCode, b.data(), b.size()));
        ASSERT_TRUE(e_->map(kData, 0x1000, kPermRead | kPermWrite));
        ASSERT_TRUE(e_->map(kStackTop - 0x10000, 0x10000, kPermRead | kPermWrite));
        Registers r;
        r.eip = kCode;
        r.esp = kStackTop - 16;
        e_->set_registers(r);
        e_->reset_fpu();
    }
    // Runs to the first call, then grants the file as the guest's
    // descriptor 0 (the guest process's 64) and runs on.
    EngineEvent run_granted(uint32_t max_size) {
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
        l.return_address = 0xFFFFF000;
        EngineEvent ev = e_->run(l);
        EXPECT_EQ(ev.stop, EngineStop::Trap) << ev.message;
        InProcessPolicy p;
        p.calls = InProcessPolicy::kRead | InProcessPolicy::kWrite | InProcessPolicy::kSeek;
        p.descriptors = {{&id_, fd_, false, true, true}};
        p.max_file_size = max_size;
        EXPECT_TRUE(e_->in_process(p));
        return e_->run(l);
    }
    int32_t word(uint32_t at) {
        int32_t v = 0;
        EXPECT_TRUE(e_->read(at, &v, 4));
        return v;
    }

    nuvtest::ScratchDir dir_;
    std::unique_ptr<NativeEngine> e_;
    uint32_t entry_ = 0;
    uint8_t entry_code_[32] = {};
    int fd_ = -1;
    int id_ = 0;
};

// A guest at a rewritten site that enters Linux's fast entry itself with
// _llseek, then writes: no position reaches 2^31 and no file grows past it.
TEST_F(InProcessEngine, LinuxsFastEntryMovesNoPositionTo2To31) {
    constexpr uint32_t kSeekResult = kData + 0x10, kWriteResult = kData + 0x20,
                       kBuf = kData + 0x100, kAnswer = kData + 0x30;
    constexpr int32_t kRefused = 1;
    struct Case {
        const char* name;
        uint32_t high, low, origin;
        int32_t seek;     // its result (kRefused: the filter refused it)
        off_t position;   // where the file stands then
        int32_t written;  // what a write of 32 bytes then gives
    };
    const Case cases[] = {
        {"from the start to 2^31 + 5", 0, 0x80000005, 0, kRefused, 0, 0},
        {"from the start past 2^32", 1, 5, 0, kRefused, 0, 0},
        {"from the start, negative", ~0u, ~0u - 15, 0, kRefused, 0, 0},
        {"on from here by 2^31", 0, 0x80000000, 1, kRefused, 0, 0},
        {"from the end", 0, 0, 2, kRefused, 0, 0},
        {"to data", 0, 0, 3, kRefused, 0, 0},
        {"from the start to just below the limit", 0, 0x7FFFFFF0, 0, 0, 0x7FFFFFF0, 15},
        {"nowhere from here", 0, 0, 1, 0, 0, 32},
    };
    for (bool own : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (own ? " (own instruction)" : " (entry's address)"));
            SetUp();
            if (IsSkipped() || HasFatalFailure()) return;
            Bytes b = prologue();
            mov(b, 0, 140), mov(b, 3, 64), mov(b, 1, c.high), mov(b, 2, c.low);
            mov(b, 6, kAnswer), mov(b, 7, c.origin);
            fast_call(b, own);
            store_eax(b, kSeekResult);
            mov(b, 0, 4), mov(b, 3, 64), mov(b, 1, kBuf), mov(b, 2, 32);
            fast_call(b, false);
            store_eax(b, kWriteResult);
            load(b);
            EngineEvent ev = run_granted(kLimit);
            if (c.seek == kRefused) {
                // Handed to the engine as a Linux call, or a fault where
                // Linux's entry returns.
                if (ev.stop == EngineStop::Trap) {
                    EXPECT_EQ(e_->registers().eax, 140u);
                } else {
                    EXPECT_EQ(ev.stop, EngineStop::Fault) << ev.message;
                }
            } else {
                ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
                EXPECT_EQ(e_->registers().eax, 0x42u);
                EXPECT_EQ(word(kSeekResult), c.seek);
                EXPECT_EQ(word(kWriteResult), c.written);
            }
            const off_t at = lseek(fd_, 0, SEEK_CUR);
            EXPECT_EQ(at, c.position + c.written);
            EXPECT_LE(at, off_t{kLimit});
            EXPECT_LE(size_of(fd_), off_t{kLimit});
            TearDown();
        }
    }
}

// Writes in the guest's process keep to the size the kernel granted: made
// at Linux's entry they stop there (and fail past it), made at a rewritten
// site any that could pass it goes to the kernel, whole.
TEST_F(InProcessEngine, WritesKeepToTheGrantedFileSize) {
    constexpr uint32_t kResult = kData + 0x10, kBuf = kData + 0x100;
    struct Case {
        const char* name;
        bool at_site;  // through the guest's int 0x80 (else Linux's entry)
        off_t from;
        int32_t result;  // 1: handed to the kernel as the guest's write
        off_t size;      // the file's size afterwards (it starts at 90)
    };
    const Case cases[] = {
        {"entry: within", false, 10, 32, 90},
        {"entry: up to the limit", false, 80, 20, 100},
        {"entry: across the limit", false, 96, 4, 100},
        {"entry: at the limit", false, 100, -27, 90},
        {"entry: past it", false, 5000, -27, 90},
        {"site: within", true, 10, 32, 90},
        {"site: up to the limit", true, 68, 32, 100},
        {"site: across the limit", true, 96, 1, 90},
        {"site: past it", true, 5000, 1, 90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(ftruncate(fd_, 90), 0);
        ASSERT_EQ(lseek(fd_, c.from, SEEK_SET), c.from);
        Bytes b = prologue(!c.at_site);
        const uint32_t size = c.from == 80 ? 20 : 32;
        if (c.at_site) {
            // The site traps once (and is rewritten), then goes round again.
            const size_t loop = b.size();
            mov(b, 0, NUV_SYS_write), mov(b, 3, 0), mov(b, 1, kBuf), mov(b, 2, size);
            b.insert(b.end(), {0xCD, 0x80});
            store_eax(b, kResult);
            b.insert(b.end(), {0xB8, 0x42, 0, 0, 0, 0xCD, 0x80, 0xEB});
            b.push_back(
                static_cast<uint8_t>(static_cast<int>(loop) - static_cast<int>(b.size() + 1)));
        } else {
            mov(b, 0, 4), mov(b, 3, 64), mov(b, 1, kBuf), mov(b, 2, size);
            fast_call(b, false);
            store_eax(b, kResult);
        }
        load(b);
        EngineEvent ev = run_granted(100);
        ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
        if (c.at_site) {
            // The first time, before the site was rewritten: answered here.
            ASSERT_EQ(e_->registers().eax, uint32_t{NUV_SYS_write});
            e_->set_eax(0);
            RunLimits l;
            l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
            l.return_address = 0xFFFFF000;
            ASSERT_EQ(e_->run(l).stop, EngineStop::Trap);
            ASSERT_EQ(e_->registers().eax, 0x42u);
            ev = e_->run(l);
            ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
        }
        if (c.result == 1) {
            EXPECT_EQ(e_->registers().eax, uint32_t{NUV_SYS_write});
        } else {
            EXPECT_EQ(e_->registers().eax, 0x42u);
            EXPECT_EQ(word(kResult), c.result);
        }
        EXPECT_EQ(size_of(fd_), c.size);
        TearDown();
    }
}

// The whole library on an engine, its root a scratch directory; the calls
// once more than enough of them were made for the native engine's sites to
// be rewritten (and its reads, writes and seeks to run in the guest's
// process where the kernel grants them).
class InProcessKernel : public ::testing::Test {
  protected:
    std::unique_ptr<Harness> boot(EngineKind engine, Options o = {}) {
        o.engine = engine;
        o.root = dir_.path();
        o.capture_output = true;
        o.input = std::string();
        o.timeout_us = 60'000'000;
        auto m = nuvtest::load_image("libtest", o);
        if (m != nullptr && engine == EngineKind::Native &&
            std::strcmp(m->engine().name(), "native") != 0) {
            ADD_FAILURE() << "not on the native engine";
            return nullptr;
        }
        return m;
    }
    static int32_t call(Harness& m, std::string_view fn, std::initializer_list<Arg> args) {
        RunResult r = m.call(fn, args);
        EXPECT_EQ(r.stop, Stop::Returned) << fn << ": " << r.message;
        return static_cast<int32_t>(m.eax());
    }
    // Opens a file under the root and makes enough calls on it: from now on
    // they may run in the guest's process.
    static int32_t open_warm(Harness& m, const char* path, uint32_t flags) {
        int32_t fd = call(m, "open", {nuvtest::put_string(m, path), flags, 0644u});
        EXPECT_GE(fd, 0);
        for (int i = 0; i < 70; ++i) call(m, "lseek", {fd, 0, NUV_SEEK_CUR});
        // Each call's site in the library traps once before it is rewritten.
        const uint32_t none = nuvtest::put_string(m, "");
        call(m, "write", {fd, none, 0});
        call(m, "read", {fd, none, 0});
        return fd;
    }
    // Whether the guest's descriptor fd is installed in its process.
    static bool installed(Harness& m, int32_t fd) {
        auto* e = dynamic_cast<NativeEngine*>(&m.engine());
        return e != nullptr &&
               std::filesystem::exists("/proc/" + std::to_string(e->pid()) + "/fd/" +
                                       std::to_string(NUV_DIRECT_FD_BASE + fd));
    }
    void SetUp() override { NUVTEST_NEED_NATIVE_ENGINE(); }

    nuvtest::ScratchDir dir_;
};

// Reads, writes and seeks answer alike on the kernel's path (the emulator)
// and in the guest's process, the limits included: results, what reads
// bring and what the file holds.
TEST_F(InProcessKernel, GrantedCallsAnswerAsTheKernelDoes) {
    constexpr int32_t kSet = NUV_SEEK_SET, kCur = NUV_SEEK_CUR, kEnd = NUV_SEEK_END;
    enum Op { Write, Seek, Read };
    struct Step {
        Op op;
        bool reader;   // on the file open for reading (else for writing)
        int32_t a, b;  // write: its bytes' count (0: "W"); seek: offset, origin; read: count
    };
    const Step steps[] = {
        {Write, false, 11, 0},
        {Seek, false, 0, kCur},
        {Seek, false, -20, kCur},
        {Seek, false, -1, kSet},
        {Seek, false, 6, kSet},
        {Write, false, 1, 0},
        {Seek, false, kLimit, kSet},
        {Seek, false, 1, kCur},
        {Seek, false, 0, kCur},
        {Seek, false, 0, kEnd},
        {Seek, false, 5, kEnd},
        {Write, false, 1, 0},
        {Seek, false, -3, kCur},
        {Read, true, 40, 0},
        {Seek, true, 2, kSet},
        {Read, true, 4, 0},
        {Seek, true, 0, kCur},
        {Seek, true, -7, kCur},
        {Seek, false, 0x7FFFFFF0, kSet},
        {Write, false, 32, 0},
        {Seek, false, 0, kCur},
        {Seek, false, 0, kSet},
        {Write, false, 3, 0},
        {Seek, true, 0x7FFFFFF8, kSet},
        {Read, true, 16, 0},
        {Seek, true, 0, kCur},
        {Seek, true, -10, kEnd},
    };
    struct Outcome {
        std::vector<int32_t> results;
        std::string read, head, tail;
        off_t size = 0;
        bool in_process = false;
    };
    auto run = [&](EngineKind engine) {
        Outcome out;
        std::filesystem::remove(dir_.path() + "/f");
        auto m = boot(engine);
        if (m == nullptr) return out;
        const int32_t w = open_warm(*m, "/f", NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC);
        const uint32_t data = nuvtest::put_string(*m, "hello world, this is a long line of text.");
        const uint32_t buf = nuvtest::put_string(*m, std::string(64, '.'));
        int32_t r = -1;
        for (const Step& s : steps) {
            const int32_t fd = s.reader ? r : w;
            if (s.reader && r < 0) r = open_warm(*m, "/f", NUV_O_RDONLY);
            switch (s.op) {
                case Write:
                    out.results.push_back(call(*m, "write", {fd, data, s.a}));
                    break;
                case Seek:
                    out.results.push_back(call(*m, "lseek", {s.reader ? r : w, s.a, s.b}));
                    break;
                case Read: {
                    int32_t n = call(*m, "read", {r, buf, s.a});
                    out.results.push_back(n);
                    if (n > 0) out.read += m->read_string(buf, static_cast<size_t>(n)) + "|";
                }
            }
        }
        out.in_process = installed(*m, w) && installed(*m, r);
        int fd = open((dir_.path() + "/f").c_str(), O_RDONLY | O_CLOEXEC);
        out.size = size_of(fd);
        char head[32] = {}, tail[48] = {};
        EXPECT_EQ(pread(fd, head, sizeof head, 0), static_cast<ssize_t>(sizeof head));
        EXPECT_EQ(pread(fd, tail, sizeof tail, 0x7FFFFFE0), static_cast<ssize_t>(sizeof tail));
        out.head.assign(head, sizeof head);
        out.tail.assign(tail, sizeof tail);
        close(fd);
        return out;
    };
    const Outcome kernel = run(EngineKind::Unicorn), own = run(EngineKind::Native);
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(own.in_process) << "the native guest's descriptors were never installed";
    EXPECT_EQ(own.results, kernel.results);
    EXPECT_EQ(own.read, kernel.read);
    EXPECT_EQ(own.size, kernel.size);
    EXPECT_EQ(own.head, kernel.head);
    EXPECT_EQ(own.tail, kernel.tail);
    // What the kernel's rule gives, for the record.
    EXPECT_EQ(kernel.results[1], 11);
    EXPECT_EQ(kernel.results[2], -NUV_EINVAL);
    EXPECT_EQ(kernel.results[7], -NUV_EINVAL);
    EXPECT_EQ(kernel.results[8], kLimit);
    EXPECT_EQ(kernel.size, off_t{0x80000010});
}

// Whoever watches the calls sees every one, also once the sites are
// rewritten: the trace, the tally, recorded traps and a replaced handler; without
// them the same writes run in the guest's process.
TEST_F(InProcessKernel, EveryCallReachesWhoeverWatches) {
    enum Watch { Nobody, Trace, Tally, Record, Handler };
    for (Watch watch : {Nobody, Trace, Tally, Record, Handler}) {
        SCOPED_TRACE(watch);
        nuvtest::TraceLog log;
        Options o;
        o.trace = watch == Trace ? log.file() : nullptr;
        o.record_traps = watch == Record;
        if (watch == Tally) o.tally = std::make_shared<CallTally>();
        auto m = boot(EngineKind::Native, o);
        ASSERT_NE(m, nullptr);
        int seen = 0;
        if (watch == Handler) {
            m->set_handler(NUV_SYS_write, [&seen](CallContext& c, const SyscallArgs& a) {
                seen += a.edx == 1;
                return handle_write(c, a);
            });
        }
        const int32_t w = open_warm(*m, "/f", NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC);
        const uint32_t data = nuvtest::put_string(*m, "x");
        for (int i = 0; i < 100; ++i) ASSERT_EQ(call(*m, "write", {w, data, 1}), 1);
        EXPECT_EQ(std::filesystem::file_size(dir_.path() + "/f"), 100u);
        EXPECT_EQ(installed(*m, w), watch == Nobody);
        if (watch == Trace) {
            std::fflush(log.file());
            std::string text = log.text();
            int lines = 0;
            const std::string call_text = "write(" + std::to_string(w) + ", \"x\", 1) = 1";
            for (size_t at = text.find(call_text); at != std::string::npos;
                 at = text.find(call_text, at + 1)) {
                ++lines;
            }
            EXPECT_EQ(lines, 100);
        } else if (watch == Tally) {
            // The 100 writes and the one of no bytes that warmed its site.
            EXPECT_EQ(o.tally->rows().at(NUV_SYS_write).calls, 101u);
        } else if (watch == Record) {
            int traps = 0;
            for (const TrapRecord& t : m->traps())
                traps += t.args.nr == NUV_SYS_write && t.args.edx == 1;
            EXPECT_EQ(traps, 100);
        } else if (watch == Handler) {
            EXPECT_EQ(seen, 100);
        }
    }
}

// The guest's own writes take from the run's disk budget, and no more than
// it has: the file size they may reach is water-filled from what is left.
TEST_F(InProcessKernel, OwnWritesAreChargedAndKeepToTheBudget) {
    Options o;
    o.disk_limit = 10000;
    auto m = boot(EngineKind::Native, o);
    ASSERT_NE(m, nullptr);
    DiskBudget& budget = m->sandbox().budget();
    const int32_t w = open_warm(*m, "/f", NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC);
    const uint32_t data = nuvtest::put_string(*m, std::string(1000, 'b'));
    const uint64_t start = budget.left();  // what is left once the name is made
    for (int i = 0; i < 8; ++i) ASSERT_EQ(call(*m, "write", {w, data, 1000}), 1000);
    EXPECT_TRUE(installed(*m, w));
    EXPECT_EQ(budget.left(), start - 8000);
    // Over what the file holds: nothing more to pay.
    ASSERT_EQ(call(*m, "lseek", {w, 0, NUV_SEEK_SET}), 0);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(call(*m, "write", {w, data, 1000}), 1000);
    EXPECT_EQ(budget.left(), start - 8000);
    // A second file shares what is left; together they never take more.
    const int32_t v = open_warm(*m, "/g", NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC);
    ASSERT_EQ(call(*m, "lseek", {w, 0, NUV_SEEK_END}), 8000);
    const uint64_t left = budget.left();
    ASSERT_LT(left, 8000u);
    // Sizes 8000 and 0, less than 8000 left: the guest process may write
    // files up to what is left (the second one alone grows).
    auto* e = dynamic_cast<NativeEngine*>(&m->engine());
    ASSERT_NE(e, nullptr);
    std::ifstream limits("/proc/" + std::to_string(e->pid()) + "/limits");
    std::string line, soft;
    while (std::getline(limits, line)) {
        if (line.rfind("Max file size", 0) == 0) std::istringstream(line.substr(26)) >> soft;
    }
    EXPECT_EQ(soft, std::to_string(left));
    int64_t written = 0;
    for (int i = 0; i < 6; ++i) {
        for (int32_t fd : {w, v}) {
            const int32_t n = call(*m, "write", {fd, data, 500});
            if (n > 0) written += n;
        }
    }
    // In the guest's process up to the limit, then by the kernel, which
    // charges and refuses past the budget itself.
    const uint64_t grown = std::filesystem::file_size(dir_.path() + "/f") - 8000 +
                           std::filesystem::file_size(dir_.path() + "/g");
    EXPECT_EQ(grown, static_cast<uint64_t>(written));
    EXPECT_EQ(grown + budget.left(), left);
    EXPECT_LT(budget.left(), 500u);
}

}  // namespace
}  // namespace nuv
