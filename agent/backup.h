// One backup of one device, as the agent runs it: start, snapshot, the changed blocks (or
// all of them), every wanted block read from the snapshot and handed to a sink, close.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "agent/control.h"

namespace agent {

struct BackupRequest {
    uint32_t major = 0, minor = 0;
    // Size of the file system in blocks; 0: the whole device.
    uint32_t fs_blocks = 0;
    uint32_t max_cache_blocks = 65536;
    // The key the previous backup of the device handed out: with it the backup is
    // incremental when the module still tracks the device.
    std::optional<SessionKey> previous_key;
    // Back up every block even when the changed blocks are known.
    bool full = false;
    // Keep no change tracking for the device after this backup.
    bool no_tracking = false;
    uint32_t run_blocks = 256; // blocks per read
};

struct BackupResult {
    int status = 0;         // 0, or the status of the step that failed
    std::string error;      // what failed
    bool incremental = false;
    uint32_t block_size = 0;
    uint32_t fs_blocks = 0;
    uint32_t wanted_blocks = 0;
    uint32_t delivered_blocks = 0;
    uint32_t unreadable_runs = 0; // runs that had blocks the disk could not read (zeros)
    std::optional<SessionKey> key; // for the next incremental backup
    uint32_t final_state = 0;
    kes::BackupStats stats{};
    bool ok() const { return status == 0; }
};

// Receives every wanted block of the snapshot, in ascending order.
using BlockSink = std::function<void(uint32_t block, const uint8_t* data, uint32_t size)>;
using Progress = std::function<void(uint32_t done, uint32_t total)>;

BackupResult run_backup(Transport& t, const BackupRequest& req, const BlockSink& sink,
                        const Progress& progress = {});

} // namespace agent
