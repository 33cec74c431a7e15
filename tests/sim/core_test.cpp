// The simulated kernel's core: memory accounting and faults, locks and the sleep check,
// kernel threads, user copies, the module loader and device nodes.
#include <atomic>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/ptr_table.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

using sim::Fault;

class SimCoreTest : public MachineTest {};

TEST_F(SimCoreTest, MemoryIsCountedUntilFreed)
{
    void* a = kmalloc(100, GFP_KERNEL);
    void* v = vmalloc(8192);
    struct page* lo = alloc_page(GFP_KERNEL);
    struct page* hi = alloc_page(GFP_HIGHUSER);
    kmem_cache_t* c = kmem_cache_create("testcache", 48, 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
    void* o = kmem_cache_alloc(c, GFP_NOIO);
    sim::MemStats s = machine.mem_stats();
    EXPECT_EQ(s.kmalloc_objects, 1);
    EXPECT_EQ(s.kmalloc_bytes, 100);
    EXPECT_EQ(s.vmalloc_areas, 1);
    EXPECT_EQ(s.pages, 2);
    EXPECT_EQ(s.highmem_pages, 1);
    EXPECT_EQ(s.slab_caches, 1);
    EXPECT_EQ(s.slab_objects, 1);
    EXPECT_NE(machine.leak_report(), "");

    // A high-memory page has no kernel address until it is mapped.
    EXPECT_NE(page_address(lo), nullptr);
    EXPECT_EQ(page_address(hi), nullptr);
    void* mapped = kmap(hi);
    EXPECT_EQ(page_address(hi), mapped);
    EXPECT_EQ(machine.mem_stats().kmaps, 1);
    kunmap(hi);

    // A cache with objects in it cannot be destroyed.
    EXPECT_NE(kmem_cache_destroy(c), 0);
    kmem_cache_free(c, o);
    EXPECT_EQ(kmem_cache_destroy(c), 0);
    __free_page(lo);
    get_page(hi);
    __free_page(hi); // one reference left
    EXPECT_EQ(machine.mem_stats().pages, 1);
    put_page(hi);
    vfree(v);
    kfree(a);
    EXPECT_EQ(machine.leak_report(), "");
}

TEST_F(SimCoreTest, BadFreesAndDuplicateCachesAreReported)
{
    int local = 0;
    kfree(&local);
    kmem_cache_t* c = kmem_cache_create("dup", 8, 0, 0, nullptr, nullptr);
    EXPECT_EQ(kmem_cache_create("dup", 8, 0, 0, nullptr, nullptr), nullptr);
    kmem_cache_destroy(c);
    EXPECT_EQ(machine.bugs().size(), 2u);
    machine.clear_bugs();
}

// Freed kmalloc blocks and slab objects may be handed out again: what comes back is poisoned
// like new memory, counted again, and a second free of the old pointer is still refused.
TEST_F(SimCoreTest, ReusedMemoryComesBackPoisonedAndCounted)
{
    kmem_cache_t* c = kmem_cache_create("reuse", 40, 0, 0, nullptr, nullptr);
    for (int round = 0; round < 3; round++) {
        auto* a = static_cast<unsigned char*>(kmalloc(100, GFP_KERNEL));
        auto* o = static_cast<unsigned char*>(kmem_cache_alloc(c, GFP_KERNEL));
        ASSERT_TRUE(a && o);
        for (int i = 0; i < 100; i++)
            ASSERT_EQ(a[i], 0x5a) << "kmalloc byte " << i << " in round " << round;
        for (int i = 0; i < 40; i++)
            ASSERT_EQ(o[i], 0x5a) << "slab byte " << i << " in round " << round;
        sim::MemStats s = machine.mem_stats();
        EXPECT_EQ(s.kmalloc_objects, 1);
        EXPECT_EQ(s.kmalloc_bytes, 100);
        EXPECT_EQ(s.slab_objects, 1);
        memset(a, 0, 100);
        memset(o, 0, 40);
        kfree(a);
        kmem_cache_free(c, o);
        EXPECT_EQ(machine.mem_stats().kmalloc_objects, 0);
        EXPECT_EQ(machine.mem_stats().slab_objects, 0);
        kfree(a);
        kmem_cache_free(c, o);
        EXPECT_EQ(machine.bugs().size(), 2u) << "a second free is still caught";
        machine.clear_bugs();
    }
    // Blocks of other sizes share classes without mixing up their sizes.
    void* small = kmalloc(1, GFP_KERNEL);
    void* big = kmalloc(131072, GFP_KERNEL);
    EXPECT_EQ(machine.mem_stats().kmalloc_bytes, 131073);
    kfree(big);
    kfree(small);
    EXPECT_EQ(kmem_cache_destroy(c), 0);
}

// The table of live objects against a reference map, through growth and through deletions
// that must close gaps in runs which wrap around the end of the table.
TEST(SimPtrTable, AgreesWithAMapThroughGrowthAndDeletion)
{
    sim::PtrTable<size_t> t;
    std::unordered_map<const void*, size_t> ref;
    std::mt19937_64 rng(7);
    // Keys on a narrow range collide often; 16-byte steps, as objects are aligned.
    auto key = [&](unsigned range) { return reinterpret_cast<const void*>(uintptr_t(16) * (1 + rng() % range)); };
    for (unsigned range : {40u, 5000u}) {
        for (int op = 0; op < 200000; op++) {
            const void* k = key(range);
            size_t v = rng();
            if (rng() % 3) {
                bool fresh = ref.emplace(k, v).second;
                ASSERT_EQ(t.insert(k, v), fresh);
            } else {
                size_t got = 0;
                auto it = ref.find(k);
                ASSERT_EQ(t.erase(k, &got), it != ref.end());
                if (it != ref.end()) {
                    ASSERT_EQ(got, it->second);
                    ref.erase(it);
                }
            }
            ASSERT_EQ(t.size(), ref.size());
        }
        size_t seen = 0;
        t.for_each([&](const void* k, size_t v) {
            seen++;
            ASSERT_TRUE(ref.count(k));
            EXPECT_EQ(ref[k], v);
        });
        EXPECT_EQ(seen, ref.size());
        for (auto& [k, v] : ref)
            ASSERT_TRUE(t.contains(k));
        for (auto& [k, v] : ref)
            ASSERT_TRUE(t.erase(k));
        ref.clear();
        EXPECT_TRUE(t.empty());
    }
}

TEST_F(SimCoreTest, FaultsFireOnTheNthOperationOfTheirKind)
{
    machine.faults().fail_nth(Fault::Kmalloc, 2);
    void* a = kmalloc(8, GFP_KERNEL);
    void* b = kmalloc(8, GFP_KERNEL);
    void* c = kmalloc(8, GFP_KERNEL);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(machine.faults().fired(Fault::Kmalloc), 1u);

    // Persistent: the nth and every later one fail; other kinds are not affected.
    machine.faults().fail_nth(Fault::Page, 1, true);
    EXPECT_EQ(alloc_page(GFP_KERNEL), nullptr);
    EXPECT_EQ(alloc_page(GFP_KERNEL), nullptr);
    void* v = vmalloc(10);
    EXPECT_NE(v, nullptr);
    machine.faults().disarm();
    struct page* p = alloc_page(GFP_KERNEL);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(machine.faults().fired(Fault::Page), 2u);

    // The any-allocation countdown counts every kind together.
    machine.faults().fail_any_alloc_nth(3);
    void* x = kmalloc(8, GFP_KERNEL);
    void* y = vmalloc(8);
    void* z = kmalloc(8, GFP_KERNEL);
    EXPECT_NE(x, nullptr);
    EXPECT_NE(y, nullptr);
    EXPECT_EQ(z, nullptr);
    EXPECT_EQ(machine.faults().fired_total(), 4u);

    machine.faults().fail_nth(Fault::Thread, 1);
    EXPECT_EQ(kernel_thread([](void*) { return 0; }, nullptr, 0), -EAGAIN);

    // A persistent fault with a lift fails that many and then disarms itself.
    machine.faults().fail_nth(Fault::Kmalloc, 2, true, 2);
    void* k[5];
    for (void*& p : k)
        p = kmalloc(8, GFP_KERNEL);
    EXPECT_TRUE(k[0] && !k[1] && !k[2] && k[3] && k[4]);
    for (void* p : k)
        kfree(p);

    // Sites: where the allocations were called from, and which of them were failed.
    auto reached = machine.faults().sites_reached();
    auto failed = machine.faults().sites_failed();
    EXPECT_GE(reached.size(), failed.size());
    EXPECT_TRUE(failed.count(machine.faults().last_failed_site()));
    for (const void* site : failed)
        EXPECT_TRUE(reached.count(site));

    kfree(a);
    kfree(c);
    kfree(x);
    vfree(v);
    vfree(y);
    __free_page(p);
}

TEST_F(SimCoreTest, SleepingInAtomicContextIsReported)
{
    spinlock_t lock = SPIN_LOCK_UNLOCKED;
    unsigned long flags;
    struct semaphore sem = __MUTEX_INITIALIZER(sem);
    spin_lock_irqsave(&lock, flags);
    down(&sem); // a sleeping lock under a spin lock
    spin_unlock_irqrestore(&lock, flags);
    up(&sem);
    ASSERT_EQ(machine.bugs().size(), 1u);
    EXPECT_NE(machine.bugs()[0].find("sleeping function called from invalid context"), std::string::npos);
    machine.clear_bugs();

    // Nested irqsave sections restore the state each one found.
    spinlock_t other = SPIN_LOCK_UNLOCKED;
    unsigned long outer, inner;
    spin_lock_irqsave(&lock, outer);
    spin_lock_irqsave(&other, inner);
    spin_unlock_irqrestore(&other, inner);
    EXPECT_TRUE(irqs_disabled());
    spin_unlock_irqrestore(&lock, outer);
    EXPECT_FALSE(irqs_disabled());
    void* p = kmalloc(8, GFP_KERNEL);
    kfree(p);
    EXPECT_TRUE(machine.bugs().empty());
}

TEST_F(SimCoreTest, SemaphoreSerialisesThreads)
{
    struct semaphore sem;
    sema_init(&sem, 1);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                down(&sem);
                counter++;
                up(&sem);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(down_trylock(&sem), 0);
    EXPECT_EQ(down_trylock(&sem), 1);
    up(&sem);
}

// Wakers skip the wait queue when nobody sleeps on it; a wake-up lost in the window
// between a sleeper's last look and its sleep hangs this test. Two threads hand a token
// back and forth through completions, while others queue on one semaphore whose every
// unit is given back by another thread.
TEST_F(SimCoreTest, HandOffsThroughCompletionsAndSemaphoresLoseNoWakeUp)
{
    constexpr int kRounds = 20000;
    struct completion ping, pong;
    init_completion(&ping);
    init_completion(&pong);
    struct semaphore gate;
    sema_init(&gate, 0);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; i++) {
            complete(&ping);
            wait_for_completion(&pong);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; i++) {
            wait_for_completion(&ping);
            complete(&pong);
        }
    });
    for (int t = 0; t < 3; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds / 10; i++) {
                down(&gate);
                passed++;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 3 * (kRounds / 10); i++)
            up(&gate);
    });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(passed.load(), 3 * (kRounds / 10));
    EXPECT_EQ(down_trylock(&gate), 1);
}

