// Backups end to end, driven by the agent while writer threads keep writing.
#include "blockmap/blockmap.h"
#include "tests/scenarios/scenario.h"
#include "tests/support/interleave.h"

namespace kestrel_test {
namespace {

// The image is a point-in-time copy: for every writer there is a moment (a prefix of its
// writes) such that each of its blocks in the image holds what that prefix last wrote.
void ExpectPointInTime(const std::vector<std::vector<Scenario::Write>>& logs, int writers,
                       const std::map<uint32_t, std::vector<uint8_t>>& image, uint32_t fsBlocks,
                       uint32_t (*genOf)(const std::vector<uint8_t>&, uint32_t))
{
    for (int w = 0; w < writers; w++) {
        const auto& log = logs[w];
        size_t lo = 0, hi = log.size(); // the prefix length k lies in [lo, hi]
        for (uint32_t b = 1; b < fsBlocks; b++) {
            if (b % writers != static_cast<uint32_t>(w))
                continue;
            auto it = image.find(b);
            ASSERT_NE(it, image.end()) << "block " << b << " missing";
            uint32_t g = genOf(it->second, b);
            ASSERT_NE(g, ~0u) << "block " << b << " torn";
            // k must lie after the write of (b, g) and no later than the next write of b.
            size_t after = 0, until = log.size();
            bool found = g == 0;
            for (size_t i = 0; i < log.size(); i++) {
                if (log[i].block != b)
                    continue;
                if (log[i].gen == g) {
                    after = i + 1;
                    found = true;
                } else if (log[i].gen > g) {
                    until = i;
                    break;
                }
            }
            ASSERT_TRUE(found) << "block " << b << " gen " << g << " never written";
            lo = std::max(lo, after);
            hi = std::min(hi, until);
        }
        EXPECT_LE(lo, hi) << "writer " << w << ": no moment explains the image";
    }
}

TEST_F(Scenario, FullBackupIsPointInTimeWhileWritersRun)
{
    constexpr int kWriters = 4;
    StartWriters(kWriters);
    agent::BackupResult r = Backup(Request());
    StopWriters();
    ASSERT_TRUE(r.ok()) << r.error << "\n" << machine.dmesg_text();
    EXPECT_FALSE(r.incremental);
    EXPECT_EQ(r.delivered_blocks, kFsBlocks);
    EXPECT_EQ(r.final_state, 6u);
    ASSERT_TRUE(r.key.has_value());
    ExpectPointInTime(writerLogs, kWriters, image, kFsBlocks, &Scenario::GenOf);
    // The last write of every block reached the device.
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);
    for (uint32_t b = 1; b < kFsBlocks; b++) {
        std::vector<uint8_t> now(kBlockSize);
        ASSERT_EQ(sim::read_store(machine, part1, uint64_t(b) * 8, now.data(), 8), 0);
        ASSERT_EQ(now, Pattern(b, gens[b])) << b;
    }
    EXPECT_EQ(machine.log_count("printStats: state: 7"), 1u);
}

TEST_F(Scenario, IncrementalBackupGetsExactlyTheBlocksWrittenSinceTheSnapshot)
{
    agent::BackupResult first = Backup(Request());
    ASSERT_TRUE(first.ok()) << first.error;
    ASSERT_TRUE(first.key);
    // Writes after the first snapshot: some during a raw writer run, some through the fs.
    std::set<uint32_t> written;
    for (uint32_t b : {5u, 6u, 700u, 2047u}) {
        WriteFs(b);
        written.insert(b);
    }
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);

    agent::BackupRequest req = Request();
    req.previous_key = first.key;
    agent::BackupResult second = Backup(req);
    ASSERT_TRUE(second.ok()) << second.error;
    EXPECT_TRUE(second.incremental);
    std::set<uint32_t> got;
    for (auto& [b, data] : image) {
        got.insert(b);
        EXPECT_EQ(data, Pattern(b, gens[b])) << b;
    }
    EXPECT_EQ(got, written);
    EXPECT_NE(*second.key, *first.key);

    // Again, with writers running throughout: nothing written before the backup began may
    // be missing, and nothing may appear that was not written since the second snapshot.
    std::vector<uint32_t> atSecond = gens;
    StartWriters(3, true);
    for (bool enough = false; !enough; std::this_thread::yield()) {
        std::lock_guard<std::mutex> g(logMu);
        enough = writerLogs[0].size() > 20;
    }
    std::set<uint32_t> completed;
    {
        std::lock_guard<std::mutex> g(logMu);
        for (auto& log : writerLogs)
            for (auto& w : log)
                completed.insert(w.block);
    }
    req.previous_key = second.key;
    agent::BackupResult third = Backup(req);
    StopWriters();
    ASSERT_TRUE(third.ok()) << third.error;
    EXPECT_TRUE(third.incremental);
    for (uint32_t b : completed)
        EXPECT_EQ(image.count(b), 1u) << "block " << b << " missing";
    for (auto& [b, data] : image)
        EXPECT_GT(gens[b], atSecond[b]) << "block " << b << " was not written";
}

