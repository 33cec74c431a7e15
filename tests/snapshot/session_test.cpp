// Automaps: creating and closing them, the table's users, devices the table cannot hold,
// stopping them after a failure, unload and shutdown, and writers that keep going while
// automaps come and go.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/tracking.h"

namespace kestrel_test {
namespace {

using AutomapTest = TrackingTest;

TEST_F(AutomapTest, CreatingAndClosingBalanceTheTableAndThePageCount)
{
    int pagesBefore = atomic_read(&kes::curAllocAMPages);
    kes::Backup* b = MakeBackup(sda1, 40000); // 5000 bytes of bitmap: two pages
    kes::AM* am = nullptr;

    ASSERT_EQ(kes::newAMS(b, &am), 0);
    EXPECT_EQ(amOf(sda1), am);
    EXPECT_EQ(kes::amIndex(sda1), 8 * 256 + 1);
    EXPECT_EQ(atomic_read(&am->tracking), 0);
    EXPECT_EQ(am->map.numBlocks, 40000u);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore + 2);

    // A record left in the slot by mistake is freed, not lost.
    ASSERT_EQ(kes::newAMS(b, &am), 0);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore + 2);

    EXPECT_EQ(kes::closeAMS(b), 0);
    EXPECT_EQ(amOf(sda1), nullptr);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore);
    EXPECT_EQ(kes::closeAMS(b), 2);
}

// Major or minor numbers of 256 and more have no slot; (major * 256) + minor would reach
// another device's slot or leave the table.
TEST_F(AutomapTest, DevicesOutsideTheTableNeverGetOrTouchAnAutomap)
{
    // 8:240 with partitions up to 8:271; its partition 16 is 8:256, whose unchecked index
    // would be the slot of 9:0.
    std::vector<sim::Partition> parts(16);
    parts[15] = {2048, 8192};
    u32 wide = AddDisk(8, 240, 32, 16ull << 20, parts);
    u32 nine = AddDisk(9, 0, 1, 16ull << 20);
    u32 major300 = AddDisk(300, 0, 1, 1 << 20);

    kes::AM* nineAM = startTracking(MakeBackup(nine));
    ASSERT_NE(nineAM, nullptr);
    u32 minor256 = wide + 16;
    ASSERT_EQ(MINOR(minor256), 256u);

    for (u32 dev : {minor256, major300}) {
        kes::Backup* b = MakeBackup(dev);
        kes::AM* am = nullptr;
        EXPECT_EQ(kes::amIndex(dev), -1);
        EXPECT_EQ(kes::newAMS(b, &am), 2);
        EXPECT_EQ(am, nullptr);
        EXPECT_EQ(kes::closeAMS(b), 2);
        // Listed on its queue without an automap, as a backup with automaps off would be.
        EXPECT_EQ(kes::setMRF(b, kes::kesAMRF), 0);
        ASSERT_EQ(Write(dev, 0, 8), 0);
        kes::errorAMS(b);
        EXPECT_EQ(Fn(dev), sim::disk_request_fn(machine, dev));
    }
    EXPECT_EQ(machine.log_count("newAMS: no automap for device major=8 minor=256"), 1u);
    EXPECT_EQ(machine.log_count("newAMS: no automap for device major=300 minor=0"), 1u);
    EXPECT_TRUE(setBlocks(nineAM).empty());
    EXPECT_EQ(atomic_read(&nineAM->tracking), 1);
}

// After a failure the queue keeps kesAMRF while another automap is registered on it, and
// gets its own function back when the failing device's automap was the last.
TEST_F(AutomapTest, AFailureStopsTheDevicesAutomapAndUnhooksWithTheLast)
{
    kes::Backup* b1 = MakeBackup(sda1);
    kes::Backup* b2 = MakeBackup(sda2);
    kes::AM* p1 = startTracking(b1);
    kes::AM* p2 = startTracking(b2);
    ASSERT_TRUE(p1 && p2);

    kes::errorAMS(b1);
    EXPECT_EQ(atomic_read(&p1->tracking), 0);
    EXPECT_EQ(atomic_read(&p2->tracking), 1);
    EXPECT_EQ(Fn(sda), &kes::kesAMRF);
    ASSERT_EQ(Write(sda1, 0, 8), 0);
    ASSERT_EQ(Write(sda2, 0, 8), 0);
    EXPECT_TRUE(setBlocks(p1).empty());
    EXPECT_EQ(setBlocks(p2), (std::vector<u32>{0}));

    EXPECT_EQ(amOf(sda1), p1) << "a stopped automap stays registered";
    EXPECT_EQ(kes::closeAMS(b1), 0);
    kes::errorAMS(b2);
    EXPECT_EQ(atomic_read(&p2->tracking), 0);
    EXPECT_EQ(Fn(sda), sim::disk_request_fn(machine, sda));
    EXPECT_EQ(registryEntries(), 0u);
}

