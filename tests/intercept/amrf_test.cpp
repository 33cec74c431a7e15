// The change-tracking request function, driven by real requests on simulated disks: which
// automap a write marks and at which blocks, what it leaves alone, and that every request
// still reaches the disk.
#include "tests/support/interleave.h"
#include "tests/support/tracking.h"

#include <thread>

namespace kestrel_test {
namespace {

using ChangeTrackingTest = TrackingTest;

TEST_F(ChangeTrackingTest, WritesMarkTheirPartitionAtPartitionRelativeBlocks)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(Write(sda1, 16, 8), 0);           // block 2 of sda1
    ASSERT_EQ(Write(sda, kP1Start + 80, 8), 0); // the whole disk, inside sda1: block 10
    ASSERT_EQ(Write(sda1, 36, 8, 0x33), 0);     // sectors 36..43: blocks 4 and 5
    ASSERT_EQ(Write(sda, 96, 8), 0);            // before sda1, on a disk without automap
    ASSERT_EQ(Write(sda2, 0, 8), 0);            // sda2 has no automap
    ASSERT_EQ(Read(sda1, 200, 8), 0);           // reads mark nothing

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{2, 4, 5, 10}));
    std::vector<unsigned char> got(8 * 512);
    ASSERT_EQ(sim::read_store(machine, sda1, 36, got.data(), 8), 0);
    EXPECT_EQ(got, std::vector<unsigned char>(8 * 512, 0x33)) << "the write did not land";
}

// A write is marked in every device whose sectors it reaches: a whole-disk write across two
// partitions marks both, and the disk's own automap sees every write to the disk.
TEST_F(ChangeTrackingTest, AWriteMarksEveryDeviceItReaches)
{
    kes::AM* disk = startTracking(MakeBackup(sda));
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    kes::AM* p2 = startTracking(MakeBackup(sda2));
    ASSERT_TRUE(disk && p1 && p2);

    // The last block of sda1 and the first of sda2. sda1's share runs past its end and is
    // cut there, without a resize report, whether it runs one sector past or more; sda2's
    // is counted from its sector 0 with the whole length, one block more than written (a
    // spare copy, never a missed one).
    ASSERT_EQ(Write(sda, kP2Start - 8, 9), 0);
    ASSERT_EQ(Write(sda, kP2Start - 8, 16), 0);
    ASSERT_EQ(Write(sda, 96, 8), 0); // in no partition

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{5119}));
    EXPECT_EQ(setBlocks(p2), (std::vector<u32>{0, 1}));
    EXPECT_EQ(setBlocks(disk), (std::vector<u32>{12, kP2Start / 8 - 1, kP2Start / 8}));
    EXPECT_EQ(atomic_read(&p1->tracking), 1);
    EXPECT_EQ(machine.log_count("device resize detected"), 0u);
}

// A write is marked again when it completes, in whatever pages the automap has by then: a
// snapshot while it was on its way handed the first mark to a backup that may have read the
// block too early. The completion runs in the interrupt context; its record comes from a
// reserve when memory is short, and a write completed in pieces is marked once whole.
TEST_F(ChangeTrackingTest, AWriteIsMarkedAgainWhenItCompletes)
{
    StackedDriver below(machine, sda);
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    ASSERT_NE(p1, nullptr);
    struct Case {
        bool noMemory;
        unsigned pieces;
    };
    for (Case c : {Case{false, 0}, Case{true, 0}, Case{false, 1}}) {
        SCOPED_TRACE(c.noMemory ? "no memory" : c.pieces ? "in pieces" : "plain");
        below.HoldWrite(kP1Start + 16);
        unsigned fired = machine.faults().fired(sim::Fault::Kmalloc);
        if (c.noMemory)
            machine.faults().fail_nth(sim::Fault::Kmalloc, 1, true);
        if (c.pieces) {
            ASSERT_EQ(sim::set_partial_completions(machine, sda, c.pieces), 0);
        }
        std::thread writer([this] { EXPECT_EQ(Write(sda1, 16, 8), 0); });
        below.WaitHeld();
        EXPECT_EQ(setBlocks(p1), std::vector<u32>{2});
        kes::unSetBlock(&p1->map, 2); // as if a snapshot had taken the bits
        below.Release();
        writer.join();
        EXPECT_EQ(setBlocks(p1), std::vector<u32>{2});
        EXPECT_EQ(machine.faults().fired(sim::Fault::Kmalloc) > fired, c.noMemory);
        machine.faults().disarm();
        kes::unSetBlock(&p1->map, 2);
    }
    EXPECT_EQ(kes::trackedWriteReserveUsed, 0ul);
    machine.exit_processes();
    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    below.Remove();
}

