// nuvemu's fault reports on each engine: the kind in words, the faulting
// instruction and the top two frames of the backtrace with function and
// source line, for a command built with debug information (guest/crash.c),
// its spawned child included; and where every process stands at the time
// limit.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fault_report.hpp"
#include "guest.hpp"
#include "source_lines.hpp"
#include "symbols.hpp"

namespace {

using nuv::EngineKind;

class FaultReports : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() != EngineKind::Native) return;
        NUVTEST_NEED_NATIVE_ENGINE();
    }
    // Run from the image folder, the root, so that the image can spawn
    // itself by its argument 0.
    nuvtest::ToolRun crash(const std::string& args, const std::string& options = "") {
        return nuvtest::run_command(
            std::string("cd " NUV_IMAGE_DIR " && " NUV_BIN_DIR "/nuvemu --engine ") +
            nuv::engine_kind_name(GetParam()) + " " + options + " ./crash " + args);
    }
};

// The line of crash.c that carries a marker ("FAULT:stack").
int line_of(const std::string& marker) {
    return nuvtest::line_of(NUV_SOURCE_DIR "/tests/guest/crash.c", marker);
}

using nuvtest::lines;

// "    #N 0x0040021c sum+0xc (crash.c:21)": the function and the line (of
// whichever source file the frame is in).
struct FrameLine {
    unsigned pc = 0;
    std::string function;
    int line = 0;
};

FrameLine parse_frame(const std::string& l, int n) {
    FrameLine f;
    char fn[128] = {};
    int line = 0;
    std::string head = "    #" + std::to_string(n) + " ";
    if (l.rfind(head, 0) != 0) return f;
    if (std::sscanf(l.c_str() + head.size(), "0x%x %127[^+]+0x%*x (%*[^:]:%d)", &f.pc, fn, &line) >=
        2) {
        f.function = fn;
        f.line = line;
    }
    return f;
}

struct Case {
    const char* mode;
    const char* message;  // the report's first line, after "IMAGE: "
    const char* frame0;   // function, and the marker of its line (empty: any line)
    const char* line0;
    const char* frame1;
    const char* line1;
    bool child = false;
};

TEST_P(FaultReports, EachKindNamesItsInstructionFunctionAndLine) {
    const Case cases[] = {
        {"null-read", "guest fault: null-pointer read: read of unmapped memory at 0x00000000 (eip ",
         "sum", "FAULT:null-read", "main", "CALL:null-read"},
        {"null-write",
         "guest fault: null-pointer write: write to unmapped memory at 0x00000004 (eip ", "store",
         "FAULT:null-write", "main", "CALL:null-write"},
        // The first store into a frame past the stack's end; the caller is
        // the recursion itself.
        {"stack", "guest fault: stack overflow: write to unmapped memory at 0xbf7f", "recurse", "",
         "recurse", "FAULT:stack"},
        {"divide", "guest fault: division by zero at eip ", "ratio", "FAULT:divide", "main",
         "CALL:divide"},
        {"invalid", "guest fault: invalid instruction at ", "trap", "FAULT:invalid", "main",
         "CALL:invalid"},
        // Inside the library: its frame information leads back to the
        // caller, not straight to main.
        {"search", "guest fault: read of unmapped memory at 0x00300000 (eip ", "strstr", "", "find",
         "FAULT:search"},
        {"child null-read",
         "guest fault: null-pointer read: read of unmapped memory at 0x00000000 (eip ", "sum",
         "FAULT:null-read", "main", "CALL:null-read", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        nuvtest::ToolRun r = crash(c.mode);
        std::vector<std::string> err = lines(r.err);
        ASSERT_GE(err.size(), 3u) << r.err;
        std::string who =
            "nuvemu: " + (c.child ? std::string("[pid 2] ") : std::string()) + "./crash: ";
        EXPECT_EQ(err[0].rfind(who + c.message, 0), 0u) << r.err;
        FrameLine f0 = parse_frame(err[1], 0), f1 = parse_frame(err[2], 1);
        EXPECT_EQ(f0.function, c.frame0) << r.err;
        if (*c.line0 != 0) {
            EXPECT_EQ(f0.line, line_of(c.line0)) << r.err;
        }
        EXPECT_NE(f0.line, 0) << r.err;
        EXPECT_EQ(f1.function, c.frame1) << r.err;
        EXPECT_EQ(f1.line, line_of(c.line1)) << r.err;
        // The message names the instruction the backtrace starts at.
        char eip[16];
        std::snprintf(eip, sizeof eip, "0x%08x", f0.pc);
        EXPECT_NE(err[0].find(eip), std::string::npos) << r.err;
        if (c.child) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "child 2 ended with 139\n");
        } else {
            EXPECT_EQ(r.status, 139);
        }
    }
}

// Instructions the processor refuses at user privilege fault on both
// engines: syscall (NUV-OS has int 0x80 only; the processor may not say
// where it was) and an iret to a selector that is no user code segment.
TEST_P(FaultReports, SystemCallAndIretFaultAsOnTheProcessor) {
    nuvtest::ToolRun r = crash("syscall");
    EXPECT_EQ(r.status, 139);
    EXPECT_NE(r.err.find("guest fault: system call other than int 0x80 at eip "), std::string::npos)
        << r.err;
    r = crash("iret");
    EXPECT_EQ(r.status, 139);
    EXPECT_NE(r.err.find("guest fault: protection fault at eip "), std::string::npos) << r.err;
    std::vector<std::string> err = lines(r.err);
    ASSERT_GE(err.size(), 2u) << r.err;
    EXPECT_EQ(parse_frame(err[1], 0).function, "leave") << r.err;
}

