// Disk drivers: completion in interrupt context and in arrival order, adjacent requests
// merged into one transfer, un-remapped requests,
// injected errors and partial completions, partition tables from the MBR and their
// re-reading under bd_sem, image files, concurrent writers, and buffer heads completed by
// the driver.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/fs.h"
#include "tests/sim/block_helpers.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

constexpr u32 kSda = MKDEV(8, 0);
constexpr u32 kSda1 = MKDEV(8, 1);

class DiskTest : public MachineTest {
protected:
    // A memory disk of 4096 sectors; partition 1 at 1000 (500 sectors) unless told otherwise.
    void AddDisk(std::optional<std::vector<sim::Partition>> parts =
                     std::vector<sim::Partition>{{1000, 500}})
    {
        sim::DiskConfig c;
        c.size_bytes = 4096 * 512;
        c.partitions = std::move(parts);
        ASSERT_EQ(sim::add_disk(machine, c), 0);
    }
};

// The module's own reads reach the real request function directly, with whole-disk sectors
// on the partition's block device; the driver completes them as the interrupt context.
TEST_F(DiskTest, DirectRequestOnPartitionDeviceTakesWholeDiskSectors)
{
    AddDisk();
    auto data = pattern(1024, 2);
    ASSERT_EQ(sim::write_store(machine, kSda, 1010, data.data(), 2), 0);
    struct block_device* part = bdget(kSda1);
    struct request_queue* q = part->bd_disk->queue;
    Probe p, beyond;
    struct bio* bio = page_bio(part, 1010, 2, &p);
    struct bio* past = page_bio(part, 4095, 2, &beyond);
    EXPECT_EQ(sim::disk_request_fn(machine, kSda)(q, bio), 0);
    EXPECT_EQ(sim::disk_request_fn(machine, kSda)(q, past), 0);
    wait_for_completion(&p.done);
    wait_for_completion(&beyond.done);
    EXPECT_EQ(p.error, 0);
    EXPECT_TRUE(p.allInIrq) << "completed on the driver thread";
    EXPECT_EQ(in_interrupt(), 0);
    EXPECT_EQ(bio_bytes(bio, 1024), data);
    EXPECT_EQ(beyond.error, -EIO) << "the driver itself refuses what lies past the disk";
    free_page_bio(bio);
    free_page_bio(past);
    bdput(part);
}

TEST_F(DiskTest, CompletesInArrivalOrder)
{
    AddDisk();
    struct block_device* bd = bdget(kSda);
    std::vector<Probe> probes(64);
    std::vector<struct bio*> bios;
    finishSeq = 0;
    for (int i = 0; i < 64; i++) {
        bios.push_back(page_bio(bd, static_cast<sector_t>(i * 37 % 4000), 1 + i % 8, &probes[i]));
        submit_bio(i % 3 ? READ : WRITE, bios.back());
    }
    for (int i = 0; i < 64; i++) {
        wait_for_completion(&probes[i].done);
        EXPECT_EQ(probes[i].finishedAs, i);
        free_page_bio(bios[i]);
    }
    bdput(bd);
}

TEST_F(DiskTest, BadSectorsFailOnlyTheRequestsThatTouchThem)
{
    AddDisk();
    ASSERT_EQ(sim::set_bad_sectors(machine, kSda1, 10, 1), 0); // disk sector 1010
    auto data = pattern(4 * 512, 3);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 8, data.data(), 4), -EIO);
    EXPECT_EQ(store(machine, kSda, 1008, 4), std::vector<unsigned char>(4 * 512, 0));
    EXPECT_EQ(sim::write_sectors(machine, kSda, 1011, data.data(), 4), 0);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 6, data.data(), 4), 0);
    std::vector<unsigned char> got(512);
    EXPECT_EQ(sim::read_sectors(machine, kSda, 1010, got.data(), 1), -EIO);
    EXPECT_EQ(sim::disk_stats(machine, kSda).errors, 2u);
    EXPECT_EQ(machine.log_count("end_request: I/O error, dev sda, sector 1008"), 1u);
    ASSERT_EQ(sim::clear_bad_sectors(machine, kSda), 0);
    EXPECT_EQ(sim::read_sectors(machine, kSda, 1010, got.data(), 1), 0);
}

