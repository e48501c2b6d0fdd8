// The buffer formatter: vsnprintf, snprintf, vsprintf, sprintf and the digit
// renderer, run on the library's i386 code.
#include <string>
#include <vector>

#include "fault_report.hpp"
#include "format_args.hpp"
#include "guest.hpp"

namespace {

using nuvtest::FArg;
using nuvtest::LibTest;

constexpr uint8_t kFill = 0xAA;
constexpr uint32_t kGuard = 16;  // bytes after the array that must stay untouched

class BufferFormat : public LibTest {
  protected:
    struct Out {
        int32_t ret = 0;
        std::vector<uint8_t> bytes;  // the whole array after the call
        bool ok = false;

        // The stored text: the bytes before the first NUL.
        std::string text() const {
            std::string s(bytes.begin(), bytes.end());
            return s.substr(0, s.find('\0'));
        }
    };

    // Formats into an array of `size` bytes (0xAA before the call) followed by
    // guard bytes. fn is "snprintf" or "vsnprintf" (with size), "sprintf" or
    // "vsprintf" (without). The va_list of the v-forms ends where mapped memory
    // ends, so reading an argument the format did not name faults the call.
    Out format(const std::string& fn, uint32_t size, const std::string& fmt,
               const std::vector<FArg>& args) {
        Out out;
        uint32_t dst = buf(size + kGuard, kFill);
        uint32_t f = str(fmt);
        std::vector<uint32_t> words{dst};
        bool sized = fn == "snprintf" || fn == "vsnprintf";
        if (sized) words.push_back(size);
        words.push_back(f);
        std::vector<uint32_t> values = nuvtest::arg_words(g(), args);
        if (fn[0] == 'v') {
            words.push_back(nuvtest::va_list_at_end(g(), values));
        } else {
            words.insert(words.end(), values.begin(), values.end());
        }
        nuv::RunResult r = g().call_words(sym(fn), words);
        EXPECT_EQ(r.stop, nuv::Stop::Returned)
            << fn << " \"" << fmt << "\": " << nuv::report::what(r);
        out.ok = r.stop == nuv::Stop::Returned;
        out.ret = static_cast<int32_t>(g().eax());
        out.bytes = g().read_bytes(dst, size);
        std::vector<uint8_t> guard = g().read_bytes(dst + size, kGuard);
        EXPECT_EQ(guard, std::vector<uint8_t>(kGuard, kFill)) << fn << " wrote past its array";
        return out;
    }
};

struct Row {
    const char* fmt;
    std::vector<FArg> args;
    std::string expect;
    bool open_end = false;  // the format ends inside a conversion
};

const std::vector<Row>& dialect_rows() {
    static const std::vector<Row> rows = {
        // Flags, width and precision.
        {"[%5d]", {42}, "[   42]"},
        {"[%-5d]", {42}, "[42   ]"},
        {"[%-05d]", {42}, "[42   ]"},
        {"[%05d]", {-4}, "[-0004]"},
        {"[%+04d]", {4}, "[+004]"},
        {"[%+d]", {0}, "[+0]"},
        {"[%+d]", {-3}, "[-3]"},
        {"[%7.3d]", {-42}, "[   -042]"},
        {"[%07.3d]", {-42}, "[   -042]"},
        {"[%-+6d|", {7}, "[+7    |"},
        {"[%0-+0-5d]", {7}, "[+7   ]"},
        {"[%.3x]", {255}, "[0ff]"},
        {"[%06.3X]", {255}, "[   0FF]"},
        {"[%+u]", {5}, "[5]"},
        {"[%+x]", {5}, "[5]"},
        {"[%.0d]", {0}, "[0]"},
        {"[%3.0d]", {0}, "[  0]"},
        {"[%.0x]", {0}, "[0]"},
        {"[%.10d]", {1}, "[0000000001]"},
        {"[%*d]", {-5, 42}, "[42]"},
        {"[%*d]", {5, 42}, "[   42]"},
        {"[%-*d]", {4, 7}, "[7   ]"},
        {"[%.*d]", {-1, 42}, "[42]"},
        {"[%*.*d]", {6, 3, 5}, "[   005]"},
        {"[%0*d]", {5, 42}, "[00042]"},
        // After '*' no width digits are read: '5' is the conversion.
        {"[%*5d]", {3}, "[%5d]"},
        // Values.
        {"%d", {INT32_MIN}, "-2147483648"},
        {"%i", {-1}, "-1"},
        {"%u", {0xFFFFFFFFu}, "4294967295"},
        {"%x", {0xDEADBEEFu}, "deadbeef"},
        {"%X", {0xDEADBEEFu}, "DEADBEEF"},
        {"%d", {0}, "0"},
        // Strings and characters.
        {"[%5s]", {"ab"}, "[   ab]"},
        {"[%-5s]", {"ab"}, "[ab   ]"},
        {"[%05s]", {"ab"}, "[   ab]"},
        {"[%.1s]", {"ab"}, "[a]"},
        {"[%.0s]", {"ab"}, "[]"},
        {"[%.s]", {"ab"}, "[]"},
        {"[%.*s]", {-2, "abc"}, "[abc]"},
        {"[%s]", {""}, "[]"},
        {"[%s]", {nullptr}, "[(null)]"},
        {"[%.3s]", {nullptr}, "[(nu]"},
        {"[%5c]", {65}, "[A]"},
        {"[%-+05c]", {65}, "[A]"},
        {"[%c]", {0x141}, "[A]"},
        // Pointers: flags, width and precision ignored.
        {"[%p]", {0x12}, "[0x12]"},
        {"[%p]", {0}, "[0x0]"},
        {"[%10p]", {255}, "[0xff]"},
        {"[%-+010.6p]", {0xabc}, "[0xabc]"},
        {"[%p]", {0xFFFFFFFFu}, "[0xffffffff]"},
        // Length modifiers: skipped, one word each.
        {"[%lld %d]", {5, 7}, "[5 7]"},
        {"[%ld]", {-3}, "[-3]"},
        {"[%zu]", {7}, "[7]"},
        {"[%lx]", {255}, "[ff]"},
        {"[%llc%lls]", {65, "bc"}, "[Abc]"},
        {"[%llX]", {255}, "[FF]"},
        {"[%lzd]", {}, "[%zd]"},
        {"[%lll]", {}, "[%l]"},
        {"[%l5d]", {}, "[%5d]"},
        // Unrecognised conversions: "%" and the byte, no argument.
        {"%o", {}, "%o"},
        {"%f", {}, "%f"},
        {"%n", {}, "%n"},
        {"% d", {}, "% d"},
        {"%#x", {}, "%#x"},
        {"%hd", {}, "%hd"},
        {"%hhd", {}, "%hhd"},
        {"%jd%td%Ld%qd", {}, "%jd%td%Ld%qd"},
        {"%-5.3lq", {}, "%q"},
        {"%B", {}, "%B"},
        {"%\xe9", {}, "%\xe9"},
        {"%%", {}, "%"},
        {"%-5%", {}, "%"},
        {"%*%", {3}, "%"},
        // The format ends inside a conversion.
        {"abc%", {}, "abc", true},
        {"%5", {}, "", true},
        {"%-", {}, "", true},
        {"%.", {}, "", true},
        {"%l", {}, "", true},
        {"%ll", {}, "", true},
        {"%z", {}, "", true},
        {"x%*", {9}, "x", true},
        {"x%.*", {9}, "x", true},
        // Width and precision digits beyond 32 bits wrap.
        {"[%4294967299d]", {42}, "[ 42]"},
        {"[%4294967295d]", {42}, "[42]"},
        {"[%.4294967298d]", {5}, "[05]"},
    };
    return rows;
}

// Every row runs through each of the four functions, each on a fresh machine.
// Rows whose format is complete run again with "|%d" and a sentinel argument
// behind them: the sentinel must come out, so the row consumed exactly the
// arguments it names (the va_list forms fault on one too many).
TEST_F(BufferFormat, EveryConversionFlagAndModifier) {
    for (const char* fn : {"snprintf", "sprintf", "vsnprintf", "vsprintf"}) {
        for (const Row& row : dialect_rows()) {
            SCOPED_TRACE(std::string(fn) + " \"" + row.fmt + "\"");
            SetUp();
            Out o = format(fn, 256, row.fmt, row.args);
            EXPECT_EQ(o.text(), row.expect);
            EXPECT_EQ(o.ret, static_cast<int32_t>(row.expect.size()));
            if (row.open_end) continue;
            SetUp();
            std::vector<FArg> args = row.args;
            args.emplace_back(777);
            o = format(fn, 256, std::string(row.fmt) + "|%d", args);
            EXPECT_EQ(o.text(), row.expect + "|777");
        }
    }
}

TEST_F(BufferFormat, DigitRenderer) {
    struct Case {
        uint32_t value;
        int base, upper;
        std::string digits;
    };
    const Case cases[] = {
        {0, 10, 0, "0"},
        {0, 16, 1, "0"},
        {7, 10, 0, "7"},
        {10, 10, 0, "10"},
        {16, 16, 0, "10"},
        {255, 16, 0, "ff"},
        {255, 16, 1, "FF"},
        {0xFFFFFFFFu, 10, 0, "4294967295"},
        {0xFFFFFFFFu, 16, 1, "FFFFFFFF"},
        {0x80000000u, 16, 0, "80000000"},
        {1000000000u, 10, 0, "1000000000"},
        // Only bases 10 and 16 exist; any other renders in decimal.
        {12, 8, 0, "12"},
        {12, 0, 0, "12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digits);
        uint32_t digits = buf(16, kFill);
        uint32_t n = buf(4, kFill);
        call("snbuf_render_unsigned", {digits, n, c.value, c.base, c.upper});
        ASSERT_EQ(g().u32(n), c.digits.size());
        std::vector<uint8_t> got = g().read_bytes(digits, 16);
        EXPECT_EQ(std::string(got.begin(), got.begin() + c.digits.size()), c.digits);
        // No terminator and nothing past the digits.
        for (size_t k = c.digits.size(); k < got.size(); ++k) EXPECT_EQ(got[k], kFill) << k;
    }
}

TEST_F(BufferFormat, StoreRuleKeepsTheLastByteForTheNul) {
    struct Case {
        uint32_t size;
        const char* fmt;
        std::vector<FArg> args;
        std::string stored;  // bytes stored, the NUL included
        int32_t ret;
    };
    const Case cases[] = {
        {3, "%d", {123}, std::string("12\0", 3), 3},
        {4, "%d", {123}, std::string("123\0", 4), 3},
        {1, "%d", {123}, std::string("\0", 1), 3},
        {0, "%d", {123}, "", 3},
        {5, "%-8s|", {"abc"}, std::string("abc \0", 5), 9},
        {6, "%08d", {-5}, std::string("-0000\0", 6), 8},
        {4, "%.6x", {255}, std::string("000\0", 4), 6},
        {3, "%s%s", {"ab", "cd"}, std::string("ab\0", 3), 4},
        {2, "%p", {255}, std::string("0\0", 2), 4},
        {8, "", {}, std::string("\0", 1), 0},
        // %c with 0 stores a NUL inside the text and counts it.
        {8, "a%cb", {0}, std::string("a\0b\0", 4), 3},
    };
    for (const char* fn : {"snprintf", "vsnprintf"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(fn) + " \"" + c.fmt + "\" size " + std::to_string(c.size));
            SetUp();
            Out o = format(fn, c.size, c.fmt, c.args);
            EXPECT_EQ(o.ret, c.ret);
            std::string stored(o.bytes.begin(), o.bytes.begin() + c.stored.size());
            EXPECT_EQ(stored, c.stored);
            for (size_t k = c.stored.size(); k < o.bytes.size(); ++k)
                EXPECT_EQ(o.bytes[k], kFill) << k;
        }
    }
}

TEST_F(BufferFormat, NullArrayWithSizeZeroMeasures) {
    uint32_t fmt = str("%s=%d (%5.2x)\n");
    EXPECT_EQ(icall("snprintf", {0u, 0u, fmt, str("key"), 1234, 0xab}), 17);
    EXPECT_EQ(icall("snprintf", {0u, 0u, str("")}), 0);
    // A null array with a nonzero size is treated as size 0: nothing stored.
    EXPECT_EQ(icall("snprintf", {0u, 64u, str("abc%d"), 5}), 4);
    EXPECT_EQ(icall("snprintf", {0u, 64u, 0u}), 0);
}

TEST_F(BufferFormat, NullFormatStoresOnlyTheNul) {
    uint32_t dst = buf(8, kFill);
    EXPECT_EQ(icall("snprintf", {dst, 8u, 0u}), 0);
    EXPECT_EQ(g().read_bytes(dst, 2), (std::vector<uint8_t>{0, kFill}));
    dst = buf(8, kFill);
    EXPECT_EQ(icall("snprintf", {dst, 0u, 0u}), 0);
    EXPECT_EQ(g().read_bytes(dst, 1), (std::vector<uint8_t>{kFill}));
    dst = buf(8, kFill);
    EXPECT_EQ(icall("sprintf", {dst, 0u}), 0);
    EXPECT_EQ(g().read_bytes(dst, 2), (std::vector<uint8_t>{0, kFill}));
}

TEST_F(BufferFormat, SprintfStopsAt65536Bytes) {
    for (const char* fn : {"sprintf", "vsprintf"}) {
        SCOPED_TRACE(fn);
        SetUp();
        Out o = format(fn, 65536, "%70000d", {1});
        EXPECT_EQ(o.ret, 70000);
        EXPECT_EQ(o.bytes.back(), 0);
        EXPECT_EQ(std::string(o.bytes.begin(), o.bytes.end() - 1), std::string(65535, ' '));
    }
    // Output that fits is stored whole.
    SetUp();
    Out o = format("sprintf", 65536, "%65535d", {7});
    EXPECT_EQ(o.ret, 65535);
    EXPECT_EQ(o.bytes[65534], '7');
    EXPECT_EQ(o.bytes[65535], 0);
}

TEST_F(BufferFormat, OutputPastTheCapacityCostsOnlyTheCount) {
    // Two thousand million characters of fill and of precision zeros are
    // counted without being produced one by one.
    Out o = format("snprintf", 8, "%2000000000d", {1});
    EXPECT_EQ(o.ret, 2000000000);
    EXPECT_EQ(o.text(), std::string(7, ' '));
    SetUp();
    o = format("snprintf", 8, "%.2000000000d|%s", {1, "abc"});
    EXPECT_EQ(o.ret, 2000000004);
    EXPECT_EQ(o.text(), std::string(7, '0'));
    SetUp();
    o = format("snprintf", 8, "%-2000000000s|", {"ab"});
    EXPECT_EQ(o.ret, 2000000001);
    EXPECT_EQ(o.text(), "ab     ");
}

}  // namespace
