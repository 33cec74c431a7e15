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
    make_request_fn* Fn() { return q->make_request_fn.load(); }

    struct request_queue* q = nullptr;
    sim::request_fn own = nullptr;
};

int otherFn(struct request_queue*, struct bio*) { return 0; }

TEST_F(RegistryTest, PartitionsOfADiskShareOneHookUntilTheLastLeaves)
{
    kes::Backup* b1 = MakeBackup(sda1);
    kes::Backup* b2 = MakeBackup(sda2);
    ASSERT_TRUE(startTracking(b1) && startTracking(b2));
    EXPECT_EQ(registryEntries(), 1u);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(kes::getRealMRF(q), own);
    EXPECT_EQ(Fn(), &kes::kesAMRF);

    // Installing again, or another function, lists nothing new and keeps the real one.
    EXPECT_EQ(kes::setMRF(b1, otherFn), 0);
    EXPECT_EQ(Fn(), &otherFn);
    EXPECT_EQ(kes::setMRF(b1, kes::kesAMRF), 0);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(kes::getRealMRF(q), own);

    EXPECT_EQ(kes::closeAMS(b1), 0);
    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda2}));
    EXPECT_EQ(Fn(), &kes::kesAMRF);
    ASSERT_EQ(Write(sda2, 0, 8), 0);
    EXPECT_EQ(setBlocks(amOf(sda2)), (std::vector<u32>{0}));

    EXPECT_EQ(kes::closeAMS(b2), 0);
    EXPECT_EQ(registryEntries(), 0u);
    EXPECT_EQ(Fn(), own);
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
            // Half of them list sda1, the others sda2.
            kes::addQueueToList(q, i % 2 ? sda2 : sda1);
        });
    }
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(registryEntries(), 1u);
    std::vector<u32> devs = listedDevs(q);
    std::sort(devs.begin(), devs.end());
    EXPECT_EQ(devs, (std::vector<u32>{sda1, sda2}));
    EXPECT_EQ(kes::getRealMRF(q), own);
    // Listing alone installs nothing; the spare records were freed (checked at the end).
    EXPECT_EQ(Fn(), own);
    kes::unsetQueueMRFAMS(q);
    EXPECT_EQ(registryEntries(), 0u);
}

TEST_F(RegistryTest, RealFunctionOfAQueueThatIsNotHooked)
{
    EXPECT_EQ(kes::getRealMRF(q), own);
    // With another queue hooked, too.
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 16;
    c.size_bytes = 1 << 20;
    u32 sdb;
    ASSERT_EQ(sim::add_disk(machine, c, &sdb), 0);
    ASSERT_NE(startTracking(MakeBackup(sdb)), nullptr);
    EXPECT_EQ(kes::getRealMRF(q), own);
    EXPECT_EQ(kes::countQueueAMS(q), 0);

    EXPECT_EQ(kes::getRealMRF(nullptr), nullptr);
    EXPECT_EQ(atomic_read(&kes::queueListUsers), 1);
    EXPECT_EQ(machine.log_count("getRealMRF: Can't get MRF on NULL queue."), 1u);
}

TEST_F(RegistryTest, CountCountsListedDevicesWithAnAutomapTrackingOrNot)
{
    kes::Backup* b1 = MakeBackup(sda1);
    kes::Backup* disk = MakeBackup(sda);
    ASSERT_NE(startTracking(b1), nullptr);
    ASSERT_NE(startTracking(MakeBackup(sda2)), nullptr);
    EXPECT_EQ(kes::countQueueAMS(q), 2);

    atomic_set(&amOf(sda1)->tracking, 0);
    EXPECT_EQ(kes::countQueueAMS(q), 2);

    // A device listed without an automap does not count.
    EXPECT_EQ(kes::setMRF(disk, kes::kesAMRF), 0);
    EXPECT_EQ(listedDevs(q).size(), 3u);
    EXPECT_EQ(kes::countQueueAMS(q), 2);

    EXPECT_EQ(kes::closeAMS(b1), 0);
    EXPECT_EQ(kes::countQueueAMS(q), 1);

    EXPECT_EQ(kes::countQueueAMS(nullptr), 0);
    EXPECT_EQ(machine.log_count("countQueueAMS: Could not count ams sessions for request queue "
                                "because queue was null."),
              1u);
}

