/*
 * The snapshot request function, installed on the backed-up device's queue by the snapshot
 * command: every request is first offered to copy-on-write, which may hold it back until
 * the old contents of its blocks are saved; writes are marked in the automaps as kesAMRF
 * marks them; what is not held back goes on to the queue's real function.
 */
#include "cow/cow.h"
#include "intercept/intercept.h"

namespace kes {

int kesMRF(request_queue_t *q, struct bio *bio)
{
    set_current_state(TASK_RUNNING);
    /* While the snapshot waits for the requests that took the queue's own function, new
     * ones wait here, before anything is allocated for them. */
    waitWhileQueueDrains(q);

    /* Everything the automap update needs is read now: once copy-on-write has taken the
     * request over, the worker may pass it on and it may complete at any moment. */
    int isWrite = (bio->bi_rw & 3) == WRITE;
    sector_t sector = bio->bi_sector;
    u32 size = bio->bi_size;
    RequestDevs devs;
    u32 minor;

    if (isWrite) {
        lookupRequestDevs(bio, &devs);
        minor = devs.minor;
        /* Before copy-on-write may hand the request to the worker. */
        trackWriteCompletion(bio, &devs, sector, size);
    } else {
        /* Reads mark nothing and copy-on-write matches requests by their sectors as well,
         * so a read needs no partition lookup. */
        struct gendisk *disk = bio->bi_bdev->bd_disk;
        minor = disk ? (u32)disk->first_minor : MINOR(bio->bi_bdev->bd_dev);
    }

    int held = cacheMRFBlock(q, bio, minor);
    if (isWrite)
        markWrite(&devs, sector, size);
    if (held > 0)
        return 0;

    make_request_fn *real = getRealMRF(q);
    if (!real) {
        printk(KERN_CRIT "%s: request intercepted for unknown device major=%d minor=%d\n",
               __func__, MAJOR(bio->bi_bdev->bd_dev), minor);
        BUG();
    }
    return real(q, bio);
}

} // namespace kes
