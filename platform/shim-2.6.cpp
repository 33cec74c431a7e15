/*
 * The kernel-version layer for the 2.6 kernels: the module record, the thin wrappers
 * through which the module registers itself and counts its references, and the block-layer
 * wrappers that find and lock a device's request queue.
 */
#include "platform/shim.h"

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

} // namespace kes
