/*
 * The change-tracking request function, left on a disk's queue between backups while
 * devices of that disk have automaps. It never holds a request back and never fails one.
 */
#include "intercept/intercept.h"

namespace kes {

/*
 * Writes (write bit set, read-ahead bit clear) are marked in the automaps of the devices
 * they reach, now and again when they complete, then every request goes on to the queue's
 * real function. Reads mark nothing, so they skip the device lookup. While the queue's
 * earlier requests are being waited for, a request waits first.
 */
int kesAMRF(request_queue_t *q, struct bio *bio)
{
    make_request_fn *real;

    waitWhileQueueDrains(q);
    if ((bio->bi_rw & 3) == WRITE) {
        RequestDevs devs;

        lookupRequestDevs(bio, &devs);
        markWrite(&devs, bio->bi_sector, bio->bi_size);
        trackWriteCompletion(bio, &devs, bio->bi_sector, bio->bi_size);
    }

    real = getRealMRF(q);
    if (!real) {
        printk(KERN_CRIT "%s: request intercepted for unknown device major=%d realMRF=%p\n",
               __func__, MAJOR(bio->bi_bdev->bd_dev), (void *)real);
        BUG();
    }
    return real(q, bio);
}

} // namespace kes
