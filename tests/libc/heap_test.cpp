// The heap: a 1 MiB bump arena with a size word before every block.
#include <vector>

#include "guest.hpp"

namespace {

constexpr uint32_t kHeapSize = 1u << 20;
constexpr int32_t kNoMemory = 12;
constexpr int32_t kUntouched = 77;  // errno value that successful calls must keep

class HeapTest : public nuvtest::LibTest {
  protected:
    uint32_t heap() { return sym("g_heap"); }
    uint32_t used() { return g().u32(sym("g_heap_used")); }
    int32_t err() { return static_cast<int32_t>(g().u32(sym("errno"))); }
    void set_err(int32_t v) { g().set_u32(sym("errno"), static_cast<uint32_t>(v)); }
    uint32_t size_word(uint32_t p) { return g().u32(p - 4); }
    void fill(uint32_t address, std::vector<uint8_t> bytes) {
        ASSERT_TRUE(g().write(address, bytes.data(), bytes.size()));
    }
    // A call that must succeed: a block at the old fill level, errno kept.
    uint32_t take(const char* fn, std::initializer_list<nuv::Arg> args) {
        uint32_t before = used();
        set_err(kUntouched);
        uint32_t p = call(fn, args);
        EXPECT_EQ(p, heap() + before + 4) << fn;
        EXPECT_EQ(err(), kUntouched) << fn;
        return p;
    }
    // A call that must fail: null, errno 12, nothing consumed.
    void refuse(const char* fn, std::initializer_list<nuv::Arg> args) {
        uint32_t before = used();
        set_err(0);
        EXPECT_EQ(call(fn, args), 0u) << fn;
        EXPECT_EQ(err(), kNoMemory) << fn;
        EXPECT_EQ(used(), before) << fn;
    }
};

TEST_F(HeapTest, ArenaIsAlignedAndStartsEmpty) {
    EXPECT_EQ(heap() % 8, 0u);
    EXPECT_EQ(used(), 0u);
    EXPECT_EQ(g().read_bytes(heap(), 64), std::vector<uint8_t>(64, 0));
}

TEST_F(HeapTest, BlockLengthIsTheSizeWordPlusFourRoundedToEight) {
    struct Case {
        uint32_t size, recorded, length;
    };
    const Case cases[] = {
        {0, 1, 8},    {1, 1, 8},    {3, 3, 8},    {4, 4, 8},       {5, 5, 16},
        {12, 12, 16}, {13, 13, 24}, {20, 20, 24}, {100, 100, 104}, {4092, 4092, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        uint32_t before = used();
        uint32_t p = take("malloc", {c.size});
        EXPECT_EQ(size_word(p), c.recorded);
        EXPECT_EQ(used() - before, c.length);
        EXPECT_EQ((p - heap()) % 8, 4u);
    }
}

TEST_F(HeapTest, LargestBlockFillsTheArenaExactly) {
    refuse("malloc", {kHeapSize - 3});
    uint32_t p = take("malloc", {kHeapSize - 4});
    EXPECT_EQ(size_word(p), kHeapSize - 4);
    EXPECT_EQ(used(), kHeapSize);
    refuse("malloc", {0});
    refuse("malloc", {1});
    refuse("calloc", {0, 5});
    refuse("realloc", {0, 0});
    refuse("realloc", {p, 1});
}

// Past the arena, memory comes from the kernel's mappings, under the names
// programs from other systems use (<sys/mman.h>); the heap is left as it was.
TEST_F(HeapTest, MappingsGiveMemoryBeyondTheArenaThroughTheUsualNames) {
    const uint32_t before = used();
    EXPECT_EQ(call("probe_mapped_pages", {1024}), 0u);  // 4 MiB
    EXPECT_EQ(used(), before);
}

TEST_F(HeapTest, OneByteBlocksFillTheArenaAfter131072Calls) {
    // The allocation loop runs in the guest: 131,072 blocks, then a failure.
    uint32_t last = buf(4, 0);
    set_err(0);
    EXPECT_EQ(call("probe_malloc_until_null", {1, last}), kHeapSize / 8);
    EXPECT_EQ(err(), kNoMemory);
    EXPECT_EQ(g().u32(last), heap() + kHeapSize - 4);
    EXPECT_EQ(size_word(g().u32(last)), 1u);
    EXPECT_EQ(used(), kHeapSize);
    refuse("malloc", {1});
}

TEST_F(HeapTest, FailureLeavesTheHeapOpenForSmallerRequests) {
    take("malloc", {kHeapSize - 100});
    refuse("malloc", {200});
    uint32_t p = take("malloc", {50});
    EXPECT_EQ(size_word(p), 50u);
}

TEST_F(HeapTest, RequestsNear4GiBFailWithoutWrapping) {
    // Sizes whose size word and rounding would carry past 32 bits, and sizes
    // merely too big for the arena.
    const uint32_t sizes[] = {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF9u, 0xFFFFFFF8u,
                              0xFFFFFFF4u, 0x80000000u, kHeapSize,   kHeapSize - 3};
    take("malloc", {16});
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        refuse("malloc", {size});
        refuse("realloc", {0, size});
        refuse("calloc", {1, size});
        refuse("calloc", {size, 1});
    }
}

TEST_F(HeapTest, CallocRefusesProductsBeyond32Bits) {
    struct Case {
        uint32_t count, size;
    };
    const Case cases[] = {
        {65536, 65537},   {65537, 65536},   {65536, 65536},  // the last is exactly 2^32
        {2, 0x80000000u}, {0x80000001u, 2}, {0xFFFFFFFFu, 0xFFFFFFFFu},
        {3, 0x55555556u}, {256, 4096},  // fits in 32 bits but not in the arena
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.size);
        refuse("calloc", {c.count, c.size});
    }
}

