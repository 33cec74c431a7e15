/*
 * Load and unload, and the control device's file operations other than ioctl and mmap.
 */
#include "automap/automap.h"
#include "backup/session.h"
#include "intercept/intercept.h"
#include "module/kestrel.h"
#include "snapshot/snapshot.h"

namespace kes {

struct file_operations kesFileOps = {
    /* owner */ NULL, /* filled in by kesModRegister */
    /* llseek */ NULL,
    /* read */ kesRead,
    /* write */ kesWrite,
    /* poll */ kesPoll,
    /* ioctl */ kesIOCTL,
    /* mmap */ kesMMAP,
    /* open */ kesOpen,
    /* flush */ NULL,
    /* release */ kesRelease,
};

int kesInit(void)
{
    /* A count of wake-ups for the worker, not a lock: sema_init, not init_MUTEX. */
    sema_init(&signalThread, 1);
    int ret = kesModRegister(kesMajor, kesDeviceName, &kesFileOps);
    if (ret == 0)
        atomic_set(&initDone, 1);
    printk(KERN_INFO "%s: kestrel version %d.%d.%d build %d %s\n", __func__, kesVersionMajor,
           kesVersionMinor, kesVersionPatch, KES_BUILD_NUMBER,
           atomic_read(&initDone) == 1 ? "loaded" : "load FAILED");
    return ret;
}

/* Takes snapShotUsers for writing, making a snapshot that waits for its queue's earlier
 * requests give up rather than keep the caller waiting. */
static void cancelSnapShotsAndWait(void)
{
    atomic_inc(&snapShotCancel);
    down_write(&snapShotUsers);
    atomic_dec(&snapShotCancel);
}

int kesUnload(void)
{
    kesCheckModUse();
    cancelSnapShotsAndWait();
    closeAllAMS();
    up_write(&snapShotUsers);
    /* A device listed by a backup that had no automap leaves the registry only with its
     * whole queue; no backup runs at unload, so every queue can have its function back. */
    unsetAllQueueMRFAMS();
    unregister_chrdev(kesMajor, kesDeviceName);
    printk(KERN_INFO "%s: kestrel version %d.%d.%d build %d ready to be unloaded\n", __func__,
           kesVersionMajor, kesVersionMinor, kesVersionPatch, KES_BUILD_NUMBER);
    return 0;
}

void kesExit(void)
{
    doModuleUnload();
    printk(KERN_INFO "%s: kestrel version %d.%d.%d build %d exiting\n", __func__,
           kesVersionMajor, kesVersionMinor, kesVersionPatch, KES_BUILD_NUMBER);
}

int kesShutdown(void)
{
    kesCheckModUse();
    /* Only the automaps: a backup may be running on another open file, and its queue keeps
     * its hook (closeAM leaves the running backup's device listed). Not during a snapshot,
     * which holds an automap without a use while it switches it on; one that waits for its
     * queue's earlier requests gives up. */
    cancelSnapShotsAndWait();
    closeAllAMS();
    up_write(&snapShotUsers);
    return 0;
}

/* A fresh Backup: zeroed, its locks initialised, state 0. */
static void initBackup(Backup *b)
{
    memset((void *)b, 0, sizeof(*b));
    setBackupState(b, BACKUP_IDLE);
    init_MUTEX(&b->sem);
    init_rwsem(&b->stateLock);
    init_rwsem(&b->cacheLock);
    spin_lock_init(&b->mrLock);
    spin_lock_init(&b->vmaLock);
}

/* The open's outcome as a module status. */
static int openBackup(struct file *file)
{
    if (atomic_read(&initDone) != 1)
        return KES_NOT_READY;
    Backup *b = (Backup *)kmalloc(sizeof(*b), GFP_KERNEL);
    if (!b)
        return KES_NO_MEMORY;
    initBackup(b);
    file->private_data = b;
    if (kesModGet()) {
        file->private_data = NULL;
        kfree(b);
        return KES_REFUSED;
    }
    return KES_OK;
}

/*
 * The kernel takes only 0 or a negative error from open. A module that is not ready has no
 * device yet (-ENODEV); one that is going away answers as the kernel does for a device whose
 * driver is leaving (-ENXIO); a failed allocation is -ENOMEM.
 */
int kesOpen(struct inode *, struct file *file)
{
    switch (openBackup(file)) {
    case KES_OK:
        return 0;
    case KES_NOT_READY:
        return -ENODEV;
    case KES_NO_MEMORY:
        return -ENOMEM;
    default:
        return -ENXIO;
    }
}

int kesRelease(struct inode *, struct file *file)
{
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return KES_INVALID;
    file->private_data = NULL;
    closeBackup(b);
    kesModPut();
    return 0;
}

/* No data moves through read, write or poll: everything goes through the commands and the
 * mapped buffer. */
ssize_t kesRead(struct file *, user_addr_t, size_t, loff_t *) { return 0; }
ssize_t kesWrite(struct file *, user_addr_t, size_t, loff_t *) { return 0; }
unsigned int kesPoll(struct file *, poll_table *) { return 0; }

} // namespace kes
