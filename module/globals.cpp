/*
 * Module-wide state shared by several subsystems, with the values it has when the module
 * is loaded.
 */
#include "automap/automap.h"
#include "cow/workqueue.h"
#include "intercept/intercept.h"
#include "module/kestrel.h"
#include "snapshot/snapshot.h"

namespace kes {

atomic_t initDone = ATOMIC_INIT(0);
int busy = 0;
Backup *busyHolder = NULL;
spinlock_t busyLock = SPIN_LOCK_UNLOCKED;
Backup *activeSession = NULL;
struct rw_semaphore activeSessionUsers = __RWSEM_INITIALIZER(activeSessionUsers);
struct semaphore signalThread = __SEMAPHORE_INITIALIZER(signalThread, 1);
struct rw_semaphore snapShotUsers = __RWSEM_INITIALIZER(snapShotUsers);
atomic_t backup_cachePID = ATOMIC_INIT(0);
atomic_t backup_cacheThreadContinue = ATOMIC_INIT(1);
DECLARE_COMPLETION(backup_cacheThreadStartCompleted);
DECLARE_COMPLETION(backup_cacheThreadExited);

AM *amList[AM_LIST_SIZE];
atomic_t amListUsers = ATOMIC_INIT(1);
spinlock_t amListUsersLock = SPIN_LOCK_UNLOCKED;
atomic_t curAllocAMPages = ATOMIC_INIT(0);

TrackedWrite trackedWriteReserve[TRACKED_WRITE_RESERVE];
unsigned long trackedWriteReserveUsed = 0;

LIST_HEAD(queueListHead);
atomic_t queueListUsers = ATOMIC_INIT(1);
spinlock_t queueListUsersLock = SPIN_LOCK_UNLOCKED;
atomic_t queuesDraining = ATOMIC_INIT(0);
atomic_t snapShotCancel = ATOMIC_INIT(0);

void kesLoadData(void)
{
    atomic_set(&initDone, 0);
    busy = 0;
    busyHolder = NULL;
    spin_lock_init(&busyLock);
    activeSession = NULL;
    init_rwsem(&activeSessionUsers);
    sema_init(&signalThread, 1);
    init_rwsem(&snapShotUsers);
    atomic_set(&backup_cachePID, 0);
    atomic_set(&backup_cacheThreadContinue, 1);
    init_completion(&backup_cacheThreadStartCompleted);
    init_completion(&backup_cacheThreadExited);

    memset(amList, 0, sizeof(amList));
    atomic_set(&amListUsers, 1);
    spin_lock_init(&amListUsersLock);
    atomic_set(&curAllocAMPages, 0);

    memset(trackedWriteReserve, 0, sizeof(trackedWriteReserve));
    trackedWriteReserveUsed = 0;

    INIT_LIST_HEAD(&queueListHead);
    atomic_set(&queueListUsers, 1);
    spin_lock_init(&queueListUsersLock);
    atomic_set(&queuesDraining, 0);
    atomic_set(&snapShotCancel, 0);
}

} // namespace kes
