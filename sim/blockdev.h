// The block layer's state, shared by the files of sim/ that implement it (block.cpp: block
// devices, bios, buffer heads, generic_make_request; disk.cpp: the disk drivers and the
// machine-facing disk API). Not for the module, nor for tests.
#pragma once

#include <sys/uio.h>

#include <deque>
#include <unordered_map>

#include "sim/disk.h"
#include "sim/cpu.h"
#include "sim/internal.h"

namespace sim {

struct Disk;

// A block_device and what the kernel keeps beside it. There is one per device number of a
// disk, the whole disk and every partition slot, created with the disk and freed with it,
// so a block_device pointer never dangles while the machine runs.
struct Bdev {
    struct block_device bd {};
    std::string name;  // "sda", "sda1"
    Disk* disk = nullptr;
    int refs = 0;      // bdget references held; guarded by BlockLayer::mu
};

struct BadRange {
    uint64_t first, end; // whole-disk sectors [first, end)
};

struct Disk {
    std::string name;
    struct gendisk gd {};
    struct request_queue queue {};
    spinlock_t lock {};            // the queue's lock, when it has one
    bool endUnderLock = true;      // DiskConfig::end_under_queue_lock
    make_request_fn* ownFn = nullptr;
    // Explicit partitions from the configuration; re-reading installs these instead of
    // the MBR's.
    std::optional<std::vector<Partition>> fixedTable;

    // The partition table. slots[i] describes partition i + 1 and partPtrs[i] (which is
    // gd.part) points at it while the partition exists. Changed with partMu held (and,
    // by a re-read, the whole disk's bd_sem); generic_make_request reads under partMu.
    std::mutex partMu;
    std::vector<struct hd_struct> slots;
    std::vector<struct hd_struct*> partPtrs;

    Bdev whole;
    std::vector<std::unique_ptr<Bdev>> parts; // one per partition slot
    // Opens of the disk's partitions (the kernel's bd_part_count): a re-read of the table is
    // refused while there are any. Guarded by the whole disk's bd_sem.
    unsigned partOpens = 0;

    // Backing store: memory, or an image file when fd >= 0. Guarded by storeMu.
    std::mutex storeMu;
    std::vector<unsigned char> mem;
    int fd = -1;
    std::vector<struct iovec> iov; // the driver thread's segment list for one host transfer

    // The driver: requests wait in FIFO order for its thread, which completes them as the
    // completion (interrupt) context. Guarded by qMu.
    std::mutex qMu;
    std::condition_variable qCv;
    std::deque<struct bio*> pending;
    bool stopping = false;
    bool serving = false;           // the driver is inside a request's transfer or completion
    std::atomic<size_t> taken{0};   // requests the driver has taken from pending and not yet started
    std::condition_variable idleCv; // signalled when the driver is done with a request
    // Test controls (hold_next_write, pause_driver), guarded by qMu; holdCv wakes both.
    std::atomic<bool> holdArmed{false};
    uint64_t holdSector = 0;
    bool holding = false;
    std::atomic<bool> paused{false}; // also read by the driver between the requests it took
    std::condition_variable holdCv;
    Task irqTask;
    std::thread thread;

    // Fault injection, guarded by faultMu.
    std::mutex faultMu;
    std::vector<BadRange> bad;
    unsigned partialLeft = 0;
    // Countdowns of requests to fail, per direction (0 read, 1 write).
    struct RequestFault {
        unsigned remaining = 0; // 0 = disarmed
        bool persistent = false;
        unsigned liftAfter = 0; // persistent failures left before disarming; 0 = never
    } requestFaults[2];
    unsigned partialFirst = 0;

    std::atomic<uint64_t> reads{0}, writes{0}, sectorsRead{0}, sectorsWritten{0}, errors{0};
};

struct BlockLayer {
    // Guards the disk list, bdev references, the live bio and buffer head tables and the
    // freed objects kept for reuse.
    std::mutex mu;
    std::vector<std::unique_ptr<Disk>> disks;
    std::unordered_map<const struct block_device*, Bdev*> bdevs;
    std::unordered_map<const struct gendisk*, Disk*> gendisks;
    // Live bios with the segment array bio_alloc gave them.
    PtrTable<struct bio_vec*> bios;
    PtrTable<bool> bhs;
    static constexpr size_t kKeptFree = 1024;
    std::vector<struct bio*> freeBios; // one-segment bios, each with its segment array
    std::vector<struct buffer_head*> freeBhs;

    BlockLayer() = default;
    BlockLayer(const BlockLayer&) = delete;
    BlockLayer& operator=(const BlockLayer&) = delete;
    ~BlockLayer();

    // Grace periods (synchronize_kernel). A submitter on a driver's own request function
    // counts itself in submitters[epoch & 1] from reading the queue's function until the
    // driver has its request or it goes to sleep for a free request: a sleep is a context
    // switch, which ends the stretch a grace period waits for. A grace period flips the
    // epoch and waits for the old slot to empty; gpMu makes them one at a time.
    std::atomic<unsigned> epoch{0};
    std::atomic<long> submitters[2]{};
    std::atomic<bool> gpWaiting{false};
    std::mutex gpMu;
};

BlockLayer& BL();

// The registered Bdev of a block_device, or nullptr for one the block layer did not make.
Bdev* bdev_of(const struct block_device* bd);
// The Disk of a gendisk, or nullptr.
Disk* disk_of(const struct gendisk* gd);
// A name for messages: the registered name, else "unknown-block(major,minor)".
std::string bdev_name(const struct block_device* bd);
// Whether the bio is still allocated (best effort: a freed address may be reused).
bool bio_live(const struct bio* bio);

// Opens a block device for a user that keeps it open (a mounted file system), as
// blkdev_get does: a partition is counted in its disk's partOpens under the disk's bd_sem
// and must still be in the table. 0, or -ENXIO for a partition the table no longer has.
// blkdev_put undoes it.
int blkdev_get(struct block_device* bd);
void blkdev_put(struct block_device* bd);

// Ends the calling submitter's count in the grace period it started in, if it still counts:
// for a driver's request function that goes to sleep.
void leave_submission_stretch();

// Starts the driver thread of a disk; disk_stop drains its queue and joins it.
void disk_start(Disk& d);
void disk_stop(Disk& d);

} // namespace sim
