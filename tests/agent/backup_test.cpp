// The agent on real file systems: full backups that read only the blocks the file system
// uses, incrementals under concurrent writers that restore exactly, every reason to fall
// back to a full backup, and every way a backup can fail, with what the user is told.
#include <set>

#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/ext_disk.h"
#include "tools/demo/writers.h"

namespace kestrel_test {
namespace {

using agent::Failure;

class AgentBackup : public ExtDiskTest {
protected:
    agent::BackupResult Run(const agent::BackupJob& job, agent::MemorySink& sink,
                            const agent::Progress& progress = {})
    {
        return agent::back_up(*transport, job, sink, progress);
    }
    std::vector<std::vector<uint8_t>> Records(uint32_t dev) { return sim::take_freeze_records(machine, dev); }
    // A block that holds file data, far enough into the file system that the first runs
    // of a backup have not reached it.
    uint64_t LateFileBlock(uint32_t dev, size_t nth = 0)
    {
        std::vector<uint64_t> blocks;
        for (const demo::FileInfo& f : Files(dev))
            for (uint64_t b : f.blocks)
                if (b)
                    blocks.push_back(b);
        std::sort(blocks.begin(), blocks.end());
        return blocks.at(blocks.size() - 1 - nth);
    }
};

TEST_F(AgentBackup, FullBackupsReadOnlyUsedBlocksAndRestoreTheSnapshot)
{
    for (uint32_t dev : {ext4, ext2}) {
        SCOPED_TRACE(dev == ext4 ? "ext4" : "ext2");
        ASSERT_EQ(sim::record_freezes(machine, dev), 0);
        agent::MemorySink sink;
        agent::BackupResult r = Run(Job(dev), sink);
        ASSERT_TRUE(r.ok()) << r.error << "\n" << machine.dmesg_text();
        EXPECT_TRUE(r.committed);
        EXPECT_FALSE(r.incremental);
        EXPECT_EQ(r.full_reason, "there is no previous backup of the device");
        EXPECT_EQ(r.fs_type, dev == ext4 ? "ext4" : "ext2");
        EXPECT_EQ(r.block_size, BlockSize(dev));
        ASSERT_TRUE(r.key.has_value());

        // The used blocks are the file system's own count, and only they were read.
        auto info = sim::mount_info(machine, dev);
        agent::ExtSource fs(StoreReader(dev), BlockSize(dev), info->blocks);
        ASSERT_NE(fs.fs(), nullptr);
        uint64_t fsUsed = ext2fs_blocks_count(fs.fs()->super) - ext2fs_free_blocks_count(fs.fs()->super);
        EXPECT_EQ(r.used_blocks, fsUsed);
        EXPECT_LT(r.used_blocks, r.fs_blocks * 3 / 4);
        EXPECT_EQ(r.wanted_blocks, r.used_blocks);
        EXPECT_EQ(r.delivered_blocks, r.used_blocks);
        EXPECT_GT(r.metadata_blocks, 0u);
        ASSERT_EQ(sink.backups().size(), 1u);
        EXPECT_EQ(sink.backups()[0].facts.used_blocks, r.used_blocks);
        EXPECT_EQ(sink.backups()[0].facts.next_key, r.key);
        EXPECT_GT(sink.backups()[0].facts.time_frozen.count(), 0);
        EXPECT_GE(sink.backups()[0].facts.duration, sink.backups()[0].facts.time_frozen);

        auto records = Records(dev);
        ASSERT_EQ(records.size(), 1u);
        ExpectRestores(sink, 0, records[0], /*fsck=*/true);
    }
}

// The agent hands blocks over in place when the transport can offer the mapped buffer, and
// copies them out otherwise: a transport that cannot must give the same backup.
TEST_F(AgentBackup, ATransportWithoutInPlaceReadsGivesTheSameBackup)
{
    struct NoViews : agent::SimTransport {
        using SimTransport::SimTransport;
        const uint8_t* view(uint32_t, size_t) override { return nullptr; }
    };
    for (uint32_t dev : {ext4, ext2}) {
        SCOPED_TRACE(dev == ext4 ? "ext4" : "ext2");
        ASSERT_EQ(sim::record_freezes(machine, dev), 0);
        agent::MemorySink inPlace, copied;
        agent::BackupResult r = Run(Job(dev), inPlace);
        ASSERT_TRUE(r.ok()) << r.error;
        NoViews t(*agent);
        r = agent::back_up(t, Job(dev), copied);
        ASSERT_TRUE(r.ok()) << r.error;
        auto records = Records(dev);
        ASSERT_EQ(records.size(), 2u);
        ExpectRestores(inPlace, 0, records[0], /*fsck=*/false);
        ExpectRestores(copied, 0, records[1], /*fsck=*/false);
        EXPECT_EQ(inPlace.image(0), copied.image(0));
    }
}

TEST_F(AgentBackup, IncrementalsUnderWritersRestoreExactly)
{
    demo::FileWriters w4(machine, ext4, 4096, Files(ext4), 1);
    demo::FileWriters w2(machine, ext2, 1024, Files(ext2), 100);
    ASSERT_FALSE(w4.targets().empty());
    ASSERT_FALSE(w2.targets().empty());
    agent::MemorySink s4, s2;
    ASSERT_EQ(sim::record_freezes(machine, ext4), 0);
    ASSERT_EQ(sim::record_freezes(machine, ext2), 0);
    w4.start(2);
    w2.start(1);
    for (int round = 0; round < 3; round++) {
        for (auto [dev, sink] : {std::pair{ext4, &s4}, std::pair{ext2, &s2}}) {
            uint64_t before = (dev == ext4 ? w4 : w2).writes();
            agent::BackupResult r = Run(Job(dev, sink), *sink);
            ASSERT_TRUE(r.ok()) << r.error << "\n" << machine.dmesg_text();
            EXPECT_EQ(r.incremental, round > 0) << r.full_reason;
            if (round > 0) {
                EXPECT_LT(r.wanted_blocks, r.used_blocks);
                EXPECT_EQ(sink->backups().back().plan.full_reason, "");
            }
            // Let the writers change files before the next backup.
            while ((dev == ext4 ? w4 : w2).writes() < before + 40 && !(dev == ext4 ? w4 : w2).error())
                std::this_thread::yield();
        }
    }
    w4.stop();
    w2.stop();
    EXPECT_EQ(w4.error(), 0);
    EXPECT_EQ(w2.error(), 0);
    EXPECT_GT(w4.writes(), 0u);
    for (auto [dev, sink] : {std::pair{ext4, &s4}, std::pair{ext2, &s2}}) {
        auto records = Records(dev);
        ASSERT_EQ(records.size(), 3u);
        ASSERT_EQ(sink->backups().size(), 3u);
        for (size_t i = 0; i < 3; i++)
            ExpectRestores(*sink, i, records[i], /*fsck=*/i == 2);
    }
}

TEST_F(AgentBackup, EachLossOfTrackingFallsBackToAFullBackupAndSaysWhy)
{
    ASSERT_EQ(sim::record_freezes(machine, ext2), 0);
    agent::MemorySink sink;
    auto expectFull = [&](const std::string& reason) {
        agent::BackupResult r = Run(Job(ext2, &sink), sink);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_FALSE(r.incremental);
        EXPECT_NE(r.full_reason.find(reason), std::string::npos) << r.full_reason;
        EXPECT_EQ(sink.backups().back().plan.full_reason, r.full_reason);
        EXPECT_EQ(r.wanted_blocks, r.used_blocks); // still only the used blocks
    };
    expectFull("there is no previous backup");

    // Asked for.
    agent::BackupJob full = Job(ext2, &sink);
    full.full = true;
    agent::BackupResult r = Run(full, sink);
    EXPECT_EQ(r.full_reason, "a full backup was asked for");

    // Another party took a backup of the device and renewed its key.
    agent::MemorySink other;
    ASSERT_TRUE(Run(Job(ext2), other).ok());
    expectFull("the session key does not match");

    // Resized since the previous backup.
    {
        agent::BackupJob j = Job(ext2, &sink);
        j.previous->geometry.blocks += 8;
        r = Run(j, sink);
        EXPECT_FALSE(r.incremental);
        EXPECT_NE(r.full_reason.find("the device was resized (8200 blocks of 1024 bytes, now 8192 of 1024)"),
                  std::string::npos)
            << r.full_reason;
    }

    // Tracking stopped: a backup that failed in the module stops the device's automap.
    {
        agent::MemorySink failed;
        agent::BackupJob j = Job(ext2);
        j.max_cache_blocks = 1;
        uint64_t late = LateFileBlock(ext2);
        std::vector<uint8_t> data(1024, 7);
        bool wrote = false;
        agent::BackupResult f = Run(j, failed, [&](uint32_t, uint32_t) {
            if (wrote)
                return;
            wrote = true;
            for (int k = 0; k < 3; k++)
                ASSERT_EQ(sim::fs_write(machine, ext2, late - uint64_t(k), data.data(), 1, true), 0);
        });
        EXPECT_EQ(f.failure, Failure::CacheFull) << f.error;
        expectFull("change tracking of the device was stopped");
    }

    // The module was reloaded (as after a reboot): no tracking at all.
    machine.exit_processes();
    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    ASSERT_EQ(machine.insmod(THIS_MODULE), 0);
    agent = &machine.spawn("agent");
    transport = std::make_unique<agent::SimTransport>(*agent);
    expectFull("the module has no change tracking for the device");

    // And with tracking back, the next one is incremental again.
    r = Run(Job(ext2, &sink), sink);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.incremental);
    auto records = Records(ext2);
    ASSERT_EQ(records.size(), sink.backups().size() + 2); // the other party's and the failed one
    ExpectRestores(sink, sink.backups().size() - 1, records.back());
}

TEST_F(AgentBackup, FailuresEndWithOneLineAndNothingCommitted)
{
    agent::MemorySink sink;
    // Refused start: another backup holds the module.
    {
        agent::ControlDevice holder(*transport);
        ASSERT_EQ(holder.open(), 0);
        ASSERT_EQ(holder.start_backup(MAJOR(ext2), MINOR(ext2), 8192, 100), 0);
        agent::BackupResult r = Run(Job(ext4), sink);
        EXPECT_EQ(r.failure, Failure::Refused);
        EXPECT_EQ(r.error, "the module refused to start a backup of device 8:1: another backup is running");
    }
    // Nothing mounted: the module will not back the device up.
    ASSERT_EQ(sim::unmount_fs(machine, ext2), 0);
    agent::BackupResult r = Run(Job(ext2), sink);
    EXPECT_EQ(r.failure, Failure::Refused);
    EXPECT_EQ(r.error, "cannot read the geometry of device 8:2: no file system is mounted on the device");
    ASSERT_EQ(sim::mount_fs(machine, ext2), 0);

    // The file system goes away between the start and the snapshot: the freeze fails.
    struct UnmountBeforeSnapshot : agent::SimTransport {
        UnmountBeforeSnapshot(sim::Process& p, sim::Machine& m, uint32_t dev) : SimTransport(p), m(m), dev(dev) {}
        int ioctl(int fd, uint32_t cmd, uint32_t arg) override
        {
            if (cmd == kes::KES_SNAPSHOT) {
                EXPECT_EQ(sim::unmount_fs(m, dev), 0);
            }
            return SimTransport::ioctl(fd, cmd, arg);
        }
        sim::Machine& m;
        uint32_t dev;
    } unmounting(*agent, machine, ext2);
    r = agent::back_up(unmounting, Job(ext2), sink);
    EXPECT_EQ(r.failure, Failure::Freeze);
    EXPECT_EQ(r.error, "the file system on device 8:2 could not be frozen for the snapshot");
    ASSERT_EQ(sim::mount_fs(machine, ext2), 0);

    // The copy-on-write cache fills up while files are written.
    agent::BackupJob small = Job(ext4);
    small.max_cache_blocks = 2;
    std::vector<uint8_t> data(4096, 1);
    bool wrote = false;
    r = Run(small, sink, [&](uint32_t, uint32_t) {
        if (wrote)
            return;
        wrote = true;
        for (int k = 0; k < 3; k++)
            ASSERT_EQ(sim::fs_write(machine, ext4, LateFileBlock(ext4, size_t(k)), data.data(), 1, true), 0);
    });
    EXPECT_EQ(r.failure, Failure::CacheFull);
    EXPECT_EQ(r.error, "the copy-on-write cache is full (raise the cache limit): its 2 blocks filled up while the "
                       "device was being written; run the backup again with a larger --cache");
    EXPECT_FALSE(r.committed);

    // A write that cannot be held back for copy-on-write: the snapshot is lost.
    wrote = false;
    r = Run(Job(ext4), sink, [&](uint32_t, uint32_t) {
        if (wrote)
            return;
        wrote = true;
        // The write's first allocation is the record that marks it again when it completes
        // (a reserve stands in for it); the second holds the write back.
        machine.faults().fail_nth(sim::Fault::Kmalloc, 2);
        // A raw write: the file system's own write-back is spared injected faults.
        EXPECT_EQ(sim::write_sectors(machine, ext4, LateFileBlock(ext4) * 8, data.data(), 8), 0);
        machine.faults().disarm();
    });
    EXPECT_EQ(machine.faults().fired(sim::Fault::Kmalloc), 1u);
    EXPECT_EQ(r.failure, Failure::WriteQueue) << r.error << machine.dmesg_text();
    EXPECT_EQ(r.error, "a write could not be held back for copy-on-write (the worker queue was lost); the snapshot "
                       "was lost");

    // A sink that fails: the backup is abandoned and the sink told.
    struct Refusing : agent::MemorySink {
        std::string put(uint32_t block, std::span<const uint8_t> d) override
        {
            return block > 100 ? "disk full" : MemorySink::put(block, d);
        }
    } refusing;
    r = Run(Job(ext2), refusing);
    EXPECT_EQ(r.failure, Failure::Sink);
    EXPECT_EQ(r.error, "disk full");
    EXPECT_TRUE(refusing.backups().empty());
    EXPECT_EQ(refusing.aborts(), std::vector<std::string>{"disk full"});
    EXPECT_FALSE(refusing.open());

    EXPECT_TRUE(sink.backups().empty());
    EXPECT_EQ(sink.aborts().size(), 2u); // begun and abandoned: the cache and the queue
    EXPECT_FALSE(sink.open());
}

TEST_F(AgentBackup, UnreadableBlocksAreListedMarkedAndReadAgainByTheNextBackup)
{
    ASSERT_EQ(sim::record_freezes(machine, ext4), 0);
    agent::MemorySink sink;
    const uint64_t bad = LateFileBlock(ext4, 3);
    ASSERT_EQ(sim::set_bad_sectors(machine, ext4, bad * 8 + 2, 1), 0);
    agent::BackupResult r = Run(Job(ext4), sink);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.failure, Failure::Unreadable);
    EXPECT_TRUE(r.committed);
    EXPECT_EQ(r.unreadable, std::vector<uint32_t>{uint32_t(bad)});
    EXPECT_EQ(r.error, "1 block of device 8:1 could not be read (" + std::to_string(bad) +
                           "); the backup is stored and marked as lacking them");
    ASSERT_EQ(sink.backups().size(), 1u);
    EXPECT_EQ(sink.backups()[0].facts.unreadable, r.unreadable);
    EXPECT_EQ(sink.backups()[0].blocks.at(uint32_t(bad)), std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(sink.backups()[0].blocks.at(uint32_t(bad - 1)).size(), 4096u); // its neighbours are real

    // Once the disk reads again, the incremental takes the block although it never changed.
    ASSERT_EQ(sim::clear_bad_sectors(machine, ext4), 0);
    r = Run(Job(ext4, &sink), sink);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.incremental);
    EXPECT_TRUE(sink.backups()[1].plan.changed.test(uint32_t(bad)));
    auto records = Records(ext4);
    ASSERT_EQ(records.size(), 2u);
    ExpectRestores(sink, 1, records[1]);

