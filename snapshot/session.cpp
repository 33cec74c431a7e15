/*
 * Creating and closing automaps: the sessions of the automap table.
 */
#include "snapshot/snapshot.h"

#include "automap/automap.h"
#include "intercept/intercept.h"
#include "shared/globals.h"

namespace kes {

/* Waits for the users of a record that is out of the table, then frees it. */
static void freeAM(AM *am)
{
    unsigned long flags;
    u32 pages = 0;

    waitForAMSUsers(am, &flags);
    spin_unlock_irqrestore(&am->lock, flags);
    closeBlockMap(&am->map, &pages);
    atomic_sub((int)pages, &curAllocAMPages);
    bdput(am->disk.bdev);
    kfree(am);
}

int newAMS(Backup *b, AM **amOut)
{
    u32 dev = b->disk.dev;
    unsigned long flags;
    AM *am, *old;
    u32 pages = 0;
    int status;

    if (amIndex(dev) < 0) {
        printk(KERN_ERR "%s: no automap for device major=%d minor=%d: major and minor "
                        "must be below 256\n",
               __func__, MAJOR(dev), MINOR(dev));
        return KES_INVALID;
    }
    am = (AM *)kmalloc(sizeof(*am), GFP_KERNEL);
    if (!am)
        return KES_NO_MEMORY;
    memset((void *)am, 0, sizeof(*am));
    am->disk = b->disk;
    atomic_set(&am->tracking, 0);
    /* The start of a backup refuses a device without a block size, so this is a bug. */
    if (am->disk.blockSize == 0) {
        printk(KERN_CRIT "%s: Blocksize set to 0 when making automap%s", __func__, "\n");
        BUG();
    }

    /* The automap outlives the Backup whose device it copied, so it holds a reference of
     * its own on the block device. */
    am->disk.bdev = bdget(dev);
    if (!am->disk.bdev) {
        printk(KERN_ERR "%s: device major=%d minor=%d not found\n", __func__, MAJOR(dev),
               MINOR(dev));
        kfree(am);
        return KES_INVALID;
    }

    status = newBlockMap(&am->map, (u32)am->disk.fsBlocks, 0, 1, &pages);
    if (status) {
        printk(KERN_ERR "%s: failed to create new device map%s", __func__, "\n");
        bdput(am->disk.bdev);
        kfree(am);
        return status;
    }
    atomic_add((int)pages, &curAllocAMPages);
    /* The automap's map lock is initialised again here so that it is a class of its own,
     * apart from the Backups' maps: the snapshot takes it while it holds the Backup's map
     * lock, and the lock-order checks must tell the two apart. */
    spin_lock_init(&am->map.usersLock);
    atomic_set(&am->users, 1);
    spin_lock_init(&am->lock);
    *amOut = am;

    waitForAMListUsers(&flags);
    old = *amSlot(dev);
    *amSlot(dev) = am;
    spin_unlock_irqrestore(&amListUsersLock, flags);

    /* Callers close the old automap first; one left in the slot would otherwise be lost
     * with its pages. Its device stays listed in the hook registry for the new one. */
    if (old) {
        printk(KERN_WARNING "%s: automap of device major=%d minor=%d replaced\n", __func__,
               MAJOR(dev), MINOR(dev));
        freeAM(old);
    }
    return KES_OK;
}

void closeAM(AM *am)
{
    /* The running backup's device keeps its place on its queue: the snapshot request
     * function must stay there until that backup is closed, whatever becomes of the
     * automap. */
    if (!isActiveBackupDevice(am->disk.dev))
        unSetMRFAMS(am);
    freeAM(am);
}

/* Takes the record out of its slot: the record, or NULL when the slot was empty. */
static AM *takeAM(AM **slot)
{
    unsigned long flags;
    AM *am;

    waitForAMListUsers(&flags);
    am = *slot;
    *slot = NULL;
    spin_unlock_irqrestore(&amListUsersLock, flags);
    return am;
}

int closeAMS(Backup *b)
{
    AM **slot = amSlot(b->disk.dev);
    AM *am = slot ? takeAM(slot) : NULL;

    if (!am)
        return KES_INVALID;
    closeAM(am);
    return KES_OK;
}

/* One slot at a time, so that readers get in between. */
void closeAllAMS(void)
{
    for (int i = 0; i < AM_LIST_SIZE; i++) {
        AM *am = takeAM(&amList[i]);
        if (am)
            closeAM(am);
    }
}

} // namespace kes
