// A block sink that keeps backups in memory, each restorable as a whole image: a full
// backup on its own, an incremental applied on the backup before it. For tests and tools
// that check what the agent hands over; it also checks the order of the calls.
#pragma once

#include <map>
#include <vector>

#include "agent/sink.h"

namespace agent {

class MemorySink : public BlockSink {
public:
    struct Backup {
        BackupPlan plan;
        BackupFacts facts;
        std::map<uint32_t, std::vector<uint8_t>> blocks; // the blocks put
    };

    std::string begin(const BackupPlan& plan) override;
    std::string put(uint32_t block, std::span<const uint8_t> data) override;
    std::string commit(const BackupFacts& facts) override;
    void abort(const std::string& why) override;

    // Committed backups, oldest first.
    const std::vector<Backup>& backups() const { return done_; }
    // The device as backup i restores it: block-size * blocks bytes.
    std::vector<uint8_t> image(size_t i) const;
    // The record an agent needs for an incremental on top of the last backup.
    std::optional<PreviousBackup> previous() const;
    // Aborts seen, with their reasons.
    const std::vector<std::string>& aborts() const { return aborts_; }
    bool open() const { return current_.has_value(); }

private:
    std::vector<Backup> done_;
    std::optional<Backup> current_;
    int64_t last_put_ = -1;
    std::vector<std::string> aborts_;
};

} // namespace agent
