// Creating and freeing block maps, their byte layout and the three bit operations.
#include <cstdio>

#include "tests/blockmap/map_bytes.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

constexpr u32 kUnchanged = 0xdeadbeef;

class BlockMapTest : public MachineTest {
protected:
    void TearDown() override
    {
        u32 n;
        kes::closeBlockMap(&map, &n);
        MachineTest::TearDown();
    }

    // The map must be closed: no page array, no block, nothing left allocated.
    void ExpectClosed()
    {
        EXPECT_EQ(map.pages, nullptr);
        EXPECT_EQ(map.numBlocks, 0u);
        EXPECT_EQ(kes::numPagesInBlockMap(&map), 0u);
        EXPECT_EQ(machine.mem_stats().pages, 0);
        EXPECT_EQ(machine.mem_stats().vmalloc_areas, 0);
    }

    kes::BlockMap map{};
    u32 pages = kUnchanged;
};

TEST_F(BlockMapTest, SizesAtPageBoundaries)
{
    struct {
        u32 blocks, bytes, pages;
    } cases[] = {{1, 1, 1}, {9, 2, 1}, {32768, 4096, 1}, {32769, 4097, 2}, {65537, 8193, 3}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.blocks);
        ASSERT_EQ(kes::newBlockMap(&map, c.blocks, 0, 1, &pages), 0);
        EXPECT_EQ(pages, c.pages);
        EXPECT_EQ(map.bytesInMap, c.bytes);
        EXPECT_EQ(kes::numPagesInBlockMap(&map), c.pages);
        EXPECT_EQ(machine.mem_stats().pages, long(c.pages));
        EXPECT_EQ(MapBytes(map), std::vector<uint8_t>(c.bytes, 0));
        pages = kUnchanged;
        kes::closeBlockMap(&map, &pages);
        EXPECT_EQ(pages, c.pages);
        ExpectClosed();
        pages = kUnchanged;
        kes::closeBlockMap(&map, &pages);
        EXPECT_EQ(pages, kUnchanged);
    }
}

TEST_F(BlockMapTest, FillsAndOutOfRangeOperations)
{
    // 40001 blocks: the last byte has one bit in the map and seven spare ones.
    const u32 n = 40001;
    for (int clear : {0, 1, 2}) {
        SCOPED_TRACE(clear);
        ASSERT_EQ(kes::newBlockMap(&map, n, 0, clear, &pages), 0);
        const auto filled = MapBytes(map);
        EXPECT_EQ(filled, std::vector<uint8_t>(5001, clear == 1 ? 0x00 : 0xFF));
        const s32 inMap = clear == 1 ? 0 : -1;
        EXPECT_EQ(kes::blockInMap(&map, 0), inMap);
        EXPECT_EQ(kes::blockInMap(&map, n - 1), inMap);
        EXPECT_EQ(kes::blockInMap(&map, n), 0);
        EXPECT_EQ(kes::blockInMap(&map, 0xFFFFFFFFu), 0);

        // Out of range: nothing changes, not even the spare bits of the last byte.
        EXPECT_EQ(kes::setBlock(&map, n), n);
        EXPECT_EQ(kes::setBlock(&map, 0xFFFFFFFFu), 0xFFFFFFFFu);
        EXPECT_EQ(kes::unSetBlock(&map, n), 1);
        EXPECT_EQ(kes::unSetBlock(&map, 0xFFFFFFFFu), 1);
        EXPECT_EQ(MapBytes(map), filled);

        // Setting a set bit and clearing a clear one succeed without effect on the others.
        for (int round = 0; round < 2; round++) {
            EXPECT_EQ(kes::setBlock(&map, 32769), 0u);
            EXPECT_EQ(kes::unSetBlock(&map, 32770), 0);
        }
        auto expect = filled;
        expect[4096] = uint8_t((expect[4096] | 0x02) & ~0x04);
        EXPECT_EQ(MapBytes(map), expect);
        kes::closeBlockMap(&map, &pages);
    }
}

TEST_F(BlockMapTest, ClosedMapIsOutOfRangeForEveryBlock)
{
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(kes::blockInMap(&map, 0), 0);
        EXPECT_EQ(kes::setBlock(&map, 0), 0u);
        EXPECT_EQ(kes::setBlock(&map, 7), 7u);
        EXPECT_EQ(kes::unSetBlock(&map, 0), 1);
        kes::closeBlockMap(&map, &pages);
        EXPECT_EQ(pages, kUnchanged);
        // Open and close it, and look again: a closed map may be created anew.
        ASSERT_EQ(kes::newBlockMap(&map, 100, 0, 0, &pages), 0);
        kes::closeBlockMap(&map, &pages);
        pages = kUnchanged;
    }
}

