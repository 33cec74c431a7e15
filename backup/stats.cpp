/*
 * Statistics and state of a backup: the state record the agent reads, and the statistics
 * record written to the kernel log when a backup that started is closed (and handed to the
 * agent on request).
 */
#include "automap/automap.h"
#include "backup/session.h"

namespace kes {

void setStats(Backup *b, BackupStats *s)
{
    s->major = MAJOR(b->disk.dev);
    s->minor = MINOR(b->disk.dev);
    s->state = backupState(b);
    s->startSect = (u32)b->disk.startSect;
    s->blockSize = (s32)b->disk.blockSize;
    s->blocksPerPage = (s32)b->disk.blocksPerPage;
    s->partSizeKB = (u32)b->disk.partSizeKB;
    s->fsBlocks = (u32)b->disk.fsBlocks;
    s->maxBufferPages = b->maxBufferPages;
    s->bufferPages = getVMAPageCount(b);
    s->maxCacheBlocks = (s32)b->maxCacheBlocks;
    s->automapPages = atomic_read(&curAllocAMPages);
    s->totalPages = atomic_read(&b->totalPages);
    s->currentPages = atomic_read(&b->currentPages);
    s->totalBRs = atomic_read(&b->totalBRs);
    s->currentBRs = atomic_read(&b->currentBRs);
    s->totalCachedBlocks = atomic_read(&b->totalCachedBlocks);
    s->currentCachedBlocks = atomic_read(&b->currentCachedBlocks);
    s->peakCachedBlocks = atomic_read(&b->peakCachedBlocks);
    s->totalCacheStructs = atomic_read(&b->totalCacheStructs);
    s->currentCacheStructs = atomic_read(&b->currentCacheStructs);
    s->diskReads = atomic_read(&b->diskReads);
    s->cacheReads = atomic_read(&b->cacheReads);
    s->cleanedBlocks = atomic_read(&b->cleanedBlocks);
    s->commandsProcessed = atomic_read(&b->commandsProcessed);
    s->timeToFreezeSec = (s32)b->timeToFreeze.tv_sec;
    s->timeToFreezeNsec = (s32)b->timeToFreeze.tv_nsec;
    s->timeFrozenSec = (s32)b->timeFrozen.tv_sec;
    s->timeFrozenNsec = (s32)b->timeFrozen.tv_nsec;
}

void printStats(BackupStats *s)
{
    printk(KERN_INFO "%s: device: major(%u) minor(%u)\n", __func__, s->major, s->minor);
    printk(KERN_INFO "%s: state: %u\n", __func__, s->state);
    printk(KERN_INFO "%s: block size: %i\n", __func__, s->blockSize);
    printk(KERN_INFO "%s: partition size (KB): %u\n", __func__, s->partSizeKB);
    printk(KERN_INFO "%s: file system size (blocks): %u\n", __func__, s->fsBlocks);
    printk(KERN_INFO "%s: pages allocated for write journal: %d\n", __func__, s->automapPages);
    printk(KERN_INFO "%s: max cache size in blocks: %i\n", __func__, s->maxCacheBlocks);
    printk(KERN_INFO "%s: total pages allocated: %d\n", __func__, s->totalPages);
    printk(KERN_INFO "%s: current pages allocated: %d\n", __func__, s->currentPages);
    printk(KERN_INFO "%s: total Block Requests allocated: %d\n", __func__, s->totalBRs);
    printk(KERN_INFO "%s: current Block Requests allocated: %d\n", __func__, s->currentBRs);
    printk(KERN_INFO "%s: total cached blocks: %d\n", __func__, s->totalCachedBlocks);
    printk(KERN_INFO "%s: current cached blocks: %d\n", __func__, s->currentCachedBlocks);
    printk(KERN_INFO "%s: peak cached blocks: %d\n", __func__, s->peakCachedBlocks);
    printk(KERN_INFO "%s: total block cache data structures: %d\n", __func__, s->totalCacheStructs);
    printk(KERN_INFO "%s: current block cache data structures: %d\n", __func__,
           s->currentCacheStructs);
    printk(KERN_INFO "%s: total reads from disk: %d\n", __func__, s->diskReads);
    printk(KERN_INFO "%s: total reads from cache: %d\n", __func__, s->cacheReads);
    printk(KERN_INFO "%s: blocks cleaned from cache: %d\n", __func__, s->cleanedBlocks);
    printk(KERN_INFO "%s: partition start (sector): %u\n", __func__, s->startSect);
    printk(KERN_INFO "%s: blocks per page: %i\n", __func__, s->blocksPerPage);
    printk(KERN_INFO "%s: max buffer size in pages: %i\n", __func__, s->maxBufferPages);
    printk(KERN_INFO "%s: buffer pages allocated: %i\n", __func__, s->bufferPages);
    printk(KERN_INFO "%s: commands processed: %d\n", __func__, s->commandsProcessed);
    printk(KERN_INFO "%s: time to freeze in seconds: %d.%09d\n", __func__, s->timeToFreezeSec,
           s->timeToFreezeNsec);
    printk(KERN_INFO "%s: time frozen in seconds: %d.%09d\n", __func__, s->timeFrozenSec,
           s->timeFrozenNsec);
}

int ioctlGetState(Backup *b, user_addr_t address, u32 length)
{
    BackupStateInfo info;
    memset(&info, 0, sizeof(info));
    down(&b->sem);
    info.major = MAJOR(b->disk.dev);
    info.minor = MINOR(b->disk.dev);
    info.state = backupState(b);
    info.blockSize = b->disk.blockSize;
    info.bufferBytes = (u32)b->maxBufferPages << PAGE_SHIFT;
    up(&b->sem);
    return copyReply(__func__, address, length, &info, sizeof(info));
}

int ioctlGetStats(Backup *b, user_addr_t address, u32 length)
{
    BackupStats *s = (BackupStats *)kmalloc(sizeof(*s), GFP_KERNEL);
    if (!s)
        return KES_NO_MEMORY;
    memset(s, 0, sizeof(*s));
    down(&b->sem);
    setStats(b, s);
    up(&b->sem);
    int result = copyReply(__func__, address, length, s, sizeof(*s));
    kfree(s);
    return result;
}

} // namespace kes
