// One backup of one partition of a disk image attached to a running simulated machine,
// into a repository: the agent asks the repository for the previous backup of the
// partition, takes an incremental when the module still tracks the partition under that
// backup's key and a full one (saying why) otherwise, and the repository stores only the
// chunks it does not hold yet. Shared by `kestrel backup --disk` and `kestrel demo`.
//
//
// Errors, the jobs' one style: what a backup meets comes back in its result (the agent's
// BackupResult: status, Failure, one line naming the device and partition); the
// repository's own failures pass through as repo::Error, the machine's (machine/) as
// std::runtime_error, each with one line naming the file or image.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/backup.h"
#include "repo/repository.h"
#include "machine/image_session.h"

namespace jobs {

struct PartitionBackupOptions {
    uint32_t cache_blocks = 65536; // most old blocks the copy-on-write cache may hold
    bool full = false;             // a full backup even when an incremental is possible
    std::string host;              // the machine's name the backup records
    std::vector<std::string> tags; // labels the backup records
};

// What happened, for the report.
struct PartitionBackup {
    unsigned partition = 0;
    std::string source;            // the repository's name of the partition
    agent::BackupResult result;    // the agent's account (error, full_reason, figures)
    std::string id;                // the committed backup ("" when none)
    std::string parent;            // the backup an incremental was written on top of
    repo::BackupCounts counts;     // the repository's figures of the committed backup
    double seconds = 0;            // wall time of the backup
    uint64_t writes = 0;           // writes to the file system while it ran (when known)
    bool committed() const { return !id.empty(); }
    // Bytes read from the snapshot, and per second.
    uint64_t bytes_read() const { return uint64_t(result.delivered_blocks) * result.block_size; }
    double throughput() const { return seconds > 0 ? double(bytes_read()) / seconds : 0; }
};

// Backs up `partition` of the image attached in `session` into `repo`. Never throws for
// what the backup meets: the result says what failed. Throws repo::Error only when the
// repository cannot be read for the previous backup.
PartitionBackup back_up_partition(demo::ImageSession& session, const std::string& image, unsigned partition,
                                  repo::Repository& repo, const PartitionBackupOptions& options,
                                  const agent::Progress& progress = {});

// The same for partition `partition` of `image`, device number `dev`, of a machine the
// agent reaches through `transport` (a machine in this process or a live one).
PartitionBackup back_up_device(agent::Transport& transport, uint32_t dev, const std::string& image,
                               unsigned partition, repo::Repository& repo, const PartitionBackupOptions& options,
                               const agent::Progress& progress = {});

// The report of one backup: a few lines of text, or a JSON object.
std::string describe(const PartitionBackup& b);
nlohmann::json to_json(const PartitionBackup& b);

} // namespace jobs
