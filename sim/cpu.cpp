// The processor of a uniprocessor machine: who runs, who waits, and interrupt delivery.
#include "sim/cpu.h"

#include <cstdio>

namespace sim {

namespace {

// A context that holds the processor this long while another waits for it is reported
// and the program stopped: on a uniprocessor that is a hang (a busy wait that never gives
// the processor up, or a wait the simulation does not know of), and the report names it.
constexpr auto kLockupLimit = std::chrono::seconds(120);

void set_running(Cpu& c, Task* t)
{
    c.running.store(t, std::memory_order_release);
    c.since = std::chrono::steady_clock::now();
}

// Waits under lk until ready holds, watching for a holder that never lets go.
template <class Pred> void wait_for_cpu(Cpu& c, std::unique_lock<std::mutex>& lk, Task* self, Pred ready)
{
    while (!ready()) {
        if (c.cv.wait_for(lk, std::chrono::seconds(5), ready))
            return;
        Task* holder = c.running.load();
        if (holder && std::chrono::steady_clock::now() - c.since > kLockupLimit) {
            fprintf(stderr,
                    "soft lockup on the uniprocessor: %s (pid %d) has held the processor for "
                    "over %lld s while %s (pid %d) waits for it\n",
                    holder->comm, holder->pid, static_cast<long long>(kLockupLimit.count()), self->comm,
                    self->pid);
            fflush(stderr);
            std::abort();
        }
    }
}

// Takes the processor for a task context: after the interrupts raised, in turn.
void acquire(Cpu& c, Task* t)
{
    std::unique_lock<std::mutex> lk(c.mu);
    c.ready.push_back(t);
    wait_for_cpu(c, lk, t, [&] { return !c.running.load() && c.raised.empty() && c.ready.front() == t; });
    c.ready.pop_front();
    set_running(c, t);
}

// Gives the processor up: to the context an interrupt suspended, or to whoever waits.
void release_locked(Cpu& c)
{
    if (!c.interrupted.empty()) {
        set_running(c, c.interrupted.back());
        c.interrupted.pop_back();
    } else {
        set_running(c, nullptr);
    }
    c.cv.notify_all();
}

bool holds(Cpu& c, Task* t) { return c.running.load(std::memory_order_acquire) == t; }

} // namespace

void cpu_enter()
{
    Cpu* c = the_cpu();
    if (!c)
        return;
    Task* t = current_task();
    if (t->cpuDepth > 0 && holds(*c, t)) {
        t->cpuDepth++;
        return;
    }
    acquire(*c, t);
    t->cpuDepth = 1;
}

void cpu_leave()
{
    Cpu* c = the_cpu();
    if (!c)
        return;
    Task* t = current_task();
    if (t->inIrq || !holds(*c, t) || --t->cpuDepth > 0)
        return;
    std::lock_guard<std::mutex> g(c->mu);
    release_locked(*c);
}

int cpu_release()
{
    Cpu* c = the_cpu();
    if (!c)
        return 0;
    Task* t = current_task();
    // An interrupt handler cannot sleep (the debug checks report one that tries); it keeps
    // the processor, as nothing else could run on it meanwhile.
    if (t->inIrq || !holds(*c, t))
        return 0;
    int depth = t->cpuDepth;
    t->cpuDepth = 0;
    std::lock_guard<std::mutex> g(c->mu);
    release_locked(*c);
    return depth;
}

void cpu_reacquire(int depth)
{
    Cpu* c = the_cpu();
    if (!c || depth == 0)
        return;
    Task* t = current_task();
    acquire(*c, t);
    t->cpuDepth = depth;
}

void cpu_yield()
{
    Cpu* c = the_cpu();
    Task* t = current_task();
    if (c && !t->inIrq && holds(*c, t)) {
        bool others;
        {
            std::lock_guard<std::mutex> g(c->mu);
            others = !c->ready.empty() || !c->raised.empty();
        }
        if (others) {
            cpu_reacquire(cpu_release());
            return;
        }
    }
    std::this_thread::yield();
}

void irq_enter()
{
    Cpu* c = the_cpu();
    if (!c)
        return;
    Task* t = current_task();
    std::unique_lock<std::mutex> lk(c->mu);
    c->raised.push_back(t);
    c->raisedCount.fetch_add(1, std::memory_order_release);
    c->cv.notify_all();
    // Handed the processor by an interrupt point of the context it suspends, or given it
    // free.
    wait_for_cpu(*c, lk, t, [&] { return holds(*c, t) || (!c->running.load() && c->raised.front() == t); });
    if (!holds(*c, t)) {
        c->raised.pop_front();
        c->raisedCount.fetch_sub(1, std::memory_order_release);
        set_running(*c, t);
    }
    t->cpuDepth = 1;
}

void irq_exit()
{
    Cpu* c = the_cpu();
    if (!c)
        return;
    Task* t = current_task();
    if (!holds(*c, t)) {
        K().report_bug(std::string("interrupt handler of ") + t->comm + " ended off the processor");
        return;
    }
    t->cpuDepth = 0;
    if (t->irqsOff) {
        K().report_bug(std::string("interrupt handler of ") + t->comm + " returned with interrupts off");
        t->irqsOff = false;
    }
    std::lock_guard<std::mutex> g(c->mu);
    release_locked(*c);
}

void irq_point_deliver()
{
    Cpu* c = the_cpu();
    Task* t = current_task();
    if (!c || t->irqsOff || !holds(*c, t))
        return;
    std::unique_lock<std::mutex> lk(c->mu);
    while (!c->raised.empty() && !t->irqsOff) {
        Task* irq = c->raised.front();
        c->raised.pop_front();
        c->raisedCount.fetch_sub(1, std::memory_order_release);
        c->interrupted.push_back(t);
        set_running(*c, irq);
        c->cv.notify_all();
        wait_for_cpu(*c, lk, t, [&] { return holds(*c, t); });
    }
}

OffProcessor::OffProcessor() : depth_(cpu_release()) {}
OffProcessor::~OffProcessor() { cpu_reacquire(depth_); }

bool uniprocessor_from_environment()
{
    const char* v = std::getenv("KESTREL_UNIPROCESSOR");
    return v && *v && std::string(v) != "0";
}

bool Machine::uniprocessor() const { return k_->cpu != nullptr; }

bool Machine::interrupt_raised() const
{
    return k_->cpu && k_->cpu->raisedCount.load() != 0;
}

} // namespace sim
