/*
 * The block cache: the snapshot-time contents of blocks that were overwritten after the
 * snapshot, kept until the agent has read them. One cache per Backup that started a backup:
 * a 4096-bucket hash table of entries (bucket = block & 0xFFF), each entry holding one
 * block's old data. Bounded by maxCacheBlocks; at the bound the backup fails rather than
 * lose a snapshot block.
 *
 * Locking: cacheLock (read) keeps the cache alive for its users, the teardown takes it for
 * writing; each bucket's sem serialises walks and changes of its list. No code holds two
 * bucket semaphores at once. Only the kbackupd worker adds entries.
 */
#ifndef KESTREL_COW_CACHE_H
#define KESTREL_COW_CACHE_H

#include "shared/backup.h"
#include "platform/kernel.h"

namespace kes {

struct CachePage {
    CachePage *next; /* bucket sem */
    char *data;      /* one block of old contents, from dataCache */
    u32 blockNum;
};

struct HashTable {
    CachePage *list;      /* newest first; sem */
    struct semaphore sem;
};

constexpr u32 kesHashBuckets = 4096;

/* Creates the hash-bucket slab and the table: 0, or 5 (what was built stays for
 * closeBlockTable). */
int newBlockTable(Backup *b);
/* Frees the buckets that exist, the table and the bucket slab; safe after a partial build. */
void closeBlockTable(Backup *b);
/* A fresh entry with its data buffer, or NULL (limit reached or no memory: the Backup is
 * failed with state 10). Worker only; the caller holds the bucket's sem. */
CachePage *getCacheBlock(Backup *b);
/* Stores one block's old contents unless the block is not wanted or already dealt with:
 * 0 (saved, or nothing to save), 1 (no entry could be had). Worker only, under cacheLock
 * (read). */
int saveBlock(Backup *b, const char *data, u32 blockNum);
/* The entry of blockNum in a list, or NULL; *prev gets its predecessor when it is found and
 * is not the head. The caller holds the bucket's sem. */
CachePage *locateBlockInList(CachePage *list, u32 blockNum, CachePage **prev);
/* Copies a cached block to dest: the block size, or 0 when it is not cached. In state 6
 * the entry is consumed. */
u32 cacheRead(Backup *b, char *dest, u32 blockNum);
/* Frees an unlinked entry; the caller holds its bucket's sem or cacheLock for writing. */
void freeCachePage(Backup *b, CachePage *cp);
/* The kernel address of slot s of a buffer of the given pages. */
char *mmPageAddr(Backup *b, u32 slot, struct page **pages);
/* Copies from the cache every slot of a read that did not go to the disk; returns how many
 * were found. */
u32 readFromCache(Backup *b, u32 first, u32 count, struct page **pages);
/* Lets cached old contents replace what the disk returned for the slots read from disk. */
void readCheckCache(Backup *b, u32 first, u32 count, struct page **pages);
/* The number of some cached block, or kesNoBlock. */
u32 anyDirtyBlock(Backup *b);
/* Drops the entries whose blocks the agent does not want: 0, or 3 below state 6. */
int cleanUpCache(Backup *b);
void closeList(Backup *b, CachePage *list);
/* Frees every entry and the entry slabs; after the worker has stopped. */
void closeCache(Backup *b);

} // namespace kes

#endif /* KESTREL_COW_CACHE_H */
