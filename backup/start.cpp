/*
 * Device information and the start of a backup: the geometry query, the start command that
 * claims the module's single backup slot and builds everything the backup needs, and the
 * loading of the agent's map of wanted blocks.
 */
#include "automap/automap.h"
#include "backup/session.h"
#include "blockmap/blockmap.h"
#include "cow/cache.h"
#include "cow/cow.h"
#include "cow/workqueue.h"
#include "intercept/intercept.h"
#include "reader/reader.h"
#include "shared/globals.h"

namespace kes {

/* A usable block size: a power of two from 512 to a page. */
static int goodBlockSize(u32 size) { return size >= 512 && size <= PAGE_SIZE && !(size & (size - 1)); }

int getDiskInfo(DiskInfo *disk, u32 dev)
{
    disk->sb = NULL;
    disk->dev = dev;
    disk->bdev = bdget(dev);
    struct super_block *sb = disk->bdev ? get_super(disk->bdev) : NULL;
    if (!sb) {
        printk(KERN_ERR "%s: device major=%d minor=%d not found, getting super block failed\n",
               __func__, MAJOR(dev), MINOR(dev));
        closeDiskInfo(disk);
        return KES_NO_DEVICE;
    }
    disk->blockSize = sb->s_blocksize;
    /* The super block is given back before the disk's bd_sem is taken: get_super holds its
     * s_umount, and the kernel takes them the other way round (a partition-table re-read
     * flushes the disk's file system under bd_sem). Held across the wait for bd_sem, a
     * remount or unmount waiting for s_umount would keep the re-read waiting, and all three
     * would wait for ever. The block size is all the super block gives. */
    drop_super(sb);
    disk->blocksPerPage = disk->blockSize ? 4096 / disk->blockSize : 0;
    disk->sectorsPerBlock = disk->blockSize >> 9;
    /* Below 512 bytes a block is no whole number of sectors; above a page, or not a power of
     * two, it cannot be cached, mapped or shifted: refused alike. */
    if (!goodBlockSize(disk->blockSize)) {
        printk(KERN_WARNING "%s: device %x has bad block size %d\n", __func__, dev,
               (int)disk->blockSize);
        closeDiskInfo(disk);
        return KES_REFUSED;
    }
    disk->blockShift = 0;
    while (!((disk->sectorsPerBlock >> disk->blockShift) & 1))
        disk->blockShift++;
    /* The kernel changes a partition's start and size under the whole disk's bd_sem, and a
     * re-read of the table empties every entry before it reads the new one: both are read
     * together under it, never a half-written pair or an emptied entry. No lock is held
     * here (not the super block's s_umount either), and the kernel's own holders of bd_sem
     * never wait for a command. */
    struct block_device *bdev = disk->bdev;
    struct block_device *whole = bdev->bd_contains ? bdev->bd_contains : bdev;
    down(&whole->bd_sem);
    disk->startSect = (bdev->bd_contains == bdev || !bdev->bd_part) ? 0 : bdev->bd_part->start_sect;
    if (bdev->bd_part)
        disk->nrSects = bdev->bd_part->nr_sects;
    else if (bdev->bd_disk)
        disk->nrSects = get_capacity(bdev->bd_disk);
    else
        printk(KERN_WARNING "%s: can't detect device %x size.\n", __func__, dev);
    up(&whole->bd_sem);
    disk->partSizeKB = disk->nrSects >> 1;
    /* A partition of no sectors is one the table no longer has: nothing of it can be
     * backed up, and its start says nothing. */
    if ((bdev->bd_part || bdev->bd_disk) && disk->nrSects == 0) {
        printk(KERN_ERR "%s: device major=%d minor=%d not found, partition has no sectors\n",
               __func__, MAJOR(dev), MINOR(dev));
        closeDiskInfo(disk);
        return KES_NO_DEVICE;
    }
    return KES_OK;
}

void closeDiskInfo(DiskInfo *disk)
{
    if (disk->sb) {
        drop_super(disk->sb);
        disk->sb = NULL;
    }
    if (disk->bdev) {
        bdput(disk->bdev);
        disk->bdev = NULL;
    }
}

int ioctlGetBlockSize(Backup *, u32 dev, user_addr_t address, u32 length)
{
    BlockSizeInfo info;
    DiskInfo disk;
    memset(&info, 0, sizeof(info));
    memset((void *)&disk, 0, sizeof(disk));
    info.major = MAJOR(dev);
    info.minor = MINOR(dev);
    int result = getDiskInfo(&disk, dev);
    if (result) {
        closeDiskInfo(&disk);
        return result;
    }
    info.blockSize = disk.blockSize;
    info.partSizeKB = (u32)disk.partSizeKB;
    result = copyReply(__func__, address, length, &info, sizeof(info));
    closeDiskInfo(&disk);
    return result;
}

/* Claims the module's backup slot for b: 1 when b holds it (now or from an earlier start),
 * 0 when another Backup does. */
static int claimBusy(Backup *b)
{
    unsigned long flags;
    int claimed = 0;
    spin_lock_irqsave(&busyLock, flags);
    if (busy != 1 || busyHolder == b) {
        busy = 1;
        busyHolder = b;
        claimed = 1;
    }
    spin_unlock_irqrestore(&busyLock, flags);
    return claimed;
}

/* A slab cache of the backup, named after the device. */
static kmem_cache_t *newBackupCache(char *name, const char *format, u32 dev, size_t size)
{
    sprintf(name, format, MAJOR(dev), MINOR(dev));
    kmem_cache_t *cache = kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, NULL, NULL);
    if (!cache)
        printk(KERN_ERR "%s: kmem_cache_create failed during backup start major=%d minor=%d\n",
               "ioctlStartBackup", MAJOR(dev), MINOR(dev));
    return cache;
}

