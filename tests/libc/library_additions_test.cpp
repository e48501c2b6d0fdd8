// Character classes, byte-set searches, line input, perror, sorting and the
// C++ allocation functions.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using nuvtest::LibTest;

class Additions : public LibTest {
  protected:
    uint32_t var(const char* name) { return g().u32(sym(name)); }
    std::vector<int32_t> ints(uint32_t at, size_t n) {
        std::vector<int32_t> v(n);
        g().read(at, v.data(), n * 4);
        return v;
    }
    uint32_t put_ints(const std::vector<int32_t>& v) {
        uint32_t at = nuvtest::alloc(g(), v.size() * 4 + 4, 4);
        g().write(at, v.data(), v.size() * 4);
        return at;
    }
    uint32_t make_fd_stream(int32_t fd) {
        uint32_t at = nuvtest::alloc(g(), 44, 4);
        int32_t rec[11] = {1, fd};
        g().write(at, rec, sizeof rec);
        return at;
    }
};

TEST_F(Additions, CharacterClassesAreTheAsciiOnesAndNothingAbove127) {
    struct Fn {
        const char* name;
        int (*host)(int);
    };
    const Fn fns[] = {
        {"isalnum", isalnum}, {"isalpha", isalpha}, {"isblank", isblank}, {"iscntrl", iscntrl},
        {"isdigit", isdigit}, {"isgraph", isgraph}, {"islower", islower}, {"isprint", isprint},
        {"ispunct", ispunct}, {"isspace", isspace}, {"isupper", isupper}, {"isxdigit", isxdigit},
        {"tolower", tolower}, {"toupper", toupper},
    };
    // The host's "C" locale is the ASCII reference; beyond 127 nothing is in a
    // class and the case functions hand the value back.
    for (const Fn& f : fns) {
        bool is_case = f.name[0] == 't';
        for (int c : {-1, 0,  9,  11,  13,  31,  32,  47,  48,  57,  58,  64,  65,        90,
                      91, 96, 97, 102, 103, 122, 123, 126, 127, 128, 200, 255, 256 + 'a', -129}) {
            int32_t want;
            if (c < 0 || c > 127)
                want = is_case ? c : 0;
            else
                want = is_case ? f.host(c) : (f.host(c) != 0);
            int32_t got = icall(f.name, {c});
            EXPECT_EQ(is_case ? got : (got != 0), want) << f.name << "(" << c << ")";
        }
    }
}

TEST_F(Additions, MemchrNeverReadsPastItsCountAtTheEndOfAPage) {
    // A page whose last bytes hold "abcabc" with nothing mapped after it.
    uint32_t page = g().map_anonymous(4096, 3);
    ASSERT_NE(page, 0u);
    uint32_t end = page + 4096;
    g().write(end - 6, "abcabc", 6);
    struct Case {
        uint32_t start, n;
        int c;
        int64_t want;  // offset from start, or -1 for null
    };
    const Case cases[] = {
        {end - 6, 6, 'c', 2},  {end - 6, 6, 'c' + 256, 2},
        {end - 6, 6, 'z', -1}, {end - 1, 1, 'c', 0},
        {end - 1, 1, 'a', -1}, {end - 6, 0, 'a', -1},
        {end - 3, 3, 'b', 1},  {0, 5, 'a', -1},
    };
    for (const Case& c : cases) {
        nuv::RunResult r = g().call("memchr", {c.start, static_cast<uint32_t>(c.c), c.n});
        ASSERT_TRUE(r.ok()) << nuv::report::what(r) << " at " << end - c.start << " n " << c.n;
        EXPECT_EQ(g().eax(), c.want < 0 ? 0u : c.start + static_cast<uint32_t>(c.want))
            << end - c.start << " " << c.n;
    }
}

