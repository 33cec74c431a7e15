// Automaps: creating and closing them, the table's users, devices the table cannot hold,
// stopping them after a failure, unload and shutdown, and writers that keep going while
// automaps come and go.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "module/users.h"
#include "tests/support/tracking.h"

namespace kestrel_test {
namespace {

class AutomapTest : public TrackingTest {
protected:
    make_request_fn* Fn(u32 dev) { return sim::disk_queue(machine, dev)->make_request_fn.load(); }

    static void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }
};

TEST_F(AutomapTest, CreatingAndClosingBalanceTheTableAndThePageCount)
{
    int pagesBefore = atomic_read(&kes::curAllocAMPages);
    kes::Backup* b = MakeBackup(sda1, 40000); // 5000 bytes of bitmap: two pages
    kes::AM* am = nullptr;

    ASSERT_EQ(kes::newAMS(b, &am), 0);
    ASSERT_NE(am, nullptr);
    EXPECT_EQ(amOf(sda1), am);
    EXPECT_EQ(kes::amIndex(sda1), 8 * 256 + 1);
    EXPECT_EQ(atomic_read(&am->tracking), 0);
    EXPECT_EQ(am->map.numBlocks, 40000u);
    EXPECT_TRUE(setBlocks(am).empty());
    EXPECT_EQ(am->disk.startSect, kP1Start);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore + 2);

    // A record left in the slot by mistake is freed, not lost.
    kes::AM* second = nullptr;
    ASSERT_EQ(kes::newAMS(b, &second), 0);
    EXPECT_EQ(amOf(sda1), second);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore + 2);

    EXPECT_EQ(kes::closeAMS(b), 0);
    EXPECT_EQ(amOf(sda1), nullptr);
    EXPECT_EQ(atomic_read(&kes::curAllocAMPages), pagesBefore);
    EXPECT_EQ(kes::closeAMS(b), 2);
}

TEST_F(AutomapTest, WritersOfTheTableWaitForItsReadersAndClosingWaitsForUsers)
{
    kes::Backup* b = MakeBackup(sda1);
    ASSERT_NE(startTracking(b), nullptr);

    // A reader inside the table holds a writer off.
    kes::enterAMList();
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(kes::closeAMS(b), 0);
        closed = true;
    });
    Pause();
    EXPECT_FALSE(closed.load());
    // A use taken on the way out keeps the record alive after it left the table.
    kes::AM* am = *kes::amSlot(sda1);
    kes::getUse(&am->lock, &am->users);
    kes::leaveAMList();
    Pause();
    EXPECT_FALSE(closed.load());
    EXPECT_EQ(amOf(sda1), nullptr) << "the slot is emptied before the wait for users";
    EXPECT_EQ(am->map.numBlocks, 5120u);
    kes::putAMUse(am);
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(atomic_read(&kes::amListUsers), 1);
}

