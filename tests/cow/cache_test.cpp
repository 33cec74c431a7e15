// The block cache on its own: storing, reading, consuming, pruning and freeing old block
// contents, the limit and the allocation failures.
#include <vector>

#include "blockmap/blockmap.h"
#include "cow/cache.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

using namespace kes;

class CacheTest : public MachineTest {
protected:
    void SetUp() override
    {
        b = static_cast<Backup*>(kmalloc(sizeof(Backup), GFP_KERNEL));
        memset(static_cast<void*>(b), 0, sizeof(*b));
        sema_init(&b->sem, 1);
        init_rwsem(&b->stateLock);
        init_rwsem(&b->cacheLock);
        b->disk.dev = MKDEV(8, 1);
        b->disk.blockSize = 1024;
        b->disk.blocksPerPage = 4;
        b->disk.fsBlocks = 20000;
        b->maxCacheBlocks = 100;
        setBackupState(b, BACKUP_SNAPSHOT);
        ASSERT_EQ(newBlockTable(b), 0);
        b->cpCache = kmem_cache_create("testCP", sizeof(CachePage), 0, 0, nullptr, nullptr);
        b->dataCache = kmem_cache_create("testDC", 1024, 0, 0, nullptr, nullptr);
        ASSERT_EQ(newCacheMap(b), 0);
    }
    void TearDown() override
    {
        closeCache(b);
        closeBlockTable(b);
        closeCacheMap(b);
        closeBUBlockMap(b);
        kfree(b);
        MachineTest::TearDown();
    }
    std::vector<char> Block(char fill) { return std::vector<char>(1024, fill); }
    int Save(u32 block, char fill) { return saveBlock(b, Block(fill).data(), block); }
    // What cacheRead returns for a block: its first byte, or 0 when it is not cached.
    char Read(u32 block)
    {
        std::vector<char> out(1024, 0);
        return cacheRead(b, out.data(), block) == 1024 ? out[1023] : 0;
    }

    Backup* b = nullptr;
};

TEST_F(CacheTest, SavedBlocksReadBackAndStayUntilTheMapIsLoaded)
{
    ASSERT_EQ(Save(5, 'a'), 0);
    ASSERT_EQ(Save(4101, 'b'), 0);
    ASSERT_EQ(Save(8197, 'c'), 0);
    // Same bucket; the newest is reported first.
    EXPECT_EQ(anyDirtyBlock(b), 8197u);
    EXPECT_EQ(Read(4101), 'b');
    EXPECT_EQ(Read(4101), 'b'); // state 4: nothing consumed
    EXPECT_EQ(Read(6), 0);
    EXPECT_EQ(atomic_read(&b->cacheReads), 2);
    EXPECT_EQ(atomic_read(&b->currentCachedBlocks), 3);
    EXPECT_EQ(atomic_read(&b->peakCachedBlocks), 3);

    // A block already dealt with by copy-on-write is not stored again.
    setBlock(&b->cacheMap, 9);
    EXPECT_EQ(Save(9, 'x'), 0);
    EXPECT_EQ(Read(9), 0);
}

TEST_F(CacheTest, LoadedMapConsumesReadsAndPrunesUnwantedBlocks)
{
    for (u32 blk : {1u, 2u, 3u, 4097u})
        ASSERT_EQ(Save(blk, static_cast<char>('0' + blk % 10)), 0);
    setBlock(&b->cacheMap, 1); // as the worker marks what it copied
    setBlock(&b->cacheMap, 2);
    u32 pages;
    ASSERT_EQ(newBlockMap(&b->buBlockMap, 20000, 0, 1, &pages), 0);
    setBlock(&b->buBlockMap, 2);
    setBlock(&b->buBlockMap, 4097);
    EXPECT_EQ(cleanUpCache(b), KES_REFUSED); // not before the map is loaded
    setBackupState(b, BACKUP_MAP_LOADED);
    EXPECT_EQ(cleanUpCache(b), 0);
    EXPECT_EQ(atomic_read(&b->cleanedBlocks), 2);
    EXPECT_EQ(atomic_read(&b->currentCachedBlocks), 2);
    EXPECT_EQ(blockInMap(&b->cacheMap, 1), 0); // freeing an entry clears its cacheMap bit

    EXPECT_EQ(Read(2), '2');
    EXPECT_EQ(Read(2), 0); // consumed
    EXPECT_EQ(blockInMap(&b->buBlockMap, 2), 0);
    EXPECT_EQ(blockInMap(&b->cacheMap, 2), 0);
    EXPECT_EQ(anyDirtyBlock(b), 4097u);
    // In state 6 an unwanted block is not stored.
    EXPECT_EQ(Save(7, 'u'), 0);
    EXPECT_EQ(atomic_read(&b->currentCachedBlocks), 1);
    EXPECT_EQ(atomic_read(&b->totalCachedBlocks), 4);
}

