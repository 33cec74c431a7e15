// Spin locks, semaphores, read-write semaphores and completions. The spin locks are real
// (several host threads run at once) and count as atomic context for the sleep check;
// the sleeping locks wait on their own atomic words.
#include "sim/internal.h"

using sim::current_task;

namespace sim {

namespace {

struct WaitQueue {
    std::mutex mu;
    std::condition_variable cv;
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
    q.cv.wait(lk, ready);
}

void wake_up_address(const void* addr)
{
    WaitQueue& q = queue_of(addr);
    // Taking the queue's lock orders the wake after a sleeper's last look at the state.
    { std::lock_guard<std::mutex> g(q.mu); }
    q.cv.notify_all();
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

void local_irq_restore(unsigned long flags) { current_task()->irqsOff = flags != 0; }
int irqs_disabled(void) { return current_task()->irqsOff ? 1 : 0; }
int in_interrupt(void) { return current_task()->inIrq ? 1 : 0; }

void spin_lock_init(spinlock_t* lock) { lock->lock.store(0); }

void spin_lock(spinlock_t* lock)
{
    current_task()->preempt++;
    while (lock->lock.exchange(1, std::memory_order_acquire) != 0) {
        while (lock->lock.load(std::memory_order_relaxed) != 0)
            std::this_thread::yield();
    }
}

void spin_unlock(spinlock_t* lock)
{
    if (lock->lock.exchange(0, std::memory_order_release) == 0)
        sim::K().report_bug("spin_unlock of a lock that is not held");
    sim::Task* t = current_task();
    if (--t->preempt < 0) {
        t->preempt = 0;
        sim::K().report_bug("spin lock released more often than taken");
    }
}

void sema_init(struct semaphore* sem, int val) { sem->count.store(val); }

void down(struct semaphore* sem)
{
    might_sleep();
    for (;;) {
        int c = sem->count.load();
        if (c > 0) {
            if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire))
                return;
            continue;
        }
        sim::sleep_on(sem, [sem] { return sem->count.load() > 0; });
    }
}

int down_interruptible(struct semaphore* sem)
{
    down(sem);
    return 0;
}

int down_trylock(struct semaphore* sem)
{
    int c = sem->count.load();
    while (c > 0) {
        if (sem->count.compare_exchange_weak(c, c - 1, std::memory_order_acquire))
            return 0;
    }
    return 1;
}

void up(struct semaphore* sem)
{
    sem->count.fetch_add(1, std::memory_order_release);
    sim::wake_up_address(sem);
}

void init_rwsem(struct rw_semaphore* sem)
{
    sem->activity.store(0);
    sem->waitingWriters.store(0);
}

static void rwsem_wake(struct rw_semaphore* sem) { sim::wake_up_address(sem); }

int down_read_trylock(struct rw_semaphore* sem)
{
    int a = sem->activity.load();
    while (a >= 0 && sem->waitingWriters.load() == 0) {
        if (sem->activity.compare_exchange_weak(a, a + 1, std::memory_order_acquire))
            return 1;
    }
    return 0;
}

void down_read(struct rw_semaphore* sem)
{
    might_sleep();
    while (!down_read_trylock(sem))
        sim::sleep_on(sem, [sem] { return sem->activity.load() >= 0 && sem->waitingWriters.load() == 0; });
}

void up_read(struct rw_semaphore* sem)
{
    if (sem->activity.fetch_sub(1, std::memory_order_release) <= 0)
        sim::K().report_bug("up_read without a reader");
    rwsem_wake(sem);
}

int down_write_trylock(struct rw_semaphore* sem)
{
    int idle = 0;
    return sem->activity.compare_exchange_strong(idle, -1, std::memory_order_acquire) ? 1 : 0;
}

void down_write(struct rw_semaphore* sem)
{
    might_sleep();
    sem->waitingWriters.fetch_add(1);
    while (!down_write_trylock(sem))
        sim::sleep_on(sem, [sem] { return sem->activity.load() == 0; });
    sem->waitingWriters.fetch_sub(1);
    // Readers held back by this writer's wait now wait for its release instead.
}

void up_write(struct rw_semaphore* sem)
{
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