// Major or minor numbers of 256 and more have no slot; (major * 256) + minor would reach
// another device's slot or leave the table.
TEST_F(AutomapTest, DevicesOutsideTheTableNeverGetOrTouchAnAutomap)
{
    // 8:240 with partitions up to 8:271; its partition 16 is 8:256, whose unchecked index
    // would be the slot of 9:0.
    sim::DiskConfig a;
    a.major = 8;
    a.first_minor = 240;
    a.minors = 32;
    a.size_bytes = 16ull << 20;
    std::vector<sim::Partition> parts(16);
    parts[15] = {2048, 8192};
    a.partitions = parts;
    u32 wide;
    ASSERT_EQ(sim::add_disk(machine, a, &wide), 0);
    sim::DiskConfig n;
    n.major = 9;
    n.size_bytes = 16ull << 20;
    n.minors = 1;
    u32 nine;
    ASSERT_EQ(sim::add_disk(machine, n, &nine), 0);
    sim::DiskConfig big;
    big.major = 300;
    big.minors = 1;
    big.size_bytes = 1 << 20;
    u32 major300;
    ASSERT_EQ(sim::add_disk(machine, big, &major300), 0);

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

TEST_F(AutomapTest, AFailureWithTheOnlyAutomapOnTheQueueUnhooksIt)
{
    kes::Backup* b = MakeBackup(sda1);
    kes::AM* am = startTracking(b);
    ASSERT_NE(am, nullptr);

    kes::errorAMS(b);

    EXPECT_EQ(atomic_read(&am->tracking), 0);
    EXPECT_EQ(amOf(sda1), am) << "a stopped automap stays registered";
    EXPECT_EQ(Fn(sda), sim::disk_request_fn(machine, sda));
    EXPECT_EQ(registryEntries(), 0u);
}

TEST_F(AutomapTest, AFailureBesideAnotherAutomapKeepsChangeTracking)
{
    kes::Backup* b1 = MakeBackup(sda1);
    kes::AM* p1 = startTracking(b1);
    kes::AM* p2 = startTracking(MakeBackup(sda2));
    ASSERT_TRUE(p1 && p2);

    kes::errorAMS(b1);

    EXPECT_EQ(atomic_read(&p1->tracking), 0);
    EXPECT_EQ(atomic_read(&p2->tracking), 1);
    EXPECT_EQ(Fn(sda), &kes::kesAMRF);
    ASSERT_EQ(Write(sda1, 0, 8), 0);
    ASSERT_EQ(Write(sda2, 0, 8), 0);
    EXPECT_TRUE(setBlocks(p1).empty());
    EXPECT_EQ(setBlocks(p2), (std::vector<u32>{0}));
}

// Every queue gets its own function back at unload, also one still hooked for a device
// that never had an automap.
TEST_F(AutomapTest, UnloadGivesEveryQueueItsFunctionBack)
{
    sim::DiskConfig c;
    c.major = 8;
    c.first_minor = 16;
    c.size_bytes = 8ull << 20;
    u32 sdb;
    ASSERT_EQ(sim::add_disk(machine, c, &sdb), 0);
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
    constexpr int kCycles = 20;
    constexpr u32 kSpan = 2000; // blocks each writer cycles through
    kes::Backup* b[2] = {MakeBackup(sda1), MakeBackup(sda2)};
    const u32 devs[2] = {sda1, sda2};

    struct Record {
        u32 block;
        unsigned issued, finished; // values of seq before and after the write
    };
    struct Log {
        std::mutex mu;
        std::vector<Record> done;
    };
    Log logs[kWriters];
    std::atomic<unsigned> seq{0};
    std::atomic<bool> stop{false}, failed{false};

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            u32 dev = devs[w % 2];
            u32 base = static_cast<u32>(w / 2) * kSpan;
            for (u32 i = 0; !stop.load(); i = (i + 1) % kSpan) {
                unsigned issued = seq.load();
                if (Write(dev, u64(base + i) * 8, 8) != 0) {
                    failed = true;
                    return;
                }
                std::lock_guard<std::mutex> g(logs[w].mu);
                logs[w].done.push_back({base + i, issued, seq.load()});
            }
        });
    }

    for (int c = 0; c < kCycles && !failed.load(); c++) {
        kes::AM* am[2] = {startTracking(b[0]), startTracking(b[1])};
        if (!am[0] || !am[1]) {
            ADD_FAILURE() << "no automap in cycle " << c;
            break;
        }
        unsigned start = ++seq;
        // Let every writer finish a few writes inside the window.
        for (int w = 0; w < kWriters && !failed.load(); w++) {
            for (;;) {
                size_t n = 0;
                {
                    std::lock_guard<std::mutex> g(logs[w].mu);
                    for (const Record& r : logs[w].done)
                        n += r.issued >= start;
                }
                if (n >= 3 || failed.load())
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        unsigned end = ++seq;
        size_t checked = 0;
        for (int w = 0; w < kWriters; w++) {
            std::lock_guard<std::mutex> g(logs[w].mu);
            for (const Record& r : logs[w].done) {
                if (r.issued < start || r.finished >= end)
                    continue;
                checked++;
                EXPECT_TRUE(kes::blockInMap(&am[w % 2]->map, r.block))
                    << "cycle " << c << ": block " << r.block << " of writer " << w;
            }
            logs[w].done.clear();
        }
        EXPECT_GE(checked, size_t(3 * kWriters));
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