    // An error that passes: the run fails once, the block reads back alone. Its data is the
    // real one, and it is still listed, since the first read could not vouch for it.
    struct FailOnce : agent::SimTransport {
        FailOnce(sim::Process& p, sim::Machine& m, uint32_t dev, uint64_t block)
            : SimTransport(p), p(p), m(m), dev(dev), block(block)
        {
        }
        int ioctl(int fd, uint32_t cmd, uint32_t arg) override
        {
            kes::ReadBlocksArgs a{};
            if (cmd != kes::KES_READ_BLOCKS || done || !p.peek(arg, &a, sizeof a) || a.count < 2 ||
                block < a.firstBlock || block >= uint64_t(a.firstBlock) + a.count)
                return SimTransport::ioctl(fd, cmd, arg);
            done = true;
            EXPECT_EQ(sim::set_bad_sectors(m, dev, block * 8, 1), 0);
            int s = SimTransport::ioctl(fd, cmd, arg);
            EXPECT_EQ(sim::clear_bad_sectors(m, dev), 0);
            return s;
        }
        sim::Process& p;
        sim::Machine& m;
        uint32_t dev;
        uint64_t block;
        bool done = false;
    } failOnce(*agent, machine, ext4, bad);
    agent::MemorySink fresh;
    r = agent::back_up(failOnce, Job(ext4), fresh);
    EXPECT_TRUE(failOnce.done);
    EXPECT_EQ(r.unreadable, std::vector<uint32_t>{uint32_t(bad)});
    records = Records(ext4);
    ASSERT_EQ(records.size(), 1u);
    ExpectRestores(fresh, 0, records[0]);
}

