// Memory-backed output: how file_write_bytes collects bytes in a heap buffer
// for every stream that is not a descriptor stream.
#include <string>
#include <vector>

#include "guest.hpp"

namespace {

constexpr uint32_t kMemStream = 2;
constexpr uint32_t kWriteFile = 3;
constexpr uint32_t kHeapSize = 1u << 20;

// Field offsets of the 44-byte stream record.
enum Field : uint32_t {
    kKind = 0,
    kFd = 4,
    kPath = 8,
    kBuf = 12,
    kLen = 16,
    kCap = 20,
    kOutBuf = 24,
    kOutLen = 28,
    kError = 32,
    kPos = 36,
    kEof = 40,
};

class MemStreamTest : public nuvtest::LibTest {
  protected:
    // A zero-filled record of the given kind in scratch memory. With out_vars,
    // its out_buf and out_len point at two caller variables (vars_).
    uint32_t make_stream(uint32_t kind, bool out_vars) {
        uint32_t f = buf(44, 0);
        g().set_u32(f + kKind, kind);
        if (out_vars) {
            vars_ = buf(8, 0);
            g().set_u32(f + kOutBuf, vars_);
            g().set_u32(f + kOutLen, vars_ + 4);
        }
        return f;
    }
    uint32_t field(uint32_t f, Field which) { return g().u32(f + which); }
    uint32_t heap_used() { return g().u32(sym("g_heap_used")); }
    int32_t err() { return static_cast<int32_t>(g().u32(sym("errno"))); }
    void set_err(int32_t v) { g().set_u32(sym("errno"), static_cast<uint32_t>(v)); }

    // Writes n bytes of a pattern that differs from call to call, remembering
    // them in expect_ when the write succeeds.
    int32_t write(uint32_t f, uint32_t n) {
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>('a' + (serial_ + i) % 26);
        ++serial_;
        uint32_t data = n ? nuvtest::put_bytes(g(), bytes) : str("");
        int32_t r = icall("file_write_bytes", {f, data, n});
        if (r == 0) expect_.insert(expect_.end(), bytes.begin(), bytes.end());
        return r;
    }

    // The record holds exactly the bytes written so far, a zero byte after
    // them, and a buffer whose heap size word is the capacity.
    void expect_content(uint32_t f) {
        uint32_t b = field(f, kBuf), len = field(f, kLen);
        ASSERT_EQ(len, expect_.size());
        ASSERT_NE(b, 0u);
        EXPECT_EQ(g().read_bytes(b, len), expect_);
        EXPECT_EQ(g().read_bytes(b + len, 1), std::vector<uint8_t>{0});
        EXPECT_EQ(g().u32(b - 4), field(f, kCap)) << "size word of the buffer";
        EXPECT_LE(len + 1, field(f, kCap));
    }

    std::vector<uint8_t> record(uint32_t f) { return g().read_bytes(f, 44); }

