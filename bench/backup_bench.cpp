// What a backup costs: writes to a device with and without a snapshot under way, and the
// throughput of a full backup of a file system.
#include <benchmark/benchmark.h>

#include <vector>

#include "agent/backup.h"
#include "agent/sim_transport.h"
#include "module/kestrel.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

constexpr uint32_t kBlocks = 8192;

struct Rig {
    sim::Machine machine;
    uint32_t part = 0;
    sim::Process* proc = nullptr;

    Rig()
    {
        sim::DiskConfig dc;
        dc.size_bytes = (2048 + uint64_t(kBlocks) * 8) * 512;
        dc.partitions = std::vector<sim::Partition>{{2048, uint64_t(kBlocks) * 8}};
        uint32_t disk = 0;
        sim::add_disk(machine, dc, &disk);
        part = disk + 1;
        auto sb = sim::make_ext2_super_block(4096, kBlocks);
        sim::write_store(machine, part, 2, sb.data(), 2);
        sim::mount_fs(machine, part);
        machine.insmod(THIS_MODULE);
        proc = &machine.spawn("bench");
    }
    ~Rig()
    {
        machine.exit_processes();
        sim::unmount_fs(machine, part);
        machine.rmmod("kestrel");
    }
};

// Raw 4 KiB writes to the device; with a snapshot taken, each first write of a block waits
// for its old contents to be copied.
void BM_Write(benchmark::State& state)
{
    Rig rig;
    agent::SimTransport t(*rig.proc);
    agent::ControlDevice dev(t);
    if (state.range(0)) {
        dev.open();
        dev.start_backup(MAJOR(rig.part), MINOR(rig.part), kBlocks, kBlocks);
        dev.snapshot(agent::SessionKey{});
    }
    std::vector<char> data(4096, 'x');
    uint32_t block = 1;
    for (auto _ : state) {
        sim::write_sectors(rig.machine, rig.part, uint64_t(block) * 8, data.data(), 8);
        block = block % (kBlocks - 1) + 1;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
    state.SetLabel(state.range(0) ? "snapshot taken" : "no backup");
}
BENCHMARK(BM_Write)->Arg(0)->Arg(1);

// A full backup of the file system through the mapped buffer.
void BM_FullBackup(benchmark::State& state)
{
    Rig rig;
    agent::SimTransport t(*rig.proc);
    for (auto _ : state) {
        agent::BackupRequest req;
        req.major = MAJOR(rig.part);
        req.minor = MINOR(rig.part);
        agent::BackupResult r = agent::run_backup(t, req, {});
        if (!r.ok())
            state.SkipWithError(r.error.c_str());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlocks * 4096);
}
BENCHMARK(BM_FullBackup)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
