// File systems: the mount table, super blocks, each mount's write-back cache, freezing and
// thawing, and the machine-facing API of sim/fs.h.
//
// A mount is found by its block device (get_super compares s_bdev, as the kernel does) or
// by device number (the machine API). Block devices live as long as their disk, so a mount
// keeps the pointer without a bdget reference.
#include "sim/fs.h"

#include <map>
#include <set>

#include "sim/blockdev.h"
#include "sim/disk.h"
#include "sim/internal.h"

namespace sim {

namespace {

constexpr unsigned kSector = 512;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr unsigned kExtSuperOffset = 1024;
constexpr uint64_t kMaxRunBytes = 256 * 1024; // one write-back request at most
// The lock class every super block's s_umount belongs to.
const struct lock_class_key sUmountKey = {0};

} // namespace

struct Mount {
    struct super_block sb {}; // s_frozen guarded by FileSystems::mu
    uint32_t dev = 0;
    uint64_t blocks = 0;
    unsigned sectorsPerBlock = 1;

    // Guarded by FileSystems::mu.
    int refs = 0;         // get_super and freeze_bdev references
    unsigned users = 0;   // machine-API readers, writers and syncs inside or waiting
    unsigned writing = 0; // writers past the freeze check, until they leave
    unsigned waiting = 0; // writers held back by a freeze
    bool going = false;   // being unmounted: neither found nor entered any more
    struct Dirty {
        std::vector<unsigned char> data;
        uint64_t seq; // which write put it there
    };
    std::map<uint64_t, Dirty> dirty;
    uint64_t seq = 0;