TEST_F(Additions, SpanFunctionsMeasureByByteSets) {
    struct Case {
        const char *s, *set;
        uint32_t spn, cspn;
        int pbrk;  // index, or -1 for null
    };
    const Case cases[] = {
        {"  \tword", " \t", 3, 0, 0},
        {"abc", "", 0, 3, -1},
        {"", "ab", 0, 0, -1},
        {"hello", "lo", 0, 2, 2},
        {"\xff\x80x", "\x80\xff", 2, 0, 0},
        {"aaab", "a", 3, 0, 0},
        {"xyz", nullptr, 0, 3, -1},
    };
    for (const Case& c : cases) {
        uint32_t s = str(c.s), set = c.set ? str(c.set) : 0u;
        EXPECT_EQ(call("strspn", {s, set}), c.spn) << c.s;
        EXPECT_EQ(call("strcspn", {s, set}), c.cspn) << c.s;
        EXPECT_EQ(call("strpbrk", {s, set}), c.pbrk < 0 ? 0u : s + c.pbrk) << c.s;
    }
    EXPECT_EQ(call("strspn", {0u, str("a")}), 0u);
    EXPECT_EQ(call("strcspn", {0u, str("a")}), 0u);
    EXPECT_EQ(call("strpbrk", {0u, str("a")}), 0u);
}

// A descriptor that serves `data` in chunks of at most `chunk` bytes, and can
// be positioned or not. Whatever fgets does, the descriptor's offset must end
// right after the bytes it handed out: nothing read ahead may be lost.
struct FakeFile {
    std::string data;
    size_t chunk;
    bool seekable;
    size_t offset = 0;
    size_t reads = 0;
};

class Fgets : public Additions {
  protected:
    void serve(std::shared_ptr<FakeFile> f) {
        g().set_handler(NUV_SYS_read, [f](nuv::CallContext& m, const nuv::SyscallArgs& a) {
            ++f->reads;
            size_t n = std::min<size_t>({a.edx, f->chunk, f->data.size() - f->offset});
            m.memory().write(a.ecx, f->data.data() + f->offset, n);
            f->offset += n;
            return static_cast<int32_t>(n);
        });
        g().set_handler(NUV_SYS_lseek, [f](nuv::CallContext&, const nuv::SyscallArgs& a) {
            if (!f->seekable) return -29;
            int64_t base = a.edx == 0   ? 0
                           : a.edx == 1 ? static_cast<int64_t>(f->offset)
                                        : static_cast<int64_t>(f->data.size());
            int64_t at = base + static_cast<int32_t>(a.ecx);
            if (a.edx > 2 || at < 0) return -22;
            f->offset = static_cast<size_t>(at);
            return static_cast<int32_t>(at);
        });
    }
};

TEST_F(Fgets, ReadsLineByLineAcrossShortReadsWithoutLosingBytes) {
    const std::string text = "first line\n\nthird, longer than the buffer\nlast without newline";
    for (bool seekable : {true, false}) {
        for (size_t chunk : {1u, 3u, 7u, 64u}) {
            SetUp();
            auto f = std::make_shared<FakeFile>(FakeFile{text, chunk, seekable});
            serve(f);
            uint32_t stream = make_fd_stream(5), line = buf(16);
            std::vector<std::string> got;
            size_t consumed = 0;
            for (int i = 0; i < 10; ++i) {
                uint32_t r = call("fgets", {line, 16u, stream});
                if (r == 0) break;
                ASSERT_EQ(r, line);
                got.push_back(g().read_string(line));
                consumed += got.back().size();
                EXPECT_EQ(f->offset, consumed) << "read ahead and lost, chunk " << chunk;
                EXPECT_EQ(static_cast<size_t>(g().u32(stream + 36)), consumed);  // pos
            }
            const std::vector<std::string> want = {"first line\n",    "\n",
                                                   "third, longer t", "han the buffer\n",
                                                   "last without ne", "wline"};
            EXPECT_EQ(got, want) << "chunk " << chunk << " seekable " << seekable;
            EXPECT_EQ(g().u32(stream + 40), 1u);  // eof
            // Past the end: null, and the array is left as it was.
            uint32_t before = g().u32(line);
            EXPECT_EQ(call("fgets", {line, 16u, stream}), 0u);
            EXPECT_EQ(g().u32(line), before);
        }
    }
}

