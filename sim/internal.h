// State of the simulated kernel shared by the files of sim/. Not for the module, nor for tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/kernel.h"
#include "sim/lockdep.h"
#include "sim/machine.h"
#include "sim/ptr_table.h"

// A physical page. The block layer's drivers copy to and from data directly, and user
// mappings reach it whatever its zone, as a page table entry would; kernel code goes
// through page_address or kmap.
struct page {
    std::atomic<int> count{1};
    std::atomic<int> kmapped{0};
    bool highmem = false;
    unsigned char* data = nullptr;
};

// The allocation flags' type of the kernel's later releases; 2.6.9 passes an unsigned int.
typedef unsigned int gfp_t;

namespace sim {

// Freed objects (one-segment bios, buffer heads, slab objects, small kmalloc blocks) are
// kept and handed out again, as the kernel's slab caches do, so that a stream of requests
// does not go through the host's allocator for each. Not under AddressSanitizer, which must
// see every object freed to catch a use after its free.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kReuseFreedObjects = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kReuseFreedObjects = false;
#else
inline constexpr bool kReuseFreedObjects = true;
#endif
#else
inline constexpr bool kReuseFreedObjects = true;
#endif

// Freed blocks of one size kept for reuse, at most a count that holds about a megabyte;
// the rest go back to the host. The owner's lock guards it.
class KeptBlocks {
public:
    KeptBlocks() = default;
    KeptBlocks(const KeptBlocks&) = delete;
    KeptBlocks& operator=(const KeptBlocks&) = delete;
    ~KeptBlocks()
    {
        for (void* p : blocks_)
            std::free(p);
    }

    void* take()
    {
        if (blocks_.empty())
            return nullptr;
        void* p = blocks_.back();
        blocks_.pop_back();
        return p;
    }

    // Keeps p if there is room and reuse is on; false if the caller must free it.
    bool keep(void* p, size_t bytes)
    {
        if (!kReuseFreedObjects || blocks_.size() >= std::max<size_t>(8, (size_t(1) << 20) / bytes))
            return false;
        blocks_.push_back(p);
        return true;
    }

private:
    std::vector<void*> blocks_;
};

// kmalloc's size classes, as the kernel's general caches: 32 bytes to 128 KiB in powers of
// two. A block is allocated at its class's size when it may be reused.
inline constexpr int kKmallocClasses = 13;
inline int kmalloc_class(size_t size)
{
    int c = 0;
    while ((size_t(32) << c) < size)
        c++;
    return c;
}
inline size_t kmalloc_class_bytes(int c) { return size_t(32) << c; }

class Process;
struct BlockLayer;
struct FileSystems;
struct Task;
struct Cpu;

// One atomic-map slot: the page it maps and the context that mapped it.
struct KmapSlot {
    struct page* page = nullptr;
    Task* owner = nullptr;
};

// One thread of execution as the kernel sees it: a kernel thread, a process making a
// system call, a driver's completion context, or any other host thread that calls in.
struct Task {
    int pid = 0;
    char comm[16] = {};
    std::atomic<long> state{TASK_RUNNING};
    int preempt = 0;       // spin locks and atomic kmaps held
    // The atomic-map slots of the context's own processor, in the parallel mode, where
    // every context runs on a processor of its own (sim/cpu.h has the uniprocessor's).
    KmapSlot kmapAtomic[KM_TYPE_NR];
    int cpuDepth = 0;      // kernel entries nested while holding the uniprocessor
    bool irqsOff = false;  // local interrupts disabled
    bool inIrq = false;    // completion (interrupt) context
    bool kthread = false;
    std::atomic<bool> exited{false};
    unsigned long allowedSignals = 0;
    std::atomic<unsigned long> pendingSignals{0};
    Process* proc = nullptr; // the process whose system call is running, if any
    unsigned uid = 0;
    jmp_buf exitJump;
};

// What set_current_task installed on this thread, and the host thread's own task with the
// generation of the machine that owns it. Plain thread-local words, read inline: the current
// task is looked up several times in every lock operation.
inline thread_local Task* tlsCurrentTask = nullptr;
inline thread_local Task* tlsHostTask = nullptr;
inline thread_local uint64_t tlsHostTaskGeneration = 0;
// The generation of the running machine's kernel; 0 while none runs.
inline std::atomic<uint64_t> gRunningGeneration{0};

// Makes the host thread's own task for the running machine (or for no machine).
Task* current_host_task();

// The calling host thread's task (created on first use).
inline Task* current_task()
{
    if (Task* t = tlsCurrentTask)
        return t;
    uint64_t running = gRunningGeneration.load(std::memory_order_acquire);
    if (running && tlsHostTask && tlsHostTaskGeneration == running)
        return tlsHostTask;
    return current_host_task();
}
// Makes the calling host thread run as the given task (nullptr: its own anonymous task).
void set_current_task(Task* task);

struct Node {
    bool isChar = true;
    unsigned major = 0, minor = 0;
    unsigned mode = 0, uid = 0;
    struct inode ino {};
};

struct Chrdev {
    std::string name;
    struct file_operations* fops = nullptr;
};

// The lock validator's state (sim/lockdep.cpp): the classes seen, the order in which they
// were taken, and the locks every task holds. Guarded by mu.
struct LockValidator {
    struct Class {
        std::string name;
        std::string inIrqAt;  // a task that took it in the interrupt context
        std::string irqsOnAt; // a task that took it with interrupts on
        bool irqReported = false;
        std::vector<int> after; // classes taken while this one was held
    };
    struct Held {
        const void* lock;
        int cls;
    };
    // A task between lock_acquire and lock_acquired, with the class it asked for.
    struct Waiting {
        const void* lock;
        const Task* task;
        int cls;
    };
    struct KeyHash {
        size_t operator()(const std::pair<const void*, int>& k) const
        {
            return std::hash<const void*>()(k.first) ^ (static_cast<size_t>(k.second) * 0x9E3779B97F4A7C15ull);
        }
    };
    // An order between two classes, earlier one in the high half.
    static uint64_t edge(int before, int after)
    {
        return uint64_t(uint32_t(before)) << 32 | uint32_t(after);
    }
    std::mutex mu;
    std::unordered_map<std::pair<const void*, int>, int, KeyHash> ids; // (key, subclass) -> class
    std::vector<Class> classes;
    std::unordered_set<uint64_t> edges;
    std::set<std::pair<int, int>> reported;
    // The locks each task holds, in the order taken. A task's entry stays once made (empty
    // when it holds nothing), so taking and dropping locks allocates nothing once warm.
    std::unordered_map<const Task*, std::vector<Held>> held;
    std::vector<Waiting> waiting; // a handful at most: one per task that waits
};

struct Kernel {
    explicit Kernel(MachineConfig c);
    ~Kernel();

