// The module's lock order, as the lock validator checks it on every test: a task that takes
// two of the module's own locks against the order the module follows is reported, even
// when nothing else contends for them and nothing hangs.
#include <string>
#include <thread>

#include "tests/support/backup_rig.h"

namespace kestrel_test {
namespace {

using namespace kes;

class LockOrderTest : public ModuleTest {};

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

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
    std::vector<std::string> bugs = machine.bugs();
    machine.clear_bugs();
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_TRUE(Has(bugs[0], "circular locking dependency")) << bugs[0];
    EXPECT_TRUE(Has(bugs[0], "stateLock")) << bugs[0];
    EXPECT_TRUE(Has(bugs[0], "activeSessionUsers")) << bugs[0];
}

} // namespace
} // namespace kestrel_test
