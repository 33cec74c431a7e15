// Running test code in a disk's completion (interrupt) context, and making another disk's
// interrupt arrive at a chosen moment of it.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>

#include "platform/kernel.h"
#include "sim/machine.h"

namespace kestrel_test {

// The test machine's configuration with one processor or several, whatever the environment
// asks for.
sim::MachineConfig ProcessorConfig(bool uniprocessor);
// Adds a memory disk of 64 sectors without partitions at each whole-disk device number.
void AddSmallDisks(sim::Machine& m, std::initializer_list<u32> devs);

// A one-page read of a disk's first sectors into a high-memory page; its completion calls
// fn with the page in the disk's interrupt context. Submit from a context that may sleep;
// Finish waits for the completion and frees everything.
class IrqRead {
public:
    explicit IrqRead(std::function<void(struct page*)> fn = {}) : fn_(std::move(fn)) {}
    void Submit(u32 dev);
    void Finish();
    void SetFn(std::function<void(struct page*)> fn) { fn_ = std::move(fn); }

private:
    static int EndIO(struct bio* bio, unsigned int bytes, int error);
    std::function<void(struct page*)> fn_;
    struct completion done_ {};
    struct bio* bio_ = nullptr;
    struct block_device* bd_ = nullptr;
    int error_ = 0;
};

// Holds disk `other`'s next completion back until the first kmap_atomic of `slot` made
// while when() holds, and makes its interrupt arrive right after that map, before the
// mapping is used. Its handler maps its own page through the same slot with interrupts
// off, as a disk's PIO transfer does. On a uniprocessor the interrupt then runs inside the
// mapping context if that context has interrupts on, and after it turns them on otherwise.
class PioInterruptAtMap {
public:
    PioInterruptAtMap(sim::Machine& m, u32 other, int slot, std::function<bool()> when);
    ~PioInterruptAtMap();
    // Waits for the interrupt's end; whether it ran while when() still held.
    bool Finish();

private:
    sim::Machine& m_;
    u32 other_;
    IrqRead read_;
    std::function<bool()> when_;
    std::atomic<bool> hooked_{false}, during_{false}, finished_{false};
};

} // namespace kestrel_test
