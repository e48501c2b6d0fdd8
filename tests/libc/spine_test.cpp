// The library's spine on the real i386 code: system-call wrappers, string
// length and comparison, and unbuffered stream output.
#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using nuvtest::LibTest;

// ---- string length and comparison ----

// An operand: a string placed in guest memory, or a raw pointer value.
struct Operand {
    Operand(const char* s) : text(s) {}             // NOLINT
    Operand(std::string s) : text(std::move(s)) {}  // NOLINT
    static Operand raw(uint32_t p) {
        Operand o("");
        o.pointer = p;
        o.is_raw = true;
        return o;
    }
    std::string text;
    uint32_t pointer = 0;
    bool is_raw = false;
};

class StringCompare : public LibTest {
  protected:
    uint32_t place(const Operand& o) {
        return o.is_raw ? o.pointer : nuvtest::put_string(*m_, o.text);
    }
};

struct CompareCase {
    const char* fn;
    Operand a, b;
    uint32_t n;  // count, for the counted forms
    int32_t expect;
};

TEST_F(StringCompare, ResultsAndGuards) {
    const Operand null = Operand::raw(0), low = Operand::raw(4095);
    const CompareCase cases[] = {
        {"strcmp", "abc", "abd", 0, -1},
        {"strcmp", "b", "a", 0, 1},
        {"strcmp", "a", "", 0, 97},
        {"strcmp", "", "a", 0, -97},
        {"strcmp", "ab", "abc", 0, -99},
        {"strcmp", "\xff", "a", 0, 158},
        {"strcmp", "same", "same", 0, 0},
        {"strcmp", null, null, 0, 0},
        {"strcmp", null, "", 0, -1},
        {"strcmp", "", null, 0, 1},
        {"strcmp", low, "x", 0, -1},
        {"strcmp", "x", Operand::raw(1), 0, 1},
        {"strncmp", "abc", "abd", 2, 0},
        {"strncmp", "ab", "abc", 5, -99},
        {"strncmp", null, "abc", 0, 0},
        {"strncmp", low, "abc", 1, -1},
        {"strncmp", "abc", low, 1, 1},
        {"strncmp", "a\xe4", "a\x01", 2, 0xe3},
        {"strncmp", "abc\0x", "abc\0y", 5, 0},
        {"strcasecmp", "HeLLo", "hello", 0, 0},
        {"strcasecmp", "ABC", "abd", 0, -1},
        {"strcasecmp", "_", "A", 0, -2},
        {"strcasecmp", "\xc4", "\xe4", 0, -32},
        {"strcasecmp", "[", "a", 0, -6},
        {"strcasecmp", null, null, 0, 0},
        {"strcasecmp", null, "a", 0, -1},
        {"strcasecmp", "a", null, 0, 1},
        {"strcasecmp", "ab", "AB", 0, 0},
        {"strncasecmp", "ABCx", "abcy", 3, 0},
        {"strncasecmp", "ab", "AB", 5, 0},
        {"strncasecmp", null, "a", 0, 0},
        {"strncasecmp", null, null, 3, 0},
        {"strncasecmp", null, "a", 3, -1},
        {"strncasecmp", "a", null, 3, 1},
        {"strncasecmp", "abC", "ABD", 3, -1},
    };
    for (const CompareCase& c : cases) {
        uint32_t a = place(c.a), b = place(c.b);
        int32_t r =
            std::string(c.fn).find("n") == 3 ? icall(c.fn, {a, b, c.n}) : icall(c.fn, {a, b});
        EXPECT_EQ(r, c.expect) << c.fn << "(\"" << c.a.text << "\", \"" << c.b.text << "\", " << c.n
                               << ")";
    }
}

TEST_F(StringCompare, MemcmpComparesExactlyNBytes) {
    uint32_t a = nuvtest::put_bytes(*m_, std::vector<uint8_t>{'a', 0, 'b'});
    uint32_t b = nuvtest::put_bytes(*m_, std::vector<uint8_t>{'a', 0, 'c'});
    EXPECT_EQ(icall("memcmp", {a, b, 3}), -1);
    EXPECT_EQ(icall("memcmp", {a, b, 2}), 0);
    EXPECT_EQ(icall("memcmp", {0, 0, 0}), 0);  // no byte read
    uint32_t hi = nuvtest::put_bytes(*m_, std::vector<uint8_t>{0xff});
    uint32_t lo = nuvtest::put_bytes(*m_, std::vector<uint8_t>{0x01});
    EXPECT_EQ(icall("memcmp", {hi, lo, 1}), 254);
}

