/*
 * The read-blocks and get-dirty-block commands: snapshot blocks into the agent's mapped
 * buffer, from the disk where the snapshot contents are still there and from the block
 * cache where they were overwritten.
 */
#include "reader/reader.h"
#include "backup/session.h"
#include "blockmap/blockmap.h"
#include "cow/cache.h"

namespace kes {

/* Waits for the reads submitted for a run without looking at their outcome. */
static void waitForSubmittedQuietly(Backup *b, u32 count)
{
    for (u32 i = 0; i < count; i++) {
        BR *br = b->brArray[i];
        if (br)
            waitForBlockRead((struct buffer_head *)br->bio->bi_private, br->bio);
    }
}

/* The checks of a run against the Backup's state and its maps: 0, or 2 after logging why.
 * Under sem. */
static int checkReadRequest(Backup *b, u32 first, u32 count)
{
    u32 state = backupState(b);
    u32 end = first + count;
    if (state != BACKUP_SNAPSHOT && state != BACKUP_MAP_LOADED) {
        printk(KERN_ERR "%s: state (%d) not valid\n", "ioctlReadBlocks", (int)state);
        return KES_INVALID;
    }
    if (end < first) {
        printk(KERN_ERR "%s: invalid block read range (%u-%u)\n", "ioctlReadBlocks", first, end);
        return KES_INVALID;
    }
    if (state == BACKUP_MAP_LOADED) {
        if (!b->buBlockMap.pages) {
            printk(KERN_ERR "%s: block map is null%s", "ioctlReadBlocks", "\n");
            return KES_INVALID;
        }
        if (end > b->buBlockMap.numBlocks) {
            printk(KERN_ERR "%s: end block number out of block map range%s", "ioctlReadBlocks", "\n");
            return KES_INVALID;
        }
    }
    if (!b->cacheMap.pages) {
        printk(KERN_ERR "%s: cache map is null%s", "ioctlReadBlocks", "\n");
        return KES_INVALID;
    }
    if (end > b->cacheMap.numBlocks) {
        printk(KERN_ERR "%s: block num (%u) out of range (%u)\n", "ioctlReadBlocks", end,
               b->cacheMap.numBlocks);
        return KES_INVALID;
    }
    return KES_OK;
}

/* The buffer's checks: 0 with the slot's pages in readPages, each with a reference taken
 * (given back by putReadPages), or 2 after logging why. Under sem; takes vmaLock. */
static int takeReadPages(Backup *b, u32 count, user_addr_t address)
{
    unsigned long flags;
    int slot;
    spin_lock_irqsave(&b->vmaLock, flags);
    if (!checkVMA(b, address, &slot)) {
        spin_unlock_irqrestore(&b->vmaLock, flags);
        printk(KERN_ERR "%s: invalid data pointer%s", "ioctlReadBlocks", "\n");
        return KES_INVALID;
    }
    BackupVMA *bv = &b->bvmas[slot];
    u64 wanted = (u64)count * b->disk.blockSize;
    unsigned long room = (unsigned long)bv->pageCount << PAGE_SHIFT;
    if (wanted > room) {
        spin_unlock_irqrestore(&b->vmaLock, flags);
        printk(KERN_ERR "%s: tried to read (%u) number of blocks size (%u) and mmap region can "
                        "hold (%lu) bytes\n",
               "ioctlReadBlocks", count, b->disk.blockSize, room);
        return KES_INVALID;
    }
    for (s32 i = 0; i < bv->pageCount; i++) {
        b->readPages[i] = bv->pages[i];
        get_page(b->readPages[i]);
    }
    b->readPageCount = bv->pageCount;
    spin_unlock_irqrestore(&b->vmaLock, flags);
    return KES_OK;
}

/* Gives back the references of takeReadPages. Under sem. */
static void putReadPages(Backup *b)
{
    for (s32 i = 0; i < b->readPageCount; i++) {
        put_page(b->readPages[i]);
        b->readPages[i] = NULL;
    }
    b->readPageCount = 0;
}

int ioctlReadBlocks(Backup *b, u32 first, u32 count, user_addr_t address)
{
    down(&b->sem);
    int result = checkReadRequest(b, first, count);
    if (!result)
        result = takeReadPages(b, count, address);
    if (result) {
        up(&b->sem);
        return result;
    }
    struct page **pages = b->readPages;
    s32 nDisk = readBlocks(b, first, count, pages);
    if (nDisk < 0) {
        /* No memory for a block request: the reads already submitted are waited for and
         * released, and the run is refused. */
        printk(KERN_ERR "%s: out of memory for block requests, read of (%u) blocks abandoned\n",
               __func__, count);
        waitForSubmittedQuietly(b, count);
        freeSubmitted(b, count);
        putReadPages(b);
        up(&b->sem);
        return KES_NO_MEMORY;
    }
    if ((u32)nDisk < count) {
        u32 nCache = readFromCache(b, first, count, pages);
        if ((u32)nDisk + nCache != count) {
            printk(KERN_ERR "%s: read (%u) blocks from disk and (%u) blocks from cache and "
                            "expected to read (%u) blocks\n",
                   __func__, (u32)nDisk, nCache, count);
            waitForSubmittedQuietly(b, count);
            result = KES_INVALID;
            goto release;
        }
    }
    if (waitForSubmitted(b, first, count) == KES_IO_ERROR) {
        printk(KERN_WARNING "%s: Received an IO error while reading sectors for backup.  Some "
                            "sectors could not be read%s",
               __func__, "\n");
        result = KES_IO_ERROR;
    }
    readCheckCache(b, first, count, pages);
release:
    if (nDisk > 0)
        freeSubmitted(b, count);
    putReadPages(b);
    up(&b->sem);
    return result;
}

int ioctlGetDirtyBlock(Backup *b, user_addr_t resultAddress)
{
    down(&b->sem);
    if (!b->buBlockMap.pages || backupState(b) != BACKUP_MAP_LOADED) {
        up(&b->sem);
        return KES_INVALID;
    }
    u32 block = anyDirtyBlock(b);
    up(&b->sem);
    if (put_user(block, resultAddress))
        return -EFAULT;
    return KES_OK;
}

} // namespace kes