TEST_F(Scenario, KeyMismatchFlagsAndFailedFreeze)
{
    agent::BackupResult first = Backup(Request());
    ASSERT_TRUE(first.ok());
    // A wrong key: the agent sees it does not match before the snapshot and takes a full
    // backup, which starts tracking afresh instead of presenting a key that must fail.
    agent::BackupRequest req = Request();
    agent::SessionKey wrong{};
    wrong[0] = 1;
    req.previous_key = wrong;
    agent::BackupResult r = Backup(req);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_FALSE(r.incremental);
    EXPECT_EQ(r.delivered_blocks, kFsBlocks);
    EXPECT_NE(r.full_reason.find("session key does not match"), std::string::npos) << r.full_reason;
    EXPECT_EQ(machine.log_count("session key mismatch"), 0u); // the agent never presented it

    // Full even though the key is right.
    req.previous_key = r.key;
    req.full = true;
    r = Backup(req);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.incremental);
    EXPECT_EQ(r.delivered_blocks, kFsBlocks);

    // No tracking afterwards: the automap is closed and the queue given back.
    req.previous_key = r.key;
    req.full = false;
    req.no_tracking = true;
    r = Backup(req);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.incremental);
    EXPECT_EQ(r.full_reason, "change tracking is being switched off for the device");
    EXPECT_FALSE(r.key.has_value());
    EXPECT_EQ(sim::disk_queue(machine, disk)->make_request_fn.load(), sim::disk_request_fn(machine, disk));

    // Nothing mounted: the freeze fails and the snapshot with it.
    agent::BackupRequest raw = Request();
    raw.minor = MINOR(part2);
    r = Backup(raw);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(machine.log_count("ioctlGetBlockSize"), 0u);
}

TEST_F(Scenario, CacheLimitAndReadErrors)
{
    {
        agent::ControlDevice dev(*transport);
        ASSERT_EQ(dev.open(), 0);
        ASSERT_EQ(dev.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 4), 0);
        ASSERT_EQ(dev.snapshot(agent::SessionKey{}), 0);
        for (uint32_t b = 10; b < 16; b++)
            WriteFs(b); // six old blocks to keep, room for four
        kes::BackupStateInfo st{};
        ASSERT_EQ(dev.state(st), 0);
        EXPECT_EQ(st.state, 10u);
        kes::BackupStats stats{};
        ASSERT_EQ(dev.stats(stats), 0);
        EXPECT_EQ(stats.currentCachedBlocks, 4);
        EXPECT_EQ(stats.peakCachedBlocks, 4);
    }
    EXPECT_EQ(machine.log_count("printStats: state: 10"), 1u);
    for (uint32_t b = 10; b < 16; b++) {
        std::vector<uint8_t> now(kBlockSize);
        ASSERT_EQ(sim::fs_read(machine, part1, b, now.data()), 0);
        EXPECT_EQ(now, Pattern(b, 1)); // every write landed
    }

    // The agent reports a backup that failed in the module as failed.
    StartWriters(2);
    agent::BackupRequest small = Request();
    small.max_cache_blocks = 0;
    agent::BackupResult r = Backup(small);
    StopWriters();
    EXPECT_FALSE(r.ok() && r.stats.totalCachedBlocks > 0);

    // A bad sector: its block arrives as zeros, the others are right, the run reports 12;
    // the backup is delivered in full but reported as failed, naming the block.
    ASSERT_EQ(sim::set_bad_sectors(machine, part1, 100 * 8, 1), 0);
    r = Backup(Request());
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.committed);
    EXPECT_EQ(r.unreadable_runs, 1u);
    EXPECT_EQ(r.unreadable, std::vector<uint32_t>{100});
    EXPECT_EQ(r.error, "1 block of device 8:1 could not be read (100); the backup is stored and marked as lacking them");
    EXPECT_EQ(image[100], std::vector<uint8_t>(kBlockSize, 0));
    EXPECT_EQ(image[101], Pattern(101, gens[101]));
    ASSERT_EQ(sim::clear_bad_sectors(machine, part1), 0);
}

// When copy-on-write gives a backup up, the agent's next read is refused; the agent asks
// the module's state and says why, so that the user knows what to change.
TEST_F(Scenario, TheAgentSaysWhyCopyOnWriteGaveTheBackupUp)
{
    struct Case {
        uint32_t cacheLimit;
        bool unreadableOldBlock;
        int state;
        const char* cause;
    };
    const Case cases[] = {
        {0, false, 10, "the copy-on-write cache is full (raise the cache limit)"},
        {100, true, 8, "the disk could not be read"},
    };
    constexpr uint32_t kLate = 1500; // a block the agent reads after the first run
    for (const Case& c : cases) {
        if (c.unreadableOldBlock) {
            ASSERT_EQ(sim::set_bad_sectors(machine, part1, uint64_t(kLate) * 8, 1), 0);
        }
        agent::BackupRequest req = Request();
        req.max_cache_blocks = c.cacheLimit;
        req.run_blocks = 16;
        bool written = false;
        agent::BackupResult r = agent::run_backup(*transport, req, [&](uint32_t, const uint8_t*, uint32_t) {
            if (!written) {
                written = true; // the write itself fails too when its sector is bad
                sim::write_sectors(machine, part1, uint64_t(kLate) * 8, Pattern(kLate, 1).data(), 8);
            }
        });
        EXPECT_EQ(r.status, c.state);
        EXPECT_NE(r.error.find(c.cause), std::string::npos) << r.error;
        ASSERT_EQ(sim::clear_bad_sectors(machine, part1), 0);
    }
}