TEST_F(StringCompare, StrlenAtEveryAlignmentAndLength) {
    // The word-at-a-time scan must find the first NUL wherever it lies,
    // including bytes above 0x80 and 0x01 next to it.
    for (uint32_t align = 0; align < 4; ++align) {
        for (uint32_t len = 0; len < 20; ++len) {
            uint32_t base = nuvtest::alloc(*m_, 32, 4) + align;
            std::vector<uint8_t> bytes(len, 0x81);
            if (len > 1) bytes[1] = 0x01;
            bytes.push_back(0);
            bytes.push_back(0x80);
            bytes.push_back(0);
            m_->write(base, bytes.data(), bytes.size());
            EXPECT_EQ(call("strlen", {base}), len) << "align " << align << " len " << len;
        }
    }
    EXPECT_EQ(call("strlen", {0}), 0u);
    EXPECT_EQ(call("strlen", {4095}), 0u);
}

TEST_F(StringCompare, StrnlenNeverLooksPastItsCount) {
    // The string runs into unmapped memory after 4 bytes: a count of 4 must stop there.
    EXPECT_EQ(call("strnlen", {str("abcdef"), 4}), 4u);
    EXPECT_EQ(call("strnlen", {str("ab"), 10}), 2u);
    EXPECT_EQ(call("strnlen", {str("ab"), 0}), 0u);
    uint32_t end = nuv::Harness::kScratchBase + nuv::Harness::kScratchSize;
    uint32_t here = nuvtest::alloc(*m_, 1, 1);
    uint32_t s = nuvtest::alloc(*m_, end - here - 1, 1) + (end - here - 1) - 4;
    m_->write(s, "abcd", 4);
    EXPECT_EQ(call("strnlen", {s, 4}), 4u);
    EXPECT_EQ(call("strnlen", {0, 5}), 0u);
    EXPECT_EQ(call("strnlen", {100, 0}), 0u);
}

// ---- system-call wrappers ----

struct WrapperCase {
    const char* name;
    std::vector<uint32_t> args;  // 0xAAAAAAAA stands for "a valid buffer"
    int32_t traps;               // 0: refused before the trap
    std::vector<uint32_t> regs;  // expected EAX, EBX, ECX, EDX (when trapped)
};

constexpr uint32_t kBuf = 0xAAAAAAAA;

