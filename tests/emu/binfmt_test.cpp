// Running images by name: the binfmt_misc pattern takes every image the
// toolkit links and nothing else (a table of header fields changed one at a
// time), nuvemu --binfmt refuses clearly where it may not register, and where
// it may, an image started by name runs under nuvemu. The rule is registered
// under a name of this test's own and always removed: binfmt_misc belongs to
// the whole machine.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "binfmt.hpp"
#include "guest.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::cli::binfmt::matches;

std::vector<uint8_t> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Binfmt, ThePatternTakesEveryImageTheToolkitLinks) {
    for (const char* image : {"ver", "libtest", "hello", "pipeline", "sleeper", "dirs", "memout",
                              "io_probe", "diskfill", "crash"}) {
        SCOPED_TRACE(image);
        EXPECT_TRUE(matches(bytes_of(nuvtest::image_path(image))));
    }
}

TEST(Binfmt, ThePatternLeavesOtherProgramsAlone) {
    // Other programs: the native engine's own 32-bit stub, the host's
    // programs, nuvemu itself, text.
    for (const std::string path : {NUV_BIN_DIR "/nuvstub", NUV_BIN_DIR "/nuvemu", "/bin/sh"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(matches(bytes_of(path)));
    }
    // An ordinary static i386 program, where the benchmarks built one.
    if (const std::string bench = nuvtest::image_path("bench_guest"); fs::exists(bench)) {
        EXPECT_FALSE(matches(bytes_of(bench)));
    }
    const std::string text = "#!/bin/sh\necho not an image, however long this line goes on\n";
    EXPECT_FALSE(matches(std::vector<uint8_t>(text.begin(), text.end())));
    // Each field that makes an image, changed alone.
    struct Change {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
    };
    const Change changes[] = {
        {"64-bit", 4, {2}},
        {"big-endian", 5, {2}},
        {"another system's ABI", 7, {3}},
        {"a shared object", 16, {3, 0}},
        {"another machine", 18, {0x3e, 0}},
        {"entry elsewhere (an ordinary i386 program)", 24, {0x00, 0x90, 0x04, 0x08}},
        {"entry past the first byte", 24, {0x10, 0x00, 0x40, 0x00}},
        {"program headers elsewhere", 28, {0x40, 0, 0, 0}},
        {"processor flags", 36, {1, 0, 0, 0}},
        {"program header size", 42, {0x38, 0}},
        {"four segments", 44, {4, 0}},
        {"first segment not loaded", 52, {6, 0, 0, 0}},
        {"first segment elsewhere", 60, {0x00, 0x80, 0x04, 0x08}},
        {"first segment writable", 76, {7, 0, 0, 0}},
        {"cut short", 0x4f, {}},
    };
    const std::vector<uint8_t> ver = bytes_of(nuvtest::image_path("ver"));
    ASSERT_TRUE(matches(ver));
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> v = ver;
        if (c.bytes.empty()) v.resize(c.offset);
        std::copy(c.bytes.begin(), c.bytes.end(), v.begin() + static_cast<ptrdiff_t>(c.offset));
        EXPECT_FALSE(matches(v));
    }
    // What the rule leaves out: where the sections lie and how many there are.
    std::vector<uint8_t> v = ver;
    v[32] ^= 0x10;
    v[48] ^= 1;
    EXPECT_TRUE(matches(v));
}

TEST(Binfmt, TheRuleIsOneTheHostKernelTakes) {
    const std::string r = nuv::cli::binfmt::rule("nuvos", "/opt/nuv/bin/nuvemu");
    // :name:type:offset:magic:mask:interpreter:flags, the bytes escaped so
    // that no ':' of theirs splits it; binfmt_misc takes 128 bytes at most.
    EXPECT_EQ(std::count(r.begin(), r.end(), ':'), 7) << r;
    EXPECT_EQ(r.rfind(":/opt/nuv/bin/nuvemu:F"), r.size() - 22) << r;
    EXPECT_LE(nuv::cli::binfmt::pattern().magic.size(), 128u);
    EXPECT_EQ(nuv::cli::binfmt::pattern().magic.size(), nuv::cli::binfmt::pattern().mask.size());
    for (const char* bad : {"", "register", "status", "a/b", "a:b", ".."}) {
        EXPECT_FALSE(nuv::cli::binfmt::valid_name(bad)) << bad;
    }
    EXPECT_TRUE(nuv::cli::binfmt::valid_name("nuvos-test_1.2"));
}

