/*
 * The snapshot work: automap sessions (creating and closing the automaps of the table), the
 * snapshot command that starts and renews them, and the automap queries.
 */
#ifndef KESTREL_SNAPSHOT_SNAPSHOT_H
#define KESTREL_SNAPSHOT_SNAPSHOT_H

#include "automap/automap.h"
#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "shared/backup.h"

namespace kes {

/* ------------------------------------------------------------ automap sessions (snapshot/session.cpp) */

/*
 * Creates the automap of the Backup's device (not tracking, all clear, zero key), registers
 * it and stores it in *amOut. The record holds its own reference on the block device.
 * Returns 0; 2 when the device number has no slot or names no device; 5 when the record
 * cannot be allocated; newBlockMap's status when the bitmap cannot be made (nothing
 * registered, *amOut untouched). A record that still occupied the slot is freed. May sleep.
 */
int newAMS(Backup *b, AM **amOut);
/* Removes the automap of the Backup's device from the table and closes it: 0, or 2 when the
 * device had none. May sleep. */
int closeAMS(Backup *b);
/* Removes and closes every automap, one slot at a time. May sleep. */
void closeAllAMS(void);
/* Takes the device out of the hook registry, waits for the record's users and frees it. The
 * record must already be out of the table. May sleep. */
void closeAM(AM *am);

/* ------------------------------------------------------------ the snapshot command and the queries */

/* Snapshot commands in progress (readers) against closing every automap (writer): the
 * snapshot holds an automap without a use between renewing its key and switching it on. */
extern struct rw_semaphore snapShotUsers;
/* Non-zero while closing every automap waits for snapShotUsers: a snapshot waiting for its
 * queue's earlier requests gives up. */
extern atomic_t snapShotCancel;

/* end - start, nanoseconds normalised to 0 .. 999999999. */
struct timespec calcTimeDiff(struct timespec start, struct timespec end);
int ioctlSnapShot(Backup *b, user_addr_t keyAddress, u32 keyLength);
int ioctlGetAutoMapState(Backup *b, user_addr_t address, u32 length);
int ioctlGetAutoMap(Backup *b, MapArgs *map);
int ioctlNoLoadFromAutoMap(Backup *b);
int ioctlNoStartAutoMap(Backup *b);

} // namespace kes

#endif /* KESTREL_SNAPSHOT_SNAPSHOT_H */
