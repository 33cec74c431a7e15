/*
 * The block map: creation and freeing, the three bit operations, the users counter and the
 * wait for users.
 *
 * Locking: the bits are read and changed with atomic bit operations on the page's words.
 * Testing and clearing a bit take the map's sem, with the page kmapped for exactly that one
 * access; setting a bit takes no sleeping lock and maps the page with kmap_atomic (local
 * interrupts off), so that a write's completion can mark its blocks from the interrupt
 * context. The users counter
 * is raised under usersLock (interrupts off) and lowered with a single atomic decrement; a
 * party that wants the map to itself waits with waitForBlockMapUsers until the counter is
 * back at 1 and keeps usersLock while it works. Creating and freeing a map take no lock:
 * the owner of the map makes sure nobody else can reach it at that time.
 */
#include "blockmap/blockmap.h"

#include "base/users.h"

namespace kes {

enum {
    BLOCKS_PER_PAGE_SHIFT = 15, /* 4096 bytes of 8 bits */
    BLOCK_IN_PAGE_MASK = 0x7FFF,
};

u32 numPagesInBlockMap(BlockMap *map)
{
    if (!map->pages)
        return 0;
    return (((map->numBlocks + 7) >> 3) + 4095) >> PAGE_SHIFT;
}

void closeBlockMap(BlockMap *map, u32 *pagesOut)
{
    if (!map->pages)
        return;
    u32 n = numPagesInBlockMap(map);
    for (u32 i = 0; i < n; i++) {
        if (map->pages[i]) {
            __free_page(map->pages[i]);
            map->pages[i] = NULL;
        }
    }
    vfree(map->pages);
    map->pages = NULL;
    map->numBlocks = 0;
    *pagesOut = n;
}

int newBlockMap(BlockMap *map, u32 numBlocks, user_addr_t userBuffer, int clear, u32 *pagesOut)
{
    /* numBlocks + 7 wraps to a small number from 0xFFFFFFF9 up: those sizes are refused
     * like 0, so that the byte count can never come out short of the block count. */
    u32 bytes = (numBlocks + 7) >> 3;
    if (bytes == 0) {
        printk(KERN_ERR "%s: block size size=%u invalid\n", __func__, numBlocks);
        return 2;
    }
    /* Zeroing an open map would lose its pages for good; its owner must close it first. */
    if (map->pages) {
        printk(KERN_ERR "%s: block map of %u blocks is still open, not replacing it with one "
               "of %u blocks\n", __func__, map->numBlocks, numBlocks);
        return 2;
    }

    memset((void *)map, 0, sizeof(*map));

    /* At most 2^17 pages (for 2^32 - 8 blocks): the array size cannot overflow. */
    u32 pageCount = (bytes + 4095) >> PAGE_SHIFT;
    unsigned long arraySize = (unsigned long)pageCount * sizeof(*map->pages);
    map->pages = (struct page **)vmalloc(arraySize);
    if (!map->pages) {
        /* The message gives the size on the i686 target, 4 bytes a pointer, whatever the
         * host's pointers are: log readers compare it with the target's numbers. */
        printk(KERN_ERR "%s: failed allocating (%d) bytes of memory for block map page array\n",
               __func__, (int)(pageCount * 4));
        return 5;
    }
    memset((void *)map->pages, 0, arraySize);
    map->numBlocks = numBlocks;
    map->bytesInMap = bytes;

    int result = 0;
    for (u32 i = 0; i < pageCount; i++) {
        /* Only the map's own bytes of the last page are ever filled or looked at. */
        u32 length = PAGE_SIZE;
        if (i == pageCount - 1 && (bytes & (PAGE_SIZE - 1)) != 0)
            length = bytes & (PAGE_SIZE - 1);

        map->pages[i] = alloc_page(GFP_HIGHUSER);
        if (!map->pages[i]) {
            printk(KERN_ERR "%s: failed allocating page number (%d) for block map\n", __func__,
                   (int)i);
            result = 5;
            break;
        }

        u8 *data = (u8 *)kmap(map->pages[i]);
        unsigned long notCopied = 0;
        user_addr_t src = userBuffer + (i << PAGE_SHIFT);
        if (userBuffer) {
            notCopied = copy_from_user(data, src, length);
            /* Half a page of the agent's bits is no better than none. */
            if (notCopied)
                memset(data, 0, length);
        } else {
            memset(data, clear == 1 ? 0x00 : 0xFF, length);
        }
        kunmap(map->pages[i]);

        if (notCopied) {
            printk(KERN_ERR "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
                   __func__, (void *)(unsigned long)src, (int)length, (int)bytes);
            result = 6;
            break;
        }
    }

    if (result) {
        printk(KERN_ERR "%s: Out of Memory Error.%s", __func__, "\n");
        u32 freed;
        closeBlockMap(map, &freed);
        return result;
    }

    atomic_set(&map->users, 1);
    spin_lock_init(&map->usersLock);
    init_MUTEX(&map->sem);
    *pagesOut = pageCount;
    return 0;
}

void getBlockMapUse(BlockMap *map) { getUse(&map->usersLock, &map->users); }

void putBlockMapUse(BlockMap *map) { putUse(&map->users); }

/* The bits of a page as words: on the little-endian target, bit n of word w is bit n % 8 of
 * byte (w * sizeof(long) + n / 8), the byte layout of the map. */
enum { BITS_PER_WORD = 8 * sizeof(unsigned long) };

static unsigned long *wordOf(void *pageData, u32 block)
{
    return (unsigned long *)pageData + (block & BLOCK_IN_PAGE_MASK) / BITS_PER_WORD;
}

static int bitOf(u32 block) { return (int)((block & BLOCK_IN_PAGE_MASK) % BITS_PER_WORD); }

enum BitOp { BIT_TEST, BIT_CLEAR };

/*
 * The frame of testing and clearing: a use of the map for the whole call, and the map's
 * sem around the one kmap of the block's page. Returns 0 when the block is out of range
 * (nothing was looked at), otherwise 1 with the bit's value before the operation in *wasSet.
 * May sleep.
 */
static int blockBitOp(BlockMap *map, u32 block, BitOp op, int *wasSet)
{
    int inRange = 0;

    getBlockMapUse(map);
    if (block < map->numBlocks) {
        down(&map->sem);
        struct page *page = map->pages[block >> BLOCKS_PER_PAGE_SHIFT];
        unsigned long *word = wordOf(kmap(page), block);
        *wasSet = test_bit(bitOf(block), word);
        if (op == BIT_CLEAR)
            clear_bit(bitOf(block), word);
        kunmap(page);
        up(&map->sem);
        inRange = 1;
    }
    putBlockMapUse(map);
    return inRange;
}

s32 blockInMap(BlockMap *map, u32 block)
{
    int wasSet = 0;
    if (!blockBitOp(map, block, BIT_TEST, &wasSet))
        return 0;
    return wasSet ? -1 : 0;
}

/* One atomic bit operation under a use of the map: the page pointers cannot be exchanged
 * meanwhile, and nothing sleeps. The page is mapped through one of the processor's atomic
 * slots with local interrupts off: a completion maps it through the interrupt slot, which
 * other interrupt handlers (a disk's PIO transfer) use too, and an interrupt arriving
 * between the map and the unmap would re-point the slot, so that the bit lands in another
 * page and this one's mark is lost. */
u32 setBlock(BlockMap *map, u32 block)
{
    enum km_type slot = in_interrupt() ? KM_BIO_SRC_IRQ : KM_USER0;
    u32 result = block;

    getBlockMapUse(map);
    if (block < map->numBlocks) {
        unsigned long flags;
        local_irq_save(flags);
        void *data = kmap_atomic(map->pages[block >> BLOCKS_PER_PAGE_SHIFT], slot);
        set_bit(bitOf(block), wordOf(data, block));
        kunmap_atomic(data, slot);
        local_irq_restore(flags);
        result = 0;
    }
    putBlockMapUse(map);
    return result;
}

s32 unSetBlock(BlockMap *map, u32 block)
{
    int wasSet;
    return blockBitOp(map, block, BIT_CLEAR, &wasSet) ? 0 : 1;
}

/*
 * Polls until the counter is back at 1, yielding the processor between tests with the lock
 * released. A caller that already runs with interrupts off (it waits for a second map while
 * holding the first one's usersLock, or another irq-saving lock) is in atomic context and
 * must not schedule: it only drops and retakes the lock between tests, which is enough
 * because the users it waits for finish without any of the locks it holds.
 */
void waitForBlockMapUsers(BlockMap *map, unsigned long *flags)
{
    int atomicCaller = irqs_disabled();

    spin_lock_irqsave(&map->usersLock, *flags);
    while (atomic_read(&map->users) != 1) {
        spin_unlock_irqrestore(&map->usersLock, *flags);
        if (!atomicCaller)
            schedule();
        spin_lock_irqsave(&map->usersLock, *flags);
    }
}

} // namespace kes
