// File systems: mounting, super block references, the write-back cache, freezing and
// thawing, fsync_bdev, and misuse the kernel reports.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/fixture.h"
#include "tests/support/interleave.h"

namespace kestrel_test {
namespace {

constexpr uint32_t kDisk = MKDEV(8, 0), kPart = MKDEV(8, 1);
constexpr uint64_t kPartSectors = 8192;

// A request function in front of the disk's own that counts writes and can stop the next
// one until released, to catch a write-back in the middle.
struct Gate {
    make_request_fn* real = nullptr;
    std::atomic<int> writes{0};
    std::mutex mu;
    std::condition_variable cv;
    bool armed = false, stopped = false, open = false;
} gate;

int gatedRequest(struct request_queue* q, struct bio* bio)
{
    if (bio_data_dir(bio) == WRITE) {
        gate.writes++;
        sim::OffProcessor off; // the request stops here as a sleeping submitter would
        std::unique_lock<std::mutex> lk(gate.mu);
        if (gate.armed) {
            gate.armed = false;
            gate.stopped = true;
            gate.cv.notify_all();
            gate.cv.wait(lk, [] { return gate.open; });
        }
    }
    return gate.real(q, bio);
}

class FsTest : public MachineTest {
protected:
    void SetUp() override
    {
        sim::DiskConfig c;
        c.size_bytes = 8 << 20;
        c.partitions = std::vector<sim::Partition>{{2048, kPartSectors}};
        ASSERT_EQ(sim::add_disk(machine, c), 0);
        bdev = bdget(kPart);
        gate.real = sim::disk_request_fn(machine, kDisk);
        gate.writes = 0;
        gate.armed = gate.stopped = gate.open = false;
        sim::disk_queue(machine, kDisk)->make_request_fn = gatedRequest;
    }

    void TearDown() override
    {
        sim::disk_queue(machine, kDisk)->make_request_fn = gate.real;
        bdput(bdev);
        MachineTest::TearDown();
    }

    void WaitStopped()
    {
        std::unique_lock<std::mutex> lk(gate.mu);
        gate.cv.wait(lk, [] { return gate.stopped; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(gate.mu);
        gate.open = true;
        gate.cv.notify_all();
    }

    std::vector<unsigned char> Stored(uint64_t block, unsigned bs = 4096)
    {
        std::vector<unsigned char> b(bs);
        EXPECT_EQ(sim::read_store(machine, kPart, block * bs / 512, b.data(), bs / 512), 0);
        return b;
    }
    std::vector<unsigned char> Read(uint64_t block)
    {
        std::vector<unsigned char> b(4096);
        EXPECT_EQ(sim::fs_read(machine, kPart, block, b.data()), 0);
        return b;
    }
    sim::MountInfo Info() { return sim::mount_info(machine, kPart).value_or(sim::MountInfo{}); }

    static std::vector<unsigned char> Fill(unsigned char c, size_t n = 4096) { return std::vector<unsigned char>(n, c); }

    struct block_device* bdev = nullptr;
};

TEST_F(FsTest, MountProbesExtSuperBlockOrTakesAnExplicitSize)
{
    auto put = [&](std::vector<unsigned char> sb) { ASSERT_EQ(sim::write_store(machine, kPart, 2, sb.data(), 2), 0); };
    for (unsigned bs : {1024u, 2048u, 4096u}) {
        put(sim::make_ext2_super_block(bs, 1000));
        ASSERT_EQ(sim::mount_fs(machine, kPart), 0) << bs;
        struct super_block* sb = get_super(bdev);
        ASSERT_NE(sb, nullptr);
        EXPECT_EQ(sb->s_blocksize, bs);
        EXPECT_EQ(1u << sb->s_blocksize_bits, bs);
        EXPECT_EQ(sb->s_dev, kPart);
        EXPECT_EQ(sb->s_bdev, bdev);
        EXPECT_EQ(Info().blocks, 1000u);
        EXPECT_EQ(sim::unmount_fs(machine, kPart), -EBUSY); // referenced
        drop_super(sb);
        EXPECT_EQ(sim::unmount_fs(machine, kPart), 0);
    }
    put(sim::make_ext2_super_block(4096, kPartSectors / 8 + 1)); // larger than the device
    EXPECT_EQ(sim::mount_fs(machine, kPart), -EINVAL);

    // No super block on the whole disk; an explicit size mounts it anyway.
    EXPECT_EQ(sim::mount_fs(machine, kDisk), -EINVAL);
    EXPECT_EQ(sim::mount_fs(machine, kDisk, 3000), -EINVAL);
    ASSERT_EQ(sim::mount_fs(machine, kDisk, 2048), 0);
    EXPECT_EQ(sim::mount_info(machine, kDisk)->blocks, (8u << 20) / 2048);
    EXPECT_EQ(sim::mount_fs(machine, kDisk, 1024), -EBUSY);
    EXPECT_EQ(get_super(bdev), nullptr); // the disk's mount is not the partition's
}

TEST_F(FsTest, NothingMountedGivesNullAndTheFreezeStillHoldsTheDevice)
{
    EXPECT_EQ(get_super(bdev), nullptr);
    EXPECT_EQ(get_super(nullptr), nullptr);
    EXPECT_EQ(fsync_bdev(nullptr), 0);
    EXPECT_EQ(fsync_bdev(bdev), 0);
    EXPECT_EQ(freeze_bdev(bdev), nullptr);
    EXPECT_EQ(sim::mount_fs(machine, kPart, 4096), -EBUSY);
    EXPECT_NE(machine.leak_report().find("freeze_bdev without thaw_bdev"), std::string::npos);
    thaw_bdev(bdev, nullptr);
    EXPECT_EQ(machine.leak_report().find("freeze_bdev"), std::string::npos);
    EXPECT_EQ(sim::mount_fs(machine, kPart, 4096), 0);

    // Misuse is reported: a drop without a reference, a thaw without a freeze.
    struct super_block* sb = get_super(bdev);
    drop_super(sb);
    drop_super(sb);
    thaw_bdev(bdev, nullptr);
    ASSERT_EQ(machine.bugs().size(), 2u);
    EXPECT_NE(machine.bugs()[0].find("drop_super"), std::string::npos);
    EXPECT_NE(machine.bugs()[1].find("thaw_bdev"), std::string::npos);
    machine.clear_bugs();
}

// A super block's s_umount is held for reading by get_super until drop_super and by a
// freeze until the thaw; a remount takes it for writing, so it waits for both.
TEST_F(FsTest, RemountWaitsForTheHoldersOfTheSuperBlock)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    for (bool frozen : {false, true}) {
        SCOPED_TRACE(frozen ? "frozen" : "get_super");
        struct super_block* sb = frozen ? freeze_bdev(bdev) : get_super(bdev);
        ASSERT_NE(sb, nullptr);
        std::atomic<bool> remounted{false};
        std::thread remount([&] {
            EXPECT_EQ(sim::remount_fs(machine, kPart), 0);
            remounted = true;
        });
        WaitUntil([&] { return machine.lock_contended(&sb->s_umount); });
        EXPECT_FALSE(remounted);
        if (frozen)
            thaw_bdev(bdev, sb);
        else
            drop_super(sb);
        remount.join();
    }
    EXPECT_EQ(sim::unmount_fs(machine, kPart), 0);
}

TEST_F(FsTest, FreezeWritesDirtyBlocksBackThroughTheRequestQueue)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    auto a = Fill('A'), b = Fill('B', 2 * 4096);
    ASSERT_EQ(sim::fs_write(machine, kPart, 3, a.data()), 0);
    ASSERT_EQ(sim::fs_write(machine, kPart, 10, b.data(), 2), 0);
    EXPECT_EQ(sim::fs_write(machine, kPart, kPartSectors / 8 - 1, b.data(), 2), -EINVAL);
    // Cached only: reads through the file system see it, the device has none of it.
    EXPECT_EQ(Info().dirty_blocks, 3u);
    EXPECT_EQ(Read(11), Fill('B'));
    EXPECT_EQ(Stored(3), Fill(0));
    EXPECT_EQ(gate.writes.load(), 0);

