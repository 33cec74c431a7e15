/*
 * The kernel-version layer for the 2.6 kernels: the module record, the thin wrappers
 * through which the module registers itself and counts its references, and the block-layer
 * wrappers that find and lock a device's request queue.
 */
#include "intercept/intercept.h"
#include "module/kestrel.h"

struct module __this_module = {
    /* state */ {MODULE_STATE_COMING},
    /* name */ "kestrel",
    /* ref */ ATOMIC_INIT(0),
    /* waiter */ NULL,
    /* load_data */ kes::kesLoadData,
    /* init */ kes::kesInit,
    /* exit */ kes::kesExit,
    /* vermagic */ VERMAGIC_STRING(KES_TARGET_KERNEL),
    /* description */ "Backup Driver",
    /* license */ "Proprietary",
    /* version */ "3.1.0",
    /* depends */ "",
};

namespace kes {

int kesModRegister(unsigned int major, const char *name, struct file_operations *fops)
{
    fops->owner = THIS_MODULE;
    return register_chrdev(major, name, fops);
}

int kesModGet(void) { return try_module_get(THIS_MODULE) ? 0 : 1; }

void kesModPut(void)
{
#if KES_MODPUT_CHECKS_REFCOUNT
    /* The 023stab051 and later kernels check the count before they release a reference. */
    BUG_ON(module_refcount(THIS_MODULE) == 0);
#endif
    module_put(THIS_MODULE);
}

int kesCheckModUse(void) { return 0; }

void doModuleUnload(void) { kesUnload(); }

request_queue_t *kesGetRequestQueue(struct block_device *bdev)
{
    if (!bdev || !bdev->bd_disk)
        return NULL;
    return bdev->bd_disk->queue;
}

request_queue_t *getRequestQueue(DiskInfo *disk) { return kesGetRequestQueue(disk->bdev); }

void kesLockRequestQueue(request_queue_t *q, unsigned long *flags)
{
    *flags = 0;
    if (q->queue_lock)
        spin_lock_irqsave(q->queue_lock, *flags);
}

void kesUnlockRequestQueue(request_queue_t *q, unsigned long flags)
{
    if (q->queue_lock)
        spin_unlock_irqrestore(q->queue_lock, flags);
}

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

} // namespace kes