// The driver takes everything queued at once and moves each run of adjacent requests of one
// direction in one transfer. Every request still gets its own data and outcome, in arrival
// order, on memory and on an image file: one that touches a bad sector fails alone, a read
// after a write of the same sectors sees the write.
TEST_F(DiskTest, MergedRequestsKeepTheirOwnDataOutcomeAndOrder)
{
    AddDisk();
    char path[] = "/tmp/kestrel-disk-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096 * 512), 0);
    close(fd);
    sim::DiskConfig c;
    c.image_path = path;
    c.major = 3;
    u32 image = 0;
    ASSERT_EQ(sim::add_disk(machine, c, &image), 0);

    for (u32 dev : {kSda, image}) {
        SCOPED_TRACE(dev == kSda ? "memory" : "image file");
        auto old = pattern(64 * 512, 7);
        ASSERT_EQ(sim::write_store(machine, dev, 100, old.data(), 64), 0);
        ASSERT_EQ(sim::set_bad_sectors(machine, dev, 120, 1), 0);
        struct Req {
            int rw;
            sector_t sector;
            unsigned sectors;
        };
        const std::vector<Req> reqs = {{READ, 100, 8}, {READ, 108, 8}, {READ, 116, 8}, {READ, 124, 8},
                                       {WRITE, 132, 8}, {WRITE, 140, 8}, {READ, 132, 8}, {READ, 140, 4},
                                       {READ, 144, 4}};
        auto written = [](sector_t s) { return pattern(8 * 512, static_cast<unsigned>(s)); };
        struct block_device* bd = bdget(dev);
        std::vector<Probe> probes(reqs.size());
        std::vector<struct bio*> bios;
        finishSeq = 0;
        ASSERT_EQ(sim::pause_driver(machine, dev, true), 0);
        for (size_t i = 0; i < reqs.size(); i++) {
            bios.push_back(page_bio(bd, reqs[i].sector, reqs[i].sectors, &probes[i]));
            if (reqs[i].rw == WRITE) {
                auto data = written(reqs[i].sector);
                memcpy(page_address(bios.back()->bi_io_vec[0].bv_page), data.data(), data.size());
            }
            submit_bio(reqs[i].rw, bios.back());
        }
        EXPECT_EQ(sim::disk_stats(machine, dev).queued, reqs.size());
        ASSERT_EQ(sim::pause_driver(machine, dev, false), 0);
        for (size_t i = 0; i < reqs.size(); i++) {
            wait_for_completion(&probes[i].done);
            EXPECT_EQ(probes[i].finishedAs, static_cast<int>(i));
            EXPECT_EQ(probes[i].error, reqs[i].sector == 116 ? -EIO : 0) << reqs[i].sector;
            auto got = bio_bytes(bios[i], reqs[i].sectors * 512);
            if (reqs[i].sector >= 132) {
                auto w = written(reqs[i].sector < 140 ? 132 : 140);
                size_t at = (reqs[i].sector - (reqs[i].sector < 140 ? 132 : 140)) * 512;
                EXPECT_EQ(got, std::vector<unsigned char>(w.begin() + at, w.begin() + at + got.size()))
                    << reqs[i].sector;
            } else if (reqs[i].sector != 116) {
                auto at = old.begin() + (reqs[i].sector - 100) * 512;
                EXPECT_EQ(got, std::vector<unsigned char>(at, at + 8 * 512)) << reqs[i].sector;
            }
            free_page_bio(bios[i]);
        }
        EXPECT_EQ(store(machine, dev, 132, 8), written(132));
        EXPECT_EQ(store(machine, dev, 140, 8), written(140));
        EXPECT_EQ(sim::disk_stats(machine, dev).errors, 1u);
        ASSERT_EQ(sim::clear_bad_sectors(machine, dev), 0);
        bdput(bd);
    }
    unlink(path);
}

// A pause that comes while the driver is busy with what it took stops it before the next
// request it would start: the rest stay queued, in order, until the driver is unpaused.
int pausing_end_io(struct bio* bio, unsigned int bytes_done, int error)
{
    sim::pause_driver(sim::Machine::running(), kSda, true);
    return probe_end_io(bio, bytes_done, error);
}

