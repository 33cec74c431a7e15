// File-level access to a backed-up ext2/3/4 file system through libext2fs, reading blocks
// from the backup (never restoring it in full).
#pragma once

#include "repo/repository.h"

namespace repo {

// The entries of directory `path` (or the one entry when `path` is not a directory).
std::vector<FsEntry> fs_list(Repository::BlockReader& backup, const std::string& path);

// Writes the file, symlink or tree at `path` to `to_dir`/<its name>, built under a temporary
// name and renamed when complete. Returns the bytes of file data written.
uint64_t fs_extract(Repository::BlockReader& backup, Env& env, const std::string& path,
                    const std::string& to_dir, const ProgressFn& progress);

} // namespace repo