// Every queue gets its own function back at unload, also one still hooked for a device
// that never had an automap.
TEST_F(AutomapTest, UnloadGivesEveryQueueItsFunctionBack)
{
    u32 sdb = AddDisk(8, 16, 16, 8ull << 20);
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    ASSERT_NE(startTracking(MakeBackup(sdb)), nullptr);
    ASSERT_EQ(kes::setMRF(MakeBackup(sda2), kes::kesAMRF), 0);
    ASSERT_NE(machine.queues_report(), "");

    ASSERT_EQ(machine.rmmod("kestrel"), 0);

    EXPECT_EQ(machine.queues_report(), "");
    ASSERT_EQ(Write(sda1, 0, 8), 0);
}

// The shutdown command closes every automap but keeps the hook of a device listed without
// one: that may be the device of a backup running on another open file.
TEST_F(AutomapTest, ShutdownClosesTheAutomapsOnly)
{
    ASSERT_NE(startTracking(MakeBackup(sda1)), nullptr);
    ASSERT_EQ(kes::setMRF(MakeBackup(sda2), kes::kesAMRF), 0);
    int fd = OpenControl();

    EXPECT_EQ(agent->ioctl(fd, kes::KES_SHUTDOWN, 0), 0);

    EXPECT_EQ(amOf(sda1), nullptr);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), 0);
    EXPECT_EQ(listedDevs(sim::disk_queue(machine, sda)), (std::vector<u32>{sda2}));
    EXPECT_EQ(Fn(sda), &kes::kesAMRF);
    ASSERT_EQ(Write(sda1, 0, 8), 0);
    EXPECT_EQ(agent->close(fd), 0);
}

// Writers on both partitions run throughout while the two automaps are created, checked and
// closed again and again. Every write issued after an automap started tracking and finished
// before the check must have its block set.
TEST_F(AutomapTest, WritersLoseNoBitWhileAutomapsComeAndGo)
{
    constexpr int kWriters = 4;
    constexpr u32 kSpan = 2000; // blocks each writer cycles through
    kes::Backup* b[2] = {MakeBackup(sda1), MakeBackup(sda2)};
    // Index of the write a writer is issuing, and of the last it finished. The writer swaps
    // issuing in with an exchange, which reads the controller's fetch_add(0) when it comes
    // after it: a write numbered above what the controller read was issued after its setup.
    std::atomic<u32> issuing[kWriters] = {}, completed[kWriters] = {};
    std::atomic<bool> stop{false}, failed{false};
    auto block = [](int w, u32 i) { return u32(w / 2) * kSpan + i % kSpan; };

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            for (u32 i = 1; !stop.load(); i++) {
                issuing[w].exchange(i);
                if (Write(w % 2 ? sda2 : sda1, u64(block(w, i)) * 8, 8) != 0) {
                    failed = true;
                    return;
                }
                completed[w] = i;
            }
        });
    }
    for (int c = 0; c < 20 && !failed.load(); c++) {
        kes::AM* am[2] = {startTracking(b[0]), startTracking(b[1])};
        if (!am[0] || !am[1]) {
            ADD_FAILURE() << "no automap in cycle " << c;
            break;
        }
        u32 first[kWriters];
        for (int w = 0; w < kWriters; w++)
            first[w] = issuing[w].fetch_add(0) + 1;
        for (int w = 0; w < kWriters; w++)
            while (completed[w].load() < first[w] + 3 && !failed.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int w = 0; w < kWriters; w++)
            for (u32 i = first[w], last = completed[w].load(); i <= last; i++)
                EXPECT_TRUE(kes::blockInMap(&am[w % 2]->map, block(w, i)))
                    << "cycle " << c << ", writer " << w << ", block " << block(w, i);
        // Closed while the writers go on, in either order.
        EXPECT_EQ(kes::closeAMS(b[c % 2]), 0);
        EXPECT_EQ(kes::closeAMS(b[1 - c % 2]), 0);
    }
    stop = true;
    for (auto& t : writers)
        t.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(Fn(sda), sim::disk_request_fn(machine, sda));
}

} // namespace
} // namespace kestrel_test
