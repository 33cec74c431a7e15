#include "agent/ext_source.h"

#include <et/com_err.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace agent {

struct ExtSource::Source {
    BlockReadFn read;
    uint32_t block_size = 0;
    uint64_t blocks = 0;
    std::map<uint32_t, std::vector<uint8_t>> cache;
    uint32_t blocks_read = 0;
    bool read_failed = false;
};

namespace {

// ------------------------------------------------------------------ the I/O manager
//
// libext2fs opens a device by name through an I/O manager. Ours serves a "device" that is
// a BlockReadFn registered under a unique name while its ExtSource lives, read only. The
// last device blocks read are kept: libext2fs reads the super block and the group
// descriptors several times and at several block sizes.

constexpr size_t kCachedBlocks = 1024;

std::mutex g_sourcesMu;
std::map<std::string, ExtSource::Source*> g_sources; // guarded by g_sourcesMu
unsigned long g_nextSource = 0;          // guarded by g_sourcesMu

io_manager our_manager();

ExtSource::Source* source_of(io_channel ch) { return static_cast<ExtSource::Source*>(ch->private_data); }

// Copies len bytes at byte offset off of the device into out: cached blocks from the
// cache, the others read in runs, and kept for the next reads.
errcode_t read_bytes(ExtSource::Source& s, uint64_t off, uint8_t* out, uint64_t len)
{
    if (len == 0)
        return 0;
    const uint64_t bs = s.block_size;
    const uint64_t first = off / bs, last = (off + len - 1) / bs;
    if (last >= s.blocks || last - first >= UINT32_MAX)
        return EXT2_ET_SHORT_READ;
    const uint32_t n = static_cast<uint32_t>(last - first + 1);
    std::vector<uint8_t> whole(size_t(n) * bs);
    for (uint32_t i = 0; i < n;) {
        auto hit = s.cache.find(static_cast<uint32_t>(first + i));
        if (hit != s.cache.end()) {
            memcpy(whole.data() + size_t(i) * bs, hit->second.data(), bs);
            i++;
            continue;
        }
        uint32_t run = 1;
        while (i + run < n && !s.cache.count(static_cast<uint32_t>(first + i + run)))
            run++;
        if (s.read(static_cast<uint32_t>(first + i), run, whole.data() + size_t(i) * bs) != 0) {
            s.read_failed = true;
            return EXT2_ET_SHORT_READ;
        }
        s.blocks_read += run;
        i += run;
    }
    if (s.cache.size() + n > kCachedBlocks)
        s.cache.clear();
    if (n <= kCachedBlocks)
        for (uint32_t i = 0; i < n; i++)
            s.cache[static_cast<uint32_t>(first + i)].assign(whole.begin() + size_t(i) * bs,
                                                             whole.begin() + size_t(i + 1) * bs);
    memcpy(out, whole.data() + (off - first * bs), len);
    return 0;
}

errcode_t src_open(const char* name, int flags, io_channel* channel)
{
    if (flags & IO_FLAG_RW)
        return EXT2_ET_RO_FILSYS;
    ExtSource::Source* s = nullptr;
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

} // namespace

ExtSource::ExtSource(BlockReadFn read, uint32_t block_size, uint64_t blocks)
    : src_(std::make_unique<Source>())
{
    src_->read = std::move(read);
    src_->block_size = block_size;
    src_->blocks = blocks;
    {
        std::lock_guard<std::mutex> g(g_sourcesMu);
        name_ = "kestrel-source-" + std::to_string(g_nextSource++);
        g_sources[name_] = src_.get();
    }
    err_ = ext2fs_open2(name_.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, our_manager(), &fs_);
    if (err_)
        fs_ = nullptr;
}

ExtSource::~ExtSource()
{
    if (fs_)
        ext2fs_close_free(&fs_);
    std::lock_guard<std::mutex> g(g_sourcesMu);
    g_sources.erase(name_);
}

bool ExtSource::read_failed() const { return src_->read_failed; }
uint32_t ExtSource::blocks_read() const { return src_->blocks_read; }

std::string ExtSource::type() const
{
    if (!fs_)
        return "";
    ext2_super_block* sb = fs_->super;
    if (ext2fs_has_feature_extents(sb) || ext2fs_has_feature_flex_bg(sb) ||
        ext2fs_has_feature_64bit(sb) || ext2fs_has_feature_metadata_csum(sb) ||
        ext2fs_has_feature_gdt_csum(sb) || ext2fs_has_feature_huge_file(sb))
        return "ext4";
    return ext2fs_has_feature_journal(sb) ? "ext3" : "ext2";
}

std::string ext_error_text(errcode_t err)
{
    static std::once_flag once;
    std::call_once(once, [] { initialize_ext2_error_table(); });
    return error_message(err);
}

} // namespace agent
