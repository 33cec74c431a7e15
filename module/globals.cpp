/*
 * Module-wide state shared by several subsystems, with the values it has when the module
 * is loaded.
 */
#include "module/kestrel.h"

namespace kes {

atomic_t initDone = ATOMIC_INIT(0);
int busy = 0;
spinlock_t busyLock = SPIN_LOCK_UNLOCKED;
Backup *activeSession = NULL;
struct rw_semaphore activeSessionUsers = __RWSEM_INITIALIZER(activeSessionUsers);
struct semaphore signalThread = __SEMAPHORE_INITIALIZER(1);

void kesLoadData(void)
{
    atomic_set(&initDone, 0);
    busy = 0;
    spin_lock_init(&busyLock);
    activeSession = NULL;
    init_rwsem(&activeSessionUsers);
    sema_init(&signalThread, 1);
}

} // namespace kes