    // Held for a whole write-back, so that an older copy of a block can never reach the
    // device after a newer one.
    std::mutex writebackMu;
};

struct FileSystems {
    std::mutex mu;
    std::condition_variable cv; // s_frozen, writing, refs or held changed
    std::vector<std::unique_ptr<Mount>> mounts;
    // Block devices between freeze_bdev and thaw_bdev (the kernel's bd_mount_sem).
    std::set<const struct block_device*> held;
    // Devices whose contents each freeze records, and the records (record_freezes).
    std::set<uint32_t> recording;
    std::map<uint32_t, std::vector<std::vector<unsigned char>>> records;
};

namespace {

FileSystems& FS() { return *K().fs; }

Mount* by_bdev_locked(const struct block_device* bd)
{
    for (auto& m : FS().mounts)
        if (m->sb.s_bdev == bd && !m->going)
            return m.get();
    return nullptr;
}

Mount* by_dev_locked(uint32_t dev)
{
    for (auto& m : FS().mounts)
        if (m->dev == dev && !m->going)
            return m.get();
    return nullptr;
}

Mount* by_sb_locked(const struct super_block* sb)
{
    for (auto& m : FS().mounts)
        if (&m->sb == sb)
            return m.get();
    return nullptr;
}

std::string dev_name(uint32_t dev)
{
    return std::to_string(MAJOR(dev)) + ":" + std::to_string(MINOR(dev));
}

unsigned le16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void put_le16(unsigned char* p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put_le32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Whether dev names a block device of the machine.
bool device_exists(uint32_t dev)
{
    struct block_device* bd = bdget(dev);
    if (!bd)
        return false;
    bdput(bd);
    return true;
}

// The mount on dev with the caller counted among its users (leave with put_mount), so
// that it cannot be unmounted meanwhile. -ENODEV or -EINVAL as sim/fs.h says.
int get_mount(uint32_t dev, Mount** out)
{
    if (!device_exists(dev))
        return -ENODEV;
    std::lock_guard<std::mutex> g(FS().mu);
    Mount* m = by_dev_locked(dev);
    if (!m)
        return -EINVAL;
    m->users++;
    *out = m;
    return 0;
}

void put_mount(Mount* m)
{
    {
        std::lock_guard<std::mutex> g(FS().mu);
        m->users--;
    }
    FS().cv.notify_all();
}

// Writes the dirty blocks of m in [first, first + count) back through the block layer, in
// runs of consecutive blocks. A block written again meanwhile stays dirty with its newer
// contents; a block whose write failed stays dirty. 0, or the first error. The caller keeps
// the mount alive (a user, a super block reference, or the unmount itself).
int write_back(Mount& m, uint64_t first = 0, uint64_t count = UINT64_MAX)
{
    SparedFromFaults spared;
    std::unique_lock<std::mutex> wb(m.writebackMu, std::defer_lock);
    lock_off_cpu(wb); // held across the writes' sleeps
    struct Run {
        uint64_t block;
        std::vector<unsigned char> data;
        std::vector<uint64_t> seqs;
    };
    const size_t bs = m.sb.s_blocksize;
    std::vector<Run> runs;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        for (auto it = m.dirty.lower_bound(first); it != m.dirty.end() && it->first - first < count; ++it) {
            if (runs.empty() || runs.back().block + runs.back().seqs.size() != it->first ||
                runs.back().data.size() + bs > kMaxRunBytes)
                runs.push_back({it->first, {}, {}});
            Run& r = runs.back();
            r.data.insert(r.data.end(), it->second.data.begin(), it->second.data.end());
            r.seqs.push_back(it->second.seq);
        }
    }
    int result = 0;
    for (Run& r : runs) {
        int err = write_sectors(Machine::running(), m.dev, r.block * m.sectorsPerBlock, r.data.data(),
                                r.seqs.size() * m.sectorsPerBlock);
        if (err) {
            printk("<3>Buffer I/O error on device %s, logical block %llu\n",
                   bdev_name(m.sb.s_bdev).c_str(), static_cast<unsigned long long>(r.block));
            if (!result)
                result = err;
            continue;
        }
        std::lock_guard<std::mutex> g(FS().mu);
        for (size_t i = 0; i < r.seqs.size(); i++) {
            auto it = m.dirty.find(r.block + i);
            if (it != m.dirty.end() && it->second.seq == r.seqs[i])
                m.dirty.erase(it);
        }
    }
    return result;
}

// The size of a block device in 512-byte sectors (0 for a deleted partition), read under
// the partition-table lock as the block layer reads it.
uint64_t device_sectors(const struct block_device* bd)
{
    bool partition = bd->bd_part && bd->bd_contains && bd->bd_contains != bd;
    Disk* disk = disk_of(bd->bd_disk);
    std::unique_lock<std::mutex> g;
    if (disk)
        g = std::unique_lock<std::mutex>(disk->partMu);
    return partition ? bd->bd_part->nr_sects : get_capacity(bd->bd_disk);
}

// Finds the ext2/3/4 super block of dev: 0 with the block size and size in blocks, -EINVAL
// when there is none (or it is one this kernel cannot mount), -EIO when it cannot be read.
int probe_ext(uint32_t dev, uint64_t sectors, unsigned* blockSize, uint64_t* blocks)
{
    unsigned char sb[1024];
    if (sectors < (kExtSuperOffset + sizeof sb) / kSector)
        return -EINVAL;
    int err;
    {
        SparedFromFaults spared;
        err = read_sectors(Machine::running(), dev, kExtSuperOffset / kSector, sb, sizeof sb / kSector);
    }
    if (err)
        return -EIO;
    if (le16(sb + 56) != kExtMagic)
        return -EINVAL;
    uint32_t logSize = le32(sb + 24);
    if (logSize > 2) // larger than a page
        return -EINVAL;
    *blockSize = 1024u << logSize;
    *blocks = le32(sb + 4);
    return 0;
}

} // namespace

// ------------------------------------------------------------------ machine API

int mount_fs(Machine&, uint32_t dev, unsigned block_size)
{
    OnCpu onCpu; // a process's system call
    struct block_device* bd = bdget(dev);
    if (!bd)
        return -ENODEV;
    bdput(bd);
    auto busy = [&] { return by_bdev_locked(bd) != nullptr || FS().held.count(bd) != 0; };
    {
        std::lock_guard<std::mutex> g(FS().mu);
        if (busy())
            return -EBUSY;
    }
    uint64_t sectors = device_sectors(bd);
    uint64_t blocks = 0;
    if (block_size == 0) {
        int err = probe_ext(dev, sectors, &block_size, &blocks);
        if (err)
            return err;
        if (blocks == 0 || blocks > sectors / (block_size / kSector))
            return -EINVAL;
    } else {
        if (block_size != 512 && block_size != 1024 && block_size != 2048 && block_size != 4096)
            return -EINVAL;
        blocks = sectors / (block_size / kSector);
        if (blocks == 0)
            return -EINVAL;
    }
    auto m = std::make_unique<Mount>();
    m->dev = dev;
    m->blocks = blocks;
    m->sectorsPerBlock = block_size / kSector;
    m->sb.s_dev = dev;
    m->sb.s_blocksize = block_size;
    m->sb.s_blocksize_bits = static_cast<unsigned char>(__builtin_ctz(block_size));
    m->sb.s_bdev = bd;
    m->sb.s_frozen = SB_UNFROZEN;
    __init_rwsem(&m->sb.s_umount, "s_umount", &sUmountKey);
    lockdep_set_class_and_name(&m->sb.s_umount.dep_map, &sUmountKey, "s_umount");
    // The mount keeps its device open: a partition's table entry cannot be re-read under it.
    int err = blkdev_get(bd);
    if (err)
        return err;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        if (!busy()) { // not mounted or frozen by someone else meanwhile
            FS().mounts.push_back(std::move(m));
            return 0;
        }
    }
    blkdev_put(bd);
    return -EBUSY;
}