// A write that took the disk's own function before the disk's first hook is still unmarked
// and unprotected; the hook must not return while one is on its way, or a snapshot right
// after it could switch before the write lands and no changed-block map would name it.
// Two places to be: between reading the queue's function and the driver (a submitter
// preempted there), and queued at a driver that has not served it yet.
TEST_F(ChangeTrackingTest, TheFirstHookWaitsForWritesThatTookTheDisksOwnFunction)
{
    for (bool queuedAtDriver : {false, true}) {
        SCOPED_TRACE(queuedAtDriver ? "queued at the driver" : "between the function and the driver");
        if (queuedAtDriver)
            ASSERT_EQ(sim::pause_driver(machine, sda, true), 0);
        else
            ASSERT_EQ(sim::hold_next_write(machine, sda, kP1Start + 16), 0);
        std::thread writer([this] { EXPECT_EQ(Write(sda1, 16, 8, 0x5a), 0); });
        if (queuedAtDriver)
            WaitUntil([&] { return sim::disk_stats(machine, sda).queued > 0; });
        else
            WaitUntil([&] { return sim::write_held(machine, sda); });

        std::atomic<bool> hooked{false};
        kes::Backup* b = MakeBackup(sda1);
        std::thread hooker([&] {
            EXPECT_NE(startTracking(b), nullptr);
            hooked = true;
        });
        WaitUntil([&] { return hooked || sim::waiting_for_earlier_requests(machine, sda); });
        EXPECT_FALSE(hooked) << "the hook returned while a write of the disk's own function was on its way";
        if (queuedAtDriver)
            ASSERT_EQ(sim::pause_driver(machine, sda, false), 0);
        else
            ASSERT_EQ(sim::release_write(machine, sda), 0);
        hooker.join();
        writer.join();
        ASSERT_EQ(kes::closeAMS(b), kes::KES_OK);
        kes::unsetQueueMRFAMS(sim::disk_queue(machine, sda));
        ASSERT_EQ(Fn(sda), sim::disk_request_fn(machine, sda));
    }
}

TEST_F(ChangeTrackingTest, BlocksBeyondTheAutomapStopItWithOneLinePerBlock)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1, 10)); // the file system was 10 blocks
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(Write(sda1, 64, 40), 0); // blocks 8 to 12 in one request

    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{8, 9}));
    EXPECT_EQ(atomic_read(&p1->tracking), 0);
    for (int b : {10, 11, 12})
        EXPECT_EQ(machine.log_count("updateAM: device resize detected (block " + std::to_string(b) +
                                    " in size 10) in automap update, automap not in sync\n"),
                  1u);

    // Stopped: later writes mark nothing and say nothing.
    ASSERT_EQ(Write(sda1, 0, 8), 0);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{8, 9}));
    EXPECT_EQ(machine.log_count("device resize detected"), 3u);
}

// The kernel re-reads a partition table holding the disk's bd_sem and reads sector 0
// through the hooked queue on the same thread.
TEST_F(ChangeTrackingTest, RereadingThePartitionTableOfAHookedDiskCompletes)
{
    u32 sdb = AddDisk(8, 16, 16, 32ull << 20);
    std::vector<unsigned char> mbr = sim::make_mbr({{2048, 20480}});
    ASSERT_EQ(sim::write_store(machine, sdb, 0, mbr.data(), 1), 0);
    ASSERT_EQ(sim::reread_partitions(machine, sdb), 0);
    kes::AM* p1 = startTracking(MakeBackup(sdb + 1));
    ASSERT_NE(p1, nullptr);

    ASSERT_EQ(sim::reread_partitions(machine, sdb), 0);

    ASSERT_EQ(Write(sdb + 1, 8, 8), 0);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{1}));
}

// The kernel also flushes a disk's dirty buffers while it holds the disk's bd_sem (when it
// closes the disk's device, or before it re-reads the table): writes from the holder.
TEST_F(ChangeTrackingTest, WritesFromTheHolderOfTheDisksBdSemAreMarked)
{
    kes::AM* p1 = startTracking(MakeBackup(sda1));
    kes::AM* p2 = startTracking(MakeBackup(sda2));
    ASSERT_TRUE(p1 && p2);
    struct block_device* disk = bdget(sda);

    down(&disk->bd_sem);
    EXPECT_EQ(Write(sda, kP2Start - 8, 16), 0);
    EXPECT_EQ(Write(sda1, 80, 8), 0);
    up(&disk->bd_sem);

    bdput(disk);
    EXPECT_EQ(setBlocks(p1), (std::vector<u32>{10, 5119}));
    EXPECT_EQ(setBlocks(p2), (std::vector<u32>{0, 1}));
}

TEST_F(ChangeTrackingTest, AQueueWithoutALockOfItsOwn)
{
    u32 sdc = AddDisk(8, 32, 16, 8ull << 20, std::vector<sim::Partition>{{64, 8192}}, false);
    kes::Backup* b = MakeBackup(sdc + 1);
    ASSERT_NE(startTracking(b), nullptr);

    ASSERT_EQ(Write(sdc + 1, 16, 8), 0);
    EXPECT_EQ(setBlocks(amOf(sdc + 1)), (std::vector<u32>{2}));
    EXPECT_EQ(kes::closeAMS(b), 0);
    EXPECT_EQ(Fn(sdc), sim::disk_request_fn(machine, sdc));
}

} // namespace
} // namespace kestrel_test
