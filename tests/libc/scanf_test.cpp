// Formatted input: the string scanner and fscanf's one-token reads from a
// descriptor stream.
#include <cstring>
#include <string>
#include <vector>

#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using nuvtest::LibTest;

// What one pointer argument must hold after the call.
struct Slot {
    enum Kind { Int, Text, Char, Untouched } kind;
    int32_t i = 0;
    std::string s;
};
Slot I(int32_t v) {
    return {Slot::Int, v, {}};
}
Slot S(std::string v) {
    return {Slot::Text, 0, std::move(v)};
}
Slot C(char v) {
    return {Slot::Char, static_cast<unsigned char>(v), {}};
}
const Slot kUntouched{Slot::Untouched, 0, {}};

constexpr size_t kSlotBytes = 64;
constexpr uint8_t kFill = 0xAA;

struct ScanCase {
    std::string input;
    std::string format;
    int32_t result;
    std::vector<Slot> slots;
};

class ScanTest : public LibTest {
  protected:
    // Passes one fresh, filled buffer per slot and checks each afterwards.
    void check(const char* fn, const ScanCase& c, uint32_t first_word) {
        SCOPED_TRACE(std::string(fn) + "(\"" + c.input + "\", \"" + c.format + "\")");
        std::vector<uint32_t> words = {first_word, str(c.format)};
        std::vector<uint32_t> slots;
        for (size_t i = 0; i < c.slots.size(); ++i) slots.push_back(buf(kSlotBytes, kFill));
        words.insert(words.end(), slots.begin(), slots.end());
        nuv::RunResult r = g().call_words(sym(fn), words);
        ASSERT_EQ(r.stop, nuv::Stop::Returned) << nuv::report::what(r);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), c.result);
        for (size_t i = 0; i < c.slots.size(); ++i) expect_slot(c.slots[i], slots[i], i);
    }

    void expect_slot(const Slot& want, uint32_t at, size_t index) {
        std::vector<uint8_t> got = g().read_bytes(at, kSlotBytes);
        switch (want.kind) {
            case Slot::Int:
                EXPECT_EQ(static_cast<int32_t>(g().u32(at)), want.i) << "slot " << index;
                EXPECT_EQ(got[4], kFill) << "slot " << index << " written past the int";
                break;
            case Slot::Char:
                EXPECT_EQ(got[0], static_cast<uint8_t>(want.i)) << "slot " << index;
                EXPECT_EQ(got[1], kFill) << "slot " << index << " written past the char";
                break;
            case Slot::Text:
                EXPECT_EQ(g().read_string(at, kSlotBytes), want.s) << "slot " << index;
                EXPECT_EQ(got[want.s.size() + 1], kFill) << "slot " << index << " past the NUL";
                break;
            case Slot::Untouched:
                EXPECT_EQ(got, std::vector<uint8_t>(kSlotBytes, kFill)) << "slot " << index;
                break;
        }
    }
};

