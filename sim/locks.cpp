// Spin locks, semaphores, read-write semaphores and completions. The spin locks are real
// (several host threads run at once) and count as atomic context for the sleep check;
// the sleeping locks wait on their own atomic words. On a uniprocessor a sleeper gives the
// processor up while it waits, and lock releases, wake-ups and turning interrupts back on
// are interrupt points (sim/cpu.h).
#include "sim/cpu.h"
#include "sim/internal.h"

using sim::current_task;

namespace sim {

namespace {

struct WaitQueue {
    std::mutex mu;
    std::condition_variable cv;
    // Sleepers on the queue, so a wake with nobody to wake takes no lock. A sleeper counts
    // itself before its last look at the state; a waker changes the state before it reads
    // the count. Both read the count with a read-modify-write, so one of the two comes
    // later in the count's order and sees the other: either the waker sees the sleeper, or
    // the sleeper synchronises with the waker and sees the new state.
    std::atomic<int> sleepers{0};
};
WaitQueue waitQueues[64];

WaitQueue& queue_of(const void* addr)
{
    return waitQueues[(reinterpret_cast<uintptr_t>(addr) >> 4) % (sizeof waitQueues / sizeof waitQueues[0])];
}

} // namespace

void sleep_on(const void* addr, const std::function<bool()>& ready)
{
    if (ready())
        return;
    WaitQueue& q = queue_of(addr);
    std::unique_lock<std::mutex> lk(q.mu);
    q.sleepers.fetch_add(1, std::memory_order_acq_rel);
    wait_off_cpu(q.cv, lk, ready);
    q.sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void wake_up_address(const void* addr)
{
    WaitQueue& q = queue_of(addr);
    if (q.sleepers.fetch_add(0, std::memory_order_acq_rel) != 0) {
        // Taking the queue's lock orders the wake after a sleeper's last look at the state.
        { std::lock_guard<std::mutex> g(q.mu); }
        q.cv.notify_all();
    }
    if (current_task()->inIrq) {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> g(K().wakeHookMu);
            hook = K().completionWakeHook;
        }
        if (hook)
            hook();
    }
}

} // namespace sim

unsigned long __local_irq_save(void)
{
    sim::Task* t = current_task();
    unsigned long was = t->irqsOff ? 1 : 0;
    t->irqsOff = true;
    return was;
}

void local_irq_restore(unsigned long flags)
{
    current_task()->irqsOff = flags != 0;
    if (!flags)
        sim::irq_point(); // an interrupt held back by the disabled section arrives now
}
int irqs_disabled(void) { return current_task()->irqsOff ? 1 : 0; }
int in_interrupt(void) { return current_task()->inIrq ? 1 : 0; }

void __spin_lock_init(spinlock_t* lock, const char* name, const struct lock_class_key* key)
{
    lock->lock.store(0);
    lockdep_set_class_and_name(&lock->dep_map, key, name);
    lock->dep_map.untracked = 0;
}

void spin_lock_nested(spinlock_t* lock, int subclass)
{
    current_task()->preempt++;
    sim::lock_acquire(lock, &lock->dep_map, subclass, false);
    while (lock->lock.exchange(1, std::memory_order_acquire) != 0) {
        while (lock->lock.load(std::memory_order_relaxed) != 0)
            std::this_thread::yield();
    }
    sim::lock_acquired(lock, &lock->dep_map, subclass);
}

void spin_lock(spinlock_t* lock) { spin_lock_nested(lock, 0); }

void spin_unlock(spinlock_t* lock)
{
    sim::lock_release(lock, &lock->dep_map);
    if (lock->lock.exchange(0, std::memory_order_release) == 0)
        sim::K().report_bug("spin_unlock of a lock that is not held");
    sim::Task* t = current_task();
    if (--t->preempt < 0) {
        t->preempt = 0;
        sim::K().report_bug("spin lock released more often than taken");
    }
    sim::irq_point();
}

void __sema_init(struct semaphore* sem, int val, int mutex, const char* name, const struct lock_class_key* key)
{
    sem->count.store(val);
    lockdep_set_class_and_name(&sem->dep_map, key, name);
    sem->dep_map.untracked = !mutex;
}

void down_nested(struct semaphore* sem, int subclass)
{
    might_sleep();
    sim::lock_acquire(sem, &sem->dep_map, subclass, false);
    for (;;) {
        int c = sem->count.load();
        if (c > 0) {
            if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire))
                break;
            continue;
        }
        sim::sleep_on(sem, [sem] { return sem->count.load() > 0; });
    }
    sim::lock_acquired(sem, &sem->dep_map, subclass);
}

