/*
 * The module's skin: its entry points, the control device's file operations, the command
 * dispatcher and the module-wide state that several subsystems share.
 *
 * Lock order of the whole module, outermost first (docs/architecture.md says what each
 * guards). A lock may be taken only under locks of lower rank; equal ranks are never held
 * together, except an automap's map's usersLock (a lock class of its own) under a Backup's
 * map's.
 *
 *   sleeping, process context only:
 *     1 Backup.sem   2 snapShotUsers   3 Backup.stateLock   4 activeSessionUsers
 *     5 Backup.cacheLock   6 HashTable.sem   7 BlockMap.sem
 *     signalThread counts wake-ups: raised by anyone, taken only by the worker holding nothing
 *   spin locks, interrupts off ("irq": also taken in the interrupt context):
 *     10 busyLock   11 queueListUsersLock   12 queue_lock (the driver's; irq: a driver may end
 *     requests under it, so every end-of-I/O callback may run inside it)
 *     13 amListUsersLock (irq)   14 AM.lock (irq)   15 BlockMap.usersLock (irq)
 *     16 Backup.mrLock   17 Backup.vmaLock
 *   use counters, raised under their lock and waited for by the holder of it:
 *     queueListUsers (11), amListUsers (13, irq), AM.users (14, irq), BlockMap.users (15, irq),
 *     Backup.requestUsers (raised under activeSessionUsers, waited for by close holding nothing)
 *   the kernel's: a super block's s_umount (held by freeze_bdev until thaw_bdev, between 2 and
 *     3) is never held while a block device's bd_sem is waited for; bd_sem is waited for only
 *     by the start, holding nothing but Backup.sem, and only tried on the request path.
 */
#ifndef KESTREL_MODULE_KESTREL_H
#define KESTREL_MODULE_KESTREL_H

#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "platform/shim.h"
#include "shared/backup.h"
#include "shared/globals.h"

namespace kes {

/* ------------------------------------------------------------ module-wide state */

/* 1 once the control device is registered; open and every command refuse until then.
 * Written once at load, read without a lock. */
extern atomic_t initDone;
/* kesLoadData (every global at its value at load) and the load and unload entry points are
 * declared in platform/shim.h, with the module record that names them. */

/* ------------------------------------------------------------ lifecycle and file operations */

int kesShutdown(void);
int kesOpen(struct inode *inode, struct file *file);
int kesRelease(struct inode *inode, struct file *file);
ssize_t kesRead(struct file *file, user_addr_t buf, size_t count, loff_t *pos);
ssize_t kesWrite(struct file *file, user_addr_t buf, size_t count, loff_t *pos);
unsigned int kesPoll(struct file *file, poll_table *wait);
int kesIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);

extern struct file_operations kesFileOps;

/* The three commands without a subsystem of their own. */
int ioctlSync(Backup *b);

} // namespace kes

#endif /* KESTREL_MODULE_KESTREL_H */
