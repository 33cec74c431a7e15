// Copy-on-write through real requests: writes that would overwrite blocks the snapshot
// still needs are held back until the old contents are cached, every snapshot block reads
// back as it was, and no write is ever lost because of the backup.
#include <atomic>
#include <random>
#include <thread>

#include "blockmap/blockmap.h"
#include "cow/cow.h"
#include "intercept/intercept.h"
#include "tests/support/backup_rig.h"

namespace kestrel_test {
namespace {

using namespace kes;

class CowTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        rig = std::make_unique<BackupRig>(machine, *agent, Config());
        ASSERT_EQ(rig->StartByHand(), 0);
        rig->StampAll(0);
    }
    virtual RigConfig Config() { return {}; }
    // Reads the whole snapshot through the mapped buffer and checks every block against
    // its stamp of generation 0.
    void ExpectSnapshotIntact()
    {
        long buf = rig->MapBuffer(256);
        ASSERT_GT(buf, 0);
        for (uint32_t first = 0; first < rig->config.fsBlocks; first += 256) {
            uint32_t n = std::min<uint32_t>(256, rig->config.fsBlocks - first);
            ASSERT_EQ(rig->ReadBlocks(first, n, static_cast<uint32_t>(buf)), 0) << machine.dmesg_text();
            for (uint32_t i = 0; i < n; i++)
                ASSERT_EQ(rig->Slot(static_cast<uint32_t>(buf), i), rig->Pattern(first + i, 0))
                    << "block " << first + i;
        }
        EXPECT_EQ(agent->munmap(static_cast<uint32_t>(buf), 256 * 4096), 0);
    }

    std::unique_ptr<BackupRig> rig;
};

TEST_F(CowTest, SnapshotSurvivesConcurrentOverwritesAndEveryWriteLands)
{
    rig->SnapshotByHand();
    constexpr int kWriters = 4;
    std::vector<uint32_t> lastGen(rig->config.fsBlocks, 0);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            std::mt19937 rng(w + 1);
            // Each writer owns the blocks b with b % kWriters == w, so the last write to a
            // block is well defined; some blocks are written several times.
            for (int n = 0; n < 300; n++) {
                uint32_t blk = (rng() % (rig->config.fsBlocks / kWriters)) * kWriters + w;
                uint32_t gen = lastGen[blk] + 1;
                ASSERT_EQ(rig->WriteBlock(rig->part1, blk, gen), 0);
                lastGen[blk] = gen;
            }
        });
    }
    ExpectSnapshotIntact(); // while the writers run
    for (auto& t : writers)
        t.join();
    ExpectSnapshotIntact(); // and after
    for (uint32_t blk = 0; blk < rig->config.fsBlocks; blk++)
        ASSERT_EQ(rig->StoredBlock(rig->part1, blk), rig->Pattern(blk, lastGen[blk])) << blk;
    EXPECT_EQ(backupState(rig->b), BACKUP_SNAPSHOT);
    EXPECT_GT(atomic_read(&rig->b->totalCachedBlocks), 0);
    rig->WaitForWorker(); // nothing is left held back
}

TEST_F(CowTest, OnlyBlocksStillNeededAreCopiedOnce)
{
    rig->SnapshotByHand();
    for (uint32_t blk = 10; blk <= 17; blk++)
        if (blk != 13)
            setBlock(&rig->b->cacheMap, blk);
    std::vector<char> run(8 * 4096);
    for (uint32_t i = 0; i < 8; i++)
        memcpy(run.data() + i * 4096, rig->Pattern(10 + i, 1).data(), 4096);
    ASSERT_EQ(sim::write_sectors(machine, rig->part1, 10 * 8, run.data(), 64), 0);
    rig->WaitForWorker();
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 1);
    EXPECT_EQ(atomic_read(&rig->b->totalBRs), 1);
    EXPECT_NE(blockInMap(&rig->b->cacheMap, 13), 0);
    // The same block again: already dealt with, passed straight on.
    ASSERT_EQ(rig->WriteBlock(rig->part1, 13, 2), 0);
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 1);
    EXPECT_EQ(rig->StoredBlock(rig->part1, 13), rig->Pattern(13, 2));
}

