// The stream formatter: vfprintf, fprintf and printf, run on the library's
// i386 code. Output to descriptor 1 is observed through the recorded write
// traps, one per piece the formatter hands to the stream's writer.
#include <string>
#include <vector>

#include "fault_report.hpp"
#include "format_args.hpp"
#include "guest.hpp"

namespace {

using nuvtest::FArg;
using nuvtest::LibTest;

class StreamFormat : public LibTest {
  protected:
    struct Out {
        int32_t ret = 0;
        std::vector<std::string> pieces;  // one per write call on descriptor 1
        std::string text() const {
            std::string s;
            for (const std::string& p : pieces) s += p;
            return s;
        }
    };

    uint32_t stdout_ptr() { return g().u32(sym("stdout")); }
    uint32_t stderr_ptr() { return g().u32(sym("stderr")); }

    // The writes since the last clear, cut out of the captured output by the
    // byte counts of the recorded write traps.
    std::vector<std::string> pieces() {
        std::vector<std::string> v;
        size_t at = 0;
        for (const nuv::TrapRecord& t : g().traps()) {
            if (t.args.nr != NUV_SYS_write) continue;
            EXPECT_EQ(t.args.ebx, 1u);
            v.push_back(g().output().substr(at, t.args.edx));
            at += t.args.edx;
        }
        EXPECT_EQ(at, g().output().size());
        return v;
    }

    // Calls fn ("fprintf", "vfprintf" or "printf") on the stream (ignored by
    // printf). The va_list of vfprintf ends where mapped memory ends, so
    // reading an argument the format did not name faults the call.
    Out format(const std::string& fn, uint32_t stream, const std::string& fmt,
               const std::vector<FArg>& args) {
        std::vector<uint32_t> words;
        if (fn != "printf") words.push_back(stream);
        words.push_back(str(fmt));
        std::vector<uint32_t> values = nuvtest::arg_words(g(), args);
        if (fn == "vfprintf") {
            words.push_back(nuvtest::va_list_at_end(g(), values));
        } else {
            words.insert(words.end(), values.begin(), values.end());
        }
        g().clear_traps();
        g().output().clear();
        nuv::RunResult r = g().call_words(sym(fn), words);
        EXPECT_EQ(r.stop, nuv::Stop::Returned)
            << fn << " \"" << fmt << "\": " << nuv::report::what(r);
        Out out;
        out.ret = static_cast<int32_t>(g().eax());
        out.pieces = pieces();
        return out;
    }

