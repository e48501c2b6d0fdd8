// Directories, names, the current directory, named pipes, streamed files and
// spawning by guest path, all inside the sandbox root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "guest.hpp"
#include "kernel.hpp"
#include "sandbox_tree.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::Stop;

// The sandbox tree (tests/support/sandbox_tree.hpp), with links out of the root.
class FsCalls : public nuvtest::SandboxTree {
  protected:
    void populate() override {
        fs::create_directories(root_ / "sub" / "deep");
        put(outside_ / "secret", "secret");
        put(root_ / "hello.txt", "hello\n");
        fs::create_symlink(outside_ / "secret", root_ / "out_abs");
        fs::create_directory_symlink(outside_, root_ / "outdir");
        fs::create_directory_symlink("../outside", root_ / "outdir_rel");
    }
    int32_t path_call(const char* fn, const std::string& path) { return icall(fn, {str(path)}); }
    std::string cwd() {
        uint32_t b = buf(256);
        int32_t n = icall("getcwd", {b, 256});
        return n < 0 ? "error " + std::to_string(n) : g().read_string(b);
    }
    // Everything under the outside directory, which the guest must never change.
    std::set<std::string> outside_listing() const { return nuvtest::listing(outside_); }
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
    EXPECT_EQ(outside_listing(), std::set<std::string>{"secret"});
    EXPECT_FALSE(fs::exists(base_ / "made_at_top"));
    // The root itself and the special names cannot be removed.
    for (const char* p : {"/", ".", "..", "sub/.", "sub/.."}) {
        EXPECT_LT(path_call("rmdir", p), 0) << p;
    }
    EXPECT_TRUE(fs::is_directory(root_ / "sub"));
    // Bad guest pointers.
    for (uint32_t nr : {NUV_SYS_mkdir, NUV_SYS_unlink, NUV_SYS_rmdir, NUV_SYS_chdir, NUV_SYS_mkfifo,
                        NUV_SYS_nuvfs_stream_begin}) {
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
    EXPECT_EQ(icall("getcwd", {nuv::Harness::kStackTop - 3, 64}), -NUV_EFAULT);
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

// Directories of 200-byte names under the root, deeper than the host can
// name in one path: made and read one name at a time.
class DeepTree {
  public:
    explicit DeepTree(const fs::path& root) : root_(::open(root.c_str(), O_PATH | O_DIRECTORY)) {}
    ~DeepTree() { ::close(root_); }
    DeepTree(const DeepTree&) = delete;
    DeepTree& operator=(const DeepTree&) = delete;
    // A relative path of exactly size bytes: 200-byte names, the last shorter.
    static std::string path(size_t size, char fill) {
        std::string p;
        while (p.size() < size) p += std::string(200, fill) + "/";
        p.resize(size);
        if (p.back() == '/') p.back() = fill;
        return p;
    }
    // The directory at a path below the root (made when make is set), or -1;
    // the caller closes it.
    int dir(const std::string& path, bool make = false) const {
        int at = ::dup(root_);
        for (size_t i = 0, j; at >= 0 && i < path.size(); i = j + 1) {
            j = std::min(path.find('/', i), path.size());
            std::string name = path.substr(i, j - i);
            if (name.empty()) continue;
            if (make) mkdirat(at, name.c_str(), 0777);
            int next = openat(at, name.c_str(), O_PATH | O_DIRECTORY);
            ::close(at);
            at = next;
        }
        return at;
    }
    // Makes a file with content at a path below the root, and its directories.
    void file(const std::string& path, const std::string& content) const {
        size_t slash = path.rfind('/');
        int at = dir(path.substr(0, slash + 1), true);
        int fd = openat(at, path.c_str() + slash + 1, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        EXPECT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size())) << path;
        ::close(fd);
        ::close(at);
    }
    std::string read(const std::string& path) const {
        size_t slash = path.rfind('/');
        int at = dir(path.substr(0, slash + 1));
        int fd = openat(at, path.c_str() + slash + 1, O_RDONLY);
        ::close(at);
        char b[64];
        ssize_t n = fd < 0 ? -1 : ::read(fd, b, sizeof b);
        ::close(fd);
        return n < 0 ? "missing" : std::string(b, size_t(n));
    }

  private:
    int root_;
};

TEST_F(FsCalls, APathOfTheLimitWorksRelativeOrAbsoluteInAnyDirectory) {
    DeepTree tree(root_);
    struct Case {
        size_t cwd;  // bytes of the current directory's path below "/"
        bool absolute;
        size_t size;
        int32_t result;  // 0: the file is opened, written and streamed
    };
    const Case cases[] = {
        {0, false, NUV_PATH_MAX, 0},          {0, true, NUV_PATH_MAX, 0},
        {0, false, NUV_PATH_MAX + 1, -36},    {0, true, NUV_PATH_MAX + 1, -36},
        {2000, false, NUV_PATH_MAX, 0},       {2000, true, NUV_PATH_MAX, 0},
        {2000, false, NUV_PATH_MAX + 1, -36}, {2000, true, NUV_PATH_MAX + 1, -36},
        {4000, false, NUV_PATH_MAX, 0},       {4000, true, NUV_PATH_MAX, 0},
        {4000, false, NUV_PATH_MAX + 1, -36}, {4000, true, NUV_PATH_MAX + 1, -36},
    };
    for (const Case& c : cases) {
        std::string cwd = DeepTree::path(c.cwd, 'c');
        ::close(tree.dir(cwd, true));
        EXPECT_EQ(path_call("chdir", "/" + cwd), 0) << c.cwd;
        // The absolute file sits under "/", the relative one under the
        // current directory, 4,095 + 1 + 4,000 bytes deep at most.
        std::string name =
            c.absolute ? "/" + DeepTree::path(c.size - 1, 'a') : DeepTree::path(c.size, 'r');
        std::string below_root = c.absolute ? name.substr(1) : cwd + "/" + name;
        tree.file(below_root, "old");
        const std::string where = " cwd " + std::to_string(c.cwd) +
                                  (c.absolute ? " abs " : " rel ") + std::to_string(c.size);
        int32_t fd = icall("open", {str(name), 0, 0});
        EXPECT_EQ(fd < 0 ? fd : 0, c.result) << "open" << where;
        if (fd >= 0) {
            EXPECT_EQ(icall("close", {fd}), 0);
        }
        EXPECT_EQ(icall("writefile", {str(name), str("new"), 3}), c.result) << "writefile" << where;
        int32_t s = path_call("nuvfs_stream_begin", name);
        EXPECT_EQ(s < 0 ? s : 0, c.result) << "stream" << where;
        if (s > 0) {
            EXPECT_EQ(icall("nuvfs_stream_write", {s, str("!"), 1}), 1);
            EXPECT_EQ(icall("chdir", {str("/")}), 0);  // the stream keeps its directory
            EXPECT_EQ(icall("nuvfs_stream_end", {s}), 0) << where;
        }
        EXPECT_EQ(tree.read(below_root), c.result == 0 ? "!" : "old") << where;
    }
}

TEST_F(FsCalls, PathsTooLongToJoinStayInsideTheRoot) {
    // A current directory 4,000 bytes deep, and 120 bytes of "./" in front
    // of every name, so that no name below fits the host joined to it.
    DeepTree tree(root_);
    const std::string home = DeepTree::path(4000, 'c');
    tree.file(home + "/here", "here");
    std::string up;
    for (int i = 0; i < 40; ++i) up += "../";  // 20 levels, and beyond the root
    const std::string pad = [] {
        std::string p;
        for (int i = 0; i < 60; ++i) p += "./";
        return p;
    }();
    ASSERT_EQ(path_call("chdir", home), 0);
    // Links in the deep directory: past the root, absolute to the host's
    // outside directory, relative to it, and to itself.
    struct Link {
        const char* name;
        std::string target;
    };
    int links = tree.dir(home + "/links", true);
    for (const Link& l :
         {Link{"climb", up + "hello.txt"}, Link{"abs", (outside_ / "secret").string()},
          Link{"abs_new", (outside_ / "new").string()}, Link{"rel_out", up + "../outside/secret"},
          Link{"loop", "loop"}}) {
        EXPECT_EQ(symlinkat(l.target.c_str(), links, l.name), 0) << l.name;
    }
    ::close(links);
    struct Case {
        std::string path;
        int32_t open;  // 0: opened
        const char* content;
    };
    const Case cases[] = {
        {pad + "here", 0, "here"},
        {pad + "links/../here", 0, "here"},
        {pad + up + up + "hello.txt", 0, "hello\n"},
        {pad + "links/climb", 0, "hello\n"},
        {pad + "links/abs", -NUV_ENOENT, ""},
        {pad + "links/rel_out", -NUV_ENOENT, ""},
        {pad + up + "outdir/secret", -NUV_ENOENT, ""},
        {pad + up + "outdir_rel/secret", -NUV_ENOENT, ""},
        {pad + up + "out_abs", -NUV_ENOENT, ""},
        {pad + "links/loop", -NUV_ELOOP, ""},
        {pad + "here/x", -NUV_ENOTDIR, ""},
        {pad + "links/climb/", -NUV_ENOTDIR, ""},
    };
    for (const Case& c : cases) {
        int32_t fd = icall("open", {str(c.path), 0, 0});
        EXPECT_EQ(fd < 0 ? fd : 0, c.open) << c.path.substr(120);
        if (fd < 0) continue;
        uint32_t b = buf(16);
        int32_t n = icall("read", {fd, b, 16});
        EXPECT_EQ(g().read_string(b, size_t(std::max(n, 0))), c.content) << c.path.substr(120);
        icall("close", {fd});
    }
    // Written through a final link to the host: made inside the root, where
    // its directory is missing.
    EXPECT_EQ(icall("writefile", {str(pad + "links/abs_new"), str("x"), 1}), -NUV_ENOENT);
    EXPECT_EQ(outside_listing(), std::set<std::string>{"secret"});

    // Deeper than the host can name: the current directory is named by the
    // walk that reached it, and ".." comes back out.
    const std::string deeper = DeepTree::path(1000, 'd');
    ::close(tree.dir(home + "/" + deeper, true));
    ASSERT_EQ(path_call("chdir", pad + "links/../" + deeper), 0);
    const std::string expect = "/" + home + "/" + deeper;
    uint32_t b = buf(8192);
    EXPECT_EQ(icall("getcwd", {b, 8192}), int32_t(expect.size()));
    EXPECT_EQ(g().read_string(b), expect);
    EXPECT_EQ(path_call("mkdir", "made"), 0);
    int made = tree.dir(home + "/" + deeper + "/made");
    EXPECT_GE(made, 0);
    ::close(made);
    EXPECT_EQ(path_call("chdir", "made"), 0);
    EXPECT_EQ(path_call("chdir", pad + up + up + up), 0);
    EXPECT_EQ(cwd(), "/");
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