TEST_F(CacheTest, LimitAndAllocationFailuresFailTheBackup)
{
    b->maxCacheBlocks = 2;
    EXPECT_EQ(Save(1, 'a'), 0);
    EXPECT_EQ(Save(2, 'b'), 0);
    EXPECT_EQ(Save(3, 'c'), 1);
    EXPECT_EQ(backupState(b), BACKUP_ERR_CACHE);
    EXPECT_EQ(machine.log_count("getCacheBlock: configured max cache memory reached (2 blocks) "
                                "failed to allocate cache object\n"),
              1u);
    // Failed: every operation that checks the state does nothing.
    EXPECT_EQ(Read(1), 0);
    EXPECT_EQ(anyDirtyBlock(b), kesNoBlock);

    setBackupState(b, BACKUP_SNAPSHOT);
    b->maxCacheBlocks = 100;
    machine.faults().fail_nth(sim::Fault::Slab, 1);
    EXPECT_EQ(Save(4, 'd'), 1);
    EXPECT_EQ(machine.log_count("system out of memory, failed to allocate cache object."), 1u);
    setBackupState(b, BACKUP_SNAPSHOT);
    machine.faults().fail_nth(sim::Fault::Slab, 2);
    EXPECT_EQ(Save(4, 'd'), 1);
    EXPECT_EQ(machine.log_count("system out of memory failed to allocate block for write cache"), 1u);
    EXPECT_EQ(backupState(b), BACKUP_ERR_CACHE);
    EXPECT_EQ(atomic_read(&b->currentCachedBlocks), 2);
    EXPECT_EQ(atomic_read(&b->currentCacheStructs), 2);
}

TEST_F(CacheTest, ZeroLimitRefusesTheFirstBlock)
{
    b->maxCacheBlocks = 0;
    EXPECT_EQ(Save(1, 'a'), 1);
    EXPECT_EQ(machine.log_count("configured max cache memory reached (0 blocks)"), 1u);
}

TEST_F(CacheTest, EmptyCacheAnswersWithoutLocking)
{
    down_write(&b->cacheLock); // any lock taken would now wait for ever
    EXPECT_EQ(anyDirtyBlock(b), kesNoBlock);
    up_write(&b->cacheLock);
}

TEST(CacheTeardown, HalfBuiltTablesAreFreed)
{
    sim::Machine machine;
    for (unsigned n : {1u, 2u, 500u}) {
        Backup* b = static_cast<Backup*>(kmalloc(sizeof(Backup), GFP_KERNEL));
        memset(static_cast<void*>(b), 0, sizeof(*b));
        init_rwsem(&b->cacheLock);
        b->disk.dev = MKDEV(3, 2);
        machine.faults().fail_nth(n == 1 ? sim::Fault::SlabCreate : sim::Fault::Slab, n == 1 ? 1 : n - 1);
        EXPECT_EQ(newBlockTable(b), KES_NO_MEMORY);
        closeCache(b); // no entry slab: nothing to do
        closeBlockTable(b);
        kfree(b);
        machine.faults().disarm();
    }
    EXPECT_EQ(machine.leak_report(), "");
    EXPECT_EQ(machine.log_count("kmem_cache_create failed for HashTable structs during backup "
                                "start major=3 minor=2"),
              1u);
}

} // namespace
} // namespace kestrel_test