TEST_F(CowTest, OtherPartitionsAndReadAheadAreNeverHeldBack)
{
    rig->SnapshotByHand();
    ASSERT_EQ(rig->WriteBlock(rig->part2, 3, 1), 0);
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 0);
    EXPECT_EQ(rig->StoredBlock(rig->part2, 3), rig->Pattern(3, 1));
    // A plain read of a block not yet dealt with goes through the worker unchanged.
    std::vector<char> buf(4096);
    ASSERT_EQ(sim::read_sectors(machine, rig->part1, 5 * 8, buf.data(), 8), 0);
    EXPECT_EQ(buf, rig->Pattern(5, 0));
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 0);
}

TEST_F(CowTest, WholeDiskWriteIntoThePartitionIsProtected)
{
    rig->SnapshotByHand();
    // Starts before partition 1 and runs into its first block.
    std::vector<char> data(8 * 512 + 4096, 'z');
    ASSERT_EQ(sim::write_sectors(machine, rig->disk, rig->config.part1Start - 8, data.data(), 16), 0);
    // Counted from the partition's first sector: blocks 0 and 1.
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 2);
    ExpectSnapshotIntact();
}

TEST_F(CowTest, NothingIsHeldBackBeforeTheSnapshotOrAfterClose)
{
    ASSERT_EQ(rig->WriteBlock(rig->part1, 1, 1), 0); // started, no snapshot yet
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 0);
    rig->SnapshotByHand();
    ASSERT_EQ(rig->WriteBlock(rig->part1, 2, 1), 0);
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 1);
    request_queue* q = sim::disk_queue(machine, rig->disk);
    EXPECT_NE(q->make_request_fn.load(), sim::disk_request_fn(machine, rig->disk));
    agent->close(rig->fd);
    // The device had no automap: its queue has its own function back, nothing is left.
    EXPECT_EQ(q->make_request_fn.load(), sim::disk_request_fn(machine, rig->disk));
    ASSERT_EQ(rig->WriteBlock(rig->part1, 3, 1), 0);
    EXPECT_EQ(rig->StoredBlock(rig->part1, 3), rig->Pattern(3, 1));
    EXPECT_EQ(machine.log_count("closeBackup: backup finished device major=8 minor=1"), 1u);
    EXPECT_EQ(machine.log_count("printStats: state: 7"), 1u);
    EXPECT_EQ(machine.log_count("kbackupd thread started"), 1u);
    EXPECT_EQ(machine.log_count("backupd thread exiting"), 1u);
}

class SmallCacheCowTest : public CowTest {
    RigConfig Config() override
    {
        RigConfig c;
        c.maxCacheBlocks = 3;
        return c;
    }
};

TEST_F(SmallCacheCowTest, FullCacheFailsTheBackupButNeverTheWrite)
{
    rig->SnapshotByHand();
    for (uint32_t blk = 0; blk < 5; blk++)
        ASSERT_EQ(rig->WriteBlock(rig->part1, blk, 1), 0);
    EXPECT_EQ(backupState(rig->b), BACKUP_ERR_CACHE);
    EXPECT_EQ(atomic_read(&rig->b->currentCachedBlocks), 3);
    EXPECT_EQ(machine.log_count("configured max cache memory reached (3 blocks)"), 1u);
    EXPECT_EQ(machine.log_count("cacheBlock: Error caching blockNum=3 MAJOR=8 MINOR=1"), 1u);
    for (uint32_t blk = 0; blk < 5; blk++)
        EXPECT_EQ(rig->StoredBlock(rig->part1, blk), rig->Pattern(blk, 1));
    // Failed: no more copies, writes go straight through.
    ASSERT_EQ(rig->WriteBlock(rig->part1, 9, 1), 0);
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 3);
    agent->close(rig->fd);
    EXPECT_EQ(machine.log_count("printStats: state: 10"), 1u);
}

