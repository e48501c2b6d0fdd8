// Directories, names, the current directory, named pipes, streamed files and
// spawning by guest path, all inside the sandbox root.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "guest.hpp"
#include "kernel.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::Stop;

class FsCalls : public nuvtest::LibTest {
  protected:
    void SetUp() override {
        scratch_ = std::make_unique<nuvtest::ScratchDir>("nuvfs");
        base_ = scratch_->path();
        root_ = base_ / "root";
        outside_ = base_ / "outside";
        fs::create_directories(root_ / "sub" / "deep");
        fs::create_directories(outside_);
        put(outside_ / "secret", "secret");
        put(root_ / "hello.txt", "hello\n");
        fs::create_symlink(outside_ / "secret", root_ / "out_abs");
        fs::create_directory_symlink(outside_, root_ / "outdir");
        fs::create_directory_symlink("../outside", root_ / "outdir_rel");
        opts_.root = root_.string();
        nuvtest::LibTest::SetUp();
    }
    void TearDown() override {
        m_.reset();
        scratch_.reset();
    }
    static void put(const fs::path& p, const std::string& s) { nuvtest::write_file(p, s); }
    static std::string get(const fs::path& p) { return nuvtest::read_file(p); }
    int32_t path_call(const char* fn, const std::string& path) { return icall(fn, {str(path)}); }
    std::string cwd() {
        uint32_t b = buf(256);
        int32_t n = icall("getcwd", {b, 256});
        return n < 0 ? "error " + std::to_string(n) : g().read_string(b);
    }
    // Everything under the outside directory, which the guest must never change.
    std::vector<std::string> outside_listing() const {
        std::vector<std::string> v;
        for (const auto& e : fs::recursive_directory_iterator(outside_)) v.push_back(e.path());
        return v;
    }

    std::unique_ptr<nuvtest::ScratchDir> scratch_;
    fs::path base_, root_, outside_;
};

TEST_F(FsCalls, NamesAreMadeAndRemovedInsideTheRootOnly) {
    struct Case {
        const char* fn;
        std::string path;
        int32_t result;
    };
    const Case cases[] = {
        {"mkdir", "a", 0},
        {"mkdir", "a", -NUV_EEXIST},
        {"mkdir", "a/b/", 0},
        {"mkdir", "missing/x", -NUV_ENOENT},
        {"mkdir", "hello.txt/x", -NUV_ENOTDIR},
        {"mkdir", "/../../made_at_top", 0},      // ".." stops at the root
        {"mkdir", "outdir/x", -NUV_ENOENT},      // the link resolves inside the root
        {"mkdir", "outdir_rel/x", -NUV_ENOENT},  // "../outside" from the root is /outside
        // Directories that always exist, when the path to them does.
        {"mkdir", ".", -NUV_EEXIST},
        {"mkdir", "..", -NUV_EEXIST},
        {"mkdir", "/", -NUV_EEXIST},
        {"mkdir", "sub/../", -NUV_EEXIST},
        {"mkdir", "missing/..", -NUV_ENOENT},
        {"mkdir", "hello.txt/.", -NUV_ENOTDIR},
        {"rmdir", "sub", -NUV_ENOTEMPTY},
        {"rmdir", "hello.txt", -NUV_ENOTDIR},
        {"rmdir", "a/b", 0},
        {"rmdir", "a/b", -NUV_ENOENT},
        {"rmdir", "outdir", -NUV_ENOTDIR},  // a link is not a directory to remove
        {"unlink", "sub", -NUV_EISDIR},
        {"unlink", "hello.txt/", -NUV_ENOTDIR},
        {"unlink", "missing", -NUV_ENOENT},
        {"unlink", "out_abs", 0},  // the link goes, not what it names
        {"unlink", "hello.txt", 0},
        {"mkfifo", "f", 0},
        {"mkfifo", "f", -NUV_EEXIST},
        {"mkfifo", "nowhere/f", -NUV_ENOENT},
        {"unlink", "f", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(path_call(c.fn, c.path), c.result) << c.fn << " " << c.path;
    }
    EXPECT_TRUE(fs::is_directory(root_ / "a"));
    EXPECT_TRUE(fs::is_directory(root_ / "made_at_top"));
    EXPECT_FALSE(fs::exists(root_ / "hello.txt"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "out_abs")));
    EXPECT_EQ(get(outside_ / "secret"), "secret");
    EXPECT_EQ(outside_listing(), std::vector<std::string>{(outside_ / "secret").string()});
    EXPECT_FALSE(fs::exists(base_ / "made_at_top"));
    // The root itself and the special names cannot be removed.
    for (const char* p : {"/", ".", "..", "sub/.", "sub/.."}) {
        EXPECT_LT(path_call("rmdir", p), 0) << p;
    }
    EXPECT_TRUE(fs::is_directory(root_ / "sub"));
    // Bad guest pointers.
    for (uint32_t nr : {49u, 50u, 51u, 95u, 125u, 53u}) {
        EXPECT_EQ(icall("probe_trap", {nr, 0x30000000, 0, 0}), -NUV_EFAULT) << nr;
    }
}

