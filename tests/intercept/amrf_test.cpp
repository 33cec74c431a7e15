// The change-tracking request function, driven by real requests on simulated disks: which
// automap a write marks and at which blocks, what it leaves alone, and that every request
// still reaches the disk.
#include "tests/support/tracking.h"

namespace kestrel_test {
namespace {

class ChangeTrackingTest : public TrackingTest {
protected:
    // Whether count sectors of dev's store at sector all hold fill.
    bool StoreHolds(u32 dev, u64 sector, u64 count, unsigned char fill)
    {
        std::vector<unsigned char> buf(count * 512);
        if (sim::read_store(machine, dev, sector, buf.data(), count) != 0)
            return false;
        for (unsigned char c : buf)
            if (c != fill)
                return false;
        return true;
    }
};

TEST_F(ChangeTrackingTest, WritesMarkTheirPartitionAtPartitionRelativeBlocks)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(Write(sda1, 16, 8, 0x11), 0);           // block 2 of sda1
    ASSERT_EQ(Write(sda, kP1Start + 80, 8, 0x22), 0); // the whole disk, inside sda1: block 10
    ASSERT_EQ(Write(sda1, 36, 8, 0x33), 0);           // sectors 36..43: blocks 4 and 5
    ASSERT_EQ(Write(sda, 96, 8), 0);                  // before sda1: no automap of its own
    ASSERT_EQ(Write(sda2, 0, 8), 0);                  // sda2 has no automap

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{2, 4, 5, 10}));
    EXPECT_TRUE(StoreHolds(sda1, 16, 8, 0x11));
    EXPECT_TRUE(StoreHolds(sda1, 80, 8, 0x22));
    EXPECT_TRUE(StoreHolds(sda1, 36, 8, 0x33));
    EXPECT_EQ(atomic_read(&p1->tracking), 1);
}

TEST_F(ChangeTrackingTest, TheDisksOwnAutomapSeesEveryWriteToTheDisk)
{
    kes::AM* disk = startTracking(MakeBackup(sda));
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    ASSERT_TRUE(disk && p1);

    ASSERT_EQ(Write(sda, 96, 8), 0);  // in no partition: the disk's block 12 only
    ASSERT_EQ(Write(sda1, 0, 8), 0);  // sda1's block 0 is the disk's block 256

    EXPECT_EQ(setBlocks(disk), (std::vector<u32>{12, 256}));
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{0}));
}

TEST_F(ChangeTrackingTest, AWholeDiskWriteAcrossTwoPartitionsMarksBoth)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    kes::AM* p2 = startTracking(MakeBackup(sda2));
    ASSERT_TRUE(p1 && p2);

    // The last block of sda1 and the first of sda2. sda1's share runs past its end and is
    // cut there, without a resize report; sda2's is counted from its sector 0 with the whole
    // length, one block more than written (a spare copy, never a missed one).
    ASSERT_EQ(Write(sda, kP2Start - 8, 16), 0);

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{5119}));
    EXPECT_EQ(setBlocks(p2), (std::vector<u32>{0, 1}));
    EXPECT_EQ(atomic_read(&p1->tracking), 1);
    EXPECT_EQ(atomic_read(&p2->tracking), 1);
    EXPECT_EQ(machine.log_count("device resize detected"), 0u);
}

TEST_F(ChangeTrackingTest, BlocksBeyondTheAutomapStopItWithOneLinePerBlock)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1, 10)); // the file system was 10 blocks
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(Write(sda1, 64, 40), 0); // blocks 8 to 12 in one request

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{8, 9}));
    EXPECT_EQ(atomic_read(&p1->tracking), 0);
    EXPECT_EQ(machine.log_count("device resize detected"), 3u);
    for (int b : {10, 11, 12}) {
        std::string line = "updateAM: device resize detected (block " + std::to_string(b) +
                           " in size 10) in automap update, automap not in sync";
        EXPECT_EQ(machine.log_count(line), 1u) << machine.dmesg_text();
    }

    // Stopped: later writes mark nothing and say nothing, but still reach the disk.
    ASSERT_EQ(Write(sda1, 0, 8, 0x44), 0);
    ASSERT_EQ(Write(sda1, 800, 8), 0);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{8, 9}));
    EXPECT_EQ(machine.log_count("device resize detected"), 3u);
    EXPECT_TRUE(StoreHolds(sda1, 0, 8, 0x44));
}