TEST_F(SimCoreTest, WaitingWriterKeepsNewReadersOut)
{
    struct rw_semaphore rw;
    init_rwsem(&rw);
    down_read(&rw);
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        down_write(&rw);
        writerIn = true;
        up_write(&rw);
    });
    while (rw.waitingWriters.load() == 0)
        std::this_thread::yield();
    EXPECT_EQ(down_read_trylock(&rw), 0); // a writer is waiting
    EXPECT_FALSE(writerIn.load());
    up_read(&rw);
    writer.join();
    EXPECT_TRUE(writerIn.load());
    EXPECT_EQ(down_read_trylock(&rw), 1);
    EXPECT_EQ(down_write_trylock(&rw), 0);
    up_read(&rw);
}

struct ThreadProbe {
    struct completion started;
    struct completion exited;
    std::atomic<bool> afterExit{false};
};

int probeThread(void* arg)
{
    auto* p = static_cast<ThreadProbe*>(arg);
    daemonize("probe%d", 7);
    allow_signal(SIGKILL);
    complete(&p->started);
    complete_and_exit(&p->exited, 0);
}

TEST_F(SimCoreTest, KernelThreadRunsAndExits)
{
    ThreadProbe probe;
    init_completion(&probe.started);
    init_completion(&probe.exited);
    int pid = kernel_thread(probeThread, &probe, 0);
    ASSERT_GT(pid, 0);
    wait_for_completion(&probe.started);
    wait_for_completion(&probe.exited);
    auto threads = machine.threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].pid, pid);
    EXPECT_EQ(threads[0].comm, "probe7");
    EXPECT_TRUE(threads[0].exited);
}