TEST_F(DiskTest, APauseWhileServingLeavesTheRestQueued)
{
    AddDisk();
    struct block_device* bd = bdget(kSda);
    std::vector<Probe> probes(3);
    std::vector<struct bio*> bios;
    finishSeq = 0;
    ASSERT_EQ(sim::pause_driver(machine, kSda, true), 0);
    for (int i = 0; i < 3; i++) {
        bios.push_back(page_bio(bd, static_cast<sector_t>(100 * i), 8, &probes[i])); // not adjacent
        if (i == 0)
            bios.back()->bi_end_io = pausing_end_io;
        submit_bio(READ, bios.back());
    }
    ASSERT_EQ(sim::pause_driver(machine, kSda, false), 0);
    wait_for_completion(&probes[0].done);
    EXPECT_EQ(sim::disk_stats(machine, kSda).queued, 2u);
    EXPECT_EQ(probes[1].finishedAs, -1);
    ASSERT_EQ(sim::pause_driver(machine, kSda, false), 0);
    for (int i = 0; i < 3; i++) {
        if (i > 0)
            wait_for_completion(&probes[i].done);
        EXPECT_EQ(probes[i].finishedAs, i);
        free_page_bio(bios[i]);
    }
    bdput(bd);
}

// The Nth request of one direction fails, whatever its sectors; a persistent fault keeps
// failing until it is lifted. A writer's own buffers can be spared allocation faults.
TEST_F(DiskTest, TheNthRequestOfADirectionFailsUntilLifted)
{
    AddDisk();
    auto data = pattern(8 * 512, 4);
    std::vector<unsigned char> got(512);
    ASSERT_EQ(sim::set_failing_requests(machine, kSda1, false, 2), 0);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 0, data.data(), 8), 0) << "writes do not count";
    EXPECT_EQ(sim::read_sectors(machine, kSda1, 0, got.data(), 1), 0);
    EXPECT_EQ(sim::read_sectors(machine, kSda, 3000, got.data(), 1), -EIO);
    EXPECT_EQ(sim::read_sectors(machine, kSda1, 0, got.data(), 1), 0);

    ASSERT_EQ(sim::set_failing_requests(machine, kSda, true, 1, true, 3), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(sim::write_sectors(machine, kSda1, 0, data.data(), 8), -EIO) << i;
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 0, data.data(), 8), 0) << "lifted after three";
    EXPECT_EQ(sim::disk_stats(machine, kSda).errors, 4u);

    machine.faults().fail_any_alloc_nth(1, true);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 0, data.data(), 8), -ENOMEM);
    EXPECT_EQ(sim::write_sectors(machine, kSda1, 0, data.data(), 8, true), 0);
    machine.faults().disarm();
}

TEST_F(DiskTest, PartialCompletionEndsTheBioInTwoCalls)
{
    AddDisk();
    auto data = pattern(4096, 4);
    ASSERT_EQ(sim::write_store(machine, kSda, 200, data.data(), 8), 0);
    ASSERT_EQ(sim::set_partial_completions(machine, kSda, 1), 0);
    struct block_device* bd = bdget(kSda);
    Probe p;
    struct bio* bio = page_bio(bd, 200, 8, &p);
    submit_bio(READ, bio);
    wait_for_completion(&p.done);
    EXPECT_EQ(p.bytes, (std::vector<unsigned>{2048, 2048}));
    EXPECT_EQ(p.left, (std::vector<unsigned>{2048, 0}));
    EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));
    EXPECT_EQ(bio_bytes(bio, 4096), data);
    free_page_bio(bio);
    bdput(bd);
}

// Notes, for every bio, whether the whole disk's bd_sem was held and whether partition 1
// existed, and passes the bio on.
std::atomic<int> probeCalls, probeSemHeld, probeTableEmpty;
sim::request_fn probeReal;

int bd_sem_probe(struct request_queue* q, struct bio* bio)
{
    probeCalls++;
    struct block_device* whole = bio->bi_bdev->bd_contains;
    if (down_trylock(&whole->bd_sem))
        probeSemHeld++;
    else
        up(&whole->bd_sem);
    if (!bio->bi_bdev->bd_disk->part[0])
        probeTableEmpty++;
    return probeReal(q, bio);
}

