// The machine-facing side of the block layer: disks and their drivers, raw I/O through the
// block layer as a user-space reader or writer of /dev/sdXN would do it, direct access to
// a disk's backing store, and fault injection.
//
// Device numbers are the kernel's (MKDEV: 12-bit major, 20-bit minor). Wherever a device
// number may name a partition, sector numbers are relative to that device: sector 0 of
// sda1 is the partition's first sector. Every operation returns 0 or a negative kernel
// error; -ENODEV when the number names no disk or partition of the running machine.
//
// The functions may be called from any host thread (test writers included), but not from
// the completion context and not while holding a spin lock: they sleep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct request_queue;
struct bio;

namespace sim {

class Machine;

// One partition: its first sector on the disk and its size in 512-byte sectors. A size of
// 0 is an empty slot.
struct Partition {
    uint64_t start_sect = 0;
    uint64_t nr_sects = 0;
};

struct DiskConfig {
    // "" derives one: "sda", "sdb"... from first_minor / 16 for major 8, else
    // "disk<major>_<first_minor>". Partitions are named after it ("sda1", "disk3_0p1").
    std::string name;
    unsigned major = 8;        // 1..4095
    unsigned first_minor = 0;
    unsigned minors = 16;      // 1 + the most partitions the disk can have
    // Backing store: an image file when image_path is set (read and written in place; its
    // size, rounded down to whole sectors, is the disk's), else memory of size_bytes
    // (a non-zero multiple of 512), zero-filled.
    std::string image_path;
    uint64_t size_bytes = 0;
    // The image is opened read-only: the driver fails every write with an I/O error. An
    // image is locked while it is attached (flock): shared when read-only, else exclusive,
    // so that no two users, in this process or another, change it under each other.
    bool read_only = false;
    // An explicit partition table (element i is partition i + 1). Without one the table
    // comes from the MBR in sector 0, read through the disk's queue when the disk is added
    // and whenever the table is re-read. A disk with an explicit table keeps it when the
    // table is re-read.
    std::optional<std::vector<Partition>> partitions;
    // Whether the disk's request queue has a queue_lock of its own.
    bool queue_lock = true;
    // Whether the driver ends requests holding the queue's lock, with interrupts off, as
    // 2.6.9's IDE driver does; otherwise their end-of-I/O callbacks run with interrupts on
    // (and may be interrupted), as SCSI's completions do. Needs queue_lock.
    bool end_under_queue_lock = true;
};

// Requests the driver has finished, by direction, and those it failed.
struct DiskStats {
    uint64_t reads = 0, writes = 0;
    uint64_t sectors_read = 0, sectors_written = 0;
    uint64_t errors = 0;
    uint64_t queued = 0; // requests waiting for the driver now
};

// Adds a disk with its driver thread and, unless the configuration gives a table, scans the
// MBR for partitions. *dev (when given) receives the whole disk's device number.
// -EINVAL for a bad geometry, size or table (a partition outside the disk); -EEXIST when
// the device numbers overlap another disk's; -errno when the image cannot be opened;
// -EBUSY when another user holds a lock on it that conflicts with ours.
int add_disk(Machine& m, const DiskConfig& config, uint32_t* dev = nullptr);

// Reads or writes count sectors at sector of the device through the block layer: bios of
// fresh pages, submit_bio, and a wait for every completion. -EIO when any request failed
// (a write may then have landed in part); -ENOMEM when no bio or page could be had.
// spare_buffers takes the writer's own bios and pages spared from injected faults, for
// writers whose allocations are not under test; the requests still meet every fault on
// their way through the block layer and the hooks on the queue.
int read_sectors(Machine& m, uint32_t dev, uint64_t sector, void* buf, uint64_t count);
int write_sectors(Machine& m, uint32_t dev, uint64_t sector, const void* buf, uint64_t count,
                  bool spare_buffers = false);

// Reads or writes the backing store directly, bypassing queues, drivers and faults.
// -EINVAL when the range does not lie inside the device.
int read_store(Machine& m, uint32_t dev, uint64_t sector, void* buf, uint64_t count);
int write_store(Machine& m, uint32_t dev, uint64_t sector, const void* buf, uint64_t count);

// Re-reads the partition table of a whole disk, as the BLKRRPART ioctl does: holding the
// disk's bd_sem, it empties the table, reads sector 0 through the disk's queue and installs
// the partitions found. -EINVAL for a partition or a disk that cannot have partitions;
// -EBUSY while a partition of the disk is open (a file system is mounted on it), as
// rescan_partitions answers: nothing changes then; -EIO when sector 0 could not be read
// (the table then stays empty).
int reread_partitions(Machine& m, uint32_t dev);

// The line that says who holds the image at path locked, for when add_disk answers -EBUSY:
// "<path> is in use by process <pid> (<its name>)".
std::string image_in_use(const std::string& path);

// A sector in the MBR format the partition scan reads: up to four primary entries (type
// 0x83) and the 0x55AA signature. For tests and tools that lay out a disk image.
std::vector<unsigned char> make_mbr(const std::vector<Partition>& primaries);

// Fault injection. A read or write that touches a bad sector completes with -EIO and
// transfers nothing. clear_bad_sectors forgets every bad sector of the device's disk.
int set_bad_sectors(Machine& m, uint32_t dev, uint64_t sector, uint64_t count);
int clear_bad_sectors(Machine& m, uint32_t dev);
// The next count requests of the device's disk that are at least two sectors long complete
// in two bio_endio calls: first first_bytes (0: half the request, in whole sectors), then
// the rest.
int set_partial_completions(Machine& m, uint32_t dev, unsigned count, unsigned first_bytes = 0);
// The nth next read (or write) request that the driver of the device's disk serves
// (1 = the very next) completes with -EIO and transfers nothing; with persistent, every
// later one in that direction too, until lift_after of them have failed (0: for ever).
// n = 0 disarms the direction. Requests beyond the end of the disk do not count.
int set_failing_requests(Machine& m, uint32_t dev, bool write, unsigned n, bool persistent = false,
                         unsigned lift_after = 0);

// Interleaving controls for tests. hold_next_write: the next write whose request covers the
// whole-disk sector disk_sector stops inside the driver's own request function, before the
// driver has it, as a submitter preempted there would; write_held tells it waits there, and
// release_write lets it go on. pause_driver: the driver starts no request until unpaused
// (those merged into one transfer with a request it has started complete with it).
// waiting_for_earlier_requests: a grace period (synchronize_kernel) is waiting.
int hold_next_write(Machine& m, uint32_t dev, uint64_t disk_sector);
bool write_held(Machine& m, uint32_t dev);
int release_write(Machine& m, uint32_t dev);
int pause_driver(Machine& m, uint32_t dev, bool paused);
bool waiting_for_earlier_requests(Machine& m, uint32_t dev);

// Congestion. A disk whose queue has a lock of its own takes requests: each bio holds one
// of its direction's nr_requests (128 by default) from submission until the driver ends it,
// and a submitter that finds them all in use sleeps until one is freed. set_queue_requests
// sets nr_requests (-EINVAL for 0, or for a disk without a queue lock, whose driver takes
// bios itself); sleeping_for_requests counts the submitters asleep for one.
int set_queue_requests(Machine& m, uint32_t dev, unsigned n);
unsigned sleeping_for_requests(Machine& m, uint32_t dev);

// Waits until the driver of the device's disk has no request queued and has returned from
// the completion of the last one it served (every end-of-I/O callback has run to its end).
int wait_for_disk(Machine& m, uint32_t dev);

// The request queue of the device's disk and the driver's own request function, which the
// queue has when nothing has hooked it; nullptr for a number that names no device.
struct request_queue* disk_queue(Machine& m, uint32_t dev);
using request_fn = int (*)(struct request_queue*, struct bio*);
request_fn disk_request_fn(Machine& m, uint32_t dev);

DiskStats disk_stats(Machine& m, uint32_t dev);

// The size in sectors of a disk or of one of its partitions; nothing for a number that
// names no device (an empty partition slot included).
std::optional<uint64_t> device_sectors(Machine& m, uint32_t dev);

// Makes everything the driver of the device's disk has completed durable: waits until the
// driver is idle, then syncs an image file to the host's storage (a memory disk has nothing
// to sync), as a cache flush of a real disk. 0, -ENODEV, or -EIO when the host sync failed.
int flush_disk(Machine& m, uint32_t dev);

} // namespace sim