TEST_F(ChangeTrackingTest, ReadsMarkNothingAndReachTheDisk)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    ASSERT_NE(p1, nullptr);
    std::vector<unsigned char> stamp(8 * 512, 0x5c), got(8 * 512);
    ASSERT_EQ(sim::write_store(machine, sda1, 24, stamp.data(), 8), 0);
    uint64_t readsBefore = sim::disk_stats(machine, sda).reads;

    ASSERT_EQ(sim::read_sectors(machine, sda1, 24, got.data(), 8), 0);
    ASSERT_EQ(sim::read_sectors(machine, sda, 0, got.data(), 1), 0);

    EXPECT_EQ(sim::disk_stats(machine, sda).reads, readsBefore + 2);
    EXPECT_TRUE(setBlocks(p1).empty());
}

TEST_F(ChangeTrackingTest, RereadingThePartitionTableOfAHookedDiskCompletes)
{
    // A disk whose partition table comes from its MBR, read through its queue while the
    // kernel holds the disk's bd_sem.
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 16;
    c.size_bytes = 32ull << 20;
    u32 sdb;
    ASSERT_EQ(sim::add_disk(machine, c, &sdb), 0);
    std::vector<unsigned char> mbr = sim::make_mbr({{2048, 20480}});
    ASSERT_EQ(sim::write_store(machine, sdb, 0, mbr.data(), 1), 0);
    ASSERT_EQ(sim::reread_partitions(machine, sdb), 0);
    kes::AM* p1 = startTracking(MakeBackup(sdb + 1));
    ASSERT_NE(p1, nullptr);
    ASSERT_EQ(sim::disk_queue(machine, sdb)->make_request_fn.load(), &kes::kesAMRF);

    ASSERT_EQ(sim::reread_partitions(machine, sdb), 0);

    ASSERT_EQ(Write(sdb + 1, 8, 8), 0);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{1}));
}

TEST_F(ChangeTrackingTest, AQueueWithoutALockOfItsOwn)
{
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 32;
    c.size_bytes = 8ull << 20;
    c.partitions = std::vector<sim::Partition>{{64, 8192}};
    c.queue_lock = false;
    u32 sdc;
    ASSERT_EQ(sim::add_disk(machine, c, &sdc), 0);
    kes::Backup* b = MakeBackup(sdc + 1);
    kes::AM* p1 = startTracking(b);
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(Write(sdc + 1, 16, 8), 0);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{2}));

    EXPECT_EQ(kes::closeAMS(b), 0);
    EXPECT_EQ(sim::disk_queue(machine, sdc)->make_request_fn.load(),
              sim::disk_request_fn(machine, sdc));
}

// A stacked driver in front of sda: it sends every request on to sdb and asks the block
// layer to resubmit it there.
u32 g_target;
int redirect(struct request_queue*, struct bio* bio)
{
    bio->bi_bdev = bdget(g_target);
    bdput(bio->bi_bdev); // the disk's block device lives as long as the disk
    return 1;
}

TEST_F(ChangeTrackingTest, TheRealFunctionsAnswerIsPassedBack)
{
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 16;
    c.size_bytes = 64ull << 20;
    u32 sdb;
    ASSERT_EQ(sim::add_disk(machine, c, &sdb), 0);
    g_target = sdb;
    struct request_queue* q = sim::disk_queue(machine, sda);
    q->make_request_fn.store(redirect);
    kes::Backup* b = MakeBackup(sda);
    kes::AM* disk = startTracking(b);
    ASSERT_NE(disk, nullptr);

    ASSERT_EQ(Write(sda, 800, 8, 0x66), 0);

    EXPECT_EQ(setBlocks(disk), (std::vector<u32>{100}));
    EXPECT_TRUE(StoreHolds(sdb, 800, 8, 0x66)) << "the resubmission did not happen";
    EXPECT_EQ(kes::closeAMS(b), 0);
    EXPECT_EQ(q->make_request_fn.load(), &redirect);
    q->make_request_fn.store(sim::disk_request_fn(machine, sda));
}

} // namespace
} // namespace kestrel_test
