// One backup of one device, as the agent runs it: start; the snapshot, incremental when the
// module still tracks the device under the previous backup's key; the used blocks read
// from the snapshot's file-system metadata; the map of wanted blocks loaded; every wanted
// block read from the snapshot and handed to a sink; close; commit.
//
// Errors, the agent library's one style: nothing is thrown. The control device's commands
// return the module's status (0, a positive module status or a negative system error); a
// backup ends in a BackupResult whose status, Failure and one-line error (naming the device)
// say what failed; a sink's calls return "" or the one-line reason they failed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/control.h"
#include "agent/sink.h"

namespace agent {

struct BackupJob {
    uint32_t major = 0, minor = 0;
    // Size of the device in blocks to back up; 0: the whole device.
    uint32_t fs_blocks = 0;
    uint32_t max_cache_blocks = 65536;
    // The previous backup of the device: with it the backup is incremental when the module
    // still tracks the device under its key.
    std::optional<PreviousBackup> previous;
    // Back up every used block even when the changed blocks are known.
    bool full = false;
    // Keep no change tracking for the device after this backup.
    bool no_tracking = false;
    // Read the file system's bitmaps and back up only the blocks it uses; false: every
    // block counts as used.
    bool used_only = true;
    uint32_t run_blocks = 256; // blocks per read
    // Unwanted blocks a read may span to join two runs of wanted blocks, when one read
    // costs less than two; what it reads of them is dropped. 0: never.
    uint32_t max_gap = kDefaultMaxGap;
    static constexpr uint32_t kDefaultMaxGap = 2;
};

// Why a backup ended without a commit, for callers that act on it (the message is in
// BackupResult::error).
enum class Failure {
    None,
    ControlDevice,  // the control device could not be opened or a command failed
    Refused,        // the module refused to start the backup (busy, no such device...)
    Freeze,         // the file system could not be frozen
    CacheFull,      // the copy-on-write cache reached its limit
    CopyOnWrite,    // copy-on-write failed otherwise (memory, a read of an old block)
    WriteQueue,     // a write that had to be held back could not be, or the worker is gone
    Sink,           // the sink refused a call
    Unreadable,     // committed, but some blocks could not be read
};

struct BackupResult {
    int status = 0;         // 0, or the status of the step that failed
    std::string error;      // one line: what failed
    Failure failure = Failure::None;
    bool committed = false; // the sink committed the backup
    bool incremental = false;
    std::string full_reason; // why the backup is full ("" for an incremental)
    std::string fs_type;     // "ext4"..., "" when every block was taken
    std::string all_blocks_reason; // why every block counts as used, when it does
    uint32_t block_size = 0;
    uint32_t fs_blocks = 0;       // blocks of the device backed up
    uint32_t used_blocks = 0;
    uint32_t wanted_blocks = 0;   // blocks read
    uint32_t delivered_blocks = 0;
    uint32_t metadata_blocks = 0; // blocks read to find the used ones
    uint32_t unreadable_runs = 0; // runs the disk could not read in full
    std::vector<uint32_t> unreadable; // blocks the disk could not read
    std::optional<SessionKey> key; // for the next incremental backup
    uint32_t final_state = 0;
    kes::BackupStats stats{};
    bool ok() const { return status == 0; }
};

using Progress = std::function<void(uint32_t done, uint32_t total)>;

// Takes one backup into the sink. The result says what happened; on any failure the sink
// was aborted (or never begun) and no backup was committed, except for Failure::Unreadable,
// where the backup was committed with its unreadable blocks listed.
BackupResult back_up(Transport& t, const BackupJob& job, BlockSink& sink, const Progress& progress = {});

// The simple form: every wanted block of the snapshot to a function, in ascending order.

struct BackupRequest {
    uint32_t major = 0, minor = 0;
    uint32_t fs_blocks = 0; // 0: the whole device
    uint32_t max_cache_blocks = 65536;
    // The key the previous backup of the device handed out: with it the backup is
    // incremental when the module still tracks the device.
    std::optional<SessionKey> previous_key;
    bool full = false;
    bool no_tracking = false;
    uint32_t run_blocks = 256;
    uint32_t max_gap = BackupJob::kDefaultMaxGap;
};

using BlockFn = std::function<void(uint32_t block, const uint8_t* data, uint32_t size)>;

// Runs back_up with every block counted as used, and the previous backup's geometry taken
// to be the device's own.
BackupResult run_backup(Transport& t, const BackupRequest& req, const BlockFn& sink,
                        const Progress& progress = {});

} // namespace agent
