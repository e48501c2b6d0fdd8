// Images built through the kit's driver with -fsanitize=address and
// -fsanitize=undefined (guest/sanbugs.c), run on each engine: every planted
// bug is reported with its kind, the access's size, its address relative to
// the block, and both backtraces by function and source line; undefined
// behaviour prints its line and the program goes on; a correct program runs
// the same with the sanitizer as without it.
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "guest.hpp"
#include "source_lines.hpp"

namespace {

using nuv::EngineKind;

constexpr const char* kSource = NUV_SOURCE_DIR "/tests/guest/sanbugs.c";

// The images, built with the project (tests/CMakeLists.txt) so that a
// machine without build tools runs them too: with each sanitizer and without.
constexpr const char* kImages = NUV_BINARY_DIR "/sanbugs";

int line_of(const std::string& marker) {
    return nuvtest::line_of(kSource, marker);
}

using nuvtest::lines;

// "    #N 0x0040021c heap_overflow+0x26 (sanbugs.c:30)": function and line.
struct Frame {
    std::string function;
    int line = 0;
};
Frame parse_frame(const std::string& l, int n) {
    Frame f;
    char fn[128] = {};
    int line = 0;
    const std::string head = "    #" + std::to_string(n) + " ";
    if (l.rfind(head, 0) != 0) return f;
    if (std::sscanf(l.c_str() + head.size(), "0x%*x %127[^+]+0x%*x (sanbugs.c:%d)", fn, &line) >=
        1) {
        f.function = fn;
        f.line = line;
    }
    return f;
}

// The frames that follow the line `title` ("" : from line 2), innermost first.
std::vector<Frame> frames_after(const std::vector<std::string>& err, const std::string& title) {
    size_t i = 2;
    if (!title.empty()) {
        for (i = 0; i < err.size() && err[i] != title; ++i) {
        }
        ++i;
    }
    std::vector<Frame> out;
    for (; i < err.size(); ++i) {
        Frame f = parse_frame(err[i], static_cast<int>(out.size()));
        if (f.function.empty()) break;
        out.push_back(f);
    }
    return out;
}

class SanitizerReports : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() == EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
    }
    nuvtest::ToolRun run(const std::string& image, const std::string& mode) {
        return nuvtest::run_command(std::string("cd ") + kImages +
                                    " && " NUV_BIN_DIR "/nuvemu --engine " +
                                    nuv::engine_kind_name(GetParam()) + " ./" + image + " " + mode);
    }
};

struct Bug {
    const char* mode;
    const char* kind;
    const char* access;    // the second line, up to the address
    std::string relative;  // what follows the address
    // The access's first two frames (function, marker of its line); the
    // block's allocation and free (empty: not shown).
    const char* frame0;
    const char* line0;
    const char* frame1;
    const char* line1;
    const char* alloc;
    const char* freed;
};

