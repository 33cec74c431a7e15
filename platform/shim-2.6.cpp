/*
 * The kernel-version layer for the 2.6 kernels: the module record, the thin wrappers
 * through which the module registers itself and counts its references, and the block-layer
 * wrappers that find and lock a device's request queue.
 */
#include "backup/reader.h"
#include "backup/session.h"
#include "blockmap/blockmap.h"
#include "intercept/intercept.h"
#include "module/kestrel.h"

struct module __this_module = {
    /* state */ {MODULE_STATE_COMING},
    /* name */ "kestrel",
    /* ref */ ATOMIC_INIT(0),
    /* waiter */ NULL,
    /* load_data */ kes::kesLoadData,
    /* init */ kes::kesInit,
    /* exit */ kes::kesExit,
    /* vermagic */ VERMAGIC_STRING(KES_TARGET_KERNEL),
    /* description */ "Backup Driver",
    /* license */ "Proprietary",
    /* version */ "3.1.0",
    /* depends */ "",
};

namespace kes {

int kesModRegister(unsigned int major, const char *name, struct file_operations *fops)
{
    fops->owner = THIS_MODULE;
    return register_chrdev(major, name, fops);
}

int kesModGet(void) { return try_module_get(THIS_MODULE) ? 0 : 1; }

void kesModPut(void)
{
#if KES_MODPUT_CHECKS_REFCOUNT
    /* The 023stab051 and later kernels check the count before they release a reference. */
    BUG_ON(module_refcount(THIS_MODULE) == 0);
#endif
    module_put(THIS_MODULE);
}

int kesCheckModUse(void) { return 0; }

void doModuleUnload(void) { kesUnload(); }

request_queue_t *kesGetRequestQueue(struct block_device *bdev)
{
    if (!bdev || !bdev->bd_disk)
        return NULL;
    return bdev->bd_disk->queue;
}

request_queue_t *getRequestQueue(DiskInfo *disk) { return kesGetRequestQueue(disk->bdev); }

void kesLockRequestQueue(request_queue_t *q, unsigned long *flags)
{
    *flags = 0;
    if (q->queue_lock)
        spin_lock_irqsave(q->queue_lock, *flags);
}

void kesUnlockRequestQueue(request_queue_t *q, unsigned long flags)
{
    if (q->queue_lock)
        spin_unlock_irqrestore(q->queue_lock, flags);
}

/*
 * A bio that cannot be submitted is ended with an error, as the kernel ends a request for a
 * device without a queue: whoever submitted it waits for its completion, and a bio that is
 * never ended would keep it waiting for ever.
 */
int callRealMRF(Backup *b, struct bio *bio)
{
    request_queue_t *q = kesGetRequestQueue(bio->bi_bdev);

    if (!q) {
        printk(KERN_ERR "%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n",
               __func__, MAJOR(b->disk.dev), MINOR(b->disk.dev));
        bio_endio(bio, bio->bi_size, -EIO);
        return 0;
    }
    if (b->disk.realMRF(q, bio))
        generic_make_request(bio);
    return 0;
}

} // namespace kes

/* ------------------------------------------------------------ block reader */

