#include "tests/support/irq.h"

#include <gtest/gtest.h>

#include "sim/disk.h"
#include "tests/support/interleave.h"
#include "machine/install.h"

namespace kestrel_test {

sim::MachineConfig ProcessorConfig(bool uniprocessor)
{
    sim::MachineConfig c = install::machine_config();
    c.uniprocessor = uniprocessor;
    return c;
}

void AddSmallDisks(sim::Machine& m, std::initializer_list<u32> devs)
{
    for (u32 dev : devs) {
        sim::DiskConfig c;
        c.major = MAJOR(dev);
        c.first_minor = MINOR(dev);
        c.size_bytes = 64 * 512;
        c.partitions = std::vector<sim::Partition>{};
        // Completions with interrupts on, as SCSI's: where a nested interrupt can arrive.
        c.end_under_queue_lock = false;
        ASSERT_EQ(sim::add_disk(m, c), 0);
    }
}

void IrqRead::Submit(u32 dev)
{
    init_completion(&done_);
    bd_ = bdget(dev);
    ASSERT_NE(bd_, nullptr);
    bio_ = bio_alloc(GFP_KERNEL, 1);
    bio_->bi_io_vec[0] = {alloc_page(GFP_HIGHUSER), PAGE_SIZE, 0};
    bio_->bi_vcnt = 1;
    bio_->bi_size = PAGE_SIZE;
    bio_->bi_sector = 0;
    bio_->bi_bdev = bd_;
    bio_->bi_end_io = EndIO;
    bio_->bi_private = this;
    submit_bio(READ, bio_);
}

int IrqRead::EndIO(struct bio* bio, unsigned int, int error)
{
    auto* self = static_cast<IrqRead*>(bio->bi_private);
    if (error)
        self->error_ = error;
    if (bio->bi_size)
        return 1;
    if (self->fn_)
        self->fn_(bio->bi_io_vec[0].bv_page);
    complete(&self->done_);
    return 0;
}

void IrqRead::Finish()
{
    if (!bio_)
        return;
    wait_for_completion(&done_);
    EXPECT_EQ(error_, 0);
    __free_page(bio_->bi_io_vec[0].bv_page);
    bio_put(bio_);
    bdput(bd_);
    bio_ = nullptr;
}

PioInterruptAtMap::PioInterruptAtMap(sim::Machine& m, u32 other, int slot, std::function<bool()> when)
    : m_(m), other_(other), when_(std::move(when))
{
    EXPECT_EQ(sim::pause_driver(m_, other_, true), 0);
    read_.SetFn([this, slot](struct page* page) {
        auto type = static_cast<enum km_type>(slot);
        unsigned long flags;
        local_irq_save(flags);
        void* p = kmap_atomic(page, type);
        memset(p, 0xb, 64);
        kunmap_atomic(p, type);
        local_irq_restore(flags);
        during_ = when_();
    });
    read_.Submit(other_);
    m_.after_kmap_atomic([this, slot](int s) {
        if (s != slot || !when_() || hooked_.exchange(true))
            return;
        EXPECT_EQ(sim::pause_driver(m_, other_, false), 0);
        if (m_.uniprocessor())
            WaitUntil([this] { return m_.interrupt_raised(); });
    });
}

bool PioInterruptAtMap::Finish()
{
    if (!finished_.exchange(true)) {
        EXPECT_TRUE(hooked_.load()) << "no map of the slot came";
        if (!hooked_.load()) {
            EXPECT_EQ(sim::pause_driver(m_, other_, false), 0);
        }
        read_.Finish();
        m_.after_kmap_atomic({});
    }
    return during_.load();
}

PioInterruptAtMap::~PioInterruptAtMap() { Finish(); }

} // namespace kestrel_test
