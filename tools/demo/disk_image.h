// Disk images with real ext2/3/4 file systems for the demo and the tests: a tree of files
// of varied sizes, file systems made from it by e2fsprogs' mkfs, a disk image with an MBR
// and one partition per file system, and what libext2fs says of a file system's files.
//
// Errors are thrown as std::runtime_error with a one-line message.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/ext_source.h"
#include "sim/disk.h"

namespace demo {

// Writes `files` files of varied sizes (empty, a few bytes, many blocks) under dir, spread
// over a few subdirectories, with contents from the seed. Returns the bytes written.
uint64_t populate_tree(const std::string& dir, unsigned files, uint64_t seed, uint64_t max_file_bytes = 192 * 1024);

struct FsSpec {
    std::string type = "ext4"; // ext2, ext3 or ext4: mkfs.<type>
    uint32_t block_size = 4096;
    uint64_t bytes = 32 << 20;
    std::string source_dir;    // populated from it (mkfs -d) when not empty
};

// Makes the file system in a file of spec.bytes at path (created or replaced).
void make_file_system(const std::string& path, const FsSpec& spec);

// Makes a disk image at path: an MBR, then one primary partition per file system, each
// starting on a 1 MiB boundary. Returns the partitions as the MBR lists them.
std::vector<sim::Partition> make_disk_image(const std::string& path, const std::vector<FsSpec>& file_systems);

// A regular file of a file system and the file-system blocks that hold its data, in the
// order of the file (0 for a hole).
struct FileInfo {
    std::string path; // from the root, "/dir/name"
    uint64_t size = 0;
    std::vector<uint64_t> blocks;
};

// Every regular file of the open file system.
std::vector<FileInfo> list_files(ext2_filsys fs);
// The contents of the regular file at path.
std::vector<uint8_t> read_file(ext2_filsys fs, const std::string& path);
// The contents of every regular file, by path.
std::map<std::string, std::vector<uint8_t>> read_all_files(ext2_filsys fs);

// The paths whose contents differ between two file systems, or that only one of them has.
std::vector<std::string> differing_files(ext2_filsys a, ext2_filsys b);

// The demo's disk: an image with an ext4 file system of 4096-byte blocks holding a tree of
// a few hundred files of varied sizes on partition 1, and an ext2 file system of 1024-byte
// blocks holding part of that tree on partition 2.
struct DemoDisk {
    std::string image;                   // the disk image
    std::vector<FsSpec> file_systems;    // partition i + 1 holds file_systems[i]
    std::vector<sim::Partition> partitions;
    unsigned files = 0;                  // files in the tree
};
// Makes it under dir (a scratch directory that must exist): dir/disk.img, from a tree
// written to dir/tree. ext4_bytes and ext2_bytes size the two file systems.
DemoDisk make_demo_disk(const std::string& dir, uint64_t seed = 1, unsigned files = 300,
                        uint64_t ext4_bytes = 48 << 20, uint64_t ext2_bytes = 16 << 20);

// The regular files of the file system on partition i + 1 of the demo's image, read from
// the image file (not while a machine has it mounted). Throws when it cannot be read.
std::vector<FileInfo> partition_files(const DemoDisk& d, size_t i);

// A BlockReadFn over bytes in memory (an image of a device), in blocks of block_size.
agent::BlockReadFn memory_reader(const std::vector<uint8_t>& image, uint32_t block_size);
// A BlockReadFn over a range of a host file: length bytes at offset, in blocks of block_size.
agent::BlockReadFn file_reader(const std::string& path, uint64_t offset, uint32_t block_size);

struct CheckResult {
    int exit_code = -1; // e2fsck's: 0 clean, 4 errors left, 8 operational error...
    std::string output;
    bool clean() const { return exit_code == 0; }
};
// Runs `e2fsck -fn` on the file system in the file at path.
CheckResult check_file_system(const std::string& path);

// Runs a program (looked up in PATH, /sbin and /usr/sbin) and returns its exit code (or
// -1 when it could not run or was killed) and its standard output and error together.
CheckResult run_program(const std::vector<std::string>& argv);

} // namespace demo
