// The users counter of a block map: the wait for exclusive use, and bit operations from
// several threads at once.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/blockmap/map_bytes.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

class BlockMapUsersTest : public MachineTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kes::newBlockMap(&map, 40000, 0, 1, &pages), 0);
        ASSERT_EQ(kes::newBlockMap(&other, 40000, 0, 1, &pages), 0);
    }
    void TearDown() override
    {
        kes::closeBlockMap(&map, &pages);
        kes::closeBlockMap(&other, &pages);
        MachineTest::TearDown();
    }

    static void WaitFor(const std::atomic<bool>& flag)
    {
        while (!flag.load())
            std::this_thread::yield();
    }
    // Gives another thread the chance to get past a point it must not pass.
    static void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    kes::BlockMap map{};
    kes::BlockMap other{};
    u32 pages = 0;
};

TEST_F(BlockMapUsersTest, WaitHoldsOffUntilTheLastUseIsGivenBack)
{
    std::atomic<bool> waited{false}, release{false}, setterDone{false};

    kes::getBlockMapUse(&map);
    std::thread waiter([&] {
        unsigned long flags;
        kes::waitForBlockMapUsers(&map, &flags);
        EXPECT_EQ(atomic_read(&map.users), 1);
        waited = true;
        WaitFor(release);
        spin_unlock_irqrestore(&map.usersLock, flags);
    });
    Pause();
    EXPECT_FALSE(waited.load()) << "the wait returned while a use was still taken";
    kes::putBlockMapUse(&map);
    WaitFor(waited);

    // While the waiter has the map to itself, a bit operation cannot take a use.
    std::thread setter([&] {
        EXPECT_EQ(kes::setBlock(&map, 12345), 0u);
        setterDone = true;
    });
    Pause();
    EXPECT_FALSE(setterDone.load()) << "a bit operation got in while the waiter held the map";
    release = true;
    waiter.join();
    setter.join();
    EXPECT_EQ(kes::blockInMap(&map, 12345), -1);
    EXPECT_EQ(atomic_read(&map.users), 1);
}

// The snapshot waits for a second map while it holds the first one's usersLock: that wait
// runs with interrupts off and must not schedule, and the order of the two is checked.
TEST_F(BlockMapUsersTest, NestedWaitDoesNotScheduleWhileAtomic)
{
    std::atomic<bool> holding{false}, waited{false};
    std::thread user([&] {
        kes::getBlockMapUse(&other);
        holding = true;
        Pause();
        kes::putBlockMapUse(&other);
    });
    WaitFor(holding);
    // The other map's lock is a class of its own, as an automap's map is.
    spin_lock_init(&other.usersLock);
    unsigned long outer, inner;
    kes::waitForBlockMapUsers(&map, &outer);
    kes::waitForBlockMapUsers(&other, &inner);
    EXPECT_EQ(atomic_read(&other.users), 1);
    spin_unlock_irqrestore(&other.usersLock, inner);
    spin_unlock_irqrestore(&map.usersLock, outer);
    user.join();
    EXPECT_FALSE(irqs_disabled());
    EXPECT_TRUE(machine.bugs().empty()) << machine.dmesg_text();

    // The order stays checked: the two the other way round are reported.
    kes::waitForBlockMapUsers(&other, &inner);
    kes::waitForBlockMapUsers(&map, &outer);
    spin_unlock_irqrestore(&map.usersLock, outer);
    spin_unlock_irqrestore(&other.usersLock, inner);
    std::vector<std::string> bugs = machine.bugs();
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_NE(bugs[0].find("circular locking dependency"), std::string::npos) << bugs[0];
    machine.clear_bugs();
}

// Four threads work on interleaved blocks, so that every byte is shared by all of them: a
// read-modify-write that is not serialised loses bits. A fifth thread keeps taking the map
// to itself as the snapshot does.
TEST_F(BlockMapUsersTest, ConcurrentBitOperationsLoseNothing)
{
    constexpr u32 kThreads = 4, kBlocks = 40000;
    std::atomic<bool> stop{false};
    std::thread exclusive([&] {
        while (!stop.load()) {
            unsigned long flags;
            kes::waitForBlockMapUsers(&map, &flags);
            spin_unlock_irqrestore(&map.usersLock, flags);
        }
    });
    std::vector<std::thread> workers;
    for (u32 t = 0; t < kThreads; t++) {
        workers.emplace_back([&, t] {
            for (u32 b = t; b < kBlocks; b += kThreads)
                kes::setBlock(&map, b);
            for (u32 b = t; b < kBlocks; b += kThreads) {
                if (b % 3 == 0)
                    kes::unSetBlock(&map, b);
            }
            for (u32 b = t; b < kBlocks; b += kThreads)
                EXPECT_EQ(kes::blockInMap(&map, b), b % 3 == 0 ? 0 : -1) << b;
            // Then all of them on one byte, each flipping its own bit of block 8's byte.
            for (int i = 0; i < 20000; i++) {
                kes::setBlock(&map, 8 + t);
                ASSERT_EQ(kes::blockInMap(&map, 8 + t), -1);
                kes::unSetBlock(&map, 8 + t);
                ASSERT_EQ(kes::blockInMap(&map, 8 + t), 0);
            }
            kes::setBlock(&map, 8 + t);
        });
    }
    for (auto& w : workers)
        w.join();
    stop = true;
    exclusive.join();

    std::vector<uint8_t> expect(kBlocks / 8, 0);
    for (u32 b = 0; b < kBlocks; b++) {
        if (b % 3 != 0 || (b >= 8 && b < 8 + kThreads))
            expect[b >> 3] |= uint8_t(1u << (b & 7));
    }
    EXPECT_EQ(MapBytes(map), expect);
    EXPECT_EQ(atomic_read(&map.users), 1);
}

} // namespace
} // namespace kestrel_test
