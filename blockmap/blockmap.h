/*
 * Block map: a bitmap with one bit per file-system block, kept in separately allocated
 * 4096-byte pages (32768 blocks a page). Block b lives in page b >> 15, byte
 * (b & 0x7FFF) >> 3 of that page, bit b & 7 (bit 0 the least significant). The same byte
 * layout is used for every bitmap exchanged with the agent.
 */
#ifndef KESTREL_BLOCKMAP_BLOCKMAP_H
#define KESTREL_BLOCKMAP_BLOCKMAP_H

#include "platform/kernel.h"

namespace kes {

struct BlockMap {
    u32 numBlocks;        /* blocks (bits) covered; 0 while closed */
    u32 bytesInMap;       /* (numBlocks + 7) / 8 */
    struct page **pages;  /* one per 4096 bytes of bitmap; NULL while closed */
    atomic_t users;       /* 1 when idle, +1 per operation in progress; raised under usersLock */
    spinlock_t usersLock; /* guards the raising of users; taken with interrupts off */
    struct semaphore sem; /* held around every access to the bits */
};

/*
 * Creates map for numBlocks blocks. With a user buffer (nonzero address) the bitmap bytes
 * are copied from it; without one every bit is cleared when clear is 1 and set otherwise.
 * On success writes the number of pages allocated to *pagesOut and returns 0; on failure
 * returns 2 (invalid size, or the map is still open: the record is untouched), 5 (out of
 * memory) or 6 (the user buffer is unreadable), leaves *pagesOut alone and leaves the map
 * closed. The map must be closed (or zeroed) on entry. Copies from user space run in the
 * calling process. May sleep.
 */
int newBlockMap(BlockMap *map, u32 numBlocks, user_addr_t userBuffer, int clear, u32 *pagesOut);
/* Frees an open map's pages and page array, writes its page count to *pagesOut and marks it
 * closed; does nothing to a closed map. Takes no lock: nobody else may reach the map. */
void closeBlockMap(BlockMap *map, u32 *pagesOut);
/* Page slots of the map: 0 when it has no page array. */
u32 numPagesInBlockMap(BlockMap *map);
/* -1 when the block's bit is set; 0 when clear or when block >= numBlocks. May sleep. */
s32 blockInMap(BlockMap *map, u32 block);
/* Sets the bit: 0, or the block number itself (nothing changed) when block >= numBlocks.
 * Never sleeps: callable from the completion (interrupt) context. */
u32 setBlock(BlockMap *map, u32 block);
/* Clears the bit: 0, or 1 (nothing changed) when block >= numBlocks. */
s32 unSetBlock(BlockMap *map, u32 block);
/* Returns once the caller is the map's only user (users == 1), holding usersLock with
 * interrupts off and the saved state in *flags; the caller must not sleep before it releases
 * it with spin_unlock_irqrestore. Polls, yielding between tests unless the caller already
 * runs with interrupts off (then it only drops and retakes the lock). */
void waitForBlockMapUsers(BlockMap *map, unsigned long *flags);
/* Take and give back a use of a map whose pages the caller reads itself: raised under
 * usersLock with interrupts off, lowered with one atomic decrement. */
void getBlockMapUse(BlockMap *map);
void putBlockMapUse(BlockMap *map);

} // namespace kes

#endif /* KESTREL_BLOCKMAP_BLOCKMAP_H */
