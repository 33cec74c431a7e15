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

// A write that took the disk's own function before the disk's first hook is unmarked and
// unprotected; before a snapshot switches, the wait for unhooked requests must not return
// while one is on its way. Three places to be: between reading the queue's function and
// the driver (a submitter running there), queued at a driver that has not served it yet,
// and asleep for a free request of a congested queue (it read the function before it slept).
TEST_F(ChangeTrackingTest, TheWaitForUnhookedRequestsCoversEveryPlaceAWriteCanBe)
{
    enum Place { Running, Queued, AsleepForARequest };
    request_queue_t* q = sim::disk_queue(machine, sda);
    atomic_t cancel = ATOMIC_INIT(0);
    for (Place place : {Running, Queued, AsleepForARequest}) {
        SCOPED_TRACE(place == Running ? "running" : place == Queued ? "queued" : "asleep for a request");
        std::vector<std::thread> writers;
        if (place == Running) {
            ASSERT_EQ(sim::hold_next_write(machine, sda, kP1Start + 16), 0);
        } else {
            ASSERT_EQ(sim::pause_driver(machine, sda, true), 0);
        }
        if (place == AsleepForARequest) {
            // One request a direction, taken by a write to the other partition.
            ASSERT_EQ(sim::set_queue_requests(machine, sda, 1), 0);
            writers.emplace_back([this] { EXPECT_EQ(Write(sda2, 0, 8), 0); });
            WaitUntil([&] { return sim::disk_stats(machine, sda).queued == 1; });
        }
        writers.emplace_back([this] { EXPECT_EQ(Write(sda1, 16, 8, 0x5a), 0); });
        if (place == Running)
            WaitUntil([&] { return sim::write_held(machine, sda); });
        else if (place == Queued)
            WaitUntil([&] { return sim::disk_stats(machine, sda).queued == 1; });
        else
            WaitUntil([&] { return sim::sleeping_for_requests(machine, sda) == 1; });

        kes::Backup* b = MakeBackup(sda1);
        kes::AM* am = startTracking(b);
        ASSERT_NE(am, nullptr);
        EXPECT_EQ(Fn(sda), kes::kesAMRF); // the hook itself does not wait
        std::atomic<bool> done{false};
        bool landed = false;
        std::thread waiter([&] {
            EXPECT_EQ(kes::waitForUnhookedRequests(q, &cancel), 0);
            std::vector<unsigned char> got(512);
            EXPECT_EQ(sim::read_store(machine, sda1, 16, got.data(), 1), 0);
            landed = got[0] == 0x5a;
            done = true;
        });
        WaitUntil([&] { return done || atomic_read(&kes::queuesDraining) != 0; });
        if (place == Running)
            WaitUntil([&] { return done || sim::waiting_for_earlier_requests(machine, sda); });
        // A hooked write meanwhile waits in the hook, and is marked.
        writers.emplace_back([this] { EXPECT_EQ(Write(sda1, 80, 8), 0); });
        EXPECT_FALSE(done) << "the wait returned while a write of the disk's own function was on its way";
        if (place == Running)
            ASSERT_EQ(sim::release_write(machine, sda), 0);
        else
            ASSERT_EQ(sim::pause_driver(machine, sda, false), 0);
        waiter.join();
        EXPECT_TRUE(landed) << "the write of the disk's own function landed after the wait";
        for (std::thread& w : writers)
            w.join();
        EXPECT_EQ(setBlocks(am), std::vector<u32>{10});
        ASSERT_EQ(sim::set_queue_requests(machine, sda, 128), 0);
        ASSERT_EQ(kes::closeAMS(b), kes::KES_OK);
        kes::unsetQueueMRFAMS(q);
        ASSERT_EQ(Fn(sda), sim::disk_request_fn(machine, sda));
    }
}

// A disk that never ends a request makes the wait give up after its time, and so does a
// cancel; the queue stays unsettled, so the next wait waits again. Once the disk has ended
// everything the queue is settled and later waits return at once. A driver that takes bios
// itself has no request list: the grace period is all the wait can do there.
TEST_F(ChangeTrackingTest, TheWaitForUnhookedRequestsIsBoundedAndCancellable)
{
    request_queue_t* q = sim::disk_queue(machine, sda);
    atomic_t cancel = ATOMIC_INIT(0);
    machine.set_sleep_speedup(1000);
    ASSERT_EQ(sim::pause_driver(machine, sda, true), 0);
    std::thread writer([this] { EXPECT_EQ(Write(sda1, 16, 8), 0); });
    WaitUntil([&] { return sim::disk_stats(machine, sda).queued == 1; });
    kes::Backup* b = MakeBackup(sda1);
    ASSERT_NE(startTracking(b), nullptr);

    EXPECT_EQ(kes::waitForUnhookedRequests(q, &cancel), -ETIMEDOUT);
    EXPECT_EQ(atomic_read(&kes::queuesDraining), 0); // new requests pass again
    atomic_set(&cancel, 1);
    EXPECT_EQ(kes::waitForUnhookedRequests(q, &cancel), -EINTR);
    atomic_set(&cancel, 0);
    ASSERT_EQ(sim::pause_driver(machine, sda, false), 0);
    writer.join();
    EXPECT_EQ(kes::waitForUnhookedRequests(q, &cancel), 0);
    ASSERT_EQ(sim::pause_driver(machine, sda, true), 0);
    std::thread again([this] { EXPECT_EQ(Write(sda1, 16, 8), 0); });
    WaitUntil([&] { return sim::disk_stats(machine, sda).queued == 1; });
    EXPECT_EQ(kes::waitForUnhookedRequests(q, &cancel), 0); // settled: nothing to wait for
    ASSERT_EQ(sim::pause_driver(machine, sda, false), 0);
    again.join();
    ASSERT_EQ(kes::closeAMS(b), kes::KES_OK);

    u32 sdc = AddDisk(8, 32, 16, 8ull << 20, std::vector<sim::Partition>{{64, 8192}}, false);
    kes::Backup* c = MakeBackup(sdc + 1);
    ASSERT_NE(startTracking(c), nullptr);
    ASSERT_EQ(sim::pause_driver(machine, sdc, true), 0);
    std::thread stacked([this, sdc] { EXPECT_EQ(Write(sdc + 1, 16, 8), 0); });
    WaitUntil([&] { return sim::disk_stats(machine, sdc).queued == 1; });
    EXPECT_EQ(kes::waitForUnhookedRequests(sim::disk_queue(machine, sdc), &cancel), 0);
    ASSERT_EQ(sim::pause_driver(machine, sdc, false), 0);
    stacked.join();
    EXPECT_EQ(kes::closeAMS(c), 0);
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