// At the time limit, or when nuvemu is told to end, each process is named
// with where it stands: the parent waiting for its child in waitpid, the
// child in its endless loop; then the signal ends nuvemu as it ends any
// command.
TEST_P(FaultReports, TheTimeLimitAndAnInterruptionShowEveryProcess) {
    struct Case {
        const char* how;
        nuvtest::ToolRun r;
        int status;
        const char* stopped;
    };
    const std::string nuvemu = std::string(NUV_BIN_DIR "/nuvemu --engine ") +
                               nuv::engine_kind_name(GetParam()) + " ./crash child spin";
    Case cases[] = {
        {"time limit", crash("child spin", "--timeout 1"), 124, "time limit reached"},
        {"SIGTERM",
         nuvtest::run_command("cd " NUV_IMAGE_DIR " && (" + nuvemu +
                              " & p=$!; sleep 1; kill -TERM $p; wait $p)"),
         128 + SIGTERM, "interrupted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        const nuvtest::ToolRun& r = c.r;
        EXPECT_EQ(r.status, c.status);
        std::vector<std::string> err = lines(r.err);
        std::string images = ".";
        ASSERT_GE(err.size(), 1u);
        EXPECT_EQ(err[0].rfind("nuvemu: [pid 1] " + images + "/crash: stopped: " + c.stopped, 0),
                  0u)
            << r.err;
        size_t child = 0;
        for (size_t i = 0; i < err.size(); ++i) {
            if (err[i].rfind("nuvemu: [pid 2] " + images + "/crash: at eip 0x", 0) == 0) child = i;
        }
        ASSERT_NE(child, 0u) << r.err;
        // The parent waits in the library's waitpid, called from main.
        ASSERT_GE(err.size(), 3u);
        EXPECT_EQ(parse_frame(err[1], 0).function, "waitpid") << r.err;
        FrameLine waits = parse_frame(err[2], 1);
        EXPECT_EQ(waits.function, "main") << r.err;
        EXPECT_EQ(waits.line, line_of("CALL:child")) << r.err;
        ASSERT_LT(child + 2, err.size()) << r.err;
        FrameLine f0 = parse_frame(err[child + 1], 0), f1 = parse_frame(err[child + 2], 1);
        EXPECT_EQ(f0.function, "spin") << r.err;
        EXPECT_EQ(f1.function, "main") << r.err;
        EXPECT_EQ(f1.line, line_of("CALL:spin")) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, FaultReports,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const auto& info) { return nuv::engine_kind_name(info.param); });

// Both engines name the same faulting instruction (Unicorn used to name the
// first instruction of its translated block).
TEST(FaultReportsAcrossEngines, TheSameInstructionOnBoth) {
    NUVTEST_NEED_NATIVE_ENGINE();
    for (const char* mode : {"null-read", "null-write", "stack", "divide"}) {
        SCOPED_TRACE(mode);
        std::string first[2];
        int i = 0;
        for (const char* engine : {"unicorn", "native"}) {
            nuvtest::ToolRun r = nuvtest::run_nuvemu(std::string("--engine ") + engine + " " +
                                                     NUV_IMAGE_DIR "/crash " + mode);
            first[i++] = lines(r.err).empty() ? "" : lines(r.err)[0];
        }
        EXPECT_EQ(first[0], first[1]);
    }
}

// The symbolizer alone: functions, lines and an image without debug
// information.
// Names from an image or a guest reach the terminal with their control
// bytes escaped: a symbol named "\x1b]0;x\x07" would retitle the window.
TEST(FaultReportsText, NamesAreShownWithoutControlBytes) {
    using nuv::report::printable;
    EXPECT_EQ(printable("sum"), "sum");
    EXPECT_EQ(printable("a\x1b[31mb\x07\r\x7f"), "a\\x1b[31mb\\x07\\x0d\\x7f");
    EXPECT_EQ(printable("a\\x1b"), "a\\x5cx1b");  // no forged escapes either
    EXPECT_EQ(printable(std::string("\0z", 2)), "\\x00z");
    EXPECT_EQ(printable(std::string(300, 'f')), std::string(200, 'f') + "...");
}

TEST(Symbols, FunctionsAndLinesOfAnImage) {
    std::ifstream in(nuvtest::image_path("crash"), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    auto s = nuv::Symbols::load(bytes);
    ASSERT_TRUE(s->has_symbols());
    EXPECT_TRUE(s->has_lines());
    EXPECT_TRUE(s->has_frame_info());
    uint32_t sum = s->address_of("sum");
    ASSERT_NE(sum, 0u);
    nuv::Symbols::Place p = s->where(sum + 1);
    EXPECT_EQ(p.function, "sum");
    EXPECT_EQ(p.offset, 1u);
    EXPECT_EQ(p.file, "crash.c");
    EXPECT_GT(p.line, 0);
    EXPECT_EQ(nuv::Symbols::describe(s->where(0x10), 0x10), "0x00000010");
    // ver's own code carries symbols but no line information (only the
    // library's does).
    std::ifstream vin(nuvtest::image_path("ver"), std::ios::binary);
    std::vector<uint8_t> vbytes((std::istreambuf_iterator<char>(vin)),
                                std::istreambuf_iterator<char>());
    auto v = nuv::Symbols::load(vbytes);
    EXPECT_TRUE(v->has_symbols());
    EXPECT_EQ(v->where(v->address_of("main")).function, "main");
    EXPECT_EQ(v->where(v->address_of("main")).line, 0);
    // Not an image at all.
    auto none = nuv::Symbols::load(std::vector<uint8_t>{1, 2, 3});
    EXPECT_FALSE(none->has_symbols());
}

}  // namespace