TEST_F(FsCalls, CurrentDirectoryMovesAndRelativePathsFollowIt) {
    EXPECT_EQ(cwd(), "/");
    EXPECT_EQ(path_call("chdir", "sub/deep"), 0);
    EXPECT_EQ(cwd(), "/sub/deep");
    EXPECT_EQ(path_call("mkdir", "here"), 0);
    EXPECT_TRUE(fs::is_directory(root_ / "sub" / "deep" / "here"));
    EXPECT_EQ(path_call("chdir", "../../../.."), 0);
    EXPECT_EQ(cwd(), "/");
    EXPECT_EQ(path_call("chdir", "hello.txt"), -NUV_ENOTDIR);
    EXPECT_EQ(path_call("chdir", "missing"), -NUV_ENOENT);
    EXPECT_EQ(path_call("chdir", "outdir"), -NUV_ENOENT);
    EXPECT_EQ(cwd(), "/");

    // getcwd: the length, the path and its NUL; too small a buffer is -34.
    EXPECT_EQ(path_call("chdir", "/sub"), 0);
    uint32_t b = buf(8, 0x55);
    EXPECT_EQ(icall("getcwd", {b, 4}), -NUV_ERANGE);
    EXPECT_EQ(g().read_bytes(b, 1)[0], 0x55);
    EXPECT_EQ(icall("getcwd", {b, 5}), 4);
    EXPECT_EQ(g().read_bytes(b, 6), (std::vector<uint8_t>{'/', 's', 'u', 'b', 0, 0x55}));
    EXPECT_EQ(icall("getcwd", {0x400000u, 64}), -NUV_EFAULT);  // read-only code
    EXPECT_EQ(icall("getcwd", {nuv::Machine::kStackTop - 3, 64}), -NUV_EFAULT);
}

TEST_F(FsCalls, StreamedFileAppearsWholeAtTheEnd) {
    put(root_ / "old.txt", "old content");
    int32_t s = path_call("nuvfs_stream_begin", "old.txt");
    ASSERT_GT(s, 0);
    // Later moves of the current directory do not move the stream.
    EXPECT_EQ(path_call("chdir", "sub"), 0);
    std::string whole;
    for (int i = 0; i < 50; ++i) {
        std::string piece = "piece " + std::to_string(i) + "\n";
        whole += piece;
        ASSERT_EQ(icall("nuvfs_stream_write", {s, str(piece), static_cast<uint32_t>(piece.size())}),
                  static_cast<int32_t>(piece.size()));
        ASSERT_EQ(get(root_ / "old.txt"), "old content");
    }
    EXPECT_EQ(icall("nuvfs_stream_write", {s, str(""), 0}), 0);
    EXPECT_EQ(icall("nuvfs_stream_end", {s}), 0);
    EXPECT_EQ(get(root_ / "old.txt"), whole);
    EXPECT_EQ(icall("nuvfs_stream_end", {s}), -NUV_EBADF);
    EXPECT_EQ(icall("nuvfs_stream_write", {s, str("x"), 1}), -NUV_EBADF);
    EXPECT_EQ(g().kernel().open_streams(), 0u);
    // An empty stream makes an empty file, relative to the current directory.
    int32_t e = path_call("nuvfs_stream_begin", "empty");
    EXPECT_EQ(icall("nuvfs_stream_end", {e}), 0);
    EXPECT_TRUE(fs::is_regular_file(root_ / "sub" / "empty"));
    EXPECT_EQ(fs::file_size(root_ / "sub" / "empty"), 0u);
}

