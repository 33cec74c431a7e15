/*
 * Request interception: the registry of request queues whose make_request_fn the module has
 * replaced, the change-tracking request function kesAMRF, and what the module's request
 * functions share: finding the device a request is for and marking written blocks in its
 * automap.
 *
 * A disk and all its partitions share one request queue, so one hook serves several
 * devices. For each hooked queue the registry keeps the function that was in place before
 * (realMRF, captured once) and the devices on it that the module serves. While a queue is in
 * the registry its make_request_fn is the module's function that setMRF last installed; when
 * its entry goes, realMRF is written back.
 *
 * Walkers of queueListHead (isInQueueList, getRealMRF, errorAMSDEV, countQueueAMS) raise
 * queueListUsers under queueListUsersLock, walk without a lock and lower it again. Changers
 * (addQueueToList, setMRF, unSetMRFDEV, unsetQueueMRFAMS) call waitForQueueListUsers and
 * hold queueListUsersLock for the whole change. Lock order: queueListUsersLock, then a
 * queue's own lock or amListUsersLock. Changers allocate and yield, so they run in process
 * context only.
 */
#ifndef KESTREL_INTERCEPT_INTERCEPT_H
#define KESTREL_INTERCEPT_INTERCEPT_H

#include "platform/kernel.h"
#include "platform/shim.h"
#include "shared/backup.h"

