// Whole test commands under nuvemu: one that spawns another through a pipe,
// one that makes and removes directories, one that sleeps, and images that
// fault or try to get out; through the emulator library and through the
// nuvemu command, on each engine.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iterator>
#include <map>

#include "fault_report.hpp"
#include "guest.hpp"
#include "kernel.hpp"
#include "machine_code.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::EngineKind;
using nuv::Stop;

EngineKind g_engine = EngineKind::Unicorn;

// Every case runs on each engine; the native one is skipped, with the reason,
// where the host cannot run it (no 32-bit programs, tracing forbidden).
class Programs : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        g_engine = GetParam();
        if (GetParam() != EngineKind::Native) return;
        NUVTEST_NEED_NATIVE_ENGINE();
    }
    // The nuvemu command's option for this engine.
    std::string engine() const {
        return std::string("--engine ") + nuv::engine_kind_name(GetParam()) + " ";
    }
};

nuv::Options options() {
    nuv::Options o = nuvtest::test_options();
    o.engine = g_engine;
    return o;
}

struct Outcome {
    nuv::RunResult result;
    std::string out;
};

Outcome run(std::string_view image, const std::vector<std::string>& args, nuv::Options o) {
    auto m = nuvtest::load_image(image, o);
    if (!m) return {};
    Outcome r;
    r.result = m->run(args);
    r.out = m->output();
    return r;
}

nuv::Options rooted(const std::string& root) {
    nuv::Options o = options();
    o.root = root;
    return o;
}

TEST_P(Programs, PipelineSpawnsAnImageInsideTheRoot) {
    std::string images = NUV_IMAGE_DIR;
    Outcome r = run("pipeline", {"pipeline", "/hello", "through the pipe", "3"}, rooted(images));
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.out, "child said: through the pipe\nchild 2 ended with 3\n");
    // Relative to the current directory, which is the root here.
    r = run("pipeline", {"pipeline", "ver"}, rooted(images));
    EXPECT_EQ(r.out, "child said: NUV-OS Release 16\nchild 2 ended with 0\n");
    // Nothing outside the root can be started.
    nuvtest::ScratchDir empty;
    r = run("pipeline", {"pipeline", "/hello"}, rooted(empty.path()));
    EXPECT_EQ(r.out, "pipeline: cannot start /hello: -2\n");
    r = run("pipeline", {"pipeline", "../../../../../../" + images + "/hello"},
            rooted(empty.path()));
    EXPECT_EQ(r.result.status, 1);
    EXPECT_EQ(r.out.find("child said"), std::string::npos) << r.out;
}

TEST_P(Programs, DirsMakesMovesStreamsAndRemoves) {
    nuvtest::ScratchDir root;
    ASSERT_FALSE(root.path().empty());
    Outcome r = run("dirs", {"dirs"}, rooted(root.path()));
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.out,
              "mkdir work = 0\n"
              "mkdir work again = -17\n"
              "mkdir work/sub = 0\n"
              "chdir work = 0\n"
              "cwd /work\n"
              "stream_begin sub/notes = 1\n"
              "stream_write = 6\n"
              "access before end = -1\n"
              "stream_write = 7\n"
              "stream_end = 0\n"
              "access after end = 0\n"
              "rmdir sub (not empty) = -39\n"
              "unlink sub/notes = 0\n"
              "unlink sub/notes again = -2\n"
              "mkfifo sub/fifo = 0\n"
              "unlink sub/fifo = 0\n"
              "chdir sub = 0\n"
              "cwd /work/sub\n"
              "chdir ../.. = 0\n"
              "cwd /\n"
              "chdir .. (at the root) = 0\n"
              "cwd /\n"
              "rmdir work/sub = 0\n"
              "rmdir work = 0\n"
              "rmdir work again = -2\n");
    EXPECT_TRUE(fs::is_empty(root.path()));
}

TEST_P(Programs, SleeperSleepsForRealOrNotAtAll) {
    auto t0 = std::chrono::steady_clock::now();
    Outcome r = run("sleeper", {"sleeper", "-u", "200000"}, options());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(r.out, "slept\n");
    EXPECT_EQ(r.result.status, 0);
    // An hour, skipped.
    nuv::Options o = options();
    o.skip_sleep = true;
    r = run("sleeper", {"sleeper", "3600"}, o);
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.out, "slept\n");
}

