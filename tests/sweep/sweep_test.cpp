// Fault sweeps over a whole backup. One run: a fresh machine, a mounted file system with
// writers stamping blocks, a full backup, an incremental one with its key, and one fault
// injected into the kernel while they run: the Nth allocation (of any kind, or of one kind),
// every allocation from the Nth on, the Nth read of the disk (the module's own reads: the
// agent's and copy-on-write's), or the Nth write of a writer. N counts up from 1 until a run
// no longer reaches the fault.
//
// Every run must end well: what the agent was told succeeded is the disk at the snapshot,
// a failure is reported as one, the follow-up backup without faults succeeds and, added to
// the chain, equals the device; every writer's last write is on the disk; the module unloads
// and leaves a clean machine with no bug report; a watchdog turns a hang into a failure.
//
// Runs where one allocation site repeats (the start's hash buckets, the reads of every
// block) are sampled: the step doubles while the fault keeps landing on the same site.
//
// Environment: KESTREL_SWEEP_MAX_STEP (largest step, default 64; 1 tries every N),
// KESTREL_SWEEP_MAX_RUNS (runs per sweep, default 400), KESTREL_SWEEP_SEED, and
// KESTREL_SWEEP_FROM (the first N: to repeat the runs around a failure).
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "module/kestrel.h"
#include "sim/disk.h"
#include "tests/support/stamped.h"
#include "machine/install.h"

