// The uniprocessor machine: one kernel context at a time, interrupts that arrive only where
// the running context has them on, and the atomic-map slots that the contexts of one
// processor share.
#include <atomic>
#include <functional>
#include <string>

#include "sim/disk.h"
#include "tests/support/fixture.h"
#include "tests/support/interleave.h"
#include "tests/support/irq.h"

namespace kestrel_test {
namespace {

constexpr u32 kSda = MKDEV(8, 0);
constexpr u32 kSdb = MKDEV(8, 16);

// A machine of the chosen kind with two memory disks; at the end, nothing leaked and the
// debug checks found nothing that the test did not take.
class ProcessorTest : public ::testing::Test {
protected:
    explicit ProcessorTest(bool uniprocessor = true) : machine(ProcessorConfig(uniprocessor)) {}
    void SetUp() override { AddSmallDisks(machine, {kSda, kSdb}); }
    void TearDown() override
    {
        EXPECT_EQ(machine.leak_report(), "");
        EXPECT_TRUE(machine.bugs().empty()) << machine.dmesg_text();
    }

    // Whether a bug report mentions the fragment; forgets every report.
    bool TakeReport(const std::string& fragment)
    {
        bool found = false;
        for (const std::string& b : machine.bugs())
            found = found || b.find(fragment) != std::string::npos;
        machine.clear_bugs();
        return found;
    }

    // Disk A's completion maps a page through the interrupt slot, with interrupts on or
    // off, and disk B's interrupt arrives right after the map; whether B's handler ran
    // inside A's mapping.
    bool NestedInterrupt(bool interruptsOff)
    {
        std::atomic<bool> inA{false};
        PioInterruptAtMap b(machine, kSdb, KM_BIO_SRC_IRQ, [&] { return inA.load(); });
        IrqRead a([&](struct page* page) {
            unsigned long flags = 0;
            if (interruptsOff)
                local_irq_save(flags);
            inA = true;
            void* p = kmap_atomic(page, KM_BIO_SRC_IRQ);
            memset(p, 0xa, 64);
            kunmap_atomic(p, KM_BIO_SRC_IRQ);
            inA = false;
            if (interruptsOff)
                local_irq_restore(flags);
        });
        a.Submit(kSda);
        a.Finish();
        return b.Finish();
    }

    sim::Machine machine;
};

class ParallelTest : public ProcessorTest {
protected:
    ParallelTest() : ProcessorTest(false) {}
};

struct Inside {
    std::atomic<int> started{0}, now{0}, most{0};
    struct completion done;
};

// Passes interrupt points (allocations, lock releases) without sleeping and yields in
// between, counting how many threads are inside at once.
int CountInside(void* arg)
{
    auto* in = static_cast<Inside*>(arg);
    spinlock_t lock;
    spin_lock_init(&lock);
    in->started++;
    while (in->started.load() < 3)
        schedule();
    for (int i = 0; i < 200; i++) {
        int n = ++in->now;
        if (n > in->most.load())
            in->most = n;
        for (int k = 0; k < 50; k++) {
            kfree(kmalloc(64, GFP_ATOMIC));
            spin_lock(&lock);
            spin_unlock(&lock);
        }
        --in->now;
        schedule();
    }
    complete_and_exit(&in->done, 0);
}

TEST_F(ProcessorTest, OneTaskContextRunsAtATimeWhileCompletionsArrive)
{
    Inside in;
    init_completion(&in.done);
    for (int t = 0; t < 3; t++)
        ASSERT_GT(kernel_thread(CountInside, &in, 0), 0);
    std::vector<unsigned char> buf(8 * 512);
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(sim::write_sectors(machine, kSda, 0, buf.data(), 8), 0);
        ASSERT_EQ(sim::read_sectors(machine, kSdb, 8, buf.data(), 8), 0);
    }
    for (int t = 0; t < 3; t++)
        wait_for_completion(&in.done);
    EXPECT_EQ(in.most.load(), 1);
}

struct Body {
    std::function<void()> fn;
    struct completion done;
};

int RunBody(void* arg)
{
    auto* b = static_cast<Body*>(arg);
    b->fn();
    complete_and_exit(&b->done, 0);
}

// A context with interrupts off passes interrupt points and keeps a raised interrupt
// waiting; turning them on delivers it on the spot, before the context goes on.
TEST_F(ProcessorTest, InterruptsArriveOnlyWhereTheRunningContextHasThemOn)
{
    std::atomic<bool> ran{false};
    IrqRead r([&](struct page*) { ran = true; });
    bool beforeOn = true, afterOn = false;
    Body body;
    init_completion(&body.done);
    body.fn = [&] {
        EXPECT_EQ(sim::pause_driver(machine, kSda, true), 0);
        r.Submit(kSda);
        unsigned long flags;
        local_irq_save(flags);
        EXPECT_EQ(sim::pause_driver(machine, kSda, false), 0);
        WaitUntil([&] { return machine.interrupt_raised(); });
        kfree(kmalloc(32, GFP_ATOMIC));
        wake_up_process(current);
        beforeOn = ran.load();
        local_irq_restore(flags);
        afterOn = ran.load();
    };
    ASSERT_GT(kernel_thread(RunBody, &body, 0), 0);
    wait_for_completion(&body.done);
    r.Finish();
    EXPECT_FALSE(beforeOn);
    EXPECT_TRUE(afterOn);
}

TEST_F(ProcessorTest, AnInterruptThatRepointsTheSlotOfTheContextItInterruptedIsReported)
{
    EXPECT_TRUE(NestedInterrupt(false));
    EXPECT_TRUE(TakeReport("KM_BIO_SRC_IRQ in use by irq/sda, which irq/sdb interrupted"));
}

TEST_F(ProcessorTest, AnInterruptWaitsForTheSlotUserWithInterruptsOff)
{
    EXPECT_FALSE(NestedInterrupt(true));
}

// The rule that catches the same fault without the interleaving, in either mode: a slot
// that interrupt handlers use is used with interrupts off everywhere. Task contexts keep
// slots of their own, which no interrupt uses.
TEST_F(ParallelTest, AnInterruptSlotUsedWithInterruptsOnIsReported)
{
    for (bool interruptsOff : {true, false}) {
        SCOPED_TRACE(interruptsOff);
        IrqRead r([interruptsOff](struct page* page) {
            unsigned long flags = 0;
            if (interruptsOff)
                local_irq_save(flags);
            kunmap_atomic(kmap_atomic(page, KM_BIO_DST_IRQ), KM_BIO_DST_IRQ);
            if (interruptsOff)
                local_irq_restore(flags);
        });
        r.Submit(kSda);
        r.Finish();
        EXPECT_EQ(TakeReport("kmap_atomic slot KM_BIO_DST_IRQ used in the interrupt context (irq/sda) and with "
                             "interrupts on (irq/sda)"),
                  !interruptsOff);
    }
    struct page* page = alloc_page(GFP_HIGHUSER);
    kunmap_atomic(kmap_atomic(page, KM_USER0), KM_USER0);
    __free_page(page);
}

} // namespace
} // namespace kestrel_test