TEST_F(RegistryTest, UnlistingADeviceThatIsNotListedChangesNothing)
{
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    kes::Backup* p2 = MakeBackup(sda2);

    kes::unSetMRFDEV(&p2->disk);

    EXPECT_EQ(listedDevs(q), (std::vector<u32>{sda1}));
    EXPECT_EQ(Fn(), &kes::kesAMRF);
}

TEST_F(RegistryTest, StoppingTheAutomapsOfAQueueLeavesTheHook)
{
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    ASSERT_NE(startTracking(MakeBackup(sda2)), nullptr);

    kes::errorAMSDEV(sda2);

    EXPECT_EQ(atomic_read(&amOf(sda1)->tracking), 0);
    EXPECT_EQ(atomic_read(&amOf(sda2)->tracking), 0);
    EXPECT_EQ(Fn(), &kes::kesAMRF);
    EXPECT_EQ(listedDevs(q).size(), 2u);
    ASSERT_EQ(Write(sda1, 0, 8), 0);
    EXPECT_TRUE(setBlocks(amOf(sda1)).empty());
}

TEST_F(RegistryTest, StoppingForADeviceOnNoHookedQueueDoesNothing)
{
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 16;
    c.size_bytes = 1 << 20;
    u32 sdb;
    ASSERT_EQ(sim::add_disk(machine, c, &sdb), 0);
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);

    kes::errorAMSDEV(sdb);

    EXPECT_EQ(atomic_read(&amOf(sda1)->tracking), 1);
}

TEST_F(RegistryTest, UnhookingAQueueStopsItsAutomapsAndRestoresItsFunction)
{
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    ASSERT_NE(startTracking(MakeBackup(sda2)), nullptr);

    kes::unsetQueueMRFAMS(q);

    EXPECT_EQ(registryEntries(), 0u);
    EXPECT_EQ(Fn(), own);
    EXPECT_EQ(atomic_read(&amOf(sda1)->tracking), 0);
    EXPECT_EQ(atomic_read(&amOf(sda2)->tracking), 0);
    // The automaps stay registered; closing them finds nothing listed.
    EXPECT_EQ(kes::countQueueAMS(q), 0);

    // A queue listed but never given a module function is unhooked alike.
    kes::addQueueToList(q, sda1);
    kes::unsetQueueMRFAMS(q);
    EXPECT_EQ(registryEntries(), 0u);
    EXPECT_EQ(Fn(), own);

    kes::unsetQueueMRFAMS(nullptr);
    EXPECT_EQ(machine.log_count("unsetQueueMRFAMS: Could not unset MRFS for request queue "
                                "because queue was null."),
              1u);
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
        // A write in between must get through whichever function is in place.
        if (i % 100 == 0) {
            EXPECT_EQ(Write(sda1, 0, 8), 0);
        }
    }
    stop = true;
    unlister.join();

    bool listed = kes::isInQueueList(q, sda1);
    EXPECT_EQ(Fn() == &kes::kesAMRF, listed);
    EXPECT_EQ(Fn() == own, !listed);
}

TEST_F(RegistryTest, OwnReadsGoPastTheHook)
{
    kes::Backup* b1 = MakeBackup(sda1);
    ASSERT_NE(startTracking(b1), nullptr);
    std::vector<unsigned char> stamp(512, 0x7e);
    ASSERT_EQ(sim::write_store(machine, sda1, 8, stamp.data(), 1), 0);

    // As the block reader submits: whole-disk sector, on the partition's block device.
    Probe p;
    struct bio* bio = page_bio(b1->disk.bdev, kP1Start + 8, 1, &p);
    EXPECT_EQ(kes::callRealMRF(b1, bio), 0);
    wait_for_completion(&p.done);
    EXPECT_EQ(p.error, 0);
    EXPECT_EQ(bio_bytes(bio, 512), stamp);
    free_page_bio(bio);

    // A device without a queue: the bio is ended with an error, not left hanging.
    struct block_device orphan {};
    Probe q2;
    bio = page_bio(&orphan, 0, 1, &q2);
    EXPECT_EQ(kes::callRealMRF(b1, bio), 0);
    wait_for_completion(&q2.done);
    EXPECT_EQ(q2.error, -EIO);
    free_page_bio(bio);
    EXPECT_EQ(machine.log_count("callRealMRF: Block read error: (bdev queue is null) MAJOR=8 "
                                "MINOR=1"),
              1u);
}

} // namespace
} // namespace kestrel_test