// Reads that span gaps of unwanted blocks to join runs: only the wanted blocks reach the
// sink and incrementals under writers, which change blocks in the gaps, restore exactly;
// a block in a gap that cannot be read costs nothing.
TEST_F(AgentBackup, ReadsAcrossGapsStoreOnlyWantedBlocksAndRestoreExactly)
{
    // Records the span of every read-blocks command.
    struct Spans : agent::SimTransport {
        Spans(sim::Process& p) : SimTransport(p), p(p) {}
        int ioctl(int fd, uint32_t cmd, uint32_t arg) override
        {
            kes::ReadBlocksArgs a{};
            if (cmd == kes::KES_READ_BLOCKS && p.peek(arg, &a, sizeof a))
                reads.emplace_back(a.firstBlock, a.count);
            return SimTransport::ioctl(fd, cmd, arg);
        }
        sim::Process& p;
        std::vector<std::pair<uint32_t, uint32_t>> reads;
    };
    auto expectOnlyWanted = [](const agent::MemorySink::Backup& b) {
        EXPECT_EQ(b.blocks.size(), b.plan.changed.count());
        for (const auto& [block, data] : b.blocks)
            EXPECT_TRUE(b.plan.changed.test(block)) << "block " << block << " was not wanted";
    };

    demo::FileWriters w(machine, ext2, 1024, Files(ext2), 7);
    ASSERT_FALSE(w.targets().empty());
    ASSERT_EQ(sim::record_freezes(machine, ext2), 0);
    agent::MemorySink sink;
    w.start(2);
    size_t spanning = 0;
    for (int round = 0; round < 3; round++) {
        Spans t(*agent);
        agent::BackupJob job = Job(ext2, &sink);
        job.max_gap = 64;
        uint64_t before = w.writes();
        agent::BackupResult r = agent::back_up(t, job, sink);
        ASSERT_TRUE(r.ok()) << r.error << "\n" << machine.dmesg_text();
        EXPECT_EQ(r.incremental, round > 0);
        EXPECT_EQ(r.delivered_blocks, r.wanted_blocks);
        expectOnlyWanted(sink.backups().back());
        const agent::BlockBitmap& wanted = sink.backups().back().plan.changed;
        for (auto [first, count] : t.reads) {
            uint32_t unwanted = 0;
            for (uint32_t b = first; b < first + count; b++)
                unwanted += !wanted.test(b);
            spanning += unwanted > 0;
        }
        while (w.writes() < before + 40 && !w.error())
            std::this_thread::yield();
    }
    w.stop();
    EXPECT_EQ(w.error(), 0);
    EXPECT_GT(spanning, 0u) << "no read spanned a gap";
    auto records = Records(ext2);
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        ExpectRestores(sink, i, records[i], /*fsck=*/i == 2);

    // Two changed file blocks three apart, the blocks between them unchanged and one of
    // them unreadable: the joined read fails for it, and the backup neither lists nor
    // stores it.
    agent::MemorySink ext4Sink;
    ASSERT_TRUE(Run(Job(ext4), ext4Sink).ok());
    const uint64_t b2 = LateFileBlock(ext4, 0), b1 = LateFileBlock(ext4, 3);
    ASSERT_EQ(b2, b1 + 3);
    std::vector<char> fresh(4096, 'N');
    for (uint64_t b : {b1, b2})
        ASSERT_EQ(sim::write_sectors(machine, ext4, b * 8, fresh.data(), 8), 0);
    ASSERT_EQ(sim::set_bad_sectors(machine, ext4, (b1 + 1) * 8, 1), 0);
    Spans t(*agent);
    agent::BackupJob job = Job(ext4, &ext4Sink);
    job.max_gap = 2;
    agent::BackupResult r = agent::back_up(t, job, ext4Sink);
    ASSERT_EQ(sim::clear_bad_sectors(machine, ext4), 0);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.incremental);
    EXPECT_TRUE(r.unreadable.empty());
    // One read joined the two (and failed for the gap's block); each wanted block was then
    // read again alone, the unreadable one never.
    auto at = std::find(t.reads.begin(), t.reads.end(), std::pair{uint32_t(b1), 4u});
    ASSERT_NE(at, t.reads.end());
    EXPECT_EQ(std::vector(at + 1, t.reads.end()), (std::vector<std::pair<uint32_t, uint32_t>>{
                                                       {uint32_t(b1), 1u}, {uint32_t(b2), 1u}}));
    const agent::MemorySink::Backup& incr = ext4Sink.backups().back();
    expectOnlyWanted(incr);
    ASSERT_EQ(incr.blocks.size(), 2u);
    for (uint64_t b : {b1, b2})
        EXPECT_EQ(incr.blocks.at(uint32_t(b)), std::vector<uint8_t>(fresh.begin(), fresh.end()));
}

} // namespace
} // namespace kestrel_test
