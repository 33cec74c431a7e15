// Closing a backup while its worker or the request path fails it.
#include <thread>

#include "intercept/intercept.h"
#include "tests/support/backup_rig.h"

namespace kestrel_test {
namespace {

using namespace kes;

// Fails the Backup as the worker does and returns the state it replaced.
int FailAsTheWorker(Backup* b)
{
    int cur = atomic_read(&b->state);
    while (!backupFailed(static_cast<u32>(cur))) {
        int found = atomic_cmpxchg(&b->state, cur, BACKUP_ERR_CACHE);
        if (found == cur)
            break;
        cur = found;
    }
    return cur;
}

// A failure that lands while the close begins (just after it takes the queue off the
// snapshot request function) is the state the close reports: the close's own phase
// change must not write over it.
TEST_F(ModuleTest, AFailureDuringTheCloseIsTheStateItReports)
{
    BackupRig rig(machine, *agent);
    request_queue_t* q = sim::disk_queue(machine, rig.disk);
    int checked = 0;
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(rig.StartByHand(), 0);
        rig.SnapshotByHand();
        Backup* b = rig.b;
        atomic_inc(&b->requestUsers); // the close waits for it before it frees the record
        int replaced = -1;
        std::thread failer([&] {
            while (q->make_request_fn.load() == kesMRF)
                std::this_thread::yield();
            replaced = FailAsTheWorker(b);
            atomic_dec(&b->requestUsers);
        });
        machine.clear_log();
        rig.Reopen();
        failer.join();
        // Only a failure that replaced the snapshot's state came before the close's own
        // phase change; one that replaced 7 may have come after the statistics.
        if (replaced != BACKUP_SNAPSHOT)
            continue;
        checked++;
        ASSERT_EQ(machine.log_count("printStats: state: 10"), 1u) << "replaced state " << replaced;
    }
    EXPECT_GT(checked, 0);
}

} // namespace
} // namespace kestrel_test
