// A machine with the module loaded, a disk with two partitions, an ext2 file system mounted
// on the first, writer threads that stamp blocks through the file system or raw, and an
// agent that runs backups as a backup program would.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "agent/backup.h"
#include "agent/sim_transport.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/fixture.h"

namespace kestrel_test {

class Scenario : public ModuleTest {
public:
    struct Write {
        uint32_t block, gen;
    };

protected:
    static constexpr uint32_t kBlockSize = 4096;
    static constexpr uint32_t kFsBlocks = 2048;
    static constexpr uint64_t kPart1Start = 2048;

    void SetUp() override;
    void TearDown() override;

    // The contents of a block at a generation: every byte tells block and generation.
    static std::vector<uint8_t> Pattern(uint32_t block, uint32_t gen);
    static uint32_t GenOf(const std::vector<uint8_t>& data, uint32_t block);

    // Writer threads: writer w owns the blocks b (0 < b < kFsBlocks) with b % n == w and
    // writes each of its writes one after the other, through the file system (sync) or
    // raw. Every write is logged in order.
    void StartWriters(int n, bool raw = false);
    void StopWriters();
    // Writes one block through the file system, synchronously, and logs it.
    void WriteFs(uint32_t block);

    // A backup with the agent; blocks are collected in image.
    agent::BackupResult Backup(const agent::BackupRequest& req);
    agent::BackupRequest Request() const;

    std::mutex logMu;
    std::vector<std::vector<Write>> writerLogs; // per writer, in order
    std::vector<uint32_t> gens;                // the last generation written, per block
    std::vector<std::thread> writers;
    std::atomic<bool> stop{false};

    uint32_t disk = 0, part1 = 0, part2 = 0;
    std::map<uint32_t, std::vector<uint8_t>> image; // block -> contents of the last backup
    std::unique_ptr<agent::SimTransport> transport;
};

} // namespace kestrel_test
