// The machine-facing API of the simulated kernel: boot a kernel, load modules, spawn
// processes, read the kernel log, inject faults and check for leaks. Tests, benchmarks,
// the agent and the kestrel command use this; the module never does.
//
// Only one Machine is alive at a time; constructing it boots a fresh kernel, destroying it
// ends every process and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct module;
struct file;

namespace sim {

class Process;
struct Kernel;

struct LogLine {
    int level;        // 0..7, from the "<N>" prefix (4 when there was none)
    std::string text; // the message without its level prefix
};

// Kinds of operation the fault injector can fail.
enum class Fault {
    Page,       // alloc_pages
    Kmalloc,    // kmalloc
    Vmalloc,    // vmalloc
    Slab,       // kmem_cache_alloc
    SlabCreate, // kmem_cache_create
    Thread,     // kernel_thread
    Bio,        // bio_alloc
    BufferHead, // alloc_buffer_head
    kCount
};

// One countdown per kind of fault, plus one over every allocation (pages, kmalloc,
// vmalloc, slab objects and slab caches, bios and buffer heads), in the manner of SQLite's
// fault tests.
class FaultInjector {
public:
    // The nth next operation of this kind (1 = the very next) fails; with persistent,
    // that one and every later one fail. A persistent fault with lift_after set disarms
    // itself once it has failed that many operations: code that retries an allocation
    // until it succeeds then gets it, as it would once memory is freed.
    void fail_nth(Fault kind, unsigned n, bool persistent = false, unsigned lift_after = 0);
    // The same, counting allocations of every kind together.
    void fail_any_alloc_nth(unsigned n, bool persistent = false, unsigned lift_after = 0);
    // Stops every countdown; the counts of what fired stay.
    void disarm();
    unsigned fired(Fault kind) const;
    unsigned fired_total() const;

    // Allocation sites: the return addresses of the callers of the allocation operations
    // that this machine has seen (spared threads aside), and of those that were failed.
    // The module is linked into the program, so a site means the same code in every
    // machine of one run of the program.
    std::set<const void*> sites_reached() const;
    std::set<const void*> sites_failed() const;
    // The site of the latest injected failure (nullptr before the first).
    const void* last_failed_site() const;

    // Called by the kernel operations, with the caller's return address when known: true
    // when this operation must fail.
    bool should_fail(Fault kind, const void* site = nullptr);

private:
    struct Countdown {
        unsigned remaining = 0; // 0 = disarmed
        bool persistent = false;
        bool tripped = false;
        unsigned liftAfter = 0; // persistent failures left before disarming; 0 = never
        bool tick();
    };
    // Whether a site is in reached_: read without the lock, so that an operation with no
    // countdown armed and a site already seen takes no lock at all.
    bool seen(const void* site) const;
    void remember(const void* site); // needs mu_

    mutable std::mutex mu_;
    // Set while any countdown may be armed (cleared by disarm): until then nothing can fail.
    std::atomic<bool> armed_{false};
    static constexpr size_t kSeenSlots = 1024; // open addressing; sites are a few dozen
    std::atomic<const void*> seen_[kSeenSlots] = {};
    Countdown kinds_[static_cast<int>(Fault::kCount)];
    Countdown any_;
    unsigned fired_[static_cast<int>(Fault::kCount)] = {};
    std::set<const void*> reached_; // guarded by mu_
    std::set<const void*> failed_;  // guarded by mu_
    const void* lastFailed_ = nullptr;
};

// While one is alive on a thread, the fault injector spares that thread: work the kernel
// does on its own behalf, for which Linux draws on reserved pools that never fail (writing
// back a file system), neither fails nor advances a countdown. Test drivers use it for the
// I/O buffers of their own writers, whose failures are not the subject of a test.
class SparedFromFaults {
public:
    SparedFromFaults();
    ~SparedFromFaults();
    SparedFromFaults(const SparedFromFaults&) = delete;
    SparedFromFaults& operator=(const SparedFromFaults&) = delete;
    static bool active();
};

struct MemStats {
    long pages = 0;          // order-0 pages allocated (any zone)
    long highmem_pages = 0;
    long kmaps = 0;          // kmap calls not yet undone
    long kmalloc_objects = 0;
    long kmalloc_bytes = 0;
    long vmalloc_areas = 0;
    long slab_caches = 0;
    long slab_objects = 0;
    long bios = 0;           // bios allocated and not yet freed
    long buffer_heads = 0;
};

struct SlabInfo {
    std::string name;
    size_t object_size;
    long active_objects;
};

struct ThreadInfo {
    int pid;
    std::string comm;
    bool exited;
};

// Whether KESTREL_UNIPROCESSOR in the environment asks for uniprocessor machines (set, and
// neither empty nor "0").
bool uniprocessor_from_environment();

struct MachineConfig {
    // The running kernel's release; a module built for another one is refused.
    std::string kernel_release = "2.6.9-023stab052.4";
    // Copies every log line to standard error as it is written.
    bool console = false;
    // Seed of the random pool (0: seeded from the host).
    uint64_t random_seed = 0;
    // Checks every lock taken against the recorded lock order (sim/lockdep.cpp). A kernel
    // built for production runs without it; benchmarks switch it off, so that they weigh
    // the module's own work rather than the validator's.
    bool lock_validation = true;
    // A host descriptor that receives every log line as it is written, as "<level>text\n"
    // (-1: none). The machine does not own it.
    int log_fd = -1;
    // Each line written to log_fd starts with the local time, as syslog stamps the
    // kernel's lines: "Dec  9 01:02:03 <level>text".
    bool log_timestamps = false;
    // The most lines dmesg() keeps, the oldest dropped first as from the kernel's ring
    // (0: every line), for a machine that runs for long.
    size_t log_keep = 0;
    // One processor without kernel preemption, as the module's target kernels: one kernel
    // context runs at a time and gives the processor up only where it sleeps, yields or
    // leaves the kernel, and the disks' completions run as interrupts that suspend the
    // running context where it has interrupts on (sim/cpu.h). Otherwise every context runs
    // at once on a processor of its own, which finds the races a uniprocessor hides.
    bool uniprocessor = uniprocessor_from_environment();
};

// While one is alive, the calling task context is off the processor of a uniprocessor
// machine, as if it slept: for a test that holds a kernel context at a gate of its own
// while other contexts go on. Does nothing in the parallel mode, outside the kernel, and
// in the interrupt context (which cannot sleep: a test holding a completion needs
// several processors).
class OffProcessor {
public:
    OffProcessor();
    ~OffProcessor();
    OffProcessor(const OffProcessor&) = delete;
    OffProcessor& operator=(const OffProcessor&) = delete;

private:
    int depth_;
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that is alive; aborts when there is none.
    static Machine& running();