namespace kestrel_test {
namespace {

enum class Target { AnyAllocation, Allocation, Read, Write };

struct Plan {
    Target target;
    sim::Fault kind = sim::Fault::Page; // for Target::Allocation
    bool persistent = false;
    unsigned n = 1;
};

// A persistent fault fails this many operations and is then lifted, so that the paths that
// retry until an allocation succeeds (bios, buffer heads, registry records) and the writers
// that write a failed block again get through.
constexpr unsigned kLiftAfter = 400;

const char* KindName(sim::Fault k)
{
    static const char* names[] = {"page", "kmalloc", "vmalloc", "slab object", "slab cache",
                                  "thread", "bio", "buffer head"};
    return names[static_cast<int>(k)];
}

std::string Describe(const Plan& p)
{
    std::string what;
    switch (p.target) {
    case Target::AnyAllocation: what = "allocation"; break;
    case Target::Allocation: what = std::string(KindName(p.kind)) + " allocation"; break;
    case Target::Read: what = "disk read"; break;
    case Target::Write: what = "writer's write"; break;
    }
    return (p.persistent ? "every " + what + " from the " : "the ") + what + " number " + std::to_string(p.n) +
           (p.persistent && p.target != Target::AnyAllocation ? " on" : "") + " failing";
}

void Arm(sim::Machine& m, const StampedDisk& d, const Plan& p)
{
    unsigned lift = p.persistent ? kLiftAfter : 0;
    switch (p.target) {
    case Target::AnyAllocation: m.faults().fail_any_alloc_nth(p.n, p.persistent, lift); break;
    case Target::Allocation: m.faults().fail_nth(p.kind, p.n, p.persistent, lift); break;
    case Target::Read: sim::set_failing_requests(m, d.disk, false, p.n, p.persistent, lift); break;
    case Target::Write: sim::set_failing_requests(m, d.disk, true, p.n, p.persistent, lift); break;
    }
}

struct RunOutcome {
    unsigned fired = 0;
    const void* site = nullptr; // where the first injected failure landed
    bool backupsOk[2] = {};
};

// A small disk, and writers that each stop after a few writes: a run's allocations are
// bounded, so the sweep ends.
StampedConfig SweepDisk(uint32_t seed)
{
    StampedConfig sc;
    sc.fsBlocks = 256;
    sc.part2Sectors = 256;
    sc.writesPerWriter = 16;
    sc.seed = seed;
    return sc;
}

// Checks what one backup under the fault handed the agent, and adds it to the chain.
void CheckBackup(StampedDisk& d, Chain& chain, const BackupOutcome& o, const char* which)
{
    SCOPED_TRACE(which);
    if (!o.result.ok()) {
        EXPECT_NE(o.result.status, 0);
        EXPECT_FALSE(o.result.error.empty());
        return;
    }
    ASSERT_TRUE(o.snapshotTaken);
    if (o.usable()) {
        EXPECT_EQ(d.CheckImage(o.image, o.bounds, &o.delivered), "") << "a backup reported good is not the disk at its snapshot";
    }
    if (!o.result.incremental) {
        EXPECT_EQ(o.result.delivered_blocks, o.delivered.size());
    }
    chain.Add(o);
    if (o.usable()) {
        EXPECT_EQ(d.CheckChain(chain.image, o.bounds), "") << "the chain of backups is not the disk at the snapshot";
    }
}

RunOutcome RunOnce(const Plan& plan, uint32_t seed)
{
    RunOutcome out;
    std::string what = Describe(plan);
    SCOPED_TRACE(what);
    Watchdog dog(what, std::chrono::seconds(120));
    sim::MachineConfig mc;
    mc.random_seed = seed;
    sim::Machine machine(install::machine_config(mc));
    EXPECT_EQ(install::load_module(machine), 0);
    sim::Process& agent = machine.spawn("agent");
    StampedConfig sc = SweepDisk(seed);
    sc.syncOnly = plan.target == Target::Write;
    StampedDisk d(machine, sc);
    if (!d.setup_error().empty()) {
        ADD_FAILURE() << d.setup_error();
        return out;
    }

    d.StartWriters();
    Arm(machine, d, plan);
    Chain chain;
    for (int i = 0; i < 2; i++) {
        agent::BackupRequest req = d.Request();
        req.previous_key = chain.key;
        BackupOutcome o = d.Backup(agent, req);
        CheckBackup(d, chain, o, i == 0 ? "first backup" : "second backup");
        out.backupsOk[i] = o.usable();
    }
    d.WaitForWriters();
    machine.faults().disarm();
    sim::set_failing_requests(machine, d.disk, false, 0);
    sim::set_failing_requests(machine, d.disk, true, 0);
    out.fired = plan.target == Target::Read || plan.target == Target::Write
                    ? static_cast<unsigned>(sim::disk_stats(machine, d.disk).errors)
                    : machine.faults().fired_total();
    // Failed requests count as one site: the reads of every block are one path, sampled
    // like the allocations of one site.
    static const char ioSite = 0;
    out.site = plan.target == Target::Read || plan.target == Target::Write ? &ioSite
                                                                            : machine.faults().last_failed_site();

    // Without faults: the follow-up backup succeeds and completes the chain to the device.
    EXPECT_EQ(d.Flush(), 0);
    agent::BackupRequest req = d.Request();
    req.previous_key = chain.key;
    BackupOutcome follow = d.Backup(agent, req);
    EXPECT_TRUE(follow.usable()) << follow.result.error << "\n" << machine.dmesg_text();
    chain.Add(follow);
    EXPECT_TRUE(chain.valid);
    if (chain.valid) {
        EXPECT_EQ(d.CheckChain(chain.image, d.Now()), "") << "the chain does not add up to the device\n" << machine.dmesg_text();
    }
    EXPECT_EQ(d.CheckDevice(), "") << "a writer's last write is not on the device";
    for (const std::string& p : d.writer_problems())
        ADD_FAILURE() << p;
    EXPECT_EQ(ShutDownAndCheck(machine, d.part1), "") << machine.dmesg_text();
    return out;
}

struct Totals {
    unsigned runs = 0;
    std::set<const void*> sitesFailed;
};

// Runs the plan for N = 1, 2, ... (sampled where one site repeats) until a run does not
// reach the fault.
void Sweep(Plan plan, Totals& t)
{
    const unsigned maxStep = std::max(1u, EnvOr("KESTREL_SWEEP_MAX_STEP", 64));
    const unsigned maxRuns = EnvOr("KESTREL_SWEEP_MAX_RUNS", 400);
    const uint32_t seed = EnvOr("KESTREL_SWEEP_SEED", 1);
    unsigned step = 1, runs = 0;
    const void* lastSite = nullptr;
    for (plan.n = std::max(1u, EnvOr("KESTREL_SWEEP_FROM", 1));; plan.n += step) {
        RunOutcome o = RunOnce(plan, seed + runs);
        runs++;
        if (o.site && plan.target != Target::Read && plan.target != Target::Write)
            t.sitesFailed.insert(o.site);
        if (::testing::Test::HasFailure() || o.fired == 0)
            break;
        if (runs >= maxRuns) {
            printf("  [ sweep ] %s: stopped after %u runs (KESTREL_SWEEP_MAX_RUNS)\n", Describe(plan).c_str(), runs);
            break;
        }
        step = o.site && o.site == lastSite ? std::min(step * 2, maxStep) : 1;
        lastSite = o.site;
    }
    t.runs += runs;
}

void Report(const char* name, const Totals& t, size_t sitesReached)
{
    std::string sites = sitesReached ? ", " + std::to_string(t.sitesFailed.size()) + " allocation sites failed, " +
                                           std::to_string(sitesReached) + " reached"
                                     : "";
    printf("  [ sweep ] %s: %u runs%s\n", name, t.runs, sites.c_str());
}

// Sites reached by a fault-free run: every allocation site the scenario passes through.
size_t SitesReached()
{
    sim::Machine machine{install::machine_config()};
    if (install::load_module(machine) != 0)
        return 0;
    sim::Process& agent = machine.spawn("agent");
    StampedDisk d(machine, SweepDisk(1));
    d.StartWriters();
    Chain chain;
    for (int i = 0; i < 2; i++) {
        agent::BackupRequest req = d.Request();
        req.previous_key = chain.key;
        chain.Add(d.Backup(agent, req));
    }
    d.StopWriters();
    size_t n = machine.faults().sites_reached().size();
    EXPECT_EQ(ShutDownAndCheck(machine, d.part1), "");
    return n;
}

TEST(FaultSweep, EveryAllocationFailsInTurn)
{
    Totals t;
    Sweep({Target::AnyAllocation}, t);
    Report("the Nth allocation", t, SitesReached());
}

TEST(FaultSweep, EveryAllocationFromTheNthOnFailsUntilLifted)
{
    Totals t;
    Sweep({Target::AnyAllocation, sim::Fault::Page, true}, t);
    Report("every allocation from the Nth on", t, SitesReached());
}

class FaultSweepKind : public ::testing::TestWithParam<sim::Fault> {};

TEST_P(FaultSweepKind, TheNthOfOneKindFails)
{
    Totals t;
    Sweep({Target::Allocation, GetParam()}, t);
    Report(KindName(GetParam()), t, SitesReached());
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultSweepKind,
                         ::testing::Values(sim::Fault::Page, sim::Fault::Kmalloc, sim::Fault::Vmalloc,
                                           sim::Fault::Slab, sim::Fault::SlabCreate, sim::Fault::Thread,
                                           sim::Fault::Bio, sim::Fault::BufferHead),
                         [](const auto& info) {
                             std::string n = KindName(info.param);
                             for (char& c : n)
                                 if (c == ' ')
                                     c = '_';
                             return n;
                         });

TEST(FaultSweep, TheNthDiskReadFails)
{
    Totals t;
    Sweep({Target::Read}, t);
    Sweep({Target::Read, sim::Fault::Page, true}, t);
    Report("disk reads", t, 0);
}

TEST(FaultSweep, TheNthWriteOfAWriterFails)
{
    Totals t;
    Sweep({Target::Write}, t);
    Sweep({Target::Write, sim::Fault::Page, true}, t);
    Report("writers' writes", t, 0);
}

} // namespace
} // namespace kestrel_test
