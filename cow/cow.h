/*
 * Copy-on-write of old blocks: whether a request must be held back until the old contents
 * of its blocks are saved, and the copy itself.
 */
#ifndef KESTREL_COW_COW_H
#define KESTREL_COW_COW_H

#include "cow/workqueue.h"
#include "shared/backup.h"
#include "platform/kernel.h"

namespace kes {

/* Offers a request to copy-on-write, in the submitter's context: 1 when it was queued for
 * the worker (the caller must not pass it on nor touch it again), 0 to pass it on now, -1
 * when it had to be held back but could not be queued (the backup failed; pass it on).
 * The request is the running backup's when it is for the backed-up device (minor, as the
 * partition lookup found it) or when its sectors reach that device's sectors on the same
 * disk: a write to the whole disk that runs into the backed-up partition, or any request
 * when the whole disk is backed up. */
int cacheMRFBlock(struct request_queue *q, struct bio *bio, u32 minor);
/* 1 when any block of first..last (inclusive) still needs its old contents copied. */
int doWeCacheBlocks(Backup *b, u32 first, u32 last);
int doWeCacheBlock(Backup *b, u32 block);
/* Copies one old block into the cache (worker only); failures fail the Backup. */
void cacheBlock(Backup *b, MR *mr, u32 block);
/* The snapshot request function: offers every request to copy-on-write first (a request
 * taken over returns 0 and goes on later, from the worker), marks writes like kesAMRF and
 * passes the rest on. */
int kesMRF(request_queue_t *q, struct bio *bio);
/* Waits until no request is still deciding about this Backup; the Backup is no longer the
 * active one, so no new request can find it. */
void waitForBackupRequestUsers(Backup *b);

} // namespace kes

#endif /* KESTREL_COW_COW_H */
