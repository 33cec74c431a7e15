// A disk with two partitions, the control device opened by an agent process, and helpers to
// start a backup of the first partition, stamp blocks with known patterns and read the
// snapshot back through the mapped buffer.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <vector>

#include "backup/session.h"
#include "module/kestrel.h"
#include "sim/disk.h"
#include "tests/support/fixture.h"

namespace kestrel_test {

struct RigConfig {
    uint32_t blockSize = 4096;
    uint64_t part1Start = 2048;   // sectors
    uint32_t fsBlocks = 1024;     // blocks of partition 1
    uint64_t part2Sectors = 8192;
    uint32_t maxCacheBlocks = 1u << 20;
    bool queueLock = true;
};

class BackupRig {
public:
    BackupRig(sim::Machine& m, sim::Process& agent, RigConfig config = {});

    // Builds the backup of partition 1 as the start command would once it has the device's
    // geometry (the rig supplies the geometry itself): state 2. Returns the build's status.
    int StartByHand();
    // Closes the control file and opens it again: a fresh Backup.
    void Reopen();
    // Switches copy-on-write on as the snapshot does once the device is frozen: the snapshot
    // request function on the queue, state 4.
    void SnapshotByHand();

    // Waits until the worker has finished every held-back request: it marks the blocks it
    // dealt with only after passing the request on, so after the writer saw it complete.
    void WaitForWorker();

    // The pattern of a block at a generation: every byte says which block and generation.
    std::vector<char> Pattern(uint32_t block, uint32_t gen) const;
    // Writes the pattern of every block of partition 1 straight into the backing store.
    void StampAll(uint32_t gen);
    // Writes one block of a device through the block layer, as a raw writer would.
    int WriteBlock(uint32_t dev, uint32_t block, uint32_t gen);
    // The block as the device now holds it (backing store).
    std::vector<char> StoredBlock(uint32_t dev, uint32_t block);

    // Maps a read buffer of pages pages; returns its address (or a negative error).
    long MapBuffer(uint32_t pages);
    // The read-blocks command into the buffer at address.
    int ReadBlocks(uint32_t first, uint32_t count, uint32_t address);
    // Slot i of the buffer as the agent sees it.
    std::vector<char> Slot(uint32_t address, uint32_t i);

    sim::Machine& machine;
    sim::Process& agent;
    RigConfig config;
    uint32_t disk = 0, part1 = 0, part2 = 0;
    int fd = -1;
    kes::Backup* b = nullptr;
};

} // namespace kestrel_test
