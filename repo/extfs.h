// File-level access to a backed-up ext2/3/4 file system through libext2fs, reading blocks
// from the backup (never restoring it in full).
#pragma once

#include "repo/repository.h"

namespace repo {

// The entries of directory `path` (or the one entry when `path` is not a directory). With
// `isolate`, the file system is read in a child process (see repo/isolate.h).
std::vector<FsEntry> fs_list(Repository::BlockReader& backup, const std::string& path, bool isolate = true);

// Writes the file, symlink, fifo, device or tree at `path` to `to_dir`/<its name>, as
// Repository::extract describes.
ExtractReport fs_extract(Repository::BlockReader& backup, const std::string& path, const std::string& to_dir,
                         const ExtractOptions& options);

} // namespace repo
