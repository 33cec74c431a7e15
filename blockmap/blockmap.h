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

} // namespace kes

#endif /* KESTREL_BLOCKMAP_BLOCKMAP_H */