TEST_P(Programs, TheNuvemuCommandRunsThemToo) {
    std::string images = NUV_IMAGE_DIR;
    nuvtest::ToolRun r = nuvtest::run_nuvemu(engine() + "--root " + images + " " + images +
                                             "/pipeline /hello 'one line'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "child said: one line\nchild 2 ended with 0\n");
    r = nuvtest::run_nuvemu(engine() + "--no-sleep " + images + "/sleeper 100000");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "slept\n");
    // A fixed time-stamp counter makes the self-seeded generator repeat.
    nuvtest::ToolRun first =
        nuvtest::run_nuvemu(engine() + "--tsc 12345 " + images + "/hello -rand");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(nuvtest::run_nuvemu(engine() + "--tsc=12345 " + images + "/hello -rand").out,
              first.out);
    EXPECT_NE(nuvtest::run_nuvemu(engine() + "--tsc 12346 " + images + "/hello -rand").out,
              first.out);
    EXPECT_EQ(nuvtest::run_nuvemu(engine() + "--tsc x " + images + "/hello").status, 125);
    nuvtest::ScratchDir root;
    r = nuvtest::run_nuvemu(engine() + "--root " + root.path() + " " + images + "/dirs");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("stream_end = 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rmdir work = 0\n"), std::string::npos) << r.out;
}

// ver with its first instructions replaced by code.
std::vector<uint8_t> ver_running(const std::vector<uint8_t>& code) {
    std::ifstream in(nuvtest::image_path("ver"), std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, &b.at(at + 3) - 3, 4);
        return v;
    };
    uint32_t entry = u32(24), phoff = u32(28);
    uint16_t count = static_cast<uint16_t>(b.at(44) | b.at(45) << 8);
    for (uint32_t i = 0; i < count; ++i) {
        size_t h = phoff + 32 * i;
        uint32_t vaddr = u32(h + 8), filesz = u32(h + 16);
        if (u32(h) != 1 || entry < vaddr || entry - vaddr + code.size() > filesz) continue;
        std::copy(code.begin(), code.end(), b.begin() + u32(h + 4) + (entry - vaddr));
        return b;
    }
    ADD_FAILURE() << "no segment holds ver's entry";
    return b;
}

using nuvtest::cat;
using nuvtest::le32;

struct Escape {
    const char* what;
    std::vector<uint8_t> code;
    Stop stop;
    int32_t status;       // when it exits
    const char* message;  // part of the fault's message
};

TEST_P(Programs, FaultsAndEscapesEndTheGuestAlike) {
    uint32_t entry = 0;
    {
        std::ifstream in(nuvtest::image_path("ver"), std::ios::binary);
        in.seekg(24);
        in.read(reinterpret_cast<char*>(&entry), 4);
    }
    const uint8_t exit_with_eax[] = {0x89, 0xC3, 0xB8, 2, 0, 0, 0, 0xCD, 0x80};
    std::vector<uint8_t> then_exit(std::begin(exit_with_eax), std::end(exit_with_eax));
    char at_entry[32];
    std::snprintf(at_entry, sizeof at_entry, " at eip 0x%08x", static_cast<unsigned>(entry));
    const Escape cases[] = {
        {"invalid instruction", {0x0F, 0x0B}, Stop::Fault, 0, "invalid instruction at "},
        {"store to page zero", {0xA3, 0, 0, 0, 0}, Stop::Fault, 0, "unmapped memory at 0x00000000"},
        {"store into its own code", cat({{0xC7, 0x05}, le32(entry), le32(0)}), Stop::Fault, 0,
         "write to protected memory"},
        {"hlt", {0xF4}, Stop::Fault, 0, "guest halted at eip "},
        // Privileged instructions and port I/O: the guest runs at user privilege.
        {"cli", {0xFA}, Stop::Fault, 0, at_entry},
        {"lidt", cat({{0x0F, 0x01, 0x1D}, le32(entry)}), Stop::Fault, 0, at_entry},
        {"inb $0x60", {0xE4, 0x60}, Stop::Fault, 0, at_entry},
        {"int 0x81", {0xCD, 0x81}, Stop::Fault, 0, "unexpected interrupt 129 at eip "},
        {"sysenter", {0x0F, 0x34}, Stop::Fault, 0, ""},
        {"far jump to 64-bit code, then syscall",
         cat({{0xEA}, le32(entry + 7), {0x33, 0x00, 0x0F, 0x05}}), Stop::Fault, 0, ""},
        // Linux's kill(1, SIGKILL) and fork (NUV-OS exit) through int 0x80:
        // NUV-OS calls, never host ones.
        {"Linux kill",
         cat({{0xB8, 37, 0, 0, 0, 0xBB, 1, 0, 0, 0, 0xB9, 9, 0, 0, 0, 0xCD, 0x80}, then_exit}),
         Stop::Exited, 255, ""},
        {"Linux fork", {0xB8, 2, 0, 0, 0, 0xBB, 5, 0, 0, 0, 0xCD, 0x80}, Stop::Exited, 5, ""},
    };
    for (const Escape& c : cases) {
        SCOPED_TRACE(c.what);
        nuv::Options o = options();
        nuv::Result<std::unique_ptr<nuv::Harness>> m = nuv::Harness::open(ver_running(c.code), o);
        ASSERT_TRUE(m) << m.error().message;
        nuv::RunResult r = (*m)->run({"ver"});
        const std::string words = nuv::report::what(r);
        EXPECT_EQ(r.stop, c.stop) << words;
        if (c.stop == Stop::Exited) {
            EXPECT_EQ(r.status & 0xFF, c.status);
        }
        EXPECT_NE(words.find(c.message), std::string::npos) << words;
        EXPECT_EQ((*m)->output(), "");
    }
    // The command's status for a fault.
    nuvtest::ScratchDir dir;
    std::string path = dir.path() + "/bad";
    std::vector<uint8_t> ud2 = ver_running({0x0F, 0x0B});
    nuvtest::write_file(path, std::string(ud2.begin(), ud2.end()));
    nuvtest::ToolRun t = nuvtest::run_nuvemu(engine() + path);
    EXPECT_EQ(t.status, 139);
    EXPECT_NE(t.err.find("guest fault: invalid instruction at "), std::string::npos) << t.err;
}

