// Host access to guest memory: ranges that run past the top of the address
// space or from a mapped page into an unmapped or read-only one are refused
// as a whole, with the kernel's error code, and move nothing.
#include <cstring>
#include <string>
#include <vector>

#include "guest.hpp"
#include "guest_memory.hpp"

namespace {

constexpr uint32_t kPage = nuv::GuestMemory::kPage;
constexpr uint32_t kTop = 0xFFFFF000u;   // the last page
constexpr uint32_t kLow = 0x00000000u;   // the first page, mapped too
constexpr uint32_t kEdge = 0x7F000000u;  // readable page, then a read-only one, then nothing
constexpr uint32_t kRw = nuv::kPermRead | nuv::kPermWrite;

class GuestMemoryRanges : public nuvtest::LibTest {
  protected:
    void SetUp() override {
        LibTest::SetUp();
        ASSERT_TRUE(mem().map(kTop, kPage, kRw));
        ASSERT_TRUE(mem().map(kLow, kPage, kRw));
        ASSERT_TRUE(mem().map(kEdge, kPage, kRw));
        ASSERT_TRUE(mem().map(kEdge + kPage, kPage, nuv::kPermRead));
        std::vector<uint8_t> fill(kPage, 'x');
        for (uint32_t at : {kTop, kLow, kEdge, kEdge + kPage}) {
            ASSERT_TRUE(mem().load(at, fill.data(), fill.size()));
        }
    }
    nuv::GuestMemory& mem() { return g().memory(); }
};

TEST_F(GuestMemoryRanges, WrappingOrStraddlingRangesAreRefusedWhole) {
    struct Case {
        uint32_t address;
        uint64_t n;
        bool for_write;
        int32_t expect;
    };
    const Case cases[] = {
        {kTop, kPage, true, 0},
        {kTop + kPage - 4, 4, true, 0},
        {kTop + kPage - 4, 8, false, -NUV_EFAULT},  // would wrap to the mapped first page
        {0xFFFFFFFFu, 2, false, -NUV_EFAULT},
        {kTop, uint64_t{1} << 32, false, -NUV_EFAULT},
        {kEdge + kPage - 4, 8, false, 0},  // into the read-only page
        {kEdge + kPage - 4, 8, true, -NUV_EFAULT},
        {kEdge + 2 * kPage - 4, 8, false, -NUV_EFAULT},  // into nothing
        {kEdge + 2 * kPage - 1, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << " +" << c.n);
        EXPECT_EQ(mem().check(c.address, c.n, c.for_write), c.expect);
        if (c.n > 64) continue;
        std::vector<uint8_t> bytes(c.n, 'Z');
        int32_t got = c.for_write ? mem().write(c.address, bytes.data(), bytes.size())
                                  : mem().read(c.address, bytes.data(), bytes.size());
        EXPECT_EQ(got, c.expect);
        if (got < 0 && c.for_write) {
            // Not even the mapped, writable part was touched.
            char first = 0;
            ASSERT_TRUE(mem().peek(c.address, &first, 1));
            EXPECT_EQ(first, 'x');
        }
    }
}

TEST_F(GuestMemoryRanges, StringsEndAtTheirLimitOrAtTheFirstBadPage) {
    std::string s;
    // No NUL before the top of the address space: the first page is not read.
    EXPECT_EQ(mem().read_string(kTop + kPage - 3, 4096, s), -NUV_EFAULT);
    // No NUL before unmapped memory.
    EXPECT_EQ(mem().read_string(kEdge + kPage - 3, 8192, s), -NUV_EFAULT);
    // The limit comes first.
    EXPECT_EQ(mem().read_string(kEdge + kPage - 3, 5, s), -NUV_ENAMETOOLONG);
    // A string that ends on the next page, exactly at the limit.
    const char tail[] = "yz";
    ASSERT_TRUE(mem().load(kEdge + kPage, tail, sizeof tail));
    EXPECT_EQ(mem().read_string(kEdge + kPage - 3, 5, s), 0);
    EXPECT_EQ(s, "xxxyz");
    EXPECT_EQ(mem().read_string(kEdge + kPage - 3, 4, s), -NUV_ENAMETOOLONG);
    EXPECT_EQ(s, "");
}

}  // namespace
