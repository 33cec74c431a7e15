#include "tests/support/interleave.h"

#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "sim/machine.h"

namespace kestrel_test {

void Gate::Pass()
{
    // A kernel context held here sleeps, as far as the other contexts can tell.
    sim::OffProcessor off;
    std::unique_lock<std::mutex> l(mu_);
    held_++;
    cv_.notify_all();
    cv_.wait(l, [this] { return open_; });
}

void Gate::Open()
{
    std::lock_guard<std::mutex> g(mu_);
    open_ = true;
    cv_.notify_all();
}

void Gate::WaitHeld()
{
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return held_ > 0; });
}

StackedDriver* StackedDriver::current_ = nullptr;

StackedDriver::StackedDriver(sim::Machine& m, uint32_t disk)
    : queue_(sim::disk_queue(m, disk)), driver_(sim::disk_request_fn(m, disk))
{
    EXPECT_EQ(current_, nullptr);
    current_ = this;
    EXPECT_EQ(queue_->make_request_fn.load(), driver_) << "install before the module hooks the queue";
    queue_->make_request_fn.store(&StackedDriver::Fn);
}

StackedDriver::~StackedDriver()
{
    Release();
    Remove();
    current_ = nullptr;
}

int StackedDriver::Fn(struct request_queue* q, struct bio* bio)
{
    StackedDriver* self = current_;
    {
        std::lock_guard<std::mutex> g(self->mu_);
        if (self->armed_ && (bio->bi_rw & 1) && bio->bi_sector == self->sector_) {
            self->armed_ = false;
            self->held_ = bio;
            self->cv_.notify_all();
            return 0;
        }
    }
    return self->driver_(q, bio);
}

void StackedDriver::HoldWrite(uint64_t diskSector)
{
    std::lock_guard<std::mutex> g(mu_);
    armed_ = true;
    sector_ = diskSector;
}

void StackedDriver::WaitHeld()
{
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return held_ != nullptr; });
}

void StackedDriver::Release()
{
    struct bio* bio;
    {
        std::lock_guard<std::mutex> g(mu_);
        bio = held_;
        held_ = nullptr;
        armed_ = false;
    }
    if (bio)
        driver_(queue_, bio);
}

void StackedDriver::Remove()
{
    auto mine = &StackedDriver::Fn;
    queue_->make_request_fn.compare_exchange_strong(mine, driver_);
}

} // namespace kestrel_test