    uint32_t vars_ = 0;
    uint32_t serial_ = 0;
    std::vector<uint8_t> expect_;
};

struct GrowthCase {
    const char* name;
    std::vector<uint32_t> writes;
    std::vector<uint32_t> caps;  // capacity after each write
};

TEST_F(MemStreamTest, BufferGrowsFrom256ByDoublingAndTracksTheCallersVariables) {
    const GrowthCase cases[] = {
        {"one byte", {1}, {256}},
        {"255 then one more", {255, 1}, {256, 512}},
        {"byte by byte to 256", std::vector<uint32_t>(256, 1), {}},
        {"first write 255", {255}, {256}},
        {"first write 256", {256}, {512}},
        {"first write 300", {300}, {512}},
        {"first write 511", {511}, {512}},
        {"first write 512", {512}, {1024}},
        {"first write 1024", {1024}, {2048}},
        {"filling to the last byte", {100, 100, 55, 1}, {256, 256, 256, 512}},
        {"jumping two doublings", {200, 1000}, {256, 2048}},
        {"several doublings", {600, 600, 600, 2295}, {1024, 2048, 2048, 4096}},
    };
    for (const GrowthCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        expect_.clear();
        uint32_t f = make_stream(kMemStream, true);
        set_err(5);
        for (size_t i = 0; i < c.writes.size(); ++i) {
            ASSERT_EQ(write(f, c.writes[i]), 0) << "write " << i;
            uint32_t want = !c.caps.empty() ? c.caps[i] : (expect_.size() < 256 ? 256 : 512);
            EXPECT_EQ(field(f, kCap), want) << "write " << i;
            expect_content(f);
            EXPECT_EQ(g().u32(vars_), field(f, kBuf)) << "write " << i;
            EXPECT_EQ(g().u32(vars_ + 4), field(f, kLen)) << "write " << i;
        }
        EXPECT_EQ(err(), 5) << "success leaves errno alone";
        // Nothing but the buffer fields changed.
        for (Field other : {kKind, kFd, kPath, kError, kPos, kEof})
            EXPECT_EQ(field(f, other), other == kKind ? kMemStream : 0u);
    }
}

TEST_F(MemStreamTest, EveryGrowthLeavesTheOldBufferBehindInTheArena) {
    uint32_t f = make_stream(kMemStream, true);
    ASSERT_EQ(write(f, 200), 0);
    uint32_t first = field(f, kBuf);
    ASSERT_EQ(write(f, 100), 0);
    EXPECT_NE(field(f, kBuf), first);
    // 256 + 4 and 512 + 4, each rounded to 8.
    EXPECT_EQ(heap_used(), 264u + 520u);
    // The old buffer keeps its bytes: the heap never reuses memory.
    std::vector<uint8_t> head(expect_.begin(), expect_.begin() + 200);
    EXPECT_EQ(g().read_bytes(first, 200), head);
}

TEST_F(MemStreamTest, ZeroLengthWriteTouchesNothing) {
    uint32_t f = make_stream(kMemStream, true);
    g().set_u32(vars_, 0x1234);
    g().set_u32(vars_ + 4, 99);
    EXPECT_EQ(write(f, 0), 0);
    EXPECT_EQ(field(f, kBuf), 0u);
    EXPECT_EQ(field(f, kCap), 0u);
    EXPECT_EQ(g().u32(vars_), 0x1234u);
    EXPECT_EQ(g().u32(vars_ + 4), 99u);
    EXPECT_EQ(heap_used(), 0u);
}

TEST_F(MemStreamTest, OnlyMemoryStreamsUpdateTheCallersVariables) {
    struct KindCase {
        uint32_t kind;
        bool out_vars;
        bool updates;
    };
    const KindCase cases[] = {
        {kWriteFile, false, false},  // as fopen makes it: no variables at all
        {kWriteFile, true, false},   // variables present but not a memory stream
        {0, true, false},            // any kind other than 1 collects too
        {7, true, false},           {kMemStream, true, true},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " vars " << c.out_vars);
        SetUp();
        expect_.clear();
        uint32_t f = make_stream(c.kind, c.out_vars);
        if (c.out_vars) {
            g().set_u32(vars_, 0xAAAA);
            g().set_u32(vars_ + 4, 0xBBBB);
        }
        ASSERT_EQ(write(f, 10), 0);
        ASSERT_EQ(write(f, 300), 0);
        expect_content(f);
        EXPECT_EQ(field(f, kCap), 512u);
        EXPECT_EQ(field(f, kKind), c.kind);
        if (c.out_vars) {
            EXPECT_EQ(g().u32(vars_), c.updates ? field(f, kBuf) : 0xAAAAu);
            EXPECT_EQ(g().u32(vars_ + 4), c.updates ? 310u : 0xBBBBu);
        } else {
            EXPECT_EQ(field(f, kOutBuf), 0u);
            EXPECT_EQ(field(f, kOutLen), 0u);
        }
    }
}

TEST_F(MemStreamTest, MemoryStreamWithOneVariableMissingIsNotUpdated) {
    for (Field missing : {kOutBuf, kOutLen}) {
        SetUp();
        expect_.clear();
        uint32_t f = make_stream(kMemStream, true);
        g().set_u32(f + missing, 0);
        g().set_u32(vars_, 0xAAAA);
        g().set_u32(vars_ + 4, 0xBBBB);
        ASSERT_EQ(write(f, 3), 0);
        expect_content(f);
        EXPECT_EQ(g().u32(vars_), 0xAAAAu);
        EXPECT_EQ(g().u32(vars_ + 4), 0xBBBBu);
    }
}

