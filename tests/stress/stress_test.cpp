// The stamped-sector stress: writers stamp every write (through the file system, left dirty
// or written through, raw in runs of blocks and single sectors, and raw across the end of
// the partition into the next one) while the agent takes cycle after cycle of backups:
// incrementals with the key of its last good backup, now and then a full one, at random
// cache limits and read sizes, some given up midway. After each cycle, a backup the agent
// was told succeeded is the disk at its snapshot, and so is the chain of its full backup and
// the incrementals since; at the end, with the writers stopped, the chain is the device and
// every writer's last write is on it.
//
// Environment: KESTREL_STRESS_CYCLES (default 24), KESTREL_STRESS_SEED (default 1).
#include <cstdlib>

#include "tests/support/fixture.h"
#include "tests/support/stamped.h"

namespace kestrel_test {
namespace {

using StampedStress = ModuleTest;

TEST_F(StampedStress, CyclesOfFullAndIncrementalBackupsLoseNoWrite)
{
    const unsigned cycles = EnvOr("KESTREL_STRESS_CYCLES", 24);
    const uint32_t seed = EnvOr("KESTREL_STRESS_SEED", 1);
    Watchdog dog("the stress", std::chrono::seconds(120 + 10 * cycles));
    StampedConfig sc;
    sc.fsBlocks = 1024;
    sc.part2Sectors = 2048;
    sc.fsWriters = 2;
    sc.rawWriters = 2;
    sc.seed = seed;
    StampedDisk d(machine, sc);
    ASSERT_EQ(d.setup_error(), "");
    std::mt19937 rng(seed);
    unsigned good = 0, incremental = 0, cancelled = 0, failed = 0, mismatches = 0;

    d.StartWriters();
    Chain chain;
    for (unsigned c = 0; c < cycles; c++) {
        SCOPED_TRACE("cycle " + std::to_string(c));
        agent::BackupRequest req = d.Request();
        req.previous_key = chain.key;
        req.full = rng() % 8 == 0;
        req.max_cache_blocks = rng() % 4 == 0 ? rng() % 64 : 65536;
        req.run_blocks = 16u << (2 * (rng() % 3)); // 16, 64 or 256 blocks a read
        unsigned cancelAfter = rng() % 6 == 0 ? 1 + rng() % 4 : 0;
        BackupOutcome o = d.Backup(*agent, req, cancelAfter);
        if (o.usable()) {
            good++;
            incremental += o.result.incremental;
            std::string bad = d.CheckImage(o.image, o.bounds, &o.delivered);
            mismatches += !bad.empty();
            EXPECT_EQ(bad, "") << "the backup is not the disk at its snapshot";
        } else {
            (cancelAfter ? cancelled : failed)++;
            EXPECT_NE(o.result.status, 0);
        }
        chain.Add(o);
        if (o.usable()) {
            std::string bad = d.CheckChain(chain.image, o.bounds);
            mismatches += !bad.empty();
            EXPECT_EQ(bad, "") << "the chain of backups is not the disk at the snapshot";
        }
        if (HasFailure())
            break;
    }
    d.StopWriters();
    ASSERT_EQ(d.Flush(), 0);

    agent::BackupRequest req = d.Request();
    req.previous_key = chain.key;
    BackupOutcome last = d.Backup(*agent, req);
    ASSERT_TRUE(last.usable()) << last.result.error << "\n" << machine.dmesg_text();
    chain.Add(last);
    std::string lost = d.CheckChain(chain.image, d.Now());
    EXPECT_EQ(lost, "") << "writes lost from the chain";
    EXPECT_EQ(d.CheckDevice(), "") << "a writer's last write is not on the device";
    for (const std::string& p : d.writer_problems())
        ADD_FAILURE() << p;
    printf("  [ stress ] %u cycles, %llu writes (%llu sectors stamped): %u backups good (%u incremental), "
           "%u cancelled, %u failed in the module; %u mismatches, %s lost writes\n",
           cycles, static_cast<unsigned long long>(d.writes()), static_cast<unsigned long long>(d.sectors()),
           good, incremental, cancelled, failed, mismatches, lost.empty() ? "0" : "some");
    EXPECT_EQ(ShutDownAndCheck(machine, d.part1), "") << machine.dmesg_text();
}

} // namespace
} // namespace kestrel_test
