// The Backup's two block maps and the page counters they feed.
#include <memory>

#include "shared/backup.h"
#include "tests/blockmap/map_bytes.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

class BackupMapsTest : public MachineTest {
protected:
    void TearDown() override
    {
        kes::closeCacheMap(b.get());
        kes::closeBUBlockMap(b.get());
        MachineTest::TearDown();
    }

    void ExpectPages(int total, int held)
    {
        EXPECT_EQ(atomic_read(&b->totalPages), total);
        EXPECT_EQ(atomic_read(&b->currentPages), held);
    }

    std::unique_ptr<kes::Backup> b = std::make_unique<kes::Backup>();
};

TEST_F(BackupMapsTest, CountersFollowTheMaps)
{
    kes::closeCacheMap(b.get()); // never created: nothing to count
    kes::closeBUBlockMap(b.get());
    ExpectPages(0, 0);

    b->disk.fsBlocks = (1ull << 32) + 40000; // only the low 32 bits count
    ASSERT_EQ(kes::newCacheMap(b.get()), 0);
    EXPECT_EQ(b->cacheMap.numBlocks, 40000u);
    EXPECT_EQ(MapBytes(b->cacheMap), std::vector<uint8_t>(5000, 0x00));
    ExpectPages(2, 2);

    ASSERT_EQ(kes::newBUBlockMap(b.get(), 70000, 0), 0);
    EXPECT_EQ(MapBytes(b->buBlockMap), std::vector<uint8_t>(8750, 0xFF));
    ExpectPages(5, 5);

    kes::closeBUBlockMap(b.get());
    kes::closeBUBlockMap(b.get());
    ExpectPages(5, 2);
    ASSERT_EQ(kes::newBUBlockMap(b.get(), 10, 0), 0); // created again after the close
    ExpectPages(6, 3);
    kes::closeCacheMap(b.get());
    kes::closeCacheMap(b.get());
    ExpectPages(6, 1);
}

TEST_F(BackupMapsTest, FailuresChangeNoCounter)
{
    b->disk.fsBlocks = 0;
    EXPECT_EQ(kes::newCacheMap(b.get()), 2);
    EXPECT_EQ(machine.log_count("newBlockMap: block size size=0 invalid"), 1u);
    EXPECT_EQ(machine.log_count("newCacheMap: error creating cache map of size=0"), 1u);

    b->disk.fsBlocks = 40000;
    machine.faults().fail_nth(sim::Fault::Page, 2);
    EXPECT_EQ(kes::newCacheMap(b.get()), 5);
    EXPECT_EQ(machine.log_count("newCacheMap: error creating cache map of size=40000"), 1u);

    sim::Process& p = machine.spawn("agent");
    u32 buf = p.alloc(4096);
    EXPECT_EQ(p.as_current([&] { return kes::newBUBlockMap(b.get(), 40000, buf); }), 6);
    EXPECT_EQ(machine.log_count("newBUBlockMap: error creating map of size=40000"), 1u);
    ExpectPages(0, 0);

    // A loaded map is not replaced by a second load: the first stays, with its pages counted.
    ASSERT_EQ(p.as_current([&] { return kes::newBUBlockMap(b.get(), 32768, buf); }), 0);
    EXPECT_EQ(kes::newBUBlockMap(b.get(), 100, 0), 2);
    EXPECT_EQ(b->buBlockMap.numBlocks, 32768u);
    ExpectPages(1, 1);
}

} // namespace
} // namespace kestrel_test
