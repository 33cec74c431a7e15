/*
 * Closing a backup: the only way a backup ends. The order matters: the queue leaves the
 * snapshot request function before the held-back writes are drained, and the worker stops
 * before the cache it fills is freed.
 */
#include "automap/automap.h"
#include "backup/session.h"
#include "blockmap/blockmap.h"
#include "cow/cache.h"
#include "cow/cow.h"
#include "cow/workqueue.h"
#include "intercept/intercept.h"
#include "platform/shim.h"
#include "reader/reader.h"
#include "shared/globals.h"

namespace kes {

/* Moves the device's queue off the snapshot request function: back to change tracking
 * while automaps remain on it, else to its real function. Under stateLock. */
static void releaseQueue(Backup *b)
{
    u32 dev = b->disk.dev;
    /* A start that failed before it held the device hooked nothing: the device's automap
     * (from an earlier backup) goes on as it was. */
    if (backupState(b) == BACKUP_IDLE && !b->disk.bdev)
        return;
    AM *am = getAMUse(dev);
    int hasAM = am != NULL;
    if (am) {
        int tracking = atomic_read(&am->tracking) == 1;
        putAMUse(am);
        if (tracking) {
            if (setMRF(b, kesAMRF) == 0)
                return;
            errorAMSDEV(dev);
        }
    }
    if (backupState(b) == BACKUP_IDLE)
        return;
    /* Other devices of the disk that keep automaps still want its writes. */
    request_queue_t *q = getRequestQueue(&b->disk);
    if (countQueueAMS(q) > hasAM) {
        if (setMRF(b, kesAMRF) == 0)
            return;
        errorAMSDEV(dev);
    }
    unsetQueueMRFAMS(q);
}

static void logStats(Backup *b)
{
    BackupStats *s = (BackupStats *)kmalloc(sizeof(*s), GFP_KERNEL);
    if (s) {
        memset(s, 0, sizeof(*s));
        setStats(b, s);
        printStats(s);
        kfree(s);
    }
    printk(KERN_INFO "%s: backup finished device major=%d minor=%d\n", "closeBackup",
           MAJOR(b->disk.dev), MINOR(b->disk.dev));
}

/*
 * The release of the last reference to the control device's file: no command, mapping or
 * mmap can reach the Backup any more, so nothing needs sem, and sem must not be taken: the
 * release may run inside an unmap, under the process's mmap_sem, which commands take (by
 * faulting) while they hold sem.
 */
void closeBackup(Backup *b)
{
    down_write(&b->stateLock);
    releaseQueue(b);

    /* A compare-and-swap like every other phase change: a failure of the worker or the
     * request path that lands meanwhile stays, and is the state the statistics report. */
    u32 stateAtClose = backupState(b);
    if (stateAtClose <= BACKUP_MAP_LOADED)
        advanceBackup(b, BACKUP_CLOSING);
    flushWorkQueue(b);

    /* Only the running backup's own close switches copy-on-write off. */
    down_write(&activeSessionUsers);
    if (activeSession == b)
        activeSession = NULL;
    up_write(&activeSessionUsers);
    killWorkQueue(b);

    freeAllMMPages(b);
    freeMMBRs(b);
    closeCache(b);
    closeBRCache(b);
    closeDiskInfo(&b->disk);
    closeBUBlockMap(b);
    closeCacheMap(b);
    closeBlockTable(b);

    if (stateAtClose != BACKUP_IDLE)
        logStats(b);
    atomic_cmpxchg(&b->state, BACKUP_CLOSING, BACKUP_IDLE);
    up_write(&b->stateLock);

    /* Only the holder gives the backup slot back. */
    unsigned long flags;
    spin_lock_irqsave(&busyLock, flags);
    if (busyHolder == b) {
        busy = 0;
        busyHolder = NULL;
    }
    spin_unlock_irqrestore(&busyLock, flags);

    waitForBackupRequestUsers(b);
    kfree(b);
}

} // namespace kes
