/*
 * The snapshot command: decides what becomes of the device's automap, renews its session
 * key, installs the snapshot request function, and with the file system frozen moves the
 * automap's bits into the Backup's block map (or switches a new automap on) and turns
 * copy-on-write on.
 */
#include "snapshot/snapshot.h"

#include "automap/automap.h"
#include "base/users.h"
#include "blockmap/blockmap.h"
#include "cow/cow.h"
#include "intercept/intercept.h"

namespace kes {

/* Every message of the snapshot command carries the command's name, whichever of its steps
 * below logs it. */
static const char snapShotName[] = "ioctlSnapShot";

struct timespec calcTimeDiff(struct timespec start, struct timespec end)
{
    struct timespec d;
    d.tv_sec = end.tv_sec - start.tv_sec;
    d.tv_nsec = end.tv_nsec - start.tv_nsec;
    if (d.tv_nsec < 0) {
        d.tv_nsec += 1000000000;
        d.tv_sec -= 1;
    }
    return d;
}

/* Fills the session key with random bytes, one at a time. The caller holds a use of am. */
static void renewSessionKey(AM *am)
{
    memset(am->sessionKey, 0xFF, sizeof(am->sessionKey));
    for (unsigned i = 0; i < sizeof(am->sessionKey); i++)
        get_random_bytes(&am->sessionKey[i], 1);
}

/*
 * With the file system frozen: hands the kept automap's bits to the Backup (its pages are
 * exchanged with the Backup's all-clear map, so the automap records on from nothing) or
 * switches a new automap on, and turns copy-on-write on. Returns 1 when the kept automap was
 * found stopped: its bits may lack writes, so they must not be handed out.
 */
static int switchAutoMap(Backup *b, AM *am, int kept)
{
    unsigned long amFlags, buFlags, mapFlags;
    int stale = 0;

    down_write(&b->stateLock);
    if (am) {
        waitForAMSUsers(am, &amFlags);
        if (kept) {
            stale = atomic_read(&am->tracking) != 1;
            waitForBlockMapUsers(&b->buBlockMap, &buFlags);
            waitForBlockMapUsers(&am->map, &mapFlags);
            struct page **pages = b->buBlockMap.pages;
            b->buBlockMap.pages = am->map.pages;
            am->map.pages = pages;
            spin_unlock_irqrestore(&am->map.usersLock, mapFlags);
            spin_unlock_irqrestore(&b->buBlockMap.usersLock, buFlags);
        }
        /* A stopped automap starts afresh on the clear pages as well: the hook for its
         * device is in place again from this snapshot on. */
        atomic_set(&am->tracking, 1);
        advanceBackup(b, BACKUP_SNAPSHOT);
        spin_unlock_irqrestore(&am->lock, amFlags);
    } else {
        advanceBackup(b, BACKUP_SNAPSHOT);
    }
    up_write(&b->stateLock);
    return stale;
}

/* What becomes of the device's automap at this snapshot. */
enum AutoMapFate {
    AM_FATE_NONE,         /* no automap: only the snapshot request function is installed */
    AM_FATE_NEW,          /* a new automap is created and switched on */
    AM_FATE_KEEP,         /* the tracking automap's bits become the Backup's block map */
    AM_FATE_KEY_MISMATCH, /* the agent's key is not the automap's: nothing changes */
};

/*
 * Decides the automap's fate from the one the table holds, the agent's key and the Backup's
 * no-load and no-start flags, closing an automap that is not kept. For a kept automap it
 * makes the Backup's clear block map the bits are exchanged with, and hands back the
 * automap with a use held in *amp. Returns 0 or the status of newBlockMap. Caller holds
 * b->sem.
 */
static int decideAutoMapFate(Backup *b, const u8 *key, AM **amp, enum AutoMapFate *fate)
{
    u32 pages;
    int result;
    AM *am = getAMUse(b->disk.dev);

    if (!am) {
        *fate = b->noStartAutoMap == 1 ? AM_FATE_NONE : AM_FATE_NEW;
        return 0;
    }
    if (b->noStartAutoMap == 1) {
        putAMUse(am);
        closeAMS(b);
        *fate = AM_FATE_NONE;
        return 0;
    }
    if (atomic_read(&am->tracking) != 1 || b->noLoadFromAutoMap == 1) {
        putAMUse(am);
        closeAMS(b);
        *fate = AM_FATE_NEW;
        return 0;
    }
    if (memcmp(key, am->sessionKey, kesSessionKeySize) != 0) {
        printk(KERN_ERR "%s: session key mismatch%s", snapShotName, "\n");
        putAMUse(am);
        *fate = AM_FATE_KEY_MISMATCH;
        return 0;
    }
    if (b->disk.fsBlocks != am->map.numBlocks) {
        printk(KERN_WARNING "%s: device resize detected, device has (%u) blocks and automap has "
                            "(%u), resetting automap\n",
               snapShotName, (u32)b->disk.fsBlocks, am->map.numBlocks);
        atomic_set(&am->tracking, 0);
        putAMUse(am);
        closeAMS(b);
        *fate = AM_FATE_NEW;
        return 0;
    }
    /* A clear map left by an earlier attempt that failed later on is made anew. */
    closeBUBlockMap(b);
    result = newBlockMap(&b->buBlockMap, am->map.numBlocks, 0, 1, &pages);
    if (result) {
        putAMUse(am);
        printk(KERN_ERR "%s: failed to create new device map%s", snapShotName, "\n");
        return result;
    }
    addBackupPages(b, (int)pages);
    *amp = am;
    *fate = AM_FATE_KEEP;
    return 0;
}

/* Creates and registers a new automap for the Backup's device and takes a use of it in
 * *amp. Returns 0 or the status of newAMS. */
static int createAutoMap(Backup *b, AM **amp)
{
    int result = newAMS(b, amp);
    if (result) {
        printk(KERN_ERR "%s: new automap failed%s", snapShotName, "\n");
        *amp = NULL;
        return result;
    }
    getUse(&(*amp)->lock, &(*amp)->users);
    return 0;
}

/* Puts the snapshot request function in front of the device's queue. */
static int hookDevice(Backup *b)
{
    if (setMRF(b, kesMRF)) {
        printk(KERN_ERR "%s: device major=%d minor=%d not valid\n", snapShotName,
               MAJOR(b->disk.dev), MINOR(b->disk.dev));
        return KES_INVALID;
    }
    return 0;
}

/* Freezes the device's file system, recording when the freeze began (*t0) and ended (*t1).
 * Returns the frozen super block, or NULL (after undoing the attempt) when it could not be
 * frozen. */
static struct super_block *freezeDevice(Backup *b, struct timespec *t0, struct timespec *t1)
{
    printk(KERN_ERR "%s: Going to freez: %d.%d\n", snapShotName, MAJOR(b->disk.bdev->bd_dev),
           MINOR(b->disk.bdev->bd_dev));
    *t0 = current_kernel_time();
    struct super_block *sb = freeze_bdev(b->disk.bdev);
    *t1 = current_kernel_time();
    if (!sb) {
        thaw_bdev(b->disk.bdev, NULL);
        printk(KERN_ERR "%s: freeze_bdev could not freeze the device.%s", snapShotName, "\n");
    }
    return sb;
}

/* Thaws the device's file system and records how long the freeze took and how long the
 * device stayed frozen. */
static void thawDevice(Backup *b, struct super_block *sb, struct timespec t0, struct timespec t1)
{
    thaw_bdev(b->disk.bdev, sb);
    b->timeToFreeze = calcTimeDiff(t0, t1);
    b->timeFrozen = calcTimeDiff(t0, current_kernel_time());
}

int ioctlSnapShot(Backup *b, user_addr_t keyAddress, u32 keyLength)
{
    u8 key[kesSessionKeySize];
    struct timespec t0 = {0, 0}, t1 = {0, 0};
    struct super_block *sb;
    enum AutoMapFate fate;
    AM *am = NULL;
    int result;

    memset(key, 0, sizeof(key));
    down(&b->sem);
    down_read(&snapShotUsers);
    if (backupState(b) != BACKUP_STARTED) {
        result = KES_INVALID;
        goto unlock;
    }
    if (copy_from_user(key, keyAddress, keyLength < sizeof(key) ? keyLength : sizeof(key))) {
        printk(KERN_ERR "%s: copy from user space %s\n", snapShotName, "failed");
        result = KES_COPY_FROM_USER;
        goto unlock;
    }

    result = decideAutoMapFate(b, key, &am, &fate);
    if (result || fate == AM_FATE_KEY_MISMATCH)
        goto unlock;
    if (fate == AM_FATE_NEW) {
        result = createAutoMap(b, &am);
        if (result)
            goto unlock;
    }
    if (am) {
        renewSessionKey(am);
        putAMUse(am);
    }

    result = hookDevice(b);
    if (result)
        goto unlock;
    /* Requests that took the queue's own function before this hook are neither marked nor
     * copied: none may land after the switch below. */
    switch (waitForUnhookedRequests(getRequestQueue(&b->disk), &snapShotCancel)) {
    case 0:
        break;
    case -ETIMEDOUT:
        printk(KERN_ERR "%s: requests on the queue of device major=%d minor=%d did not complete "
                        "in %d seconds, snapshot not taken\n",
               __func__, MAJOR(b->disk.dev), MINOR(b->disk.dev), kesDrainSeconds);
        result = KES_INVALID;
        goto unlock;
    default:
        printk(KERN_ERR "%s: snapshot of device major=%d minor=%d cancelled while waiting for "
                        "the requests on its queue\n",
               __func__, MAJOR(b->disk.dev), MINOR(b->disk.dev));
        result = KES_INVALID;
        goto unlock;
    }
    sb = freezeDevice(b, &t0, &t1);
    if (!sb) {
        result = KES_INVALID;
        goto unlock;
    }
    if (switchAutoMap(b, am, fate == AM_FATE_KEEP)) {
        /* The agent then finds no changed-block map and backs the whole device up, as after
         * a new automap. */
        printk(KERN_WARNING "%s: automap of device major=%d minor=%d stopped during the "
                            "snapshot, no changed-block map, automap restarted\n",
               snapShotName, MAJOR(b->disk.dev), MINOR(b->disk.dev));
        closeBUBlockMap(b);
    }
    thawDevice(b, sb, t0, t1);

unlock:
    up_read(&snapShotUsers);
    up(&b->sem);
    return result;
}

} // namespace kes
