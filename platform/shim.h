/*
 * The kernel-version layer: what differs between the kernels the module is built for. The
 * module record and the module operations through which the module registers itself and
 * counts its references, the lookup and locking of a block device's request queue, and the
 * atomic operations later kernels have, built from 2.6.9's.
 * Nothing here knows a record of the module.
 */
#ifndef KESTREL_PLATFORM_SHIM_H
#define KESTREL_PLATFORM_SHIM_H

#include "platform/kernel.h"

namespace kes {

/* ------------------------------------------------------------ module operations */

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

/* The module's entry points, which the module record and the unload hook name. Defined by
 * the module's life cycle (module/lifecycle.cpp, module/globals.cpp). */
void kesLoadData(void);
int kesInit(void);
void kesExit(void);
int kesUnload(void);

/* ------------------------------------------------------------ request queues */

/* The queue of the device's disk, or NULL without a device or disk. */
request_queue_t *kesGetRequestQueue(struct block_device *bdev);
/* Take and release the queue's own lock (interrupts off) when it has one; no-ops otherwise. */
void kesLockRequestQueue(request_queue_t *q, unsigned long *flags);
void kesUnlockRequestQueue(request_queue_t *q, unsigned long flags);

/* ------------------------------------------------------------ atomic counters */

/* Later kernels' compare-and-swap on a counter, which 2.6.9's i386 atomic.h lacks, built on
 * i386's cmpxchg (every i686 has the instruction): stores n when the counter holds old;
 * returns the value it held, so the swap happened when that is old. */
static inline int atomic_cmpxchg(atomic_t *v, int old, int n) { return cmpxchg(&v->counter, old, n); }

/* Adds one to the counter and returns the new value (later kernels' atomic_inc_return). */
static inline int atomic_inc_return(atomic_t *v)
{
    int cur = atomic_read(v), found;
    while ((found = atomic_cmpxchg(v, cur, cur + 1)) != cur)
        cur = found;
    return cur + 1;
}

} // namespace kes

#endif /* KESTREL_PLATFORM_SHIM_H */
