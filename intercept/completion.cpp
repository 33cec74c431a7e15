/*
 * Marking a write again when it completes.
 *
 * The request functions mark a write in the automaps when it passes them. A write can then
 * stay on its way to the disk for a while (held by a slow driver or an I/O scheduler below
 * the module) and a snapshot can hand the marked bits to a backup meanwhile. If the agent
 * reads the block before the write lands, the backup has the old contents, and the automap,
 * which records afresh from the snapshot on, never saw the write: every later incremental
 * would miss it. So each write that passes a request function carries a record that marks
 * its blocks once more when it completes, into the pages the automaps have at that moment.
 * A write that completes after a snapshot is therefore in the next changed-block map; one
 * that completed before is in the bits the snapshot handed over.
 *
 * The completion runs in the driver's completion (interrupt) context: it marks with
 * setBlock, which does not sleep, allocates nothing and frees the record. The record is
 * allocated when the write is submitted, without starting I/O; when memory is short a small
 * reserve serves, and when that is in use too the submitter yields until a completion gives
 * one back, as the kernel's memory pools do. Each record holds a reference on the module,
 * so the module cannot go while a completion of its own is still to run.
 */
#include "intercept/intercept.h"
#include "platform/shim.h"

namespace kes {

static int isReserveRecord(const TrackedWrite *tw)
{
    return tw >= trackedWriteReserve && tw < trackedWriteReserve + TRACKED_WRITE_RESERVE;
}

static TrackedWrite *allocTrackedWrite(void)
{
    for (;;) {
        TrackedWrite *tw = (TrackedWrite *)kmalloc(sizeof(*tw), GFP_NOIO);
        if (tw)
            return tw;
        for (int i = 0; i < TRACKED_WRITE_RESERVE; i++)
            if (!test_and_set_bit(i, &trackedWriteReserveUsed))
                return &trackedWriteReserve[i];
        schedule();
    }
}

/* Callable from the completion context. */
static void freeTrackedWrite(TrackedWrite *tw)
{
    if (isReserveRecord(tw))
        clear_bit((int)(tw - trackedWriteReserve), &trackedWriteReserveUsed);
    else
        kfree(tw);
}

void trackWriteCompletion(struct bio *bio, const RequestDevs *devs, sector_t sector, u32 size)
{
    /* A module that is going away closes every automap: nothing is left to mark. */
    if (kesModGet())
        return;
    TrackedWrite *tw = allocTrackedWrite();
    tw->devs = *devs;
    tw->sector = sector;
    tw->size = size;
    tw->endIO = bio->bi_end_io;
    tw->endIOPrivate = bio->bi_private;
    bio->bi_private = tw;
    bio->bi_end_io = kesTrackedWriteEndIO;
}

/*
 * A piece that leaves bytes outstanding is not passed on: the submitter hears of the write
 * once, when it is whole, with the error state of every piece in BIO_UPTODATE. The
 * submitter's completion is called last: it may wake a waiter that frees the bio at once.
 */
int kesTrackedWriteEndIO(struct bio *bio, unsigned int bytesDone, int error)
{
    TrackedWrite *tw = (TrackedWrite *)bio->bi_private;

    if (bio->bi_size)
        return 1;
    markWrite(&tw->devs, tw->sector, tw->size);
    bio_end_io_t *endIO = tw->endIO;
    bio->bi_end_io = endIO;
    bio->bi_private = tw->endIOPrivate;
    freeTrackedWrite(tw);
    kesModPut();
    return endIO ? endIO(bio, bytesDone, error) : 0;
}

} // namespace kes
