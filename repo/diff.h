// What changed between two backups of one device: the blocks that differ and, for ext2/3/4,
// the files added, removed and changed.
#pragma once

#include "repo/extfs.h"
#include "repo/repository.h"

namespace repo {

struct BlockRun {
    uint64_t first = 0;
    uint64_t count = 0;
};

struct FsChange {
    std::string path;
    char type = '?';   // as FsEntry::type
};

struct BackupDiff {
    std::vector<BlockRun> differing;   // ascending, not touching
    uint64_t blocks_differing = 0;
    uint64_t chunks = 0;               // chunk positions compared
    uint64_t chunks_same_by_digest = 0; // decided from the indexes alone, no data read
    uint64_t bytes_read = 0;           // block data read to compare the other positions
    bool files_compared = false;       // both backups hold an ext2/3/4 file system
    std::vector<FsChange> added, removed, changed;
};

// Compares backup `to` with backup `from`. Both must be of the same source and block size
// (Error::Invalid otherwise); blocks beyond the shorter device differ. Chunk positions whose
// digests are equal are the same without reading them; the others are read and compared
// block by block. An entry of the file system has changed when its type, mode, owner, size,
// times or symlink target differ, when its blocks lie elsewhere, or when one of them differs.
BackupDiff diff_backups(Repository::BlockReader& from, Repository::BlockReader& to, const ProgressFn& progress = {},
                        bool isolate = true);

} // namespace repo
