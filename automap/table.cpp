/*
 * The automap table and its reader protocol.
 */
#include "automap/automap.h"
#include "base/users.h"

namespace kes {

int amIndex(u32 dev)
{
    u32 major = MAJOR(dev);
    u32 minor = MINOR(dev);

    if (major > 255 || minor > 255)
        return -1;
    return (int)((major << 8) | minor);
}

AM **amSlot(u32 dev)
{
    int i = amIndex(dev);

    return i < 0 ? NULL : &amList[i];
}

void enterAMList(void) { getUse(&amListUsersLock, &amListUsers); }

void leaveAMList(void) { putUse(&amListUsers); }

void waitForAMListUsers(unsigned long *flags) { waitForUsers(&amListUsersLock, &amListUsers, flags); }

void waitForAMSUsers(AM *am, unsigned long *flags) { waitForUsers(&am->lock, &am->users, flags); }

AM *getAMUse(u32 dev)
{
    AM **slot = amSlot(dev);
    AM *am;

    if (!slot)
        return NULL;
    enterAMList();
    am = *slot;
    /* The use is taken before the table is left, so a writer that takes the record out
     * after this point finds the use and waits for it. */
    if (am)
        getUse(&am->lock, &am->users);
    leaveAMList();
    return am;
}

void putAMUse(AM *am) { putUse(&am->users); }

int stopAMTrackingInList(u32 dev)
{
    AM **slot = amSlot(dev);

    if (!slot || !*slot)
        return 0;
    atomic_set(&(*slot)->tracking, 0);
    return 1;
}

} // namespace kes
