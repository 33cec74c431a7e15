// The Backup's state across threads: a failure, once in, is never overwritten by a phase
// change (the close's among them), and the first failure is the one kept.
#include <atomic>
#include <memory>
#include <thread>

#include "shared/backup.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

using BackupStateTest = MachineTest;

TEST_F(BackupStateTest, PhaseChangesRacingFailuresNeverHideThem)
{
    auto b = std::make_unique<kes::Backup>();
    for (int round = 0; round < 500; round++) {
        kes::setBackupState(b.get(), kes::BACKUP_STARTED);
        std::atomic<int> ready{0};
        std::atomic<bool> advancedAfterFailure{false};
        std::thread phases([&] {
            ready++;
            while (ready.load() < 2) {
            }
            for (u32 s : {kes::BACKUP_SNAPSHOT, kes::BACKUP_LOADING_MAP, kes::BACKUP_MAP_LOADED,
                          kes::BACKUP_CLOSING}) {
                bool failedBefore = kes::backupFailed(kes::backupState(b.get()));
                if (kes::advanceBackup(b.get(), s) && failedBefore)
                    advancedAfterFailure = true;
            }
        });
        std::thread worker([&] {
            ready++;
            while (ready.load() < 2) {
            }
            kes::failBackup(b.get(), round % 2 ? kes::BACKUP_ERR_READ : kes::BACKUP_ERR_CACHE);
            kes::failBackup(b.get(), kes::BACKUP_ERR_QUEUE);
        });
        phases.join();
        worker.join();
        ASSERT_EQ(kes::backupState(b.get()), round % 2 ? kes::BACKUP_ERR_READ : kes::BACKUP_ERR_CACHE)
            << "round " << round;
        ASSERT_FALSE(advancedAfterFailure.load());
        // The close's own last step, CLOSING to IDLE, leaves a failure alone too.
        atomic_cmpxchg(&b->state, kes::BACKUP_CLOSING, kes::BACKUP_IDLE);
        ASSERT_TRUE(kes::backupFailed(kes::backupState(b.get())));
    }
}

} // namespace
} // namespace kestrel_test
