#include "tests/support/backup_rig.h"

#include <thread>

#include "cow/cow.h"
#include "intercept/intercept.h"

namespace kestrel_test {

BackupRig::BackupRig(sim::Machine& m, sim::Process& a, RigConfig c) : machine(m), agent(a), config(c)
{
    uint64_t part1Sectors = uint64_t(c.fsBlocks) * (c.blockSize / 512);
    sim::DiskConfig dc;
    dc.size_bytes = (c.part1Start + part1Sectors + c.part2Sectors + 64) * 512;
    dc.partitions = std::vector<sim::Partition>{{c.part1Start, part1Sectors},
                                                {c.part1Start + part1Sectors, c.part2Sectors}};
    dc.queue_lock = c.queueLock;
    EXPECT_EQ(sim::add_disk(m, dc, &disk), 0);
    part1 = disk + 1;
    part2 = disk + 2;
    fd = agent.open("/dev/kestrel");
    EXPECT_GE(fd, 0);
    b = static_cast<kes::Backup*>(agent.file_of(fd)->private_data);
}

void BackupRig::Reopen()
{
    agent.close(fd);
    fd = agent.open("/dev/kestrel");
    ASSERT_GE(fd, 0);
    b = static_cast<kes::Backup*>(agent.file_of(fd)->private_data);
}

int BackupRig::StartByHand()
{
    using namespace kes;
    unsigned long flags;
    spin_lock_irqsave(&busyLock, flags);
    busy = 1;
    busyHolder = b;
    spin_unlock_irqrestore(&busyLock, flags);

    down(&b->sem);
    DiskInfo& d = b->disk;
    d.dev = part1;
    d.bdev = bdget(part1);
    d.blockSize = config.blockSize;
    d.blocksPerPage = 4096 / config.blockSize;
    d.sectorsPerBlock = config.blockSize / 512;
    d.blockShift = 0;
    while ((1u << d.blockShift) < d.sectorsPerBlock)
        d.blockShift++;
    d.startSect = config.part1Start;
    d.nrSects = uint64_t(config.fsBlocks) * d.sectorsPerBlock;
    d.partSizeKB = d.nrSects / 2;
    d.fsBlocks = config.fsBlocks;
    b->maxCacheBlocks = config.maxCacheBlocks;
    setBackupState(b, BACKUP_STARTING);
    int result = buildBackup(b, part1);
    if (result == 0) {
        down_write(&activeSessionUsers);
        activeSession = b;
        up_write(&activeSessionUsers);
        setBackupState(b, BACKUP_STARTED);
    }
    up(&b->sem);
    return result;
}

void BackupRig::SnapshotByHand()
{
    using namespace kes;
    EXPECT_EQ(setMRF(b, kesMRF), 0);
    down_write(&b->stateLock);
    advanceBackup(b, BACKUP_SNAPSHOT);
    up_write(&b->stateLock);
}

void BackupRig::WaitForWorker()
{
    while (atomic_read(&b->pendingMRs) != 0)
        std::this_thread::yield();
}

std::vector<char> BackupRig::Pattern(uint32_t block, uint32_t gen) const
{
    std::vector<char> p(config.blockSize);
    for (size_t i = 0; i < p.size(); i++)
        p[i] = static_cast<char>((block * 131 + gen * 31 + i / 512) & 0xFF);
    memcpy(p.data(), &block, 4);
    memcpy(p.data() + 4, &gen, 4);
    return p;
}

void BackupRig::StampAll(uint32_t gen)
{
    uint32_t spb = config.blockSize / 512;
    for (uint32_t blk = 0; blk < config.fsBlocks; blk++)
        ASSERT_EQ(sim::write_store(machine, part1, uint64_t(blk) * spb, Pattern(blk, gen).data(), spb), 0);
}

int BackupRig::WriteBlock(uint32_t dev, uint32_t block, uint32_t gen)
{
    uint32_t spb = config.blockSize / 512;
    return sim::write_sectors(machine, dev, uint64_t(block) * spb, Pattern(block, gen).data(), spb);
}

std::vector<char> BackupRig::StoredBlock(uint32_t dev, uint32_t block)
{
    uint32_t spb = config.blockSize / 512;
    std::vector<char> out(config.blockSize);
    EXPECT_EQ(sim::read_store(machine, dev, uint64_t(block) * spb, out.data(), spb), 0);
    return out;
}

long BackupRig::MapBuffer(uint32_t pages)
{
    return agent.mmap(pages * 4096, PROT_READ, MAP_PRIVATE, fd);
}

int BackupRig::ReadBlocks(uint32_t first, uint32_t count, uint32_t address)
{
    uint32_t args = agent.alloc(12);
    uint32_t words[3] = {first, count, address};
    agent.poke(args, words, sizeof words);
    int r = agent.ioctl(fd, kes::KES_READ_BLOCKS, args);
    agent.free(args);
    return r;
}

std::vector<char> BackupRig::Slot(uint32_t address, uint32_t i)
{
    std::vector<char> out(config.blockSize);
    EXPECT_TRUE(agent.peek(address + i * config.blockSize, out.data(), out.size()));
    return out;
}

} // namespace kestrel_test