TEST_F(DiskTest, RereadHoldsBdSemWhileReadingThroughTheQueue)
{
    AddDisk(std::nullopt);
    EXPECT_EQ(bdget(kSda1), nullptr) << "no MBR, no partitions";
    auto mbr = sim::make_mbr({{64, 128}, {}, {512, 1024}});
    ASSERT_EQ(sim::write_store(machine, kSda, 0, mbr.data(), 1), 0);
    probeReal = sim::disk_request_fn(machine, kSda);
    probeCalls = probeSemHeld = probeTableEmpty = 0;
    {
        QueueHook hook(machine, kSda, bd_sem_probe);
        EXPECT_EQ(sim::reread_partitions(machine, kSda), 0);
    }
    EXPECT_EQ(probeCalls.load(), 1);
    EXPECT_EQ(probeSemHeld.load(), 1);
    EXPECT_EQ(probeTableEmpty.load(), 1) << "the old table is gone while the new one is read";

    struct block_device* p1 = bdget(kSda1);
    struct block_device* p3 = bdget(MKDEV(8, 3));
    ASSERT_TRUE(p1 && p3);
    EXPECT_EQ(p1->bd_part->start_sect, 64u);
    EXPECT_EQ(p3->bd_part->nr_sects, 1024u);
    EXPECT_EQ(bdget(MKDEV(8, 2)), nullptr);
    EXPECT_EQ(down_trylock(&p1->bd_contains->bd_sem), 0) << "released afterwards";
    up(&p1->bd_contains->bd_sem);
    EXPECT_EQ(sim::reread_partitions(machine, kSda1), -EINVAL);
    bdput(p1);
    bdput(p3);
}

// As rescan_partitions, a re-read is refused while a partition of the disk is open (a
// file system mounted on it): the table stays as it was. The whole disk's own opens do not
// count.
TEST_F(DiskTest, RereadIsRefusedWhileAPartitionIsMounted)
{
    AddDisk(std::nullopt);
    ASSERT_EQ(sim::write_store(machine, kSda, 0, sim::make_mbr({{64, 128}}).data(), 1), 0);
    ASSERT_EQ(sim::reread_partitions(machine, kSda), 0);
    ASSERT_EQ(sim::mount_fs(machine, kSda1, 1024), 0);
    ASSERT_EQ(sim::write_store(machine, kSda, 0, sim::make_mbr({{256, 512}}).data(), 1), 0);

    EXPECT_EQ(sim::reread_partitions(machine, kSda), -EBUSY);
    struct block_device* p1 = bdget(kSda1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->bd_part->start_sect, 64u);
    EXPECT_EQ(p1->bd_part->nr_sects, 128u);
    bdput(p1);

    ASSERT_EQ(sim::unmount_fs(machine, kSda1), 0);
    ASSERT_EQ(sim::mount_fs(machine, kSda, 1024), 0);
    EXPECT_EQ(sim::reread_partitions(machine, kSda), 0);
    p1 = bdget(kSda1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->bd_part->start_sect, 256u);
    bdput(p1);
    EXPECT_EQ(sim::unmount_fs(machine, kSda), 0);
}

TEST_F(DiskTest, PartitionRemovedUnderAHeldReferenceReachesNothing)
{
    AddDisk(std::nullopt);
    auto mbr = sim::make_mbr({{64, 128}});
    ASSERT_EQ(sim::write_store(machine, kSda, 0, mbr.data(), 1), 0);
    ASSERT_EQ(sim::reread_partitions(machine, kSda), 0);
    struct block_device* p1 = bdget(kSda1);
    ASSERT_NE(p1, nullptr);
    std::vector<unsigned char> zero(512, 0);
    ASSERT_EQ(sim::write_store(machine, kSda, 0, zero.data(), 1), 0);
    ASSERT_EQ(sim::reread_partitions(machine, kSda), 0);
    EXPECT_EQ(bdget(kSda1), nullptr);

    // A write through the old reference must not fall through to the start of the disk.
    Probe p;
    struct bio* bio = page_bio(p1, 0, 1, &p);
    submit_bio(WRITE, bio);
    wait_for_completion(&p.done);
    EXPECT_EQ(p.error, -EIO);
    EXPECT_EQ(store(machine, kSda, 0, 1), zero);
    free_page_bio(bio);
    bdput(p1);

    // An unreadable sector 0 leaves the disk without partitions.
    ASSERT_EQ(sim::write_store(machine, kSda, 0, mbr.data(), 1), 0);
    ASSERT_EQ(sim::set_bad_sectors(machine, kSda, 0, 1), 0);
    EXPECT_EQ(sim::reread_partitions(machine, kSda), -EIO);
    EXPECT_EQ(bdget(kSda1), nullptr);
}