// What a guest can see of the native engine's rewritten call sites: after
// 100 calls at one int 0x80 it exits with the site's first byte, ff once
// rewritten (native, unless told to keep the sites), cd otherwise.
TEST_P(Programs, AGuestSeesItsRewrittenCallSitesUnlessTheyAreKept) {
    const std::vector<uint8_t> code = {
        0xBE, 100,  0,    0,    0,               // mov esi, 100
        0xB8, 1,    0,    0,    0,               // mov eax, 1 (write)
        0xBB, 1,    0,    0,    0, 0x31, 0xC9,   // mov ebx, 1; xor ecx, ecx
        0x31, 0xD2, 0xCD, 0x80,                  // xor edx, edx; int 0x80 (the site, at 19)
        0x4E, 0x75, 0xED,                        // dec esi; jnz back to 5
        0xE8, 0,    0,    0,    0, 0x5F,         // call next; pop edi (29)
        0x0F, 0xB6, 0x5F, 0xF6,                  // movzx ebx, byte [edi - 10]
        0xB8, 2,    0,    0,    0, 0xCD, 0x80};  // exit
    const int rewritten = GetParam() == EngineKind::Native ? 0xFF : 0xCD;
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "rewritten");
        nuv::Options o = options();
        o.rewrite_sites = !keep;
        nuv::Result<std::unique_ptr<nuv::Harness>> m = nuv::Harness::open(ver_running(code), o);
        ASSERT_TRUE(m) << m.error().message;
        nuv::RunResult r = (*m)->run({"ver"});
        ASSERT_EQ(r.stop, Stop::Exited) << nuv::report::what(r);
        EXPECT_EQ(r.status & 0xFF, keep ? 0xCD : rewritten);
    }
    nuvtest::ScratchDir dir;
    std::string path = dir.path() + "/sites";
    std::vector<uint8_t> image = ver_running(code);
    nuvtest::write_file(path, std::string(image.begin(), image.end()));
    EXPECT_EQ(nuvtest::run_nuvemu(engine() + "--keep-call-sites " + path).status, 0xCD);
}

