/*
 * The registry of hooked request queues.
 */
#include "automap/automap.h"
#include "intercept/intercept.h"
#include "base/users.h"

namespace kes {

request_queue_t *getRequestQueue(DiskInfo *disk) { return kesGetRequestQueue(disk->bdev); }

void waitForQueueListUsers(unsigned long *flags)
{
    waitForUsers(&queueListUsersLock, &queueListUsers, flags);
}

static void enterQueueList(void) { getUse(&queueListUsersLock, &queueListUsers); }

static void leaveQueueList(void) { putUse(&queueListUsers); }

/* A zeroed registry record. Registry records are small and needed to keep the hooks right,
 * so a failed allocation is retried after yielding until it succeeds. May sleep. */
static void *allocRecord(size_t size)
{
    void *p;

    while (!(p = kmalloc(size, GFP_NOIO)))
        schedule();
    memset(p, 0, size);
    return p;
}

/* The queue's entry. Caller is a walker or a changer. */
static QueueListEntry *findQueueEntry(request_queue_t *q)
{
    struct list_head *p;

    list_for_each(p, &queueListHead) {
        QueueListEntry *qe = list_entry(p, QueueListEntry, list);
        if (qe->queue == q)
            return qe;
    }
    return NULL;
}

/* Installs fn on the queue. Caller holds queueListUsersLock as a changer. */
static void setQueueMRF(request_queue_t *q, make_request_fn *fn)
{
    unsigned long flags;

    kesLockRequestQueue(q, &flags);
    q->make_request_fn.store(fn);
    kesUnlockRequestQueue(q, flags);
}

int isInDevList(QueueListEntry *qe, u32 dev)
{
    struct list_head *p;

    if (!qe)
        return 0;
    list_for_each(p, &qe->devList) {
        if (list_entry(p, DevListEntry, list)->dev == dev)
            return 1;
    }
    return 0;
}

int addDevToList(QueueListEntry *qe, u32 dev, DevListEntry *de)
{
    if (!qe || isInDevList(qe, dev))
        return 0;
    de->dev = dev;
    list_add_tail(&de->list, &qe->devList);
    return 1;
}

/*
 * Lists dev on q, making q's entry from *qe when q has none. Each record that gets linked
 * is taken from the caller (its pointer set to NULL); the rest stay the caller's. Caller
 * holds queueListUsersLock as a changer.
 */
static void addQueueLocked(request_queue_t *q, u32 dev, QueueListEntry **qe, DevListEntry **de)
{
    QueueListEntry *entry = findQueueEntry(q);

    if (!entry) {
        unsigned long flags;

        entry = *qe;
        *qe = NULL;
        entry->queue = q;
        kesLockRequestQueue(q, &flags);
        entry->realMRF = q->make_request_fn.load();
        kesUnlockRequestQueue(q, flags);
        atomic_set(&entry->settled, 0);
        atomic_set(&entry->draining, 0);
        INIT_LIST_HEAD(&entry->devList);
        list_add_tail(&entry->list, &queueListHead);
    }
    if (addDevToList(entry, dev, *de))
        *de = NULL;
}

int isInQueueList(request_queue_t *q, u32 dev)
{
    int found;

    if (!q)
        return 0;
    enterQueueList();
    found = isInDevList(findQueueEntry(q), dev);
    leaveQueueList();
    return found;
}

void addQueueToList(request_queue_t *q, u32 dev)
{
    QueueListEntry *qe;
    DevListEntry *de;
    unsigned long flags;

    if (!q) {
        printk(KERN_ERR "%s: Could not add queue to list (null).%s", __func__, "\n");
        return;
    }
    /* Allocated before the lock: nothing is allocated with interrupts off. */
    qe = (QueueListEntry *)allocRecord(sizeof(*qe));
    de = (DevListEntry *)allocRecord(sizeof(*de));

    waitForQueueListUsers(&flags);
    addQueueLocked(q, dev, &qe, &de);
    spin_unlock_irqrestore(&queueListUsersLock, flags);

    kfree(qe);
    kfree(de);
}

/* How often waitForUnhookedRequests looks at its queue, and for how long at most. */
static const unsigned drainPollMs = 10;
static const unsigned drainLimitMs = kesDrainSeconds * 1000;

/* Whether q is hooked and its entry is draining. */
static int queueDraining(request_queue_t *q)
{
    QueueListEntry *qe;
    int draining;

    enterQueueList();
    qe = findQueueEntry(q);
    draining = qe && atomic_read(&qe->draining);
    leaveQueueList();
    return draining;
}

void waitWhileQueueDrains(request_queue_t *q)
{
    while (atomic_read(&queuesDraining) && queueDraining(q))
        msleep(drainPollMs);
}

/* Starts a drain of q: 1 when q is hooked and not settled (its entry is then draining). */
static int startQueueDrain(request_queue_t *q)
{
    QueueListEntry *qe;
    int start;

    enterQueueList();
    qe = findQueueEntry(q);
    start = qe && !atomic_read(&qe->settled);
    if (start) {
        atomic_set(&qe->draining, 1);
        atomic_inc(&queuesDraining);
    }
    leaveQueueList();
    return start;
}

/* Ends a drain of q, settling its entry when the drain succeeded. An entry dropped
 * meanwhile took its count out of queuesDraining (dropQueueEntry). */
static void endQueueDrain(request_queue_t *q, int settled)
{
    QueueListEntry *qe;

    enterQueueList();
    qe = findQueueEntry(q);
    if (qe && atomic_read(&qe->draining)) {
        if (settled)
            atomic_set(&qe->settled, 1);
        atomic_set(&qe->draining, 0);
        atomic_dec(&queuesDraining);
    }
    leaveQueueList();
}

/*
 * Whether the queue holds no request and no submitter sleeps for one. Between reading the
 * queue's function and queueing its request, a submitter may sleep only for a request (or
 * for memory on the way to one, or for a bounce buffer); once queued, its request is
 * counted until the driver has ended it.
 */
static int queueIdle(request_queue_t *q)
{
    unsigned long flags;
    int idle;

    kesLockRequestQueue(q, &flags);
    idle = !q->rq.count[READ] && !q->rq.count[WRITE] && !waitqueue_active(&q->rq.wait[READ]) &&
           !waitqueue_active(&q->rq.wait[WRITE]);
    kesUnlockRequestQueue(q, flags);
    return idle;
}

/*
 * Requests that took the queue's own function before its first hook pass no module
 * function: neither copy-on-write nor the automaps see them, and one that lands after a
 * snapshot's switch leaves the backup with either contents and no changed-block map naming
 * its block. So before the snapshot's switch:
 *  - a grace period lets every submitter still running between its read of the function
 *    and the driver hand its request on (or go to sleep);
 *  - with the queue's new requests held back in the request functions, the queue is
 *    watched until it has been seen idle twice, a poll apart: no request allocated (so none
 *    queued or at the driver) and no submitter asleep for one. The second look lets a
 *    submitter that a freed request woke run first.
 * The held-back requests need nothing of the queue, so the wait ends once the driver has
 * ended what it has; a driver that ends nothing makes it time out. A queue whose driver
 * takes bios itself (a stacked driver) has no request list to watch: the grace period is
 * all there is.
 */
int waitForUnhookedRequests(request_queue_t *q, atomic_t *cancel)
{
    unsigned waited = 0;
    int seenIdle = 0, result = 0;

    if (!q || !startQueueDrain(q))
        return 0;
    synchronize_kernel();
    while (q->request_fn) {
        if (atomic_read(cancel) || signal_pending(current)) {
            result = -EINTR;
            break;
        }
        if (!queueIdle(q))
            seenIdle = 0;
        else if (++seenIdle == 2)
            break;
        if (waited >= drainLimitMs) {
            result = -ETIMEDOUT;
            break;
        }
        msleep_interruptible(drainPollMs);
        waited += drainPollMs;
    }
    endQueueDrain(q, result == 0);
    return result;
}

/*
 * The function is written in the same locked section that finds the device listed. Were
 * the listing and the write separate steps, a changer in between could unlist the queue's
 * last device and restore its real function, and the write would then leave a module
 * function on a queue the registry no longer knows: its requests would find no real
 * function but the module's own.
 */
int setMRF(Backup *b, make_request_fn *fn)
{
    request_queue_t *q = getRequestQueue(&b->disk);
    u32 dev = b->disk.dev;
    QueueListEntry *qe = NULL, *entry;
    DevListEntry *de = NULL;
    unsigned long flags;
    int listed;

    if (!q)
        return 1;
    listed = isInQueueList(q, dev);
    for (;;) {
        if (!listed) {
            qe = (QueueListEntry *)allocRecord(sizeof(*qe));
            de = (DevListEntry *)allocRecord(sizeof(*de));
        }
        waitForQueueListUsers(&flags);
        if (!listed)
            addQueueLocked(q, dev, &qe, &de);
        /* A device found listed before the lock may have been unlisted since; then it
         * is listed again in the next round. */
        entry = findQueueEntry(q);
        listed = isInDevList(entry, dev);
        if (listed)
            setQueueMRF(q, fn);
        spin_unlock_irqrestore(&queueListUsersLock, flags);
        if (listed)
            break;
    }
    kfree(qe);
    kfree(de);
    return 0;
}

/* Unlinks and frees the entry and its device records; returns its realMRF. Caller holds
 * queueListUsersLock as a changer. */
static make_request_fn *dropQueueEntry(QueueListEntry *qe)
{
    make_request_fn *real = qe->realMRF;
    struct list_head *p, *n;

    if (atomic_read(&qe->draining))
        atomic_dec(&queuesDraining);

    list_for_each_safe(p, n, &qe->devList) {
        list_del(p);
        kfree(list_entry(p, DevListEntry, list));
    }
    list_del(&qe->list);
    kfree(qe);
    return real;
}

void unSetMRFDEV(DiskInfo *disk)
{
    request_queue_t *q = getRequestQueue(disk);
    make_request_fn *real = NULL;
    QueueListEntry *qe;
    unsigned long flags, qflags;

    if (!q) {
        printk(KERN_WARNING "%s: Unable to get request queue for MAJOR=%d, MINOR=%d while "
                            "unsetting MRF.",
               __func__, MAJOR(disk->dev), MINOR(disk->dev));
        return;
    }
    waitForQueueListUsers(&flags);
    qe = findQueueEntry(q);
    if (qe) {
        struct list_head *p, *n;

        list_for_each_safe(p, n, &qe->devList) {
            DevListEntry *de = list_entry(p, DevListEntry, list);
            if (de->dev == disk->dev) {
                list_del(p);
                kfree(de);
            }
        }
        if (list_empty(&qe->devList))
            real = dropQueueEntry(qe);
    }
    kesLockRequestQueue(q, &qflags);
    if (real && q->make_request_fn.load() != real)
        q->make_request_fn.store(real);
    kesUnlockRequestQueue(q, qflags);
    spin_unlock_irqrestore(&queueListUsersLock, flags);
}

void unSetMRFAMS(AM *am) { unSetMRFDEV(&am->disk); }

make_request_fn *getRealMRF(request_queue_t *q)
{
    make_request_fn *real = NULL;
    struct list_head *p;

    if (!q) {
        printk(KERN_WARNING "%s: Can't get MRF on NULL queue.%s", __func__, "\n");
        return NULL;
    }
    enterQueueList();
    list_for_each(p, &queueListHead) {
        QueueListEntry *qe = list_entry(p, QueueListEntry, list);
        if (qe->queue == q && qe->realMRF) {
            real = qe->realMRF;
            break;
        }
    }
    if (!real) {
        /* Not hooked: the queue's own function is the real one. Still inside the walk, so
         * no changer can hook the queue in between. */
        unsigned long flags;

        kesLockRequestQueue(q, &flags);
        real = q->make_request_fn.load();
        kesUnlockRequestQueue(q, flags);
    }
    leaveQueueList();
    return real;
}

/* Stops the automaps of the entry's devices. Caller is a walker or a changer. */
static void stopQueueAMS(QueueListEntry *qe)
{
    struct list_head *p;

    enterAMList();
    list_for_each(p, &qe->devList)
        stopAMTrackingInList(list_entry(p, DevListEntry, list)->dev);
    leaveAMList();
}

void unsetQueueMRFAMS(request_queue_t *q)
{
    QueueListEntry *qe;
    unsigned long flags;

    if (!q) {
        printk(KERN_ERR "%s: Could not unset MRFS for request queue because queue was null.%s",
               __func__, "\n");
        return;
    }
    waitForQueueListUsers(&flags);
    qe = findQueueEntry(q);
    if (qe) {
        stopQueueAMS(qe);
        setQueueMRF(q, dropQueueEntry(qe));
    }
    spin_unlock_irqrestore(&queueListUsersLock, flags);
}

void unsetAllQueueMRFAMS(void)
{
    unsigned long flags;

    waitForQueueListUsers(&flags);
    while (!list_empty(&queueListHead)) {
        QueueListEntry *qe = list_entry(queueListHead.next, QueueListEntry, list);
        request_queue_t *q = qe->queue;

        stopQueueAMS(qe);
        setQueueMRF(q, dropQueueEntry(qe));
    }
    spin_unlock_irqrestore(&queueListUsersLock, flags);
}

void errorAMSDEV(u32 dev)
{
    struct list_head *p;

    enterQueueList();
    list_for_each(p, &queueListHead) {
        QueueListEntry *qe = list_entry(p, QueueListEntry, list);
        if (isInDevList(qe, dev)) {
            stopQueueAMS(qe);
            break;
        }
    }
    leaveQueueList();
}

int countQueueAMS(request_queue_t *q)
{
    QueueListEntry *qe;
    int count = 0;

    if (!q) {
        printk(KERN_ERR "%s: Could not count ams sessions for request queue because queue "
                        "was null.%s",
               __func__, "\n");
        return 0;
    }
    enterQueueList();
    qe = findQueueEntry(q);
    if (qe) {
        struct list_head *p;

        enterAMList();
        list_for_each(p, &qe->devList) {
            AM **slot = amSlot(list_entry(p, DevListEntry, list)->dev);
            if (slot && *slot)
                count++;
        }
        leaveAMList();
    }
    leaveQueueList();
    return count;
}

void errorAMS(Backup *b)
{
    request_queue_t *q;
    int had;

    enterAMList();
    had = stopAMTrackingInList(b->disk.dev);
    leaveAMList();

    /* Other automaps on the queue still want its writes: keep kesAMRF there. */
    q = getRequestQueue(&b->disk);
    if (countQueueAMS(q) > had) {
        if (setMRF(b, kesAMRF) == 0)
            return;
        errorAMSDEV(b->disk.dev);
    }
    unsetQueueMRFAMS(getRequestQueue(&b->disk));
}

} // namespace kes
