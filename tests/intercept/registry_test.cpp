// The registry of hooked request queues: one entry per queue with its real function, the
// devices listed on it, and what each operation leaves on the queue.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/sim/block_helpers.h"
#include "tests/support/tracking.h"

namespace kestrel_test {
namespace {

class RegistryTest : public TrackingTest {
protected:
    void SetUp() override
    {
        TrackingTest::SetUp();
        q = sim::disk_queue(machine, sda);
        own = sim::disk_request_fn(machine, sda);
    }

    struct request_queue* q = nullptr;
    sim::request_fn own = nullptr;
};

int otherFn(struct request_queue*, struct bio*) { return 0; }

TEST_F(RegistryTest, PartitionsOfADiskShareOneHookUntilTheLastLeaves)
{
    kes::Backup* b1 = MakeBackup(sda1);
    kes::Backup* b2 = MakeBackup(sda2);
    ASSERT_TRUE(startTracking(b1) && startTracking(b2));
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(registryEntries(), 1u);
    EXPECT_EQ(Fn(sda), &kes::kesAMRF);

    // Installing again, or another function, lists nothing new and keeps the real one.
    EXPECT_EQ(kes::setMRF(b1, otherFn), 0);
    EXPECT_EQ(Fn(sda), &otherFn);
    EXPECT_EQ(kes::setMRF(b1, kes::kesAMRF), 0);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(kes::getRealMRF(q), own);

    // Unlisting a device that is not listed changes nothing.
    kes::unSetMRFDEV(&MakeBackup(sda)->disk);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1, sda2}));

    EXPECT_EQ(kes::closeAMS(b1), 0);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda2}));
    EXPECT_EQ(Fn(sda), &kes::kesAMRF);
    ASSERT_EQ(Write(sda2, 0, 8), 0);
    EXPECT_EQ(setBlocks(amOf(sda2)), (std::vector<u32>{0}));

    EXPECT_EQ(kes::closeAMS(b2), 0);
    EXPECT_EQ(registryEntries(), 0u);
    EXPECT_EQ(Fn(sda), own);
}

TEST_F(RegistryTest, ThreadsHookingOneQueueAtOnceMakeOneEntry)
{
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            ready++;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            kes::addQueueToList(q, i % 2 ? sda2 : sda1);
        });
    }
    for (auto& t : threads)
        t.join();

    std::vector<u32> devs = listedDevs(q);
    std::sort(devs.begin(), devs.end());
    EXPECT_EQ(devs, (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(registryEntries(), 1u);
    EXPECT_EQ(kes::getRealMRF(q), own);
    EXPECT_EQ(Fn(sda), own) << "listing alone installs nothing";
    kes::unsetQueueMRFAMS(q);
    EXPECT_EQ(registryEntries(), 0u);
}

TEST_F(RegistryTest, CountAndStopConcernOnlyTheQueuesListedDevices)
{
    u32 sdb = AddDisk(8, 16, 16, 8ull << 20);
    ASSERT_NE(startTracking(MakeBackup(sdb)), nullptr);
    EXPECT_EQ(kes::countQueueAMS(q), 0) << "sda is not hooked";
    EXPECT_EQ(kes::getRealMRF(q), own);

    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    ASSERT_NE(startTracking(MakeBackup(sda2)), nullptr);
    ASSERT_EQ(kes::setMRF(MakeBackup(sda), kes::kesAMRF), 0); // listed without an automap
    EXPECT_EQ(kes::countQueueAMS(q), 2);

    kes::errorAMSDEV(sda2);
    EXPECT_EQ(atomic_read(&amOf(sda1)->tracking), 0);
    EXPECT_EQ(atomic_read(&amOf(sda2)->tracking), 0);
    EXPECT_EQ(atomic_read(&amOf(sdb)->tracking), 1);
    EXPECT_EQ(kes::countQueueAMS(q), 2) << "stopped automaps still count";
    EXPECT_EQ(Fn(sda), &kes::kesAMRF) << "stopping unhooks nothing";
}

// Hooking a device while another thread unlists it: whatever the order, the queue carries
// a module function exactly when the registry has an entry for it. A module function left
// behind without an entry would find no real function but itself.
TEST_F(RegistryTest, HookingRacingUnlistingNeverStrandsTheHook)
{
    kes::Backup* b1 = MakeBackup(sda1);
    std::atomic<bool> stop{false};
    std::thread unlister([&] {
        while (!stop.load())
            kes::unSetMRFDEV(&b1->disk);
    });
    for (int i = 0; i < 2000; i++) {
        EXPECT_EQ(kes::setMRF(b1, kes::kesAMRF), 0);
        if (i % 100 == 0) {
            EXPECT_EQ(Write(sda1, 0, 8), 0);
        }
    }
    stop = true;
    unlister.join();

    bool listed = kes::isInQueueList(q, sda1);
    EXPECT_EQ(Fn(sda), listed ? &kes::kesAMRF : own);
}

// The module's own reads are ended with an error when their device has no queue, rather
// than dropped: their submitter waits for the completion.
TEST_F(RegistryTest, AnOwnReadWithoutAQueueFails)
{
    kes::Backup* b1 = MakeBackup(sda1);
    struct block_device orphan {};
    Probe p;
    struct bio* bio = page_bio(&orphan, 0, 1, &p);

    EXPECT_EQ(kes::callRealMRF(b1, bio), 0);

    wait_for_completion(&p.done);
    EXPECT_EQ(p.error, -EIO);
    free_page_bio(bio);
}

} // namespace
} // namespace kestrel_test