TEST_P(SanitizerReports, EachBugItsKindSizePlaceAndBacktraces) {
    const Bug bugs[] = {
        {"heap-overflow", "heap-buffer-overflow", "write of 1 byte at ",
         ": 0 bytes after the 10-byte heap block at ", "heap_overflow", "BUG:heap-overflow", "main",
         nullptr, "heap-overflow", nullptr},
        {"heap-underflow", "heap-buffer-underflow", "read of 4 bytes at ",
         ": 4 bytes before the 16-byte heap block at ", "heap_underflow", "BUG:heap-underflow",
         "main", nullptr, "heap-underflow", nullptr},
        {"stack-overflow", "stack-buffer-overflow", "write of 1 byte at ",
         ": 0 bytes after the 10-byte variable 'buf' (line " + std::to_string(line_of("VAR:buf")) +
             ") of stack_overflow at ",
         "stack_overflow", "BUG:stack-overflow", "main", nullptr, nullptr, nullptr},
        {"stack-underflow", "stack-buffer-underflow", "read of 4 bytes at ",
         ": 4 bytes before the 16-byte variable 'four' (line " +
             std::to_string(line_of("VAR:four")) + ") of stack_underflow at ",
         "stack_underflow", "BUG:stack-underflow", "main", nullptr, nullptr, nullptr},
        {"global-overflow", "global-buffer-overflow", "read of 4 bytes at ",
         ": 0 bytes after the 20-byte global 'g_table' at ", "global_overflow",
         "BUG:global-overflow", "main", nullptr, nullptr, nullptr},
        {"use-after-free", "heap-use-after-free", "read of 1 byte at ",
         ": 2 bytes inside the 8-byte heap block at ", "use_after_free", "BUG:use-after-free",
         "main", nullptr, "use-after-free", "use-after-free"},
        // The library's memcpy, checked by its wrapper.
        {"copy-overflow", "heap-buffer-overflow", "write of 10 bytes at ",
         ": 0 bytes after the 8-byte heap block at ", "copy_overflow", "BUG:copy-overflow", "main",
         nullptr, "copy-overflow", nullptr},
        {"double-free", "double-free", "free of ", ": 0 bytes inside the 4-byte heap block at ",
         "release", "FREE", "double_free", "BUG:double-free", "double-free", "double-free"},
        {"wild", "wild-access", "read of 4 bytes at ", ": no memory of the program's at 0x12345678",
         "wild", "BUG:wild", "main", nullptr, nullptr, nullptr},
    };
    for (const Bug& b : bugs) {
        SCOPED_TRACE(b.mode);
        nuvtest::ToolRun r = run("asan", b.mode);
        EXPECT_EQ(r.status, 139);
        std::vector<std::string> err = lines(r.err);
        ASSERT_GE(err.size(), 4u) << r.err;
        EXPECT_EQ(err[0], std::string("nuvemu: ./asan: address sanitizer: ") + b.kind) << r.err;
        // "  write of 1 byte at 0x00503010: 0 bytes after ..."
        const std::string access = std::string("  ") + b.access;
        ASSERT_EQ(err[1].rfind(access, 0), 0u) << r.err;
        ASSERT_GT(err[1].size(), access.size() + 10) << r.err;
        // An access that runs out of its block names its first bad byte.
        std::string rest = err[1].substr(access.size() + 10);
        const std::string first = " (its first bad byte at 0x";
        if (rest.rfind(first, 0) == 0) rest = rest.substr(first.size() + 9);
        EXPECT_EQ(rest.rfind(b.relative, 0), 0u) << r.err;

        std::vector<Frame> at = frames_after(err, "");
        ASSERT_GE(at.size(), 2u) << r.err;
        EXPECT_EQ(at[0].function, b.frame0) << r.err;
        EXPECT_EQ(at[0].line, line_of(b.line0)) << r.err;
        EXPECT_EQ(at[1].function, b.frame1) << r.err;
        if (b.line1 != nullptr) {
            EXPECT_EQ(at[1].line, line_of(b.line1)) << r.err;
        }
        std::vector<Frame> alloc = frames_after(err, "  the block was allocated at:");
        std::vector<Frame> freed = frames_after(err, "  the block was freed at:");
        if (b.alloc == nullptr) {
            EXPECT_TRUE(alloc.empty()) << r.err;
        } else {
            ASSERT_GE(alloc.size(), 2u) << r.err;
            EXPECT_EQ(alloc[0].line, line_of(std::string("ALLOC:") + b.alloc)) << r.err;
            EXPECT_EQ(alloc[1].function, "main") << r.err;
        }
        if (b.freed == nullptr) {
            EXPECT_TRUE(freed.empty()) << r.err;
        } else {
            ASSERT_GE(freed.size(), 2u) << r.err;
            EXPECT_EQ(freed[0].function, "release") << r.err;
            EXPECT_EQ(freed[0].line, line_of("FREE")) << r.err;
            EXPECT_EQ(freed[1].line, line_of(std::string("CALL:") + b.freed)) << r.err;
        }
    }
}

