/*
 * What the module's request functions share: finding the devices a request is for, and
 * marking a write's blocks in their automaps.
 *
 * A request reaches a queue's request function remapped onto the whole disk: bi_bdev is the
 * disk and bi_sector counts from the disk's start. The partition table tells which
 * partitions it falls in. A write is marked in the automap of every device whose sectors it
 * reaches: the partitions it overlaps and the disk itself. A write to the whole disk that
 * runs from one partition into the next changes both, and an automap that missed it would
 * let the next incremental backup of that partition skip changed blocks.
 */
#include "automap/automap.h"
#include "intercept/intercept.h"

namespace kes {

static void touch(RequestDevs *devs, int part)
{
    if (part < 256)
        devs->touched[part >> 5] |= 1u << (part & 31);
}

/* The sector after the request; an empty request counts as its first sector. */
static sector_t requestEnd(sector_t sector, u32 size)
{
    sector_t count = ((sector_t)size + 511) >> 9;
    sector_t end = sector + (count ? count : 1);

    return end < sector ? ~(sector_t)0 : end;
}

int lookupRequestDevs(struct bio *bio, RequestDevs *out)
{
    struct block_device *bdev = bio->bi_bdev;
    struct block_device *whole = bdev->bd_contains ? bdev->bd_contains : bdev;
    struct gendisk *disk = bdev->bd_disk;
    sector_t first = bio->bi_sector;
    sector_t end = requestEnd(first, bio->bi_size);

    memset(out, 0, sizeof(*out));
    out->major = MAJOR(bdev->bd_dev);
    out->diskMinor = disk ? (u32)disk->first_minor : MINOR(bdev->bd_dev);
    out->minor = out->diskMinor;
    out->exact = 1;
    touch(out, 0);
    if (!disk || !disk->part)
        return 0;

    if (down_trylock(&whole->bd_sem)) {
        out->exact = 0;
        for (int i = 1; i < disk->minors; i++)
            touch(out, i);
        return 1;
    }
    for (int i = 1; i < disk->minors; i++) {
        struct hd_struct *part = disk->part[i - 1];

        if (!part || !part->nr_sects)
            continue;
        if (out->minor == out->diskMinor && part->start_sect <= first &&
            first - part->start_sect < part->nr_sects)
            out->minor = out->diskMinor + i;
        if (part->start_sect < end && first < part->start_sect + part->nr_sects)
            touch(out, i);
    }
    up(&whole->bd_sem);
    return 0;
}

void requestBlockRange(const DiskInfo *disk, sector_t sector, u32 size, u32 *first, u32 *last)
{
    sector_t firstSect = sector < disk->startSect ? 0 : sector - disk->startSect;
    sector_t lastSect = firstSect + (size >> 9);

    if (lastSect > 0)
        lastSect--;
    if (size & 511)
        lastSect++;
    /* The device's sectors are 0 to nrSects - 1: a request that ends on or past its end
     * is cut at its last sector. A last sector of exactly nrSects left uncut would mark a
     * block past the automap and stop its tracking as if the device had grown, for a
     * whole-disk write that reaches one sector into the next partition. */
    if (lastSect >= disk->nrSects)
        lastSect = disk->nrSects ? disk->nrSects - 1 : 0;
    *first = (u32)(firstSect >> disk->blockShift);
    *last = (u32)(lastSect >> disk->blockShift);
}

void updateAM(AM *am, sector_t sector, u32 size)
{
    u32 first, last;

    if (atomic_read(&am->tracking) != 1)
        return;
    requestBlockRange(&am->disk, sector, size, &first, &last);
    /* 64-bit counter: last may be the highest block number. */
    for (u64 block = first; block <= last; block++) {
        if (setBlock(&am->map, (u32)block) == 0)
            continue;
        /* The device has grown past the map: the bits can no longer be complete. The
         * rest of the range is still marked. */
        atomic_set(&am->tracking, 0);
        printk(KERN_WARNING "%s: device resize detected (block %d in size %d) in automap "
                            "update, automap not in sync%s",
               __func__, (int)block, (int)am->map.numBlocks, "\n");
    }
}

void markWrite(const RequestDevs *devs, sector_t sector, u32 size)
{
    for (u32 i = 0; i < 256; i++) {
        AM *am;

        /* A request touches a device or two of the disk's 256: skip empty words whole. */
        if (!devs->touched[i >> 5]) {
            i |= 31;
            continue;
        }
        if (!(devs->touched[i >> 5] & (1u << (i & 31))))
            continue;
        am = getAMUse(MKDEV(devs->major, devs->diskMinor + i));
        if (!am)
            continue;
        if (devs->exact || (sector < am->disk.startSect + am->disk.nrSects &&
                            am->disk.startSect < requestEnd(sector, size)))
            updateAM(am, sector, size);
        putAMUse(am);
    }
}

} // namespace kes
