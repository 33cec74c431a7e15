// The lock validator: an order of lock classes that could deadlock is reported the first
// time both orders have been seen, even by different tasks that never block each other;
// so are a second lock of a class already held, and a lock the interrupt context shares
// with code that runs with interrupts on. Each report fails the test that caused it.
#include <string>
#include <thread>

#include "sim/lockdep.h"
#include "tests/sim/block_helpers.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

class LockValidatorTest : public MachineTest {
protected:
    // The one bug reported since the last look, which is then forgotten; "" when none.
    std::string TakeBug()
    {
        std::vector<std::string> bugs = machine.bugs();
        machine.clear_bugs();
        EXPECT_LE(bugs.size(), 1u);
        return bugs.empty() ? "" : bugs[0];
    }
};

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Two threads take two locks in opposite orders, one after the other: nothing hangs, but
// the second order is reported, naming both classes.
TEST_F(LockValidatorTest, OppositeOrdersAreReportedBeforeTheyHang)
{
    struct semaphore a, b;
    init_MUTEX(&a);
    init_MUTEX(&b);
    std::thread([&] {
        down(&a);
        down(&b);
        up(&b);
        up(&a);
    }).join();
    EXPECT_EQ(TakeBug(), "");
    std::thread([&] {
        down(&b);
        down(&a);
        up(&a);
        up(&b);
    }).join();
    std::string bug = TakeBug();
    EXPECT_TRUE(Has(bug, "circular locking dependency")) << bug;
    EXPECT_TRUE(Has(bug, "&a at")) << bug;
    EXPECT_TRUE(Has(bug, "&b at")) << bug;

    // Reported once; a trylock cannot wait, so it adds no order.
    down(&b);
    down(&a);
    up(&a);
    up(&b);
    EXPECT_EQ(TakeBug(), "");
    spinlock_t s;
    spin_lock_init(&s);
    unsigned long flags;
    spin_lock_irqsave(&s, flags);
    EXPECT_EQ(down_trylock(&a), 0);
    up(&a);
    spin_unlock_irqrestore(&s, flags);
    down(&a);
    spin_lock_irqsave(&s, flags);
    spin_unlock_irqrestore(&s, flags);
    up(&a);
    EXPECT_EQ(TakeBug(), "");
}

// The cycle may run through several classes and mix semaphores and read-write
// semaphores, read or write.
TEST_F(LockValidatorTest, LongerCyclesThroughEveryKindOfSleepingLock)
{
    struct rw_semaphore rw;
    init_rwsem(&rw);
    struct semaphore m, n;
    init_MUTEX(&m);
    init_MUTEX(&n);

    down_read(&rw);
    down(&m);
    up(&m);
    up_read(&rw);
    down(&m);
    down(&n);
    up(&n);
    up(&m);
    EXPECT_EQ(TakeBug(), "");

    down(&n);
    down_write(&rw);
    up_write(&rw);
    up(&n);
    std::string bug = TakeBug();
    EXPECT_TRUE(Has(bug, "circular locking dependency")) << bug;
    EXPECT_TRUE(Has(bug, "&rw at")) << bug;
    EXPECT_TRUE(Has(bug, "&m")) << bug;
}

// Locks initialised at one place are one class: holding one while taking another is
// reported, unless the second is taken as a subclass. A semaphore that counts events (made
// by sema_init, whatever its count) is no lock: one task may take it and another give it
// back; one made by init_MUTEX is.
TEST_F(LockValidatorTest, OneClassPerInitialisationSite)
{
    spinlock_t locks[2];
    for (spinlock_t& l : locks)
        spin_lock_init(&l);
    unsigned long f0, f1;
    spin_lock_irqsave(&locks[0], f0);
    spin_lock_irqsave(&locks[1], f1);
    spin_unlock_irqrestore(&locks[1], f1);
    spin_unlock_irqrestore(&locks[0], f0);
    EXPECT_TRUE(Has(TakeBug(), "possible recursive locking"));

    spin_lock_irqsave(&locks[0], f0);
    spin_lock_irqsave_nested(&locks[1], f1, SINGLE_DEPTH_NESTING);
    spin_unlock_irqrestore(&locks[1], f1);
    spin_unlock_irqrestore(&locks[0], f0);
    EXPECT_EQ(TakeBug(), "");

    struct semaphore events;
    sema_init(&events, 0);
    std::thread([&] { up(&events); }).join();
    down(&events);
    struct semaphore wakeups; // counts from 1, as the worker's wake-ups do
    sema_init(&wakeups, 1);
    down(&wakeups);
    std::thread([&] { up(&wakeups); }).join();
    down(&wakeups);
    EXPECT_EQ(TakeBug(), "");
    struct semaphore handedOver;
    init_MUTEX(&handedOver);
    down(&handedOver);
    std::thread([&] { up(&handedOver); }).join();
    down(&handedOver); // no longer counted as held by this task
    up(&handedOver);
    EXPECT_EQ(TakeBug(), "");
}

struct IrqLockProbe {
    Probe probe;
    spinlock_t* lock;
};

int take_lock_end_io(struct bio* bio, unsigned int, int)
{
    auto* p = static_cast<IrqLockProbe*>(bio->bi_private);
    if (bio->bi_size)
        return 1;
    spin_lock(p->lock);
    spin_unlock(p->lock);
    complete(&p->probe.done);
    return 0;
}

// A lock the disk's completion takes must be taken with interrupts off everywhere else;
// the driver's own queue lock is checked the same way.
TEST_F(LockValidatorTest, LockOfTheInterruptContextTakenWithInterruptsOn)
{
    sim::DiskConfig c;
    c.size_bytes = 1 << 20;
    c.queue_lock = true;
    ASSERT_EQ(sim::add_disk(machine, c), 0);
    struct block_device* disk = bdget(MKDEV(8, 0));
    ASSERT_NE(disk, nullptr);

    spinlock_t lock;
    spin_lock_init(&lock);
    IrqLockProbe p;
    p.lock = &lock;
    auto readOnce = [&] {
        struct bio* bio = page_bio(disk, 0, 8, &p.probe);
        bio->bi_end_io = take_lock_end_io;
        bio->bi_private = &p;
        submit_bio(READ, bio);
        wait_for_completion(&p.probe.done);
        free_page_bio(bio);
    };
    readOnce();
    unsigned long flags;
    spin_lock_irqsave(&lock, flags);
    spin_unlock_irqrestore(&lock, flags);
    EXPECT_EQ(TakeBug(), "");
    spin_lock(&lock);
    spin_unlock(&lock);
    std::string bug = TakeBug();
    EXPECT_TRUE(Has(bug, "inconsistent lock state")) << bug;
    EXPECT_TRUE(Has(bug, "&lock at")) << bug;

    // Taken with interrupts on first, in the interrupt context second: the same report.
    spinlock_t later;
    spin_lock_init(&later);
    spin_lock(&later);
    spin_unlock(&later);
    p.lock = &later;
    readOnce();
    EXPECT_TRUE(Has(TakeBug(), "inconsistent lock state"));

    spinlock_t* q = disk->bd_disk->queue->queue_lock;
    ASSERT_NE(q, nullptr);
    spin_lock(q);
    spin_unlock(q);
    bug = TakeBug();
    EXPECT_TRUE(Has(bug, "queue_lock")) << bug;
    bdput(disk);
}

} // namespace
} // namespace kestrel_test