    // A memory stream record whose caller variables are scratch words.
    struct MemStream {
        uint32_t file, out_buf, out_len;
    };
    MemStream mem_stream() {
        MemStream m{};
        m.out_buf = buf(4, 0);
        m.out_len = buf(4, 0);
        m.file = nuvtest::make_file(g(), 2, 0, m.out_buf, m.out_len);
        return m;
    }
    std::string collected(const MemStream& m) {
        uint32_t p = g().u32(m.out_buf);
        return p ? std::string(
                       reinterpret_cast<const char*>(g().read_bytes(p, g().u32(m.out_len)).data()),
                       g().u32(m.out_len))
                 : std::string();
    }
};

struct Row {
    const char* fmt;
    std::vector<FArg> args;
    std::string expect;
    bool open_end = false;  // the format ends inside a conversion
};

// Unrecognised conversions consume nothing, so their rows pass no argument:
// the sentinel run shows that none was taken.
const std::vector<Row>& dialect_rows() {
    static const std::vector<Row> rows = {
        {"[%5d]", {42}, "[   42]"},
        {"[%05d]", {42}, "[   42]"},
        {"[%-5d]", {}, "[%-5d]"},
        {"[%+d]", {}, "[%+d]"},
        {"[%.3d]", {-4}, "[-004]"},
        {"[%7.3d]", {-42}, "[   -042]"},
        {"[%x]", {255}, "[ff]"},
        {"[%X]", {}, "[%X]"},
        {"[%llu]", {FArg::u64(~0ull)}, "[18446744073709551615]"},
        {"[%lld %d]", {FArg::u64(5), 7}, "[5 7]"},
        {"[%zd]", {}, "[%zd]"},
        {"[%8.4p]", {255}, "[  0x00ff]"},
        {"[%5.1s]", {"ab"}, "[    a]"},
        {"[%.3s]", {nullptr}, "[(nu]"},
        {"[%*s]", {-3, "ab"}, "[ab]"},
        {"[%5c]", {65}, "[A]"},
        {"[%.0d]", {0}, "[0]"},
        {"[%5%]", {}, "[%]"},
        {"%o", {}, "%o"},
        {"%f", {}, "%f"},
        {"% d", {}, "% d"},
        {"%#x", {}, "%#x"},
        {"%hd", {}, "%hd"},
        // Values, 32 and 64 bits.
        {"%d", {INT32_MIN}, "-2147483648"},
        {"%i", {-1}, "-1"},
        {"%u", {0xFFFFFFFFu}, "4294967295"},
        {"%x", {0xDEADBEEFu}, "deadbeef"},
        {"%lld", {FArg::u64(0x8000000000000000ull)}, "-9223372036854775808"},
        {"%lli", {FArg::u64(static_cast<uint64_t>(-1234567890123ll))}, "-1234567890123"},
        {"%llx", {FArg::u64(0x123456789abcdef0ull)}, "123456789abcdef0"},
        {"%llu", {FArg::u64(10000000000ull)}, "10000000000"},
        {"%llu", {FArg::u64(0)}, "0"},
        {"%llp", {FArg::u64(1ull << 32)}, "0x100000000"},
        {"%ld %lu %lx", {-3, 3000000000u, 255}, "-3 3000000000 ff"},
        {"[%.10x]", {0x1f}, "[000000001f]"},
        {"[%.25llu]", {FArg::u64(~0ull)}, "[0000018446744073709551615]"},
        {"[%p]", {0}, "[0x0]"},
        {"[%5p]", {0}, "[  0x0]"},
        {"[%.0p]", {0}, "[0x0]"},
        {"[%*.*d]", {6, 3, 5}, "[   005]"},
        {"[%.*d]", {-1, 42}, "[42]"},
        // Strings and characters.
        {"[%s]", {""}, "[]"},
        {"[%3s]", {""}, "[   ]"},
        {"[%.0s]", {"ab"}, "[]"},
        {"[%*.*s]", {5, 2, "abcd"}, "[   ab]"},
        {"[%s]", {nullptr}, "[(null)]"},
        {"x%c", {0x141}, "xA"},
        // ll widens only d, i, u, x and p.
        {"x%llc%lls", {65, "bc"}, "xAbc"},
        // '0' is a width digit, so "%0*d" has the conversion '*'.
        {"[%0*d]", {}, "[%*d]"},
        {"[%lll]", {}, "[%l]"},
        {"[%l5d]", {}, "[%5d]"},
        {"%\xe9", {}, "%\xe9"},
        {"%-%%", {}, "%-%"},
        {"%*%", {3}, "%"},
        {"%%", {}, "%"},
        // The format ends inside a conversion.
        {"abc%", {}, "abc", true},
        {"%5", {}, "", true},
        {"%.", {}, "", true},
        {"%l", {}, "", true},
        {"%ll", {}, "", true},
        {"ab%*", {9}, "ab", true},
        {"ab%.*", {9}, "ab", true},
        // Width and precision digits beyond 32 bits wrap.
        {"[%4294967299d]", {42}, "[ 42]"},
        {"[%4294967295d]", {42}, "[42]"},
        {"[%.4294967298d]", {5}, "[05]"},
    };
    return rows;
}

// Every row runs through fprintf and vfprintf on a descriptor record of our
// own (no row begins with %c) and through printf, each on a fresh machine.
// Complete formats run again with "|%d" and a sentinel behind them, so a row
// must consume exactly the arguments it names.
TEST_F(StreamFormat, EveryConversionAndModifier) {
    for (const char* fn : {"fprintf", "vfprintf", "printf"}) {
        for (const Row& row : dialect_rows()) {
            SCOPED_TRACE(std::string(fn) + " \"" + row.fmt + "\"");
            SetUp();
            Out o = format(fn, nuvtest::make_file(g(), 1, 1), row.fmt, row.args);
            EXPECT_EQ(o.text(), row.expect);
            EXPECT_EQ(o.ret, static_cast<int32_t>(row.expect.size()));
            if (row.open_end) continue;
            SetUp();
            std::vector<FArg> args = row.args;
            args.emplace_back(777);
            o = format(fn, nuvtest::make_file(g(), 1, 1), std::string(row.fmt) + "|%d", args);
            EXPECT_EQ(o.text(), row.expect + "|777");
        }
    }
}

TEST_F(StreamFormat, EachPieceIsOneWrite) {
    struct Case {
        const char* fmt;
        std::vector<FArg> args;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"hi %d!", {42}, {"h", "i", " ", "42", "!"}},
        {"[%8.4p]", {255}, {"[", " ", " ", "0", "x", "0", "0", "ff", "]"}},
        {"%.3d", {-4}, {"-", "0", "0", "4"}},
        {"%4d", {-4}, {" ", " ", "-", "4"}},
        {"%lld", {FArg::u64(12345678901234ull)}, {"12345678901234"}},
        {"%4s", {"abc"}, {" ", "abc"}},
        {"%s", {"a longer text"}, {"a longer text"}},
        // A string of 0 bytes is a write of its own, which reaches no kernel.
        {"%3s|", {""}, {" ", " ", " ", "|"}},
        {"-%c%c", {65, 66}, {"-", "A", "B"}},
        {"%%", {}, {"%"}},
        {"%q", {}, {"%", "q"}},
        {"%5%", {}, {"%"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmt);
        Out o = format("fprintf", stdout_ptr(), c.fmt, c.args);
        EXPECT_EQ(o.pieces, c.pieces);
    }
}

TEST_F(StreamFormat, LeadingCharacterConversionSendsAControlRecord) {
    struct Case {
        const char* fn;
        const char* fmt;
        std::vector<FArg> args;
        std::vector<std::string> pieces;
        int32_t ret;
    };
    const std::string rec123("\xFF\x01\x02\x03", 4);
    const Case cases[] = {
        {"printf", "%cAB", {1, 2, 3}, {rec123, "A", "B"}, 2},
        {"printf", "%c", {16, 32, 48}, {std::string("\xFF\x10\x20\x30", 4)}, 0},
        {"printf", "A%c", {66}, {"A", "B"}, 2},
        {"printf", "%c%c", {1, 2, 3, 66}, {rec123, "B"}, 1},
        {"printf", "%c", {0x1FF, -1, 0x100}, {std::string("\xFF\xFF\xFF\x00", 4)}, 0},
        // Only "%c" exactly at the start.
        {"printf", "%5c", {65}, {"A"}, 1},
        {"printf", "%%c", {}, {"%", "c"}, 2},
        {"fprintf:stdout", "%cAB", {1, 2, 3}, {rec123, "A", "B"}, 2},
        {"fprintf:stderr", "%cAB", {1, 2, 3}, {rec123, "A", "B"}, 2},
        {"vfprintf:stderr", "%cAB", {1, 2, 3}, {rec123, "A", "B"}, 2},
        {"fprintf:record", "%c|%d", {1, 2, 3, 9}, {rec123, "|", "9"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fn) + " \"" + c.fmt + "\"");
        SetUp();
        std::string fn = c.fn;
        std::string where = fn.find(':') == std::string::npos ? "" : fn.substr(fn.find(':') + 1);
        fn = fn.substr(0, fn.find(':'));
        uint32_t stream = where == "stderr"   ? stderr_ptr()
                          : where == "record" ? nuvtest::make_file(g(), 1, 1)
                                              : stdout_ptr();
        Out o = format(fn, stream, c.fmt, c.args);
        EXPECT_EQ(o.pieces, c.pieces);
        EXPECT_EQ(o.ret, c.ret);
    }
}

TEST_F(StreamFormat, FailedControlRecordWritesNothingElse) {
    script(NUV_SYS_write, {0});
    EXPECT_EQ(icall("printf", {str("%cAB"), 1, 2, 3}), -1);
    ASSERT_EQ(g().traps().size(), 1u);
    EXPECT_EQ(g().traps()[0].args.edx, 4u);
}

TEST_F(StreamFormat, FirstFailedWriteEndsTheCall) {
    struct Case {
        const char* fmt;
        std::vector<FArg> args;
        std::vector<int32_t> answers;      // results of the write calls in turn
        std::vector<std::string> written;  // what the calls were asked to write
    };
    const Case cases[] = {
        // Two fill spaces are delivered, the third fails.
        {"%5d", {42}, {1, 1, 0}, {" ", " ", " "}},
        {"ab", {}, {1, -5}, {"a", "b"}},
        {"%d!", {123}, {0}, {"123"}},
        // A short write is continued; a failure after it still ends the call.
        {"%d!", {123}, {2, 0}, {"123", "3"}},
        {"[%c]", {65}, {1, 0}, {"[", "A"}},
        {"%s", {"xyz"}, {-1}, {"xyz"}},
        {"%q", {}, {1, 0}, {"%", "q"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmt);
        SetUp();
        std::vector<std::string> written;
        size_t next = 0;
        std::vector<int32_t> answers = c.answers;
        g().set_handler(NUV_SYS_write, [&](nuv::CallContext& m, const nuv::SyscallArgs& a) {
            std::vector<uint8_t> bytes = nuvtest::read_bytes(m, a.ecx, a.edx);
            written.emplace_back(bytes.begin(), bytes.end());
            return answers[std::min(next++, answers.size() - 1)];
        });
        std::vector<uint32_t> words{stdout_ptr(), str(c.fmt)};
        std::vector<uint32_t> values = nuvtest::arg_words(g(), c.args);
        words.insert(words.end(), values.begin(), values.end());
        ASSERT_EQ(g().call_words(sym("fprintf"), words).stop, nuv::Stop::Returned);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), -1);
        EXPECT_EQ(written, c.written);
    }
}