namespace kes {

int allocateBlockRequests(Backup *b)
{
    u32 slots = brSlots(b);
    b->brArray = (BR **)vmalloc(slots * sizeof(BR *));
    if (!b->brArray)
        return KES_NO_MEMORY;
    memset(b->brArray, 0, slots * sizeof(BR *));
    return KES_OK;
}

void allocateBRCache(Backup *) {}
void closeBRCache(Backup *) {}

void allocBlockRead(Backup *b, struct buffer_head **bh, struct bio **bio)
{
    while (!(*bh = alloc_buffer_head(GFP_NOIO)))
        schedule();
    while (!(*bio = bio_alloc(GFP_NOIO, 1)))
        schedule();
    atomic_inc(&b->currentBRs);
    atomic_inc(&b->totalBRs);
}

/* count is at most brSlots(b): the read-blocks command checks the run against its buffer. */
s32 readBlocks(Backup *b, u32 first, u32 count, struct page **pages)
{
    s32 submitted = 0;
    u32 perPage = b->disk.blocksPerPage;
    for (u32 i = 0; i < count; i++) {
        u32 block = first + i;
        if (blockInMap(&b->cacheMap, block))
            continue;
        BR *br = (BR *)kmalloc(sizeof(*br), GFP_NOIO);
        if (!br)
            return -1;
        memset(br, 0, sizeof(*br));
        b->brArray[i] = br;
        struct buffer_head *bh;
        allocBlockRead(b, &bh, &br->bio);
        initBH(b, bh, pages[i / perPage], (i % perPage) * b->disk.blockSize, block);
        initBIO(b, br->bio, bh);
        br->bio->bi_rw = READ;
        callRealMRF(b, br->bio);
        atomic_inc(&b->diskReads);
        submitted++;
    }
    return submitted;
}

int isRequestSubmitted(Backup *b, u32 slot) { return b->brArray && b->brArray[slot] ? 1 : 0; }

/* Zeroes every segment of a bio whose read failed, so that no stale data reaches the agent. */
static void zeroBio(struct bio *bio)
{
    for (unsigned short i = 0; i < bio->bi_vcnt; i++) {
        struct bio_vec *bv = &bio->bi_io_vec[i];
        if (bv->bv_offset + bv->bv_len > PAGE_SIZE) {
            printk(KERN_CRIT "%s: BIO segment greater than page size (offset=%d, length=%d)",
                   __func__, bv->bv_offset, bv->bv_len);
            BUG();
        }
        char *p = (char *)kmap(bv->bv_page);
        memset(p + bv->bv_offset, 0, bv->bv_len);
        kunmap(bv->bv_page);
    }
}

int waitForSubmitted(Backup *b, u32 first, u32 count)
{
    int result = KES_OK;
    for (u32 i = 0; i < count; i++) {
        BR *br = b->brArray[i];
        if (!br)
            continue;
        struct bio *bio = br->bio;
        if (!waitForBlockRead((struct buffer_head *)bio->bi_private, bio)) {
            result = KES_IO_ERROR;
            zeroBio(bio);
        }
        if (backupState(b) == BACKUP_MAP_LOADED)
            unSetBlock(&b->buBlockMap, first + i);
    }
    return result;
}

void freeSubmitted(Backup *b, u32 count)
{
    for (u32 i = 0; i < count; i++) {
        BR *br = b->brArray[i];
        if (!br)
            continue;
        if (br->bio)
            releaseBlockRead(b, (struct buffer_head *)br->bio->bi_private, br->bio);
        br->bio = NULL;
        kfree(br);
        b->brArray[i] = NULL;
    }
}

void freeMMBRs(Backup *b)
{
    if (b->brArray) {
        vfree(b->brArray);
        b->brArray = NULL;
    }
}

} // namespace kes

/* ------------------------------------------------------------ mapped buffer */

namespace kes {

/* Serves a page fault of a mapped buffer: the slot's page with a reference taken, or NULL
 * (a bus error for the access). A copy of a mapping that no slot records (one made by fork)
 * reads the first slot's pages. Takes no sleeping lock: the fault holds the process's
 * memory map. */
struct page *kesVMnopage(struct vm_area_struct *vma, unsigned long address, int *)
{
    if (!vma->vm_file || !vma->vm_file->private_data) {
        printk(KERN_WARNING "%s: vma does not have associated backup%s", __func__, "\n");
        return NOPAGE_SIGBUS;
    }
    Backup *b = (Backup *)vma->vm_file->private_data;
    unsigned long index = (address - vma->vm_start) >> PAGE_SHIFT;
    struct page *page = NULL;
    unsigned long flags;
    spin_lock_irqsave(&b->vmaLock, flags);
    int slot;
    if (!findVMA(b, vma, &slot)) {
        if (!b->bvmas[0].vma) {
            spin_unlock_irqrestore(&b->vmaLock, flags);
            printk(KERN_ERR "%s: vma is not found in associated backup%s", __func__, "\n");
            return NOPAGE_SIGBUS;
        }
        slot = 0;
    }
    if (index < (unsigned long)b->bvmas[slot].pageCount) {
        page = b->bvmas[slot].pages[index];
        get_page(page);
    }
    spin_unlock_irqrestore(&b->vmaLock, flags);
    if (!page)
        printk(KERN_WARNING "%s: Bad vm address%s", __func__, "\n");
    return page;
}

} // namespace kes

/* ------------------------------------------------------------ device information */

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
    disk->blocksPerPage = disk->blockSize ? 4096 / disk->blockSize : 0;
    disk->sectorsPerBlock = disk->blockSize >> 9;
    /* Below 512 bytes a block is no whole number of sectors; above a page, or not a power of
     * two, it cannot be cached, mapped or shifted: refused alike. */
    if (!goodBlockSize(disk->blockSize)) {
        printk(KERN_WARNING "%s: device %x has bad block size %d\n", __func__, dev,
               (int)disk->blockSize);
        drop_super(sb);
        closeDiskInfo(disk);
        return KES_REFUSED;
    }
    disk->blockShift = 0;
    while (!((disk->sectorsPerBlock >> disk->blockShift) & 1))
        disk->blockShift++;
    /* The kernel changes a partition's start and size under the whole disk's bd_sem, and a
     * re-read of the table empties every entry before it reads the new one: both are read
     * together under it, never a half-written pair or an emptied entry. No lock is held
     * here, and the kernel's own holders of bd_sem never wait for a command. */
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
    drop_super(sb);
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

} // namespace kes
