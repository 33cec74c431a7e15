// The backup commands one by one, as an agent issues them: start, snapshot and its automap
// outcomes, the automap queries, load block map, state, and close.
#include "automap/automap.h"
#include "intercept/intercept.h"
#include "snapshot/snapshot.h"
#include "tests/support/interleave.h"
#include "tests/scenarios/scenario.h"

namespace kestrel_test {
namespace {

using namespace kes;

class CommandFlow : public Scenario {
protected:
    void SetUp() override
    {
        Scenario::SetUp();
        dev = std::make_unique<agent::ControlDevice>(*transport);
        ASSERT_EQ(dev->open(), 0);
    }
    void TearDown() override
    {
        dev.reset();
        Scenario::TearDown();
    }
    int Start() { return dev->start_backup(MAJOR(part1), MINOR(part1), kFsBlocks, 1000); }
    kes::AutoMapStateInfo AmState()
    {
        kes::AutoMapStateInfo s{};
        EXPECT_EQ(dev->automap_state(s), 0);
        return s;
    }
    uint32_t State()
    {
        kes::BackupStateInfo s{};
        EXPECT_EQ(dev->state(s), 0);
        return s.state;
    }
    agent::SessionKey KeyOf(const kes::AutoMapStateInfo& s)
    {
        agent::SessionKey k;
        memcpy(k.data(), s.sessionKey, k.size());
        return k;
    }
    // Closes and reopens the control device: the end of one backup, a fresh open.
    void Reopen()
    {
        dev->close();
        ASSERT_EQ(dev->open(), 0);
    }