int unmount_fs(Machine&, uint32_t dev)
{
    OnCpu onCpu; // a process's system call
    if (!device_exists(dev))
        return -ENODEV;
    Mount* m;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        m = by_dev_locked(dev);
        if (!m)
            return -EINVAL;
        if (m->refs || m->users || m->sb.s_frozen != SB_UNFROZEN || FS().held.count(m->sb.s_bdev))
            return -EBUSY;
        m->going = true;
    }
    // Nobody can find the mount any more and nobody held it: s_umount is free at once, but
    // the unmount holds it as the kernel's does.
    down_write(&m->sb.s_umount);
    int err = write_back(*m);
    up_write(&m->sb.s_umount);
    std::unique_lock<std::mutex> g(FS().mu);
    if (err) {
        m->going = false;
        return err;
    }
    struct block_device* bd = m->sb.s_bdev;
    {
        auto& all = FS().mounts;
        for (auto it = all.begin(); it != all.end(); ++it) {
            if (it->get() == m) {
                all.erase(it);
                break;
            }
        }
    }
    g.unlock();
    blkdev_put(bd);
    return 0;
}

// get_mount for an I/O of count blocks at block: -EINVAL (and no use taken) past the end.
int get_mount_range(uint32_t dev, uint64_t block, uint32_t count, Mount** out)
{
    int err = get_mount(dev, out);
    if (err)
        return err;
    if (block >= (*out)->blocks || count > (*out)->blocks - block) {
        put_mount(*out);
        return -EINVAL;
    }
    return 0;
}

int fs_write(Machine&, uint32_t dev, uint64_t block, const void* data, uint32_t count, bool sync)
{
    OnCpu onCpu; // a process's system call
    might_sleep();
    Mount* m;
    int err = get_mount_range(dev, block, count, &m);
    if (err)
        return err;
    const size_t bs = m->sb.s_blocksize;
    {
        std::unique_lock<std::mutex> lk(FS().mu);
        if (m->sb.s_frozen != SB_UNFROZEN) {
            m->waiting++;
            wait_off_cpu(FS().cv, lk, [&] { return m->sb.s_frozen == SB_UNFROZEN; });
            m->waiting--;
        }
        m->writing++;
        auto* p = static_cast<const unsigned char*>(data);
        for (uint32_t i = 0; i < count; i++) {
            Mount::Dirty& d = m->dirty[block + i];
            d.data.assign(p + i * bs, p + (i + 1) * bs);
            d.seq = ++m->seq;
        }
    }
    int result = sync ? write_back(*m, block, count) : 0;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        m->writing--;
        m->users--;
    }
    FS().cv.notify_all();
    return result;
}

int fs_read(Machine&, uint32_t dev, uint64_t block, void* data, uint32_t count)
{
    OnCpu onCpu; // a process's system call
    might_sleep();
    Mount* m;
    int err = get_mount_range(dev, block, count, &m);
    if (err)
        return err;
    const size_t bs = m->sb.s_blocksize;
    auto* out = static_cast<unsigned char*>(data);
    std::vector<bool> cached(count);
    {
        std::lock_guard<std::mutex> g(FS().mu);
        for (uint32_t i = 0; i < count; i++) {
            auto it = m->dirty.find(block + i);
            if (it != m->dirty.end()) {
                memcpy(out + i * bs, it->second.data.data(), bs);
                cached[i] = true;
            }
        }
    }
    // Everything else from the device, in runs of blocks that were not cached.
    SparedFromFaults spared;
    for (uint32_t i = 0; i < count && !err;) {
        if (cached[i]) {
            i++;
            continue;
        }
        uint32_t n = 1;
        while (i + n < count && !cached[i + n])
            n++;
        err = read_sectors(Machine::running(), dev, (block + i) * m->sectorsPerBlock, out + i * bs,
                           uint64_t(n) * m->sectorsPerBlock);
        i += n;
    }
    put_mount(m);
    return err ? -EIO : 0;
}

