// The blocks a request reaches on a device: partition-relative, cut at the device's end,
// with the rounding of odd and empty requests.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "intercept/intercept.h"

namespace kestrel_test {
namespace {

struct RangeCase {
    const char* name;
    const char* what;
    sector_t sector; // whole-disk sector of the request
    u32 bytes;
    u32 first, last; // expected; first > last: no block
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.what; }

class BlockRangeTest : public ::testing::TestWithParam<RangeCase> {};

// A partition at sector 1000 of 800 sectors (100 blocks of 8 sectors).
TEST_P(BlockRangeTest, Blocks)
{
    kes::DiskInfo d{};
    d.startSect = 1000;
    d.nrSects = 800;
    d.blockShift = 3;
    const RangeCase& c = GetParam();
    u32 first = 0xdead, last = 0xbeef;
    kes::requestBlockRange(&d, c.sector, c.bytes, &first, &last);
    EXPECT_EQ(first, c.first) << c.what;
    EXPECT_EQ(last, c.last) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BlockRangeTest,
    ::testing::Values(
        RangeCase{"OneBlock", "one block at partition sector 16", 1016, 4096, 2, 2},
        RangeCase{"TwoBlocksUnaligned", "two blocks, unaligned start", 1012, 4096, 1, 2},
        RangeCase{"OneSector", "one sector", 1023, 512, 2, 2},
        RangeCase{"OddSize", "a size that is not whole sectors reaches one sector more", 1015, 513, 1, 2},
        RangeCase{"StartsBeforeDevice", "starting before the partition counts from its sector 0", 990, 8192, 0, 1},
        RangeCase{"PastTheEnd", "last sector past the end is cut to the last sector", 1790, 8192, 98, 99},
        RangeCase{"EndsAtTheSize", "last sector equal to the size is not cut", 1792, 4608, 99, 100},
        RangeCase{"EmptyAtZero", "empty request at sector 0 marks block 0", 1000, 0, 0, 0},
        RangeCase{"EmptyAtBlockStart", "empty request at a block's first sector marks nothing", 1008, 0, 1, 0},
        RangeCase{"EmptyInsideBlock", "empty request inside a block marks that block", 1009, 0, 1, 1}),
    [](const ::testing::TestParamInfo<RangeCase>& info) { return std::string(info.param.name); });

TEST(BlockRangeEmptyDevice, LastSectorIsZero)
{
    kes::DiskInfo d{};
    d.blockShift = 3;
    u32 first, last;
    kes::requestBlockRange(&d, 64, 4096, &first, &last);
    EXPECT_EQ(first, 8u);
    EXPECT_EQ(last, 0u);
}

} // namespace
} // namespace kestrel_test
