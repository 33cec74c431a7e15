/*
 * The queue of held-back requests and the kbackupd worker. A request that would overwrite a
 * block the snapshot still needs is wrapped in an MR and queued; the single worker thread
 * takes the items in arrival order, copies the old blocks into the cache, passes the request
 * on and marks the blocks as dealt with.
 */
#ifndef KESTREL_COW_WORKQUEUE_H
#define KESTREL_COW_WORKQUEUE_H

#include "shared/backup.h"
#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"

namespace kes {

struct MR {
    struct bio *bio; /* owned by the queue until it is passed on */
    u32 firstBlock;  /* inclusive range of partition-relative blocks */
    u32 lastBlock;
    MR *next;        /* the Backup's mrLock */
};

/* The worker's process id: 0 when not running, negative after a failed start. Written by
 * the agent's thread under the running Backup's sem, read by the drain. */
extern atomic_t backup_cachePID;
/* 1 while the worker must keep running. */
extern atomic_t backup_cacheThreadContinue;
extern struct completion backup_cacheThreadStartCompleted;
extern struct completion backup_cacheThreadExited;

/* Queues a request for the worker: 0, or 5 when no item could be allocated. */
int newMR(Backup *b, struct bio *bio, u32 firstBlock, u32 lastBlock);
void addMRToQueue(Backup *b, MR *mr);
/* The oldest item, unlinked, or NULL. */
MR *getTopMR(Backup *b);
/* Copies the old blocks of a held-back write, passes the request on, marks the blocks and
 * frees the item. Worker only. */
void processMR(Backup *b, MR *mr);
void closeMR(MR *mr);
/* Starts the worker and waits until it runs: 0, or the negative error of the creation. */
int startWorkQueue(Backup *b);
/* Returns once every queued request has been passed on. */
void flushWorkQueue(Backup *b);
/* Waits until no item is pending or the worker is gone; returns holding mrLock with the
 * interrupt state saved in *flags. */
void waitForMRs(Backup *b, unsigned long *flags);
/* Stops the worker this Backup started and waits for it to exit. */
void killWorkQueue(Backup *b);

} // namespace kes

#endif /* KESTREL_COW_WORKQUEUE_H */