namespace {

// Writes everything dirty of the mount on dev back; a remount does it holding the super
// block's s_umount for writing.
int write_back_dev(uint32_t dev, bool remount)
{
    OnCpu onCpu; // a process's system call
    might_sleep();
    Mount* m;
    int err = get_mount(dev, &m);
    if (err)
        return err;
    if (remount)
        down_write(&m->sb.s_umount);
    err = write_back(*m);
    if (remount)
        up_write(&m->sb.s_umount);
    put_mount(m);
    return err;
}

} // namespace

int fs_sync(Machine&, uint32_t dev) { return write_back_dev(dev, false); }

int remount_fs(Machine&, uint32_t dev) { return write_back_dev(dev, true); }

std::optional<MountInfo> mount_info(Machine&, uint32_t dev)
{
    std::lock_guard<std::mutex> g(FS().mu);
    Mount* m = by_dev_locked(dev);
    if (!m)
        return std::nullopt;
    MountInfo i;
    i.dev = dev;
    i.block_size = static_cast<unsigned>(m->sb.s_blocksize);
    i.blocks = m->blocks;
    i.frozen = m->sb.s_frozen;
    i.dirty_blocks = m->dirty.size();
    i.writers_waiting = m->waiting;
    i.references = m->refs;
    return i;
}

int record_freezes(Machine&, uint32_t dev)
{
    if (!device_exists(dev))
        return -ENODEV;
    std::lock_guard<std::mutex> g(FS().mu);
    FS().recording.insert(dev);
    return 0;
}

std::vector<std::vector<unsigned char>> take_freeze_records(Machine&, uint32_t dev)
{
    std::lock_guard<std::mutex> g(FS().mu);
    auto it = FS().records.find(dev);
    if (it == FS().records.end())
        return {};
    auto out = std::move(it->second);
    FS().records.erase(it);
    return out;
}

// Records the contents of a frozen device when they are being recorded. Called by
// freeze_bdev without FileSystems::mu once the write-back is done: the file system's
// writers wait, so the contents are those a snapshot taken now must hold.
static void record_frozen(struct block_device* bdev)
{
    {
        std::lock_guard<std::mutex> g(FS().mu);
        if (!FS().recording.count(bdev->bd_dev))
            return;
    }
    uint64_t sectors = bdev->bd_part ? bdev->bd_part->nr_sects : get_capacity(bdev->bd_disk);
    std::vector<unsigned char> image(sectors * 512);
    if (read_store(Machine::running(), bdev->bd_dev, 0, image.data(), sectors) != 0)
        image.clear();
    std::lock_guard<std::mutex> g(FS().mu);
    FS().records[bdev->bd_dev].push_back(std::move(image));
}

std::vector<unsigned char> make_ext2_super_block(unsigned block_size, uint32_t blocks)
{
    std::vector<unsigned char> sb(1024, 0);
    unsigned log = block_size <= 1024 ? 0 : block_size == 2048 ? 1 : 2;
    put_le32(&sb[4], blocks);                        // s_blocks_count
    put_le32(&sb[20], block_size == 1024 ? 1 : 0);   // s_first_data_block
    put_le32(&sb[24], log);                          // s_log_block_size
    put_le32(&sb[32], 8 * block_size);               // s_blocks_per_group
    put_le16(&sb[56], kExtMagic);                    // s_magic
    put_le16(&sb[58], 1);                            // s_state: clean
    return sb;
}

// ------------------------------------------------------------------ kernel side

void fs_boot(Kernel& k) { k.fs = new FileSystems; }

