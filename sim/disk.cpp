// Disk drivers backed by memory or an image file, partition tables, and the machine-facing
// disk API of sim/disk.h.
//
// A disk's request function queues each bio for the disk's driver thread, which performs
// the transfer and completes the bio as the completion (interrupt) context, in the order the
// bios arrived. The driver takes all that is queued at once and moves each run of adjacent
// requests in one host transfer, as the elevator merges them for a real driver. As in 2.6.9
// the driver takes bi_sector as a sector of the whole disk and finds the disk through
// bi_bdev->bd_disk, so a bio that reaches the request function directly, un-remapped on a
// partition's block device, is served as well.
#include "sim/blockdev.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <optional>

namespace {
// Lock classes shared by every disk.
const struct lock_class_key queueLockKey = {0};
const struct lock_class_key bdSemKey = {0};
} // namespace

namespace sim {

namespace {

constexpr uint64_t kSector = 512;
// Requests a direction of a queue may have allocated at once (the kernel's default).
constexpr unsigned long kDefaultRequests = 128;

// ------------------------------------------------------------------ backing store

// Moves bytes between buf and the store at a byte offset of the whole disk; false on a
// host I/O error. The caller holds d.storeMu and has checked the range.
bool store_transfer_locked(Disk& d, uint64_t off, unsigned char* buf, uint64_t bytes, bool write)
{
    if (d.fd < 0) {
        if (write)
            memcpy(d.mem.data() + off, buf, bytes);
        else
            memcpy(buf, d.mem.data() + off, bytes);
        return true;
    }
    uint64_t done = 0;
    while (done < bytes) {
        ssize_t n = write ? pwrite(d.fd, buf + done, bytes - done, static_cast<off_t>(off + done))
                          : pread(d.fd, buf + done, bytes - done, static_cast<off_t>(off + done));
        if (n <= 0)
            return false;
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// ------------------------------------------------------------------ the driver

// A submitter asleep for a free request, on its queue's rq.wait list of its direction.
struct RequestWaiter {
    struct list_head node;
    std::atomic<bool> woken{false};
};

bool bio_is_write(const struct bio* bio) { return bio->bi_rw & (1UL << BIO_RW); }

bool touches_bad_sector(Disk& d, uint64_t first, uint64_t end)
{
    std::lock_guard<std::mutex> g(d.faultMu);
    for (const BadRange& r : d.bad)
        if (r.first < end && first < r.end)
            return true;
    return false;
}

// The number of bytes to complete first when this request is to complete in two pieces;
// 0 when it completes at once.
unsigned take_partial(Disk& d, unsigned size)
{
    if (size < 2 * kSector)
        return 0;
    std::lock_guard<std::mutex> g(d.faultMu);
    if (d.partialLeft == 0)
        return 0;
    d.partialLeft--;
    unsigned first = d.partialFirst ? d.partialFirst : static_cast<unsigned>(size / kSector / 2 * kSector);
    return std::min<unsigned>(first, size - static_cast<unsigned>(kSector));
}

// Whether this request is one a countdown of set_failing_requests picks to fail.
bool take_request_fault(Disk& d, bool write)
{
    std::lock_guard<std::mutex> g(d.faultMu);
    Disk::RequestFault& f = d.requestFaults[write];
    if (f.remaining == 0)
        return false;
    if (--f.remaining > 0)
        return false;
    if (f.persistent && (f.liftAfter == 0 || --f.liftAfter > 0))
        f.remaining = 1; // stays armed
    return true;
}

// Why a request cannot be served, as the message its failure logs; nullptr when it can.
const char* refusal(Disk& d, struct bio* bio)
{
    uint64_t size = bio->bi_size;
    uint64_t sector = bio->bi_sector;
    bool wellFormed = size % kSector == 0 && bio->bi_vcnt <= bio->bi_max_vecs &&
                      bio->bi_idx <= bio->bi_vcnt && (bio->bi_io_vec || bio->bi_vcnt == 0);
    uint64_t total = 0;
    for (unsigned i = bio->bi_idx; wellFormed && i < bio->bi_vcnt; i++) {
        const struct bio_vec& v = bio->bi_io_vec[i];
        wellFormed = v.bv_page && v.bv_offset + uint64_t(v.bv_len) <= PAGE_SIZE;
        total += v.bv_len;
    }
    if (!wellFormed || total != size) {
        K().report_bug("request on " + d.name +
                       " whose segments do not add up to its size or leave their page");
        return "I/O error";
    }
    uint64_t capacity = d.gd.capacity;
    if (sector > capacity || size / kSector > capacity - sector)
        return "I/O error (beyond end of device)";
    if (touches_bad_sector(d, sector, sector + size / kSector) || take_request_fault(d, bio_is_write(bio)))
        return "I/O error";
    return nullptr;
}

// Moves the data of a run of requests that follow each other on the disk, all in one
// direction, to or from the store: one host call for the whole run on an image file, as
// the elevator hands a driver adjacent requests merged. False on a host I/O error.
bool transfer_run(Disk& d, struct bio* const* run, size_t n)
{
    bool write = bio_is_write(run[0]);
    uint64_t off = run[0]->bi_sector * kSector;
    std::lock_guard<std::mutex> g(d.storeMu);
    if (d.fd < 0) {
        for (size_t k = 0; k < n; k++)
            for (unsigned i = run[k]->bi_idx; i < run[k]->bi_vcnt; i++) {
                const struct bio_vec& v = run[k]->bi_io_vec[i];
                store_transfer_locked(d, off, v.bv_page->data + v.bv_offset, v.bv_len, write);
                off += v.bv_len;
            }
        return true;
    }
    std::vector<struct iovec>& iov = d.iov;
    iov.clear();
    for (size_t k = 0; k < n; k++)
        for (unsigned i = run[k]->bi_idx; i < run[k]->bi_vcnt; i++) {
            const struct bio_vec& v = run[k]->bi_io_vec[i];
            if (v.bv_len)
                iov.push_back({v.bv_page->data + v.bv_offset, v.bv_len});
        }
    // Whatever a call moves short of what it asked for is asked for again.
    for (size_t at = 0; at < iov.size();) {
        int cnt = static_cast<int>(std::min<size_t>(iov.size() - at, IOV_MAX));
        ssize_t done = write ? pwritev(d.fd, &iov[at], cnt, static_cast<off_t>(off))
                             : preadv(d.fd, &iov[at], cnt, static_cast<off_t>(off));
        if (done <= 0)
            return false;
        off += static_cast<uint64_t>(done);
        for (auto u = static_cast<size_t>(done); u > 0;) {
            size_t take = std::min(u, iov[at].iov_len);
            iov[at].iov_base = static_cast<char*>(iov[at].iov_base) + take;
            iov[at].iov_len -= take;
            u -= take;
            if (iov[at].iov_len == 0)
                at++;
        }
    }
    return true;
}

// The lock a driver takes in its interrupt handler to start the next request, as 2.6.9's
// drivers do with the queue's lock: whoever else takes the queue's lock must keep
// interrupts off.
class QueueLocked {
public:
    explicit QueueLocked(struct request_queue& q) : lock_(q.queue_lock)
    {
        if (lock_)
            spin_lock_irqsave(lock_, flags_);
    }
    ~QueueLocked()
    {
        if (lock_)
            spin_unlock_irqrestore(lock_, flags_);
    }
    QueueLocked(const QueueLocked&) = delete;
    QueueLocked& operator=(const QueueLocked&) = delete;

private:
    spinlock_t* lock_;
    unsigned long flags_ = 0;
};

// Gives back the request of a bio the driver has ended and wakes the oldest submitter
// asleep for a request of that direction, as the block layer frees a request. The caller
// holds the queue's lock.
void put_request_locked(Disk& d, int rw)
{
    struct request_list& rl = d.queue.rq;
    if (!d.queue.request_fn)
        return;
    rl.count[rw]--;
    if (rl.count[rw] < static_cast<int>(d.queue.nr_requests) && waitqueue_active(&rl.wait[rw])) {
        struct list_head* first = rl.wait[rw].task_list.next;
        list_del(first);
        RequestWaiter* w = list_entry(first, RequestWaiter, node);
        w->woken.store(true);
        wake_up_address(w);
    }
}

// Ends a request that failed, under the queue's lock as the driver's interrupt handler does.
void fail_request(Disk& d, struct bio* bio, const char* why)
{
    printk("<3>end_request: %s, dev %s, sector %llu\n", why, d.name.c_str(), bio->bi_sector);
    d.errors++;
    int rw = bio_is_write(bio);
    QueueLocked q(d.queue);
    bio_endio(bio, bio->bi_size, -EIO);
    put_request_locked(d, rw);
}

// Completes a request whose data has moved. Runs on the driver thread, holding the queue's
// lock (when the queue has one) as 2.6.9's IDE driver ends requests: every end-of-I/O
// callback runs under it.
void complete_request(Disk& d, struct bio* bio)
{
    uint64_t size = bio->bi_size;
    if (bio_is_write(bio)) {
        d.writes++;
        d.sectorsWritten += size / kSector;
    } else {
        d.reads++;
        d.sectorsRead += size / kSector;
    }
    unsigned first = take_partial(d, static_cast<unsigned>(size));
    int rw = bio_is_write(bio);
    std::optional<QueueLocked> q;
    if (d.endUnderLock)
        q.emplace(d.queue);
    if (first) {
        bio_endio(bio, first, 0);
        // The bio belongs to its submitter, who may free it only once all of it is done.
        if (!bio_live(bio)) {
            K().report_bug("bio freed before its request completed, on " + d.name);
            if (!q)
                q.emplace(d.queue);
            put_request_locked(d, rw);
            return;
        }
    }
    bio_endio(bio, bio->bi_size, 0);
    if (!q)
        q.emplace(d.queue);
    put_request_locked(d, rw);
}

// Serves a run of adjacent requests in one transfer and completes them in order. When the
// run's transfer fails, each request is tried on its own, so that only those the store
// cannot serve fail.
void serve_run(Disk& d, struct bio* const* run, size_t n)
{
    if (n == 0)
        return;
    if (!transfer_run(d, run, n)) {
        if (n == 1)
            fail_request(d, run[0], "I/O error (backing store)");
        else
            for (size_t k = 0; k < n; k++)
                serve_run(d, run + k, 1);
        return;
    }
    for (size_t k = 0; k < n; k++)
        complete_request(d, run[k]);
}

uint64_t end_sector(const struct bio* bio) { return bio->bi_sector + bio->bi_size / kSector; }

// Serves requests in the order they arrived, merging each run of adjacent requests of one
// direction into one transfer; a request that fails its checks is failed in its place.
// Each is counted out of d.taken as the driver starts it. Between runs, a pause stops the
// driver, leaving the rest to the caller; returns how many were started.
size_t serve_batch(Disk& d, std::vector<struct bio*>& batch)
{
    size_t k = 0;
    while (k < batch.size() && !d.paused.load()) {
        const char* why = refusal(d, batch[k]);
        size_t end = k;
        if (!why) {
            uint64_t next = end_sector(batch[end++]);
            for (; end < batch.size() && bio_is_write(batch[end]) == bio_is_write(batch[k]) &&
                   batch[end]->bi_sector == next;
                 end++) {
                // A request that fails its checks ends the run and fails after it, in order.
                if ((why = refusal(d, batch[end])))
                    break;
                next = end_sector(batch[end]);
            }
            d.taken -= end - k;
            serve_run(d, &batch[k], end - k);
            k = end;
        }
        if (why) {
            d.taken--;
            fail_request(d, batch[k++], why);
        }
    }
    return k;
}

void driver_thread(Disk& d)
{
    set_current_task(&d.irqTask);
    std::vector<struct bio*> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(d.qMu);
            d.qCv.wait(g, [&] { return d.stopping || (!d.pending.empty() && !d.paused.load()); });
            if (d.pending.empty())
                break; // stopping, and everything queued is done
        }
        // On a uniprocessor the driver's work is an interrupt handler: it runs when the
        // processor takes the interrupt.
        InIrq irq;
        {
            // Everything queued is taken at once, as a driver's request function takes the
            // queue's requests while it holds the queue's lock.
            QueueLocked q(d.queue);
            std::lock_guard<std::mutex> g(d.qMu);
            batch.assign(d.pending.begin(), d.pending.end());
            d.pending.clear();
            d.taken.store(batch.size());
            d.serving = true;
        }
        size_t served = serve_batch(d, batch);
        {
            QueueLocked q(d.queue);
            std::lock_guard<std::mutex> g(d.qMu);
            // Paused part-way: what was not served goes back to the head of the queue.
            d.pending.insert(d.pending.begin(), batch.begin() + static_cast<ptrdiff_t>(served), batch.end());
            d.taken.store(0);
            d.serving = false;
        }
        d.idleCv.notify_all();
    }
    set_current_task(nullptr);
}

// The request function every disk's queue starts with.
int disk_make_request(struct request_queue*, struct bio* bio)
{
    Disk* d = bio->bi_bdev && bio->bi_bdev->bd_disk ? disk_of(bio->bi_bdev->bd_disk) : nullptr;
    if (!d) {
        K().report_bug("disk request function called for a bio on no disk");
        bio_endio(bio, bio->bi_size, -EIO);
        return 0;
    }
    if (d->holdArmed.load() && (bio->bi_rw & (1UL << BIO_RW))) {
        std::unique_lock<std::mutex> g(d->qMu);
        uint64_t first = bio->bi_sector, end = first + (bio->bi_size >> 9);
        if (d->holdArmed.load() && first <= d->holdSector && d->holdSector < end) {
            d->holdArmed.store(false);
            d->holding = true;
            d->holdCv.notify_all();
            wait_off_cpu(d->holdCv, g, [d] { return !d->holding || d->stopping; });
        }
    }
    // A queue of requests gives each bio a request, and a submitter that finds its
    // direction's nr_requests all allocated sleeps until the driver ends one, as
    // get_request_wait does. Asleep, it is outside every grace period. Whether it sleeps
    // depends on the load, so a caller that may not sleep is reported every time.
    if (d->queue.request_fn)
        might_sleep();
    int rw = bio_is_write(bio);
    for (;;) {
        RequestWaiter w;
        {
            QueueLocked q(d->queue);
            std::lock_guard<std::mutex> g(d->qMu);
            if (d->stopping)
                break;
            struct request_list& rl = d->queue.rq;
            if (!d->queue.request_fn || rl.count[rw] < static_cast<int>(d->queue.nr_requests)) {
                if (d->queue.request_fn)
                    rl.count[rw]++;
                d->pending.push_back(bio);
                d->qCv.notify_one();
                return 0;
            }
            list_add_tail(&w.node, &rl.wait[rw].task_list);
        }
        leave_submission_stretch();
        sleep_on(&w, [&w] { return w.woken.load(); });
    }
    // The machine is shutting down and the driver thread may be gone.
    bio_endio(bio, bio->bi_size, -EIO);
    return 0;
}

// The request function of a queue of requests. The simulated driver takes its requests off
// the queue on its own thread, so nothing calls it; the block layer only learns from it
// that the queue has a request list.
void disk_do_request(struct request_queue*) {}

// ------------------------------------------------------------------ synchronous I/O

int sync_end_io(struct bio* bio, unsigned int, int)
{
    if (bio->bi_size)
        return 1; // more to come
    complete(static_cast<struct completion*>(bio->bi_private));
    return 0;
}

// Reads or writes count sectors at a sector of bd through submit_bio, in batches of bios
// of fresh pages, and waits for every completion. 0, -EIO when a request failed, -ENOMEM.
// With spareBuffers the bios and pages are taken spared from injected faults (the requests'
// way through the block layer is not).
int sync_io(struct block_device* bd, uint64_t sector, unsigned char* buf, uint64_t count, bool write,
            bool spareBuffers = false)
{
    constexpr unsigned kPagesPerBio = 8;
    constexpr unsigned kBiosPerBatch = 32;
    constexpr uint64_t kSectorsPerPage = PAGE_SIZE / kSector;
    struct Piece {
        struct bio* bio;
        unsigned char* buf;
        std::vector<struct page*> pages;
    };
    int result = 0;
    while (count > 0 && result == 0) {
        std::vector<Piece> batch;
        struct completion done;
        init_completion(&done);
        std::optional<SparedFromFaults> spared;
        if (spareBuffers)
            spared.emplace();
        while (batch.size() < kBiosPerBatch && count > 0) {
            uint64_t n = std::min<uint64_t>(count, kPagesPerBio * kSectorsPerPage);
            unsigned npages = static_cast<unsigned>((n + kSectorsPerPage - 1) / kSectorsPerPage);
            Piece p{bio_alloc(GFP_KERNEL, static_cast<int>(npages)), buf, {}};
            if (!p.bio) {
                result = -ENOMEM;
                break;
            }
            for (unsigned i = 0; i < npages; i++) {
                struct page* pg = alloc_page(GFP_KERNEL);
                if (!pg)
                    break;
                p.pages.push_back(pg);
            }
            if (p.pages.size() != npages) {
                for (struct page* pg : p.pages)
                    __free_page(pg);
                bio_put(p.bio);
                result = -ENOMEM;
                break;
            }
            uint64_t left = n * kSector;
            for (unsigned i = 0; i < npages; i++) {
                unsigned len = static_cast<unsigned>(std::min<uint64_t>(left, PAGE_SIZE));
                p.bio->bi_io_vec[i] = {p.pages[i], len, 0};
                if (write)
                    memcpy(page_address(p.pages[i]), buf + (n * kSector - left), len);
                left -= len;
            }
            p.bio->bi_vcnt = static_cast<unsigned short>(npages);
            p.bio->bi_size = static_cast<unsigned>(n * kSector);
            p.bio->bi_sector = sector;
            p.bio->bi_bdev = bd;
            p.bio->bi_end_io = sync_end_io;
            p.bio->bi_private = &done;
            batch.push_back(std::move(p));
            sector += n;
            count -= n;
            buf += n * kSector;
        }
        spared.reset();
        for (Piece& p : batch)
            submit_bio(write ? WRITE : READ, p.bio);
        for (size_t i = 0; i < batch.size(); i++)
            wait_for_completion(&done);
        for (Piece& p : batch) {
            bool ok = bio_flagged(p.bio, BIO_UPTODATE);
            if (!ok)
                result = -EIO;
            unsigned char* to = p.buf;
            for (size_t i = 0; i < p.pages.size(); i++) {
                unsigned len = p.bio->bi_io_vec[i].bv_len;
                if (ok && !write)
                    memcpy(to, page_address(p.pages[i]), len);
                to += len;
                __free_page(p.pages[i]);
            }
            bio_put(p.bio);
        }
    }
    return result;
}

// ------------------------------------------------------------------ partition tables

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

constexpr unsigned kMbrTable = 446;

// The four primary entries of an MBR (empty slots have no sectors); false without the
// signature. Logical partitions inside an extended one are not followed.
bool parse_mbr(const unsigned char* s, std::vector<Partition>& out)
{
    if (s[510] != 0x55 || s[511] != 0xAA)
        return false;
    out.assign(4, Partition{});
    for (unsigned i = 0; i < 4; i++) {
        const unsigned char* e = s + kMbrTable + 16 * i;
        if (e[4] != 0)
            out[i] = {le32(e + 8), le32(e + 12)};
    }
    return true;
}

// bd_set_size's choice of a block size: the largest power of two up to a page that
// divides the device's size.
unsigned block_size_for(uint64_t sectors)
{
    uint64_t bytes = sectors * kSector;
    unsigned bsize = kSector;
    while (bsize < PAGE_SIZE && !(bytes & bsize))
        bsize <<= 1;
    return bsize;
}

// Installs a partition table over an empty one. A partition that starts beyond the disk is
// left out and one that runs past its end is cut short, so that no request to a partition
// can reach past the disk.
void install_table(Disk& d, const std::vector<Partition>& table)
{
    std::string names;
    {
        std::lock_guard<std::mutex> g(d.partMu);
        uint64_t capacity = d.gd.capacity;
        for (size_t i = 0; i < d.slots.size(); i++) {
            Partition p = i < table.size() ? table[i] : Partition{};
            if (p.nr_sects == 0)
                continue;
            if (p.start_sect >= capacity) {
                printk("<4> %s: partition %zu starts beyond the end of the disk, ignored\n",
                       d.name.c_str(), i + 1);
                continue;
            }
            if (p.nr_sects > capacity - p.start_sect) {
                printk("<4> %s: partition %zu runs past the end of the disk, truncated\n",
                       d.name.c_str(), i + 1);
                p.nr_sects = capacity - p.start_sect;
            }
            d.slots[i].start_sect = p.start_sect;
            d.slots[i].nr_sects = p.nr_sects;
            d.parts[i]->bd.bd_block_size = block_size_for(p.nr_sects);
            d.partPtrs[i] = &d.slots[i];
            names += " " + d.parts[i]->name;
        }
    }
    printk("<6> %s:%s\n", d.name.c_str(), names.c_str());
}

// Re-reads the partition table as rescan_partitions does: the disk's own file system is
// flushed, the old partitions go, then sector 0 is read through the disk's queue, then the new ones come. The caller holds the
// whole disk's bd_sem.
int rescan(Disk& d)
{
    // A file system on the whole disk is written back and its cached inodes dropped first
    // (invalidate_partition), under its super block's s_umount: bd_sem before s_umount.
    fsync_bdev(&d.whole.bd);
    if (struct super_block* sb = get_super(&d.whole.bd))
        drop_super(sb);
    {
        std::lock_guard<std::mutex> g(d.partMu);
        for (size_t i = 0; i < d.slots.size(); i++) {
            d.partPtrs[i] = nullptr;
            d.slots[i].start_sect = 0;
            d.slots[i].nr_sects = 0;
        }
    }
    unsigned char sector0[kSector];
    int err = sync_io(&d.whole.bd, 0, sector0, 1, false);
    if (err) {
        printk("<4> %s: unable to read partition table\n", d.name.c_str());
        return err;
    }
    std::vector<Partition> table;
    if (d.fixedTable) {
        table = *d.fixedTable;
    } else if (!parse_mbr(sector0, table)) {
        printk("<6> %s: unknown partition table\n", d.name.c_str());
        return 0;
    }
    install_table(d, table);
    return 0;
}

// ------------------------------------------------------------------ lookups

// The disk a device number belongs to and the partition it names (0: the whole disk).
Disk* find_disk(uint32_t dev, unsigned* index)
{
    BlockLayer& bl = BL();
    std::lock_guard<std::mutex> g(bl.mu);
    for (auto& d : bl.disks) {
        unsigned first = static_cast<unsigned>(d->gd.first_minor);
        if (static_cast<unsigned>(d->gd.major) == MAJOR(dev) && MINOR(dev) >= first &&
            MINOR(dev) - first < static_cast<unsigned>(d->gd.minors)) {
            *index = MINOR(dev) - first;
            return d.get();
        }
    }
    return nullptr;
}

// Translates a device-relative range to whole-disk sectors: 0, -ENODEV, or -EINVAL when
// the range does not lie inside the device.
int to_disk_range(uint32_t dev, uint64_t sector, uint64_t count, Disk** disk, uint64_t* first)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    uint64_t base = 0, size = d->gd.capacity;
    if (index > 0) {
        std::lock_guard<std::mutex> g(d->partMu);
        if (!d->partPtrs[index - 1])
            return -ENODEV;
        base = d->slots[index - 1].start_sect;
        size = d->slots[index - 1].nr_sects;
    }
    if (sector > size || count > size - sector)
        return -EINVAL;
    *disk = d;
    *first = base + sector;
    return 0;
}

int store_io(uint32_t dev, uint64_t sector, unsigned char* buf, uint64_t count, bool write)
{
    Disk* d;
    uint64_t first;
    int err = to_disk_range(dev, sector, count, &d, &first);
    if (err)
        return err;
    std::lock_guard<std::mutex> g(d->storeMu);
    return store_transfer_locked(*d, first * kSector, buf, count * kSector, write) ? 0 : -EIO;
}

int raw_io(uint32_t dev, uint64_t sector, unsigned char* buf, uint64_t count, bool write,
           bool spareBuffers = false)
{
    OnCpu onCpu; // a process's read or write of the device node
    struct block_device* bd = bdget(dev);
    if (!bd)
        return -ENODEV;
    int err = sync_io(bd, sector, buf, count, write, spareBuffers);
    bdput(bd);
    return err;
}

std::string default_name(const DiskConfig& c)
{
    if (c.major == 8 && c.first_minor / 16 < 26)
        return std::string("sd") + static_cast<char>('a' + c.first_minor / 16);
    return "disk" + std::to_string(c.major) + "_" + std::to_string(c.first_minor);
}

} // namespace

