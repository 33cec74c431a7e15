/*
 * The block cache of old block contents.
 */
#include "cow/cache.h"

#include "blockmap/blockmap.h"
#include "interface/kestrel_ioctl.h"
#include "platform/shim.h"
#include "reader/reader.h"

namespace kes {

static inline u32 bucketOf(u32 blockNum) { return blockNum & (kesHashBuckets - 1); }

int newBlockTable(Backup *b)
{
    sprintf(b->htCacheName, "kesHT%02x%02x", MAJOR(b->disk.dev), MINOR(b->disk.dev));
    b->htCache = kmem_cache_create(b->htCacheName, sizeof(HashTable), 0, SLAB_HWCACHE_ALIGN,
                                   NULL, NULL);
    if (!b->htCache) {
        printk(KERN_ERR "%s: kmem_cache_create failed for HashTable structs during backup start "
                        "major=%d minor=%d\n",
               __func__, MAJOR(b->disk.dev), MINOR(b->disk.dev));
        return KES_NO_MEMORY;
    }
    b->hashTable = (HashTable **)vmalloc(kesHashBuckets * sizeof(HashTable *));
    if (!b->hashTable)
        return KES_NO_MEMORY;
    memset(b->hashTable, 0, kesHashBuckets * sizeof(HashTable *));
    for (u32 i = 0; i < kesHashBuckets; i++) {
        HashTable *ht = (HashTable *)kmem_cache_alloc(b->htCache, GFP_KERNEL);
        if (!ht)
            return KES_NO_MEMORY;
        memset((void *)ht, 0, sizeof(*ht));
        b->hashTable[i] = ht;
    }
    for (u32 i = 0; i < kesHashBuckets; i++)
        init_MUTEX(&b->hashTable[i]->sem);
    return KES_OK;
}

void closeBlockTable(Backup *b)
{
    if (b->hashTable) {
        for (u32 i = 0; i < kesHashBuckets; i++)
            if (b->hashTable[i])
                kmem_cache_free(b->htCache, b->hashTable[i]);
        vfree(b->hashTable);
        b->hashTable = NULL;
    }
    if (b->htCache) {
        kmem_cache_destroy(b->htCache);
        b->htCache = NULL;
    }
}

/* Raises the peak to at least value. */
static void raisePeak(atomic_t *peak, int value)
{
    int cur = atomic_read(peak);
    while (value > cur) {
        int found = atomic_cmpxchg(peak, cur, value);
        if (found == cur)
            return;
        cur = found;
    }
}

CachePage *getCacheBlock(Backup *b)
{
    if ((u32)atomic_read(&b->currentCachedBlocks) >= b->maxCacheBlocks) {
        failBackup(b, BACKUP_ERR_CACHE);
        printk(KERN_ERR "%s: configured max cache memory reached (%u blocks) failed to allocate "
                        "cache object\n",
               __func__, b->maxCacheBlocks);
        return NULL;
    }
    if (!b->cpCache) {
        printk(KERN_CRIT "%s: b->cpCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
        BUG();
    }
    CachePage *cp = (CachePage *)kmem_cache_alloc(b->cpCache, GFP_NOIO);
    if (!cp) {
        failBackup(b, BACKUP_ERR_CACHE);
        printk(KERN_ERR "%s: system out of memory, failed to allocate cache object.%s", __func__,
               "\n");
        return NULL;
    }
    memset((void *)cp, 0, sizeof(*cp));
    if (!b->dataCache) {
        printk(KERN_CRIT "%s: b->dataCache was destroyed before kmem_cache_alloc!%s", __func__,
               "\n");
        BUG();
    }
    cp->data = (char *)kmem_cache_alloc(b->dataCache, GFP_NOIO);
    if (!cp->data) {
        kmem_cache_free(b->cpCache, cp);
        failBackup(b, BACKUP_ERR_CACHE);
        printk(KERN_ERR "%s: system out of memory failed to allocate block for write cache%s",
               __func__, "\n");
        return NULL;
    }
    int now = atomic_inc_return(&b->currentCachedBlocks);
    atomic_inc(&b->totalCachedBlocks);
    atomic_inc(&b->currentCacheStructs);
    atomic_inc(&b->totalCacheStructs);
    raisePeak(&b->peakCachedBlocks, now);
    return cp;
}

int saveBlock(Backup *b, const char *data, u32 blockNum)
{
    if (backupState(b) == BACKUP_MAP_LOADED && !blockInMap(&b->buBlockMap, blockNum))
        return 0;
    if (blockInMap(&b->cacheMap, blockNum))
        return 0;
    HashTable *ht = b->hashTable[bucketOf(blockNum)];
    int result = 0;
    down(&ht->sem);
    CachePage *cp = getCacheBlock(b);
    if (!cp) {
        result = 1;
    } else {
        cp->blockNum = blockNum;
        memcpy(cp->data, data, b->disk.blockSize);
        cp->next = ht->list;
        ht->list = cp;
    }
    up(&ht->sem);
    return result;
}

CachePage *locateBlockInList(CachePage *list, u32 blockNum, CachePage **prev)
{
    CachePage *before = NULL;
    for (CachePage *cp = list; cp; before = cp, cp = cp->next) {
        if (cp->blockNum == blockNum) {
            if (before)
                *prev = before;
            return cp;
        }
    }
    return NULL;
}

/* Unlinks cp from its bucket; the caller holds the bucket's sem. */
static void unlinkCachePage(HashTable *ht, CachePage *cp, CachePage *prev)
{
    if (prev)
        prev->next = cp->next;
    else
        ht->list = cp->next;
    cp->next = NULL;
}

u32 cacheRead(Backup *b, char *dest, u32 blockNum)
{
    u32 result = 0;
    down_read(&b->cacheLock);
    if (backupState(b) > BACKUP_MAP_LOADED || !b->hashTable) {
        up_read(&b->cacheLock);
        return 0;
    }
    HashTable *ht = b->hashTable[bucketOf(blockNum)];
    down(&ht->sem);
    CachePage *prev = NULL;
    CachePage *cp = locateBlockInList(ht->list, blockNum, &prev);
    if (cp) {
        memcpy(dest, cp->data, b->disk.blockSize);
        atomic_inc(&b->cacheReads);
        result = b->disk.blockSize;
        if (backupState(b) == BACKUP_MAP_LOADED) {
            unSetBlock(&b->buBlockMap, blockNum);
            unlinkCachePage(ht, cp, prev);
            freeCachePage(b, cp); /* also clears the block in cacheMap */
        }
    }
    up(&ht->sem);
    up_read(&b->cacheLock);
    return result;
}

void freeCachePage(Backup *b, CachePage *cp)
{
    unSetBlock(&b->cacheMap, cp->blockNum);
    kmem_cache_free(b->dataCache, cp->data);
    cp->data = NULL;
    kmem_cache_free(b->cpCache, cp);
    atomic_dec(&b->currentCachedBlocks);
    atomic_dec(&b->currentCacheStructs);
}

char *mmPageAddr(Backup *b, u32 slot, struct page **pages)
{
    u32 perPage = b->disk.blocksPerPage;
    char *page = (char *)page_address(pages[slot / perPage]);
    return page + (slot % perPage) * b->disk.blockSize;
}

u32 readFromCache(Backup *b, u32 first, u32 count, struct page **pages)
{
    u32 found = 0;
    for (u32 i = 0; i < count; i++) {
        if (isRequestSubmitted(b, i))
            continue;
        if (cacheRead(b, mmPageAddr(b, i, pages), first + i))
            found++;
        else
            printk(KERN_WARNING "%s: expected to read block number (%u) from cache and block not "
                                "found in cache\n",
                   __func__, first + i);
    }
    return found;
}

void readCheckCache(Backup *b, u32 first, u32 count, struct page **pages)
{
    for (u32 i = 0; i < count; i++)
        if (isRequestSubmitted(b, i))
            cacheRead(b, mmPageAddr(b, i, pages), first + i);
}

u32 anyDirtyBlock(Backup *b)
{
    if (atomic_read(&b->currentCacheStructs) == 0)
        return kesNoBlock;
    u32 result = kesNoBlock;
    down_read(&b->cacheLock);
    if (backupState(b) > BACKUP_MAP_LOADED || !b->hashTable) {
        up_read(&b->cacheLock);
        return kesNoBlock;
    }
    for (u32 i = 0; i < kesHashBuckets && result == kesNoBlock; i++) {
        HashTable *ht = b->hashTable[i];
        down(&ht->sem);
        if (ht->list)
            result = ht->list->blockNum;
        up(&ht->sem);
    }
    up_read(&b->cacheLock);
    return result;
}

int cleanUpCache(Backup *b)
{
    down_read(&b->cacheLock);
    u32 state = backupState(b);
    if (state > BACKUP_MAP_LOADED || !b->hashTable) {
        up_read(&b->cacheLock);
        return KES_OK;
    }
    if (state < BACKUP_MAP_LOADED) {
        up_read(&b->cacheLock);
        return KES_REFUSED;
    }
    for (u32 i = 0; i < kesHashBuckets; i++) {
        HashTable *ht = b->hashTable[i];
        down(&ht->sem);
        CachePage *prev = NULL;
        CachePage *cp = ht->list;
        while (cp) {
            CachePage *next = cp->next;
            if (blockInMap(&b->buBlockMap, cp->blockNum)) {
                prev = cp;
            } else {
                unlinkCachePage(ht, cp, prev);
                freeCachePage(b, cp);
                atomic_inc(&b->cleanedBlocks);
            }
            cp = next;
        }
        up(&ht->sem);
    }
    up_read(&b->cacheLock);
    return KES_OK;
}

void closeList(Backup *b, CachePage *list)
{
    while (list) {
        CachePage *next = list->next;
        freeCachePage(b, list);
        list = next;
    }
}

void closeCache(Backup *b)
{
    down_write(&b->cacheLock);
    if (!b->cpCache) {
        up_write(&b->cacheLock);
        return;
    }
    for (u32 i = 0; b->hashTable && i < kesHashBuckets; i++) {
        HashTable *ht = b->hashTable[i];
        if (!ht)
            continue;
        if (down_trylock(&ht->sem)) {
            printk(KERN_ERR "%s: ht->sem contended%s", __func__, "\n");
            down(&ht->sem);
        }
        closeList(b, ht->list);
        ht->list = NULL;
        up(&ht->sem);
    }
    kmem_cache_destroy(b->cpCache);
    b->cpCache = NULL;
    if (b->dataCache) {
        kmem_cache_destroy(b->dataCache);
        b->dataCache = NULL;
    }
    up_write(&b->cacheLock);
}

} // namespace kes
