// An ext2/3/4 file system opened read only through libext2fs over any source of device
// blocks: the snapshot through the read-blocks command, a disk image, memory. libext2fs
// reaches the blocks through an I/O manager of ours that serves the source.
#pragma once

#include "repo/ext_device.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace agent {

// Reads count device blocks starting at first into out (count * block size bytes).
// Returns 0, or a non-zero status when any of them could not be read.
using BlockReadFn = std::function<int(uint32_t first, uint32_t count, uint8_t* out)>;

class ExtSource {
public:
    // Opens the file system on a device of `blocks` blocks of block_size bytes. Check
    // fs() for success; error() and error_text() say why it failed.
    ExtSource(BlockReadFn read, uint32_t block_size, uint64_t blocks);
    ~ExtSource();
    ExtSource(const ExtSource&) = delete;
    ExtSource& operator=(const ExtSource&) = delete;

    // The open file system (read only), or null.
    ext2_filsys fs() const { return fs_; }
    errcode_t error() const { return err_; }
    // No ext2/3/4 super block on the device.
    bool not_ext() const { return err_ == EXT2_ET_BAD_MAGIC; }
    // Whether a read of the source failed since the file system was opened.
    bool read_failed() const;
    // Device blocks read from the source so far.
    uint32_t blocks_read() const;
    // "ext2", "ext3" or "ext4" by the features of the open file system.
    std::string type() const;

    struct Source; // what the I/O manager serves

private:
    std::unique_ptr<Source> src_;
    std::unique_ptr<extdev::ExtDevice> dev_;
    ext2_filsys fs_ = nullptr;
    errcode_t err_ = 0;
};

// libext2fs's message for an error code.
std::string ext_error_text(errcode_t err);

} // namespace agent
