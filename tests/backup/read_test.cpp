// The read-blocks command and the mapped buffer: refusals, the disk/cache split, I/O
// errors, consumption in state 6, and the mapping rules.
#include <atomic>
#include <memory>
#include <thread>

#include "blockmap/blockmap.h"
#include "tests/support/backup_rig.h"
#include "tests/support/interleave.h"

namespace kestrel_test {
namespace {

using namespace kes;

class ReadTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        rig = std::make_unique<BackupRig>(machine, *agent, Config());
        rig->StampAll(0);
    }
    virtual RigConfig Config() { return {}; }
    void Start()
    {
        ASSERT_EQ(rig->StartByHand(), 0);
        rig->SnapshotByHand();
        long b = rig->MapBuffer(16);
        ASSERT_GT(b, 0);
        buf = static_cast<uint32_t>(b);
    }
    int Read(uint32_t first, uint32_t count, uint32_t at = 0) { return rig->ReadBlocks(first, count, at ? at : buf); }
    void LoadMap(const std::vector<uint32_t>& blocks, uint32_t size)
    {
        uint32_t bytes = (size + 7) / 8;
        uint32_t data = agent->alloc(bytes);
        std::vector<uint8_t> bits(bytes);
        for (uint32_t b : blocks)
            bits[b / 8] |= uint8_t(1u << (b % 8));
        agent->poke(data, bits.data(), bytes);
        uint32_t rec = agent->alloc(16);
        uint32_t words[4] = {rec + 8, 0, data, size};
        agent->poke(rec, words, sizeof words);
        ASSERT_EQ(agent->ioctl(rig->fd, KES_LOAD_BLOCK_MAP, rec), 0) << machine.dmesg_text();
    }

    std::unique_ptr<BackupRig> rig;
    uint32_t buf = 0;
};

TEST_F(ReadTest, RefusalsChangeNothing)
{
    EXPECT_EQ(Read(0, 1, 0x10000000), KES_INVALID); // started? not even: state 0
    EXPECT_EQ(machine.log_count("ioctlReadBlocks: state (0) not valid"), 1u);
    Start();
    struct Case {
        uint32_t first, count, at;
        const char* message;
    };
    const Case cases[] = {
        {0xFFFFFFF0, 0x20, 0, "invalid block read range (4294967280-16)"},
        {1000, 25, 0, "block num (1025) out of range (1024)"},
        {0, 1, 1, "invalid data pointer"},     // 4096 bytes past the start
        {0, 17, 0, "tried to read (17) number of blocks size (4096) and mmap region can hold (65536) bytes"},
        {0, 1048576, 0, "block num (1048576) out of range (1024)"},
    };
    for (const Case& c : cases) {
        machine.clear_log();
        EXPECT_EQ(Read(c.first, c.count, c.at == 1 ? buf + 4096 : 0), KES_INVALID) << c.message;
        EXPECT_EQ(machine.log_count(c.message), 1u) << machine.dmesg_text();
    }
    EXPECT_EQ(atomic_read(&rig->b->diskReads), 0);
    EXPECT_EQ(Read(5, 0), 0); // nothing to do
    EXPECT_EQ(atomic_read(&rig->b->diskReads), 0);
}

TEST_F(ReadTest, BlocksComeFromDiskOrCacheAndUnreadableOnesAreZeros)
{
    Start();
    ASSERT_EQ(rig->WriteBlock(rig->part1, 2, 1), 0); // copied to the cache first
    ASSERT_EQ(rig->WriteBlock(rig->part1, 5, 1), 0);
    rig->WaitForWorker();
    ASSERT_EQ(sim::set_bad_sectors(machine, rig->part1, 6 * 8, 1), 0);
    EXPECT_EQ(Read(0, 8), KES_IO_ERROR);
    EXPECT_EQ(machine.log_count("Received an IO error while reading sectors for backup.  Some sectors could not be read"), 1u);
    EXPECT_EQ(atomic_read(&rig->b->diskReads), 6);
    EXPECT_EQ(atomic_read(&rig->b->cacheReads), 2);
    for (uint32_t i = 0; i < 8; i++) {
        if (i == 6)
            EXPECT_EQ(rig->Slot(buf, i), std::vector<char>(4096, 0));
        else
            EXPECT_EQ(rig->Slot(buf, i), rig->Pattern(i, 0)) << i;
    }
    EXPECT_EQ(atomic_read(&rig->b->currentBRs), 0);
    // State 4 consumes nothing: the same run reads the same way again.
    ASSERT_EQ(sim::clear_bad_sectors(machine, rig->part1), 0);
    EXPECT_EQ(Read(0, 8), 0);
    EXPECT_EQ(rig->Slot(buf, 5), rig->Pattern(5, 0));
}

