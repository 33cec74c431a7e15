// The processor of a uniprocessor machine (MachineConfig::uniprocessor), for the files of
// sim/. Not for the module, nor for tests.
//
// On a uniprocessor kernel without preemption one kernel context runs at a time, and the
// processor changes hands only where the running context gives it up: it sleeps, calls
// schedule, or leaves the kernel. A hardware interrupt is the one exception: it suspends the
// running context wherever that context has interrupts on, runs its handler to the end (it
// may itself be interrupted by another line's interrupt) and gives the processor back to
// the context it suspended.
//
// The simulation keeps that rule with a token. A task context holds it from its kernel
// entry (a system call, the machine API's I/O, a kernel thread's start) to its exit and
// gives it up while it sleeps. A disk driver's completion (interrupt) context raises an
// interrupt and waits: it gets the processor when nobody holds it, or when the holder
// passes an interrupt point with interrupts on. Interrupt points are the kernel operations
// a context calls (lock releases, re-enabling interrupts, wake-ups, allocations, atomic
// maps): wherever the module calls into the kernel with interrupts on, an interrupt may
// arrive, and nowhere while they are off.
//
// In the default (parallel) mode there is no processor: every context runs on its own and
// all of this does nothing.
#pragma once

#include <chrono>
#include <deque>

#include "sim/internal.h"

namespace sim {

struct Cpu {
    std::mutex mu;
    std::condition_variable cv;
    // The context on the processor; null when it is free. Written under mu, read without it
    // by a context asking whether it holds the processor.
    std::atomic<Task*> running{nullptr};
    std::vector<Task*> interrupted;  // contexts an interrupt suspended, outermost first
    std::deque<Task*> ready;         // task contexts waiting for the processor, in order
    std::deque<Task*> raised;        // interrupts raised and not yet delivered, in order
    std::atomic<int> raisedCount{0}; // raised.size(), read at interrupt points without mu
    std::chrono::steady_clock::time_point since; // when running last changed
    // The atomic-map slots of the processor, shared by every context that runs on it.
    KmapSlot kmap[KM_TYPE_NR];
};

inline Cpu* the_cpu()
{
    Kernel* k = running_kernel();
    return k ? k->cpu.get() : nullptr;
}

// Task side. cpu_enter/cpu_leave bracket a kernel entry (they nest); cpu_release gives the
// processor up for a sleep and returns what cpu_reacquire needs to take it back; cpu_yield
// lets every other ready context run first (schedule without sleeping).
void cpu_enter();
void cpu_leave();
int cpu_release();
void cpu_reacquire(int depth);
void cpu_yield();

// A kernel entry for the duration of a scope.
class OnCpu {
public:
    OnCpu() { cpu_enter(); }
    ~OnCpu() { cpu_leave(); }
    OnCpu(const OnCpu&) = delete;
    OnCpu& operator=(const OnCpu&) = delete;
};

// Interrupt side: a driver's completion context raises its interrupt and waits until it
// runs; irq_exit gives the processor back to the context it suspended.
void irq_enter();
void irq_exit();

// Runs the completion context's work as an interrupt handler on a uniprocessor.
class InIrq {
public:
    InIrq() { irq_enter(); }
    ~InIrq() { irq_exit(); }
    InIrq(const InIrq&) = delete;
    InIrq& operator=(const InIrq&) = delete;
};

// An interrupt point: delivers the interrupts raised, if the caller runs on the processor
// with interrupts on. Cheap when none is raised.
void irq_point_deliver();
inline void irq_point()
{
    Cpu* c = the_cpu();
    if (c && c->raisedCount.load(std::memory_order_acquire) != 0)
        irq_point_deliver();
}

// Waits on a host condition variable from kernel code: a context that holds the processor
// gives it up while it waits, as a sleeping task does, and takes it back with lk released
// (the holder of the processor may be waiting for lk).
template <class Pred> void wait_off_cpu(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, Pred ready)
{
    if (!the_cpu()) {
        cv.wait(lk, ready);
        return;
    }
    while (!ready()) {
        int depth = cpu_release();
        cv.wait(lk, ready);
        if (depth) {
            lk.unlock();
            cpu_reacquire(depth);
            lk.lock();
        }
    }
}

// Takes a host mutex that its holders keep across sleeps: a context on the processor that
// finds it taken waits off the processor, so that the holder can take the processor back.
inline void lock_off_cpu(std::unique_lock<std::mutex>& lk)
{
    if (lk.try_lock())
        return;
    int depth = cpu_release();
    lk.lock();
    cpu_reacquire(depth);
}

} // namespace sim