TEST_F(SimCoreTest, UserCopiesReportExactlyWhatWasNotCopied)
{
    sim::Process& p = machine.spawn("user");
    uint32_t region = p.alloc(4096);
    uint32_t ro = p.alloc(4096, true, false);
    uint32_t tailStart = region + 4096 - 10; // 10 bytes mapped, then a guard page
    unsigned char buf[32];
    memset(buf, 0xAA, sizeof buf);
    p.as_current([&] {
        EXPECT_EQ(copy_to_user(tailStart, buf, 32), 22u);
        EXPECT_EQ(copy_to_user(ro, buf, 4), 4u);
        EXPECT_EQ(copy_to_user(region, buf, 32), 0u);
        unsigned char in[32];
        memset(in, 0x11, sizeof in);
        EXPECT_EQ(copy_from_user(in, tailStart, 32), 22u);
        EXPECT_EQ(in[9], 0xAA); // what was copied: the bytes written above
        EXPECT_EQ(in[31], 0); // what was not: zero-filled
        EXPECT_EQ(copy_from_user(in, 0, 4), 4u);
        EXPECT_EQ(copy_from_user(in, 0xBFFFFFFE, 4), 4u); // reaches kernel space: nothing
        u32 w = 0;
        EXPECT_EQ(put_user(0xDEADBEEF, region), 0);
        EXPECT_EQ(get_user(w, region), 0);
        EXPECT_EQ(w, 0xDEADBEEFu);
        EXPECT_EQ(get_user(w, tailStart + 8), -EFAULT);
        EXPECT_EQ(put_user(1, ro), -EFAULT);
    });
    EXPECT_EQ(p.peek_u32(region), 0xDEADBEEFu);
    // Outside any process the copies fail.
    unsigned char k[4];
    EXPECT_EQ(copy_from_user(k, region, 4), 4u);
}