TEST_F(BlockMapTest, LargeMapKeepsItsLastBlock)
{
    const u32 n = (1u << 24) + 1; // 513 pages, the last one holding a single byte
    ASSERT_EQ(kes::newBlockMap(&map, n, 0, 1, &pages), 0);
    EXPECT_EQ(pages, 513u);
    EXPECT_EQ(kes::setBlock(&map, n - 1), 0u);
    EXPECT_EQ(kes::blockInMap(&map, n - 1), -1);
    EXPECT_EQ(kes::blockInMap(&map, n - 2), 0);
    EXPECT_EQ(kes::setBlock(&map, n), n);
    EXPECT_EQ(MapBytes(map).back(), 0x01);
}

TEST_F(BlockMapTest, BitLayoutFollowsTheAgentsBytes)
{
    sim::Process& p = machine.spawn("agent");
    const u32 n = 3 * 32768 - 3; // 12288 bytes, three spare bits at the end
    std::vector<uint8_t> agent(12288);
    for (size_t i = 0; i < agent.size(); i++)
        agent[i] = uint8_t(i * 37 + 11);
    agent[4096] = 0x02; // block 32769 alone in byte 0 of page 1
    u32 buf = p.alloc(12288);
    ASSERT_TRUE(p.poke(buf, agent.data(), agent.size()));

    ASSERT_EQ(p.as_current([&] { return kes::newBlockMap(&map, n, buf, 0, &pages); }), 0);
    EXPECT_EQ(pages, 3u);
    EXPECT_EQ(MapBytes(map), agent);
    EXPECT_EQ(kes::blockInMap(&map, 32768), 0);
    EXPECT_EQ(kes::blockInMap(&map, 32769), -1);
    EXPECT_EQ(kes::blockInMap(&map, 32770), 0);
    for (u32 b = 0; b < n; b++) {
        bool set = (agent[b >> 3] >> (b & 7)) & 1;
        ASSERT_EQ(kes::blockInMap(&map, b), set ? -1 : 0) << b;
    }

    // The other way round: setting the same blocks in a clear map gives the same bytes.
    kes::BlockMap built{};
    ASSERT_EQ(kes::newBlockMap(&built, n, 0, 1, &pages), 0);
    for (u32 b = 0; b < n; b++) {
        if (kes::blockInMap(&map, b)) {
            ASSERT_EQ(kes::setBlock(&built, b), 0u);
        }
    }
    agent.back() &= 0x1F;
    EXPECT_EQ(MapBytes(built), agent);
    kes::closeBlockMap(&built, &pages);

    // A buffer that ends exactly where its memory ends: only the map's bytes are read.
    kes::closeBlockMap(&map, &pages);
    u32 two = p.alloc(8192);
    u32 tail = two + 8192 - 4098;
    ASSERT_EQ(p.as_current([&] { return kes::newBlockMap(&map, 32768 + 9, tail, 1, &pages); }), 0);
    EXPECT_EQ(pages, 2u);
}

TEST_F(BlockMapTest, UnreadableUserBufferFailsAndFreesEverything)
{
    sim::Process& p = machine.spawn("agent");
    const u32 region = p.alloc(3 * 4096); // followed by an unmapped guard page
    const u32 hidden = p.alloc(4096, /*readable=*/false);
    struct {
        u32 addr, blocks, failingPage, bytes;
    } cases[] = {
        {region, 5 * 32768, 3, 20480},        // pages 0-2 copied, page 3 in the guard page
        {region + 2048, 4 * 32768, 2, 16384}, // page 2 runs into the guard page halfway
        {hidden, 1000, 0, 125},               // mapped but not readable
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.failingPage);
        machine.clear_log();
        pages = kUnchanged;
        int r = p.as_current([&] { return kes::newBlockMap(&map, c.blocks, c.addr, 1, &pages); });
        ASSERT_EQ(r, 6);
        EXPECT_EQ(pages, kUnchanged);
        ExpectClosed();
        char line[160];
        snprintf(line, sizeof line,
                 "newBlockMap: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
                 (void *)(unsigned long)(c.addr + 4096 * c.failingPage),
                 int(c.bytes < 4096 ? c.bytes : 4096), int(c.bytes));
        auto log = machine.dmesg();
        ASSERT_EQ(log.size(), 2u) << machine.dmesg_text();
        EXPECT_EQ(log[0].text, line);
        EXPECT_EQ(log[1].level, 3);
        EXPECT_EQ(log[1].text, "newBlockMap: Out of Memory Error.\n");
    }
}

