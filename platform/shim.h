/*
 * The kernel-version layer: what differs between the kernels the module is built for. The
 * module record and the module operations through which the module registers itself and
 * counts its references, and the lookup and locking of a block device's request queue.
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

} // namespace kes

#endif /* KESTREL_PLATFORM_SHIM_H */
