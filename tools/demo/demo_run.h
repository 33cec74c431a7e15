// The demo: a disk image with an ext4 and an ext2 file system, both mounted on a simulated
// machine with writers changing files, a full and then an incremental backup of each into
// a repository, and the proof that every backup is good: each restores to an image that
// e2fsck passes, each file extracted from it equals the file at that backup's snapshot
// (the machine records the disk at each freeze), and the incremental stored only chunks
// that changed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/disk_backup.h"

namespace jobs {

struct DemoOptions {
    std::string keep_dir;       // keep the image, the repository and the restores here ("": a
                                // temporary directory, removed at the end)
    uint64_t seed = 1;
    unsigned files = 300;       // files in the tree the file systems are made from
    uint64_t ext4_bytes = 48 << 20;
    uint64_t ext2_bytes = 16 << 20;
    unsigned writers = 1;       // writer threads per file system
    uint64_t writes_between = 200; // writes to each file system between its two backups
};

// One verdict.
struct DemoCheck {
    std::string what;           // "e2fsck -fn on the restored ext4 full backup"
    bool ok = false;
    std::string detail;         // why not, or a figure
};

struct DemoReport {
    std::string dir;            // where the artefacts are (gone unless kept)
    std::string repo;
    std::vector<PartitionBackup> backups; // partition 1 full, 2 full, 1 incremental, 2 incremental
    std::vector<DemoCheck> checks;
    std::string error;          // a step that could not run at all ("" when every step ran)
    bool ok() const;
};

// Runs the demo; `say` hears each step as it starts (may be empty). Never throws: a step
// that cannot run ends the demo with its error.
DemoReport run_demo(const DemoOptions& options, const std::function<void(const std::string&)>& say = {});

std::string describe(const DemoReport& r);
nlohmann::json to_json(const DemoReport& r);

} // namespace jobs
