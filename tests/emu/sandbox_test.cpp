// Files under the sandbox root: the open, read, lseek, close and writefile
// calls on real host files, attempts to get outside the root, and bad guest
// pointers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "guest.hpp"
#include "sandbox.hpp"
#include "sandbox_tree.hpp"

namespace {

namespace fs = std::filesystem;
using nuvtest::listing;

constexpr uint32_t kUnmapped = 0x30000000;

// The sandbox tree (tests/support/sandbox_tree.hpp), with links out of the
// root by absolute and relative paths and one that stays inside.
class Sandboxed : public nuvtest::SandboxTree {
  protected:
    void populate() override {
        fs::create_directories(root_ / "sub");
        put(outside_ / "secret.txt", "secret");
        put(root_ / "hello.txt", "hello, file\n");
        put(root_ / "sub" / "inner.txt", "inner");
        // Links that point outside, by absolute and by relative paths.
        fs::create_symlink(outside_ / "secret.txt", root_ / "out_abs");
        fs::create_symlink("../outside/secret.txt", root_ / "out_rel");
        fs::create_directory_symlink(outside_, root_ / "outdir");
        fs::create_directory_symlink("../outside", root_ / "outdir_rel");
        fs::create_directory_symlink("../..", root_ / "sub" / "up");
        fs::create_symlink(outside_ / "created.txt", root_ / "dangling");
        // A link that stays inside.
        fs::create_symlink("sub/inner.txt", root_ / "to_inner");
    }

