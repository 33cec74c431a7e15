// The generic block layer: block devices by number, bios, generic_make_request with its
// partition remapping, and the block layer's part of the leak report.
#include "sim/blockdev.h"

#include <sstream>

namespace sim {

BlockLayer& BL() { return *K().block; }

void block_boot(Kernel& k) { k.block = new BlockLayer; }

BlockLayer::~BlockLayer()
{
    for (struct bio* bio : freeBios) {
        delete[] bio->bi_io_vec;
        delete bio;
    }
    for (struct buffer_head* bh : freeBhs)
        delete bh;
}

void block_shutdown(Kernel& k)
{
    BlockLayer* bl = k.block;
    if (!bl)
        return;
    // Not under bl->mu: the completions the drivers still run put bios, which takes it.
    for (auto& d : bl->disks)
        disk_stop(*d);
    k.block = nullptr;
    delete bl;
}

Bdev* bdev_of(const struct block_device* bd)
{
    BlockLayer& bl = BL();
    std::lock_guard<std::mutex> g(bl.mu);
    auto it = bl.bdevs.find(bd);
    return it == bl.bdevs.end() ? nullptr : it->second;
}

Disk* disk_of(const struct gendisk* gd)
{
    BlockLayer& bl = BL();
    std::lock_guard<std::mutex> g(bl.mu);
    auto it = bl.gendisks.find(gd);
    return it == bl.gendisks.end() ? nullptr : it->second;
}

std::string bdev_name(const struct block_device* bd)
{
    if (!bd)
        return "(null)";
    if (Bdev* b = bdev_of(bd))
        return b->name;
    return "unknown-block(" + std::to_string(MAJOR(bd->bd_dev)) + "," +
           std::to_string(MINOR(bd->bd_dev)) + ")";
}

bool bio_live(const struct bio* bio)
{
    BlockLayer& bl = BL();
    std::lock_guard<std::mutex> g(bl.mu);
    return bl.bios.contains(bio);
}

std::string block_references_report(Kernel& k)
{
    std::ostringstream out;
    BlockLayer& bl = *k.block;
    std::lock_guard<std::mutex> g(bl.mu);
    for (auto& d : bl.disks) {
        auto one = [&](const Bdev& b) {
            if (b.refs)
                out << "block device " << b.name << ": " << b.refs << " reference(s) held\n";
        };
        one(d->whole);
        for (auto& p : d->parts)
            one(*p);
    }
    return out.str();
}

std::string Machine::queues_report() const
{
    std::ostringstream out;
    BlockLayer& bl = *k_->block;
    std::lock_guard<std::mutex> g(bl.mu);
    for (auto& d : bl.disks)
        if (d->queue.make_request_fn.load() != d->ownFn)
            out << "request queue of " << d->name << " does not have its own request function\n";
    return out.str();
}

} // namespace sim

using sim::BL;
using sim::K;

// ------------------------------------------------------------------ block devices

struct block_device* bdget(u32 dev)
{
    might_sleep();
    sim::BlockLayer& bl = BL();
    std::lock_guard<std::mutex> g(bl.mu);
    for (auto& d : bl.disks) {
        unsigned first = static_cast<unsigned>(d->gd.first_minor);
        if (static_cast<unsigned>(d->gd.major) != MAJOR(dev) || MINOR(dev) < first ||
            MINOR(dev) - first >= static_cast<unsigned>(d->gd.minors))
            continue;
        unsigned index = MINOR(dev) - first;
        sim::Bdev* b = &d->whole;
        if (index > 0) {
            std::lock_guard<std::mutex> pg(d->partMu);
            if (!d->partPtrs[index - 1])
                return NULL; // an empty partition slot names no device
            b = d->parts[index - 1].get();
        }
        b->refs++;
        return &b->bd;
    }
    return NULL;
}

void bdput(struct block_device* bdev)
{
    if (!bdev)
        return;
    sim::BlockLayer& bl = BL();
    std::string bug;
    {
        std::lock_guard<std::mutex> g(bl.mu);
        auto it = bl.bdevs.find(bdev);
        if (it == bl.bdevs.end())
            bug = "bdput of a block device that bdget did not hand out";
        else if (it->second->refs == 0)
            bug = "bdput of " + it->second->name + " without a reference";
        else
            it->second->refs--;
    }
    if (!bug.empty())
        K().report_bug(bug);
}

