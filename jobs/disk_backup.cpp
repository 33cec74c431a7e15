#include "jobs/disk_backup.h"

#include <chrono>

#include "jobs/json_out.h"
#include "jobs/repo_sink.h"
#include "jobs/text.h"
// Last: the kernel's macros (MAJOR, MINOR; also current) clash with the libraries'.
#include "platform/kernel.h"

namespace jobs {

PartitionBackup back_up_partition(demo::ImageSession& session, const std::string& image, unsigned partition,
                                  repo::Repository& repo, const PartitionBackupOptions& options,
                                  const agent::Progress& progress)
{
    return back_up_device(session.transport(), session.device(partition), image, partition, repo, options,
                          progress);
}

PartitionBackup back_up_device(agent::Transport& transport, uint32_t dev, const std::string& image,
                               unsigned partition, repo::Repository& repo, const PartitionBackupOptions& options,
                               const agent::Progress& progress)
{
    PartitionBackup out;
    out.partition = partition;
    out.source = image_source(image, partition);
    RepoSink sink(repo, out.source, MAJOR(dev), MINOR(dev));
    sink.label(options.host, options.tags);
    sink.check_all_reused(options.full);
    agent::BackupJob job;
    job.major = MAJOR(dev);
    job.minor = MINOR(dev);
    job.max_cache_blocks = options.cache_blocks;
    job.full = options.full;
    // Locked before the snapshot: a backup the lock refuses leaves the change tracking as
    // it was, so the next one is still an incremental.
    sink.lock();
    job.previous = sink.previous();
    const auto start = std::chrono::steady_clock::now();
    out.result = agent::back_up(transport, job, sink, progress);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (out.result.committed) {
        out.id = sink.committed_id();
        out.parent = sink.parent();
        out.counts = sink.counts();
    }
    return out;
}

namespace {

double frozen_seconds(const kes::BackupStats& s) { return s.timeFrozenSec + s.timeFrozenNsec / 1e9; }

std::string kind_line(const PartitionBackup& b)
{
    const agent::BackupResult& r = b.result;
    if (r.incremental)
        return "incremental on top of " + b.parent + ": only the blocks changed since then were read";
    return "full, because " + r.full_reason;
}

} // namespace

std::string describe(const PartitionBackup& b)
{
    const agent::BackupResult& r = b.result;
    std::string out = "partition " + std::to_string(b.partition) + " (" + b.source + ")\n";
    out += "  " + kind_line(b) + "\n";
    std::string fs = r.fs_type.empty() ? "content not recognised, every block taken (" + r.all_blocks_reason + ")"
                                       : r.fs_type + ", " + std::to_string(r.block_size) + "-byte blocks";
    out += "  " + fs + "; " + std::to_string(r.used_blocks) + " of " + std::to_string(r.fs_blocks) +
           " blocks used, " + std::to_string(r.delivered_blocks) + " read (" + human_bytes(b.bytes_read()) + ")\n";
    if (b.committed()) {
        const repo::BackupCounts& c = b.counts;
        const uint64_t with_data = c.chunks - c.chunks_empty;
        out += "  stored " + std::to_string(c.chunks_new) + " new chunk" + (c.chunks_new == 1 ? "" : "s") + " (" +
               human_bytes(c.bytes_new) + ") of " + std::to_string(with_data) + " with data; deduplicated " +
               std::to_string(with_data - c.chunks_new) + " (" + std::to_string(c.chunks_reused) +
               " taken from the parent unread, the rest already stored)\n";
    }
    out += "  copy-on-write copied " + std::to_string(r.stats.totalCachedBlocks) + " block" +
           (r.stats.totalCachedBlocks == 1 ? "" : "s") + " (peak " + std::to_string(r.stats.peakCachedBlocks) +
           "); frozen for " + seconds_text(frozen_seconds(r.stats)) + "; " + seconds_text(b.seconds) + " in all, " +
           rate(b.throughput()) + "\n";
    if (b.writes)
        out += "  " + std::to_string(b.writes) + " writes reached the file system while it ran\n";
    if (b.committed())
        out += "  backup " + b.id + "\n";
    return out;
}

nlohmann::json to_json(const PartitionBackup& b)
{
    const agent::BackupResult& r = b.result;
    nlohmann::json j = {{"partition", b.partition},
                        {"source", b.source},
                        {json::kOk, r.ok()},
                        {"committed", b.committed()},
                        {"incremental", r.incremental},
                        {"full_reason", r.full_reason},
                        {"fs_type", r.fs_type},
                        {"all_blocks_reason", r.all_blocks_reason},
                        {json::kBlockBytes, r.block_size},
                        {json::kFsBlocks, r.fs_blocks},
                        {"used_blocks", r.used_blocks},
                        {"read_blocks", r.delivered_blocks},
                        {"read_bytes", b.bytes_read()},
                        {"metadata_blocks", r.metadata_blocks},
                        {json::kDurationMs, static_cast<uint64_t>(b.seconds * 1000 + 0.5)},
                        {"read_bytes_per_second", static_cast<uint64_t>(b.throughput())},
                        {"writes_during_backup", b.writes},
                        {"module", stats_json(r.stats)}};
    if (!r.ok())
        j["error"] = r.error;
    if (!r.unreadable.empty())
        j["unreadable_blocks"] = r.unreadable;
    if (b.committed()) {
        j[json::kBackupId] = b.id;
        j[json::kParentId] = b.parent.empty() ? nlohmann::json() : nlohmann::json(b.parent);
        j["counts"] = json::counts(b.counts);
    }
    return j;
}

} // namespace jobs