const std::vector<ScanCase>& scan_cases() {
    static const std::vector<ScanCase> cases = {
        {"42", "%d", 1, {I(42)}},
        {"  -17abc", "%d%s", 2, {I(-17), S("abc")}},
        {"0x1A", "%i", 1, {I(26)}},
        {"0x1A", "%x", 1, {I(0)}},
        {"-ff", "%x", 1, {I(-255)}},
        {"017", "%i", 1, {I(15)}},
        {"017", "%d", 1, {I(17)}},
        {"089", "%i", 1, {I(0)}},
        {"12345", "%3d", 1, {I(12345)}},
        {"hello world", "%3s", 1, {S("hello")}},
        {"abc 5", "%*s%d", 1, {I(5)}},
        {"+5", "%u", 0, {kUntouched}},
        {"4294967297", "%u", 1, {I(1)}},
        {"", "%d", 0, {kUntouched}},
        {"7", "%ld", 0, {kUntouched}},
        {"5\n6", "%d%d", 1, {I(5), kUntouched}},
        {"5\n6", "%d %d", 2, {I(5), I(6)}},
        {"\nabc", "%s", 1, {S("")}},
        {"50%", "%d%%", 1, {I(50)}},
        {"a", "%c%c", 1, {C('a'), kUntouched}},
        // Prefixes of i and the bare 0x.
        {"0x", "%i", 0, {kUntouched}},
        {"0xg", "%i", 0, {kUntouched}},
        {"0", "%i", 1, {I(0)}},
        {"-0X10", "%i", 1, {I(-16)}},
        {"+0xfF", "%i", 1, {I(255)}},
        {"9", "%i", 1, {I(9)}},
        {"-", "%d", 0, {kUntouched}},
        {"+", "%x", 0, {kUntouched}},
        {"- 5", "%d", 0, {kUntouched}},
        {"aB", "%X", 1, {I(171)}},
        {"1g", "%x", 1, {I(1)}},
        {"G", "%x", 0, {kUntouched}},
        {"ffffffff", "%x", 1, {I(-1)}},
        {"-2147483648", "%d", 1, {I(INT32_MIN)}},
        {"99999999999", "%d", 1, {I(1215752191)}},  // wraps at 32 bits
        {"-5", "%u", 0, {kUntouched}},
        {" \t7", "%u", 1, {I(7)}},
        // Byte classes: carriage return, vertical tab and form feed are ordinary.
        {"\r5", "%d", 0, {kUntouched}},
        {"\v5", "%d", 0, {kUntouched}},
        {"\f5", "%s", 1, {S("\f5")}},
        {"a\rb c", "%s", 1, {S("a\rb")}},
        {"\t 7", "%d", 1, {I(7)}},
        {"\n7", "%d", 0, {kUntouched}},
        {" x", "%c", 1, {C(' ')}},
        {"a \n\tb", "a %c", 1, {C('b')}},
        {"a\rb", "a %c", 1, {C('\r')}},
        // Suppression takes no pointer and does not count.
        {"5 6", "%*d%d", 1, {I(6)}},
        {"5", "%*d", 0, {}},
        {"ab", "%*c%c", 1, {C('b')}},
        {"x 9", "%*3s %*u%d", 0, {kUntouched}},
        // Literals, %% and unsupported conversions.
        {"ab", "a%d", 0, {kUntouched}},
        {"a", "ab%d", 0, {kUntouched}},
        {"5%", "%d%5%", 1, {I(5)}},
        {"5x", "%d%%%d", 1, {I(5), kUntouched}},
        {"%5", "%%%d", 1, {I(5)}},
        {"  %5", "%%%d", 0, {kUntouched}},
        {"%5", "%*%%d", 1, {I(5)}},
        {"8", "%o", 0, {kUntouched}},
        {"1.5", "%f", 0, {kUntouched}},
        {"5", "%", 0, {}},
        {"5", "%*", 0, {}},
        {"5", "%12", 0, {}},
        {"7 8", "%d %hd", 1, {I(7), kUntouched}},
        {"1 2 3", "%d %d %d", 3, {I(1), I(2), I(3)}},
        {"1 x", "%d %d", 1, {I(1), kUntouched}},
        {"12abc", "%d%c", 2, {I(12), C('a')}},
        {"ab cd", "%s%s", 2, {S("ab"), S("cd")}},
        {"ab", "%s%s", 1, {S("ab"), kUntouched}},
        {"   ", "%s", 0, {kUntouched}},
    };
    return cases;
}

TEST_F(ScanTest, SscanfFollowsTheScannerRules) {
    for (const ScanCase& c : scan_cases()) check("sscanf", c, str(c.input));
}

TEST_F(ScanTest, VsscanfTakesPointersFromTheArgumentList) {
    // An i386 argument list is the address of consecutive words.
    uint32_t n = buf(4), word = buf(16);
    uint32_t ap = nuvtest::alloc(g(), 8, 4);
    g().set_u32(ap, n);
    g().set_u32(ap + 4, word);
    EXPECT_EQ(icall("vsscanf", {str(" 31 four"), str("%d%s"), ap}), 2);
    EXPECT_EQ(g().u32(n), 31u);
    EXPECT_EQ(g().read_string(word), "four");
}

