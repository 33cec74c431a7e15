/*
 * Users counters: how the module keeps a shared thing alive while parties work on it without
 * holding a lock, and how a writer gets it to itself.
 *
 * A counter is 1 when nobody is inside, plus one for each party inside. A party raises it
 * under the owner's spin lock (interrupts off), releases the lock, works, and lowers it with
 * one atomic decrement, without the lock. A writer polls: it takes the lock and, while the
 * counter is not 1, releases it, yields the processor and tries again; it returns holding the
 * lock, and since nobody can raise the counter without that lock, it has the thing to itself
 * until it releases the lock.
 */
#ifndef KESTREL_BASE_USERS_H
#define KESTREL_BASE_USERS_H

#include "platform/kernel.h"

namespace kes {

/* Enters: raises users under lock. Must not be called with lock held. */
static inline void getUse(spinlock_t *lock, atomic_t *users)
{
    unsigned long flags;

    spin_lock_irqsave(lock, flags);
    atomic_inc(users);
    spin_unlock_irqrestore(lock, flags);
}

/* Leaves: one atomic decrement, no lock. */
static inline void putUse(atomic_t *users) { atomic_dec(users); }

/*
 * Returns once nobody but the caller is inside (users == 1), holding lock with interrupts
 * off and the previous interrupt state in *flags; the caller releases it with
 * spin_unlock_irqrestore(lock, *flags). Process context only: it yields while it waits.
 */
static inline void waitForUsers(spinlock_t *lock, atomic_t *users, unsigned long *flags)
{
    spin_lock_irqsave(lock, *flags);
    while (atomic_read(users) != 1) {
        spin_unlock_irqrestore(lock, *flags);
        schedule();
        spin_lock_irqsave(lock, *flags);
    }
}

} // namespace kes

#endif /* KESTREL_BASE_USERS_H */
