/*
 * The module's skin: its entry points, the control device's file operations, the command
 * dispatcher and the module-wide state that several subsystems share.
 *
 * Lock order of the whole module, outermost first (docs/architecture.md says what each
 * guards). A lock may be taken only under locks of lower rank; equal ranks are never held
 * together, except a block map's usersLock taken as subclass 1 under another's.
 *
 *   sleeping, process context only:
 *     1 Backup.sem   2 snapShotUsers   3 Backup.stateLock   4 activeSessionUsers
 *     5 Backup.cacheLock   6 HashTable.sem   7 BlockMap.sem
 *     signalThread counts wake-ups: raised by anyone, taken only by the worker holding nothing
 *   spin locks, interrupts off ("irq": also taken in the interrupt context):
 *     10 busyLock   11 queueListUsersLock   12 amListUsersLock (irq)   13 AM.lock (irq)
 *     14 BlockMap.usersLock (irq)   15 Backup.mrLock   16 Backup.vmaLock   17 queue_lock
 *   use counters, raised under their lock and waited for by the holder of it:
 *     queueListUsers (11), amListUsers (12, irq), AM.users (13, irq), BlockMap.users (14, irq),
 *     Backup.requestUsers (raised under activeSessionUsers, waited for by close holding nothing)
 */
#ifndef KESTREL_MODULE_KESTREL_H
#define KESTREL_MODULE_KESTREL_H

#include "module/backup.h"
#include "module/kestrel_ioctl.h"
#include "platform/kernel.h"

namespace kes {

/* ------------------------------------------------------------ module-wide state */

/* 1 once the control device is registered; open and every command refuse until then.
 * Written once at load, read without a lock. */
extern atomic_t initDone;
/* 1 while a Backup holds the module's single backup slot. */
extern int busy;                           /* busyLock */
extern Backup *busyHolder;                 /* busyLock: the Backup that holds the slot */
extern spinlock_t busyLock;                /* taken with interrupts off, never across a sleep */
/* The Backup whose backup has started; the copy-on-write path and the worker find it here. */
extern Backup *activeSession;              /* activeSessionUsers */
extern struct rw_semaphore activeSessionUsers;
/* Wake-ups owed to the kbackupd worker. */
extern struct semaphore signalThread;

/* Lays the module's data out as it is at load: every global at its initial value. */
void kesLoadData(void);

/* ------------------------------------------------------------ lifecycle and file operations */

int kesInit(void);
void kesExit(void);
int kesUnload(void);
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

/* ------------------------------------------------------------ kernel-version layer (shim-2.6) */

/* Sets the table's owner to this module and registers the character major: 0 or the
 * kernel's negative error. */
int kesModRegister(unsigned int major, const char *name, struct file_operations *fops);
/* Takes a module reference: 0 when taken, 1 when the module is going away. */
int kesModGet(void);
/* Drops a module reference, waking the remover when the module is going away. */
void kesModPut(void);
/* Whether the module is in use; always 0 on this kernel generation. */
int kesCheckModUse(void);
/* The unload hook: runs kesUnload. */
void doModuleUnload(void);

/* ------------------------------------------------------------ the Backup's teardown */

/* Ends whatever the Backup runs and frees the record; the caller must not use it after. */
void closeBackup(Backup *b);

} // namespace kes

#endif /* KESTREL_MODULE_KESTREL_H */