TEST_F(MemStreamTest, FailedGrowthLeavesEverythingAndASmallerWriteStillFits) {
    uint32_t f = make_stream(kMemStream, true);
    ASSERT_EQ(write(f, 200), 0);
    // Leave 512 bytes of arena: growing to 512 needs a 520-byte block.
    uint32_t used = heap_used();
    ASSERT_NE(icall("malloc", {kHeapSize - used - 512 - 4}), 0);
    ASSERT_EQ(heap_used(), kHeapSize - 512);
    set_err(0);
    std::vector<uint8_t> before = record(f);
    uint32_t var_buf = g().u32(vars_), var_len = g().u32(vars_ + 4);

    EXPECT_EQ(write(f, 100), -1);
    EXPECT_EQ(err(), 12);
    EXPECT_EQ(record(f), before);
    EXPECT_EQ(g().u32(vars_), var_buf);
    EXPECT_EQ(g().u32(vars_ + 4), var_len);
    EXPECT_EQ(heap_used(), kHeapSize - 512);
    expect_content(f);

    // 55 more bytes fill the buffer to its last byte without growing it.
    set_err(0);
    EXPECT_EQ(write(f, 55), 0);
    EXPECT_EQ(err(), 0);
    EXPECT_EQ(field(f, kCap), 256u);
    expect_content(f);
    EXPECT_EQ(g().u32(vars_ + 4), 255u);
    // And the next byte needs the growth that cannot happen.
    EXPECT_EQ(write(f, 1), -1);
    EXPECT_EQ(field(f, kLen), 255u);
}

TEST_F(MemStreamTest, FirstWriteFailsWhenTheHeapCannotGiveTheFirstBuffer) {
    uint32_t f = make_stream(kMemStream, true);
    ASSERT_NE(icall("malloc", {kHeapSize - 256 - 8}),
              0);  // 256 bytes left; the first buffer takes 264
    std::vector<uint8_t> before = record(f);
    EXPECT_EQ(write(f, 1), -1);
    EXPECT_EQ(err(), 12);
    EXPECT_EQ(record(f), before);
    EXPECT_EQ(g().u32(vars_), 0u);
    EXPECT_EQ(g().u32(vars_ + 4), 0u);
}

TEST_F(MemStreamTest, CountsBeyondAnyReachableCapacityFailWithoutTouchingTheRecord) {
    // Counts whose total with the content and the zero byte wraps past 32 bits
    // (which would otherwise allocate a small buffer and copy gigabytes into
    // it), and counts too big for any capacity that doubling can reach.
    const uint32_t counts[] = {0xFFFFFFFFu, 0xFFFFFFF6u, 0xFFFFFFF5u,
                               0xFFFFFFF4u, 0x80000000u, 0x7FFFFFF6u};
    for (uint32_t count : counts) {
        SCOPED_TRACE(count);
        SetUp();
        expect_.clear();
        uint32_t f = make_stream(kMemStream, true);
        ASSERT_EQ(write(f, 10), 0);
        std::vector<uint8_t> before = record(f);
        uint32_t used = heap_used();
        set_err(0);
        uint32_t data = buf(16);  // never read
        EXPECT_EQ(icall("file_write_bytes", {f, data, count}), -1);
        EXPECT_EQ(record(f), before);
        EXPECT_EQ(heap_used(), used);
        EXPECT_EQ(g().u32(vars_ + 4), 10u);
        expect_content(f);
    }
}

TEST_F(MemStreamTest, LargestCountBelowTheCapacityLimitReachesTheHeap) {
    // 10 + 0x7FFFFFF5 + 1 is exactly 2^31: a capacity doubling can reach, so
    // the request goes to the heap, which refuses it with errno 12.
    uint32_t f = make_stream(kMemStream, true);
    ASSERT_EQ(write(f, 10), 0);
    std::vector<uint8_t> before = record(f);
    set_err(0);
    EXPECT_EQ(icall("file_write_bytes", {f, buf(16), 0x7FFFFFF5u}), -1);
    EXPECT_EQ(err(), 12);
    EXPECT_EQ(record(f), before);
}

}  // namespace