    struct super_block* sb = freeze_bdev(bdev);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(sb->s_frozen, SB_FREEZE_TRANS);
    EXPECT_EQ(Info().dirty_blocks, 0u);
    EXPECT_EQ(Stored(3), a);
    EXPECT_EQ(Stored(11), Fill('B'));
    EXPECT_GE(gate.writes.load(), 2); // through the queue's request function
    EXPECT_EQ(sim::unmount_fs(machine, kPart), -EBUSY);
    EXPECT_NE(machine.leak_report().find("frozen"), std::string::npos);
    thaw_bdev(bdev, sb);
    EXPECT_EQ(Info().frozen, SB_UNFROZEN);
    EXPECT_EQ(Info().references, 0);
}

TEST_F(FsTest, WritersWaitForTheThawWhileReadersAndRawWritesPass)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    auto old = Fill('o'), fresh = Fill('n'), raw = Fill('r');
    ASSERT_EQ(sim::fs_write(machine, kPart, 5, old.data(), 1, true), 0);
    struct super_block* sb = freeze_bdev(bdev);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        EXPECT_EQ(sim::fs_write(machine, kPart, 5, fresh.data()), 0);
        written = true;
    });
    while (Info().writers_waiting == 0)
        std::this_thread::yield();
    EXPECT_EQ(Read(5), old);
    ASSERT_EQ(sim::write_sectors(machine, kPart, 8 * 20, raw.data(), 8), 0);
    EXPECT_EQ(Stored(20), raw);
    EXPECT_FALSE(written.load());
    EXPECT_EQ(Info().dirty_blocks, 0u);

    thaw_bdev(bdev, sb);
    writer.join();
    EXPECT_EQ(Read(5), fresh);
    EXPECT_EQ(Stored(5), old);
    EXPECT_EQ(fsync_bdev(bdev), 0);
    EXPECT_EQ(Stored(5), fresh);
}