// Undefined behaviour: one line naming the place and what happened, and the
// program goes on.
TEST_P(SanitizerReports, UndefinedBehaviourIsPrintedAndTheProgramGoesOn) {
    const struct {
        const char* mode;
        const char* out;
        const char* error;  // after "FILE:LINE:COLUMN: runtime error: "
    } cases[] = {
        {"signed-overflow", "-2147483648\n",
         "signed integer overflow: 1 + 2147483647 cannot be represented in type 'int'"},
        {"shift", nullptr, "shift exponent 40 is too large for 32-bit type 'int'"},
        {"index", nullptr, "index 4 out of bounds for type 'int [4]'"},
        {"negate", nullptr, "negation of -2147483648 cannot be represented in type 'int'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        nuvtest::ToolRun r = run("ubsan", c.mode);
        EXPECT_EQ(r.status, 0) << r.err;
        if (c.out != nullptr) {
            EXPECT_EQ(r.out, c.out);
        } else {
            EXPECT_EQ(r.out.size(), 2u) << r.out;  // "0\n" or "1\n": it went on
        }
        // The first line is the check's (a bad index may draw a second,
        // for the size of the object read); every line names the place.
        const std::string place = std::string(kSource) + ":" +
                                  std::to_string(line_of(std::string("BUG:") + c.mode)) + ":";
        std::vector<std::string> err = lines(r.err);
        ASSERT_FALSE(err.empty());
        for (const std::string& l : err) EXPECT_EQ(l.rfind(place, 0), 0u) << r.err;
        const std::string tail = std::string(": runtime error: ") + c.error;
        ASSERT_GE(err[0].size(), tail.size()) << r.err;
        EXPECT_EQ(err[0].substr(err[0].size() - tail.size()), tail) << r.err;
    }
}

// With -fsanitize-undefined-trap-on-error the same behaviour is a fault of
// the function, and the image carries none of the runtime; nor does one
// built without a sanitizer.
TEST_P(SanitizerReports, TrapsAndPlainImagesCarryNoRuntime) {
    nuvtest::ToolRun r = run("trap", "signed-overflow");
    EXPECT_EQ(r.status, 139);
    EXPECT_EQ(r.err.rfind("nuvemu: ./trap: guest fault: invalid instruction at ", 0), 0u) << r.err;
    EXPECT_EQ(parse_frame(lines(r.err).at(1), 0).function, "signed_overflow") << r.err;
    if (GetParam() == EngineKind::Native) return;  // the images are the same
    for (const char* image : {"trap", "plain"}) {
        nuvtest::ToolRun syms =
            nuvtest::run_command("readelf -sW " + std::string(kImages) + "/" + image +
                                 " | grep -c 'nuv_san\\|__asan\\|__ubsan'");
        EXPECT_EQ(syms.out, "0\n") << image;
    }
}

// A correct program: the same output and status with the sanitizers as
// without, and no report.
TEST_P(SanitizerReports, ACorrectProgramRunsAlike) {
    nuvtest::ToolRun plain = run("plain", "clean");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "245250\n");
    for (const char* image : {"asan", "ubsan"}) {
        SCOPED_TRACE(image);
        nuvtest::ToolRun r = run(image, "clean");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.err, "");
    }
}

