/*
 * The backup session as the agent drives it: device information and the start, the
 * read-blocks command and the mapped buffer, statistics and state, and close.
 */
#ifndef KESTREL_BACKUP_SESSION_H
#define KESTREL_BACKUP_SESSION_H

#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "shared/backup.h"

namespace kes {

/* ------------------------------------------------------------ device information and start */

/* Fills a DiskInfo from the kernel (not fsBlocks nor realMRF): 0, 3 (block size below 512)
 * or 8 (no mounted file system). Takes a reference on the block device. */
int getDiskInfo(DiskInfo *disk, u32 dev);
/* Releases what getDiskInfo holds: the super block, if any, and the block device. */
void closeDiskInfo(DiskInfo *disk);
int ioctlGetBlockSize(Backup *b, u32 dev, user_addr_t address, u32 length);
int ioctlStartBackup(Backup *b, u32 dev, u32 fsBlocks, u32 maxCacheBlocks);
/* Builds what a backup needs once its device is known (disk, fsBlocks and maxCacheBlocks
 * set): the cache table and slabs, the worker, the cache map, the real request function and
 * the block request slots. Nothing is undone on failure: close frees whatever was built.
 * Under sem. */
int buildBackup(Backup *b, u32 dev);
int ioctlLoadBlockMap(Backup *b, MapArgs *map);

/* ------------------------------------------------------------ reads and the mapped buffer */

int ioctlReadBlocks(Backup *b, u32 first, u32 count, user_addr_t address);
int ioctlGetDirtyBlock(Backup *b, user_addr_t resultAddress);
/* The control device's mmap operation and the mapping's operations. */
int kesMMAP(struct file *file, struct vm_area_struct *vma);
void kesVMopen(struct vm_area_struct *vma);
void kesVMclose(struct vm_area_struct *vma);
struct page *kesVMnopage(struct vm_area_struct *vma, unsigned long address, int *type);
/* Slot searches, in order 0, 1: the slot whose mapping starts at address; the slot of a
 * mapping; the first free slot (0, or 1 when both are used). Under vmaLock. */
int checkVMA(Backup *b, user_addr_t address, int *slot);
int findVMA(Backup *b, struct vm_area_struct *vma, int *slot);
int maxBVMAs(Backup *b, int *slot);
/* Frees one slot's pages (its vma is left alone). Under vmaLock. */
void freeMMPages(Backup *b, int slot);
/* Pages of the mapped buffers in use. Takes vmaLock. */
s32 getVMAPageCount(Backup *b);
/* Frees the pages of both mapped-buffer slots. */
void freeAllMMPages(Backup *b);

/* ------------------------------------------------------------ statistics and state */

void setStats(Backup *b, BackupStats *s);
void printStats(BackupStats *s);
int ioctlGetState(Backup *b, user_addr_t address, u32 length);
int ioctlGetStats(Backup *b, user_addr_t address, u32 length);

/* ------------------------------------------------------------ close */

/* Ends whatever the Backup runs and frees the record; the caller must not use it after. */
void closeBackup(Backup *b);

} // namespace kes

#endif /* KESTREL_BACKUP_SESSION_H */