TEST_F(LibTest, WrappersCheckThenTrapWithTheirRegisters) {
    uint32_t b = buf(16);
    uint32_t path = str("file");
    auto fix = [&](uint32_t v) { return v == kBuf ? b : v == 0xBBBBBBBB ? path : v; };
    const uint32_t P = 0xBBBBBBBB;
    const WrapperCase cases[] = {
        {"write", {1, kBuf, 5}, 1, {1, 1, kBuf, 5}},
        {"write", {1, 0, 5}, 0, {}},
        {"write", {1, kBuf, 0}, 1, {1, 1, kBuf, 0}},
        {"write", {1, kBuf, 0xFFFFFFFF}, 1, {1, 1, kBuf, 0x7FFFFFFF}},
        {"write", {1, kBuf, 0x7FFFFFFF}, 1, {1, 1, kBuf, 0x7FFFFFFF}},
        {"write", {1, kBuf, 0x80000000}, 1, {1, 1, kBuf, 0x7FFFFFFF}},
        {"read", {0, kBuf, 3}, 1, {3, 0, kBuf, 3}},
        {"read", {0, 0, 3}, 0, {}},
        {"read", {7, kBuf, 0xFFFFFFFF}, 1, {3, 7, kBuf, 0x7FFFFFFF}},
        {"open", {P, 0x41, 0x1a4}, 1, {4, P, 0x41, 0x1a4}},
        {"open", {P, 0, 0x1a4}, 1, {4, P, 0, 0}},
        {"open", {P, 0x1, 0x1a4}, 1, {4, P, 1, 0}},
        {"open", {0, 0, 0}, 0, {}},
        {"creat", {P, 0x1ff}, 1, {4, P, 577, 0}},
        {"creat", {0}, 0, {}},
        {"close", {9}, 1, {5, 9}},
        {"lseek", {3, 0xFFFFFFF0, 2}, 1, {110, 3, 0xFFFFFFF0, 2}},
        {"writefile", {P, kBuf, 0xFFFFFFFF}, 1, {21, P, kBuf, 0x7FFFFFFF}},
        {"writefile", {P, kBuf, 0}, 1, {21, P, kBuf, 0}},
        {"writefile", {0, kBuf, 1}, 0, {}},
        {"writefile", {P, 0, 1}, 0, {}},
    };
    for (const WrapperCase& c : cases) {
        m_->clear_traps();
        // Every call answers 1234 so the result shows it came from the kernel.
        for (uint32_t nr : {NUV_SYS_write, NUV_SYS_read, NUV_SYS_open, NUV_SYS_close,
                            NUV_SYS_writefile, NUV_SYS_lseek}) {
            script(nr, {1234});
        }
        std::vector<uint32_t> words;
        for (uint32_t a : c.args) words.push_back(fix(a));
        nuv::RunResult r = m_->call_words(sym(c.name), words);
        ASSERT_EQ(r.stop, nuv::Stop::Returned) << c.name << nuv::report::what(r);
        std::string what = std::string(c.name) + testing::PrintToString(c.args);
        if (c.traps == 0) {
            EXPECT_EQ(static_cast<int32_t>(m_->eax()), -1) << what;
            EXPECT_TRUE(m_->traps().empty()) << what;
            continue;
        }
        EXPECT_EQ(static_cast<int32_t>(m_->eax()), 1234) << what;
        ASSERT_EQ(m_->traps().size(), 1u) << what;
        const nuv::SyscallArgs& t = m_->traps()[0].args;
        const uint32_t got[] = {t.nr, t.ebx, t.ecx, t.edx};
        for (size_t i = 0; i < c.regs.size(); ++i)
            EXPECT_EQ(got[i], fix(c.regs[i])) << what << " register " << i;
    }
}

TEST_F(LibTest, KernelFailuresPassThroughAndErrnoStaysUntouched) {
    uint32_t errno_addr = sym("errno");
    m_->set_u32(errno_addr, 77);
    script(NUV_SYS_close, {-9});
    EXPECT_EQ(icall("close", {3}), -9);
    EXPECT_EQ(icall("write", {1, 0, 1}), -1);
    EXPECT_EQ(m_->u32(errno_addr), 77u);
}

TEST_F(LibTest, ExitPassesAllThirtyTwoBits) {
    for (int32_t status : {0, 256, -1, 0x7FFFFFFF}) {
        nuv::RunResult r = m_->call("_exit", {status});
        EXPECT_EQ(r.stop, nuv::Stop::Exited);
        EXPECT_EQ(r.status, status);
    }
}

TEST_F(LibTest, ExitHaltsIfTheKernelReturns) {
    script(NUV_SYS_exit, {0});
    nuv::RunResult r = m_->call("_exit", {5});
    EXPECT_EQ(r.stop, nuv::Stop::Fault);  // the halt loop, never back to the caller
    EXPECT_EQ(r.fault.kind, nuv::FaultKind::Halt) << nuv::report::what(r);
}

// ---- stream output ----

class Output : public LibTest {
  protected:
    // A descriptor stream record of our own with the given descriptor.
    uint32_t fd_stream(int32_t fd) {
        uint32_t f = nuvtest::alloc(*m_, 44, 4);
        std::vector<uint32_t> w(11, 0);
        w[0] = 1;
        w[1] = static_cast<uint32_t>(fd);
        m_->write(f, w.data(), 44);
        return f;
    }
    uint32_t std_stream(const char* name) { return m_->u32(sym(name)); }
};

