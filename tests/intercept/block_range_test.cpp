// The blocks a request reaches on a device: partition-relative, cut at the device's end,
// with the rounding of odd and empty requests.
#include <gtest/gtest.h>

#include "intercept/intercept.h"

namespace kestrel_test {
namespace {

TEST(BlockRangeTest, Requests)
{
    struct {
        const char* what;
        sector_t sector; // whole-disk sector of the request
        u32 bytes;
        u32 first, last; // expected; first > last: no block
    } cases[] = {
        {"one block at partition sector 16", 1016, 4096, 2, 2},
        {"two blocks, unaligned start", 1012, 4096, 1, 2},
        {"a size that is not whole sectors reaches one sector more", 1015, 513, 1, 2},
        {"starting before the partition counts from its sector 0", 990, 8192, 0, 1},
        {"last sector past the end is cut to the last sector", 1790, 8192, 98, 99},
        {"last sector one past the end is cut as well", 1792, 4608, 99, 99},
        {"empty request at sector 0 marks block 0", 1000, 0, 0, 0},
        {"empty request at a block's first sector marks nothing", 1008, 0, 1, 0},
        {"empty request inside a block marks that block", 1009, 0, 1, 1},
    };
    // A partition at sector 1000 of 800 sectors: 100 blocks of 8 sectors.
    kes::DiskInfo d{};
    d.startSect = 1000;
    d.nrSects = 800;
    d.blockShift = 3;
    for (const auto& c : cases) {
        u32 first = 0xdead, last = 0xbeef;
        kes::requestBlockRange(&d, c.sector, c.bytes, &first, &last);
        EXPECT_EQ(first, c.first) << c.what;
        EXPECT_EQ(last, c.last) << c.what;
    }
}

} // namespace
} // namespace kestrel_test
