// The machine-facing side of file systems: mounting a block device, writers and readers that
// go through a mounted file system, and what a test needs to see of a mount.
//
// A mounted file system keeps the blocks written through it in a write-back cache: they
// reach the device, through the block layer, only when they are written back (fs_sync,
// fsync_bdev, freeze_bdev, unmount, or a synchronous write). While the file system is
// frozen (between freeze_bdev and thaw_bdev) its writers wait; readers do not. Raw I/O on
// the device (sim/disk.h) never goes through the file system and is not held back.
//
// Device numbers are the kernel's; block numbers count file-system blocks from the start of
// the device. Every operation returns 0 or a negative kernel error: -ENODEV when the number
// names no block device of the machine, -EINVAL when nothing is mounted on it (operations
// other than mount_fs). The functions may be called from any host thread, but not from the
// completion context nor with a spin lock held: they sleep.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

class Machine;

// Mounts the block device dev. block_size 0 probes the device for an ext2/3/4 super block
// (1024 bytes at byte 1024, magic 0xEF53): the block size is 1024 << s_log_block_size and
// the file system's size is its s_blocks_count. A non-zero block_size (512, 1024, 2048 or
// 4096) mounts without a probe; the size is then the device's, in whole blocks.
// -EINVAL: no super block found, an unsupported block size, or a file system larger than
// the device; -EBUSY: something is mounted on the device, or it is held by a freeze;
// -EIO: the super block could not be read.
int mount_fs(Machine& m, uint32_t dev, unsigned block_size = 0);

// Writes everything dirty back and unmounts. -EBUSY while the super block is referenced
// (get_super without drop_super), frozen, or in use by a reader or writer; -EIO when the
// write-back failed (the file system then stays mounted with its dirty blocks).
int unmount_fs(Machine& m, uint32_t dev);

// Remounts the file system (with the same options): holds its super block's s_umount for
// writing, which waits until every holder of it for reading (get_super, a freeze) is done
// and keeps new ones waiting meanwhile, and writes everything dirty back.
int remount_fs(Machine& m, uint32_t dev);

// Writes count blocks from data at block through the file system: waits while the file
// system is frozen, then puts the blocks in the write-back cache. With sync, also writes
// them back through the block layer before returning (the writer stays inside the file
// system meanwhile, so a freeze waits for it). -EINVAL for blocks past the end; -EIO when a
// synchronous write-back failed (the blocks stay dirty).
int fs_write(Machine& m, uint32_t dev, uint64_t block, const void* data, uint32_t count = 1,
             bool sync = false);

// Reads count blocks at block: the dirty cached contents where there are some, else the
// device's through the block layer. Does not wait for a freeze. -EINVAL past the end; -EIO.
int fs_read(Machine& m, uint32_t dev, uint64_t block, void* data, uint32_t count = 1);

// Writes back every dirty block through the block layer, as fsync_bdev does. -EIO when a
// write failed (the blocks that could not be written stay dirty).
int fs_sync(Machine& m, uint32_t dev);

struct MountInfo {
    uint32_t dev = 0;
    unsigned block_size = 0;
    uint64_t blocks = 0;          // size of the file system in blocks
    int frozen = 0;               // s_frozen: 0 unfrozen, 1 writers stopped, 2 frozen
    uint64_t dirty_blocks = 0;    // blocks in the write-back cache not yet on the device
    unsigned writers_waiting = 0; // writers held back by a freeze
    int references = 0;          // super block references taken by get_super or freeze_bdev
};

// What is mounted on dev, or nothing.
std::optional<MountInfo> mount_info(Machine& m, uint32_t dev);

// The contents of a device at the moment its file system is frozen, for tests and demos
// that check a snapshot against what it must hold (the module never sees this). Once
// record_freezes is called for dev, every later freeze_bdev of it records the whole
// device, read from its backing store after the write-back, while the file system's
// writers wait; take_freeze_records hands over the records made since, oldest first (an
// empty record when the store could not be read). -ENODEV for a number that names no
// block device.
int record_freezes(Machine& m, uint32_t dev);
std::vector<std::vector<unsigned char>> take_freeze_records(Machine& m, uint32_t dev);

// A 1024-byte ext2 super block with the given block size (1024, 2048 or 4096) and size in
// blocks, for tests and tools that lay out a disk image: write it at byte 1024 of the device.
std::vector<unsigned char> make_ext2_super_block(unsigned block_size, uint32_t blocks);

} // namespace sim