TEST_F(Output, StandardStreamsAreDescriptorStreams) {
    const struct {
        const char* var;
        const char* record;
        uint32_t fd;
    } streams[] = {{"stdin", "g_stdin", 0}, {"stdout", "g_stdout", 1}, {"stderr", "g_stderr", 1}};
    for (const auto& s : streams) {
        EXPECT_EQ(std_stream(s.var), sym(s.record));
        std::vector<uint8_t> rec = m_->read_bytes(sym(s.record), 44);
        std::vector<uint8_t> expect(44, 0);
        expect[0] = 1;
        expect[4] = static_cast<uint8_t>(s.fd);
        EXPECT_EQ(rec, expect) << s.record;
    }
}

TEST_F(Output, PutsWritesTextThenNewline) {
    EXPECT_EQ(icall("puts", {str("NUV-OS Release 16")}), 0);
    EXPECT_EQ(g().output(), "NUV-OS Release 16\n");
    ASSERT_EQ(g().traps().size(), 2u);
    EXPECT_EQ(g().traps()[0].args.edx, 17u);
    EXPECT_EQ(g().traps()[1].args.edx, 1u);
    g().clear_traps();
    EXPECT_EQ(icall("puts", {str("")}), 0);
    EXPECT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_write});
    EXPECT_EQ(icall("puts", {0}), -1);
}

TEST_F(Output, SmallFunctionsResultsAndWrites) {
    uint32_t out = std_stream("stdout"), in = std_stream("stdin"), err = std_stream("stderr");
    EXPECT_EQ(icall("fputs", {str(""), out}), 0);
    EXPECT_EQ(icall("fputs", {str("x"), 0}), -1);
    EXPECT_EQ(icall("fputs", {0, out}), -1);
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(icall("fputs", {str("abc"), err}), 3);
    EXPECT_EQ(icall("fputc", {'A', in}), -1);
    EXPECT_EQ(icall("fputc", {0x141, out}), 0x141);
    EXPECT_EQ(icall("fputc", {-1, out}), -1);
    EXPECT_EQ(icall("putchar", {0x2a}), 0x2a);
    EXPECT_EQ(g().output(), "abcA\xff*");
    EXPECT_EQ(icall("fflush", {0}), 0);
    EXPECT_EQ(icall("fflush", {out}), 0);
    EXPECT_EQ(icall("setbuf", {out, 0}), icall("setbuf", {out, 0}));
    EXPECT_EQ(icall("fwrite", {str("hello"), 65536, 65536, out}), 0);
    EXPECT_EQ(icall("fwrite", {str("hello"), 1, 0, out}), 0);
    EXPECT_EQ(icall("fwrite", {str("hello"), 0, 1, out}), 0);
    EXPECT_EQ(icall("fwrite", {0, 1, 1, out}), 0);
    EXPECT_EQ(icall("fwrite", {str("hello"), 1, 1, 0}), 0);
    EXPECT_EQ(icall("fwrite", {str("hello"), 2, 2, out}), 2);
    EXPECT_EQ(g().output(), "abcA\xff*hell");
}

TEST_F(Output, OnlyDescriptorOneAcceptsOutput) {
    for (int32_t fd : {0, 2, 3, -1}) {
        g().clear_traps();
        EXPECT_EQ(icall("file_write_bytes", {fd_stream(fd), str("x"), 1}), -1) << fd;
        EXPECT_TRUE(g().traps().empty()) << fd;
    }
    EXPECT_EQ(icall("file_write_bytes", {fd_stream(1), str("x"), 1}), 0);
    g().clear_traps();
    EXPECT_EQ(icall("file_write_bytes", {fd_stream(1), str("x"), 0}), 0);
    EXPECT_EQ(icall("file_write_bytes", {0, str("x"), 1}), -1);
    EXPECT_EQ(icall("file_write_bytes", {fd_stream(1), 0, 1}), -1);
    EXPECT_TRUE(g().traps().empty());
}