    std::unique_ptr<agent::ControlDevice> dev;
};

TEST_F(CommandFlow, GeometryAndStart)
{
    kes::BlockSizeInfo info{};
    ASSERT_EQ(dev->block_size(MAJOR(part1), MINOR(part1), info), 0);
    EXPECT_EQ(info.blockSize, kBlockSize);
    EXPECT_EQ(info.partSizeKB, kFsBlocks * 4);
    EXPECT_EQ(dev->block_size(MAJOR(part2), MINOR(part2), info), KES_NO_DEVICE); // nothing mounted
    EXPECT_EQ(machine.log_count("getDiskInfo: device major=8 minor=2 not found, getting super block failed"), 1u);
    EXPECT_EQ(dev->start_backup(300, 1, 10, 10), KES_INVALID); // no automap slot
    EXPECT_EQ(State(), 0u);
    EXPECT_EQ(dev->start_backup(MAJOR(part2), MINOR(part2), 10, 10), KES_NO_DEVICE);
    EXPECT_EQ(State(), 0u);
    ASSERT_EQ(Start(), 0); // a retry after a failed start works
    EXPECT_EQ(State(), 2u);
    EXPECT_EQ(Start(), KES_STARTED);
    EXPECT_EQ(State(), 2u);
    kes::BackupStats st{};
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_EQ(st.blockSize, 4096);
    EXPECT_EQ(st.maxBufferPages, 256);
    EXPECT_EQ(st.startSect, kPart1Start);
    bool found = false;
    for (const sim::SlabInfo& s : machine.slabinfo())
        found = found || s.name == "kesCP0801";
    EXPECT_TRUE(found);
    // Loading a map before the snapshot is refused.
    EXPECT_EQ(dev->load_block_map(agent::BlockBitmap(kFsBlocks, true)), KES_INVALID);
    EXPECT_EQ(machine.log_count("ioctlLoadBlockMap: backup error snapshot not complete"), 1u);
}

// The kernel rewrites a partition's entry under the disk's bd_sem (a re-read empties it
// first): a start that comes meanwhile waits and records the entry the table settles on,
// and one that finds the entry empty is refused as a device that is not there.
TEST_F(CommandFlow, StartReadsThePartitionEntryUnderTheDisksBdSem)
{
    struct block_device* p1 = bdget(part1);
    ASSERT_NE(p1, nullptr);
    struct block_device* whole = p1->bd_contains;
    const struct hd_struct saved = *p1->bd_part;
    auto emptyEntry = [&] {
        down(&whole->bd_sem);
        p1->bd_part->start_sect = 0;
        p1->bd_part->nr_sects = 0;
    };

    emptyEntry();
    std::atomic<int> result{-1};
    std::thread starter([&] { result = Start(); });
    while (result == -1 && !machine.lock_contended(&whole->bd_sem))
        std::this_thread::yield();
    *p1->bd_part = saved;
    up(&whole->bd_sem);
    starter.join();
    ASSERT_EQ(result, 0);
    kes::BackupStats st{};
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_EQ(st.startSect, kPart1Start);
    EXPECT_EQ(st.partSizeKB, saved.nr_sects / 2);

    Reopen();
    emptyEntry();
    up(&whole->bd_sem);
    EXPECT_EQ(Start(), KES_NO_DEVICE);
    EXPECT_EQ(machine.log_count("getDiskInfo: device major=8 minor=1 not found, partition has no sectors"), 1u);
    kes::BlockSizeInfo info{};
    EXPECT_EQ(dev->block_size(MAJOR(part1), MINOR(part1), info), KES_NO_DEVICE);
    down(&whole->bd_sem);
    *p1->bd_part = saved;
    up(&whole->bd_sem);
    EXPECT_EQ(Start(), 0);
    bdput(p1);
}

// While its partition is mounted the kernel refuses to re-read the disk's table: a start
// that races re-reads records the partition as it is.
TEST_F(CommandFlow, RereadsRacingAStartAreRefusedWhileThePartitionIsMounted)
{
    std::atomic<bool> started{false};
    std::thread rereader([&] {
        do
            EXPECT_EQ(sim::reread_partitions(machine, disk), -EBUSY);
        while (!started);
    });
    EXPECT_EQ(Start(), 0);
    started = true;
    rereader.join();
    kes::BackupStats st{};
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_EQ(st.startSect, kPart1Start);
}

TEST_F(CommandFlow, AFailedStartLeavesTheDevicesTrackingAlone)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    Reopen();
    ASSERT_EQ(sim::unmount_fs(machine, part1), 0);
    EXPECT_EQ(Start(), KES_NO_DEVICE);
    Reopen();
    ASSERT_EQ(sim::mount_fs(machine, part1), 0);
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(AmState().tracking, 1u);
}

TEST_F(CommandFlow, SnapshotStartsAnAutomapAndTheKeyChainsBackups)
{
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(AmState().tracking, 0u); // none yet: all zero
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    EXPECT_EQ(State(), 4u);
    kes::AutoMapStateInfo s = AmState();
    EXPECT_EQ(s.tracking, 1u);
    EXPECT_EQ(s.numBlocks, kFsBlocks);
    EXPECT_EQ(s.bytesInMap, kFsBlocks / 8);
    agent::BlockBitmap map;
    EXPECT_EQ(dev->get_automap(kFsBlocks, map), KES_INVALID); // a new automap: no changed blocks
    EXPECT_EQ(machine.log_count("backup error automap is NULL"), 1u);
    EXPECT_EQ(dev->snapshot(agent::SessionKey{}), KES_INVALID); // once per start
    agent::SessionKey key = KeyOf(s);
    Reopen();

    WriteFs(77);
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);
    ASSERT_EQ(Start(), 0);
    // A wrong key: no snapshot, nothing changes.
    agent::SessionKey wrong = key;
    wrong[55] ^= 1;
    ASSERT_EQ(dev->snapshot(wrong), 0);
    EXPECT_EQ(State(), 2u);
    EXPECT_EQ(KeyOf(AmState()), key);
    ASSERT_EQ(dev->snapshot(key), 0);
    EXPECT_EQ(State(), 4u);
    EXPECT_NE(KeyOf(AmState()), key);
    EXPECT_EQ(dev->get_automap(kFsBlocks - 1, map), KES_INVALID);
    EXPECT_EQ(machine.log_count("map size mismatch kernel map size=2048 user map size=2047"), 1u);
    ASSERT_EQ(dev->get_automap(kFsBlocks, map), 0);
    EXPECT_EQ(map.count(), 1u);
    EXPECT_TRUE(map.test(77));
    EXPECT_EQ(dev->get_automap(kFsBlocks, map), KES_INVALID); // handed out once
    // A time to freeze was measured.
    kes::BackupStats st{};
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_GE(st.timeFrozenSec * 1000000000LL + st.timeFrozenNsec, st.timeToFreezeSec * 1000000000LL + st.timeToFreezeNsec);
}