TEST_F(StreamFormat, RefusedStreamsAndFormats) {
    uint32_t input = nuvtest::make_file(g(), 1, 0);
    uint32_t fmt = str("abc");
    struct Case {
        std::vector<uint32_t> words;
        int32_t ret;
    };
    const Case cases[] = {
        {{0u, fmt}, -1},
        {{stdout_ptr(), 0u}, -1},
        {{stdout_ptr(), str("")}, 0},
        {{stdout_ptr(), str("%")}, 0},
        // Descriptor 0 takes no output: the first write fails before any call.
        {{input, fmt}, -1},
        {{input, str("%c"), 1, 2, 3}, -1},
        {{input, str("")}, 0},
        {{input, str("%")}, 0},
        {{input, str("%5")}, 0},
    };
    for (const Case& c : cases) {
        g().clear_traps();
        nuv::RunResult r = g().call_words(sym("fprintf"), c.words);
        ASSERT_EQ(r.stop, nuv::Stop::Returned) << nuv::report::what(r);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), c.ret);
        EXPECT_TRUE(g().traps().empty());
    }
    g().clear_traps();
    EXPECT_EQ(icall("printf", {0u}), -1);
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(StreamFormat, PrintfReadsStdoutAtEachCall) {
    uint32_t saved = stdout_ptr();
    g().set_u32(sym("stdout"), nuvtest::make_file(g(), 1, 0));
    EXPECT_EQ(icall("printf", {str("x")}), -1);
    EXPECT_TRUE(g().traps().empty());
    g().set_u32(sym("stdout"), saved);
    EXPECT_EQ(icall("printf", {str("x%d"), 5}), 2);
    EXPECT_EQ(g().output(), "x5");
}

