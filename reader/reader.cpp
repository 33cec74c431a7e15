/*
 * The block reader's preparation of kernel objects and its completions.
 */
#include "reader/reader.h"

namespace kes {

/* The buffer's offset within its page. */
static unsigned long bhOffset(const struct buffer_head *bh) { return (unsigned long)bh->b_data & ~PAGE_MASK; }

void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, u32 blockNum)
{
    bh->b_bdev = b->disk.bdev;
    bh->b_blocknr = blockNum;
    set_bh_page(bh, page, offset);
    bh->b_size = b->disk.blockSize;
    bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
    bh->b_end_io = kesBHEndIO;
    INIT_LIST_HEAD(&bh->b_assoc_buffers);
    get_bh(bh);
}

void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh)
{
    bio->bi_bdev = bh->b_bdev;
    bio->bi_sector = (u64)bh->b_blocknr * b->disk.sectorsPerBlock + b->disk.startSect;
    bio->bi_io_vec[0].bv_page = bh->b_page;
    bio->bi_io_vec[0].bv_len = b->disk.blockSize;
    bio->bi_io_vec[0].bv_offset = bhOffset(bh);
    bio->bi_vcnt = 1;
    bio->bi_idx = 0;
    bio->bi_size = b->disk.blockSize;
    bio->bi_end_io = kesBIOEndIO;
    bio->bi_private = bh;
    bio_get(bio);
}

/*
 * The buffer head's reference is dropped before the buffer is unlocked: once it is
 * unlocked the waiter may free it, so the unlock is the completion's last touch.
 */
void kesBHEndIO(struct buffer_head *bh, int uptodate)
{
    if (uptodate)
        set_buffer_uptodate(bh);
    else
        printk(KERN_WARNING "%s: buffer_head I/O error bh=%p, major=%d, minor=%d, block=%llu\n",
               __func__, (void *)bh, MAJOR(bh->b_bdev->bd_dev), MINOR(bh->b_bdev->bd_dev),
               (unsigned long long)bh->b_blocknr);
    put_bh(bh);
    unlock_buffer(bh);
}

/*
 * A bio may be completed in pieces. The buffer head is completed, and the completion's
 * reference on the bio released, once, when the last bytes are done; a piece that leaves
 * bytes outstanding is only reported. An error in any piece clears BIO_UPTODATE, so the
 * final completion reports the block as unreadable.
 *
 * The bio reference goes before the buffer head is completed: completing it wakes the
 * reader, which may free both at once (the owner's reference keeps the bio until then), and
 * nothing of the request may be touched after that.
 */
int kesBIOEndIO(struct bio *bio, unsigned int, int error)
{
    struct buffer_head *bh = (struct buffer_head *)bio->bi_private;
    if (error == -EOPNOTSUPP) {
        set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
        set_bit(BH_Eopnotsupp, &bh->b_state);
    }
    if (bio->bi_size) {
        printk(KERN_WARNING "%s: IO info, size=%d\n", __func__, bio->bi_size);
        printk(KERN_WARNING "%s: IO error, bio=%p, major=%d, sector=%llu\n", __func__, (void *)bio,
               MAJOR(bio->bi_bdev->bd_dev), (unsigned long long)bio->bi_sector);
        return 1;
    }
    int uptodate = bio_flagged(bio, BIO_UPTODATE);
    bio_put(bio);
    bh->b_end_io(bh, uptodate);
    return 0;
}

int waitForBlockRead(struct buffer_head *bh, struct bio *bio)
{
    wait_on_buffer(bh);
    return bio_flagged(bio, BIO_UPTODATE);
}

/* The completion has dropped the buffer head's I/O reference; the owner's is the
 * allocation itself. */
void releaseBlockRead(Backup *b, struct buffer_head *bh, struct bio *bio)
{
    bio->bi_private = NULL;
    bio_put(bio);
    free_buffer_head(bh);
    atomic_dec(&b->currentBRs);
}

} // namespace kes