    MachineConfig cfg;
    const uint64_t generation; // one per machine booted in this process

    // Log and debug checks.
    mutable std::mutex logMu;
    std::vector<LogLine> log;
    mutable std::mutex bugMu;
    std::vector<std::string> bugs;
    void report_bug(const std::string& what);

    FaultInjector faults;
    // Machine::after_completion_wake's hook.
    std::mutex wakeHookMu;
    std::function<void()> completionWakeHook;

    // Memory accounting.
    mutable std::mutex memMu;
    PtrTable<size_t> kmallocs; // live blocks and the sizes asked for
    PtrTable<size_t> vmallocs;
    // Freed kmalloc blocks kept for reuse, one list per size class.
    KeptBlocks kmallocFree[kKmallocClasses];
    std::unordered_set<kmem_cache_t*> caches;
    std::atomic<long> pages{0}, highPages{0}, kmaps{0};
    std::atomic<long> bios{0}, bufferHeads{0};

    // Tasks.
    mutable std::mutex taskMu;
    std::vector<std::unique_ptr<Task>> kthreads;
    std::vector<std::unique_ptr<Task>> hostTasks; // of the host threads that called in
    std::vector<std::thread> hostThreads;
    std::atomic<int> nextPid{1};

    // Modules.
    mutable std::mutex modMu;
    std::vector<struct module*> modules;

    // Character devices, device nodes and open files.
    mutable std::mutex devMu;
    Chrdev chrdevs[256];
    std::map<std::string, std::unique_ptr<Node>> nodes;
    std::atomic<long> openFiles{0};

    // Disks, their block devices and drivers, and the live bios and buffer heads
    // (sim/block.cpp). Created at boot; block_shutdown stops the drivers.
    BlockLayer* block = nullptr;

    // The mount table and everything mounted (sim/fs.cpp).
    FileSystems* fs = nullptr;

    LockValidator lockdep;

    // Machine::set_sleep_speedup's factor for msleep.
    std::atomic<unsigned> sleepSpeedup{1};