TEST_F(FsCalls, StreamsRefuseBadPathsHandlesAndBuffers) {
    EXPECT_EQ(path_call("nuvfs_stream_begin", "missing/x"), -NUV_ENOENT);
    EXPECT_EQ(path_call("nuvfs_stream_begin", "sub"), -NUV_EISDIR);
    EXPECT_EQ(path_call("nuvfs_stream_begin", "x/"), -NUV_EISDIR);
    EXPECT_EQ(path_call("nuvfs_stream_begin", "hello.txt/x"), -NUV_ENOTDIR);
    int32_t s = path_call("nuvfs_stream_begin", "out.txt");
    ASSERT_GT(s, 0);
    EXPECT_EQ(icall("nuvfs_stream_write", {s, 0x30000000u, 4}), -NUV_EFAULT);
    EXPECT_EQ(icall("nuvfs_stream_write", {s + 1, str("x"), 1}), -NUV_EBADF);
    EXPECT_EQ(icall("nuvfs_stream_end", {0u}), -NUV_EBADF);
    EXPECT_EQ(icall("nuvfs_stream_end", {0xFFFFFFFFu}), -NUV_EBADF);
    // At most 16 open at once.
    std::vector<int32_t> more;
    for (size_t i = 1; i < nuv::Kernel::kMaxStreams; ++i) {
        more.push_back(path_call("nuvfs_stream_begin", "f" + std::to_string(i)));
        EXPECT_GT(more.back(), 0);
    }
    EXPECT_EQ(path_call("nuvfs_stream_begin", "one_too_many"), -NUV_EMFILE);
    EXPECT_EQ(icall("nuvfs_stream_end", {more.back()}), 0);
    EXPECT_GT(path_call("nuvfs_stream_begin", "now_fits"), 0);
    // At most 64 MiB held: 16 MiB pieces from a mapping.
    uint32_t big = call("mmap", {0, 16u << 20, 3, 0x22, 0xFFFFFFFF, 0});
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(icall("nuvfs_stream_write", {s, big, 16u << 20}), 16 << 20);
    EXPECT_EQ(icall("nuvfs_stream_write", {s, big, 1}), -NUV_ENOSPC);
    EXPECT_EQ(icall("nuvfs_stream_end", {s}), 0);
    EXPECT_EQ(fs::file_size(root_ / "out.txt"), 64u << 20);
    EXPECT_FALSE(fs::exists(root_ / "one_too_many"));
}

TEST_F(FsCalls, AFinalLinkOutsideTheRootLooksLikeAMissingName) {
    // Followed on the host, the first would be a directory and the second
    // missing; inside the root both are missing, and begin says so alike.
    fs::create_directory_symlink(outside_, root_ / "to_host_dir");
    fs::create_symlink(outside_ / "nothing", root_ / "to_host_missing");
    fs::create_directory_symlink("/sub", root_ / "to_sub");
    int32_t dir = path_call("nuvfs_stream_begin", "to_host_dir");
    int32_t missing = path_call("nuvfs_stream_begin", "to_host_missing");
    EXPECT_GT(dir, 0);
    EXPECT_GT(missing, 0);
    EXPECT_EQ(path_call("nuvfs_stream_begin", "to_sub"), -NUV_EISDIR);
    auto before = outside_listing();
    EXPECT_EQ(icall("nuvfs_stream_end", {dir}), -NUV_ENOENT);
    EXPECT_EQ(icall("nuvfs_stream_end", {missing}), -NUV_ENOENT);
    EXPECT_EQ(outside_listing(), before);
}