TEST_F(Fgets, RefusesBadArgumentsAndHonoursTinySizes) {
    auto f = std::make_shared<FakeFile>(FakeFile{"xy\n", 64, true});
    serve(f);
    uint32_t stream = make_fd_stream(5), line = buf(8);
    EXPECT_EQ(call("fgets", {line, 0u, stream}), 0u);
    EXPECT_EQ(call("fgets", {line, static_cast<uint32_t>(-3), stream}), 0u);
    EXPECT_EQ(call("fgets", {0u, 8u, stream}), 0u);
    EXPECT_EQ(call("fgets", {line, 8u, 0u}), 0u);
    uint32_t mem = nuvtest::alloc(g(), 44, 4);
    int32_t rec[11] = {2};
    g().write(mem, rec, sizeof rec);
    EXPECT_EQ(call("fgets", {line, 8u, mem}), 0u);
    EXPECT_EQ(f->reads, 0u);
    // Size 1 holds only the NUL and reads nothing; size 2 one byte at a time.
    EXPECT_EQ(call("fgets", {line, 1u, stream}), line);
    EXPECT_EQ(g().read_string(line), "");
    EXPECT_EQ(f->reads, 0u);
    EXPECT_EQ(call("fgets", {line, 2u, stream}), line);
    EXPECT_EQ(g().read_string(line), "x");
    EXPECT_EQ(f->offset, 1u);
    // A failing read before any byte gives null and sets eof.
    script(NUV_SYS_read, {-5});
    EXPECT_EQ(call("fgets", {line, 8u, stream}), 0u);
    EXPECT_EQ(g().u32(stream + 40), 1u);
}

TEST_F(Additions, PerrorWritesOneLineWhereStandardErrorWrites) {
    struct Case {
        const char* prefix;  // nullptr: a null prefix
        int32_t err;
        std::string want;
    };
    static const std::string long_prefix(300, 'p');
    const Case cases[] = {
        {"cat", 2, "cat: no such file\n"},
        {"", 22, "invalid argument\n"},
        {nullptr, 12, "error\n"},
        {long_prefix.c_str(), 0, long_prefix + ": ok\n"},
    };
    for (const Case& c : cases) {
        SetUp();
        g().set_u32(sym("errno"), static_cast<uint32_t>(c.err));
        call("perror", {c.prefix ? str(c.prefix) : 0u});
        EXPECT_EQ(g().output(), c.want);
        EXPECT_EQ(static_cast<int32_t>(var("errno")), c.err);
        if (c.want.size() <= 256) {
            EXPECT_EQ(trap_numbers().size(), 1u) << "split line";
        }
    }
    // Redirecting stderr redirects perror: a stream that cannot be written
    // (descriptor 0) takes nothing, and nothing reaches descriptor 1.
    SetUp();
    g().set_u32(sym("stderr"), make_fd_stream(0));
    call("perror", {str("x")});
    EXPECT_EQ(g().output(), "");
}

class Sort : public Additions {
  protected:
    // Sorts v in the guest; returns the comparisons made and the stack bytes
    // that qsort took below a function called straight from the host.
    std::pair<uint32_t, uint32_t> sort(std::vector<int32_t>& v) {
        uint32_t at = put_ints(v);
        uint32_t base_frame = call("probe_frame", {});
        g().set_u32(sym("g_probe_compares"), 0);
        g().set_u32(sym("g_probe_lowest_frame"), 0);
        call("qsort", {at, static_cast<uint32_t>(v.size()), 4u, sym("probe_compare_ints")});
        v = ints(at, v.size());
        uint32_t lowest = var("g_probe_lowest_frame");
        return {var("g_probe_compares"), lowest ? base_frame - lowest : 0};
    }
};

