/*
 * The snapshot command and the automap queries.
 */
#ifndef KESTREL_AUTOMAP_SNAPSHOT_H
#define KESTREL_AUTOMAP_SNAPSHOT_H

#include "module/backup.h"
#include "module/kestrel_ioctl.h"
#include "platform/kernel.h"

namespace kes {

/* Snapshot commands in progress (readers) against closing every automap (writer): the
 * snapshot holds an automap without a use between renewing its key and switching it on. */
extern struct rw_semaphore snapShotUsers;

/* end - start, nanoseconds normalised to 0 .. 999999999. */
struct timespec calcTimeDiff(struct timespec start, struct timespec end);
int ioctlSnapShot(Backup *b, user_addr_t keyAddress, u32 keyLength);
int ioctlGetAutoMapState(Backup *b, user_addr_t address, u32 length);
int ioctlGetAutoMap(Backup *b, MapArgs *map);
int ioctlNoLoadFromAutoMap(Backup *b);
int ioctlNoStartAutoMap(Backup *b);

} // namespace kes

#endif /* KESTREL_AUTOMAP_SNAPSHOT_H */