TEST_F(BlockMapTest, InvalidSizesLeaveTheRecordUntouched)
{
    map.bytesInMap = 77;
    for (u32 n : {0u, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
        EXPECT_EQ(kes::newBlockMap(&map, n, 0, 1, &pages), 2);
        std::string line = "newBlockMap: block size size=" + std::to_string(n) + " invalid\n";
        EXPECT_EQ(machine.log_count(line), 1u);
    }
    EXPECT_EQ(map.bytesInMap, 77u);
    EXPECT_EQ(pages, kUnchanged);
}

TEST_F(BlockMapTest, OpenMapIsNotReplaced)
{
    ASSERT_EQ(kes::newBlockMap(&map, 40000, 0, 0, &pages), 0);
    kes::unSetBlock(&map, 5);
    struct page** before = map.pages;
    pages = kUnchanged;
    EXPECT_EQ(kes::newBlockMap(&map, 10, 0, 1, &pages), 2);
    EXPECT_EQ(machine.log_count("newBlockMap: block map of 40000 blocks is still open"), 1u);
    EXPECT_EQ(pages, kUnchanged);
    EXPECT_EQ(map.pages, before);
    EXPECT_EQ(map.numBlocks, 40000u);
    EXPECT_EQ(kes::blockInMap(&map, 5), 0);
    EXPECT_EQ(kes::blockInMap(&map, 6), -1);
    EXPECT_EQ(machine.mem_stats().pages, 2);
}

// Fails the 1st, 2nd, ... allocation of a five-page map until it is built: every failure is
// "out of memory", says which allocation failed, and leaves nothing allocated.
TEST_F(BlockMapTest, EveryAllocationFailureIsCleanedUp)
{
    for (unsigned n = 1;; n++) {
        SCOPED_TRACE(n);
        machine.clear_log();
        machine.faults().fail_any_alloc_nth(n);
        int r = kes::newBlockMap(&map, 5 * 32768, 0, 0, &pages);
        unsigned fired = machine.faults().fired_total();
        machine.faults().disarm();
        if (r == 0) {
            EXPECT_EQ(n, 7u); // the page array and five pages came through
            EXPECT_EQ(pages, 5u);
            break;
        }
        ASSERT_EQ(r, 5);
        EXPECT_EQ(fired, n);
        EXPECT_EQ(pages, kUnchanged);
        ExpectClosed();
        if (n == 1) {
            // The target's size: 4 bytes a page pointer on i686, whatever the host's are.
            EXPECT_EQ(machine.log_count("newBlockMap: failed allocating (20) bytes of memory "
                                        "for block map page array"), 1u);
        } else {
            EXPECT_EQ(machine.log_count("newBlockMap: failed allocating page number (" +
                                        std::to_string(n - 2) + ") for block map"), 1u);
            EXPECT_EQ(machine.log_count("newBlockMap: Out of Memory Error."), 1u);
        }
    }
}

TEST_F(BlockMapTest, LargestSizeFailsCleanly)
{
    // 2^32 - 8 blocks: 2^17 pages. Fail the array, then the third page, so that nothing of
    // that size is really allocated but every slot of the array is walked when freeing.
    const u32 n = 0xFFFFFFF8u;
    machine.faults().fail_nth(sim::Fault::Vmalloc, 1);
    EXPECT_EQ(kes::newBlockMap(&map, n, 0, 1, &pages), 5);
    EXPECT_EQ(machine.log_count("failed allocating (524288) bytes"), 1u);
    machine.faults().fail_nth(sim::Fault::Page, 3);
    EXPECT_EQ(kes::newBlockMap(&map, n, 0, 1, &pages), 5);
    EXPECT_EQ(machine.log_count("newBlockMap: failed allocating page number (2) for block map\n"),
              1u);
    EXPECT_EQ(pages, kUnchanged);
    ExpectClosed();
}

} // namespace
} // namespace kestrel_test