void fs_shutdown(Kernel& k)
{
    if (!k.fs)
        return;
    // A clean shutdown: what the file systems hold dirty reaches the disks.
    for (auto& m : k.fs->mounts)
        write_back(*m);
    delete k.fs;
    k.fs = nullptr;
}

std::string fs_report(Kernel& k)
{
    std::string out;
    std::lock_guard<std::mutex> g(k.fs->mu);
    for (auto& m : k.fs->mounts) {
        if (m->refs)
            out += "super block of " + dev_name(m->dev) + ": " + std::to_string(m->refs) +
                   " reference(s) held\n";
        if (m->sb.s_frozen != SB_UNFROZEN)
            out += "file system on " + dev_name(m->dev) + " frozen\n";
    }
    for (const struct block_device* bd : k.fs->held)
        out += "block device " + dev_name(bd->bd_dev) + ": freeze_bdev without thaw_bdev\n";
    return out;
}

} // namespace sim

using sim::FS;
using sim::K;
using sim::Mount;

struct super_block* get_super(struct block_device* bdev)
{
    if (!bdev)
        return NULL;
    might_sleep();
    Mount* m;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        m = sim::by_bdev_locked(bdev);
        if (!m)
            return NULL;
        m->refs++; // keeps the mount from going while s_umount is waited for
    }
    down_read(&m->sb.s_umount);
    return &m->sb;
}

void drop_super(struct super_block* sb)
{
    {
        std::lock_guard<std::mutex> g(FS().mu);
        Mount* m = sim::by_sb_locked(sb);
        if (!m || m->refs <= 0) {
            K().report_bug("drop_super of a super block that holds no reference");
            return;
        }
    }
    // The reference keeps the mount until it is dropped below.
    up_read(&sb->s_umount);
    {
        std::lock_guard<std::mutex> g(FS().mu);
        sim::by_sb_locked(sb)->refs--;
    }
    FS().cv.notify_all();
}

struct super_block* freeze_bdev(struct block_device* bdev)
{
    might_sleep();
    if (!bdev) {
        K().report_bug("freeze_bdev of a NULL block device");
        return NULL;
    }
    std::unique_lock<std::mutex> lk(FS().mu);
    sim::wait_off_cpu(FS().cv, lk, [&] { return FS().held.count(bdev) == 0; });
    FS().held.insert(bdev);
    Mount* m = sim::by_bdev_locked(bdev);
    if (!m)
        return NULL; // nothing mounted; raw writes leave nothing dirty behind
    m->refs++;
    // The freeze keeps s_umount held for reading until the thaw, as get_super leaves it.
    lk.unlock();
    down_read(&m->sb.s_umount);
    lk.lock();
    m->sb.s_frozen = SB_FREEZE_WRITE;
    sim::wait_off_cpu(FS().cv, lk, [&] { return m->writing == 0; });
    lk.unlock();
    // Errors are logged by the write-back; the freeze holds either way, as the kernel's.
    sim::write_back(*m);
    sim::record_frozen(bdev);
    lk.lock();
    m->sb.s_frozen = SB_FREEZE_TRANS;
    return &m->sb;
}

void thaw_bdev(struct block_device* bdev, struct super_block* sb)
{
    if (!bdev) {
        K().report_bug("thaw_bdev of a NULL block device");
        return;
    }
    {
        std::lock_guard<std::mutex> g(FS().mu);
        if (!FS().held.count(bdev)) {
            K().report_bug("thaw_bdev of a block device that freeze_bdev does not hold");
            return;
        }
        if (sb) {
            Mount* m = sim::by_sb_locked(sb);
            if (!m || sb->s_bdev != bdev || sb->s_frozen == SB_UNFROZEN || m->refs <= 0) {
                K().report_bug("thaw_bdev with a super block that freeze_bdev did not return");
            } else {
                sb->s_frozen = SB_UNFROZEN;
                up_read(&sb->s_umount);
                m->refs--;
            }
        }
        FS().held.erase(bdev);
    }
    FS().cv.notify_all();
}

int fsync_bdev(struct block_device* bdev)
{
    might_sleep();
    struct super_block* sb = get_super(bdev);
    if (!sb)
        return 0; // raw writes to the device are never held back
    Mount* m;
    {
        std::lock_guard<std::mutex> g(FS().mu);
        m = sim::by_sb_locked(sb);
    }
    int err = sim::write_back(*m);
    drop_super(sb);
    return err;
}