// Cases where the two dialects part: the same call through snprintf and
// through fprintf on a descriptor record.
TEST_F(StreamFormat, DialectsDifferWhereTheyShould) {
    struct Case {
        const char* fmt;
        std::vector<FArg> args;
        std::string buffer, stream;
    };
    const Case cases[] = {
        {"[%-5d]", {42}, "[42   ]", "[%-5d]"},
        {"[%05d]", {42}, "[00042]", "[   42]"},
        {"[%+d]", {5}, "[+5]", "[%+d]"},
        {"[%X]", {255}, "[FF]", "[%X]"},
        {"[%zd]", {5}, "[5]", "[%zd]"},
        {"[%8.4p]", {255}, "[0xff]", "[  0x00ff]"},
        {"[%0*d]", {5, 42}, "[00042]", "[%*d]"},
        // ll: one word for the buffer formatter, two for the stream formatter.
        {"[%lld|%d]", {FArg::u64(5), 7}, "[5|0]", "[5|7]"},
        {"%llp|%d", {FArg::u64(1ull << 32), 9}, "0x0|1", "0x100000000|9"},
        {"[%llu]", {FArg::u64(~0ull)}, "[4294967295]", "[18446744073709551615]"},
        // Common ground.
        {"[%5c]", {65}, "[A]", "[A]"},
        {"[%5%]", {}, "[%]", "[%]"},
        {"[%.3s]", {nullptr}, "[(nu]", "[(nu]"},
        {"[%*s]", {-3, "ab"}, "[ab]", "[ab]"},
        {"[%.0d]", {0}, "[0]", "[0]"},
        {"[%7.3d]", {-42}, "[   -042]", "[   -042]"},
        {"%o|%hd|% d|%d", {3}, "%o|%hd|% d|3", "%o|%hd|% d|3"},
        {"%d", {INT32_MIN}, "-2147483648", "-2147483648"},
        {"%p", {0}, "0x0", "0x0"},
        {"abc%", {}, "abc", "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmt);
        SetUp();
        uint32_t dst = buf(64);
        std::vector<uint32_t> words{dst, 64u, str(c.fmt)};
        std::vector<uint32_t> values = nuvtest::arg_words(g(), c.args);
        words.insert(words.end(), values.begin(), values.end());
        ASSERT_EQ(g().call_words(sym("snprintf"), words).stop, nuv::Stop::Returned);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), static_cast<int32_t>(c.buffer.size()));
        EXPECT_EQ(g().read_string(dst), c.buffer);
        Out o = format("fprintf", nuvtest::make_file(g(), 1, 1), c.fmt, c.args);
        EXPECT_EQ(o.text(), c.stream);
        EXPECT_EQ(o.ret, static_cast<int32_t>(c.stream.size()));
    }
}