void down(struct semaphore* sem) { down_nested(sem, 0); }

int down_interruptible(struct semaphore* sem)
{
    down(sem);
    return 0;
}

// Records a lock a trylock took (no order to check: it could not have waited); returns
// the trylock's answer.
template <class Lock>
static int trylock_result(Lock* lock, bool taken)
{
    if (taken) {
        sim::lock_acquire(lock, &lock->dep_map, 0, true);
        sim::lock_acquired(lock, &lock->dep_map, 0);
    }
    return taken ? 1 : 0;
}

int down_trylock(struct semaphore* sem)
{
    int c = sem->count.load();
    while (c > 0) {
        if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire))
            return !trylock_result(sem, true);
    }
    return 1;
}

void up(struct semaphore* sem)
{
    sim::lock_release(sem, &sem->dep_map);
    sem->count.fetch_add(1, std::memory_order_release);
    sim::wake_up_address(sem);
    sim::irq_point();
}

void __init_rwsem(struct rw_semaphore* sem, const char* name, const struct lock_class_key* key)
{
    sem->activity.store(0);
    sem->waitingWriters.store(0);
    lockdep_set_class_and_name(&sem->dep_map, key, name);
    sem->dep_map.untracked = 0;
}

static void rwsem_wake(struct rw_semaphore* sem) { sim::wake_up_address(sem); }

static bool read_trylock(struct rw_semaphore* sem)
{
    int a = sem->activity.load();
    while (a >= 0 && sem->waitingWriters.load() == 0) {
        if (sem->activity.compare_exchange_weak(a, a + 1, std::memory_order_acquire))
            return true;
    }
    return false;
}

int down_read_trylock(struct rw_semaphore* sem) { return trylock_result(sem, read_trylock(sem)); }

// A reader waits behind a writer that waits, so a read lock takes part in the lock order
// as fully as a write lock: taking it twice, or in both orders with another lock, can
// deadlock once a writer comes between.
void down_read(struct rw_semaphore* sem)
{
    might_sleep();
    sim::lock_acquire(sem, &sem->dep_map, 0, false);
    while (!read_trylock(sem))
        sim::sleep_on(sem, [sem] { return sem->activity.load() >= 0 && sem->waitingWriters.load() == 0; });
    sim::lock_acquired(sem, &sem->dep_map, 0);
}

void up_read(struct rw_semaphore* sem)
{
    sim::lock_release(sem, &sem->dep_map);
    if (sem->activity.fetch_sub(1, std::memory_order_release) <= 0)
        sim::K().report_bug("up_read without a reader");
    rwsem_wake(sem);
}

static bool write_trylock(struct rw_semaphore* sem)
{
    int idle = 0;
    return sem->activity.compare_exchange_strong(idle, -1, std::memory_order_acquire);
}

int down_write_trylock(struct rw_semaphore* sem) { return trylock_result(sem, write_trylock(sem)); }

void down_write(struct rw_semaphore* sem)
{
    might_sleep();
    sim::lock_acquire(sem, &sem->dep_map, 0, false);
    sem->waitingWriters.fetch_add(1);
    while (!write_trylock(sem))
        sim::sleep_on(sem, [sem] { return sem->activity.load() == 0; });
    sem->waitingWriters.fetch_sub(1);
    // Readers held back by this writer's wait now wait for its release instead.
    sim::lock_acquired(sem, &sem->dep_map, 0);
}

void up_write(struct rw_semaphore* sem)
{
    sim::lock_release(sem, &sem->dep_map);
    int was = -1;
    if (!sem->activity.compare_exchange_strong(was, 0, std::memory_order_release))
        sim::K().report_bug("up_write without the writer");
    rwsem_wake(sem);
}

void init_completion(struct completion* x) { x->done.store(0); }

void complete(struct completion* x)
{
    x->done.fetch_add(1, std::memory_order_release);
    sim::wake_up_address(x);
    sim::irq_point();
}

void wait_for_completion(struct completion* x)
{
    might_sleep();
    for (;;) {
        unsigned d = x->done.load(std::memory_order_acquire);
        if (d > 0) {
            if (x->done.compare_exchange_weak(d, d - 1, std::memory_order_acquire))
                return;
            continue;
        }
        sim::sleep_on(x, [x] { return x->done.load() > 0; });
    }
}