TEST_F(ScanTest, WordWithNullPointerIsConsumedButNotCounted) {
    uint32_t n = buf(4);
    EXPECT_EQ(icall("sscanf", {str("abc 5"), str("%s%d"), 0u, n}), 1);
    EXPECT_EQ(g().u32(n), 5u);
}

// ---- fscanf ----------------------------------------------------------------

constexpr uint32_t kPos = 36, kEof = 40;  // offsets in the stream record

class FscanfTest : public ScanTest {
  protected:
    void SetUp() override {
        opts_.input = input_;
        ScanTest::SetUp();
    }
    uint32_t stdin_record() { return g().u32(sym("stdin")); }
    // Calls fscanf on stdin with the format and one pointer.
    int32_t scan(const std::string& format, uint32_t out) {
        return icall("fscanf", {stdin_record(), str(format), out});
    }
    // Reads made since the last clear; each must ask for one byte.
    size_t reads() {
        size_t n = 0;
        for (const nuv::TrapRecord& t : g().traps()) {
            if (t.args.nr != NUV_SYS_read) continue;
            EXPECT_EQ(t.args.edx, 1u) << "one byte per read";
            ++n;
        }
        g().clear_traps();
        return n;
    }
    std::string input_;
};

class FscanfTwoNumbers : public FscanfTest {
  protected:
    void SetUp() override {
        input_ = "  12 34\n";
        FscanfTest::SetUp();
    }
};

TEST_F(FscanfTwoNumbers, EachCallScansOneToken) {
    uint32_t a = buf(4), b = buf(4);
    uint32_t rec = stdin_record();
    uint32_t fmt = str("%d %d");
    struct Step {
        int32_t result;
        uint32_t a;
        uint32_t pos;
        uint32_t eof;
        size_t reads;
    };
    // Two spaces, 1, 2 and the space; 3, 4 and the newline; then end of input.
    const Step steps[] = {{1, 12, 5, 0, 5}, {1, 34, 8, 0, 3}, {-1, 34, 8, 1, 1}};
    for (const Step& s : steps) {
        g().set_u32(b, 0xAAAAAAAA);
        EXPECT_EQ(icall("fscanf", {rec, fmt, a, b}), s.result);
        EXPECT_EQ(g().u32(a), s.a);
        EXPECT_EQ(g().u32(b), 0xAAAAAAAAu) << "one token fills only the first number";
        EXPECT_EQ(g().u32(rec + kPos), s.pos);
        EXPECT_EQ(g().u32(rec + kEof), s.eof);
        EXPECT_EQ(reads(), s.reads);
    }
}

TEST_F(FscanfTwoNumbers, ScanfReadsTheStreamStdinNamesAtEachCall) {
    uint32_t a = buf(4), b = buf(4), word = buf(16);
    uint32_t rec = stdin_record();
    EXPECT_EQ(icall("scanf", {str("%d %d"), a, b}), 1);
    EXPECT_EQ(g().u32(a), 12u);
    EXPECT_EQ(g().u32(rec + kPos), 5u);
    EXPECT_EQ(reads(), 5u);
    // stdin pointed at a memory stream, then at nothing: no read is made.
    uint32_t mem = buf(44, 0);
    g().set_u32(mem, 2);
    g().set_u32(sym("stdin"), mem);
    EXPECT_EQ(icall("scanf", {str("%s"), word}), -1);
    g().set_u32(sym("stdin"), 0);
    EXPECT_EQ(icall("scanf", {str("%s"), word}), -1);
    EXPECT_EQ(reads(), 0u);
    // Back on the descriptor stream: the next token, then end of input.
    g().set_u32(sym("stdin"), rec);
    EXPECT_EQ(icall("scanf", {str("%s"), word}), 1);
    EXPECT_EQ(g().read_string(word), "34");
    EXPECT_EQ(icall("scanf", {str("%s"), word}), -1);
    EXPECT_EQ(g().u32(rec + kEof), 1u);
}

class FscanfLongToken : public FscanfTest {
  protected:
    void SetUp() override {
        for (int i = 0; i < 300; ++i) input_ += static_cast<char>('a' + i % 26);
        input_ += " rest";
        FscanfTest::SetUp();
    }
};