// Memory-backed streams: no control record, and everything the formatter
// writes is collected in order.
class MemoryStreamFormat : public StreamFormat {
  protected:
    struct Collected {
        int32_t ret;
        std::string text;
    };
    Collected to_memory(const std::string& fn, const std::string& fmt,
                        const std::vector<FArg>& args) {
        MemStream ms = mem_stream();
        Out o = format(fn, ms.file, fmt, args);
        EXPECT_TRUE(o.pieces.empty()) << "a memory stream reached the kernel";
        return {o.ret, collected(ms)};
    }
};

TEST_F(MemoryStreamFormat, EveryConversionAndModifier) {
    for (const char* fn : {"fprintf", "vfprintf"}) {
        for (const Row& row : dialect_rows()) {
            SCOPED_TRACE(std::string(fn) + " \"" + row.fmt + "\"");
            SetUp();
            Collected c = to_memory(fn, row.fmt, row.args);
            EXPECT_EQ(c.text, row.expect);
            EXPECT_EQ(c.ret, static_cast<int32_t>(row.expect.size()));
        }
    }
}

TEST_F(MemoryStreamFormat, LeadingCharacterIsAnOrdinaryConversion) {
    for (const char* fn : {"fprintf", "vfprintf"}) {
        SCOPED_TRACE(fn);
        SetUp();
        Collected c = to_memory(fn, "%cAB|%d", {1, 2});
        EXPECT_EQ(c.text, std::string("\x01"
                                      "AB|2"));
        EXPECT_EQ(c.ret, 5);
    }
    // A write-file stream collects in its own record, also without a record.
    SetUp();
    uint32_t file = nuvtest::make_file(g(), 3, 0);
    EXPECT_EQ(icall("fprintf", {file, str("%c%s"), 'x', str("yz")}), 3);
    EXPECT_EQ(g().u32(file + 16), 3u);
    EXPECT_EQ(g().read_string(g().u32(file + 12)), "xyz");
}

TEST_F(MemoryStreamFormat, LongOutputGrowsTheBuffer) {
    // 600 characters, most of them single-byte writes of fill.
    Collected c = to_memory("fprintf", "%591d|%s", {7, "abcdefgh"});
    EXPECT_EQ(c.ret, 600);
    EXPECT_EQ(c.text, std::string(590, ' ') + "7|abcdefgh");
}

TEST_F(MemoryStreamFormat, EmptyOutputLeavesTheCallerVariables) {
    MemStream ms = mem_stream();
    EXPECT_EQ(icall("fprintf", {ms.file, str("%")}), 0);
    EXPECT_EQ(icall("fprintf", {ms.file, str("%.0s"), str("abc")}), 0);
    EXPECT_EQ(g().u32(ms.out_buf), 0u);
    EXPECT_EQ(g().u32(ms.out_len), 0u);
}

TEST_F(MemoryStreamFormat, ExhaustedHeapFailsTheFirstWrite) {
    MemStream ms = mem_stream();
    EXPECT_EQ(icall("fprintf", {ms.file, str("ab")}), 2);
    // The buffer holds 256 bytes; with the heap used up it cannot grow.
    g().set_u32(sym("g_heap_used"), 1u << 20);
    EXPECT_EQ(icall("fprintf", {ms.file, str("%300d"), 1}), -1);
    EXPECT_EQ(collected(ms), "ab" + std::string(253, ' '));
    EXPECT_EQ(icall("fprintf", {ms.file, str("%d"), 5}), -1);
}

}  // namespace
