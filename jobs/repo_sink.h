// The agent's backups into a repository: a block sink that writes each backup the agent
// takes as one backup of the repository, and the record of the previous backup of a source
// that the agent needs to take an incremental on top of it.
//
// Errors of the repository come back from the sink's calls as one-line strings (the
// agent's error style); nothing is thrown out of them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/sink.h"
#include "repo/repository.h"

namespace jobs {

class RepoSink : public agent::BlockSink {
public:
    // Backups of `source` (the name that ties a chain of backups together, e.g.
    // "/images/disk.img#1") into `repo`, which must outlive the sink. `device` is the device
    // number pair the source has on the running machine.
    RepoSink(repo::Repository& repo, std::string source, uint32_t major, uint32_t minor);

    // Takes the repository's shared lock for the backup to come; the sink holds it until
    // the backup is committed or aborted. Call before the snapshot, so that a backup
    // refused by the lock (Error::Locked, thrown) has not used its change tracking.
    // begin() takes the lock itself when this was not called.
    void lock();

    // What the agent needs of the newest backup of the source: its session key, its
    // geometry and the blocks it could not read. None when the repository holds no backup
    // of the source. Throws repo::Error when the repository cannot be read.
    std::optional<agent::PreviousBackup> previous();

    // The host and tags the backups committed from now on record.
    void label(std::string host, std::vector<std::string> tags)
    {
        host_ = std::move(host);
        tags_ = std::move(tags);
    }

    // Whether the backups begun from now on read back every chunk they reuse (a full
    // backup the user asked for) instead of a sample.
    void check_all_reused(bool all) { check_all_ = all; }

    std::string begin(const agent::BackupPlan& plan) override;
    std::string put(uint32_t block, std::span<const uint8_t> data) override;
    std::string commit(const agent::BackupFacts& facts) override;
    void abort(const std::string& why) override;

    // After a commit: the backup's id and its figures.
    const std::string& committed_id() const { return id_; }
    const repo::BackupCounts& counts() const { return counts_; }
    // The parent the last begun backup was written on top of ("" for none).
    const std::string& parent() const { return parent_; }

private:
    // Hands the repository the unchanged blocks below `end` not handed over yet.
    void keep_until(uint32_t end);

    repo::Repository& repo_;
    const std::string source_;
    const uint32_t major_, minor_;
    std::optional<repo::Manifest> latest_;   // as previous() found it
    std::unique_ptr<repo::RepoLock> lock_;   // from lock() until begin()
    std::unique_ptr<repo::BackupWriter> writer_;
    agent::BackupPlan plan_;
    uint32_t next_ = 0;                      // blocks below it were handed over
    std::string parent_;
    std::string id_;
    std::string host_;
    std::vector<std::string> tags_;
    bool check_all_ = false;
    repo::BackupCounts counts_;
};

// "/abs/path/disk.img#2": the source name of a partition of a disk image.
std::string image_source(const std::string& image, unsigned partition);

// The module's statistics as JSON, for manifests and reports.
nlohmann::json stats_json(const kes::BackupStats& s);

} // namespace jobs