TEST_F(FscanfLongToken, StoresTheFirst255BytesAndConsumesTheRest) {
    uint32_t out = buf(512);
    EXPECT_EQ(scan("%s", out), 1);
    EXPECT_EQ(g().read_string(out, 512), input_.substr(0, 255));
    EXPECT_EQ(g().u32(stdin_record() + kPos), 301u);
    EXPECT_EQ(reads(), 301u);
    EXPECT_EQ(g().u32(stdin_record() + kEof), 0u);
    // The next token starts after the delimiter; end of input ends it.
    EXPECT_EQ(scan("%s", out), 1);
    EXPECT_EQ(g().read_string(out), "rest");
    EXPECT_EQ(g().u32(stdin_record() + kEof), 1u);
    EXPECT_EQ(g().u32(stdin_record() + kPos), 305u);
}

class FscanfCarriageReturn : public FscanfTest {
  protected:
    void SetUp() override {
        input_ = "\r\t12\rab\r\n";
        FscanfTest::SetUp();
    }
};

TEST_F(FscanfCarriageReturn, EndsATokenAndIsSkippedBeforeOne) {
    uint32_t n = buf(4), word = buf(16);
    EXPECT_EQ(scan("%d", n), 1);
    EXPECT_EQ(g().u32(n), 12u);
    EXPECT_EQ(g().u32(stdin_record() + kPos), 5u);
    EXPECT_EQ(scan("%s", word), 1);
    EXPECT_EQ(g().read_string(word), "ab");
    EXPECT_EQ(g().u32(stdin_record() + kPos), 8u);
    // Only the newline is left: a delimiter, then end of input.
    EXPECT_EQ(scan("%s", word), -1);
    EXPECT_EQ(g().u32(stdin_record() + kEof), 1u);
    EXPECT_EQ(g().u32(stdin_record() + kPos), 9u);
}

TEST_F(ScanTest, FscanfRefusesBadArgumentsWithoutReading) {
    // A memory stream record: kind 2.
    uint32_t mem = buf(44, 0);
    g().set_u32(mem, 2);
    uint32_t fmt = str("%d"), out = buf(4);
    uint32_t in = g().u32(sym("stdin"));
    EXPECT_EQ(icall("fscanf", {0u, fmt, out}), -1);
    EXPECT_EQ(icall("fscanf", {in, 0u, out}), -1);
    EXPECT_EQ(icall("fscanf", {mem, fmt, out}), -1);
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(g().u32(in + kEof), 0u);
    EXPECT_EQ(g().u32(mem + kEof), 0u);
}

TEST_F(ScanTest, FscanfReadsItsOwnDescriptorAndStopsOnAFailedRead) {
    // A descriptor stream on descriptor 7, already positioned at 100.
    uint32_t rec = buf(44, 0);
    g().set_u32(rec, 1);
    g().set_u32(rec + 4, 7);
    g().set_u32(rec + kPos, 100);
    const std::string feed = " 42";
    size_t next = 0;
    std::vector<uint32_t> fds;
    g().set_handler("read", [&](nuv::CallContext& m, const nuv::SyscallArgs& a) -> int32_t {
        fds.push_back(a.ebx);
        if (next >= feed.size()) return -5;  // a kernel failure ends the token
        m.memory().write(a.ecx, &feed[next++], 1);
        return 1;
    });
    uint32_t out = buf(4);
    EXPECT_EQ(icall("fscanf", {rec, str("%d"), out}), 1);
    EXPECT_EQ(g().u32(out), 42u);
    EXPECT_EQ(g().u32(rec + kPos), 103u);
    EXPECT_EQ(g().u32(rec + kEof), 1u);
    EXPECT_EQ(fds, std::vector<uint32_t>(4, 7u));
    // With nothing to read the call fails, and the failure is not an error.
    EXPECT_EQ(icall("fscanf", {rec, str("%d"), out}), -1);
    EXPECT_EQ(g().u32(rec + 32), 0u) << "error indicator";
    EXPECT_EQ(g().u32(rec + kPos), 103u);
}

}  // namespace