TEST_F(ReadTest, LoadedMapConsumesWhatIsDelivered)
{
    Start();
    ASSERT_EQ(rig->WriteBlock(rig->part1, 3, 1), 0);
    ASSERT_EQ(rig->WriteBlock(rig->part1, 4, 1), 0);
    rig->WaitForWorker();
    LoadMap({3, 7, 8}, 1024); // block 4 is not wanted: dropped from the cache
    EXPECT_EQ(atomic_read(&rig->b->cleanedBlocks), 1);
    uint32_t word = agent->alloc(4);
    uint32_t args = agent->alloc(4);
    agent->poke_u32(args, word);
    EXPECT_EQ(agent->ioctl(rig->fd, KES_GET_DIRTY_BLOCK, args), 0);
    EXPECT_EQ(agent->peek_u32(word), 3u);
    EXPECT_EQ(Read(0, 16), 0);
    EXPECT_EQ(rig->Slot(buf, 3), rig->Pattern(3, 0));
    EXPECT_EQ(blockInMap(&rig->b->buBlockMap, 3), 0);
    EXPECT_EQ(blockInMap(&rig->b->buBlockMap, 7), 0);
    EXPECT_EQ(atomic_read(&rig->b->currentCachedBlocks), 0);
    EXPECT_EQ(agent->ioctl(rig->fd, KES_GET_DIRTY_BLOCK, args), 0);
    EXPECT_EQ(agent->peek_u32(word), 0xFFFFFFFFu);
    // A block no longer wanted is no longer protected.
    ASSERT_EQ(rig->WriteBlock(rig->part1, 7, 1), 0);
    rig->WaitForWorker();
    EXPECT_EQ(atomic_read(&rig->b->totalCachedBlocks), 2);
    // The second read finds nothing in the cache: everything from the disk.
    int before = atomic_read(&rig->b->diskReads);
    EXPECT_EQ(Read(0, 16), 0);
    EXPECT_EQ(atomic_read(&rig->b->diskReads) - before, 16);
    EXPECT_EQ(rig->Slot(buf, 7), rig->Pattern(7, 1));
    // The end of the map is the limit.
    EXPECT_EQ(Read(1024 - 16, 16), 0);
    EXPECT_EQ(Read(1024 - 15, 16), KES_INVALID);
    EXPECT_EQ(machine.log_count("end block number out of block map range"), 1u);
    EXPECT_EQ(agent->ioctl(rig->fd, KES_GET_DIRTY_BLOCK, 0x10), KES_COPY_FROM_USER);
    agent->poke_u32(args, 0x10); // an unwritable result word
    EXPECT_EQ(agent->ioctl(rig->fd, KES_GET_DIRTY_BLOCK, args), -EFAULT);
}

TEST_F(ReadTest, MappingRules)
{
    long early = rig->MapBuffer(1);
    EXPECT_EQ(early, -EINVAL); // no backup started
    Start();
    EXPECT_EQ(agent->mmap(4096, PROT_READ | PROT_WRITE, MAP_PRIVATE, rig->fd), -EINVAL);
    EXPECT_EQ(agent->mmap(4096, PROT_READ, MAP_SHARED, rig->fd), -EINVAL);
    EXPECT_EQ(agent->mmap(4096, PROT_READ, MAP_PRIVATE, rig->fd, 1), -EINVAL);
    EXPECT_EQ(agent->mmap(257 * 4096, PROT_READ, MAP_PRIVATE, rig->fd), -EINVAL);
    long second = rig->MapBuffer(256);
    EXPECT_GT(second, 0);
    EXPECT_EQ(rig->MapBuffer(1), -EINVAL); // a third
    // Fresh pages are clear.
    std::vector<char> zero(4096, 0);
    EXPECT_EQ(rig->Slot(static_cast<uint32_t>(second), 255), zero);
    // Unmapping frees a slot and its pages.
    int pages = atomic_read(&rig->b->currentPages);
    EXPECT_EQ(agent->munmap(static_cast<uint32_t>(second), 256 * 4096), 0);
    EXPECT_EQ(atomic_read(&rig->b->currentPages), pages - 256);
    machine.faults().fail_nth(sim::Fault::Page, 3);
    EXPECT_EQ(rig->MapBuffer(8), -ENOMEM);
    EXPECT_EQ(atomic_read(&rig->b->currentPages), pages - 256);
}

// A shared mapping of a descriptor opened read-only reaches the driver without VM_SHARED
// (the kernel keeps only VM_MAYSHARE there); it is refused all the same.
TEST_F(ReadTest, SharedMappingOfAReadOnlyDescriptorIsRefused)
{
    agent->close(rig->fd);
    rig->fd = agent->open("/dev/kestrel", 0 /* O_RDONLY */);
    ASSERT_GE(rig->fd, 0);
    rig->b = BackupOf(rig->fd);
    Start();
    EXPECT_EQ(agent->mmap(4096, PROT_READ, MAP_SHARED, rig->fd), -EINVAL);
    EXPECT_GT(agent->mmap(4096, PROT_READ, MAP_PRIVATE, rig->fd), 0);
}

