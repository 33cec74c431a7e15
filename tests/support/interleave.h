// Tools to put block I/O in the interleaving a test needs: a gate that holds a thread until
// the test opens it, and a request function stacked below the module's on a disk's queue,
// as a slow driver or an I/O scheduler sits there, that can hold one write back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "sim/disk.h"

namespace kestrel_test {

// Waits until done() holds, for states another thread reaches without telling anyone (a
// thread asleep inside the simulated kernel).
template <class Done> void WaitUntil(Done done)
{
    while (!done())
        std::this_thread::yield();
}

// Closed until Open; Pass waits while it is closed. Counts the threads it held.
class Gate {
public:
    void Pass();
    void Open();
    // Waits until a thread is held at the gate.
    void WaitHeld();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
    int held_ = 0;
};

// Stands between a disk's queue and its driver: every request goes on to the driver's own
// function, except the write HoldWrite names, which is kept until Release. Install it
// before the module hooks the queue, so that the module passes requests on to it. One at a
// time.
class StackedDriver {
public:
    StackedDriver(sim::Machine& m, uint32_t disk);
    ~StackedDriver();

    // Holds the next write whose first sector on the whole disk is diskSector.
    void HoldWrite(uint64_t diskSector);
    // Waits until that write has arrived and is held.
    void WaitHeld();
    // Passes the held write on to the driver.
    void Release();
    // Gives the queue the driver's own function back; the module must have given the queue
    // back to this one first (unhooked or unloaded).
    void Remove();

private:
    static int Fn(struct request_queue* q, struct bio* bio);

    struct request_queue* queue_;
    sim::request_fn driver_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool armed_ = false;
    uint64_t sector_ = 0;
    struct bio* held_ = nullptr;
    static StackedDriver* current_;
};

} // namespace kestrel_test