// ------------------------------------------------------------------ driver thread

void disk_start(Disk& d)
{
    d.irqTask.pid = K().nextPid.fetch_add(1);
    d.irqTask.inIrq = true;
    snprintf(d.irqTask.comm, sizeof d.irqTask.comm, "irq/%s", d.name.c_str());
    d.thread = std::thread([&d] { driver_thread(d); });
}

void disk_stop(Disk& d)
{
    {
        QueueLocked q(d.queue);
        std::lock_guard<std::mutex> g(d.qMu);
        d.stopping = true;
        // Submitters asleep for a request see the stop and fail their bios.
        for (wait_queue_head_t& wq : d.queue.rq.wait) {
            while (waitqueue_active(&wq)) {
                struct list_head* first = wq.task_list.next;
                list_del(first);
                RequestWaiter* w = list_entry(first, RequestWaiter, node);
                w->woken.store(true);
                wake_up_address(w);
            }
        }
    }
    d.qCv.notify_all();
    d.holdCv.notify_all();
    if (d.thread.joinable())
        d.thread.join();
    if (d.fd >= 0) {
        close(d.fd);
        d.fd = -1;
    }
}

// ------------------------------------------------------------------ the disk API

int add_disk(Machine&, const DiskConfig& c, uint32_t* devOut)
{
    if (c.major == 0 || c.major > (0xFFFFFFFFu >> MINORBITS) || c.minors == 0 ||
        c.first_minor > MINORMASK || c.minors > MINORMASK + 1 - c.first_minor)
        return -EINVAL;
    auto d = std::make_unique<Disk>();
    d->name = c.name.empty() ? default_name(c) : c.name;
    if (d->name.size() >= sizeof d->gd.disk_name)
        return -EINVAL;

    uint64_t sectors;
    if (!c.image_path.empty()) {
        d->fd = open(c.image_path.c_str(), (c.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (d->fd < 0)
            return -errno;
        if (flock(d->fd, (c.read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
            int err = errno == EWOULDBLOCK ? -EBUSY : -errno;
            close(d->fd);
            return err;
        }
        struct stat st;
        if (fstat(d->fd, &st) != 0) {
            int err = -errno;
            close(d->fd);
            return err;
        }
        sectors = static_cast<uint64_t>(st.st_size) / kSector;
    } else {
        if (c.size_bytes % kSector)
            return -EINVAL;
        sectors = c.size_bytes / kSector;
    }
    auto fail = [&](int err) {
        if (d->fd >= 0)
            close(d->fd);
        return err;
    };
    if (sectors == 0)
        return fail(-EINVAL);
    if (c.partitions) {
        if (c.partitions->size() > c.minors - 1)
            return fail(-EINVAL);
        for (const Partition& p : *c.partitions)
            if (p.nr_sects && (p.start_sect >= sectors || p.nr_sects > sectors - p.start_sect))
                return fail(-EINVAL);
    }
    if (d->fd < 0)
        d->mem.assign(sectors * kSector, 0);

    strncpy(d->gd.disk_name, d->name.c_str(), sizeof d->gd.disk_name - 1);
    d->gd.major = static_cast<int>(c.major);
    d->gd.first_minor = static_cast<int>(c.first_minor);
    d->gd.minors = static_cast<int>(c.minors);
    d->gd.capacity = sectors;
    d->gd.queue = &d->queue;
    d->gd.private_data = d.get();
    d->slots.assign(c.minors - 1, hd_struct{});
    d->partPtrs.assign(c.minors - 1, nullptr);
    d->gd.part = c.minors > 1 ? d->partPtrs.data() : nullptr;
    d->fixedTable = c.partitions;

    d->ownFn = disk_make_request;
    d->queue.make_request_fn.store(disk_make_request);
    spin_lock_init(&d->lock);
    lockdep_set_class_and_name(&d->lock.dep_map, &queueLockKey, "queue_lock");
    d->queue.queue_lock = c.queue_lock ? &d->lock : nullptr;
    d->endUnderLock = c.end_under_queue_lock;
    d->queue.queuedata = d.get();
    // A driver with a queue lock takes requests, as IDE and SCSI do; one without takes bios
    // itself, as a stacked driver does, and has no request list.
    if (c.queue_lock)
        d->queue.request_fn = disk_do_request;
    d->queue.nr_requests = kDefaultRequests;
    for (wait_queue_head_t& wq : d->queue.rq.wait)
        INIT_LIST_HEAD(&wq.task_list);

    auto init_bdev = [&](Bdev& b, unsigned index) {
        b.disk = d.get();
        b.bd.bd_dev = MKDEV(c.major, c.first_minor + index);
        init_MUTEX(&b.bd.bd_sem);
        lockdep_set_class_and_name(&b.bd.bd_sem.dep_map, &bdSemKey, "bd_sem");
        b.bd.bd_contains = &d->whole.bd;
        b.bd.bd_part = index ? &d->slots[index - 1] : nullptr;
        b.bd.bd_disk = &d->gd;
        b.bd.bd_block_size = index ? static_cast<unsigned>(kSector) : block_size_for(sectors);
        if (index) {
            bool digit = isdigit(static_cast<unsigned char>(d->name.back())) != 0;
            b.name = d->name + (digit ? "p" : "") + std::to_string(index);
        } else {
            b.name = d->name;
        }
    };
    init_bdev(d->whole, 0);
    for (unsigned i = 1; i < c.minors; i++) {
        d->parts.push_back(std::make_unique<Bdev>());
        init_bdev(*d->parts.back(), i);
    }

    Disk* disk = d.get();
    {
        BlockLayer& bl = BL();
        std::lock_guard<std::mutex> g(bl.mu);
        for (auto& o : bl.disks) {
            unsigned of = static_cast<unsigned>(o->gd.first_minor);
            unsigned on = static_cast<unsigned>(o->gd.minors);
            if (static_cast<unsigned>(o->gd.major) == c.major && c.first_minor < of + on &&
                of < c.first_minor + c.minors)
                return fail(-EEXIST);
        }
        bl.bdevs.emplace(&disk->whole.bd, &disk->whole);
        for (auto& p : disk->parts)
            bl.bdevs.emplace(&p->bd, p.get());
        bl.gendisks.emplace(&disk->gd, disk);
        disk_start(*disk);
        bl.disks.push_back(std::move(d));
    }
    if (devOut)
        *devOut = disk->whole.bd.bd_dev;

    if (c.partitions) {
        install_table(*disk, *c.partitions);
    } else if (c.minors > 1) {
        // As add_disk does, the new disk's table is read through its own queue; a failure
        // leaves the disk without partitions.
        OnCpu onCpu;
        down(&disk->whole.bd.bd_sem);
        rescan(*disk);
        up(&disk->whole.bd.bd_sem);
    }
    return 0;
}

int read_sectors(Machine&, uint32_t dev, uint64_t sector, void* buf, uint64_t count)
{
    return raw_io(dev, sector, static_cast<unsigned char*>(buf), count, false);
}

int write_sectors(Machine&, uint32_t dev, uint64_t sector, const void* buf, uint64_t count,
                  bool spare_buffers)
{
    // sync_io only reads from buf when writing.
    return raw_io(dev, sector, static_cast<unsigned char*>(const_cast<void*>(buf)), count, true,
                  spare_buffers);
}

int read_store(Machine&, uint32_t dev, uint64_t sector, void* buf, uint64_t count)
{
    return store_io(dev, sector, static_cast<unsigned char*>(buf), count, false);
}

int write_store(Machine&, uint32_t dev, uint64_t sector, const void* buf, uint64_t count)
{
    return store_io(dev, sector, static_cast<unsigned char*>(const_cast<void*>(buf)), count, true);
}

int reread_partitions(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    if (index != 0 || d->gd.minors == 1)
        return -EINVAL;
    OnCpu onCpu;
    down(&d->whole.bd.bd_sem);
    int err = d->partOpens ? -EBUSY : rescan(*d);
    up(&d->whole.bd.bd_sem);
    return err;
}

int blkdev_get(struct block_device* bd)
{
    Bdev* b = bdev_of(bd);
    if (!b || bd->bd_contains == bd)
        return 0;
    Disk& d = *b->disk;
    down(&d.whole.bd.bd_sem);
    bool present;
    {
        std::lock_guard<std::mutex> g(d.partMu);
        present = d.partPtrs[bd->bd_part - d.slots.data()] != nullptr;
    }
    if (present)
        d.partOpens++;
    up(&d.whole.bd.bd_sem);
    return present ? 0 : -ENXIO;
}

void blkdev_put(struct block_device* bd)
{
    Bdev* b = bdev_of(bd);
    if (!b || bd->bd_contains == bd)
        return;
    Disk& d = *b->disk;
    down(&d.whole.bd.bd_sem);
    d.partOpens--;
    up(&d.whole.bd.bd_sem);
}

namespace {

// A process holding a lock on the file at path; 0 when none is found.
int lock_holder(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    char id[64];
    snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    // Lines of /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; a waiter's
    // has "->" after the number.
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string num, kind, mode, rw, file;
        int pid = 0;
        if (in >> num >> kind >> mode >> rw >> pid >> file && kind != "->" && file == id && pid > 0)
            return pid;
    }
    return 0;
}

} // namespace

std::string image_in_use(const std::string& path)
{
    int pid = lock_holder(path);
    if (pid <= 0)
        return path + " is in use by another program";
    std::string comm;
    std::ifstream(("/proc/" + std::to_string(pid) + "/comm").c_str()) >> comm;
    return path + " is in use by process " + std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")");
}

std::vector<unsigned char> make_mbr(const std::vector<Partition>& primaries)
{
    std::vector<unsigned char> s(kSector, 0);
    for (size_t i = 0; i < primaries.size() && i < 4; i++) {
        if (primaries[i].nr_sects == 0)
            continue;
        unsigned char* e = s.data() + kMbrTable + 16 * i;
        // CHS addresses out of range: the LBA fields are what counts.
        e[1] = e[5] = 0xFE;
        e[2] = e[3] = e[6] = e[7] = 0xFF;
        e[4] = 0x83;
        put_le32(e + 8, static_cast<uint32_t>(primaries[i].start_sect));
        put_le32(e + 12, static_cast<uint32_t>(primaries[i].nr_sects));
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

int set_bad_sectors(Machine&, uint32_t dev, uint64_t sector, uint64_t count)
{
    Disk* d;
    uint64_t first;
    int err = to_disk_range(dev, sector, count, &d, &first);
    if (err)
        return err;
    std::lock_guard<std::mutex> g(d->faultMu);
    d->bad.push_back({first, first + count});
    return 0;
}

int clear_bad_sectors(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    std::lock_guard<std::mutex> g(d->faultMu);
    d->bad.clear();
    return 0;
}

int set_partial_completions(Machine&, uint32_t dev, unsigned count, unsigned first_bytes)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    std::lock_guard<std::mutex> g(d->faultMu);
    d->partialLeft = count;
    d->partialFirst = first_bytes;
    return 0;
}

int hold_next_write(Machine&, uint32_t dev, uint64_t disk_sector)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    std::lock_guard<std::mutex> g(d->qMu);
    d->holdSector = disk_sector;
    d->holdArmed.store(true);
    return 0;
}

bool write_held(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return false;
    std::lock_guard<std::mutex> g(d->qMu);
    return d->holding;
}

int release_write(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    {
        std::lock_guard<std::mutex> g(d->qMu);
        d->holding = false;
    }
    d->holdCv.notify_all();
    return 0;
}

int pause_driver(Machine&, uint32_t dev, bool paused)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    {
        std::lock_guard<std::mutex> g(d->qMu);
        d->paused.store(paused);
    }
    d->qCv.notify_all();
    return 0;
}

bool waiting_for_earlier_requests(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    return d && BL().gpWaiting.load();
}

int set_queue_requests(Machine&, uint32_t dev, unsigned n)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    if (n == 0 || !d->queue.request_fn)
        return -EINVAL;
    QueueLocked q(d->queue);
    d->queue.nr_requests = n;
    return 0;
}

