/*
 * The block reader's requests: the Backup's block-request slots, the submission of a run
 * of reads past the module's hooks, the wait for them and their release.
 */
#include "reader/reader.h"

#include "blockmap/blockmap.h"
#include "platform/shim.h"

namespace kes {

/*
 * A bio that cannot be submitted is ended with an error, as the kernel ends a request for a
 * device without a queue: whoever submitted it waits for its completion, and a bio that is
 * never ended would keep it waiting for ever.
 */
int callRealMRF(Backup *b, struct bio *bio)
{
    request_queue_t *q = kesGetRequestQueue(bio->bi_bdev);

    if (!q) {
        printk(KERN_ERR "%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n",
               __func__, MAJOR(b->disk.dev), MINOR(b->disk.dev));
        bio_endio(bio, bio->bi_size, -EIO);
        return 0;
    }
    if (b->disk.realMRF(q, bio))
        generic_make_request(bio);
    return 0;
}

int allocateBlockRequests(Backup *b)
{
    u32 slots = brSlots(b);
    b->brArray = (BR **)vmalloc(slots * sizeof(BR *));
    if (!b->brArray)
        return KES_NO_MEMORY;
    memset(b->brArray, 0, slots * sizeof(BR *));
    return KES_OK;
}

void allocateBRCache(Backup *) {}
void closeBRCache(Backup *) {}

void allocBlockRead(Backup *b, struct buffer_head **bh, struct bio **bio)
{
    while (!(*bh = alloc_buffer_head(GFP_NOIO)))
        schedule();
    while (!(*bio = bio_alloc(GFP_NOIO, 1)))
        schedule();
    atomic_inc(&b->currentBRs);
    atomic_inc(&b->totalBRs);
}

/* count is at most brSlots(b): the read-blocks command checks the run against its buffer. */
s32 readBlocks(Backup *b, u32 first, u32 count, struct page **pages)
{
    s32 submitted = 0;
    u32 perPage = b->disk.blocksPerPage;
    for (u32 i = 0; i < count; i++) {
        u32 block = first + i;
        if (blockInMap(&b->cacheMap, block))
            continue;
        BR *br = (BR *)kmalloc(sizeof(*br), GFP_NOIO);
        if (!br)
            return -1;
        memset(br, 0, sizeof(*br));
        b->brArray[i] = br;
        struct buffer_head *bh;
        allocBlockRead(b, &bh, &br->bio);
        initBH(b, bh, pages[i / perPage], (i % perPage) * b->disk.blockSize, block);
        initBIO(b, br->bio, bh);
        br->bio->bi_rw = READ;
        callRealMRF(b, br->bio);
        atomic_inc(&b->diskReads);
        submitted++;
    }
    return submitted;
}

int isRequestSubmitted(Backup *b, u32 slot) { return b->brArray && b->brArray[slot] ? 1 : 0; }

/* Zeroes every segment of a bio whose read failed, so that no stale data reaches the agent. */
static void zeroBio(struct bio *bio)
{
    for (unsigned short i = 0; i < bio->bi_vcnt; i++) {
        struct bio_vec *bv = &bio->bi_io_vec[i];
        if (bv->bv_offset + bv->bv_len > PAGE_SIZE) {
            printk(KERN_CRIT "%s: BIO segment greater than page size (offset=%d, length=%d)",
                   __func__, bv->bv_offset, bv->bv_len);
            BUG();
        }
        char *p = (char *)kmap(bv->bv_page);
        memset(p + bv->bv_offset, 0, bv->bv_len);
        kunmap(bv->bv_page);
    }
}

int waitForSubmitted(Backup *b, u32 first, u32 count)
{
    int result = KES_OK;
    for (u32 i = 0; i < count; i++) {
        BR *br = b->brArray[i];
        if (!br)
            continue;
        struct bio *bio = br->bio;
        if (!waitForBlockRead((struct buffer_head *)bio->bi_private, bio)) {
            result = KES_IO_ERROR;
            zeroBio(bio);
        }
        if (backupState(b) == BACKUP_MAP_LOADED)
            unSetBlock(&b->buBlockMap, first + i);
    }
    return result;
}

void freeSubmitted(Backup *b, u32 count)
{
    for (u32 i = 0; i < count; i++) {
        BR *br = b->brArray[i];
        if (!br)
            continue;
        if (br->bio)
            releaseBlockRead(b, (struct buffer_head *)br->bio->bi_private, br->bio);
        br->bio = NULL;
        kfree(br);
        b->brArray[i] = NULL;
    }
}

void freeMMBRs(Backup *b)
{
    if (b->brArray) {
        vfree(b->brArray);
        b->brArray = NULL;
    }
}

} // namespace kes
