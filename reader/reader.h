/*
 * The block reader: reads file-system blocks of the backed-up device straight from the
 * device, past the module's own request hooks, one bio carrying one buffer head per block.
 * The read-blocks command submits up to a mapped buffer's worth at once and then waits for
 * all of them; the copy-on-write worker reads one old block at a time.
 */
#ifndef KESTREL_READER_READER_H
#define KESTREL_READER_READER_H

#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "shared/backup.h"

namespace kes {

/* One block read of the read-blocks command; its buffer head is the bio's private data. */
struct BR {
    struct bio *bio;
};

/* The slots of brArray: one per block a mapped buffer can hold. */
static inline u32 brSlots(Backup *b) { return b->disk.blocksPerPage * (u32)b->maxBufferPages; }

/* Submits a request past the module's hooks, to the Backup's cached real function: the
 * reader's own reads, and the held-back writes the worker passes on. A bio whose device has
 * no queue is ended with -EIO. Returns 0. */
int callRealMRF(Backup *b, struct bio *bio);
/* Allocates brArray: 0, or 5. */
int allocateBlockRequests(Backup *b);
/* Requests come from the general allocator on this kernel generation: nothing to do. */
void allocateBRCache(Backup *b);
void closeBRCache(Backup *b);
/* Prepares a buffer head for reading block blockNum into page at offset: locked, requested
 * and mapped, completed by kesBHEndIO, one reference taken. */
void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, u32 blockNum);
/* Prepares a one-segment bio for the buffer head's block, completed by kesBIOEndIO, with one
 * extra reference so that the completion and the owner each release one. */
void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh);
/* Submits the disk reads of a run: every slot whose block the copy-on-write path has not
 * dealt with. Returns how many were submitted, or -1 when a block request could not be
 * allocated (the reads submitted before stay in their slots, to be waited for and freed). */
s32 readBlocks(Backup *b, u32 first, u32 count, struct page **pages);
/* 1 when slot of the run went to the disk: the reader holds a request for it. */
int isRequestSubmitted(Backup *b, u32 slot);
/* Waits for every submitted slot: 0, or 12 when a block could not be read (it arrives as
 * zeros). In state 6 each block counts as delivered. */
int waitForSubmitted(Backup *b, u32 first, u32 count);
/* Releases the requests of the first count slots; after waitForSubmitted. */
void freeSubmitted(Backup *b, u32 count);
void freeMMBRs(Backup *b);

/* Completions, in the driver's completion (interrupt) context. */
void kesBHEndIO(struct buffer_head *bh, int uptodate);
int kesBIOEndIO(struct bio *bio, unsigned int bytesDone, int error);

/* A buffer head and a one-segment bio for a block read, counted in the Backup's block
 * requests. The allocations never start I/O (writes to the device may be held back) and are
 * retried, yielding the processor, until they succeed. */
void allocBlockRead(Backup *b, struct buffer_head **bh, struct bio **bio);
/* Waits for a submitted buffer head and tells whether its block was read. */
int waitForBlockRead(struct buffer_head *bh, struct bio *bio);
/* Releases a request pair after its completion. */
void releaseBlockRead(Backup *b, struct buffer_head *bh, struct bio *bio);

} // namespace kes

#endif /* KESTREL_READER_READER_H */