TEST_F(Scenario, SecondAgentIsRefusedAndCannotDisturbTheFirst)
{
    agent::ControlDevice first(*transport), second(*transport);
    ASSERT_EQ(first.open(), 0);
    ASSERT_EQ(second.open(), 0);
    // Room in the cache for every block: the writers below may outrun the reader by any
    // amount, and a full cache would fail the first backup, which is not what is tested.
    ASSERT_EQ(first.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, kFsBlocks), 0);
    EXPECT_EQ(second.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000), 9);
    EXPECT_EQ(second.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000), 9);
    ASSERT_EQ(first.snapshot(agent::SessionKey{}), 0);
    kes::BackupStateInfo st{};
    ASSERT_EQ(second.state(st), 0);
    EXPECT_EQ(st.state, 12u);
    second.close(); // must not switch the first backup's copy-on-write off
    StartWriters(2);
    ASSERT_EQ(first.load_block_map(agent::BlockBitmap(kFsBlocks, true)), 0);
    ASSERT_EQ(first.map_buffer(256), 0);
    for (uint32_t b = 0; b < kFsBlocks; b += 256) {
        ASSERT_EQ(first.read_blocks(b, 256), 0);
        std::vector<uint8_t> data(kBlockSize);
        for (uint32_t i = 0; i < 256; i++) {
            ASSERT_TRUE(first.buffer_block(i, kBlockSize, data.data()));
            if (b + i > 0) {
                ASSERT_EQ(data, Pattern(b + i, 0)) << b + i;
            }
        }
    }
    StopWriters();
    // While the first runs, a third open still cannot start; after the close one can.
    agent::ControlDevice third(*transport);
    ASSERT_EQ(third.open(), 0);
    EXPECT_EQ(third.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000), 9);
    third.close();
    first.close();
    agent::ControlDevice fourth(*transport);
    ASSERT_EQ(fourth.open(), 0);
    EXPECT_EQ(fourth.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000), 0);
    EXPECT_EQ(fourth.start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000), 11);
    fourth.close();
}

// A raw write held below the module across a snapshot: marked when it was submitted, so
// the backup reads its block, but it reaches the disk only after the agent has read it. The
// next incremental backup must carry it, or the chain differs from the device for good.
TEST_F(Scenario, AWriteInFlightAcrossTheSnapshotIsInTheNextIncremental)
{
    StackedDriver below(machine, disk);
    agent::BackupResult first = Backup(Request());
    ASSERT_TRUE(first.ok()) << first.error;

    constexpr uint32_t kBlock = 300;
    below.HoldWrite(kPart1Start + kBlock * 8);
    std::thread writer([this] {
        EXPECT_EQ(sim::write_sectors(machine, part1, uint64_t(kBlock) * 8, Pattern(kBlock, 1).data(), 8), 0);
    });
    below.WaitHeld();
    agent::BackupRequest req = Request();
    req.previous_key = first.key;
    agent::BackupResult second = Backup(req); // the held write does not keep the snapshot waiting
    below.Release();
    writer.join();
    ASSERT_TRUE(second.ok()) << second.error;
    EXPECT_TRUE(second.incremental);
    ASSERT_EQ(image.count(kBlock), 1u);
    EXPECT_EQ(image[kBlock], Pattern(kBlock, 0)); // read before the write landed

    req.previous_key = second.key;
    agent::BackupResult third = Backup(req);
    ASSERT_TRUE(third.ok()) << third.error;
    EXPECT_TRUE(third.incremental);
    ASSERT_EQ(image.count(kBlock), 1u) << "the write is missing from the chain";
    EXPECT_EQ(image[kBlock], Pattern(kBlock, 1));

    machine.exit_processes();
    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    below.Remove();
}

TEST_F(Scenario, UnloadAfterBackupsGivesEveryQueueBack)
{
    agent::BackupResult r = Backup(Request());
    ASSERT_TRUE(r.ok());
    // The automap keeps tracking between backups.
    EXPECT_NE(sim::disk_queue(machine, disk)->make_request_fn.load(), sim::disk_request_fn(machine, disk));
    WriteFs(9);
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);
    machine.exit_processes();
    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    EXPECT_EQ(machine.queues_report(), "");
    EXPECT_EQ(machine.leak_report().find("pages"), std::string::npos) << machine.leak_report();
}

} // namespace
} // namespace kestrel_test
