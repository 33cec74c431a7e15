/*
 * The automap queries: the state and key of the device's automap, the changed-block map the
 * snapshot took out of it, and the two flags that steer the next snapshot.
 */
#include "snapshot/snapshot.h"

#include "automap/automap.h"
#include "blockmap/blockmap.h"
#include "shared/backup.h"

namespace kes {

int ioctlGetAutoMapState(Backup *b, user_addr_t address, u32 length)
{
    AutoMapStateInfo info;
    memset(&info, 0, sizeof(info));
    down(&b->sem);
    AM *am = getAMUse(b->disk.dev);
    if (am) {
        info.major = MAJOR(am->disk.dev);
        info.minor = MINOR(am->disk.dev);
        info.tracking = (u32)atomic_read(&am->tracking);
        info.numBlocks = am->map.numBlocks;
        info.bytesInMap = am->map.bytesInMap;
        memcpy(info.sessionKey, am->sessionKey, sizeof(info.sessionKey));
        putAMUse(am);
    }
    up(&b->sem);
    return copyReply(__func__, address, length, &info, sizeof(info));
}

/* Copies the map's bytes to the agent, one page at a time: 0, or 7 after logging the page
 * that failed. The caller holds a use of the map. */
static int copyMapToUser(BlockMap *map, user_addr_t dest)
{
    u32 pages = (map->bytesInMap + PAGE_SIZE - 1) >> PAGE_SHIFT;
    for (u32 i = 0; i < pages; i++) {
        u32 length = PAGE_SIZE;
        if (i == pages - 1 && (map->bytesInMap & (PAGE_SIZE - 1)))
            length = map->bytesInMap & (PAGE_SIZE - 1);
        user_addr_t to = dest + (i << PAGE_SHIFT);
        void *data = kmap(map->pages[i]);
        unsigned long left = copy_to_user(to, data, length);
        kunmap(map->pages[i]);
        if (left) {
            printk(KERN_ERR "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
                   "ioctlGetAutoMap", (void *)(unsigned long)to, (int)length, (int)map->bytesInMap);
            return KES_COPY_TO_USER;
        }
    }
    return KES_OK;
}

int ioctlGetAutoMap(Backup *b, MapArgs *args)
{
    int result;
    down(&b->sem);
    if (backupState(b) != BACKUP_SNAPSHOT) {
        printk(KERN_ERR "%s: backup error map not loaded %s", __func__, "\n");
        up(&b->sem);
        return KES_INVALID;
    }
    BlockMap *map = &b->buBlockMap;
    getBlockMapUse(map);
    if (!map->pages) {
        printk(KERN_ERR "%s: backup error automap is NULL %s", __func__, "\n");
        result = KES_INVALID;
    } else if (map->numBlocks != args->mapBlocks) {
        printk(KERN_ERR "%s: backup error map size mismatch kernel map size=%u user map size=%u\n",
               __func__, map->numBlocks, args->mapBlocks);
        result = KES_INVALID;
    } else {
        result = copyMapToUser(map, args->mapAddress);
    }
    putBlockMapUse(map);
    /* Handed out once: the map is freed when the whole of it reached the agent. */
    if (result == KES_OK)
        closeBUBlockMap(b);
    up(&b->sem);
    return result;
}

int ioctlNoLoadFromAutoMap(Backup *b)
{
    down(&b->sem);
    b->noLoadFromAutoMap = 1;
    up(&b->sem);
    return KES_OK;
}

int ioctlNoStartAutoMap(Backup *b)
{
    down(&b->sem);
    b->noStartAutoMap = 1;
    up(&b->sem);
    return KES_OK;
}

} // namespace kes
