/*
 * The MR queue and the kbackupd worker thread.
 */
#include "cow/workqueue.h"

#include "blockmap/blockmap.h"
#include "cow/cow.h"
#include "intercept/intercept.h"
#include "reader/reader.h"
#include "shared/globals.h"

namespace kes {

int newMR(Backup *b, struct bio *bio, u32 firstBlock, u32 lastBlock)
{
    MR *mr = (MR *)kmalloc(sizeof(*mr), GFP_NOIO);
    if (!mr)
        return KES_NO_MEMORY;
    memset(mr, 0, sizeof(*mr));
    mr->bio = bio;
    mr->firstBlock = firstBlock;
    mr->lastBlock = lastBlock;
    mr->next = NULL;
    addMRToQueue(b, mr);
    return KES_OK;
}

void addMRToQueue(Backup *b, MR *mr)
{
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    if (!b->mrHead) {
        b->mrHead = mr;
        b->mrTail = mr;
    } else {
        b->mrTail->next = mr;
        b->mrTail = mr;
    }
    atomic_inc(&b->pendingMRs);
    spin_unlock_irqrestore(&b->mrLock, flags);
    up(&signalThread);
}

MR *getTopMR(Backup *b)
{
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    MR *mr = b->mrHead;
    if (mr) {
        if (mr == b->mrTail)
            b->mrTail = NULL;
        b->mrHead = mr->next;
        mr->next = NULL;
    }
    spin_unlock_irqrestore(&b->mrLock, flags);
    return mr;
}

void closeMR(MR *mr) { kfree(mr); }

void processMR(Backup *b, MR *mr)
{
    /* Read before the request is passed on: from then on it belongs to the block layer and
     * may complete and be freed at any moment. */
    int plainWrite = (mr->bio->bi_rw & 3) == WRITE;
    u64 first = mr->firstBlock, last = mr->lastBlock;
    if (plainWrite)
        for (u64 block = first; block <= last; block++)
            if (doWeCacheBlock(b, (u32)block))
                cacheBlock(b, mr, (u32)block);
    callRealMRF(b, mr->bio);
    if (plainWrite)
        for (u64 block = first; block <= last; block++)
            if (doWeCacheBlock(b, (u32)block))
                setBlock(&b->cacheMap, (u32)block);
    atomic_dec(&b->pendingMRs);
    closeMR(mr);
}

/* The Backup the worker works on: the running one, once it has taken its snapshot. */
static Backup *workerBackup(void)
{
    down_read(&activeSessionUsers);
    Backup *b = activeSession;
    up_read(&activeSessionUsers);
    return b && backupState(b) > BACKUP_STARTED ? b : NULL;
}

static int backup_cache(void *)
{
    daemonize("kbackupd");
    allow_signal(SIGKILL);
    printk(KERN_INFO "%s: kbackupd thread started%s", __func__, "\n");
    complete(&backup_cacheThreadStartCompleted);
    /* The thread only ends when asked to: a pending signal is not acted on, since held
     * writes may be waiting in the queue. It always takes a wake-up before it looks at
     * the continue flag, so the one killWorkQueue gives is consumed even when the stop
     * comes before the first wait, and the unit given back on the way out leaves the
     * semaphore where startWorkQueue found it. */
    for (;;) {
        down(&signalThread);
        if (atomic_read(&backup_cacheThreadContinue) != 1)
            break;
        Backup *b = workerBackup();
        if (b) {
            MR *mr = getTopMR(b);
            if (mr)
                processMR(b, mr);
        }
    }
    up(&signalThread);
    printk(KERN_INFO "%s: backupd thread exiting%s", __func__, "\n");
    complete_and_exit(&backup_cacheThreadExited, 0);
}

int startWorkQueue(Backup *b)
{
    down(&signalThread);
    atomic_set(&backup_cacheThreadContinue, 1);
    int pid = kernel_thread(backup_cache, NULL, 0);
    atomic_set(&backup_cachePID, pid);
    if (pid < 0) {
        printk(KERN_ERR "%s: error starting cache thread%s", __func__, "\n");
        /* Give back the unit taken above: no thread will, and a later start must not
         * sleep on it for ever. */
        up(&signalThread);
        return pid;
    }
    b->threadStarted = 1;
    wait_for_completion(&backup_cacheThreadStartCompleted);
    return 0;
}

void waitForMRs(Backup *b, unsigned long *flags)
{
    spin_lock_irqsave(&b->mrLock, *flags);
    while (atomic_read(&b->pendingMRs) > 0 && atomic_read(&backup_cachePID) > 0) {
        spin_unlock_irqrestore(&b->mrLock, *flags);
        schedule();
        spin_lock_irqsave(&b->mrLock, *flags);
    }
    if (atomic_read(&backup_cachePID) <= 0)
        printk(KERN_ERR "%s: backup_cache thread died during waitForMRs%s", __func__, "\n");
}

/* Passes on, unsaved, every request still queued when no worker is left to do it: writers
 * wait for their requests to complete. */
static void passOnQueue(Backup *b)
{
    MR *mr;
    while ((mr = getTopMR(b))) {
        callRealMRF(b, mr->bio);
        atomic_dec(&b->pendingMRs);
        closeMR(mr);
    }
}

void flushWorkQueue(Backup *b)
{
    if (atomic_read(&backup_cachePID) > 0) {
        unsigned long flags;
        waitForMRs(b, &flags);
        spin_unlock_irqrestore(&b->mrLock, flags);
    }
    if (atomic_read(&b->pendingMRs) > 0)
        passOnQueue(b);
}

void killWorkQueue(Backup *b)
{
    if (!b->threadStarted || atomic_read(&backup_cachePID) <= 0)
        return;
    atomic_set(&backup_cacheThreadContinue, 0);
    up(&signalThread);
    wait_for_completion(&backup_cacheThreadExited);
    atomic_set(&backup_cachePID, 0);
}

} // namespace kes
