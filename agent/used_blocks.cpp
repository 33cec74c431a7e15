#include "agent/used_blocks.h"

#include "agent/ext_source.h"

namespace agent {

namespace {

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
    ExtSource src(read, block_size, device_blocks);
    u.blocks_read = src.blocks_read();
    if (!src.fs()) {
        if (src.not_ext())
            return all_blocks(std::move(u), device_blocks, "no ext2/3/4 file system found");
        if (src.read_failed())
            return all_blocks(std::move(u), device_blocks, "the file system's super block could not be read");
        return all_blocks(std::move(u), device_blocks,
                          "the file system could not be opened: " + ext_error_text(src.error()));
    }
    ext2_filsys fs = src.fs();
    u.fs_type = src.type();
    u.fs_block_size = fs->blocksize;
    u.fs_blocks = ext2fs_blocks_count(fs->super);
    errcode_t err = ext2fs_read_block_bitmap(fs);
    u.blocks_read = src.blocks_read();
    if (err)
        return all_blocks(std::move(u), device_blocks,
                          "the block bitmaps of the " + u.fs_type + " file system could not be read: " +
                              ext_error_text(err));

    u.from_file_system = true;
    u.used = BlockBitmap(device_blocks);
    const uint64_t fbs = u.fs_block_size;
    auto mark = [&](uint64_t fsBlock) {
        uint64_t first = fsBlock * fbs / block_size, last = ((fsBlock + 1) * fbs - 1) / block_size;
        for (uint64_t d = first; d <= last && d < device_blocks; d++)
            u.used.set(static_cast<uint32_t>(d));
    };
    const uint64_t firstData = fs->super->s_first_data_block;
    for (uint64_t b = 0; b < firstData && b < u.fs_blocks; b++)
        mark(b);
    for (uint64_t b = firstData; b < u.fs_blocks; b++)
        if (ext2fs_test_block_bitmap2(fs->block_map, b))
            mark(b);
    return u;
}

} // namespace agent