TEST_F(CommandFlow, FlagsDecideTheAutomapsFate)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    agent::SessionKey key = KeyOf(AmState());
    Reopen();

    // No load: the automap is replaced by a new one even though the key matches.
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->no_load_from_automap(), 0);
    ASSERT_EQ(dev->no_load_from_automap(), 0);
    ASSERT_EQ(dev->snapshot(key), 0);
    EXPECT_EQ(AmState().tracking, 1u);
    agent::BlockBitmap map;
    EXPECT_EQ(dev->get_automap(kFsBlocks, map), KES_INVALID);
    key = KeyOf(AmState());
    Reopen();

    // No start: the automap is closed, the queue given back.
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->no_start_automap(), 0);
    ASSERT_EQ(dev->snapshot(key), 0);
    EXPECT_EQ(State(), 4u);
    EXPECT_EQ(AmState().tracking, 0u);
    EXPECT_EQ(AmState().numBlocks, 0u);
    Reopen();
    EXPECT_EQ(sim::disk_queue(machine, disk)->make_request_fn.load(), sim::disk_request_fn(machine, disk));
}

// A backup that keeps no automap of its own, on a disk whose other partition is tracked:
// its close must leave the queue tracking, or that partition's next backup is silently full.
TEST_F(CommandFlow, ABackupWithoutAutomapLeavesTheOtherPartitionTracking)
{
    constexpr uint32_t kPart2Blocks = 512;
    auto sb = sim::make_ext2_super_block(kBlockSize, kPart2Blocks);
    ASSERT_EQ(sim::write_store(machine, part2, 2, sb.data(), 2), 0);
    ASSERT_EQ(sim::mount_fs(machine, part2), 0);
    dev->close();
    agent::BackupRequest other = Request();
    other.minor = MINOR(part2);
    agent::BackupResult r = Backup(other);
    ASSERT_TRUE(r.ok()) << r.error;

    agent::BackupRequest untracked = Request();
    untracked.no_tracking = true;
    ASSERT_TRUE(Backup(untracked).ok());
    EXPECT_EQ(machine.log_count("automap not in sync"), 0u);

    ASSERT_EQ(sim::write_sectors(machine, part2, 8 * 8, Pattern(8, 1).data(), 8), 0);
    other.previous_key = r.key;
    r = Backup(other);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.incremental);
    EXPECT_EQ(r.wanted_blocks, 1u);
    ASSERT_EQ(sim::unmount_fs(machine, part2), 0);
    ASSERT_EQ(dev->open(), 0);
}

