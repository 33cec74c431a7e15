// The generic block layer: block devices and partitions, generic_make_request's remapping,
// bounds and resubmission, and the accounting of bios, buffer heads and references.
#include "tests/sim/block_helpers.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

constexpr u32 kSda = MKDEV(8, 0);
constexpr u32 kSda1 = MKDEV(8, 1);
constexpr u32 kSdb = MKDEV(8, 16);

sim::DiskConfig disk_with(std::vector<sim::Partition> parts, unsigned first_minor = 0)
{
    sim::DiskConfig c;
    c.size_bytes = 2048 * 512;
    c.first_minor = first_minor;
    c.partitions = std::move(parts);
    return c;
}

using BlockDeviceTest = MachineTest;

TEST_F(BlockDeviceTest, BdgetGivesWholeDiskAndExistingPartitions)
{
    ASSERT_EQ(sim::add_disk(machine, disk_with({{100, 50}, {}, {300, 20}})), 0);
    struct block_device* disk = bdget(kSda);
    struct block_device* p1 = bdget(kSda1);
    struct block_device* p3 = bdget(MKDEV(8, 3));
    ASSERT_TRUE(disk && p1 && p3);
    EXPECT_EQ(bdget(MKDEV(8, 2)), nullptr) << "an empty slot names no device";
    EXPECT_EQ(bdget(kSdb), nullptr);

    EXPECT_EQ(disk->bd_contains, disk);
    EXPECT_EQ(p1->bd_contains, disk);
    EXPECT_EQ(p1->bd_disk, disk->bd_disk);
    EXPECT_EQ(p1->bd_part->start_sect, 100u);
    struct gendisk* gd = disk->bd_disk;
    EXPECT_EQ(gd->part[0], p1->bd_part);
    EXPECT_EQ(gd->part[1], nullptr);
    EXPECT_EQ(gd->part[2], p3->bd_part);
    EXPECT_EQ(down_trylock(&p1->bd_sem), 0) << "bd_sem starts at 1";
    up(&p1->bd_sem);

    EXPECT_EQ(bdget(kSda1), p1);
    EXPECT_NE(machine.leak_report().find("block device sda1: 2 reference"), std::string::npos);
    bdput(p1);
    bdput(p1);
    bdput(p3);
    bdput(disk);
}

TEST_F(BlockDeviceTest, AddDiskRefusesOverlapsAndPartitionsOutsideTheDisk)
{
    ASSERT_EQ(sim::add_disk(machine, disk_with({})), 0);
    EXPECT_EQ(sim::add_disk(machine, disk_with({}, 8)), -EEXIST);
    EXPECT_EQ(sim::add_disk(machine, disk_with({{2000, 100}}, 16)), -EINVAL);
    EXPECT_EQ(bdget(kSdb), nullptr);
}

TEST_F(BlockDeviceTest, PartitionRequestsLandInsideTheirPartition)
{
    ASSERT_EQ(sim::add_disk(machine, disk_with({{100, 50}})), 0);
    auto data = pattern(2 * 512, 1);
    ASSERT_EQ(sim::write_sectors(machine, kSda1, 48, data.data(), 2), 0);
    EXPECT_EQ(store(machine, kSda, 148, 2), data);

    // One sector past the partition's end fails the whole request; nothing lands.
    auto other = pattern(2 * 512, 2);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 49, other.data(), 2), -EIO);
    EXPECT_EQ(machine.log_count("attempt to access beyond end of device"), 1u);
    auto want = data;
    want.resize(3 * 512, 0);
    EXPECT_EQ(store(machine, kSda, 148, 3), want);

    std::vector<unsigned char> got(2 * 512);
    EXPECT_EQ(sim::read_sectors(machine, kSda, 2047, got.data(), 2), -EIO) << "past the disk";
    EXPECT_EQ(sim::read_sectors(machine, kSda, 148, got.data(), 2), 0);
    EXPECT_EQ(got, data);
}

