// Sources of backups for the repository's tests: synthetic devices in memory, and ext2/ext4
// images made by mkfs.ext4 -d from a tree of files.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "repo/repository.h"

namespace repo_test {

// A device of blocks in memory with the map of the blocks its file system uses.
struct Device {
    Device(uint32_t block_size, uint64_t blocks);

    uint32_t block_size;
    uint64_t blocks;
    std::vector<uint8_t> data;
    std::vector<bool> used;

    uint8_t* block(uint64_t b) { return data.data() + b * block_size; }
    const uint8_t* block(uint64_t b) const { return data.data() + b * block_size; }
    // Fills block `b` with bytes from `seed` and marks it used.
    void write(uint64_t b, uint32_t seed);
    // Marks `b` unused; its bytes stay on the device as a freed block's do.
    void release(uint64_t b) { used[b] = false; }
    // What a restore of a backup of this device must give: used blocks, zeros elsewhere.
    std::vector<uint8_t> expected_image() const;
};

// A device with about `used_fraction` of its blocks used, with random contents.
Device random_device(uint32_t block_size, uint64_t blocks, double used_fraction, uint32_t seed);

struct BackupPlan {
    std::string source = "test-device";
    std::string fs_type = "raw";
    std::optional<std::string> parent;
    // With a parent: the blocks put; every other used block is kept. Without: ignored.
    std::set<uint64_t> changed;
    int64_t snapshot_time = 1'700'000'000;
    unsigned threads = 2;
    std::string host;
    std::vector<std::string> tags;
    bool check_all_reused = false;  // read back every chunk the repository has (--full)
};

// Writes a backup of `dev` (every used block put, or with a parent only the changed ones)
// and returns its id.
std::string write_backup(repo::Repository& r, const Device& dev, const BackupPlan& plan = {});

// The image a restore of backup `id` gives, read through the repository's Env.
std::vector<uint8_t> restore_image(repo::Repository& r, repo::Env& env, const std::string& id,
                                   const std::string& target);

// A temporary directory on the host, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Fills `dir` (created) with a tree of files of varied sizes, subdirectories, an empty file,
// a sparse file and symlinks.
void make_tree(const std::string& dir, uint32_t seed, int files);

// Makes an ext2/ext3/ext4 image of `blocks` blocks of `block_size` at `image` from `tree`
// with mkfs.ext4 -d, and loads it with the file system's used blocks.
Device make_ext_image(const std::string& image, const std::string& type, uint32_t block_size,
                      uint64_t blocks, const std::string& tree);
// Loads an image file with the used blocks of the ext2/3/4 file system on it.
Device load_ext_image(const std::string& image, uint32_t block_size);

// Renames the directory entry of inode `ino` named `from` to `to` (of the same length) in an
// ext2/3/4 image in place, whatever bytes `to` holds: for hostile images. The image must have
// no directory checksums (mkfs.ext4 -O ^metadata_csum, or ext2).
void rename_entry(const std::string& image, uint32_t ino, const std::string& from, const std::string& to);
// The blank-separated word after the first `key` in `text` from `from`, or "".
std::string word_after(const std::string& text, const std::string& key, size_t from = 0);
// The inode number of `path` in an image, from debugfs.
uint32_t inode_of(const std::string& image, const std::string& path);

std::string read_host_file(const std::string& path);
// Runs a shell command; returns its exit status and puts its output (stdout and stderr) in
// `output`.
int run(const std::string& command, std::string* output = nullptr);

} // namespace repo_test