// On a partition larger than its file system, blocks past the file system's size can never
// be read by the agent: copy-on-write keeps nothing for them, however often they change.
TEST_F(CommandFlow, BlocksPastTheFileSystemAreNeverCopied)
{
    constexpr uint32_t kFs = kFsBlocks - 8;
    ASSERT_EQ(dev->start_backup(MAJOR(part1), MINOR(part1), kFs, 4), 0);
    ASSERT_EQ(dev->no_start_automap(), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    for (uint32_t gen = 1; gen <= 3; gen++)
        for (uint32_t b = kFs; b < kFsBlocks; b++)
            ASSERT_EQ(sim::write_sectors(machine, part1, uint64_t(b) * 8, Pattern(b, gen).data(), 8), 0);
    EXPECT_EQ(State(), 4u);
    kes::BackupStats st{};
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_EQ(st.totalCachedBlocks, 0);
    // Blocks inside the file system are still copied.
    ASSERT_EQ(sim::write_sectors(machine, part1, uint64_t(kFs - 1) * 8, Pattern(kFs - 1, 1).data(), 8), 0);
    ASSERT_EQ(dev->stats(st), 0);
    EXPECT_EQ(st.totalCachedBlocks, 1);
}

TEST_F(CommandFlow, StateAndAutomapRecordsAreCutToTheCallersLength)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    uint32_t buf = agent->alloc(256);
    std::vector<uint8_t> ff(256, 0xFF);
    int fd = dev->fd();
    auto reply = [&](uint32_t cmd, uint32_t len, int* status) {
        agent->poke(buf, ff.data(), ff.size());
        uint32_t rec = agent->alloc(8);
        uint32_t words[2] = {buf, len};
        agent->poke(rec, words, 8);
        *status = agent->ioctl(fd, cmd, rec);
        std::vector<uint8_t> out(256);
        agent->peek(buf, out.data(), out.size());
        return out;
    };
    int status;
    auto st = reply(KES_GET_STATE, 12, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(st[8], 4);     // state
    EXPECT_EQ(st[12], 0xFF); // not written
    st = reply(KES_GET_AUTOMAP_STATE, 20, &status);
    EXPECT_EQ(st[8], 1);     // tracking
    EXPECT_EQ(st[20], 0xFF); // no key bytes
    st = reply(KES_GET_AUTOMAP_STATE, 1000, &status);
    EXPECT_EQ(st[76], 0xFF);
    st = reply(KES_GET_STATE, 0, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(st[0], 0xFF);
    uint32_t ro = agent->alloc(4096, true, false);
    uint32_t rec = agent->alloc(8);
    uint32_t words[2] = {ro, 20};
    agent->poke(rec, words, 8);
    EXPECT_EQ(agent->ioctl(fd, KES_GET_STATE, rec), KES_COPY_TO_USER);
    EXPECT_EQ(machine.log_count("ioctlGetState: copy to user space failed"), 1u);
}

TEST_F(CommandFlow, AutomapStoppedDuringTheSnapshotIsNotHandedOut)
{
    // Backups of the first kFsBlocks - 8 blocks: the automap is that size.
    const uint32_t blocks = kFsBlocks - 8;
    ASSERT_EQ(dev->start_backup(MAJOR(part1), MINOR(part1), blocks, 1000), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    agent::SessionKey key = KeyOf(AmState());
    Reopen();
    WriteFs(3);
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);
    // A dirty block beyond the automap: the freeze writes it back, which stops the automap
    // after the snapshot chose to keep it.
    std::vector<uint8_t> beyond = Pattern(kFsBlocks - 2, 1);
    ASSERT_EQ(sim::fs_write(machine, part1, kFsBlocks - 2, beyond.data()), 0);
    ASSERT_EQ(dev->start_backup(MAJOR(part1), MINOR(part1), blocks, 1000), 0);
    ASSERT_EQ(dev->snapshot(key), 0);
    EXPECT_EQ(State(), 4u);
    EXPECT_EQ(machine.log_count("updateAM: device resize detected (block 2046 in size 2040)"), 1u);
    EXPECT_EQ(machine.log_count("ioctlSnapShot: automap of device major=8 minor=1 stopped during the snapshot"), 1u);
    // Its bits lack the write: the agent gets no changed-block map and backs up everything.
    agent::BlockBitmap map;
    EXPECT_EQ(dev->get_automap(blocks, map), KES_INVALID);
    EXPECT_EQ(AmState().tracking, 1u); // tracking starts afresh from this snapshot
    Reopen();
    WriteFs(5);
    ASSERT_EQ(sim::fs_sync(machine, part1), 0);
    ASSERT_EQ(dev->start_backup(MAJOR(part1), MINOR(part1), blocks, 1000), 0);
    ASSERT_EQ(dev->snapshot(KeyOf(AmState())), 0);
    ASSERT_EQ(dev->get_automap(blocks, map), 0);
    EXPECT_EQ(map.count(), 1u);
    EXPECT_TRUE(map.test(5));
}

TEST_F(CommandFlow, ShutdownDuringABackupKeepsItsSnapshotIntact)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    // The shutdown command, from another open file.
    agent::ControlDevice other(*transport);
    ASSERT_EQ(other.open(), 0);
    ASSERT_EQ(agent->ioctl(other.fd(), KES_SHUTDOWN, 0), 0);
    EXPECT_EQ(AmState().numBlocks, 0u); // the automap is gone
    // Copy-on-write still protects the snapshot.
    for (uint32_t b = 1; b < 40; b++)
        WriteFs(b);
    ASSERT_EQ(dev->load_block_map(agent::BlockBitmap(kFsBlocks, true)), 0);
    ASSERT_EQ(dev->map_buffer(64), 0);
    ASSERT_EQ(dev->read_blocks(0, 64), 0);
    std::vector<uint8_t> data(kBlockSize);
    for (uint32_t i = 1; i < 64; i++) {
        ASSERT_TRUE(dev->buffer_block(i, kBlockSize, data.data()));
        EXPECT_EQ(data, Pattern(i, 0)) << i;
    }
}

// A raw write to the other partition, queued at a disk that has stopped, took the disk's
// own function before the snapshot hooked the queue: the snapshot must not switch before it
// has landed. The shutdown command ends the wait at once; a disk that never ends the write
// makes the snapshot fail after its time; once the disk goes on, the snapshot succeeds.
TEST_F(CommandFlow, TheSnapshotWaitsBoundedForRequestsThatTookTheDisksOwnFunction)
{
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(sim::pause_driver(machine, disk, true), 0);
    std::vector<uint8_t> data(4096, 0x6b);
    std::thread raw([&] { EXPECT_EQ(sim::write_sectors(machine, part2, 0, data.data(), 8), 0); });
    WaitUntil([&] { return sim::disk_stats(machine, disk).queued == 1; });

    std::atomic<int> result{-1};
    std::thread snapshot([&] { result = dev->snapshot(agent::SessionKey{}); });
    WaitUntil([&] { return atomic_read(&kes::queuesDraining) != 0; });
    agent::ControlDevice other(*transport);
    ASSERT_EQ(other.open(), 0);
    ASSERT_EQ(agent->ioctl(other.fd(), KES_SHUTDOWN, 0), 0);
    snapshot.join();
    EXPECT_EQ(result, KES_INVALID);
    EXPECT_EQ(machine.log_count("ioctlSnapShot: snapshot of device major=8 minor=1 cancelled while "
                                "waiting for the requests on its queue\n"),
              1u);

    machine.set_sleep_speedup(1000);
    EXPECT_EQ(dev->snapshot(agent::SessionKey{}), KES_INVALID);
    EXPECT_EQ(machine.log_count("ioctlSnapShot: requests on the queue of device major=8 minor=1 did "
                                "not complete in 30 seconds, snapshot not taken\n"),
              1u);
    EXPECT_EQ(State(), 2u);

    ASSERT_EQ(sim::pause_driver(machine, disk, false), 0);
    raw.join();
    ASSERT_EQ(dev->snapshot(agent::SessionKey{}), 0);
    EXPECT_EQ(State(), 4u);
}

// Every message the snapshot command logs names the command, whichever of its steps logs it:
// the key mismatch, the resize, the failed maps and automaps, the freeze and its failure.
TEST_F(CommandFlow, EverySnapshotMessageCarriesTheCommandsName)
{
    // The snapshot with its key buffer and argument record in place, so that nothing is
    // allocated between arming a fault and the command.
    int fd = dev->fd();
    uint32_t keyBuf = agent->alloc(kes::kesSessionKeySize);
    uint32_t rec = agent->alloc(8);
    uint32_t words[2] = {keyBuf, kes::kesSessionKeySize};
    agent->poke(rec, words, 8);
    auto snapshot = [&](const agent::SessionKey& key, bool failNextAlloc = false) {
        agent->poke(keyBuf, key.data(), key.size());
        if (failNextAlloc)
            machine.faults().fail_any_alloc_nth(1);
        int status = agent->ioctl(fd, KES_SNAPSHOT, rec);
        machine.faults().disarm();
        return status;
    };
    const uint32_t small = kFsBlocks - 8;

    ASSERT_EQ(Start(), 0);
    EXPECT_NE(snapshot(agent::SessionKey{}, true), 0); // no memory for the new automap
    ASSERT_EQ(snapshot(agent::SessionKey{}), 0);
    agent::SessionKey key = KeyOf(AmState());
    Reopen();
    fd = dev->fd();

    ASSERT_EQ(Start(), 0);
    agent::SessionKey wrong = key;
    wrong[0] ^= 1;
    ASSERT_EQ(snapshot(wrong), 0);
    EXPECT_NE(snapshot(key, true), 0); // no memory for the Backup's map
    EXPECT_EQ(KeyOf(AmState()), key);
    Reopen();
    fd = dev->fd();

    // The file system shrank below the automap: a new one replaces it.
    ASSERT_EQ(dev->start_backup(MAJOR(part1), MINOR(part1), small, 1000), 0);
    ASSERT_EQ(snapshot(key), 0);
    Reopen();
    fd = dev->fd();

    // Nothing mounted any more: the freeze fails.
    ASSERT_EQ(Start(), 0);
    ASSERT_EQ(dev->no_load_from_automap(), 0);
    ASSERT_EQ(sim::unmount_fs(machine, part1), 0);
    EXPECT_EQ(snapshot(agent::SessionKey{}), KES_INVALID);
    ASSERT_EQ(sim::mount_fs(machine, part1), 0);

    const char* messages[] = {
        "new automap failed",
        "session key mismatch",
        "failed to create new device map",
        "device resize detected, device has (2040) blocks and automap has (2048)",
        "Going to freez: 8.1",
        "freeze_bdev could not freeze the device.",
    };
    for (const char* m : messages) {
        size_t all = machine.log_count(m);
        EXPECT_GT(all, 0u) << m;
        EXPECT_EQ(machine.log_count(std::string("ioctlSnapShot: ") + m), all) << m << "\n"
                                                                             << machine.dmesg_text();
    }
}

TEST(SnapshotTime, Difference)
{
    struct timespec a = {5, 900000000}, b = {7, 100000000};
    struct timespec d = kes::calcTimeDiff(a, b);
    EXPECT_EQ(d.tv_sec, 1);
    EXPECT_EQ(d.tv_nsec, 200000000);
}

} // namespace
} // namespace kestrel_test
