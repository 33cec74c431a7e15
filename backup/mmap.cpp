/*
 * The mapped read buffer: up to two read-only private mappings of the control device per
 * open, each backed by pages of the module that the agent's page faults pick up.
 */
#include "backup/session.h"

namespace kes {

struct vm_operations_struct kesVMOps = {
    /* open */ kesVMopen,
    /* close */ kesVMclose,
    /* nopage */ kesVMnopage,
    /* populate */ NULL,
};

int checkVMA(Backup *b, user_addr_t address, int *slot)
{
    for (int i = 0; i < 2; i++) {
        if (b->bvmas[i].vma && b->bvmas[i].vma->vm_start == address) {
            *slot = i;
            return 1;
        }
    }
    return 0;
}

int findVMA(Backup *b, struct vm_area_struct *vma, int *slot)
{
    for (int i = 0; i < 2; i++) {
        if (b->bvmas[i].vma == vma) {
            *slot = i;
            return 1;
        }
    }
    return 0;
}

int maxBVMAs(Backup *b, int *slot)
{
    for (int i = 0; i < 2; i++) {
        if (!b->bvmas[i].vma) {
            *slot = i;
            return 0;
        }
    }
    return 1;
}

s32 getVMAPageCount(Backup *b)
{
    s32 pages = 0;
    unsigned long flags;
    spin_lock_irqsave(&b->vmaLock, flags);
    for (int i = 0; i < 2; i++)
        if (b->bvmas[i].vma)
            pages += b->bvmas[i].pageCount;
    spin_unlock_irqrestore(&b->vmaLock, flags);
    return pages;
}

void freeMMPages(Backup *b, int slot)
{
    BackupVMA *bv = &b->bvmas[slot];
    for (s32 i = 0; i < bv->pageCount; i++) {
        if (bv->pages[i]) {
            __free_page(bv->pages[i]);
            bv->pages[i] = NULL;
            atomic_dec(&b->currentPages);
        }
    }
    bv->pageCount = 0;
}

void freeAllMMPages(Backup *b)
{
    unsigned long flags;
    spin_lock_irqsave(&b->vmaLock, flags);
    freeMMPages(b, 0);
    freeMMPages(b, 1);
    spin_unlock_irqrestore(&b->vmaLock, flags);
}

/*
 * The mmap operation's outcome as a module status. The kernel calls it with the process's
 * mmap_sem held for writing, and commands hold sem while they copy to and from user space
 * (taking mmap_sem for reading when they fault): so it takes no sem. The slot is claimed
 * under vmaLock with no pages yet, filled with none held (the allocations may sleep), and
 * its pages published under vmaLock; until then the slot offers nothing to anyone.
 * maxBufferPages is set by the start before the state leaves 1, and read-only afterwards.
 */
static int mapBuffer(struct file *file, struct vm_area_struct *vma)
{
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return KES_INVALID;
    /* Shared mappings are refused, also of a descriptor opened read-only: the kernel
     * clears VM_SHARED there and leaves VM_MAYSHARE as the sign of the caller's MAP_SHARED. */
    if (!(vma->vm_flags & VM_READ) || (vma->vm_flags & (VM_WRITE | VM_SHARED | VM_MAYSHARE)))
        return KES_INVALID;
    u32 state = backupState(b);
    long pages = vma->vm_end > vma->vm_start ? (long)((vma->vm_end - vma->vm_start) >> PAGE_SHIFT) : 0;
    if (state == BACKUP_IDLE || state == BACKUP_STARTING || vma->vm_pgoff != 0 || pages <= 0 ||
        pages > b->maxBufferPages)
        return KES_INVALID;

    int slot = 0;
    unsigned long flags;
    spin_lock_irqsave(&b->vmaLock, flags);
    if (maxBVMAs(b, &slot)) {
        spin_unlock_irqrestore(&b->vmaLock, flags);
        return KES_INVALID;
    }
    BackupVMA *bv = &b->bvmas[slot];
    bv->vma = vma;
    bv->pageCount = 0;
    spin_unlock_irqrestore(&b->vmaLock, flags);

    long n = 0;
    for (; n < pages; n++) {
        bv->pages[n] = alloc_page(GFP_KERNEL);
        if (!bv->pages[n])
            break;
        /* Cleared before first use: no stale kernel memory reaches user space. */
        memset(page_address(bv->pages[n]), 0, PAGE_SIZE);
        addBackupPages(b, 1);
    }
    int result = KES_OK;
    spin_lock_irqsave(&b->vmaLock, flags);
    bv->pageCount = (s32)n;
    if (n < pages) {
        freeMMPages(b, slot);
        bv->vma = NULL;
        result = KES_NO_MEMORY;
    } else {
        vma->vm_ops = &kesVMOps;
    }
    spin_unlock_irqrestore(&b->vmaLock, flags);
    return result;
}

/* The kernel takes only 0 or a negative error from mmap: a mapping the buffer rules refuse
 * is invalid (-EINVAL), and no pages is -ENOMEM. */
int kesMMAP(struct file *file, struct vm_area_struct *vma)
{
    switch (mapBuffer(file, vma)) {
    case KES_OK:
        return 0;
    case KES_NO_MEMORY:
        return -ENOMEM;
    default:
        return -EINVAL;
    }
}

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

void kesVMopen(struct vm_area_struct *) {}

/*
 * Runs with the process's mmap_sem held for writing, so it takes no sem (see mapBuffer).
 * The slot's pages lose the slot's references here; a read-blocks command that fills them
 * holds references of its own, so the disk completions never write into pages that were
 * given back.
 */
void kesVMclose(struct vm_area_struct *vma)
{
    if (!vma->vm_file || !vma->vm_file->private_data)
        return;
    Backup *b = (Backup *)vma->vm_file->private_data;
    unsigned long flags;
    spin_lock_irqsave(&b->vmaLock, flags);
    int slot;
    if (findVMA(b, vma, &slot)) {
        b->bvmas[slot].vma = NULL;
        freeMMPages(b, slot);
    }
    spin_unlock_irqrestore(&b->vmaLock, flags);
}

} // namespace kes