int buildBackup(Backup *b, u32 dev)
{
    int result;
    u32 pages = (b->disk.blockSize * 256) / 4096;
    b->maxBufferPages = (s32)(pages < 256 ? pages : 256);
    if ((result = newBlockTable(b)))
        return result;
    if ((result = startWorkQueue(b)))
        return result;
    allocateBRCache(b);
    /* An entry holds a link, a data pointer and a block number (8 + 4 x blocksPerPage bytes
     * on the target); never less than the record itself. */
    size_t entrySize = 8 + 4 * b->disk.blocksPerPage;
    if (entrySize < sizeof(CachePage))
        entrySize = sizeof(CachePage);
    if (!(b->cpCache = newBackupCache(b->cpCacheName, "kesCP%02x%02x", dev, entrySize)))
        return KES_NO_MEMORY;
    if (!(b->dataCache = newBackupCache(b->dataCacheName, "kesDC%02x%02x", dev, b->disk.blockSize)))
        return KES_NO_MEMORY;
    if ((result = newCacheMap(b)))
        return result;
    b->disk.realMRF = getRealMRF(getRequestQueue(&b->disk));
    if (!b->disk.realMRF) {
        printk(KERN_ERR "%s: error getting real MRF for major=%d minor=%d\n", "ioctlStartBackup",
               MAJOR(b->disk.dev), MINOR(b->disk.dev));
        return KES_NOT_READY;
    }
    return allocateBlockRequests(b);
}

int ioctlStartBackup(Backup *b, u32 dev, u32 fsBlocks, u32 maxCacheBlocks)
{
    if (!claimBusy(b)) {
        setBackupState(b, BACKUP_REFUSED);
        printk(KERN_ERR "%s: another backup operation is open can't start backup on device "
                        "major=%d minor=%d\n",
               __func__, MAJOR(dev), MINOR(dev));
        return KES_BUSY;
    }
    int result = KES_OK;
    down(&b->sem);
    if (backupState(b) != BACKUP_IDLE) {
        printk(KERN_ERR "%s: tried to start backup on device major=%d minor=%d that is already "
                        "busy\n",
               __func__, MAJOR(dev), MINOR(dev));
        result = KES_STARTED;
        goto out;
    }
    /* Change tracking keeps one automap per device in a table of majors and minors below
     * 256: a device outside it cannot be backed up. */
    if (amIndex(dev) < 0) {
        printk(KERN_ERR "%s: device major=%d minor=%d not supported: major and minor must be "
                        "below 256\n",
               __func__, MAJOR(dev), MINOR(dev));
        result = KES_INVALID;
        goto out;
    }
    /* A retry after a start that failed before the device was known starts from nothing. */
    closeDiskInfo(&b->disk);
    b->maxCacheBlocks = maxCacheBlocks;
    b->disk.fsBlocks = fsBlocks;
    if ((result = getDiskInfo(&b->disk, dev)))
        goto out;
    setBackupState(b, BACKUP_STARTING);
    if ((result = buildBackup(b, dev)))
        goto out;
    down_write(&activeSessionUsers);
    activeSession = b;
    up_write(&activeSessionUsers);
    setBackupState(b, BACKUP_STARTED);
    printk(KERN_INFO "%s: backup started for device major=%d minor=%d\n", __func__,
           MAJOR(b->disk.dev), MINOR(b->disk.dev));
out:
    up(&b->sem);
    return result;
}

int ioctlLoadBlockMap(Backup *b, MapArgs *map)
{
    int result = KES_OK;
    down(&b->sem);
    if (backupState(b) != BACKUP_SNAPSHOT || !advanceBackup(b, BACKUP_LOADING_MAP)) {
        printk(KERN_ERR "%s: backup error snapshot not %s\n", __func__, "complete");
        result = KES_INVALID;
        goto out;
    }
    /* The agent's map replaces a changed-block map it did not fetch. */
    closeBUBlockMap(b);
    if ((result = newBUBlockMap(b, map->mapBlocks, map->mapAddress))) {
        failBackup(b, BACKUP_ERR_MAP);
        printk(KERN_ERR "%s: backup error failed to load device map%s", __func__, "\n");
        goto out;
    }
    down_write(&b->stateLock);
    advanceBackup(b, BACKUP_MAP_LOADED);
    up_write(&b->stateLock);
    if ((result = cleanUpCache(b))) {
        failBackup(b, BACKUP_ERR_MAP);
        printk(KERN_ERR "%s: error cleaning cache%s", __func__, "\n");
    }
out:
    up(&b->sem);
    return result;
}

} // namespace kes
