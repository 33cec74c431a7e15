#include "agent/used_blocks.h"

#include <ext2fs/ext2fs.h>
#include <et/com_err.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace agent {

namespace {

// ------------------------------------------------------------------ the I/O manager
//
// libext2fs opens a device by name through an I/O manager. Ours serves a "device" that is
// a BlockReadFn registered under a unique name for the time of one find_used_blocks call,
// read only, with the device blocks it has read kept for the rest of the call (libext2fs
// reads the super block several times and at several block sizes).

struct Source {
    const BlockReadFn* read = nullptr;
    uint32_t block_size = 0;
    uint32_t blocks = 0;
    std::map<uint32_t, std::vector<uint8_t>> cache;
    uint32_t blocks_read = 0;
    bool read_failed = false;
};

std::mutex g_sourcesMu;
std::map<std::string, Source*> g_sources; // guarded by g_sourcesMu
unsigned long g_nextSource = 0;          // guarded by g_sourcesMu

// Registers a source under a fresh name for as long as it lives.
class Registration {
public:
    explicit Registration(Source& s)
    {
        std::lock_guard<std::mutex> g(g_sourcesMu);
        name_ = "kestrel-snapshot-" + std::to_string(g_nextSource++);
        g_sources[name_] = &s;
    }
    ~Registration()
    {
        std::lock_guard<std::mutex> g(g_sourcesMu);
        g_sources.erase(name_);
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

io_manager our_manager();

Source* source_of(io_channel ch) { return static_cast<Source*>(ch->private_data); }

// Copies len bytes at byte offset off of the device into out, reading the device blocks
// it has not read yet in runs.
errcode_t read_bytes(Source& s, uint64_t off, uint8_t* out, uint64_t len)
{
    if (len == 0)
        return 0;
    uint64_t first = off / s.block_size, last = (off + len - 1) / s.block_size;
    if (last >= s.blocks)
        return EXT2_ET_SHORT_READ;
    for (uint64_t b = first; b <= last;) {
        if (s.cache.count(static_cast<uint32_t>(b))) {
            b++;
            continue;
        }
        uint64_t end = b + 1;
        while (end <= last && !s.cache.count(static_cast<uint32_t>(end)) && end - b < 64)
            end++;
        uint32_t n = static_cast<uint32_t>(end - b);
        std::vector<uint8_t> run(size_t(n) * s.block_size);
        if ((*s.read)(static_cast<uint32_t>(b), n, run.data()) != 0) {
            s.read_failed = true;
            return EXT2_ET_SHORT_READ;
        }
        s.blocks_read += n;
        for (uint32_t i = 0; i < n; i++)
            s.cache[static_cast<uint32_t>(b + i)].assign(run.begin() + size_t(i) * s.block_size,
                                                         run.begin() + size_t(i + 1) * s.block_size);
        b = end;
    }
    for (uint64_t b = first; b <= last; b++) {
        const std::vector<uint8_t>& blk = s.cache[static_cast<uint32_t>(b)];
        uint64_t from = std::max<uint64_t>(off, b * s.block_size);
        uint64_t to = std::min<uint64_t>(off + len, (b + 1) * s.block_size);
        memcpy(out + (from - off), blk.data() + (from - b * s.block_size), to - from);
    }
    return 0;
}

errcode_t src_open(const char* name, int flags, io_channel* channel)
{
    if (flags & IO_FLAG_RW)
        return EXT2_ET_RO_FILSYS;
    Source* s = nullptr;
    {
        std::lock_guard<std::mutex> g(g_sourcesMu);
        auto it = g_sources.find(name ? name : "");
        if (it != g_sources.end())
            s = it->second;
    }
    if (!s)
        return EXT2_ET_BAD_DEVICE_NAME;
    auto* ch = new struct_io_channel{};
    ch->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    ch->manager = our_manager();
    ch->name = strdup(name);
    ch->block_size = 1024;
    ch->refcount = 1;
    ch->private_data = s;
    *channel = ch;
    return 0;
}

errcode_t src_close(io_channel ch)
{
    if (--ch->refcount > 0)
        return 0;
    free(ch->name);
    delete ch;
    return 0;
}

errcode_t src_set_blksize(io_channel ch, int blksize)
{
    if (blksize <= 0)
        return EXT2_ET_INVALID_ARGUMENT;
    ch->block_size = blksize;
    return 0;
}

errcode_t src_read_blk64(io_channel ch, unsigned long long block, int count, void* data)
{
    uint64_t len = count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * uint64_t(ch->block_size);
    return read_bytes(*source_of(ch), block * uint64_t(ch->block_size), static_cast<uint8_t*>(data), len);
}

errcode_t src_read_blk(io_channel ch, unsigned long block, int count, void* data)
{
    return src_read_blk64(ch, block, count, data);
}

errcode_t src_write_blk(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t src_write_blk64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t src_flush(io_channel) { return 0; }
errcode_t src_set_option(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct_io_manager make_manager()
{
    struct_io_manager m{};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "kestrel snapshot I/O manager";
    m.open = src_open;
    m.close = src_close;
    m.set_blksize = src_set_blksize;
    m.read_blk = src_read_blk;
    m.write_blk = src_write_blk;
    m.flush = src_flush;
    m.set_option = src_set_option;
    m.read_blk64 = src_read_blk64;
    m.write_blk64 = src_write_blk64;
    return m;
}

io_manager our_manager()
{
    static struct_io_manager m = make_manager();
    return &m;
}

// The open file system, closed when it goes out of scope.
struct Fs {
    ext2_filsys fs = nullptr;
    ~Fs()
    {
        if (fs)
            ext2fs_close_free(&fs);
    }
};

std::string ext_type(ext2_super_block* sb)
{
    if (ext2fs_has_feature_extents(sb) || ext2fs_has_feature_flex_bg(sb) ||
        ext2fs_has_feature_64bit(sb) || ext2fs_has_feature_metadata_csum(sb) ||
        ext2fs_has_feature_gdt_csum(sb) || ext2fs_has_feature_huge_file(sb))
        return "ext4";
    return ext2fs_has_feature_journal(sb) ? "ext3" : "ext2";
}

std::string ext_error(errcode_t err)
{
    static std::once_flag once;
    std::call_once(once, [] { initialize_ext2_error_table(); });
    return error_message(err);
}

UsedBlocks all_blocks(UsedBlocks u, uint32_t device_blocks, std::string why)
{
    u.from_file_system = false;
    u.used = BlockBitmap(device_blocks, true);
    u.why_all = std::move(why);
    return u;
}

} // namespace

UsedBlocks find_used_blocks(const BlockReadFn& read, uint32_t block_size, uint32_t device_blocks)
{
    UsedBlocks u;
    Source src;
    src.read = &read;
    src.block_size = block_size;
    src.blocks = device_blocks;
    Registration reg(src);

    Fs f;
    errcode_t err = ext2fs_open2(reg.name().c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, our_manager(), &f.fs);
    u.blocks_read = src.blocks_read;
    if (err) {
        f.fs = nullptr;
        if (err == EXT2_ET_BAD_MAGIC)
            return all_blocks(std::move(u), device_blocks, "no ext2/3/4 file system found");
        if (src.read_failed)
            return all_blocks(std::move(u), device_blocks, "the file system's super block could not be read");
        return all_blocks(std::move(u), device_blocks, "the file system could not be opened: " + ext_error(err));
    }
    u.fs_type = ext_type(f.fs->super);
    u.fs_block_size = f.fs->blocksize;
    u.fs_blocks = ext2fs_blocks_count(f.fs->super);
    err = ext2fs_read_block_bitmap(f.fs);
    u.blocks_read = src.blocks_read;
    if (err)
        return all_blocks(std::move(u), device_blocks,
                          "the block bitmaps of the " + u.fs_type + " file system could not be read: " + ext_error(err));

    u.from_file_system = true;
    u.used = BlockBitmap(device_blocks);
    const uint64_t fbs = u.fs_block_size;
    auto mark = [&](uint64_t fsBlock) {
        uint64_t first = fsBlock * fbs / block_size, last = ((fsBlock + 1) * fbs - 1) / block_size;
        for (uint64_t d = first; d <= last && d < device_blocks; d++)
            u.used.set(static_cast<uint32_t>(d));
    };
    const uint64_t firstData = f.fs->super->s_first_data_block;
    for (uint64_t b = 0; b < firstData && b < u.fs_blocks; b++)
        mark(b);
    for (uint64_t b = firstData; b < u.fs_blocks; b++)
        if (ext2fs_test_block_bitmap2(f.fs->block_map, b))
            mark(b);
    return u;
}

} // namespace agent
