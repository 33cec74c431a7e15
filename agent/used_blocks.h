// Which blocks of a device an ext2/3/4 file system uses, read through libext2fs from any
// source of device blocks (for the agent: the snapshot, through the read-blocks command).
//
// Only the super block, the group descriptors and the block bitmaps are read. A device
// whose content is not an ext2/3/4 file system, or whose metadata cannot be read, is
// reported as using every block: a backup of it must take everything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "agent/control.h"
#include "agent/ext_source.h"

namespace agent {

struct UsedBlocks {
    // True when an ext2/3/4 file system was found and its bitmaps read; false when every
    // block is counted as used.
    bool from_file_system = false;
    std::string fs_type;        // "ext2", "ext3" or "ext4"; "" when none was read
    uint32_t fs_block_size = 0; // the file system's block size
    uint64_t fs_blocks = 0;     // its size in its own blocks
    BlockBitmap used;           // one bit per device block
    // Why every block is taken, when from_file_system is false.
    std::string why_all;
    // Device blocks read to find the used ones.
    uint32_t blocks_read = 0;
};

// The used blocks of a device of device_blocks blocks of block_size bytes (a multiple of
// 512). Blocks before the file system's first data block (the boot block of a file system
// of 1024-byte blocks) count as used; blocks past the end of the file system as unused.
// A device block is used when any part of a used file-system block lies in it. Never
// fails: a device that cannot be read as ext2/3/4 uses every block.
UsedBlocks find_used_blocks(const BlockReadFn& read, uint32_t block_size, uint32_t device_blocks);

} // namespace agent
