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

// The last device blocks read are kept: libext2fs reads the super block and the group
// descriptors several times and at several block sizes.
constexpr size_t kCachedBlocks = 1024;

// Copies len bytes at byte offset off of the device into out: cached blocks from the
// cache, the others read in runs, and kept for the next reads.
errcode_t read_bytes(ExtSource::Source& s, uint64_t off, uint64_t len, uint8_t* out)
{
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

} // namespace

ExtSource::ExtSource(BlockReadFn read, uint32_t block_size, uint64_t blocks)
    : src_(std::make_unique<Source>())
{
    src_->read = std::move(read);
    src_->block_size = block_size;
    src_->blocks = blocks;
    dev_ = std::make_unique<extdev::ExtDevice>(
        [s = src_.get()](uint64_t off, uint64_t len, uint8_t* out) { return read_bytes(*s, off, len, out); });
    err_ = dev_->open(&fs_);
    if (err_)
        fs_ = nullptr;
}

ExtSource::~ExtSource()
{
    if (fs_)
        ext2fs_close_free(&fs_);
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