// Reads and writes on every kind of descriptor (standard input from a file
// and from a pipe, standard output to a pipe and to a file, files written,
// moved in and read back, buffers the guest does not have, closed
// descriptors, a pipe of the guest's own) give the same results and bytes
// every way: the native engine's reads and writes in the guest's own
// process, the same without them, and Unicorn.
TEST_P(Programs, EveryKindOfDescriptorReadsAndWritesAlikeEveryWay) {
    const std::string images = NUV_IMAGE_DIR, nuvemu = NUV_BIN_DIR "/nuvemu ";
    nuvtest::ScratchDir dir;
    const std::string input = dir.path() + "/input";
    std::string text;
    for (int i = 0; i < 3000; ++i) text += static_cast<char>(i % 7 == 6 ? '\n' : 'a' + i * 7 % 26);
    nuvtest::write_file(input, text);
    struct Way {
        const char* name;
        const char* flags;
        bool piped_in, file_out;
    };
    const Way ways[] = {
        {"input from a file", "", false, false},
        {"input from a pipe", "", true, false},
        {"output to a file", "", false, true},
        {"all through nuvemu", "--keep-call-sites ", true, true},
        {"emulated", "--engine unicorn ", false, false},
    };
    std::string first_out, first_file;
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        nuvtest::ScratchDir root;
        std::string cmd = "(" + (w.piped_in ? "cat " + input + " | " : std::string()) + nuvemu +
                          engine() + w.flags + "--root " + root.path() + " " + images +
                          "/io_probe" + (w.piped_in ? "" : " < " + input) +
                          (w.file_out ? " > " + root.path() + "/out" : "") + ")";
        nuvtest::ToolRun r = nuvtest::run_command(cmd);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string out = w.file_out ? nuvtest::read_file(root.path() + "/out") : r.out;
        std::string file = nuvtest::read_file(root.path() + "/io.txt");
        if (first_out.empty()) {
            for (const char* line :
                 {"stdin bytes = 3000\n", "first: abcdeXYh\n", "seek back = 6\n", "again: Yh\n",
                  "seek before the start = -22\n", "where = 8\n", "last: hij\n",
                  "read at the end = 0\n", "read into nothing = -14\n", "then: abcd\n",
                  "write from nothing = -14\n", "read on a write-only = -9\n",
                  "write on a read-only = -9\n", "read on a closed one = -9\n",
                  "write on a never opened one = -9\n", "from the pipe: pipe\n"}) {
                EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
            }
            EXPECT_EQ(file.size(), 300u);
            first_out = out;
            first_file = file;
        } else {
            EXPECT_EQ(out, first_out);
            EXPECT_EQ(file, first_file);
        }
    }
    // Traced, every call goes by the trace: each byte of input read.
    nuvtest::ScratchDir root;
    const std::string trace = dir.path() + "/trace";
    nuvtest::ToolRun r =
        nuvtest::run_command("(" + nuvemu + engine() + "--trace=" + trace + " --root " +
                             root.path() + " " + images + "/io_probe < " + input + ")");
    EXPECT_EQ(r.out, first_out);
    std::istringstream lines(nuvtest::read_file(trace));
    int reads = 0;
    for (std::string line; std::getline(lines, line);) reads += line.rfind("read(0, ", 0) == 0;
    EXPECT_EQ(reads, 3001);
}

// One byte of ver flipped: the entry code's `subl $8, %esp` (83 ec 08), after
// the instructions before it have run, becomes a far jump through a register
// (ff ec), which the guest must fault on where it is.
TEST_P(Programs, AFlippedByteInVerFaultsAtItsAddress) {
    std::vector<uint8_t> b = ver_running({});
    const uint8_t sub_esp[] = {0x83, 0xEC, 0x08};
    auto at = std::search(b.begin() + 0x1000, b.end(), std::begin(sub_esp), std::end(sub_esp));
    ASSERT_NE(at, b.end());
    *at = 0xFF;
    nuvtest::ScratchDir dir;
    std::string path = dir.path() + "/ver";
    nuvtest::write_file(path, std::string(b.begin(), b.end()));
    nuvtest::ToolRun t = nuvtest::run_nuvemu(engine() + path);
    EXPECT_EQ(t.status, 139) << t.err;
    // The text segment is loaded at the image base from file offset 0x1000.
    char where[64];
    std::snprintf(where, sizeof where, "guest fault: invalid instruction at 0x%08x",
                  static_cast<unsigned>(0x400000 + (at - b.begin()) - 0x1000));
    EXPECT_NE(t.err.find(where), std::string::npos) << t.err;
    // One line, then the backtrace's lines, each indented.
    EXPECT_EQ(std::count(t.err.begin(), t.err.end(), '\n'),
              1 + std::count(t.err.begin(), t.err.end(), '#'))
        << t.err;
}