TEST_F(Sort, EveryInputShapeSortsInNLogNComparisonsAndFixedStack) {
    const size_t n = 3000;
    std::mt19937 rng(11);
    struct Shape {
        const char* name;
        std::function<int32_t(size_t)> value;
    };
    const Shape shapes[] = {
        {"sorted", [](size_t i) { return static_cast<int32_t>(i); }},
        {"reversed", [n](size_t i) { return static_cast<int32_t>(n - i); }},
        {"all equal", [](size_t) { return 7; }},
        {"random", [&rng](size_t) { return static_cast<int32_t>(rng() % 1000) - 500; }},
        {"organ pipe", [n](size_t i) { return static_cast<int32_t>(i < n / 2 ? i : n - i); }},
        {"two values", [&rng](size_t) { return static_cast<int32_t>(rng() % 2); }},
    };
    const double bound = 2.0 * n * std::log2(static_cast<double>(n));
    for (const Shape& s : shapes) {
        std::vector<int32_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = s.value(i);
        std::vector<int32_t> want = v;
        std::sort(want.begin(), want.end());
        auto [compares, stack] = sort(v);
        EXPECT_EQ(v, want) << s.name;
        EXPECT_LE(compares, bound) << s.name;
        // Recursing once per element would take tens of kilobytes here.
        EXPECT_LE(stack, 1024u) << s.name;
    }
}

TEST_F(Sort, OddSizedElementsMoveWholeAndEdgeCasesAreHarmless) {
    // 3-byte records: key, then two payload bytes that must travel with it.
    std::vector<uint8_t> recs;
    std::mt19937 rng(5);
    for (int i = 0; i < 200; ++i) {
        uint8_t key = static_cast<uint8_t>(rng() % 50);
        recs.insert(recs.end(), {key, static_cast<uint8_t>(key ^ 0x5a), static_cast<uint8_t>(i)});
    }
    uint32_t at = nuvtest::alloc(g(), recs.size() + 1, 1) + 1;  // deliberately not word aligned
    g().write(at, recs.data(), recs.size());
    call("qsort", {at, 200u, 3u, sym("probe_compare_first_byte")});
    std::vector<uint8_t> out = g().read_bytes(at, recs.size());
    std::multiset<int> ids;
    for (size_t i = 0; i < 200; ++i) {
        if (i > 0) {
            EXPECT_LE(out[3 * (i - 1)], out[3 * i]);
        }
        EXPECT_EQ(out[3 * i + 1], out[3 * i] ^ 0x5a) << "record torn at " << i;
        ids.insert(out[3 * i + 2]);
    }
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), 200u);
    // Nothing to sort, or nothing to sort with: no comparison, no write.
    std::vector<int32_t> two = {2, 1};
    uint32_t p = put_ints(two);
    g().set_u32(sym("g_probe_compares"), 0);
    uint32_t cmp = sym("probe_compare_ints");
    const std::array<uint32_t, 4> refused[] = {
        {0u, 2u, 4u, cmp}, {p, 0u, 4u, cmp}, {p, 1u, 4u, cmp},
        {p, 2u, 0u, cmp},  {p, 2u, 4u, 0u},  {p, 0x40000000u, 8u, cmp},
    };
    for (const auto& a : refused) call("qsort", {a[0], a[1], a[2], a[3]});
    EXPECT_EQ(var("g_probe_compares"), 0u);
    EXPECT_EQ(ints(p, 2), two);
}

TEST_F(Sort, BsearchFindsEveryElementAndNothingElse) {
    std::vector<int32_t> v;
    for (int i = 0; i < 101; ++i) v.push_back(3 * i);
    uint32_t at = put_ints(v), cmp = sym("probe_compare_ints"), key = nuvtest::alloc(g(), 4, 4);
    for (int32_t k = -2; k <= 302; ++k) {
        g().set_u32(key, static_cast<uint32_t>(k));
        g().set_u32(sym("g_probe_compares"), 0);
        uint32_t r = call("bsearch", {key, at, 101u, 4u, cmp});
        EXPECT_EQ(r, k % 3 == 0 && k >= 0 ? at + 4 * static_cast<uint32_t>(k / 3) : 0u) << k;
        EXPECT_LE(var("g_probe_compares"), 8u) << k;
    }
    EXPECT_EQ(call("bsearch", {key, at, 0u, 4u, cmp}), 0u);
    EXPECT_EQ(call("bsearch", {key, 0u, 5u, 4u, cmp}), 0u);
}