TEST_F(FsTest, FreezeWaitsForAWriterAlreadyWriting)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    gate.armed = true;
    auto d = Fill('s');
    std::thread writer([&] { EXPECT_EQ(sim::fs_write(machine, kPart, 7, d.data(), 1, true), 0); });
    WaitStopped(); // the synchronous writer is inside the file system

    std::atomic<struct super_block*> frozen{nullptr};
    std::thread freezer([&] { frozen = freeze_bdev(bdev); });
    while (Info().frozen != SB_FREEZE_WRITE)
        std::this_thread::yield();
    EXPECT_EQ(frozen.load(), nullptr); // new writers are stopped, the old one is not done
    Release();
    writer.join();
    freezer.join();
    ASSERT_NE(frozen.load(), nullptr);
    EXPECT_EQ(Stored(7), d);
    thaw_bdev(bdev, frozen.load());
}

TEST_F(FsTest, WriteDuringWriteBackIsNotLost)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    auto first = Fill('1'), second = Fill('2');
    ASSERT_EQ(sim::fs_write(machine, kPart, 9, first.data()), 0);
    gate.armed = true;
    std::thread syncer([&] { EXPECT_EQ(sim::fs_sync(machine, kPart), 0); });
    WaitStopped(); // the old contents are on their way to the device
    ASSERT_EQ(sim::fs_write(machine, kPart, 9, second.data()), 0);
    Release();
    syncer.join();
    EXPECT_EQ(Stored(9), first);
    EXPECT_EQ(Info().dirty_blocks, 1u);
    EXPECT_EQ(Read(9), second);
    ASSERT_EQ(sim::fs_sync(machine, kPart), 0);
    EXPECT_EQ(Stored(9), second);
}

TEST_F(FsTest, FailedWriteBackKeepsTheBlocksDirty)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 1024), 0);
    auto d = Fill('e', 1024);
    ASSERT_EQ(sim::fs_write(machine, kPart, 40, d.data()), 0);
    ASSERT_EQ(sim::set_bad_sectors(machine, kPart, 80, 2), 0);
    EXPECT_EQ(sim::fs_sync(machine, kPart), -EIO);
    EXPECT_EQ(machine.log_count("Buffer I/O error"), 1u);
    EXPECT_EQ(sim::unmount_fs(machine, kPart), -EIO);
    EXPECT_EQ(Info().dirty_blocks, 1u); // still mounted, data kept

    ASSERT_EQ(sim::clear_bad_sectors(machine, kPart), 0);
    EXPECT_EQ(sim::unmount_fs(machine, kPart), 0);
    EXPECT_EQ(Stored(40, 1024), d);
}

TEST_F(FsTest, WriteBackIsSparedInjectedFaults)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    machine.faults().fail_any_alloc_nth(1, true);
    auto d = Fill('f');
    ASSERT_EQ(sim::fs_write(machine, kPart, 1, d.data(), 1, true), 0);
    thaw_bdev(bdev, freeze_bdev(bdev));
    EXPECT_EQ(machine.faults().fired_total(), 0u);
    machine.faults().disarm();
    EXPECT_EQ(Stored(1), d);
}

} // namespace
} // namespace kestrel_test

namespace kestrel_test {
namespace {

TEST_F(FsTest, FreezeRecordsHoldTheDeviceAsFrozenAndOnlyWhenAsked)
{
    ASSERT_EQ(sim::mount_fs(machine, kPart, 4096), 0);
    auto a = Fill('A'), b = Fill('B');
    ASSERT_EQ(sim::fs_write(machine, kPart, 3, a.data()), 0);
    thaw_bdev(bdev, freeze_bdev(bdev)); // not recorded: nobody asked yet
    EXPECT_TRUE(sim::take_freeze_records(machine, kPart).empty());

    ASSERT_EQ(sim::record_freezes(machine, kPart), 0);
    EXPECT_EQ(sim::record_freezes(machine, MKDEV(8, 9)), -ENODEV);
    ASSERT_EQ(sim::fs_write(machine, kPart, 4, b.data()), 0); // dirty until the freeze
    struct super_block* sb = freeze_bdev(bdev);
    ASSERT_NE(sb, nullptr);
    // A writer held back by the freeze is not in the record.
    std::thread late([&] { EXPECT_EQ(sim::fs_write(machine, kPart, 5, b.data()), 0); });
    thaw_bdev(bdev, sb);
    late.join();
    thaw_bdev(bdev, freeze_bdev(bdev));

    auto records = sim::take_freeze_records(machine, kPart);
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[0].size(), kPartSectors * 512);
    auto block = [](const std::vector<unsigned char>& img, uint64_t n) {
        return std::vector<unsigned char>(img.begin() + n * 4096, img.begin() + (n + 1) * 4096);
    };
    EXPECT_EQ(block(records[0], 3), a);
    EXPECT_EQ(block(records[0], 4), b);
    EXPECT_EQ(block(records[0], 5), Fill(0));
    EXPECT_EQ(block(records[1], 5), b);
    EXPECT_TRUE(sim::take_freeze_records(machine, kPart).empty()); // handed over once
    EXPECT_EQ(sim::unmount_fs(machine, kPart), 0);
}

} // namespace
} // namespace kestrel_test