    // The one processor of a uniprocessor machine; null in the parallel mode (sim/cpu.h).
    std::unique_ptr<Cpu> cpu;

    // Atomic-map slots seen taken in the interrupt context and with interrupts on, each
    // with the first context that did; a slot seen both ways is reported once
    // (sim/memory.cpp).
    std::mutex kmapRuleMu;
    std::atomic<bool> kmapInIrq[KM_TYPE_NR] = {}, kmapIrqsOn[KM_TYPE_NR] = {};
    std::string kmapInIrqAt[KM_TYPE_NR], kmapIrqsOnAt[KM_TYPE_NR];
    bool kmapReported[KM_TYPE_NR] = {};
    // Machine::after_kmap_atomic's hook.
    std::mutex kmapHookMu;
    std::atomic<bool> kmapHookSet{false};
    std::function<void(int)> kmapHook;

    // Random pool.
    std::mutex rndMu;
    std::mt19937_64 rng;
};

// Hashed wait queues, as the kernel's: a sleeper waits on the queue of an address until a
// condition holds; whoever makes it hold changes the state first, then wakes the address.
// Nothing of the object at the address is touched by the wake, so a waker may wake an
// object that its sleeper is about to free.
void sleep_on(const void* addr, const std::function<bool()>& ready);
void wake_up_address(const void* addr);

// The lock validator's hooks, called by every lock operation. lock_acquire checks the
// acquisition against the recorded order and the interrupt rule (nothing is checked for a
// trylock, which cannot wait) and marks the caller as waiting; lock_acquired records the
// lock as held once taken; lock_release forgets it (a semaphore may be given back by
// another task). A NULL map, or an untracked one, is ignored.
// Every lock operation passes here, so the test whether a lock is tracked at all is inline.
inline void lock_acquire(const void* lock, const struct lockdep_map* map, int subclass, bool trylock);
inline void lock_acquired(const void* lock, const struct lockdep_map* map, int subclass);
inline void lock_release(const void* lock, const struct lockdep_map* map);
// The validator's work for a tracked lock.
void validate_acquire(const void* lock, const struct lockdep_map* map, int subclass, bool trylock);
void validate_acquired(const void* lock, const struct lockdep_map* map, int subclass);
void validate_release(const void* lock);
// Whether some task waits to take the lock.
bool lock_contended(const void* lock);

// The kernel of the machine that is alive; aborts when there is none. Inline: every kernel
// operation asks for it, several times.
extern std::atomic<Kernel*> gRunningKernel;
[[noreturn]] void no_kernel_running();
inline Kernel& K()
{
    Kernel* k = gRunningKernel.load(std::memory_order_acquire);
    if (!k) [[unlikely]]
        no_kernel_running();
    return *k;
}
inline bool kernel_alive() { return gRunningKernel.load(std::memory_order_acquire) != nullptr; }
// The running kernel, or nullptr when no machine runs.
inline Kernel* running_kernel() { return gRunningKernel.load(std::memory_order_acquire); }

inline bool lock_tracked(const struct lockdep_map* map)
{
    return map && !map->untracked && K().cfg.lock_validation;
}
inline void lock_acquire(const void* lock, const struct lockdep_map* map, int subclass, bool trylock)
{
    if (lock_tracked(map))
        validate_acquire(lock, map, subclass, trylock);
}
inline void lock_acquired(const void* lock, const struct lockdep_map* map, int subclass)
{
    if (lock_tracked(map))
        validate_acquired(lock, map, subclass);
}
inline void lock_release(const void* lock, const struct lockdep_map* map)
{
    if (lock_tracked(map))
        validate_release(lock);
}

// Drops a reference on an open file; the last one releases it.
void fput(struct file* f);

// File systems (sim/fs.cpp): fs_boot sets up an empty mount table; fs_shutdown writes every
// mount back and frees the table (while the block layer still runs). Called by the Machine.
void fs_boot(Kernel& k);
void fs_shutdown(Kernel& k);
// Super block references, frozen file systems and devices held by a freeze; one line each.
std::string fs_report(Kernel& k);

// Boots the block layer of a fresh kernel; block_shutdown drains every disk's driver,
// joins its thread and frees the disks. Called by the Machine only.
void block_boot(Kernel& k);
void block_shutdown(Kernel& k);
// Block device references still held, one line each; empty when none.
std::string block_references_report(Kernel& k);

} // namespace sim