TEST_F(Additions, CxxNewTakesHeapBlocksAndEndsTheProcessWhenFull) {
    struct Case {
        const char* symbol;  // the mangled allocation function
        uint32_t size, align;
    };
    const Case cases[] = {
        {"_Znwj", 10, 4},
        {"_Znaj", 0, 4},
        {"_ZnwjRKSt9nothrow_t", 3, 4},
        {"_ZnwjSt11align_val_t", 5, 64},
        {"_ZnajSt11align_val_t", 100, 16},
    };
    for (const Case& c : cases) {
        uint32_t used = var("g_heap_used");
        uint32_t p = c.align > 4 ? call(c.symbol, {c.size, c.align})
                                 : call(c.symbol, {c.size, sym("_ZSt7nothrow")});
        EXPECT_NE(p, 0u) << c.symbol;
        EXPECT_EQ(p % c.align, 0u) << c.symbol;
        EXPECT_GT(var("g_heap_used"), used) << c.symbol;
        call("_ZdlPv", {p});
        call("_ZdlPvj", {p, c.size});
        call("_ZdaPv", {p});
    }
    // Too big: nothrow gives null, plain new says so and ends with status 1.
    EXPECT_EQ(call("_ZnwjRKSt9nothrow_t", {0x200000u, sym("_ZSt7nothrow")}), 0u);
    EXPECT_EQ(call("_ZnwjSt11align_val_tRKSt9nothrow_t", {0xFFFFFFF0u, 64u, sym("_ZSt7nothrow")}),
              0u);
    nuv::RunResult r = g().call("_Znwj", {0x200000u});
    EXPECT_EQ(r.stop, nuv::Stop::Exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(g().output(), "out of memory\n");
}

// The error names of <errno.h>, read from the guest's own table of them.
std::map<std::string, int32_t> guest_error_names(nuv::Harness& g) {
    std::map<std::string, int32_t> names;
    uint32_t table = g.symbol("g_probe_error_names");
    uint32_t n = g.u32(g.symbol("g_probe_error_count"));
    for (uint32_t i = 0; i < n; ++i) {
        names[g.read_string(g.u32(table + 8 * i))] = static_cast<int32_t>(g.u32(table + 8 * i + 4));
    }
    return names;
}

TEST_F(Additions, ErrnoNamesEveryCodeOfTheKernelsTableWithItsNumber) {
    // The rows "| 17 | EEXIST | ... |" of the error table in the kernel calls'
    // document, which the kit installs beside the header.
    std::ifstream doc(NUV_KERNEL_CALLS_DOC);
    ASSERT_TRUE(doc) << NUV_KERNEL_CALLS_DOC;
    std::map<std::string, int32_t> documented;
    std::string line;
    while (std::getline(doc, line)) {
        int code;
        char name[32];
        if (std::sscanf(line.c_str(), "| %d | %31[A-Z] |", &code, name) == 2 && name[0] == 'E')
            documented[name] = code;
    }
    ASSERT_GE(documented.size(), 20u);
    EXPECT_EQ(guest_error_names(g()), documented);
}

TEST_F(Additions, KernelFailuresAreTheNegatedErrnoNames) {
    std::map<std::string, int32_t> e = guest_error_names(g());
    uint32_t b = buf(16);
    struct Case {
        const char* what;
        int32_t got;
        const char* name;
    };
    const Case cases[] = {
        {"open missing", icall("open", {str("no/such/file"), 0u, 0u}), "ENOENT"},
        {"open / for writing", icall("open", {str("/"), 1u, 0u}), "EISDIR"},
        {"open with unknown flags", icall("open", {str("/"), 0x8000u, 0u}), "EINVAL"},
        {"close of a closed descriptor", icall("close", {40u}), "EBADF"},
        {"write from an unmapped buffer", icall("write", {1u, 16u, 4u}), "EFAULT"},
        {"lseek on the console", icall("lseek", {1u, 0u, 0u}), "ESPIPE"},
        {"getcwd into one byte", icall("getcwd", {b, 1u}), "ERANGE"},
        {"waitpid without children", icall("waitpid", {static_cast<uint32_t>(-1), 0u, 0u}),
         "ECHILD"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(e.count(c.name)) << c.name;
        EXPECT_EQ(c.got, -e[c.name]) << c.what;
    }
}

}  // namespace