// ------------------------------------------------------------------ bios

struct bio* bio_alloc(gfp_t gfp_mask, int nr_iovecs)
{
    if (gfp_mask & __GFP_WAIT)
        might_sleep();
    constexpr int kMaxPages = 256;
    if (nr_iovecs < 0 || nr_iovecs > kMaxPages)
        return NULL;
    if (K().faults.should_fail(sim::Fault::Bio, __builtin_return_address(0)))
        return NULL;
    sim::BlockLayer& bl = BL();
    struct bio* bio = nullptr;
    struct bio_vec* vecs = nullptr;
    {
        std::lock_guard<std::mutex> g(bl.mu);
        if (nr_iovecs == 1 && !bl.freeBios.empty()) {
            bio = bl.freeBios.back();
            bl.freeBios.pop_back();
            vecs = bio->bi_io_vec;
            bl.bios.insert(bio, vecs);
        }
    }
    if (bio) {
        bio->~bio();
        new (bio) struct bio();
    } else {
        bio = new struct bio();
        if (nr_iovecs > 0)
            vecs = new struct bio_vec[nr_iovecs];
        std::lock_guard<std::mutex> g(bl.mu);
        bl.bios.insert(bio, vecs);
    }
    // Segments are not cleared, as in the kernel: the caller fills what it uses.
    if (vecs)
        memset(static_cast<void*>(vecs), 0x5a, sizeof *vecs * nr_iovecs);
    bio->bi_flags = 1UL << BIO_UPTODATE;
    bio->bi_max_vecs = static_cast<unsigned>(nr_iovecs);
    bio->bi_io_vec = vecs;
    atomic_set(&bio->bi_cnt, 1);
    K().bios++;
    return bio;
}

void bio_get(struct bio* bio)
{
    if (bio->bi_cnt.counter.fetch_add(1) <= 0)
        K().report_bug("bio_get of a bio without references");
}

void bio_put(struct bio* bio)
{
    if (!sim::bio_live(bio)) {
        K().report_bug("bio_put of a bio that is not allocated");
        return;
    }
    int left = bio->bi_cnt.counter.fetch_sub(1) - 1;
    if (left < 0) {
        K().report_bug("bio_put of a bio without references");
        return;
    }
    if (left > 0)
        return;
    // An owner's destructor runs first; the memory itself is the block layer's to free.
    bio->bi_next = NULL;
    if (bio->bi_destructor)
        bio->bi_destructor(bio);
    struct bio_vec* vecs = nullptr;
    bool kept = false;
    {
        sim::BlockLayer& bl = BL();
        std::lock_guard<std::mutex> g(bl.mu);
        if (!bl.bios.erase(bio, &vecs)) {
            // Another put freed it between the check above and here.
            sim::K().report_bug("bio_put of a bio that is not allocated");
            return;
        }
        if (sim::kReuseFreedObjects && bio->bi_max_vecs == 1 && bl.freeBios.size() < bl.kKeptFree) {
            bio->bi_io_vec = vecs;
            bl.freeBios.push_back(bio);
            kept = true;
        }
    }
    K().bios--;
    if (kept)
        return;
    delete[] vecs;
    delete bio;
}

void bio_endio(struct bio* bio, unsigned int bytes_done, int error)
{
    if (error)
        clear_bit(BIO_UPTODATE, &bio->bi_flags);
    if (bytes_done > bio->bi_size) {
        printk("<4>bio_endio: want %u bytes done, only %u left\n", bytes_done, bio->bi_size);
        K().report_bug("bio_endio of more bytes than the bio has left");
        bytes_done = bio->bi_size;
    }
    bio->bi_size -= bytes_done;
    bio->bi_sector += bytes_done >> 9;
    if (bio->bi_end_io)
        bio->bi_end_io(bio, bytes_done, error);
}