TEST_F(DiskTest, ImageFileWithMbr)
{
    char path[] = "/tmp/kestrel-disk-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2048 * 512 + 100), 0); // a trailing part sector is ignored
    // Partition 2 runs past the end and is cut short; partition 3 starts beyond it.
    auto mbr = sim::make_mbr({{2, 100}, {1000, 5000}, {3000, 10}, {200, 50}});
    ASSERT_EQ(pwrite(fd, mbr.data(), 512, 0), 512);
    sim::DiskConfig c;
    c.image_path = path;
    c.major = 3;
    c.minors = 64;
    u32 dev = 0;
    ASSERT_EQ(sim::add_disk(machine, c, &dev), 0);
    EXPECT_EQ(dev, MKDEV(3, 0));
    EXPECT_EQ(machine.log_count(" disk3_0: disk3_0p1 disk3_0p2 disk3_0p4"), 1u);

    struct block_device* p2 = bdget(MKDEV(3, 2));
    struct block_device* p4 = bdget(MKDEV(3, 4));
    ASSERT_TRUE(p2 && p4);
    EXPECT_EQ(get_capacity(p2->bd_disk), 2048u);
    EXPECT_EQ(p2->bd_part->nr_sects, 1048u);
    EXPECT_EQ(p4->bd_part->start_sect, 200u);
    auto data = pattern(1024, 6);
    ASSERT_EQ(sim::write_sectors(machine, MKDEV(3, 4), 10, data.data(), 2), 0);
    std::vector<unsigned char> got(1024);
    ASSERT_EQ(pread(fd, got.data(), 1024, 210 * 512), 1024);
    EXPECT_EQ(got, data);
    bdput(p2);
    bdput(p4);
    close(fd);
    unlink(path);
}

TEST_F(DiskTest, ConcurrentWritersAllLand)
{
    AddDisk(std::vector<sim::Partition>{{1000, 2000}});
    constexpr int kWriters = 6, kRounds = 40, kChunk = 8;
    auto where = [](int w, int r) { return static_cast<uint64_t>(w * kRounds + r) * kChunk; };
    auto what = [](int w, int r) { return pattern(kChunk * 512, static_cast<unsigned>(w * 1000 + r)); };
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            // Even writers go through the partition, odd ones through the whole disk; no
            // two chunks overlap.
            for (int r = 0; r < kRounds; r++) {
                auto data = what(w, r);
                int err = w % 2 ? sim::write_sectors(machine, kSda, 1000 + where(w, r), data.data(), kChunk)
                                : sim::write_sectors(machine, kSda1, where(w, r), data.data(), kChunk);
                failures += err != 0;
            }
        });
    }
    for (auto& t : writers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int w = 0; w < kWriters; w++)
        for (int r = 0; r < kRounds; r++)
            ASSERT_EQ(store(machine, kSda1, where(w, r), kChunk), what(w, r)) << w << "/" << r;
}

// A buffer head in part of a page, read by a bio whose completion unlocks it, as the
// module's block reader does; the submitter waits on the buffer.
int bh_bio_end_io(struct bio* bio, unsigned int, int)
{
    auto* bh = static_cast<struct buffer_head*>(bio->bi_private);
    if (bio_flagged(bio, BIO_UPTODATE))
        set_buffer_uptodate(bh);
    unlock_buffer(bh);
    return 0;
}

TEST_F(DiskTest, BufferHeadIsUnlockedByTheCompletion)
{
    AddDisk();
    auto data = pattern(200 * 1024, 7);
    ASSERT_EQ(sim::write_store(machine, kSda, 0, data.data(), 400), 0);
    ASSERT_EQ(sim::set_bad_sectors(machine, kSda, 42, 1), 0);
    struct block_device* bd = bdget(kSda);
    for (unsigned block = 0; block < 200; block++) {
        struct bio* bio = page_bio(bd, block * 2, 2, nullptr);
        bio->bi_io_vec[0].bv_offset = (block % 4) * 1024;
        struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
        set_bh_page(bh, bio->bi_io_vec[0].bv_page, bio->bi_io_vec[0].bv_offset);
        bh->b_state = 1UL << BH_Lock;
        bio->bi_end_io = bh_bio_end_io;
        bio->bi_private = bh;
        submit_bio(READ, bio);
        wait_on_buffer(bh);
        if (block == 21)
            EXPECT_FALSE(buffer_uptodate(bh)) << "block 21 holds the bad sector 42";
        else
            ASSERT_EQ(memcmp(bh->b_data, data.data() + block * 1024, 1024), 0) << block;
        free_buffer_head(bh);
        free_page_bio(bio);
    }
    bdput(bd);
}

} // namespace
} // namespace kestrel_test