// The kernel answering each write with more than asked, less, 0 or -1: the
// writer asks for the rest after a short answer, stops at the first answer
// of 0 or less, and takes an answer of at least the bytes still to go as the
// end (it never reads past the caller's bytes on the strength of it).
TEST_F(Output, WriteLoopFollowsTheKernelsAnswers) {
    struct Case {
        const char* fn;  // fwrite writes the text as 2 x 3 bytes, putchar its one byte
        const char* text;
        std::vector<int32_t> answers;    // the kernel's results in turn; the last repeats
        std::vector<std::string> asked;  // the bytes each write call was asked to take
        int32_t result;
    };
    const Case cases[] = {
        {"fputs", "/a/b", {12, -1}, {"/a/b"}, 4},
        {"fputs", "abcdefgh", {3, 2, 9, -1}, {"abcdefgh", "defgh", "fgh"}, 8},
        {"fputs", "abcdefgh", {2, 0}, {"abcdefgh", "cdefgh"}, -1},
        {"fputs", "abcdefgh", {-1}, {"abcdefgh"}, -1},
        {"puts", "/a/b", {12, 7, -1}, {"/a/b", "\n"}, 0},
        {"puts", "abc", {1, 5, 3, -1}, {"abc", "bc", "\n"}, 0},
        {"puts", "abc", {0}, {"abc"}, -1},
        {"puts", "abc", {3, -1}, {"abc", "\n"}, -1},
        {"putchar", "x", {7, -1}, {"x"}, 'x'},
        {"putchar", "x", {0}, {"x"}, -1},
        {"fwrite", "abcdef", {4, 9, -1}, {"abcdef", "ef"}, 3},
        {"fwrite", "abcdef", {5, -1}, {"abcdef", "f"}, 0},
        {"fwrite", "abcdef", {100, -1}, {"abcdef"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fn) + " answered " + testing::PrintToString(c.answers));
        SetUp();
        std::vector<std::string> asked;
        size_t next = 0;
        g().set_handler(NUV_SYS_write, [&](nuv::CallContext& m, const nuv::SyscallArgs& a) {
            EXPECT_EQ(a.ebx, 1u);
            // A runaway request shows as its first bytes and "...".
            std::vector<uint8_t> bytes =
                nuvtest::read_bytes(m, a.ecx, std::min<uint32_t>(a.edx, 64));
            asked.emplace_back(bytes.begin(), bytes.end());
            if (a.edx > 64) asked.back() += "...";
            return c.answers[std::min(next++, c.answers.size() - 1)];
        });
        const std::string fn = c.fn;
        int32_t r;
        if (fn == "fputs") {
            r = icall("fputs", {str(c.text), std_stream("stdout")});
        } else if (fn == "puts") {
            r = icall("puts", {str(c.text)});
        } else if (fn == "putchar") {
            r = icall("putchar", {c.text[0]});
        } else {
            r = icall("fwrite", {str(c.text), 2, 3, std_stream("stdout")});
        }
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(trap_numbers(), std::vector<uint32_t>(c.asked.size(), NUV_SYS_write));
    }
}

TEST_F(Output, FailedWriteStopsAtOnceAndKeepsWhatWasDelivered) {
    script(NUV_SYS_write, {3, 0, 5});
    EXPECT_EQ(icall("file_write_bytes", {std_stream("stdout"), str("abcdefgh"), 8}), -1);
    ASSERT_EQ(g().traps().size(), 2u);
    EXPECT_EQ(g().traps()[1].args.edx, 5u);
    EXPECT_EQ(g().traps()[1].args.ecx, g().traps()[0].args.ecx + 3);
    script(NUV_SYS_write, {-1});
    EXPECT_EQ(icall("fwrite", {str("ab"), 1, 2, std_stream("stdout")}), 0);
    EXPECT_EQ(icall("putchar", {'a'}), -1);
}

TEST_F(Output, StdoutVariableIsReadAtEachUse) {
    uint32_t var = sym("stdout");
    uint32_t original = g().u32(var);
    g().set_u32(var, fd_stream(0));
    EXPECT_EQ(icall("puts", {str("lost")}), -1);
    EXPECT_EQ(icall("putchar", {'x'}), -1);
    EXPECT_TRUE(g().traps().empty());
    g().set_u32(var, sym("g_stderr"));
    EXPECT_EQ(icall("puts", {str("via stderr")}), 0);
    g().set_u32(var, original);
    EXPECT_EQ(g().output(), "via stderr\n");
}

}  // namespace