// C++: new and delete go through the sanitizer's heap, and the allocation's
// backtrace has the function that called new.
TEST(SanitizerBuilds, CxxUseAfterDeleteNamesTheFunctionThatCalledNew) {
    nuvtest::ScratchDir dir("nuvsan-cxx");
    nuvtest::write_file(dir.path() + "/cxx.cpp",
                        "#include <nuvos/meta.h>\n"
                        "NUV_COMMAND_RECORD(0, \"cxx\", \"C++ new and delete.\");\n"
                        "struct P { int a[3]; };\n"
                        "__attribute__((noinline)) P* make() { return new P(); }\n"
                        "int main(int, char**) {\n"
                        "    P* p = make();\n"
                        "    delete p;\n"
                        "    return p->a[1];\n"
                        "}\n");
    nuvtest::ToolRun built = nuvtest::run_command(
        "cd " + dir.path() +
        " && " NUV_BIN_DIR "/nuvos-c++ -g -O1 -fsanitize=address -o cxx cxx.cpp 2>&1");
    ASSERT_EQ(built.status, 0) << built.out;
    nuvtest::ToolRun r = nuvtest::run_command("cd " + dir.path() +
                                              " && " NUV_BIN_DIR "/nuvemu --engine unicorn ./cxx");
    EXPECT_EQ(r.status, 139);
    std::vector<std::string> err = lines(r.err);
    ASSERT_GE(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0], "nuvemu: ./cxx: address sanitizer: heap-use-after-free");
    EXPECT_NE(err[1].find(": 4 bytes inside the 12-byte heap block at "), std::string::npos)
        << r.err;
    std::vector<Frame> alloc = frames_after(err, "  the block was allocated at:");
    ASSERT_GE(alloc.size(), 2u) << r.err;
    EXPECT_EQ(alloc[0].function, "_Z4makev") << r.err;
    EXPECT_EQ(alloc[1].function, "main") << r.err;
}

// The same option through the CMake package (nuvos_add_command's options)
// and the toolchain file (CMAKE_C_FLAGS): the drivers compile and link there.
TEST(SanitizerBuilds, ThroughTheCMakePackageAndTheToolchainFile) {
    nuvtest::ScratchDir dir("nuvsan-cmake");
    const std::string kit = std::string(NUV_BIN_DIR) + "/..";
    std::filesystem::create_directories(dir.path() + "/package");
    std::filesystem::create_directories(dir.path() + "/toolchain");
    nuvtest::write_file(
        dir.path() + "/package/CMakeLists.txt",
        "cmake_minimum_required(VERSION 3.20)\nproject(p C)\n"
        "find_package(NuvOS REQUIRED)\n"
        "nuvos_add_command(bugs SOURCES " NUV_SOURCE_DIR
        "/tests/guest/sanbugs.c"
        " DESCRIPTION bugs COMPILE_OPTIONS -g -O1 -fsanitize=address"
        " COMPILE_DEFINITIONS SANBUGS_NO_RECORD LINK_OPTIONS -fsanitize=address)\n");
    nuvtest::write_file(dir.path() + "/toolchain/CMakeLists.txt",
                        "cmake_minimum_required(VERSION 3.20)\nproject(t C)\n"
                        "add_executable(bugs " NUV_SOURCE_DIR "/tests/guest/sanbugs.c)\n");
    const struct {
        const char* name;
        std::string configure, image;
    } builds[] = {
        {"package", "-DCMAKE_PREFIX_PATH=" + kit, "b/images/bugs"},
        {"toolchain",
         "-DCMAKE_TOOLCHAIN_FILE=" + kit +
             "/lib/cmake/NuvOS/NuvOSToolchain.cmake "
             "'-DCMAKE_C_FLAGS=-g -O1 -fsanitize=address'",
         "b/bugs"},
    };
    for (const auto& b : builds) {
        SCOPED_TRACE(b.name);
        const std::string in = "cd " + dir.path() + "/" + b.name + " && ";
        nuvtest::ToolRun built = nuvtest::run_command(in + "cmake -S . -B b " + b.configure +
                                                      " >/dev/null 2>&1 && cmake --build b 2>&1");
        ASSERT_EQ(built.status, 0) << built.out;
        nuvtest::ToolRun r = nuvtest::run_command(in + NUV_BIN_DIR "/nuvemu --engine unicorn " +
                                                  b.image + " global-overflow");
        EXPECT_EQ(r.status, 139);
        EXPECT_EQ(r.err.rfind("nuvemu: " + b.image +
                                  ": address sanitizer: global-buffer-overflow\n"
                                  "  read of 4 bytes at ",
                              0),
                  0u)
            << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, SanitizerReports,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const auto& info) { return nuv::engine_kind_name(info.param); });

}  // namespace
