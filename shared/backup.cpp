/*
 * What the shared records need beyond their header: the Backup's two block maps, and the
 * reply copy of the commands.
 */
#include "shared/backup.h"

#include "shared/globals.h"

namespace kes {

int newCacheMap(Backup *b)
{
    u32 numBlocks = (u32)b->disk.fsBlocks;
    u32 pages;
    int ret = newBlockMap(&b->cacheMap, numBlocks, 0, 1, &pages);
    if (ret) {
        printk(KERN_ERR "%s: error creating cache map of size=%u\n", __func__, numBlocks);
        return ret;
    }
    addBackupPages(b, (int)pages);
    return 0;
}

int newBUBlockMap(Backup *b, u32 numBlocks, user_addr_t userBuffer)
{
    u32 pages;
    int ret = newBlockMap(&b->buBlockMap, numBlocks, userBuffer, 0, &pages);
    if (ret) {
        printk(KERN_ERR "%s: error creating map of size=%u\n", __func__, numBlocks);
        return ret;
    }
    addBackupPages(b, (int)pages);
    return 0;
}

/* Frees one of the Backup's maps and takes its pages off currentPages; totalPages keeps
 * counting everything the backup ever allocated. */
static void closeBackupMap(Backup *b, BlockMap *map)
{
    u32 pages = 0;
    if (!map->pages)
        return;
    closeBlockMap(map, &pages);
    atomic_sub((int)pages, &b->currentPages);
}

void closeCacheMap(Backup *b) { closeBackupMap(b, &b->cacheMap); }

void closeBUBlockMap(Backup *b) { closeBackupMap(b, &b->buBlockMap); }

/* Copies min(length, size) bytes of a reply to the caller: 0, or 7 with the copy message of
 * the reporting function. */
int copyReply(const char *function, user_addr_t address, u32 length, const void *reply, u32 size)
{
    u32 n = length < size ? length : size;
    if (n && copy_to_user(address, reply, n)) {
        printk(KERN_ERR "%s: copy to user space %s\n", function, "failed");
        return KES_COPY_TO_USER;
    }
    return KES_OK;
}

int isActiveBackupDevice(u32 dev)
{
    down_read(&activeSessionUsers);
    int active = activeSession && activeSession->disk.dev == dev;
    up_read(&activeSessionUsers);
    return active;
}

} // namespace kes