TEST_F(HeapTest, CallocClearsTheProductAndOnlyIt) {
    // Earlier writes past blocks' ends can leave bytes in the free arena.
    fill(heap(), std::vector<uint8_t>(256, 0xEE));
    uint32_t p = take("calloc", {1, 44});
    EXPECT_EQ(size_word(p), 44u);
    EXPECT_EQ(g().read_bytes(p, 44), std::vector<uint8_t>(44, 0));
    EXPECT_EQ(g().read_bytes(p + 44, 4), std::vector<uint8_t>(4, 0xEE))
        << "nothing past the product cleared";
    uint32_t q = take("calloc", {7, 9});
    EXPECT_EQ(size_word(q), 63u);
    EXPECT_EQ(g().read_bytes(q, 63), std::vector<uint8_t>(63, 0));
}

TEST_F(HeapTest, CallocWithAZeroFactorIsMallocOfZero) {
    fill(heap(), std::vector<uint8_t>(64, 0xEE));
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 100}, {100, 0}, {0, 0}, {0, 0xFFFFFFFFu}};
    for (auto [count, size] : cases) {
        SCOPED_TRACE(testing::Message() << count << " x " << size);
        uint32_t before = used();
        uint32_t p = take("calloc", {count, size});
        EXPECT_EQ(size_word(p), 1u);
        EXPECT_EQ(used() - before, 8u);
        EXPECT_EQ(g().read_bytes(p, 4), std::vector<uint8_t>(4, 0xEE)) << "not cleared";
    }
}

TEST_F(HeapTest, ReallocAlwaysMovesAndCopiesTheSmallerSize) {
    struct Case {
        uint32_t old_size, new_size, recorded, copied;
    };
    const Case cases[] = {
        {10, 4, 4, 4},     // shrinking
        {4, 100, 100, 4},  // growing
        {10, 10, 10, 10},  // same size
        {10, 0, 1, 1},     // to size 0: a fresh one-byte block
        {0, 20, 20, 1},    // from a size-0 block, whose size word is 1
        {300, 600, 600, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.old_size << " -> " << c.new_size);
        SetUp();
        // The free arena holds junk, so copied bytes are told apart from zeros.
        fill(heap(), std::vector<uint8_t>(2048, 0xEE));
        uint32_t p = take("malloc", {c.old_size});
        std::vector<uint8_t> data(c.old_size ? c.old_size : 1);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
        fill(p, data);
        uint32_t q = take("realloc", {p, c.new_size});
        EXPECT_NE(q, p);
        EXPECT_EQ(size_word(q), c.recorded);
        EXPECT_EQ(g().read_bytes(q, c.copied),
                  std::vector<uint8_t>(data.begin(), data.begin() + c.copied));
        if (c.recorded > c.copied) {
            EXPECT_EQ(g().read_bytes(q + c.copied, 1), std::vector<uint8_t>{0xEE})
                << "grown part not cleared";
        }
        // The old block is neither released nor changed.
        EXPECT_EQ(g().read_bytes(p, data.size()), data);
        EXPECT_EQ(size_word(p), c.old_size ? c.old_size : 1);
    }
}

TEST_F(HeapTest, ReallocOfNullIsMalloc) {
    uint32_t p = take("realloc", {0, 12});
    EXPECT_EQ(size_word(p), 12u);
    EXPECT_EQ(used(), 16u);
    uint32_t q = take("realloc", {0, 0});
    EXPECT_EQ(size_word(q), 1u);
    EXPECT_EQ(used(), 24u);
}

TEST_F(HeapTest, FailingReallocKeepsTheOldBlock) {
    uint32_t p = take("malloc", {10});
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    fill(p, data);
    for (uint32_t size : {kHeapSize, 0xFFFFFFFFu, 0xFFFFFFFDu}) {
        SCOPED_TRACE(size);
        refuse("realloc", {p, size});
        EXPECT_EQ(g().read_bytes(p, 10), data);
        EXPECT_EQ(size_word(p), 10u);
    }
    // Still usable: a fitting realloc copies it.
    uint32_t q = take("realloc", {p, 3});
    EXPECT_EQ(g().read_bytes(q, 3), std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(HeapTest, FreeDoesNothing) {
    uint32_t p = take("malloc", {8});
    fill(p, {1, 2, 3, 4, 5, 6, 7, 8});
    set_err(kUntouched);
    for (uint32_t arg : {0u, p, p, heap() + 12345, 0xDEADBEEFu}) call("free", {arg});
    EXPECT_EQ(used(), 16u);
    EXPECT_EQ(err(), kUntouched);
    EXPECT_EQ(g().read_bytes(p, 8), std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(size_word(p), 8u);
    // Nothing is reused.
    EXPECT_EQ(take("malloc", {8}), p + 16);
}

}  // namespace
