// Change tracking without the start and snapshot commands: a Backup filled for a device as
// the start of a backup fills it, the steps that put an automap in place and hook the
// device's queue, and a machine with a partitioned disk to do it on.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "automap/automap.h"
#include "intercept/intercept.h"
#include "base/users.h"
#include "reader/reader.h"
#include "snapshot/snapshot.h"
#include "sim/disk.h"
#include "tests/support/fixture.h"

namespace kestrel_test {

// What a snapshot does for a device without an automap, minus the freeze: a new automap,
// tracking, and the queue hooked (here with kesAMRF). The automap, or NULL.
inline kes::AM* startTracking(kes::Backup* b)
{
    kes::AM* am = nullptr;
    if (kes::newAMS(b, &am) != 0)
        return nullptr;
    atomic_set(&am->tracking, 1);
    return kes::setMRF(b, kes::kesAMRF) == 0 ? am : nullptr;
}

// The automap of dev in the table now, read as a table reader (NULL when none).
inline kes::AM* amOf(u32 dev)
{
    kes::AM** slot = kes::amSlot(dev);
    kes::enterAMList();
    kes::AM* am = slot ? *slot : nullptr;
    kes::leaveAMList();
    return am;
}

// The blocks set in an automap, in order.
inline std::vector<u32> setBlocks(kes::AM* am)
{
    std::vector<u32> out;
    for (u32 b = 0; b < am->map.numBlocks; b++)
        if (kes::blockInMap(&am->map, b))
            out.push_back(b);
    return out;
}

// Walks the registry as a walker: the number of hooked queues, and the devices listed on q.
inline size_t registryEntries(request_queue_t* q = nullptr, std::vector<u32>* devs = nullptr)
{
    size_t n = 0;
    struct list_head *p, *d;
    kes::getUse(&kes::queueListUsersLock, &kes::queueListUsers);
    list_for_each(p, &kes::queueListHead) {
        kes::QueueListEntry* qe = list_entry(p, kes::QueueListEntry, list);
        n++;
        if (devs && qe->queue == q)
            list_for_each(d, &qe->devList) devs->push_back(list_entry(d, kes::DevListEntry, list)->dev);
    }
    kes::putUse(&kes::queueListUsers);
    return n;
}

inline std::vector<u32> listedDevs(request_queue_t* q)
{
    std::vector<u32> devs;
    registryEntries(q, &devs);
    return devs;
}

// A machine with the module loaded and a 64 MiB disk "sda" (8:0) with two adjacent
// partitions of 20 MiB (5120 blocks) each: sda1 at sector 2048, sda2 at sector 43008.
class TrackingTest : public ModuleTest {
protected:
    static constexpr u64 kP1Start = 2048;
    static constexpr u64 kP2Start = 43008;

    void SetUp() override
    {
        ModuleTest::SetUp();
        sda = AddDisk(8, 0, 16, 64ull << 20, std::vector<sim::Partition>{{kP1Start, 40960}, {kP2Start, 40960}});
        sda1 = sda + 1;
        sda2 = sda + 2;
    }
    void TearDown() override
    {
        for (auto& b : backups_)
            bdput(b->disk.bdev);
        backups_.clear();
        ModuleTest::TearDown();
    }

    // A Backup for dev with 4096-byte blocks, holding a reference on the device until the
    // test ends. fsBlocks 0: the device's whole size in blocks.
    kes::Backup* MakeBackup(u32 dev, u64 fsBlocks = 0)
    {
        backups_.push_back(std::make_unique<kes::Backup>());
        kes::DiskInfo& d = backups_.back()->disk;
        d.dev = dev;
        d.bdev = bdget(dev);
        EXPECT_NE(d.bdev, nullptr);
        d.startSect = d.bdev->bd_part ? d.bdev->bd_part->start_sect : 0;
        d.nrSects = d.bdev->bd_part ? d.bdev->bd_part->nr_sects : get_capacity(d.bdev->bd_disk);
        d.blockSize = 4096;
        d.blocksPerPage = 1;
        d.sectorsPerBlock = 8;
        d.blockShift = 3;
        d.partSizeKB = d.nrSects / 2;
        d.fsBlocks = fsBlocks ? fsBlocks : d.nrSects / 8;
        d.realMRF = kes::getRealMRF(kes::getRequestQueue(&d));
        return backups_.back().get();
    }

    // A disk; its device number. Without partitions the table comes from the MBR.
    u32 AddDisk(unsigned major, unsigned firstMinor, unsigned minors, u64 bytes,
                std::optional<std::vector<sim::Partition>> parts = std::nullopt, bool queueLock = true)
    {
        sim::DiskConfig c;
        c.major = major;
        c.first_minor = firstMinor;
        c.minors = minors;
        c.size_bytes = bytes;
        c.partitions = std::move(parts);
        c.queue_lock = queueLock;
        u32 dev = 0;
        EXPECT_EQ(sim::add_disk(machine, c, &dev), 0);
        return dev;
    }
    make_request_fn* Fn(u32 dev) { return sim::disk_queue(machine, dev)->make_request_fn.load(); }

    int Write(u32 dev, u64 sector, u64 count, unsigned char fill = 0xab)
    {
        std::vector<unsigned char> buf(count * 512, fill);
        return sim::write_sectors(machine, dev, sector, buf.data(), count);
    }
    int Read(u32 dev, u64 sector, u64 count)
    {
        std::vector<unsigned char> buf(count * 512);
        return sim::read_sectors(machine, dev, sector, buf.data(), count);
    }

    u32 sda = 0, sda1 = 0, sda2 = 0;

private:
    std::vector<std::unique_ptr<kes::Backup>> backups_;
};

} // namespace kestrel_test
