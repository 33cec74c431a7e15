// File-level access to a backed-up ext2/3/4 file system through libext2fs, reading blocks
// from the backup (never restoring it in full).
#pragma once

#include "repo/repository.h"

namespace repo {

// The entries of directory `path` (or the one entry when `path` is not a directory). With
// `isolate`, the file system is read in a child process (see repo/isolate.h).
std::vector<FsEntry> fs_list(Repository::BlockReader& backup, const std::string& path, bool isolate = true);

// One entry of a whole backed-up file system, with where its blocks lie: what comparing two
// backups file by file needs.
struct FsNode {
    std::string path;          // absolute; `entry.name` is its last component
    FsEntry entry;
    int64_t ctime = 0;
    // The runs (first block, count) of the device's blocks the entry owns, in the order the
    // file system maps them: its data and the blocks of its extent tree or indirect map.
    std::vector<std::pair<uint64_t, uint64_t>> blocks;
};

// Every entry of the file system, directories before their contents, each directory's
// entries by name. A directory met a second time (a loop in a damaged file system) is not
// entered again; an entry whose inode or map cannot be read is listed with type '?'.
std::vector<FsNode> fs_walk(Repository::BlockReader& backup, bool isolate = true);

// Writes the file, symlink, fifo, device or tree at `path` to `to_dir`/<its name>, as
// Repository::extract describes.
ExtractReport fs_extract(Repository::BlockReader& backup, const std::string& path, const std::string& to_dir,
                         const ExtractOptions& options);

} // namespace repo