    const std::string& kernel_release() const;
    std::string vermagic() const;

    // Module loader. insmod: 0 or a negative error (-ENOEXEC for a module built for
    // another kernel, -EEXIST when loaded, the init function's error). rmmod: 0,
    // -ENOENT, or -EWOULDBLOCK while the module is in use unless wait is set, in which
    // case the module is marked going and the call waits for the last reference.
    int insmod(struct module* mod);
    int rmmod(const std::string& name, bool wait = false);
    bool module_loaded(const std::string& name) const;

    // Device nodes of the file system: 0, or -EEXIST when the path has a node. A machine boots
    // with none; a driver's install step makes its own.
    int mknod(const std::string& path, bool is_char, unsigned major, unsigned minor,
              unsigned mode, unsigned uid);
    bool chrdev_registered(unsigned major) const;

    // Processes. The machine owns them (and the children they fork); exit() closes their
    // files. May be called from any thread.
    Process& spawn(const std::string& name = "agent", unsigned uid = 0);
    // Ends every process (their files are closed, their memory unmapped).
    void exit_processes();
    // Ends the process when it has not ended and forgets it, as its parent's wait would:
    // references to it are invalid afterwards. For a machine that runs for long.
    void reap(Process& p);

    // Kernel log.
    std::vector<LogLine> dmesg() const;
    std::string dmesg_text() const;
    // Lines whose text contains the fragment.
    size_t log_count(const std::string& fragment) const;
    void clear_log();

    FaultInjector& faults();

    MemStats mem_stats() const;
    std::vector<SlabInfo> slabinfo() const;
    std::vector<ThreadInfo> threads() const;
    // Problems the kernel's debug checks found (sleeping in atomic context, bad frees...).
    std::vector<std::string> bugs() const;
    // Forgets the bugs found so far (for tests that provoke one on purpose).
    void clear_bugs();
    // Runs hook on the completion (interrupt) context's thread right after each wake-up it
    // makes, before the completion goes on: a test can hold a completion at the moment its
    // waiter may already run. An empty hook removes it.
    void after_completion_wake(std::function<void()> hook);
    // Makes msleep and msleep_interruptible sleep 1/factor of the time they are asked for
    // (1: real time), so a test can reach a timeout measured in seconds quickly.
    void set_sleep_speedup(unsigned factor);
    // Runs hook (with the slot) in the mapping context right after each kmap_atomic, before
    // the caller uses the mapping: a test can make an interrupt arrive at that moment. An
    // empty hook removes it.
    void after_kmap_atomic(std::function<void(int)> hook);
    // Whether the machine has one processor (MachineConfig::uniprocessor).
    bool uniprocessor() const;
    // On a uniprocessor: whether an interrupt is raised and waits for the processor.
    bool interrupt_raised() const;
    // Whether some task waits to take the lock (a spin lock or semaphore of the kernel), so
    // that a test can let it go knowing it waited.
    bool lock_contended(const void* lock) const;
    // Everything still allocated, running or open that a clean machine would not have;
    // empty when clean. Modules still loaded are not counted. Includes queues_report().
    std::string leak_report() const;
    // Every disk whose request queue does not have the driver's own request function;
    // empty when each has its own back.
    std::string queues_report() const;


private:
    bool module_loaded_locked(const struct module* mod) const;
    std::unique_ptr<Kernel> k_;
    std::mutex procMu_; // guards processes_
    std::vector<std::unique_ptr<Process>> processes_;
};

} // namespace sim
