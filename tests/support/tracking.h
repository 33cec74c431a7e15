// Change tracking without the start and snapshot commands: a Backup filled for a device as
// the start of a backup fills it, and the steps that put an automap in place and hook the
// device's queue with the change-tracking request function.
#pragma once

#include <memory>
#include <vector>

#include "automap/automap.h"
#include "intercept/intercept.h"
#include "module/users.h"
#include "sim/disk.h"
#include "tests/support/fixture.h"

namespace kestrel_test {

// A Backup for dev with 4096-byte blocks (8 sectors), holding a reference on the device.
// fsBlocks 0 means the device's whole size in blocks.
class DeviceBackup {
public:
    explicit DeviceBackup(u32 dev, u64 fsBlocks = 0) : b_(new kes::Backup())
    {
        kes::DiskInfo& d = b_->disk;
        d.dev = dev;
        d.bdev = bdget(dev);
        if (!d.bdev)
            return;
        if (d.bdev->bd_part) {
            d.startSect = d.bdev->bd_part->start_sect;
            d.nrSects = d.bdev->bd_part->nr_sects;
        } else {
            d.nrSects = get_capacity(d.bdev->bd_disk);
        }
        d.blockSize = 4096;
        d.blocksPerPage = 1;
        d.sectorsPerBlock = 8;
        d.blockShift = 3;
        d.partSizeKB = d.nrSects / 2;
        d.fsBlocks = fsBlocks ? fsBlocks : d.nrSects / 8;
        d.realMRF = kes::getRealMRF(kes::getRequestQueue(&d));
    }
    ~DeviceBackup() { bdput(b_->disk.bdev); }
    DeviceBackup(const DeviceBackup&) = delete;
    DeviceBackup& operator=(const DeviceBackup&) = delete;

    kes::Backup* get() { return b_.get(); }
    kes::Backup* operator->() { return b_.get(); }
    request_queue_t* queue() { return kes::getRequestQueue(&b_->disk); }

private:
    std::unique_ptr<kes::Backup> b_;
};

// The automap of dev as the table holds it now (NULL when none), read as a reader of the
// table. For a test thread that knows nobody frees it meanwhile.
inline kes::AM* amOf(u32 dev)
{
    kes::AM** slot = kes::amSlot(dev);
    if (!slot)
        return nullptr;
    kes::enterAMList();
    kes::AM* am = *slot;
    kes::leaveAMList();
    return am;
}

// What a snapshot does for a device without an automap, minus the freeze: a new automap,
// tracking, and the queue hooked (here with kesAMRF). The automap, or NULL.
inline kes::AM* startTracking(kes::Backup* b)
{
    kes::AM* am = nullptr;
    if (kes::newAMS(b, &am) != 0)
        return nullptr;
    atomic_set(&am->tracking, 1);
    if (kes::setMRF(b, kes::kesAMRF) != 0)
        return nullptr;
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

// The devices listed on q's registry entry, in order, read as a walker of the registry;
// empty when q is not hooked.
inline std::vector<u32> listedDevs(request_queue_t* q)
{
    std::vector<u32> out;
    struct list_head* p;
    kes::getUse(&kes::queueListUsersLock, &kes::queueListUsers);
    list_for_each(p, &kes::queueListHead) {
        kes::QueueListEntry* qe = list_entry(p, kes::QueueListEntry, list);
        if (qe->queue != q)
            continue;
        struct list_head* d;
        list_for_each(d, &qe->devList) out.push_back(list_entry(d, kes::DevListEntry, list)->dev);
    }
    kes::putUse(&kes::queueListUsers);
    return out;
}

inline size_t registryEntries()
{
    size_t n = 0;
    struct list_head* p;
    kes::getUse(&kes::queueListUsersLock, &kes::queueListUsers);
    list_for_each(p, &kes::queueListHead) n++;
    kes::putUse(&kes::queueListUsers);
    return n;
}

// A machine with the module loaded and a 64 MiB disk "sda" (8:0) with two adjacent
// partitions of 20 MiB each: sda1 at sector 2048, sda2 at sector 43008. Backups made with
// MakeBackup() give their device references back before the machine is checked.
class TrackingTest : public ModuleTest {
protected:
    static constexpr u64 kP1Start = 2048;
    static constexpr u64 kP2Start = 43008;
    static constexpr u64 kPartSects = 40960;

    void SetUp() override
    {
        ModuleTest::SetUp();
        sim::DiskConfig c;
        c.size_bytes = 64ull << 20;
        c.partitions = std::vector<sim::Partition>{{kP1Start, kPartSects}, {kP2Start, kPartSects}};
        ASSERT_EQ(sim::add_disk(machine, c, &sda), 0);
        sda1 = sda + 1;
        sda2 = sda + 2;
    }
    void TearDown() override
    {
        backups_.clear();
        ModuleTest::TearDown();
    }

    kes::Backup* MakeBackup(u32 dev, u64 fsBlocks = 0)
    {
        backups_.push_back(std::make_unique<DeviceBackup>(dev, fsBlocks));
        return backups_.back()->get();
    }

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
    std::vector<std::unique_ptr<DeviceBackup>> backups_;
};

} // namespace kestrel_test
