#include "jobs/repo_sink.h"

#include <algorithm>
#include <filesystem>

namespace jobs {

RepoSink::RepoSink(repo::Repository& repo, std::string source, uint32_t major, uint32_t minor)
    : repo_(repo), source_(std::move(source)), major_(major), minor_(minor)
{
}

void RepoSink::lock()
{
    if (!lock_)
        lock_ = repo_.lock(repo::LockMode::Shared, "backup");
}

std::optional<agent::PreviousBackup> RepoSink::previous()
{
    latest_ = repo_.latest(source_);
    if (!latest_)
        return std::nullopt;
    agent::PreviousBackup p;
    std::copy(latest_->session_key.begin(), latest_->session_key.end(), p.key.begin());
    // The source name stands for the device: the same source is the same device, whatever
    // numbers the machine gives it this time.
    p.geometry = {major_, minor_, latest_->source.block_size, static_cast<uint32_t>(latest_->source.block_count)};
    for (uint64_t b : latest_->unreadable_blocks)
        p.unreadable.push_back(static_cast<uint32_t>(b));
    return p;
}

std::string RepoSink::begin(const agent::BackupPlan& plan)
{
    if (writer_)
        return "a backup into " + repo_.dir() + " is already open";
    std::optional<std::string> parent;
    if (plan.incremental) {
        // The agent planned on top of what previous() returned: that backup is the parent.
        if (!latest_)
            return "an incremental backup of " + source_ + " without a previous backup in " + repo_.dir();
        parent = latest_->id;
    }
    repo::SourceInfo src;
    src.source = source_;
    src.fs_type = plan.fs_type.empty() ? "raw" : plan.fs_type;
    src.block_size = plan.geometry.block_size;
    src.block_count = plan.geometry.blocks;
    src.sector_count = uint64_t(plan.geometry.blocks) * plan.geometry.block_size / 512;
    try {
        writer_ = repo_.begin_backup(src, parent, 0, std::move(lock_));
        if (check_all_)
            writer_->check_all_reused();
    } catch (const repo::Error& e) {
        return e.what();
    }
    plan_ = plan;
    next_ = 0;
    parent_ = parent.value_or("");
    id_.clear();
    counts_ = {};
    return "";
}

void RepoSink::keep_until(uint32_t end)
{
    // Unchanged blocks are used and not in the changed map; hand them over in runs.
    for (uint32_t b = next_; b < end;) {
        if (plan_.kind(b) != agent::BlockKind::Unchanged) {
            b++;
            continue;
        }
        uint32_t n = 1;
        while (b + n < end && plan_.kind(b + n) == agent::BlockKind::Unchanged)
            n++;
        writer_->keep(b, n);
        b += n;
    }
    next_ = std::max(next_, end);
}

std::string RepoSink::put(uint32_t block, std::span<const uint8_t> data)
{
    if (!writer_)
        return "no backup into " + repo_.dir() + " is open";
    try {
        keep_until(block);
        writer_->put(block, data);
        next_ = block + 1;
    } catch (const repo::Error& e) {
        return e.what();
    }
    return "";
}

std::string RepoSink::commit(const agent::BackupFacts& facts)
{
    if (!writer_)
        return "no backup into " + repo_.dir() + " is open";
    repo::CommitInfo info;
    info.snapshot_time = std::chrono::duration_cast<std::chrono::seconds>(facts.snapshot_time.time_since_epoch()).count();
    info.duration_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(facts.duration).count());
    info.incremental = plan_.incremental;
    info.reason = plan_.incremental ? "incremental: only the blocks changed since backup " + parent_ + " were read"
                                    : "full: " + plan_.full_reason;
    info.module_stats = stats_json(facts.stats);
    if (facts.next_key)
        std::copy(facts.next_key->begin(), facts.next_key->end(), info.session_key.begin());
    info.unreadable_blocks.assign(facts.unreadable.begin(), facts.unreadable.end());
    info.host = host_;
    info.tags = tags_;
    try {
        keep_until(plan_.geometry.blocks);
        id_ = writer_->commit(info);
        counts_ = writer_->counts();
    } catch (const repo::Error& e) {
        writer_.reset(); // a failed commit aborted the backup
        return e.what();
    }
    writer_.reset();
    return "";
}

void RepoSink::abort(const std::string&)
{
    if (writer_)
        writer_->abort();
    writer_.reset();
    lock_.reset();
}

std::string image_source(const std::string& image, unsigned partition)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(image, ec);
    return (ec ? image : p.string()) + "#" + std::to_string(partition);
}

nlohmann::json stats_json(const kes::BackupStats& s)
{
    return {{"state", s.state},
            {"block_size", s.blockSize},
            {"fs_blocks", s.fsBlocks},
            {"max_cache_blocks", s.maxCacheBlocks},
            {"total_cached_blocks", s.totalCachedBlocks},
            {"peak_cached_blocks", s.peakCachedBlocks},
            {"disk_reads", s.diskReads},
            {"cache_reads", s.cacheReads},
            {"cleaned_blocks", s.cleanedBlocks},
            {"time_to_freeze_ns", int64_t(s.timeToFreezeSec) * 1000000000 + s.timeToFreezeNsec},
            {"time_frozen_ns", int64_t(s.timeFrozenSec) * 1000000000 + s.timeFrozenNsec}};
}

} // namespace jobs
