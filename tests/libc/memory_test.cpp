// memcpy, memmove and memset against plain byte loops: every overlap distance
// up to 16 in both directions, several alignments and lengths around the
// points where the word copies start and stop.
#include <algorithm>
#include <string>
#include <vector>

#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// The byte-by-byte orders the functions promise.
void model_memcpy(Bytes& b, size_t dst, size_t src, size_t n) {
    for (size_t i = 0; i < n; ++i) b[dst + i] = b[src + i];
}

void model_memmove(Bytes& b, size_t dst, size_t src, size_t n) {
    if (dst == src || n == 0) return;
    if (dst < src) {
        model_memcpy(b, dst, src, n);
    } else {
        for (size_t i = n; i > 0; --i) b[dst + i - 1] = b[src + i - 1];
    }
}

void model_memset(Bytes& b, size_t dst, int c, size_t n) {
    for (size_t i = 0; i < n; ++i) b[dst + i] = static_cast<uint8_t>(c);
}

const size_t kLengths[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  12, 15, 16, 17,
                           18, 19, 20, 21, 23, 31, 32, 33, 34, 35, 47, 64, 100};

class MemoryTest : public nuvtest::LibTest {
  protected:
    static constexpr size_t kArea = 512;

    void SetUp() override {
        LibTest::SetUp();
        area_ = buf(kArea);  // 16-aligned
        pattern_.resize(kArea);
        // No byte repeats within 251 bytes, so a byte from the wrong place shows.
        for (size_t i = 0; i < kArea; ++i) pattern_[i] = static_cast<uint8_t>(i % 251 + 1);
    }

    // Runs fn on the area freshly filled with the pattern and compares the
    // whole area with the model's result.
    void check_copy(const char* fn, size_t dst, size_t src, size_t n) {
        Bytes expect = pattern_;
        if (std::string(fn) == "memcpy") {
            model_memcpy(expect, dst, src, n);
        } else {
            model_memmove(expect, dst, src, n);
        }
        ASSERT_TRUE(g().write(area_, pattern_.data(), kArea));
        uint32_t r = call(fn, {area_ + static_cast<uint32_t>(dst),
                               area_ + static_cast<uint32_t>(src), static_cast<uint32_t>(n)});
        EXPECT_EQ(r, area_ + dst) << fn;
        Bytes got = g().read_bytes(area_, kArea);
        if (got != expect) {
            ADD_FAILURE() << fn << " dst " << dst << " src " << src << " n " << n << "\n"
                          << first_difference(got, expect);
            ++failures_;
        }
    }

    static std::string first_difference(const Bytes& got, const Bytes& expect) {
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i] != expect[i]) {
                return "first difference at " + std::to_string(i) + ": got " +
                       std::to_string(got[i]) + ", expected " + std::to_string(expect[i]);
            }
        }
        return "";
    }

    uint32_t area_ = 0;
    Bytes pattern_;
    int failures_ = 0;
};

TEST_F(MemoryTest, OverlappingCopiesMatchTheByteLoopsAtEveryDistance) {
    // The lower block starts at offsets 64..67 (every alignment mod 4) and at
    // 69 and 70 (odd alignments mod 8); the other lies `distance` above it.
    for (const char* fn : {"memcpy", "memmove"}) {
        for (size_t distance = 1; distance <= 16; ++distance) {
            for (size_t low : {64, 65, 66, 67, 69, 70}) {
                for (size_t n : kLengths) {
                    check_copy(fn, low + distance, low, n);  // dst above src
                    check_copy(fn, low, low + distance, n);  // dst below src
                    if (failures_ > 20) return;
                }
            }
        }
    }
}

TEST_F(MemoryTest, DistantAndLargeOverlapsMatchTheByteLoops) {
    for (const char* fn : {"memcpy", "memmove"}) {
        for (size_t distance : {17, 31, 32, 33, 63, 64, 100}) {
            for (size_t low : {8, 9, 10, 11}) {
                for (size_t n : {size_t{100}, size_t{255}, size_t{256}, size_t{301}}) {
                    check_copy(fn, low + distance, low, n);
                    check_copy(fn, low, low + distance, n);
                }
            }
        }
    }
}

TEST_F(MemoryTest, SeparateBlocksCopyAtEveryAlignment) {
    for (const char* fn : {"memcpy", "memmove"}) {
        for (size_t src = 0; src < 4; ++src) {
            for (size_t dst = 256; dst < 264; ++dst) {
                for (size_t n : kLengths) {
                    check_copy(fn, dst, src, n);
                    check_copy(fn, src, dst, n);
                }
            }
        }
    }
}

TEST_F(MemoryTest, SameBlockCopiesLeaveItAsItIs) {
    for (size_t at : {0, 1, 2, 3}) {
        for (size_t n : {1, 4, 17, 100}) {
            check_copy("memcpy", at, at, n);
            check_copy("memmove", at, at, n);
        }
    }
}

TEST_F(MemoryTest, SetFillsWithTheLowByteAtEveryAlignment) {
    for (int c : {0, 0x41, 0x141, -1, 0x80, 0x7F}) {
        for (size_t dst = 0; dst < 8; ++dst) {
            for (size_t n : kLengths) {
                Bytes expect = pattern_;
                model_memset(expect, dst + 16, c, n);
                ASSERT_TRUE(g().write(area_, pattern_.data(), kArea));
                uint32_t d = area_ + static_cast<uint32_t>(dst + 16);
                EXPECT_EQ(call("memset", {d, c, static_cast<uint32_t>(n)}), d);
                Bytes got = g().read_bytes(area_, kArea);
                ASSERT_EQ(got, expect) << "c " << c << " dst " << dst << " n " << n << "\n"
                                       << first_difference(got, expect);
            }
        }
    }
}

