// The lock validator's annotations, for the simulated kernel and for tests: what they tell
// the validator beyond what 2.6.9's lock calls say. A module sees none of this (2.6.9 has no
// validator); scripts/check-layers.sh refuses a module file that includes it.
#pragma once

#include "platform/kernel.h"

// Gives a lock an explicit class and name (instead of its initialisation site's).
void lockdep_set_class_and_name(struct lockdep_map* map, const struct lock_class_key* key,
                                const char* name);

// Takes a second lock of a class already held, as subclass (1 and up) of the class.
void spin_lock_nested(spinlock_t* lock, int subclass);
void down_nested(struct semaphore* sem, int subclass);
#define spin_lock_irqsave_nested(lock, flags, subclass) \
    do {                                                \
        local_irq_save(flags);                          \
        spin_lock_nested((lock), (subclass));           \
    } while (0)
#define SINGLE_DEPTH_NESTING 1