TEST_F(FsCalls, OnePathLimitForRelativeAndAbsoluteNames) {
    // Names of 200 bytes under a missing directory, the path `size` bytes long.
    auto long_path = [](size_t size, bool absolute) {
        std::string p = absolute ? "/" : "";
        while (p.size() < size) p += std::string(200, 'n') + "/";
        p.resize(size);
        if (p.back() == '/') p.back() = 'x';
        return p;
    };
    const char* calls[] = {"open", "mkdir", "chdir", "nuvfs_stream_begin", "writefile"};
    for (bool absolute : {false, true}) {
        for (const char* fn : calls) {
            // open's flags 0 (read); writefile's one byte of data.
            uint32_t second = std::string(fn) == "open" ? 0 : str("x");
            auto at = [&](size_t size) {
                return icall(fn, {str(long_path(size, absolute)), second, 1});
            };
            EXPECT_EQ(at(NUV_PATH_MAX), -NUV_ENOENT) << fn << " absolute " << absolute;
            EXPECT_EQ(at(NUV_PATH_MAX + 1), -NUV_ENAMETOOLONG) << fn << " absolute " << absolute;
        }
    }
}

TEST_F(FsCalls, NamedPipeCarriesBytesBetweenItsOpeners) {
    EXPECT_EQ(path_call("mkfifo", "f"), 0);
    struct stat st {};
    ASSERT_EQ(lstat((root_ / "f").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    int32_t r = icall("open", {str("f"), 0, 0});
    ASSERT_GE(r, 3);
    // No writer has opened it yet, and none other can: waiting would never end.
    uint32_t b = buf(16);
    EXPECT_EQ(icall("read", {r, b, 16}), -NUV_EDEADLK);
    int32_t w = icall("open", {str("/f"), 1, 0});
    ASSERT_GE(w, 3);
    EXPECT_EQ(icall("write", {w, str("through"), 7}), 7);
    EXPECT_EQ(icall("read", {r, b, 16}), 7);
    EXPECT_EQ(g().read_string(b, 7), "through");
    EXPECT_EQ(icall("close", {w}), 0);
    EXPECT_EQ(icall("read", {r, b, 16}), 0);  // its writers are gone: the end
}

TEST_F(FsCalls, SpawnFindsImagesInsideTheRootFromTheCurrentDirectory) {
    fs::create_directories(root_ / "bin");
    fs::copy_file(nuvtest::image_path("hello"), root_ / "bin" / "hello");
    uint32_t status = buf(4);
    struct Case {
        std::string path;
        int32_t result;  // 0: a process id
    };
    const Case cases[] = {
        {"/bin/hello", 0},           {"bin/hello", 0},
        {"/bin/../bin/hello", 0},    {"/bin/missing", -NUV_ENOENT},
        {"hello.txt", -NUV_ENOEXEC}, {"/bin", -NUV_ENOEXEC},
        {"out_abs", -NUV_ENOENT},    {"", -NUV_ENOENT},
    };
    for (const Case& c : cases) {
        int32_t pid = icall("spawn", {str(c.path), 0u, 0});
        if (c.result == 0) {
            EXPECT_GT(pid, 1) << c.path;
            EXPECT_EQ(icall("waitpid", {pid, status, 0}), pid) << c.path;
        } else {
            EXPECT_EQ(pid, c.result) << c.path;
        }
    }
    EXPECT_EQ(g().output(), "hello\nhello\nhello\n");
    // From inside bin, the plain name.
    EXPECT_EQ(path_call("chdir", "bin"), 0);
    int32_t pid = icall("spawn", {str("hello"), 0u, 0});
    EXPECT_GT(pid, 1);
    EXPECT_EQ(icall("waitpid", {pid, 0u, 0}), pid);
}

}  // namespace