TEST_F(MemoryTest, FourKilobyteBlocksAtMisalignedAddresses) {
    // Long runs through the word loops, against the same loops in the guest.
    Bytes data(4096 + 8);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    uint32_t src = nuvtest::put_bytes(g(), data);
    for (uint32_t shift : {0u, 1u, 3u}) {
        uint32_t dst = buf(4096 + 8, 0);
        EXPECT_EQ(call("memcpy", {dst + shift, src + 1, 4096}), dst + shift);
        EXPECT_EQ(g().read_bytes(dst + shift, 4096), Bytes(data.begin() + 1, data.end() - 7));
        EXPECT_EQ(g().read_bytes(dst, shift), Bytes(shift, 0));
        EXPECT_EQ(g().read_bytes(dst + shift + 4096, 1), Bytes{0});
        // Move it 5 bytes up within itself, then back down.
        Bytes before = g().read_bytes(dst, 4096 + 8);
        Bytes expect = before;
        model_memmove(expect, 5 - shift, 0, 4096 - 5);
        EXPECT_EQ(call("memmove", {dst + 5 - shift, dst, 4096 - 5}), dst + 5 - shift);
        EXPECT_EQ(g().read_bytes(dst, 4096 + 8), expect);
        model_memmove(expect, 1, 7, 4000);
        EXPECT_EQ(call("memmove", {dst + 1, dst + 7, 4000}), dst + 1);
        EXPECT_EQ(g().read_bytes(dst, 4096 + 8), expect);
    }
}

TEST_F(MemoryTest, LongWholeWordBlocksAroundTheWordCopyLength) {
    // From some length on, blocks whose start and length are whole words move
    // by words, the others by bytes: each kind, on both sides of that length.
    Bytes data(4096 + 8);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 251);
    uint32_t src = buf(data.size());  // 16-aligned
    ASSERT_TRUE(g().write(src, data.data(), data.size()));
    for (uint32_t at : {0u, 4u, 2u}) {
        for (uint32_t n : {256u, 1020u, 1024u, 1026u, 4096u}) {
            SCOPED_TRACE("at " + std::to_string(at) + ", " + std::to_string(n) + " bytes");
            uint32_t dst = buf(data.size(), 0);
            EXPECT_EQ(call("memcpy", {dst + at, src + at, n}), dst + at);
            Bytes expect(data.size(), 0);
            std::copy(data.begin() + at, data.begin() + at + n, expect.begin() + at);
            EXPECT_EQ(g().read_bytes(dst, static_cast<uint32_t>(data.size())), expect);
        }
    }
}

TEST_F(MemoryTest, DocumentedExamples) {
    struct Case {
        const char* fn;
        uint32_t dst, src, n;
        const char* result;
    };
    const Case cases[] = {
        {"memmove", 1, 0, 4, "11234"},
        {"memcpy", 1, 0, 4, "11111"},
        {"memmove", 0, 1, 4, "23455"},
        {"memcpy", 0, 1, 4, "23455"},
    };
    for (const Case& c : cases) {
        uint32_t b = str("12345");
        EXPECT_EQ(call(c.fn, {b + c.dst, b + c.src, c.n}), b + c.dst);
        EXPECT_EQ(g().read_string(b), c.result) << c.fn << " " << c.dst << " " << c.src;
    }
    uint32_t b = buf(8, 0);
    call("memset", {b, 0x141, 7});
    EXPECT_EQ(g().read_string(b), "AAAAAAA");
}

TEST_F(MemoryTest, GuardsReturnDstWithoutTouchingMemory) {
    // Null and unmapped pointers: any access would end the call with a fault.
    struct Case {
        const char* fn;
        uint32_t a, b, n;
    };
    const Case cases[] = {
        {"memcpy", 0, 0, 0},
        {"memcpy", 0x1234, 0, 0},
        {"memcpy", 0, 0x1234, 0},
        {"memmove", 0, 0, 0},
        {"memmove", 0x1234, 0, 0},
        {"memmove", 0, 0x1234, 0},
        {"memmove", 0x1234, 0x1234, 100},
        {"memmove", 0, 0, 0xFFFFFFFFu},
        {"memset", 0, 0x41, 0},
        {"memset", 0x1234, 0, 0},
    };
    for (const Case& c : cases) {
        nuv::RunResult r = g().call(c.fn, {c.a, c.b, c.n});
        EXPECT_EQ(r.stop, nuv::Stop::Returned) << c.fn << " " << c.a << " " << nuv::report::what(r);
        EXPECT_EQ(g().eax(), c.a) << c.fn;
    }
}

TEST_F(MemoryTest, DirectionFlagIsClearAfterADescendingMove) {
    // Both descending paths (short and word-sized), then an ascending copy in
    // the same machine: a direction flag left set would send it backwards.
    uint32_t b = str("abcdefghijklmnopqrstuvwxyz0123456789");
    call("memmove", {b + 3, b, 20});
    EXPECT_EQ(call("probe_flags", {}) & 0x400u, 0u);
    call("memmove", {b + 1, b, 5});
    EXPECT_EQ(call("probe_flags", {}) & 0x400u, 0u);
    uint32_t d = buf(40, 0);
    call("memcpy", {d, b, 36});
    EXPECT_EQ(g().read_string(d), "aabcabdefghijklmnopqrstxyz0123456789");
}

}  // namespace