namespace {

// Checks that the bio lies inside its device (on the first pass only) and turns a request
// on a partition into one on the whole disk. Both happen under the disk's partition-table
// lock, so a concurrent re-read cannot slip between them. False when the request is
// beyond the end of the device.
bool check_and_remap(struct bio* bio, bool check)
{
    struct block_device* bdev = bio->bi_bdev;
    bool partition = bdev->bd_part && bdev->bd_contains && bdev->bd_contains != bdev;
    if (!check && !partition)
        return true;
    sim::Disk* disk = sim::disk_of(bdev->bd_disk);
    sector_t max = 0;
    bool beyond = false;
    {
        std::unique_lock<std::mutex> g;
        if (disk)
            g = std::unique_lock<std::mutex>(disk->partMu);
        if (check) {
            // A partition that has been deleted has no sectors: nothing in it is reachable.
            max = partition ? bdev->bd_part->nr_sects : get_capacity(bdev->bd_disk);
            sector_t nr = bio->bi_size >> 9;
            beyond = nr > max || max - nr < bio->bi_sector;
        }
        if (!beyond && partition) {
            bio->bi_sector += bdev->bd_part->start_sect;
            bio->bi_bdev = bdev->bd_contains;
        }
    }
    if (beyond) {
        std::string name = partition || !disk ? sim::bdev_name(bdev) : disk->name;
        printk("<6>attempt to access beyond end of device\n");
        printk("<6>%s: rw=%lu, want=%llu, limit=%llu\n", name.c_str(), bio->bi_rw,
               bio->bi_sector + (bio->bi_size >> 9), max);
        return false;
    }
    return true;
}

// Ends a submitter's stretch counted for grace periods; wakes a grace period waiting on it.
void leave_submission(sim::BlockLayer& bl, unsigned slot)
{
    if (bl.submitters[slot].fetch_sub(1) == 1 && bl.gpWaiting.load())
        bl.submitters[slot].notify_all();
}

// The grace-period slot the calling thread counts itself in while it is inside a driver's
// own request function; -1 outside.
thread_local int tlsStretchSlot = -1;

} // namespace

namespace sim {

void leave_submission_stretch()
{
    if (tlsStretchSlot < 0)
        return;
    leave_submission(BL(), static_cast<unsigned>(tlsStretchSlot));
    tlsStretchSlot = -1;
}

} // namespace sim

void generic_make_request(struct bio* bio)
{
    might_sleep();
    bool first = true;
    int ret;
    do {
        struct block_device* bdev = bio->bi_bdev;
        struct request_queue* q = bdev && bdev->bd_disk ? bdev->bd_disk->queue : NULL;
        if (!q) {
            printk("<3>generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
                   sim::bdev_name(bdev).c_str(), bio->bi_sector);
            bio_endio(bio, bio->bi_size, -EIO);
            return;
        }
        if (!check_and_remap(bio, first)) {
            bio_endio(bio, bio->bi_size, -EIO);
            return;
        }
        first = false;
        sim::BlockLayer& bl = sim::BL();
        unsigned slot = bl.epoch.load() & 1;
        bl.submitters[slot]++;
        make_request_fn* fn = q->make_request_fn.load();
        if (!fn) {
            leave_submission(bl, slot);
            K().report_bug("request queue without a request function");
            bio_endio(bio, bio->bi_size, -EIO);
            return;
        }
        // Only the driver's own function is a stretch without sleep; any other function
        // (a stacked driver's) may sleep, and is called outside the grace period's count.
        if (fn == static_cast<sim::Disk*>(q->queuedata)->ownFn) {
            // The driver's function leaves the count early when it sleeps for a request.
            tlsStretchSlot = static_cast<int>(slot);
            ret = fn(q, bio);
            sim::leave_submission_stretch();
        } else {
            leave_submission(bl, slot);
            ret = fn(q, bio);
        }
    } while (ret);
}

void synchronize_kernel(void)
{
    might_sleep();
    sim::BlockLayer& bl = sim::BL();
    // Off the processor while waiting, as a sleeping task.
    int depth = sim::cpu_release();
    {
        std::lock_guard<std::mutex> g(bl.gpMu);
        unsigned old = bl.epoch.fetch_add(1) & 1;
        bl.gpWaiting.store(true);
        for (long n; (n = bl.submitters[old].load()) != 0;)
            bl.submitters[old].wait(n);
        bl.gpWaiting.store(false);
    }
    sim::cpu_reacquire(depth);
}

void submit_bio(int rw, struct bio* bio)
{
    bio->bi_rw |= static_cast<unsigned long>(rw);
    generic_make_request(bio);
}