TEST_F(SimCoreTest, LoaderChecksVersionMagicAndReferences)
{
    struct module m {};
    strcpy(m.name, "other");
    m.vermagic = "2.6.9-other 686 REGPARM 4KSTACKS gcc-3.4";
    EXPECT_EQ(machine.insmod(&m), -ENOEXEC);
    EXPECT_EQ(machine.log_count("version magic"), 1u);
    EXPECT_FALSE(machine.module_loaded("other"));

    std::string magic = machine.vermagic();
    m.vermagic = magic.c_str();
    ASSERT_EQ(machine.insmod(&m), 0);
    EXPECT_EQ(machine.insmod(&m), -EEXIST);
    EXPECT_EQ(try_module_get(&m), 1);
    EXPECT_EQ(machine.rmmod("other"), -EWOULDBLOCK);
    std::thread remover([&] { EXPECT_EQ(machine.rmmod("other", true), 0); });
    while (module_is_live(&m))
        std::this_thread::yield();
    EXPECT_EQ(try_module_get(&m), 0); // going away: no new references
    module_put(&m);
    remover.join();
    EXPECT_FALSE(machine.module_loaded("other"));
    EXPECT_EQ(machine.rmmod("other"), -ENOENT);
}

TEST_F(SimCoreTest, DeviceNodesCheckPermissionsAndDrivers)
{
    sim::Process& root = machine.spawn("root", 0);
    sim::Process& user = machine.spawn("user", 1000);
    EXPECT_EQ(root.open("/dev/kestrel"), -ENOENT); // a machine boots without the node
    ASSERT_EQ(machine.mknod("/dev/kestrel", true, 120, 0, 0600, 0), 0);
    EXPECT_EQ(machine.mknod("/dev/kestrel", true, 121, 0, 0666, 0), -EEXIST);
    EXPECT_EQ(root.open("/dev/none"), -ENOENT);
    EXPECT_EQ(user.open("/dev/kestrel"), -EACCES); // the first node's mode stays
    EXPECT_EQ(root.open("/dev/kestrel"), -ENXIO); // no driver for major 120
    EXPECT_EQ(root.close(3), -EBADF);
}

TEST_F(SimCoreTest, PrintkKeepsLevelAndText)
{
    machine.clear_log();
    printk("<3>%s: failed %d\n", "f", 7);
    printk("no level");
    auto log = machine.dmesg();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, 3);
    EXPECT_EQ(log[0].text, "f: failed 7\n");
    EXPECT_EQ(log[1].level, 4);
    EXPECT_EQ(machine.dmesg_text(), "<3>f: failed 7\n<4>no level\n");
}

TEST(SimMachine, OnlyTheRunningMachineIsReachable)
{
    {
        sim::Machine m;
        EXPECT_EQ(&sim::Machine::running(), &m);
        EXPECT_EQ(m.leak_report(), "");
    }
    sim::Machine again;
    EXPECT_EQ(again.dmesg().size(), 0u);
}

} // namespace
} // namespace kestrel_test
