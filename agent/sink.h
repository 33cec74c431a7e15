// Where a backup goes: the agent hands every backup it takes to a block sink (a
// repository, an image, memory), and takes from its caller a record of the previous backup
// of the device to decide between an incremental and a full backup.
//
// The order of calls on a sink for one backup: begin once; put for every block of the
// plan's `changed` map, in ascending order; then either commit (every block was put and
// the snapshot held to the end) or abort (anything went wrong, also after a failed put or
// commit). A sink must not make a backup visible before commit returns success: the agent
// never leaves a partial backup behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agent/control.h"

namespace agent {

// What identifies the device a backup was taken of, and its size.
struct Geometry {
    uint32_t major = 0, minor = 0;
    uint32_t block_size = 0;
    uint32_t blocks = 0; // device blocks backed up
    bool operator==(const Geometry&) const = default;
};

// What the agent needs to know of the previous backup of the device to take an
// incremental one on top of it.
struct PreviousBackup {
    SessionKey key{};   // the key the module handed out with it
    Geometry geometry;  // the device as it was then
    // Blocks that backup could not read: an incremental reads them again.
    std::vector<uint32_t> unreadable;
};

enum class BlockKind : uint8_t {
    Unused,    // the file system does not use it: restored as zeros
    Unchanged, // used, and the same as in the parent backup
    Changed,   // handed to the sink with put()
};

// What a backup will hold, given to begin().
struct BackupPlan {
    Geometry geometry;
    bool incremental = false;
    // Why a full backup was taken ("" for an incremental).
    std::string full_reason;
    // The file system the used blocks were read from ("ext4"...), or "" when every block
    // counts as used.
    std::string fs_type;
    BlockBitmap used;    // blocks holding data
    BlockBitmap changed; // blocks put(): all used blocks of a full backup
    BlockKind kind(uint32_t b) const
    {
        return changed.test(b) ? BlockKind::Changed : used.test(b) ? BlockKind::Unchanged : BlockKind::Unused;
    }
};

// The facts of a finished backup, given to commit().
struct BackupFacts {
    std::chrono::system_clock::time_point snapshot_time; // when the snapshot was taken
    std::chrono::nanoseconds time_to_freeze{0};
    std::chrono::nanoseconds time_frozen{0};
    std::chrono::nanoseconds duration{0}; // from the start of the backup to the commit
    uint32_t used_blocks = 0;
    uint32_t changed_blocks = 0;  // blocks put
    uint32_t metadata_blocks = 0; // blocks read to find the used ones
    kes::BackupStats stats{};     // the module's statistics at the end of the backup
    // The key to present for the next incremental; none when the device is not tracked.
    std::optional<SessionKey> next_key;
    // Blocks that could not be read: put() as zeros, and they are not real data.
    std::vector<uint32_t> unreadable;
};

class BlockSink {
public:
    virtual ~BlockSink() = default;
    // Each returns "" on success, or a one-line description of what failed; after a
    // failure the agent calls abort and stops.
    virtual std::string begin(const BackupPlan& plan) = 0;
    // One block of the plan's changed map, block-size bytes; data is valid only during the
    // call.
    virtual std::string put(uint32_t block, std::span<const uint8_t> data) = 0;
    virtual std::string commit(const BackupFacts& facts) = 0;
    // Forgets everything of this backup; why says what went wrong.
    virtual void abort(const std::string& why) = 0;
};

} // namespace agent