TEST_F(CowTest, UnreadableOldBlockFailsTheBackup)
{
    rig->SnapshotByHand();
    ASSERT_EQ(sim::set_bad_sectors(machine, rig->part1, 7 * 8, 8), 0);
    rig->WriteBlock(rig->part1, 7, 1); // the bad sector refuses the write itself too
    EXPECT_EQ(backupState(rig->b), BACKUP_ERR_READ);
    EXPECT_EQ(machine.log_count("cacheBlock: Block read error blockNum=7 MAJOR=8 MINOR=1"), 1u);
    EXPECT_EQ(machine.log_count("buffer_head I/O error"), 1u);
    ASSERT_EQ(sim::clear_bad_sectors(machine, rig->part1), 0);
    EXPECT_EQ(rig->WriteBlock(rig->part1, 8, 1), 0);
    EXPECT_EQ(rig->StoredBlock(rig->part1, 8), rig->Pattern(8, 1));
}

TEST_F(CowTest, AllocationFailuresOnTheCopyPathCostTheBackupNotTheWrite)
{
    struct Case {
        sim::Fault fault;
        unsigned nth;
        u32 state;
    };
    // The queue item (kmalloc: the second, after the record of the write's completion,
    // which has a reserve), the copy's page, the cache entry; buffer heads and bios are
    // retried until they come.
    const Case cases[] = {
        {sim::Fault::Kmalloc, 2, BACKUP_ERR_QUEUE},
        {sim::Fault::Page, 1, BACKUP_ERR_CACHE},
        {sim::Fault::Slab, 1, BACKUP_ERR_CACHE},
        {sim::Fault::BufferHead, 1, BACKUP_SNAPSHOT},
        {sim::Fault::Bio, 1, BACKUP_SNAPSHOT},
    };
    rig->SnapshotByHand();
    uint32_t blk = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        // The writer's own allocations come first; fail the 1st, 2nd, ... allocation of the
        // kind until one on the module's path fails and the write still succeeds.
        bool hit = false;
        for (unsigned nth = c.nth; nth < 8 && !hit; nth++, blk++) {
            setBackupState(rig->b, BACKUP_SNAPSHOT);
            ASSERT_EQ(setMRF(rig->b, kesMRF), 0); // an error may have unhooked the queue
            unsigned fired = machine.faults().fired(c.fault);
            machine.faults().fail_nth(c.fault, nth);
            int r = rig->WriteBlock(rig->part1, blk, 1);
            machine.faults().disarm();
            if (r != 0)
                continue; // the writer's own allocation failed: nothing was submitted
            hit = machine.faults().fired(c.fault) > fired;
            EXPECT_EQ(rig->StoredBlock(rig->part1, blk), rig->Pattern(blk, 1));
            if (hit) {
                EXPECT_EQ(backupState(rig->b), c.state);
            }
        }
        EXPECT_TRUE(hit);
    }
}

TEST_F(ModuleTest, WorkerThatCannotStartLeavesItsWakeUpsBalanced)
{
    BackupRig rig(machine, *agent);
    machine.faults().fail_nth(sim::Fault::Thread, 1);
    EXPECT_EQ(rig.StartByHand(), -EAGAIN);
    EXPECT_EQ(machine.log_count("startWorkQueue: error starting cache thread"), 1u);
    EXPECT_EQ(kes::signalThread.count.load(), 1);
    rig.Reopen();
    // A later backup starts its worker as usual.
    EXPECT_EQ(rig.StartByHand(), 0);
    agent->close(rig.fd);
    EXPECT_EQ(kes::signalThread.count.load(), 1);
}

} // namespace
} // namespace kestrel_test