TEST_F(ReadTest, ForkedCopyReadsTheFirstSlot)
{
    Start();
    ASSERT_EQ(Read(0, 4), 0);
    sim::Process& child = agent->fork();
    std::vector<char> got(4096);
    EXPECT_TRUE(child.peek(buf + 2 * 4096, got.data(), got.size()));
    EXPECT_EQ(got, rig->Pattern(2, 0));
    EXPECT_FALSE(child.peek(buf + 16 * 4096, got.data(), 1)); // past the mapping: not mapped
    child.exit();
}

// A completion is held right after it wakes the thread waiting for the block. That thread
// may finish and free everything at once (and the module may be unloaded), so by then the
// completion must be done with the bio: only the reader's own bio may be left to free.
TEST_F(ReadTest, CompletionsAreDoneWithTheBioWhenTheyWakeTheReader)
{
    if (machine.uniprocessor())
        GTEST_SKIP() << "the reader runs while its completion is held: needs a second processor";
    Start();
    // The hook shares the gates: a completion may still be on its way out of one when the
    // test has moved on.
    auto readCommand = std::make_shared<Gate>(), copyOnWrite = std::make_shared<Gate>();
    machine.after_completion_wake([readCommand] { readCommand->Pass(); });
    EXPECT_EQ(Read(9, 1), 0);
    EXPECT_EQ(machine.mem_stats().bios, 0); // the read command freed its bio
    readCommand->WaitHeld(); // the completion is at the gate, done with choosing the hook
    readCommand->Open();

    // Copy-on-write's read of an old block, for a held-back write.
    machine.after_completion_wake([copyOnWrite] { copyOnWrite->Pass(); });
    std::thread writer([this] { EXPECT_EQ(rig->WriteBlock(rig->part1, 11, 1), 0); });
    copyOnWrite->WaitHeld();
    while (atomic_read(&rig->b->currentBRs) != 0)
        std::this_thread::yield();
    EXPECT_EQ(machine.mem_stats().bios, 1); // only the writer's
    copyOnWrite->Open();
    writer.join();
    machine.after_completion_wake({});
    rig->WaitForWorker();
    EXPECT_EQ(Read(11, 1), 0);
    EXPECT_EQ(rig->Slot(buf, 0), rig->Pattern(11, 0));
}

// A multi-threaded agent: one thread maps and unmaps a second buffer (the kernel holds the
// process's mmap_sem for writing around the module's mmap and close) while another loads
// the block map (a command that copies from user space holding the Backup's sem) and reads
// into both buffers, the second one while it goes away. Nothing may wait for sem under
// mmap_sem, and a read into a buffer unmapped meanwhile fills pages it still holds.
TEST_F(ReadTest, OneThreadUnmapsWhileAnotherReads)
{
    Start();
    int pages = atomic_read(&rig->b->currentPages);
    std::atomic<uint32_t> second{0};
    std::atomic<bool> done{false};
    std::thread unmapper([&] {
        for (int i = 0; i < 200 && !done; i++) {
            long at = rig->MapBuffer(16);
            ASSERT_GT(at, 0);
            second = static_cast<uint32_t>(at);
            ASSERT_EQ(agent->munmap(static_cast<uint32_t>(at), 16 * 4096), 0);
        }
    });
    std::vector<uint32_t> all(1024);
    for (uint32_t i = 0; i < all.size(); i++)
        all[i] = i;
    LoadMap(all, 1024);
    for (uint32_t first = 0; first + 8 <= 1024; first += 8) {
        ASSERT_EQ(Read(first, 8), 0);
        EXPECT_EQ(rig->Slot(buf, 7), rig->Pattern(first + 7, 0));
        uint32_t at = second;
        if (at == 0)
            continue;
        int r = Read(first, 8, at);
        EXPECT_TRUE(r == 0 || r == KES_INVALID) << r; // filled, or already unmapped
    }
    done = true;
    unmapper.join();
    // The loaded map's one page, and not one page of the unmapped buffers.
    EXPECT_EQ(atomic_read(&rig->b->currentPages), pages + 1);
    EXPECT_TRUE(machine.bugs().empty()) << machine.dmesg_text();
}

class SmallBlockReadTest : public ReadTest {
    RigConfig Config() override
    {
        RigConfig c;
        c.blockSize = 1024;
        c.fsBlocks = 4096;
        return c;
    }
};

TEST_F(SmallBlockReadTest, FourBlocksAPage)
{
    Start();
    EXPECT_EQ(rig->b->maxBufferPages, 64);
    EXPECT_EQ(Read(100, 64), 0);
    EXPECT_EQ(rig->Slot(buf, 5), rig->Pattern(105, 0));
    EXPECT_EQ(Read(100, 65), KES_INVALID);
}

} // namespace
} // namespace kestrel_test