TEST_P(Programs, BadImagesAreRefusedBeforeTheyRun) {
    std::vector<uint8_t> b = ver_running({});
    b[4] = 2;  // a 64-bit class
    nuv::Result<std::unique_ptr<nuv::Harness>> m = nuv::Harness::open(b, options());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind, nuv::HostError::BadImage);
    b.resize(40);
    EXPECT_FALSE(nuv::Harness::open(b, options()));
}

TEST_P(Programs, TheTraceNamesTheEngineAndTheLimitsStopRunaways) {
    std::string images = NUV_IMAGE_DIR;
    nuvtest::ScratchDir dir;
    std::string log = dir.path() + "/trace";
    nuvtest::ToolRun r = nuvtest::run_nuvemu(engine() + "--trace=" + log + " " + images + "/ver");
    EXPECT_EQ(r.status, 0);
    std::string first = nuvtest::read_file(log);
    first.resize(first.find('\n'));
    EXPECT_EQ(first, std::string("nuvemu: engine ") + nuv::engine_kind_name(GetParam()));
    // Wall-clock time: one line naming where the guest stood.
    r = nuvtest::run_nuvemu(engine() + "--timeout 1 " + images + "/hello -spin");
    EXPECT_EQ(r.status, 124);
    EXPECT_EQ(r.err.rfind("nuvemu: " + images + "/hello: stopped: time limit reached at eip 0x", 0),
              0u)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
              1 + std::count(r.err.begin(), r.err.end(), '#'))
        << r.err;
    // Held up by the host (a read of a pipe that stays empty), the run still
    // ends at its limit, not when the pipe does.
    r = nuvtest::run_command("(sleep 3 | " NUV_BIN_DIR "/nuvemu " + engine() + "--timeout 1 " +
                             images + "/hello -cat)");
    EXPECT_EQ(r.status, 124) << r.err;
    EXPECT_NE(r.err.find("stopped: time limit reached"), std::string::npos) << r.err;
    // Memory for all processes together: ver alone needs more than 1 MiB with
    // its 8 MiB stack; the pipeline's child finds none left under 12 MiB.
    r = nuvtest::run_nuvemu(engine() + "--memory 1 " + images + "/ver");
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("memory limit of 1 MiB"), std::string::npos) << r.err;
    r = nuvtest::run_nuvemu(engine() + "--memory 12 --root " + images + " " + images +
                            "/pipeline /hello x");
    EXPECT_EQ(r.out.find("child said"), std::string::npos) << r.out;
    r = nuvtest::run_nuvemu(engine() + "--memory 32 --root " + images + " " + images +
                            "/pipeline /hello x");
    EXPECT_EQ(r.out, "child said: x\nchild 2 ended with 0\n");
}

// Fifteen processes alive at once, each writing to 64 MiB: the memory limit
// of the run refuses what does not fit (a spawn with -11, a mapping with -1)
// and the run ends as the guest ends it, with nothing lost.
TEST_P(Programs, ProcessesHoggingMemoryStayUnderTheLimit) {
    std::string images = NUV_IMAGE_DIR;
    for (int limit : {300, 600}) {
        nuvtest::ToolRun r =
            nuvtest::run_nuvemu(engine() + "--memory " + std::to_string(limit) + " --root " +
                                images + " " + images + "/hello -hog 15 /hello");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        int touched = -1, without = -1, refused = -1, error = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str(), "%d touched, %d without memory, %d not started (%d)",
                              &touched, &without, &refused, &error),
                  4)
            << r.out;
        EXPECT_EQ(touched + without + refused, 15) << r.out;
        EXPECT_GE(touched, 1) << r.out;
        // 64 MiB, a stack of 8 and the image with its 1 MiB heap each, beside
        // the stack and heap of the process that starts them.
        EXPECT_LE(touched * 73 + 9, limit) << r.out;
        EXPECT_GT((touched + 1) * 73 + 9, limit) << r.out;  // and no other would fit
        if (refused > 0) {
            EXPECT_EQ(error, -11) << r.out;
        }
    }
}