// A request function that records what it was given and passes the bio on, or asks for a
// resubmission, optionally after remapping the bio onto another disk as a stacking driver.
std::atomic<struct block_device*> seenBdev, redirectTo;
std::atomic<sector_t> seenSector;
std::atomic<int> recordCalls, resubmitsLeft;
sim::request_fn realFn;

int recording_fn(struct request_queue* q, struct bio* bio)
{
    recordCalls++;
    seenBdev = bio->bi_bdev;
    seenSector = bio->bi_sector;
    if (resubmitsLeft.load() > 0) {
        resubmitsLeft--;
        if (struct block_device* to = redirectTo.load()) {
            bio->bi_bdev = to;
            bio->bi_sector += 10;
        }
        return 1;
    }
    return realFn(q, bio);
}

TEST_F(BlockDeviceTest, RequestFunctionSeesRemappedBiosAndIsCalledAgainOnNonzero)
{
    ASSERT_EQ(sim::add_disk(machine, disk_with({{100, 50}})), 0);
    ASSERT_EQ(sim::add_disk(machine, disk_with({}, 16)), 0);
    realFn = sim::disk_request_fn(machine, kSda);
    recordCalls = resubmitsLeft = 0;
    redirectTo = nullptr;
    QueueHook hook(machine, kSda, recording_fn);
    struct block_device* sda = bdget(kSda);
    struct block_device* sdb = bdget(kSdb);
    auto data = pattern(512, 3);

    ASSERT_EQ(sim::write_sectors(machine, kSda1, 5, data.data(), 1), 0);
    EXPECT_EQ(recordCalls.load(), 1);
    EXPECT_EQ(seenBdev.load(), sda) << "a partition's bio reaches the queue on the disk";
    EXPECT_EQ(seenSector.load(), 105u);

    // Nonzero asks for the bio to be submitted again: to the same queue when the bio is
    // unchanged, to another disk's queue after a stacking driver's remap.
    recordCalls = 0;
    resubmitsLeft = 2;
    ASSERT_EQ(sim::write_sectors(machine, kSda, 7, data.data(), 1), 0);
    EXPECT_EQ(recordCalls.load(), 3);

    recordCalls = 0;
    redirectTo = sdb;
    resubmitsLeft = 1;
    ASSERT_EQ(sim::write_sectors(machine, kSda, 20, data.data(), 1), 0);
    EXPECT_EQ(recordCalls.load(), 1);
    EXPECT_EQ(store(machine, kSdb, 30, 1), data) << "the remapped bio went to sdb's queue";
    EXPECT_EQ(store(machine, kSda, 20, 1), std::vector<unsigned char>(512, 0));
    bdput(sda);
    bdput(sdb);
}

TEST_F(BlockDeviceTest, DeviceWithoutQueueFailsTheBioAtOnce)
{
    struct gendisk gd {};
    gd.capacity = 100;
    struct block_device bd {};
    bd.bd_dev = MKDEV(200, 0);
    bd.bd_contains = &bd;
    bd.bd_disk = &gd;
    Probe p;
    struct bio* bio = page_bio(&bd, 0, 1, &p);
    submit_bio(READ, bio);
    EXPECT_EQ(p.bytes.size(), 1u) << "completed before submit_bio returned";
    EXPECT_EQ(p.error, -EIO);
    EXPECT_FALSE(bio_flagged(bio, BIO_UPTODATE));
    EXPECT_EQ(machine.log_count("nonexistent block-device unknown-block(200,0)"), 1u);
    free_page_bio(bio);
}

TEST_F(BlockDeviceTest, QueueMayHaveNoLockAndReportsForeignFunctions)
{
    sim::DiskConfig c = disk_with({});
    c.queue_lock = false;
    ASSERT_EQ(sim::add_disk(machine, c), 0);
    EXPECT_EQ(sim::disk_queue(machine, kSda)->queue_lock, nullptr);
    auto data = pattern(4096, 5);
    EXPECT_EQ(sim::write_sectors(machine, kSda, 0, data.data(), 8), 0);
    realFn = sim::disk_request_fn(machine, kSda);
    {
        QueueHook hook(machine, kSda, recording_fn);
        EXPECT_NE(machine.queues_report().find("sda"), std::string::npos);
    }
    EXPECT_EQ(machine.queues_report(), "");
}

