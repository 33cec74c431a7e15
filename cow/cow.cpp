/*
 * Copy-on-write: deciding which requests to hold back, and copying old blocks.
 */
#include "cow/cow.h"

#include "automap/automap.h"
#include "blockmap/blockmap.h"
#include "cow/cache.h"
#include "intercept/intercept.h"
#include "reader/reader.h"
#include "shared/globals.h"

namespace kes {

/* A block at or past the cache map's end lies beyond the file system: the agent can never
 * read it, so nothing is kept for it (and the cache map could not record it as kept). */
int doWeCacheBlock(Backup *b, u32 block)
{
    if (block >= b->cacheMap.numBlocks)
        return 0;
    if (backupState(b) == BACKUP_MAP_LOADED)
        return blockInMap(&b->buBlockMap, block) && !blockInMap(&b->cacheMap, block);
    return !blockInMap(&b->cacheMap, block);
}

int doWeCacheBlocks(Backup *b, u32 first, u32 last)
{
    for (u64 block = first; block <= last; block++)
        if (doWeCacheBlock(b, (u32)block))
            return 1;
    return 0;
}

/* Whether a request (on its whole disk, as the queue sees it) is for the backed-up device. */
static int isBackupRequest(Backup *b, struct bio *bio, u32 minor)
{
    if (MAJOR(b->disk.dev) != MAJOR(bio->bi_bdev->bd_dev))
        return 0;
    if (MINOR(b->disk.dev) == minor)
        return 1;
    if (!b->disk.bdev || b->disk.bdev->bd_disk != bio->bi_bdev->bd_disk)
        return 0;
    sector_t first = bio->bi_sector;
    sector_t end = first + ((bio->bi_size + 511) >> 9);
    return first < b->disk.startSect + b->disk.nrSects && end > b->disk.startSect;
}

/* The active Backup, with a use taken, when the request is for its device; NULL otherwise.
 * The use keeps the record alive until the caller gives it back, even while a close runs. */
static Backup *getRequestBackup(struct bio *bio, u32 minor)
{
    down_read(&activeSessionUsers);
    Backup *b = activeSession;
    if (b && isBackupRequest(b, bio, minor))
        atomic_inc(&b->requestUsers);
    else
        b = NULL;
    up_read(&activeSessionUsers);
    return b;
}

void waitForBackupRequestUsers(Backup *b)
{
    while (atomic_read(&b->requestUsers) != 0)
        schedule();
}

int cacheMRFBlock(struct request_queue *, struct bio *bio, u32 minor)
{
    if ((bio->bi_rw & 3) == READA)
        return 0;
    Backup *b = getRequestBackup(bio, minor);
    if (!b)
        return 0;
    int result = 0;
    down_read(&b->stateLock);
    u32 state = backupState(b);
    if (state >= BACKUP_SNAPSHOT && state <= BACKUP_MAP_LOADED) {
        u32 first, last;
        requestBlockRange(&b->disk, bio->bi_sector, bio->bi_size, &first, &last);
        if (doWeCacheBlocks(b, first, last)) {
            result = 1;
            if (newMR(b, bio, first, last)) {
                failBackup(b, BACKUP_ERR_QUEUE);
                errorAMS(b);
                result = -1;
            }
        }
    }
    up_read(&b->stateLock);
    atomic_dec(&b->requestUsers);
    return result;
}

void cacheBlock(Backup *b, MR *, u32 block)
{
    down_read(&b->cacheLock);
    if (backupState(b) > BACKUP_MAP_LOADED) {
        up_read(&b->cacheLock);
        return;
    }
    struct page *page = alloc_page(GFP_NOIO);
    if (!page) {
        failBackup(b, BACKUP_ERR_CACHE);
        errorAMS(b);
        up_read(&b->cacheLock);
        return;
    }
    addBackupPages(b, 1);

    struct buffer_head *bh;
    struct bio *bio;
    allocBlockRead(b, &bh, &bio);
    initBH(b, bh, page, 0, block);
    initBIO(b, bio, bh);
    bio->bi_rw = READ;
    callRealMRF(b, bio);

    if (waitForBlockRead(bh, bio)) {
        if (saveBlock(b, (const char *)page_address(page), block)) {
            printk(KERN_ERR "%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", __func__, block,
                   MAJOR(b->disk.dev), MINOR(b->disk.dev));
            errorAMS(b);
        }
    } else {
        failBackup(b, BACKUP_ERR_READ);
        printk(KERN_ERR "%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", __func__, block,
               MAJOR(b->disk.dev), MINOR(b->disk.dev));
        errorAMS(b);
    }

    releaseBlockRead(b, bh, bio);
    __free_page(page);
    atomic_dec(&b->currentPages);
    up_read(&b->cacheLock);
}

} // namespace kes