namespace kes {

struct AM;

/* One hooked device of a queue. */
struct DevListEntry {
    u32 dev;
    struct list_head list;      /* in its QueueListEntry's devList */
};

/* One hooked request queue. Reached only through queueListHead. */
struct QueueListEntry {
    request_queue_t *queue;     /* the key */
    make_request_fn *realMRF;   /* the queue's function when the entry was made; never changed */
    struct list_head devList;   /* DevListEntry, in the order added; never empty */
    struct list_head list;      /* in queueListHead */
    /* 1 once no request that took the queue's own function before the hook can still be on
     * its way (waitForUnhookedRequests); 0 from the entry's creation until then. */
    atomic_t settled;
    /* 1 while waitForUnhookedRequests waits for the queue: the module's request functions
     * hold new requests back. Set and cleared by that wait, as a walker. */
    atomic_t draining;
};

extern struct list_head queueListHead; /* changed under queueListUsersLock with
                                          queueListUsers at 1; walked inside queueListUsers */
extern atomic_t queueListUsers;        /* 1 + walkers in progress */
extern spinlock_t queueListUsersLock;  /* taken with interrupts off */
extern atomic_t queuesDraining;        /* entries whose draining is 1: the request functions
                                          look for their queue only when it is not 0 */

/* ------------------------------------------------------------ registry (intercept/registry.cpp) */

/* Returns when no walker is in progress, holding queueListUsersLock with interrupts off
 * (previous state in *flags). Polls; process context only. */
void waitForQueueListUsers(unsigned long *flags);
/* 1 when dev is on the entry's devList; 0 otherwise or without an entry. Caller is a walker
 * or a changer. */
int isInDevList(QueueListEntry *qe, u32 dev);
/* Appends de (filled with dev) to the entry's devList: 1; 0 without an entry or when dev is
 * already listed (de then stays the caller's). Caller is a changer. */
int addDevToList(QueueListEntry *qe, u32 dev, DevListEntry *de);
/* 1 when the queue is hooked and dev is listed on it. */
int isInQueueList(request_queue_t *q, u32 dev);
/* Lists dev on the queue, hooking the queue in the registry first if needed (its current
 * function becomes realMRF; the function itself is not changed). May sleep. */
void addQueueToList(request_queue_t *q, u32 dev);
/* Lists the Backup's device on its queue and installs fn there: 0; 1 when the device has no
 * request queue (nothing changed). May sleep. */
int setMRF(Backup *b, make_request_fn *fn);
/*
 * For a hooked queue whose entry is not settled yet: waits until no request that took the
 * queue's own function before the hook can still be on its way, holding the queue's new
 * requests back in the module's request functions meanwhile. 0 when done (the entry is then
 * settled) or when there was nothing to wait for; -ETIMEDOUT when the queue did not become
 * idle in time (a disk that does not complete its requests); -EINTR when *cancel became
 * non-zero or a signal is pending. The entry stays unsettled on failure. Process context,
 * holding no spin lock; sleeps, bounded.
 */
int waitForUnhookedRequests(request_queue_t *q, atomic_t *cancel);
/* How long waitForUnhookedRequests waits at most. */
static const int kesDrainSeconds = 30;
/* Returns once waitForUnhookedRequests no longer holds q's requests back. The module's
 * request functions call it first. May sleep (bounded by that wait). */
void waitWhileQueueDrains(request_queue_t *q);
/* Takes the device off its queue's list; the queue's last device gives the queue its real
 * function back. May sleep. */
void unSetMRFDEV(DiskInfo *disk);
void unSetMRFAMS(AM *am);
/* The function a request on q is passed on to: the queue's realMRF when it is hooked, else
 * its current function; NULL without a queue. */
make_request_fn *getRealMRF(request_queue_t *q);
/* Stops the automaps of every device listed on q, unlists them and gives q its real
 * function back. May sleep. */
void unsetQueueMRFAMS(request_queue_t *q);
/* Gives every queue still in the registry its real function back and empties the registry;
 * for module unload, when no backup can be running. May sleep. */
void unsetAllQueueMRFAMS(void);
/* Stops the automaps of every device listed on the queue that lists dev; unhooks nothing. */
void errorAMSDEV(u32 dev);
/* How many devices listed on q have an automap, tracking or not. */
int countQueueAMS(request_queue_t *q);
/* The request queue of the device's disk, or NULL. */
request_queue_t *getRequestQueue(DiskInfo *disk);
/* After a copy-on-write failure: stops the automap of the Backup's device and leaves its
 * queue with kesAMRF when other automaps remain on it, else with its real function. */
void errorAMS(Backup *b);

/* ------------------------------------------------------------ change tracking (intercept/tracking.cpp) */

/* The devices a request reaches. */
struct RequestDevs {
    u32 major;
    u32 minor;          /* the device the request is for: the partition holding its first
                           sector, else the disk (the disk when exact is 0) */
    u32 diskMinor;      /* the disk's own minor */
    int exact;          /* 1: found in the partition table; 0: the table was being changed,
                           and touched names every device of the disk */
    u32 touched[8];     /* bit i: the request may reach partition i (i < 256; 0 is the disk) */
};

/*
 * Finds the devices of the request's disk that the request reaches, reading the partition
 * table under the disk's bd_sem. bd_sem is tried, never waited for: the kernel holds it
 * while it re-reads the table (reading the table's sector, and first flushing the disk's
 * dirty buffers) and while it closes the disk's device (flushing them too), and those
 * requests reach the request functions on the thread that holds it. Returns 0 with the
 * devices found; 1 when bd_sem was taken (*out is then not exact).
 */
int lookupRequestDevs(struct bio *bio, RequestDevs *out);
/*
 * The blocks of the device described by disk that the sectors [sector, sector + size/512)
 * reach, counted from the device's start and cut at its end: *first to *last inclusive
 * (nothing when *first > *last).
 */
void requestBlockRange(const DiskInfo *disk, sector_t sector, u32 size, u32 *first, u32 *last);
/* Sets the request's blocks in am's map while it tracks; a block outside the map stops the
 * tracking. The caller holds a use of am. Does not sleep: the completion of a write calls
 * it too. */
void updateAM(AM *am, sector_t sector, u32 size);
/* Marks a write of size bytes at sector in the automap of every device it reaches: each
 * touched device, or, when the lookup was not exact, each whose automap's own record of its
 * sectors the write overlaps. Does not sleep. */
void markWrite(const RequestDevs *devs, sector_t sector, u32 size);

/* ------------------------------------------------------------ write completions (intercept/completion.cpp) */

/* A write on its way to the disk, as its completion will mark it again. */
struct TrackedWrite {
    RequestDevs devs;            /* the devices it reaches, from its submission */
    sector_t sector;             /* its first sector and length at submission: the */
    u32 size;                    /*   completion has moved the bio's own past the end */
    bio_end_io_t *endIO;         /* the submitter's completion and its data, given back */
    void *endIOPrivate;          /*   to the bio before the submitter's completion runs */
};

enum { TRACKED_WRITE_RESERVE = 16 };
/* Records for when memory is short; bit i of trackedWriteReserveUsed set while record i
 * is in use (atomic bit operations, from any context). */
extern TrackedWrite trackedWriteReserve[TRACKED_WRITE_RESERVE];
extern unsigned long trackedWriteReserveUsed;

/*
 * Makes the write's completion mark it again in the automaps of the devices it reaches
 * (devs, sector and size as the request functions found them): the bio's completion is
 * wrapped, the submitter's runs afterwards unchanged. Call before the bio can be passed on
 * or handed to the worker. Allocates without starting I/O and may yield until a record is
 * free; process context.
 */
void trackWriteCompletion(struct bio *bio, const RequestDevs *devs, sector_t sector, u32 size);
/* The wrapping completion: marks, gives the bio its own completion back and calls it. */
int kesTrackedWriteEndIO(struct bio *bio, unsigned int bytesDone, int error);

/* The change-tracking request function: marks writes and passes every request on. */
int kesAMRF(request_queue_t *q, struct bio *bio);

} // namespace kes

#endif /* KESTREL_INTERCEPT_INTERCEPT_H */
