/*
 * The Backup: the per-open context of the control device. One record for each open, created
 * zeroed by open, reached by every command through the file's private data, and torn down
 * and freed only by closeBackup.
 */
#ifndef KESTREL_SHARED_BACKUP_H
#define KESTREL_SHARED_BACKUP_H

#include "blockmap/blockmap.h"
#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "platform/shim.h"

namespace kes {

struct HashTable;
struct MR;
struct BR;

/* Description of one device (64 bytes on the target). Written by the start command under
 * the Backup's sem before the backup runs; read-only afterwards, and copied into each
 * automap. */
struct DiskInfo {
    u32 dev;                   /* kernel device number */
    u64 startSect;             /* first sector of the partition on its disk; 0 for a disk */
    u32 blockSize;             /* file-system block size in bytes */
    u32 blocksPerPage;         /* 4096 / blockSize */
    struct super_block *sb;    /* a super block held by the record, or NULL */
    u64 partSizeKB;            /* nrSects / 2 */
    u64 fsBlocks;              /* file-system size in blocks, as given to the start */
    make_request_fn *realMRF;  /* the queue's real request function */
    struct block_device *bdev;
    u64 nrSects;               /* device size in 512-byte sectors */
    u32 sectorsPerBlock;       /* blockSize / 512 */
    u32 blockShift;            /* log2(sectorsPerBlock) */
};

/* One mapped-buffer slot. Guarded by the Backup's vmaLock: the mapping and unmapping run
 * under the process's mmap_sem, where sem cannot be taken. A slot is claimed by setting vma
 * with no pages; pages[0..pageCount) are filled before pageCount is published. */
struct BackupVMA {
    s32 pageCount;
    struct vm_area_struct *vma; /* NULL when the slot is free */
    struct page *pages[256];
};

/*
 * The statistics counters are s32 values that several threads move (the worker, the agent,
 * the request path), so each is an atomic_t: every update is indivisible and readers take
 * them as they are.
 */
struct Backup {
    struct semaphore sem;           /* the Backup's own mutex: the commands. Never taken under
                                       mmap_sem (mmap, unmap, release from an unmap), since
                                       commands copy to and from user space holding it */
    atomic_t state;                 /* u32 phase; changed under stateLock (write) where the
                                       request path must see it atomically, read without locks */
    struct rw_semaphore stateLock;  /* request path (read) against state changes (write) */
    s32 maxBufferPages;             /* set by the start before the state leaves 1; read-only
                                       afterwards */
    BackupVMA bvmas[2];             /* vmaLock */
    /* The pages a read-blocks command fills, each with a reference of the command's own, so
     * that an unmap during the command cannot give them back under the disk's writes. */
    struct page *readPages[256];    /* sem */
    s32 readPageCount;              /* sem */
    u32 noLoadFromAutoMap;          /* sem */
    u32 noStartAutoMap;             /* sem */
    struct timespec timeToFreeze;   /* sem */
    struct timespec timeFrozen;     /* sem */
    DiskInfo disk;                  /* sem while the backup starts; read-only afterwards */
    BlockMap buBlockMap;            /* its own locks; created and freed under sem */
    HashTable **hashTable;          /* block cache: cacheLock */
    kmem_cache_t *htCache;          /* cacheLock */
    char htCacheName[32];
    BlockMap cacheMap;              /* its own locks; created at start, freed at close */
    struct rw_semaphore cacheLock;  /* cache users (read) against the cache teardown (write) */
    kmem_cache_t *cpCache;          /* cacheLock */
    kmem_cache_t *dataCache;        /* cacheLock */
    char cpCacheName[32];
    char dataCacheName[32];
    u32 maxCacheBlocks;             /* set at start; read-only afterwards */
    atomic_t pendingMRs;            /* raised under mrLock, lowered atomically by the worker */
    spinlock_t mrLock;              /* guards mrHead and mrTail; taken with interrupts off */
    MR *mrHead;                     /* mrLock */
    MR *mrTail;                     /* mrLock */
    atomic_t commandsProcessed;
    atomic_t totalPages;
    atomic_t currentPages;
    atomic_t totalCachedBlocks;
    atomic_t currentCachedBlocks;
    atomic_t peakCachedBlocks;
    atomic_t totalCacheStructs;
    atomic_t currentCacheStructs;
    atomic_t diskReads;
    atomic_t cacheReads;
    atomic_t cleanedBlocks;
    atomic_t totalBRs;
    atomic_t currentBRs;
    BR **brArray;                   /* sem (one read-blocks command at a time) */
    u32 threadStarted;              /* sem */
    /* Requests of the block layer that found this Backup as the active one and are still
     * deciding about copy-on-write; close waits for them before the record is freed. */
    atomic_t requestUsers;
    /* Guards the slots' vma, pageCount and pages: mmap, unmap and the page faults of the
     * mappings take no sleeping lock of the module. Interrupts off. */
    spinlock_t vmaLock;
};

static inline u32 backupState(Backup *b) { return (u32)atomic_read(&b->state); }
static inline void setBackupState(Backup *b, u32 state) { atomic_set(&b->state, (int)state); }
/* Counts pages the backup allocated: in its total and among those it holds now. */
static inline void addBackupPages(Backup *b, int pages)
{
    atomic_add(pages, &b->totalPages);
    atomic_add(pages, &b->currentPages);
}

/* Moves the Backup to a new phase unless it has failed meanwhile (an error state, once
 * entered, stays: the worker and the request path may fail a backup at any moment, and a
 * command's phase change must not hide that). Returns 1 when the phase was changed. */
static inline int advanceBackup(Backup *b, u32 state)
{
    int cur = atomic_read(&b->state);
    while (!backupFailed((u32)cur)) {
        int found = atomic_cmpxchg(&b->state, cur, (int)state);
        if (found == cur)
            return 1;
        cur = found;
    }
    return 0;
}

/* Fails the Backup with an error state, unless it failed before: the first failure is the
 * one that is reported. */
static inline void failBackup(Backup *b, u32 errorState)
{
    int cur = atomic_read(&b->state);
    while (!backupFailed((u32)cur)) {
        int found = atomic_cmpxchg(&b->state, cur, (int)errorState);
        if (found == cur)
            return;
        cur = found;
    }
}

/* The Backup's two maps; their pages count in totalPages and currentPages. newCacheMap
 * builds an all-clear cacheMap of the file system's size, newBUBlockMap the buBlockMap from
 * the agent's bytes (every bit set without a buffer); both return newBlockMap's status and
 * change no counter on failure. The close wrappers do nothing to a closed map and lower
 * only currentPages. */
int newCacheMap(Backup *b);
int newBUBlockMap(Backup *b, u32 numBlocks, user_addr_t userBuffer);
void closeCacheMap(Backup *b);
void closeBUBlockMap(Backup *b);

/* Copies min(length, size) bytes of a reply to address: 0, or 7 after logging the copy
 * failure under the reporting function's name. */
int copyReply(const char *function, user_addr_t address, u32 length, const void *reply, u32 size);

} // namespace kes

#endif /* KESTREL_SHARED_BACKUP_H */