    int32_t trap(uint32_t nr, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
        return icall("probe_trap", {nr, a, b, c});
    }
    int32_t open_path(const std::string& path, uint32_t flags = 0, uint32_t mode = 0) {
        return trap(NUV_SYS_open, str(path), flags, mode);
    }
    int32_t writefile(const std::string& path, const std::string& data) {
        uint32_t d = nuvtest::put_bytes(g(), std::vector<uint8_t>(data.begin(), data.end()));
        return trap(NUV_SYS_writefile, str(path), d, static_cast<uint32_t>(data.size()));
    }
    std::string read_fd(int32_t fd, uint32_t n = 256) {
        uint32_t b = buf(n);
        int32_t got = trap(NUV_SYS_read, static_cast<uint32_t>(fd), b, n);
        if (got < 0) return "error " + std::to_string(got);
        std::vector<uint8_t> v = g().read_bytes(b, static_cast<size_t>(got));
        return std::string(v.begin(), v.end());
    }
};

TEST_F(Sandboxed, ReadsARealFileThroughStreams) {
    for (const char* path : {"/hello.txt", "hello.txt", "./sub/../hello.txt", "sub/up/hello.txt"}) {
        uint32_t f = call("fopen", {str(path), str("r")});
        ASSERT_NE(f, 0u) << path;
        uint32_t b = buf(64);
        EXPECT_EQ(call("fread", {b, 1u, 64u, f}), 12u) << path;
        EXPECT_EQ(g().read_string(b, 12), "hello, file\n");
        EXPECT_EQ(icall("feof", {f}), 1);
        EXPECT_EQ(icall("ftell", {f}), 12);
        // Back to the start through lseek, then byte by byte.
        call("rewind", {f});
        EXPECT_EQ(icall("ftell", {f}), 0);
        EXPECT_EQ(icall("fgetc", {f}), 'h');
        EXPECT_EQ(icall("fseek", {f, -2, 2}), 0);
        EXPECT_EQ(icall("ftell", {f}), 10);
        EXPECT_EQ(icall("fgetc", {f}), 'e');
        EXPECT_EQ(icall("fgetc", {f}), '\n');
        EXPECT_EQ(icall("fgetc", {f}), -1);
        EXPECT_EQ(icall("fclose", {f}), 0) << path;
    }
    EXPECT_EQ(call("fopen", {str("missing.txt"), str("r")}), 0u);
    EXPECT_EQ(open_path("missing.txt"), -2);
    // Descriptors are given back on close.
    int32_t fd = open_path("hello.txt");
    EXPECT_EQ(trap(NUV_SYS_close, static_cast<uint32_t>(fd)), 0);
    EXPECT_EQ(trap(NUV_SYS_close, static_cast<uint32_t>(fd)), -9);
    EXPECT_EQ(open_path("hello.txt"), fd);
}

TEST_F(Sandboxed, WritesAFileWithFopenAndFclose) {
    uint32_t f = call("fopen", {str("/new.txt"), str("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(icall("fputs", {str("line one\n"), f}), 9);
    EXPECT_EQ(icall("fputc", {'!', f}), '!');
    EXPECT_FALSE(fs::exists(root_ / "new.txt")) << "nothing is written before fclose";
    EXPECT_EQ(icall("fclose", {f}), 0);
    EXPECT_EQ(get(root_ / "new.txt"), "line one\n!");

    // A stream closed without writes leaves an empty file, replacing the old one.
    f = call("fopen", {str("sub/inner.txt"), str("w")});
    EXPECT_EQ(icall("fclose", {f}), 0);
    EXPECT_EQ(get(root_ / "sub" / "inner.txt"), "");

    // A path the kernel refuses fails at fclose only.
    f = call("fopen", {str("no/such/dir.txt"), str("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(icall("fclose", {f}), -1);
}

TEST_F(Sandboxed, WritefileReplacesWholeFilesAndKeepsTheirPermissions) {
    fs::permissions(root_ / "hello.txt", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(writefile("hello.txt", "new"), 0);
    EXPECT_EQ(get(root_ / "hello.txt"), "new");
    EXPECT_EQ(fs::status(root_ / "hello.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(writefile("/sub/../empty.txt", ""), 0);
    EXPECT_EQ(get(root_ / "empty.txt"), "");
    // A link inside the root is followed; the link itself stays a link.
    EXPECT_EQ(writefile("to_inner", "via the link"), 0);
    EXPECT_TRUE(fs::is_symlink(root_ / "to_inner"));
    EXPECT_EQ(get(root_ / "sub" / "inner.txt"), "via the link");
    // No temporary file is left behind.
    EXPECT_EQ(
        listing(root_),
        (std::set<std::string>{"dangling", "empty.txt", "hello.txt", "out_abs", "out_rel", "outdir",
                               "outdir_rel", "sub", "sub/inner.txt", "sub/up", "to_inner"}));
}

TEST_F(Sandboxed, WritefileRefusals) {
    struct Case {
        std::string path;
        int32_t result;
    };
    const Case cases[] = {
        {"sub", -21},
        {"sub/", -21},
        {"/", -21},
        {".", -21},
        {"sub/..", -21},
        {"newdir/", -21},
        {"hello.txt/", -20},
        {"hello.txt/x", -20},
        {"missing/file.txt", -2},
        {"", -2},
        {std::string(300, 'n'), -36},
        {"/" + std::string(5000, 'a'), -36},
    };
    auto before = listing(root_);
    for (const Case& c : cases) {
        EXPECT_EQ(writefile(c.path, "data"), c.result) << c.path.substr(0, 40);
    }
    EXPECT_EQ(listing(root_), before);
    EXPECT_EQ(get(root_ / "hello.txt"), "hello, file\n");
}

TEST_F(Sandboxed, WritefileLeavesNoNameBehindAndCannotBeCrowdedOut) {
    // Names a temporary could once have had, planted beforehand.
    for (int i = 0; i < 200; ++i) {
        put(root_ / (".nuvemu-write-" + std::to_string(getpid()) + "-" + std::to_string(i)), "");
    }
    auto before = listing(root_);
    EXPECT_EQ(writefile("hello.txt", "replaced"), 0);
    EXPECT_EQ(writefile("fresh.txt", "new"), 0);
    before.insert("fresh.txt");
    EXPECT_EQ(listing(root_), before);
    EXPECT_EQ(get(root_ / "hello.txt"), "replaced");

    // While the content is written the directory holds no extra name, so
    // nothing is left however the emulator ends.
    auto sandbox = nuv::Sandbox::open_root(root_.string());
    ASSERT_TRUE(sandbox.ok());
    const std::set<std::string> sub_before = listing(root_ / "sub");
    std::set<std::string> during;
    int32_t r = (*sandbox)->replace_file("/sub/new.txt", 3, [&](uint64_t, std::span<uint8_t> c) {
        during = listing(root_ / "sub");
        std::fill(c.begin(), c.end(), 'z');
        return true;
    });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(during, sub_before);
    EXPECT_EQ(get(root_ / "sub" / "new.txt"), "zzz");
}

TEST_F(Sandboxed, NoPathReachesOutsideTheRoot) {
    const std::string host_secret = (outside_ / "secret.txt").string();
    const std::string paths[] = {
        "../outside/secret.txt",
        "/../outside/secret.txt",
        "../../../../../../../../" + host_secret,
        host_secret,
        "out_abs",
        "out_rel",
        "dangling",
        "outdir/secret.txt",
        "outdir_rel/secret.txt",
        "sub/up/../outside/secret.txt",
        "/proc/self/root" + host_secret,
    };
    auto outside_before = listing(outside_);
    for (const std::string& p : paths) {
        EXPECT_EQ(open_path(p), -2) << p;
        EXPECT_EQ(open_path(p, 0x241, 0644), -2) << p;
        EXPECT_EQ(writefile(p, "overwritten"), -2) << p;
        EXPECT_EQ(call("fopen", {str(p), str("r")}), 0u) << p;
    }
    EXPECT_EQ(get(outside_ / "secret.txt"), "secret");
    EXPECT_EQ(listing(outside_), outside_before);
    // The sandbox root's parent was not touched either.
    EXPECT_EQ(listing(base_).count("secret.txt"), 0u);
    EXPECT_FALSE(fs::exists(base_ / "new.txt"));
    EXPECT_EQ(writefile("../new.txt", "x"), 0) << "\"..\" stops at the root";
    EXPECT_FALSE(fs::exists(base_ / "new.txt"));
    EXPECT_EQ(get(root_ / "new.txt"), "x");
}

TEST_F(Sandboxed, OpenFlags) {
    // Create and write through the descriptor; the mode applies (less the umask).
    mode_t mask = umask(0);
    umask(mask);
    int32_t fd = open_path("made.txt", 0x41, 0640);
    ASSERT_GE(fd, 3);
    uint32_t text = str("written");
    EXPECT_EQ(trap(NUV_SYS_write, static_cast<uint32_t>(fd), text, 7), 7);
    EXPECT_EQ(read_fd(fd), "error -9") << "write-only";
    EXPECT_EQ(trap(NUV_SYS_close, static_cast<uint32_t>(fd)), 0);
    EXPECT_EQ(get(root_ / "made.txt"), "written");
    EXPECT_EQ(static_cast<mode_t>(fs::status(root_ / "made.txt").permissions() & fs::perms::all),
              0640 & ~mask);

    // Truncate on open; read-only descriptors refuse writes.
    fd = open_path("made.txt", 0x201);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(get(root_ / "made.txt"), "");
    fd = open_path("hello.txt");
    EXPECT_EQ(trap(NUV_SYS_write, static_cast<uint32_t>(fd), text, 7), -9);

    struct Case {
        std::string path;
        uint32_t flags;
        int32_t result;
    };
    const Case refused[] = {
        {"absent.txt", 0x1, -2},   {"absent.txt", 0, -2},      {"hello.txt", 0x2, -22},
        {"hello.txt", 0x400, -22}, {"sub", 0x1, -21},          {"", 0, -2},
        {"hello.txt/", 0, -20},    {"hello.txt/x", 0x41, -20},
    };
    for (const Case& c : refused) EXPECT_EQ(open_path(c.path, c.flags), c.result) << c.path;
    EXPECT_FALSE(fs::exists(root_ / "absent.txt"));

    // A directory opens for reading (as access() probes it) but gives no bytes.
    fd = open_path("sub");
    ASSERT_GE(fd, 3);
    EXPECT_EQ(read_fd(fd), "error -21");
    // A named pipe is never opened on the host (that could block the
    // emulator): it opens as an end of the kernel's own pipe for it.
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0644), 0);
    int32_t reader = open_path("fifo");
    int32_t writer = open_path("fifo", 0x1);
    ASSERT_GE(reader, 3);
    ASSERT_GE(writer, 3);
    EXPECT_EQ(icall("write", {writer, str("x"), 1}), 1);
    EXPECT_EQ(read_fd(reader), "x");
    EXPECT_EQ(writefile("fifo", "x"), -13);
}

TEST_F(Sandboxed, LseekOrigins) {
    put(root_ / "ten.txt", "0123456789");
    int32_t fd = open_path("ten.txt");
    ASSERT_GE(fd, 3);
    const uint32_t ufd = static_cast<uint32_t>(fd);
    struct Case {
        int32_t offset, origin, result;
    };
    const Case cases[] = {
        {3, 0, 3},   {2, 1, 5},          {-2, 2, 8},   {0, 1, 8},    {-9, 1, -22},
        {0, 1, 8},   {0, 3, -22},        {-1, 0, -22}, {0, -1, -22}, {0x7fffffff, 0, 0x7fffffff},
        {1, 1, -22}, {0, 1, 0x7fffffff}, {20, 2, 30},  {4, 0, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            trap(NUV_SYS_lseek, ufd, static_cast<uint32_t>(c.offset), static_cast<uint32_t>(c.origin)),
            c.result)
            << c.offset << " from " << c.origin;
    }
    EXPECT_EQ(read_fd(fd, 3), "456");
    EXPECT_EQ(trap(NUV_SYS_lseek, 1, 0, 0), -29) << "the console cannot be positioned";
    EXPECT_EQ(trap(NUV_SYS_lseek, 40, 0, 0), -9);
    EXPECT_EQ(trap(NUV_SYS_lseek, 0xFFFFFFFF, 0, 0), -9);
}

TEST_F(Sandboxed, BadGuestPointersFailWithoutTouchingTheHost) {
    uint32_t path = str("made.txt");
    uint32_t data = str("data");
    EXPECT_EQ(trap(NUV_SYS_open, 0), -14);
    EXPECT_EQ(trap(NUV_SYS_open, kUnmapped), -14);
    EXPECT_EQ(trap(NUV_SYS_writefile, 0, data, 4), -14);
    EXPECT_EQ(trap(NUV_SYS_writefile, path, kUnmapped, 4), -14);
    EXPECT_EQ(trap(NUV_SYS_writefile, path, data, 0x7fffffff), -14);
    EXPECT_EQ(trap(NUV_SYS_writefile, path, data, 0x80000000u), -22);
    EXPECT_EQ(trap(NUV_SYS_writefile, path, 0xFFFFF000u, 0x2000), -14);
    EXPECT_EQ(icall("writefile", {path, data, 0xFFFFFFFFu}), -14) << "2 GiB claimed";
    EXPECT_FALSE(fs::exists(root_ / "made.txt"));

    // A path that runs into unmapped memory without its NUL.
    const uint32_t end = nuv::Harness::kScratchBase + nuv::Harness::kScratchSize;
    std::vector<uint8_t> unterminated(100, 'a');
    ASSERT_TRUE(g().write(end - 100, unterminated.data(), unterminated.size()));
    EXPECT_EQ(trap(NUV_SYS_open, end - 100), -14);
    EXPECT_EQ(trap(NUV_SYS_writefile, end - 100, data, 1), -14);
    // Reads into memory that is unmapped or not writable.
    int32_t fd = open_path("hello.txt");
    EXPECT_EQ(trap(NUV_SYS_read, static_cast<uint32_t>(fd), kUnmapped, 4), -14);
    EXPECT_EQ(trap(NUV_SYS_read, static_cast<uint32_t>(fd), sym("strstr"), 4), -14);
    EXPECT_EQ(trap(NUV_SYS_read, static_cast<uint32_t>(fd), end - 2, 4), -14);
    EXPECT_EQ(read_fd(fd), "hello, file\n") << "the failed reads consumed nothing";
    // The write call checks its buffer the same way.
    EXPECT_EQ(trap(NUV_SYS_write, 1, kUnmapped, 4), -14);
    EXPECT_EQ(listing(root_).count("made.txt"), 0u);
}

TEST_F(Sandboxed, TheCurrentDirectoryStaysInsideTheRoot) {
    nuv::Sandbox& sb = g().sandbox();
    EXPECT_EQ(sb.cwd(), "/");
    ASSERT_EQ(sb.change_dir("sub"), 0);
    EXPECT_EQ(sb.cwd(), "/sub");
    EXPECT_EQ(read_fd(open_path("inner.txt")), "inner");
    EXPECT_EQ(read_fd(open_path("../hello.txt")), "hello, file\n");
    EXPECT_EQ(read_fd(open_path("/hello.txt")), "hello, file\n");
    EXPECT_EQ(writefile("w.txt", "in sub"), 0);
    EXPECT_EQ(get(root_ / "sub" / "w.txt"), "in sub");
    // Through a link back up: the current directory is named as it really is.
    ASSERT_EQ(sb.change_dir("up"), 0);
    EXPECT_EQ(sb.cwd(), "/");
    ASSERT_EQ(sb.change_dir("../../.."), 0);
    EXPECT_EQ(sb.cwd(), "/");
    EXPECT_EQ(sb.change_dir("outdir"), -2);
    EXPECT_EQ(sb.change_dir("hello.txt"), -20);
    EXPECT_EQ(sb.change_dir(""), -2);
    EXPECT_EQ(sb.cwd(), "/");

    nuv::Sandbox::Entry e;
    ASSERT_EQ(sb.locate("sub/up/sub/inner.txt", e), 0);
    EXPECT_EQ(e.name, "inner.txt");
    EXPECT_EQ(sb.locate("/", e), -22);
    EXPECT_EQ(sb.locate("sub/..", e), -22);
    EXPECT_EQ(sb.locate("outdir/secret.txt", e), -2);
}

TEST(SandboxRoot, AnUnusableRootIsAClearLoadError) {
    nuv::Options o = nuvtest::test_options();
    o.root = "/nonexistent/nuv-root";
    std::string err;
    EXPECT_EQ(nuv::Harness::load(nuvtest::image_path("libtest"), o, err), nullptr);
    EXPECT_NE(err.find("/nonexistent/nuv-root"), std::string::npos) << err;
    o.root = nuvtest::image_path("libtest");  // a file, not a directory
    EXPECT_EQ(nuv::Harness::load(nuvtest::image_path("libtest"), o, err), nullptr);
    EXPECT_NE(err.find("root"), std::string::npos) << err;
}

// The host kernel's own file systems act on the host (a process's memory, the
// kernel's settings): no root reaches into them, not even "/".
TEST(SandboxRoot, NothingOnTheKernelsOwnFileSystemsOpens) {
    auto whole = nuv::Sandbox::open_root("/");
    ASSERT_TRUE(whole.ok());
    nuv::Sandbox& sb = **whole;
    nuv::UniqueFd fd;
    for (const char* path : {"/proc/self/mem", "/proc/sys/kernel/core_pattern", "/proc",
                             "/sys/kernel", "/sys/../proc/self/mem"}) {
        EXPECT_EQ(sb.open(path, O_RDONLY, 0, fd), -13) << path;
    }
    nuv::Sandbox::Entry e;
    EXPECT_EQ(sb.locate("/proc/self/nuv-made", e), -13);
    EXPECT_EQ(sb.open("/etc/hostname", O_RDONLY, 0, fd), 0);  // the rest of "/" stays usable
    EXPECT_FALSE(nuv::Sandbox::open_root("/proc/self").ok());
}

TEST(SandboxRoot, NuvemuTakesTheRootOnItsCommandLine) {
    const std::string nuvemu = NUV_BIN_DIR "/nuvemu";
    const std::string ver = nuvtest::image_path("ver");
    auto run = [](const std::string& cmd) {
        int status = std::system((cmd + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(nuvemu + " --root /tmp " + ver), 0);
    EXPECT_EQ(run(nuvemu + " --root=/tmp " + ver), 0);
    EXPECT_EQ(run(nuvemu + " --root /nonexistent/nuv-root " + ver), 125);
    EXPECT_EQ(run(nuvemu + " --root"), 125);
}

}  // namespace
