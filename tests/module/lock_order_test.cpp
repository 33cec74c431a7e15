// The module's lock order, as the lock validator checks it on every test: a task that takes
// two of the module's own locks against the order the module follows is reported, even
// when nothing else contends for them and nothing hangs.
#include <string>
#include <thread>

#include "automap/automap.h"
#include "sim/fs.h"
#include "tests/support/backup_rig.h"

namespace kestrel_test {
namespace {

using namespace kes;

class LockOrderTest : public ModuleTest {};

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Expects the machine to have reported one bug, a circular dependency between the two lock
// classes, and forgets it.
void ExpectOneCycle(sim::Machine& machine, const std::string& a, const std::string& b)
{
    std::vector<std::string> bugs = machine.bugs();
    machine.clear_bugs();
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_TRUE(Has(bugs[0], "circular locking dependency")) << bugs[0];
    EXPECT_TRUE(Has(bugs[0], a)) << bugs[0];
    EXPECT_TRUE(Has(bugs[0], b)) << bugs[0];
}

// The close of a Backup takes its stateLock, then activeSessionUsers. Taking them the other
// way round afterwards, on another Backup (the same lock class), is a circular dependency.
TEST_F(LockOrderTest, ActiveSessionUsersBeforeStateLockIsReported)
{
    BackupRig rig(machine, *agent);
    ASSERT_EQ(rig.StartByHand(), 0);
    rig.Reopen();
    ASSERT_TRUE(machine.bugs().empty());

    std::thread([&] {
        down_read(&activeSessionUsers);
        down_read(&rig.b->stateLock);
        up_read(&rig.b->stateLock);
        up_read(&activeSessionUsers);
    }).join();
    ExpectOneCycle(machine, "stateLock", "activeSessionUsers");
}

// A disk's driver ends requests holding its queue's lock, as 2.6.9's IDE driver does, so a
// write's completion marks the automaps (amListUsersLock) inside it: the queue's lock comes
// first, and a task that takes it under amListUsersLock is reported.
TEST_F(LockOrderTest, TheQueueLockComesBeforeTheLocksOfTheCompletions)
{
    BackupRig rig(machine, *agent);
    ASSERT_EQ(rig.StartByHand(), 0);
    rig.SnapshotByHand();
    ASSERT_EQ(rig.WriteBlock(rig.part2, 1, 1), 0); // not held back; marked at its completion
    ASSERT_TRUE(machine.bugs().empty());

    request_queue_t* q = sim::disk_queue(machine, rig.disk);
    std::thread([&] {
        unsigned long flags, qflags;
        spin_lock_irqsave(&amListUsersLock, flags);
        kesLockRequestQueue(q, &qflags);
        kesUnlockRequestQueue(q, qflags);
        spin_unlock_irqrestore(&amListUsersLock, flags);
    }).join();
    ExpectOneCycle(machine, "queue_lock", "amListUsersLock");
    rig.Reopen();
}

// The kernel re-reads a disk's partition table holding the disk's bd_sem and flushes the
// file system on the disk under its super block's s_umount; the disk information the start
// reads must not take them the other way round. Had it held the super block while waiting
// for bd_sem, a remount waiting for s_umount would keep the re-read from it, and the three
// would wait for each other: the validator reports the order before anything hangs.
TEST_F(LockOrderTest, DiskInformationTakesBdSemWithoutTheSuperBlock)
{
    sim::DiskConfig c;
    c.major = 8;
    c.minors = 16;
    c.size_bytes = 16ull << 20;
    u32 sda = 0;
    ASSERT_EQ(sim::add_disk(machine, c, &sda), 0);
    ASSERT_EQ(sim::mount_fs(machine, sda, 4096), 0); // a file system on the whole disk
    ASSERT_EQ(sim::reread_partitions(machine, sda), 0);

    kes::DiskInfo d{};
    ASSERT_EQ(kes::getDiskInfo(&d, sda), 0);
    kes::closeDiskInfo(&d);
    EXPECT_EQ(d.nrSects, 32768u);
    std::vector<std::string> bugs = machine.bugs();
    EXPECT_TRUE(bugs.empty()) << bugs.front();
    ASSERT_EQ(sim::unmount_fs(machine, sda), 0);
}

} // namespace
} // namespace kestrel_test
