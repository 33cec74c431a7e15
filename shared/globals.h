/*
 * Module-wide state that several subsystems share: the module's single backup slot, the
 * running backup that copy-on-write and the worker find, and the worker's wake-ups. The
 * values at load are laid out by kesLoadData (module/globals.cpp).
 */
#ifndef KESTREL_SHARED_GLOBALS_H
#define KESTREL_SHARED_GLOBALS_H

#include "platform/kernel.h"
#include "shared/backup.h"

namespace kes {

/* 1 while a Backup holds the module's single backup slot. */
extern int busy;                           /* busyLock */
extern Backup *busyHolder;                 /* busyLock: the Backup that holds the slot */
extern spinlock_t busyLock;                /* taken with interrupts off, never across a sleep */
/* The Backup whose backup has started; the copy-on-write path and the worker find it here. */
extern Backup *activeSession;              /* activeSessionUsers */
extern struct rw_semaphore activeSessionUsers;
/* Wake-ups owed to the kbackupd worker. */
extern struct semaphore signalThread;

/* 1 when dev is the device of the running backup. Takes activeSessionUsers (read). */
int isActiveBackupDevice(u32 dev);

} // namespace kes

#endif /* KESTREL_SHARED_GLOBALS_H */
