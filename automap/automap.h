/*
 * Automaps: for each tracked device, a bitmap of the blocks written since the snapshot that
 * started it, kept in the table amList between backups.
 *
 * Table readers (the request functions, the hook registry, the commands) never block a
 * writer for long and never see a record being freed:
 *   1. enterAMList(): raise amListUsers under amListUsersLock;
 *   2. read the device's slot (amSlot);
 *   3. to use the record beyond this point, take a use of it (getUse on am->lock, am->users);
 *   4. leaveAMList(): lower amListUsers;
 *   5. when done with the record, putAMUse().
 * getAMUse() does steps 1 to 4 for one device. A reader that only clears tracking skips
 * steps 3 and 5 and does its write between steps 2 and 4.
 *
 * Writers of the table (newAMS, closeAMS, closeAllAMS) call waitForAMListUsers and change
 * slots while they hold amListUsersLock. A record taken out of the table can then only have
 * users that found it before; closeAM waits for them before it frees the record.
 *
 * The table covers majors and minors 0 to 255; other devices have no slot and never an
 * automap.
 */
#ifndef KESTREL_AUTOMAP_AUTOMAP_H
#define KESTREL_AUTOMAP_AUTOMAP_H

#include "blockmap/blockmap.h"
#include "shared/backup.h"
#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"

namespace kes {

/* The automap of one device. */
struct AM {
    DiskInfo disk;         /* copy of the creating Backup's disk; never changed afterwards */
    atomic_t tracking;     /* 1 while every write is recorded; read by the request functions
                              without a lock, cleared by anyone, set to 1 only by the
                              snapshot while it is the record's only user */
    BlockMap map;          /* changed-block bits; its own locks */
    atomic_t users;        /* 1 when idle; raised under lock by each holder of a pointer
                              obtained from the table */
    spinlock_t lock;       /* guards the raising of users; taken with interrupts off */
    u8 sessionKey[kesSessionKeySize]; /* the snapshot's, under the record held to itself */
};

enum { AM_LIST_SIZE = 65536 };

extern AM *amList[AM_LIST_SIZE];    /* slots: written under amListUsersLock with
                                       amListUsers at 1; read inside amListUsers */
extern atomic_t amListUsers;        /* 1 + readers inside the table */
extern spinlock_t amListUsersLock;  /* taken with interrupts off */
extern atomic_t curAllocAMPages;    /* pages held by the bitmaps of all automaps */

/* ------------------------------------------------------------ table (automap/table.cpp) */

/* The slot index of a device, (major * 256) + minor, or -1 when it has none. */
int amIndex(u32 dev);
/* The device's slot, or NULL when it has none. Caller is inside the table or holds
 * amListUsersLock as a writer. */
AM **amSlot(u32 dev);

void enterAMList(void);
void leaveAMList(void);

/* Returns when no reader is inside the table, holding amListUsersLock with interrupts off
 * (previous state in *flags). Polls; process context only. */
void waitForAMListUsers(unsigned long *flags);
/* The same for one record: returns when am->users is 1, holding am->lock. */
void waitForAMSUsers(AM *am, unsigned long *flags);

/* The automap of dev with a use taken (the caller gives it back with putAMUse), or NULL
 * when the device has none. */
AM *getAMUse(u32 dev);
void putAMUse(AM *am);
/* Clears the tracking flag of dev's automap, if there is one. Caller is inside the table. */
int stopAMTrackingInList(u32 dev);

} // namespace kes

#endif /* KESTREL_AUTOMAP_AUTOMAP_H */
