// The Machine: boots and tears down a simulated kernel, character devices and device
// nodes, fault injection and the leak report.
#include "sim/machine.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/cpu.h"
#include "sim/internal.h"
#include "sim/process.h"

namespace sim {

std::atomic<Kernel*> gRunningKernel{nullptr};

namespace {
Machine* gMachine = nullptr;
} // namespace

namespace {
std::atomic<uint64_t> gGenerations{0};
} // namespace

Kernel::Kernel(MachineConfig c) : cfg(std::move(c)), generation(++gGenerations)
{
    if (cfg.uniprocessor)
        cpu = std::make_unique<Cpu>();
}

Kernel::~Kernel() = default;

void no_kernel_running()
{
    fprintf(stderr, "kernel operation called with no machine running\n");
    std::abort();
}

// ------------------------------------------------------------------ fault injection

bool FaultInjector::Countdown::tick()
{
    if (remaining == 0)
        return false;
    if (tripped) {
        if (liftAfter && --liftAfter == 0)
            remaining = 0; // lifted: this one is the last to fail
        return true;
    }
    if (--remaining == 0) {
        if (persistent) {
            tripped = true;
            remaining = 1; // stays armed
            if (liftAfter && --liftAfter == 0)
                remaining = 0;
        }
        return true;
    }
    return false;
}

void FaultInjector::fail_nth(Fault kind, unsigned n, bool persistent, unsigned lift_after)
{
    std::lock_guard<std::mutex> g(mu_);
    kinds_[static_cast<int>(kind)] = Countdown{n, persistent, false, persistent ? lift_after : 0};
    armed_.store(true, std::memory_order_release);
}

void FaultInjector::fail_any_alloc_nth(unsigned n, bool persistent, unsigned lift_after)
{
    std::lock_guard<std::mutex> g(mu_);
    any_ = Countdown{n, persistent, false, persistent ? lift_after : 0};
    armed_.store(true, std::memory_order_release);
}

void FaultInjector::disarm()
{
    std::lock_guard<std::mutex> g(mu_);
    for (auto& c : kinds_)
        c = Countdown{};
    any_ = Countdown{};
    armed_.store(false, std::memory_order_release);
}

unsigned FaultInjector::fired(Fault kind) const
{
    std::lock_guard<std::mutex> g(mu_);
    return fired_[static_cast<int>(kind)];
}

unsigned FaultInjector::fired_total() const
{
    std::lock_guard<std::mutex> g(mu_);
    unsigned n = 0;
    for (unsigned f : fired_)
        n += f;
    return n;
}

namespace {
thread_local int tlsSpared = 0;
} // namespace

SparedFromFaults::SparedFromFaults() { tlsSpared++; }
SparedFromFaults::~SparedFromFaults() { tlsSpared--; }
bool SparedFromFaults::active() { return tlsSpared > 0; }

std::set<const void*> FaultInjector::sites_reached() const
{
    std::lock_guard<std::mutex> g(mu_);
    return reached_;
}

std::set<const void*> FaultInjector::sites_failed() const
{
    std::lock_guard<std::mutex> g(mu_);
    return failed_;
}

const void* FaultInjector::last_failed_site() const
{
    std::lock_guard<std::mutex> g(mu_);
    return lastFailed_;
}

namespace {
size_t seen_slot(const void* site, size_t slots)
{
    return (reinterpret_cast<uintptr_t>(site) * 0x9E3779B97F4A7C15ull >> 32) % slots;
}
} // namespace

bool FaultInjector::seen(const void* site) const
{
    for (size_t i = seen_slot(site, kSeenSlots), n = 0; n < kSeenSlots; i = (i + 1) % kSeenSlots, n++) {
        const void* s = seen_[i].load(std::memory_order_acquire);
        if (s == site)
            return true;
        if (!s)
            return false;
    }
    return false;
}

void FaultInjector::remember(const void* site)
{
    if (!reached_.insert(site).second)
        return;
    for (size_t i = seen_slot(site, kSeenSlots), n = 0; n < kSeenSlots; i = (i + 1) % kSeenSlots, n++) {
        if (!seen_[i].load(std::memory_order_relaxed)) {
            seen_[i].store(site, std::memory_order_release);
            return;
        }
    }
    // Full: the site stays in reached_ and its operations keep taking the lock.
}

bool FaultInjector::should_fail(Fault kind, const void* site)
{
    if (SparedFromFaults::active())
        return false;
    if (!armed_.load(std::memory_order_acquire) && (!site || seen(site)))
        return false;
    std::lock_guard<std::mutex> g(mu_);
    if (site)
        remember(site);
    bool fail = kinds_[static_cast<int>(kind)].tick();
    if (kind != Fault::Thread)
        fail = any_.tick() || fail;
    if (fail) {
        fired_[static_cast<int>(kind)]++;
        if (site)
            failed_.insert(site);
        lastFailed_ = site;
    }
    return fail;
}

// ------------------------------------------------------------------ machine

Machine::Machine(MachineConfig config)
{
    if (gMachine) {
        fprintf(stderr, "only one Machine may be alive at a time\n");
        std::abort();
    }
    k_ = std::make_unique<Kernel>(std::move(config));
    if (k_->cfg.random_seed)
        k_->rng.seed(k_->cfg.random_seed);
    else
        k_->rng.seed(std::random_device{}());
    gRunningKernel.store(k_.get(), std::memory_order_release);
    gRunningGeneration.store(k_->generation, std::memory_order_release);
    gMachine = this;
    block_boot(*k_);
    fs_boot(*k_);
}

Machine::~Machine()
{
    exit_processes();
    processes_.clear();
    std::vector<std::thread> threads;
    bool running = false;
    {
        std::lock_guard<std::mutex> g(k_->taskMu);
        for (auto& t : k_->kthreads)
            running = running || !t->exited.load();
        threads.swap(k_->hostThreads);
    }
    if (running) {
        // A kernel thread that never ended cannot be joined; keep the kernel it uses alive.
        fprintf(stderr, "machine shut down with kernel threads still running\n");
        for (auto& th : threads)
            th.detach();
        (void)k_.release();
    } else {
        for (auto& th : threads)
            th.join();
        fs_shutdown(*k_);
        // The disks outlive the kernel threads, which may be waiting for their I/O.
        block_shutdown(*k_);
        gRunningGeneration.store(0, std::memory_order_release);
        gRunningKernel.store(nullptr, std::memory_order_release);
    }
    gMachine = nullptr;
}

Machine& Machine::running()
{
    if (!gMachine) {
        fprintf(stderr, "no machine running\n");
        std::abort();
    }
    return *gMachine;
}

const std::string& Machine::kernel_release() const { return k_->cfg.kernel_release; }
FaultInjector& Machine::faults() { return k_->faults; }

Process& Machine::spawn(const std::string& name, unsigned uid)
{
    auto p = std::make_unique<Process>(*k_, k_->nextPid.fetch_add(1), name, uid);
    std::lock_guard<std::mutex> g(procMu_);
    processes_.push_back(std::move(p));
    return *processes_.back();
}

void Machine::exit_processes()
{
    std::vector<Process*> all;
    {
        std::lock_guard<std::mutex> g(procMu_);
        for (auto& p : processes_)
            all.push_back(p.get());
    }
    for (Process* p : all)
        p->exit();
}

void Machine::reap(Process& p)
{
    p.exit();
    std::lock_guard<std::mutex> g(procMu_);
    for (auto it = processes_.begin(); it != processes_.end(); ++it)
        if (it->get() == &p) {
            processes_.erase(it);
            return;
        }
}

int Machine::mknod(const std::string& path, bool is_char, unsigned major, unsigned minor,
                   unsigned mode, unsigned uid)
{
    std::lock_guard<std::mutex> g(k_->devMu);
    if (k_->nodes.count(path))
        return -EEXIST;
    auto n = std::make_unique<Node>();
    n->isChar = is_char;
    n->major = major;
    n->minor = minor;
    n->mode = mode;
    n->uid = uid;
    n->ino.i_rdev = MKDEV(major, minor);
    n->ino.i_mode = (is_char ? S_IFCHR : S_IFBLK) | mode;
    n->ino.i_uid = uid;
    k_->nodes.emplace(path, std::move(n));
    return 0;
}

bool Machine::chrdev_registered(unsigned major) const
{
    std::lock_guard<std::mutex> g(k_->devMu);
    return major < 256 && k_->chrdevs[major].fops != nullptr;
}

std::vector<LogLine> Machine::dmesg() const
{
    std::lock_guard<std::mutex> g(k_->logMu);
    return k_->log;
}

std::string Machine::dmesg_text() const
{
    std::string out;
    for (const LogLine& l : dmesg()) {
        // Appended piece by piece: GCC 12 at -O3 warns about a temporary "<" + to_string
        // (a -Wrestrict false positive).
        out += '<';
        out += std::to_string(l.level);
        out += '>';
        out += l.text;
        if (l.text.empty() || l.text.back() != '\n')
            out += '\n';
    }
    return out;
}

size_t Machine::log_count(const std::string& fragment) const
{
    size_t n = 0;
    for (const LogLine& l : dmesg())
        n += l.text.find(fragment) != std::string::npos;
    return n;
}

void Machine::clear_log()
{
    std::lock_guard<std::mutex> g(k_->logMu);
    k_->log.clear();
}

std::vector<std::string> Machine::bugs() const
{
    std::lock_guard<std::mutex> g(k_->bugMu);
    return k_->bugs;
}

void Machine::after_completion_wake(std::function<void()> hook)
{
    std::lock_guard<std::mutex> g(k_->wakeHookMu);
    k_->completionWakeHook = std::move(hook);
}

void Machine::set_sleep_speedup(unsigned factor) { k_->sleepSpeedup.store(factor ? factor : 1); }

void Machine::clear_bugs()
{
    std::lock_guard<std::mutex> g(k_->bugMu);
    k_->bugs.clear();
}

bool Machine::lock_contended(const void* lock) const { return sim::lock_contended(lock); }

std::string Machine::leak_report() const
{
    std::ostringstream out;
    MemStats s = mem_stats();
    auto item = [&](const char* what, long n) {
        if (n)
            out << what << ": " << n << "\n";
    };
    item("pages", s.pages);
    item("kmaps", s.kmaps);
    item("kmalloc objects", s.kmalloc_objects);
    item("vmalloc areas", s.vmalloc_areas);
    item("slab objects", s.slab_objects);
    item("bios", s.bios);
    item("buffer heads", s.buffer_heads);
    out << block_references_report(*k_);
    out << queues_report();
    out << fs_report(*k_);
    for (const SlabInfo& c : slabinfo())
        out << "slab cache: " << c.name << "\n";
    for (const ThreadInfo& t : threads())
        if (!t.exited)
            out << "kernel thread running: " << t.comm << " (pid " << t.pid << ")\n";
    item("open files", k_->openFiles.load());
    std::lock_guard<std::mutex> g(k_->devMu);
    for (unsigned major = 0; major < 256; major++) {
        const Chrdev& c = k_->chrdevs[major];
        if (c.fops && !module_loaded_locked(c.fops->owner))
            out << "character device " << major << " (" << c.name << ") of an unloaded module\n";
    }
    return out.str();
}

bool Machine::module_loaded_locked(const struct module* mod) const
{
    if (!mod)
        return true;
    std::lock_guard<std::mutex> g(k_->modMu);
    for (struct module* m : k_->modules)
        if (m == mod)
            return true;
    return false;
}

} // namespace sim

// ------------------------------------------------------------------ character devices

using sim::K;

int register_chrdev(unsigned int major, const char* name, struct file_operations* fops)
{
    std::lock_guard<std::mutex> g(K().devMu);
    if (major >= 256)
        return -EINVAL;
    if (major == 0) {
        for (major = 254; major > 0; major--)
            if (!K().chrdevs[major].fops)
                break;
        if (major == 0)
            return -EBUSY;
        K().chrdevs[major] = {name, fops};
        return static_cast<int>(major);
    }
    if (K().chrdevs[major].fops)
        return -EBUSY;
    K().chrdevs[major] = {name, fops};
    return 0;
}

int unregister_chrdev(unsigned int major, const char* name)
{
    std::lock_guard<std::mutex> g(K().devMu);
    if (major >= 256 || !K().chrdevs[major].fops || K().chrdevs[major].name != name)
        return -EINVAL;
    K().chrdevs[major] = {};
    return 0;
}
