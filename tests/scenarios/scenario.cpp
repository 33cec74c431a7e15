#include "tests/scenarios/scenario.h"

namespace kestrel_test {

void Scenario::SetUp()
{
    ModuleTest::SetUp();
    sim::DiskConfig dc;
    uint64_t part1Sectors = uint64_t(kFsBlocks) * (kBlockSize / 512);
    dc.size_bytes = (kPart1Start + part1Sectors + 4096) * 512;
    dc.partitions = std::vector<sim::Partition>{{kPart1Start, part1Sectors}, {kPart1Start + part1Sectors, 4096}};
    ASSERT_EQ(sim::add_disk(machine, dc, &disk), 0);
    part1 = disk + 1;
    part2 = disk + 2;
    auto sb = sim::make_ext2_super_block(kBlockSize, kFsBlocks);
    ASSERT_EQ(sim::write_store(machine, part1, 2, sb.data(), 2), 0);
    for (uint32_t b = 1; b < kFsBlocks; b++)
        ASSERT_EQ(sim::write_store(machine, part1, uint64_t(b) * 8, Pattern(b, 0).data(), 8), 0);
    ASSERT_EQ(sim::mount_fs(machine, part1), 0);
    gens.assign(kFsBlocks, 0);
    transport = std::make_unique<agent::SimTransport>(*agent);
}

void Scenario::TearDown()
{
    StopWriters();
    machine.exit_processes();
    if (sim::mount_info(machine, part1)) {
        EXPECT_EQ(sim::unmount_fs(machine, part1), 0);
    }
    ModuleTest::TearDown();
    EXPECT_EQ(machine.queues_report(), "");
}

std::vector<uint8_t> Scenario::Pattern(uint32_t block, uint32_t gen)
{
    std::vector<uint8_t> p(kBlockSize);
    for (size_t i = 8; i < p.size(); i++)
        p[i] = static_cast<uint8_t>(block * 7 + gen * 13 + i);
    memcpy(p.data(), &block, 4);
    memcpy(p.data() + 4, &gen, 4);
    return p;
}

uint32_t Scenario::GenOf(const std::vector<uint8_t>& data, uint32_t block)
{
    uint32_t b, g;
    memcpy(&b, data.data(), 4);
    memcpy(&g, data.data() + 4, 4);
    if (b != block || data != Pattern(block, g))
        return ~0u;
    return g;
}

void Scenario::WriteFs(uint32_t block)
{
    uint32_t gen;
    {
        std::lock_guard<std::mutex> g(logMu);
        gen = ++gens[block];
    }
    ASSERT_EQ(sim::fs_write(machine, part1, block, Pattern(block, gen).data(), 1, true), 0);
}

void Scenario::StartWriters(int n, bool raw)
{
    stop = false;
    writerLogs.assign(n, {});
    for (int w = 0; w < n; w++) {
        writers.emplace_back([this, w, n, raw] {
            std::mt19937 rng(w + 7);
            uint32_t owned = kFsBlocks / n;
            while (!stop) {
                uint32_t block = (rng() % owned) * n + w;
                if (block == 0 || block >= kFsBlocks)
                    continue; // block 0 holds the super block
                uint32_t gen;
                {
                    std::lock_guard<std::mutex> g(logMu);
                    gen = ++gens[block];
                }
                int r = raw ? sim::write_sectors(machine, part1, uint64_t(block) * 8, Pattern(block, gen).data(), 8)
                            : sim::fs_write(machine, part1, block, Pattern(block, gen).data(), 1, true);
                ASSERT_EQ(r, 0);
                std::lock_guard<std::mutex> g(logMu);
                writerLogs[w].push_back({block, gen});
            }
        });
    }
}

void Scenario::StopWriters()
{
    stop = true;
    for (auto& t : writers)
        t.join();
    writers.clear();
}

agent::BackupRequest Scenario::Request() const
{
    agent::BackupRequest r;
    r.major = MAJOR(part1);
    r.minor = MINOR(part1);
    return r;
}

agent::BackupResult Scenario::Backup(const agent::BackupRequest& req)
{
    image.clear();
    return agent::run_backup(*transport, req, [&](uint32_t block, const uint8_t* data, uint32_t size) {
        image[block].assign(data, data + size);
    });
}

} // namespace kestrel_test