// The summary of a run's calls counts what the trace shows, over the child
// it spawns too, and each traced call carries its time.
TEST_P(Programs, CallSummaryCountsWhatTheTraceShows) {
    nuvtest::TraceLog trace;
    nuv::Options o = rooted(NUV_IMAGE_DIR);
    o.trace = trace.file();
    o.call_times = true;
    o.tally = std::make_shared<nuv::CallTally>();
    Outcome r = run("pipeline", {"pipeline", "/hello", "counted", "2"}, o);
    ASSERT_EQ(r.result.stop, Stop::Exited) << r.result.message;
    struct Seen {
        uint64_t calls = 0, errors = 0;
    };
    std::map<std::string, Seen> traced;
    // Each line: [pid N] name(...) = result <s.ssssss>, or the exit's two.
    std::istringstream lines(trace.text());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("[pid ", 0) == 0) line.erase(0, line.find("] ") + 2);
        const size_t open = line.find('('), is = line.rfind(") = ");
        if (line.rfind("+++ exited with ", 0) == 0) continue;
        if (open == std::string::npos || is == std::string::npos) {
            ADD_FAILURE() << "not a call: " << line;
            continue;
        }
        const std::string name = line.substr(0, open), result = line.substr(is + 4);
        ++traced[name].calls;
        if (result == "?") continue;  // exit
        const size_t time = result.rfind(" <");
        EXPECT_TRUE(time != std::string::npos && result.size() - time == 11 &&
                    result[time + 3] == '.' && result.back() == '>')
            << "no time: " << line;
        traced[name].errors += result[0] == '-';
    }
    std::map<std::string, Seen> tallied;
    for (const auto& [nr, row] : o.tally->rows()) tallied[row.name] = {row.calls, row.errors};
    ASSERT_TRUE(traced.count("spawn") != 0 && traced.count("waitpid") != 0) << trace.text();
    EXPECT_EQ(traced.size(), tallied.size());
    for (const auto& [name, seen] : traced) {
        EXPECT_EQ(tallied[name].calls, seen.calls) << name;
        EXPECT_EQ(tallied[name].errors, seen.errors) << name;
    }
    // The table: one line per call, the total last.
    nuvtest::TraceLog table;
    o.tally->write(table.file());
    std::string text = table.text();
    EXPECT_EQ(text.rfind("% time     seconds  usecs/call     calls    errors call\n", 0), 0u)
        << text;
    EXPECT_NE(text.find(" total\n"), std::string::npos) << text;
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')),
              o.tally->rows().size() + 4)
        << text;
}

// The same through the command: the table where --summary says, its total
// the number of calls the trace shows (each with its time).
TEST_P(Programs, NuvemuWritesTheSummaryWhereAsked) {
    const std::string images = NUV_IMAGE_DIR;
    nuvtest::ScratchDir dir;
    const std::string table = dir.path() + "/calls.txt";
    nuvtest::ToolRun r =
        nuvtest::run_nuvemu(engine() + "--trace --call-times --summary=" + table + " --root " +
                            images + " " + images + "/pipeline /hello hi 2");
    EXPECT_EQ(r.status, 0) << r.err;
    const auto timed = static_cast<size_t>(std::count(r.err.begin(), r.err.end(), '>'));
    std::ifstream in(table);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The last line: 100.00, the seconds, the calls, "total". Every call's
    // line carries its time but the two exits'.
    const size_t last = text.rfind('\n', text.size() - 2);
    ASSERT_NE(last, std::string::npos) << text;
    std::istringstream total(text.substr(last + 1));
    std::string share, seconds, word;
    size_t calls = 0;
    total >> share >> seconds >> calls >> word;
    EXPECT_EQ(share + " " + word, "100.00 total") << text;
    EXPECT_EQ(calls, timed + 2) << r.err;
    r = nuvtest::run_nuvemu(engine() + "--summary=" + dir.path() + "/none/calls.txt " + images +
                            "/hello");
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("cannot write summary file"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Engines, Programs,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const ::testing::TestParamInfo<EngineKind>& i) {
                             return std::string(nuv::engine_kind_name(i.param));
                         });

TEST(NuvemuEngineOption, ChoicesAndConflicts) {
    std::string ver = nuvtest::image_path("ver");
    EXPECT_EQ(nuvtest::run_nuvemu("--engine bogus " + ver).status, 125);
    EXPECT_EQ(nuvtest::run_nuvemu("--engine native --count " + ver).status, 125);
    EXPECT_EQ(nuvtest::run_nuvemu("--timeout -3 " + ver).status, 125);
    EXPECT_EQ(nuvtest::run_nuvemu("--memory 0 " + ver).status, 125);
    // Counting needs the emulator, which auto then picks.
    nuvtest::ToolRun r = nuvtest::run_nuvemu("--count " + ver);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("instructions executed"), std::string::npos) << r.err;
}

}  // namespace