TEST_F(BlockDeviceTest, BiosAndBufferHeadsAreCountedAndFaultInjectable)
{
    struct bio* bio = bio_alloc(GFP_NOIO, 4);
    struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
    ASSERT_TRUE(bio && bh);
    bio_get(bio);
    bio_put(bio);
    EXPECT_NE(machine.leak_report().find("bios: 1\nbuffer heads: 1\n"), std::string::npos);
    bio_put(bio);
    free_buffer_head(bh);

    machine.faults().fail_nth(sim::Fault::Bio, 1);
    EXPECT_EQ(bio_alloc(GFP_NOIO, 1), nullptr);
    machine.faults().fail_any_alloc_nth(1);
    EXPECT_EQ(alloc_buffer_head(GFP_NOIO), nullptr) << "buffer heads count as allocations";
    EXPECT_EQ(machine.faults().fired(sim::Fault::BufferHead), 1u);
    machine.faults().disarm();
}

// Freed bios and buffer heads may be handed out again: what comes back is as fresh as a new
// one, is counted again, and the freed one still cannot be put or freed a second time.
TEST_F(BlockDeviceTest, ReusedBiosAndBufferHeadsComeBackFresh)
{
    for (int round = 0; round < 3; round++) {
        struct bio* bio = bio_alloc(GFP_NOIO, 1);
        struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
        ASSERT_TRUE(bio && bh);
        EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));
        EXPECT_EQ(atomic_read(&bio->bi_cnt), 1);
        EXPECT_EQ(bio->bi_max_vecs, 1u);
        EXPECT_TRUE(bio->bi_io_vec && !bio->bi_private && !bio->bi_end_io && !bio->bi_size && !bio->bi_rw);
        EXPECT_TRUE(!bh->b_state && !bh->b_page && !bh->b_private && list_empty(&bh->b_assoc_buffers));
        EXPECT_EQ(machine.mem_stats().bios, 1);
        EXPECT_EQ(machine.mem_stats().buffer_heads, 1);
        // Leave traces for the next round to find cleared.
        clear_bit(BIO_UPTODATE, &bio->bi_flags);
        bio->bi_private = bh;
        bio->bi_size = 4096;
        bio->bi_rw = WRITE;
        set_buffer_uptodate(bh);
        bh->b_private = bio;
        bio_put(bio);
        free_buffer_head(bh);
        EXPECT_EQ(machine.mem_stats().bios, 0);
        EXPECT_EQ(machine.mem_stats().buffer_heads, 0);
        bio_put(bio);
        free_buffer_head(bh);
        EXPECT_EQ(machine.bugs().size(), 2u) << "a second put or free is still caught";
        machine.clear_bugs();
    }
}

// Raw I/O that meets an allocation failure at any step reports it and leaves nothing behind.
TEST_F(BlockDeviceTest, RawIoSurvivesEveryAllocationFailure)
{
    ASSERT_EQ(sim::add_disk(machine, disk_with({})), 0);
    auto data = pattern(80 * 512, 6);
    for (unsigned n = 1;; n++) {
        machine.faults().fail_any_alloc_nth(n);
        int r = sim::write_sectors(machine, kSda, 3, data.data(), 80);
        machine.faults().disarm();
        ASSERT_TRUE(r == 0 || r == -ENOMEM) << r;
        EXPECT_EQ(machine.mem_stats().bios, 0);
        EXPECT_EQ(machine.mem_stats().pages, 0);
        if (r == 0)
            break;
        ASSERT_LT(n, 100u);
    }
    EXPECT_EQ(store(machine, kSda, 3, 80), data);
}

} // namespace
} // namespace kestrel_test