TEST(Binfmt, WrongUsageIsToldAndChangesNothing) {
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"--binfmt", "usage: nuvemu --binfmt register|unregister|status [NAME]"},
        {"--binfmt enable", "takes register, unregister or status"},
        {"--binfmt register a:b", "cannot name a rule"},
        {"--binfmt register nuvos extra", "usage: nuvemu --binfmt"},
        {"--trace --binfmt status", "usage: nuvemu --binfmt"},
    };
    for (const Case& c : cases) {
        nuvtest::ToolRun r = nuvtest::run_nuvemu(c.args);
        EXPECT_EQ(r.status, 125) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

TEST(Binfmt, WithoutTheRightToRegisterTheReasonIsTold) {
    if (::geteuid() != 0) {
        // This very user may not: the refusal is the case itself.
        nuvtest::ToolRun r = nuvtest::run_nuvemu("--binfmt register nuvtest-refused");
        EXPECT_EQ(r.status, 125);
        EXPECT_NE(r.err.find("nuvemu: --binfmt register: "), std::string::npos) << r.err;
        return;
    }
    if (nuvtest::run_command("command -v setpriv >/dev/null").status != 0) {
        GTEST_SKIP() << "no setpriv to run nuvemu as another user";
    }
    nuvtest::ToolRun r =
        nuvtest::run_command("setpriv --reuid=65534 --regid=65534 --clear-groups " NUV_BIN_DIR
                             "/nuvemu --binfmt register nuvtest-refused-" +
                             std::to_string(getpid()));
    if (r.status == 127 || r.err.find("setpriv:") != std::string::npos) {
        GTEST_SKIP() << "cannot run nuvemu as another user here: " << r.err;
    }
    EXPECT_EQ(r.status, 125);
    // Not root, or binfmt_misc out of reach here: either way, said so.
    const bool told =
        r.err.find("only root may change binfmt_misc: run it with sudo") != std::string::npos ||
        r.err.find("binfmt_misc is not mounted") != std::string::npos ||
        r.err.find("has no") != std::string::npos;
    EXPECT_TRUE(told) << r.err;
}

// Removes the rule whatever happens to the test.
class Registration {
  public:
    explicit Registration(std::string name) : name_(std::move(name)) {}
    ~Registration() { nuvtest::run_nuvemu("--binfmt unregister " + name_); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

TEST(Binfmt, ARegisteredImageRunsByNameUnderNuvemu) {
    Registration reg("nuvtest-" + std::to_string(getpid()));
    nuvtest::ToolRun r = nuvtest::run_nuvemu("--binfmt register " + reg.name());
    if (r.status != 0) {
        // Where registering is not possible, the reason is told, and that
        // is all there is to test here.
        EXPECT_EQ(r.status, 125);
        EXPECT_NE(r.err.find("nuvemu: --binfmt register: "), std::string::npos) << r.err;
        GTEST_SKIP() << "cannot register here: " << r.err;
    }
    EXPECT_NE(r.out.find(reg.name() + ": registered"), std::string::npos) << r.out;
    nuvtest::ToolRun status = nuvtest::run_nuvemu("--binfmt status " + reg.name());
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("enabled"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("interpreter " + fs::canonical(NUV_BIN_DIR "/nuvemu").string()),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("flags: F"), std::string::npos) << status.out;

    // An image in a directory of its own, started by name: the root is that
    // directory, where it finds its data; a path outside it is explained.
    nuvtest::ScratchDir dir("binfmt");
    fs::copy_file(nuvtest::image_path("hello"), dir.path() + "/hello");
    fs::permissions(dir.path() + "/hello", fs::perms::owner_exec, fs::perm_options::add);
    nuvtest::write_file(dir.path() + "/data.txt", "data\n");
    nuvtest::ToolRun run = nuvtest::run_command("cd " + dir.path() + " && ./hello by-name 3");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.out, "by-name\n");
    run = nuvtest::run_command("cd " + dir.path() + " && ./hello -open data.txt /data.txt");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "open data.txt = 3\nopen /data.txt = 3\n");
    // Executed under a bare name that looks like an option (execvp with an
    // empty PATH entry), it is still the image.
    fs::copy_file(dir.path() + "/hello", dir.path() + "/-hello");
    run = nuvtest::run_command("cd " + dir.path() + " && env -- PATH=: -hello dash 4");
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(run.out, "dash\n");

    // Registering again replaces the rule; unregistering removes it.
    EXPECT_EQ(nuvtest::run_nuvemu("--binfmt register " + reg.name()).status, 0);
    nuvtest::ToolRun gone = nuvtest::run_nuvemu("--binfmt unregister " + reg.name());
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(gone.out, reg.name() + ": unregistered\n");
    status = nuvtest::run_nuvemu("--binfmt status " + reg.name());
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.out, reg.name() + ": not registered\n");
}

// A rule of the same name that another program registered is neither
// replaced nor removed, and status says whose it is.
TEST(Binfmt, ARuleOfAnotherProgramIsLeftAlone) {
    const std::string name = "nuvtest-other-" + std::to_string(getpid());
    const std::string entry = std::string(nuv::cli::binfmt::kDirectory) + "/" + name;
    std::ofstream(std::string(nuv::cli::binfmt::kDirectory) + "/register")
        << ":" << name << ":E::nuvtestother::/bin/true:";
    if (!fs::exists(entry)) GTEST_SKIP() << "cannot register a rule here";
    struct Removal {
        std::string entry;
        ~Removal() { std::ofstream(entry) << "-1"; }
    } removal{entry};
    for (const char* verb : {"register", "unregister"}) {
        nuvtest::ToolRun r = nuvtest::run_nuvemu(std::string("--binfmt ") + verb + " " + name);
        EXPECT_EQ(r.status, 125) << verb;
        EXPECT_NE(r.err.find(name + " is a rule of another program"), std::string::npos) << r.err;
        EXPECT_NE(nuvtest::read_file(entry).find("interpreter /bin/true"), std::string::npos)
            << verb << " changed the rule";
    }
    nuvtest::ToolRun status = nuvtest::run_nuvemu("--binfmt status " + name);
    EXPECT_EQ(status.status, 1);
    EXPECT_NE(status.out.find("a rule of another program"), std::string::npos) << status.out;
}

}  // namespace