unsigned sleeping_for_requests(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d || !d->queue.request_fn)
        return 0;
    unsigned n = 0;
    QueueLocked q(d->queue);
    for (wait_queue_head_t& wq : d->queue.rq.wait) {
        struct list_head* p;
        list_for_each(p, &wq.task_list) n++;
    }
    return n;
}

int set_failing_requests(Machine&, uint32_t dev, bool write, unsigned n, bool persistent, unsigned lift_after)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    std::lock_guard<std::mutex> g(d->faultMu);
    d->requestFaults[write] = {n, persistent, persistent ? lift_after : 0};
    return 0;
}

int wait_for_disk(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    std::unique_lock<std::mutex> g(d->qMu);
    d->idleCv.wait(g, [d] { return d->stopping || (d->pending.empty() && !d->serving); });
    return 0;
}

struct request_queue* disk_queue(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    return d ? &d->queue : nullptr;
}

request_fn disk_request_fn(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    return d ? d->ownFn : nullptr;
}

DiskStats disk_stats(Machine&, uint32_t dev)
{
    DiskStats s;
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return s;
    s.reads = d->reads.load();
    s.writes = d->writes.load();
    s.sectors_read = d->sectorsRead.load();
    s.sectors_written = d->sectorsWritten.load();
    s.errors = d->errors.load();
    std::lock_guard<std::mutex> g(d->qMu);
    s.queued = d->pending.size() + d->taken.load();
    return s;
}

std::optional<uint64_t> device_sectors(Machine&, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return std::nullopt;
    if (index == 0)
        return d->gd.capacity;
    std::lock_guard<std::mutex> g(d->partMu);
    if (!d->partPtrs[index - 1])
        return std::nullopt;
    return d->slots[index - 1].nr_sects;
}

int flush_disk(Machine& m, uint32_t dev)
{
    unsigned index;
    Disk* d = find_disk(dev, &index);
    if (!d)
        return -ENODEV;
    wait_for_disk(m, dev);
    std::lock_guard<std::mutex> g(d->storeMu);
    return d->fd >= 0 && fdatasync(d->fd) != 0 ? -EIO : 0;
}

} // namespace sim
