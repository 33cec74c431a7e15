// Tasks and kernel threads, scheduling, time and randomness.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "sim/cpu.h"
#include "sim/internal.h"

namespace sim {

namespace {

// Outside any machine a host thread keeps a task of its own. Inside one, its task
// (tlsHostTask) belongs to the running kernel, so that it outlives its thread: someone may
// still be waking it (as the kernel keeps a task's record until nobody can reach it).
thread_local std::unique_ptr<Task> tlsOutside;

Task* new_host_task(int pid)
{
    auto* t = new Task;
    t->pid = pid;
    strncpy(t->comm, "host", sizeof t->comm - 1);
    return t;
}

} // namespace

Task* current_host_task()
{
    Kernel* running = running_kernel();
    if (!running) {
        if (!tlsOutside)
            tlsOutside.reset(new_host_task(0));
        return tlsOutside.get();
    }
    Kernel& k = *running;
    if (!tlsHostTask || tlsHostTaskGeneration != k.generation) {
        Task* t = new_host_task(k.nextPid.fetch_add(1));
        std::lock_guard<std::mutex> g(k.taskMu);
        k.hostTasks.emplace_back(t);
        tlsHostTask = t;
        tlsHostTaskGeneration = k.generation;
    }
    return tlsHostTask;
}

void set_current_task(Task* task) { tlsCurrentTask = task; }

} // namespace sim

using sim::K;
using sim::Task;

struct task_struct* get_current(void)
{
    return reinterpret_cast<struct task_struct*>(sim::current_task());
}

static Task* as_task(struct task_struct* t) { return reinterpret_cast<Task*>(t); }

void __set_current_state(long state) { sim::current_task()->state.store(state); }

void schedule(void)
{
    Task* t = sim::current_task();
    if (t->preempt > 0 || t->inIrq)
        K().report_bug(std::string("scheduling while atomic in ") + t->comm);
    long s = t->state.load();
    if (s == TASK_RUNNING) {
        sim::cpu_yield();
        return;
    }
    sim::sleep_on(t, [t] { return t->state.load() == TASK_RUNNING; });
}

int wake_up_process(struct task_struct* task)
{
    if (!task)
        return 0;
    Task* t = as_task(task);
    long was = t->state.exchange(TASK_RUNNING);
    sim::wake_up_address(t);
    sim::irq_point();
    return was != TASK_RUNNING;
}

int kernel_thread(int (*fn)(void*), void* arg, unsigned long)
{
    might_sleep();
    if (K().faults.should_fail(sim::Fault::Thread, __builtin_return_address(0)))
        return -EAGAIN;
    auto owned = std::make_unique<Task>();
    Task* t = owned.get();
    t->pid = K().nextPid.fetch_add(1);
    t->kthread = true;
    memcpy(t->comm, sim::current_task()->comm, sizeof t->comm);
    // Kernel threads that have ended are reaped here, as their parent would: the host
    // thread is joined (its stack freed) and the task forgotten, so that a machine that
    // starts a thread per job does not keep one for every job it ever ran.
    // A thread marks itself exited a little before its last use of its task.
    std::vector<std::thread> ended;
    std::vector<std::unique_ptr<Task>> endedTasks;
    std::unique_lock<std::mutex> g(K().taskMu);
    auto& kt = K().kthreads;
    auto& ht = K().hostThreads;
    for (size_t i = 0; i < kt.size();) {
        if (kt[i]->exited.load()) {
            ended.push_back(std::move(ht[i]));
            endedTasks.push_back(std::move(kt[i]));
            kt.erase(kt.begin() + static_cast<long>(i));
            ht.erase(ht.begin() + static_cast<long>(i));
        } else {
            i++;
        }
    }
    g.unlock();
    for (std::thread& th : ended)
        th.join();
    g.lock();
    K().kthreads.push_back(std::move(owned));
    K().hostThreads.emplace_back([t, fn, arg] {
        sim::set_current_task(t);
        // A new thread runs once its creator gives the processor up.
        sim::cpu_enter();
        if (setjmp(t->exitJump) == 0)
            fn(arg);
        (void)sim::cpu_release(); // the thread is gone: the processor goes to the next
        t->exited.store(true);
        sim::set_current_task(nullptr);
    });
    return t->pid;
}

void daemonize(const char* name, ...)
{
    Task* t = sim::current_task();
    char comm[sizeof t->comm];
    va_list ap;
    va_start(ap, name);
    vsnprintf(comm, sizeof comm, name, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(K().taskMu);
    memcpy(t->comm, comm, sizeof comm);
}

int allow_signal(int sig)
{
    if (sig < 1 || sig > 64)
        return -EINVAL;
    sim::current_task()->allowedSignals |= 1UL << (sig - 1);
    return 0;
}

int signal_pending(struct task_struct* task)
{
    Task* t = as_task(task);
    return (t->pendingSignals.load() & t->allowedSignals) != 0;
}

void complete_and_exit(struct completion* comp, long)
{
    Task* t = sim::current_task();
    if (!t->kthread) {
        printk("<0>complete_and_exit called outside a kernel thread\n");
        BUG();
    }
    if (t->preempt > 0 || t->irqsOff)
        K().report_bug(std::string("thread exiting with a spin lock held: ") + t->comm);
    t->exited.store(true);
    if (comp)
        complete(comp);
    longjmp(t->exitJump, 1);
}

struct timespec current_kernel_time(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// Sleeps for msecs (shortened by the machine's speed-up) or, when interruptible, until a
// signal the task allows is pending; returns the milliseconds left.
static unsigned long sleep_ms(unsigned int msecs, bool interruptible)
{
    might_sleep();
    Task* t = sim::current_task();
    using clock = std::chrono::steady_clock;
    auto end = clock::now() + std::chrono::microseconds(1000ull * msecs / K().sleepSpeedup.load());
    // Asleep, the task gives the processor up, as every sleep does.
    const int depth = sim::cpu_release();
    for (;;) {
        if (interruptible && signal_pending(reinterpret_cast<struct task_struct*>(t)))
            break;
        auto now = clock::now();
        if (now >= end)
            break;
        std::this_thread::sleep_for(std::min<clock::duration>(end - now, std::chrono::milliseconds(1)));
    }
    sim::cpu_reacquire(depth);
    if (clock::now() >= end)
        return 0;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - clock::now()).count();
    return left > 0 ? static_cast<unsigned long>(left) * K().sleepSpeedup.load() / 1000 + 1 : 0;
}

void msleep(unsigned int msecs) { sleep_ms(msecs, false); }

unsigned long msleep_interruptible(unsigned int msecs) { return sleep_ms(msecs, true); }

void get_random_bytes(void* buf, int nbytes)
{
    std::lock_guard<std::mutex> g(K().rndMu);
    auto* p = static_cast<unsigned char*>(buf);
    for (int i = 0; i < nbytes; i++)
        p[i] = static_cast<unsigned char>(K().rng());
}

namespace sim {

std::vector<ThreadInfo> Machine::threads() const
{
    std::vector<ThreadInfo> out;
    std::lock_guard<std::mutex> g(k_->taskMu);
    for (auto& t : k_->kthreads)
        out.push_back({t->pid, t->comm, t->exited.load()});
    return out;
}

} // namespace sim
