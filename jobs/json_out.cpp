#include "jobs/json_out.h"

namespace jobs::json {

nlohmann::json summary(nlohmann::json j)
{
    j[kType] = "summary";
    return j;
}

nlohmann::json error(const std::string& message, const std::string& kind, const std::string& path)
{
    return {{kType, "error"}, {kOk, false}, {"error", message}, {"kind", kind}, {"path", path}};
}

nlohmann::json progress(const std::string& operation, uint64_t done, uint64_t total, uint64_t unit_bytes,
                        uint64_t elapsed_ms)
{
    nlohmann::json j = {{kType, "progress"},
                        {"operation", operation},
                        {"done", done},
                        {"total", total},
                        {"percent", total ? done * 100 / total : 0},
                        {"elapsed_ms", elapsed_ms}};
    if (unit_bytes) {
        j["done_bytes"] = done * unit_bytes;
        j["total_bytes"] = total * unit_bytes;
    }
    return j;
}

nlohmann::json counts(const repo::BackupCounts& c)
{
    return {{"written_blocks", c.blocks_written}, {"kept_blocks", c.blocks_kept},
            {"unused_blocks", c.blocks_unused},   {"total_chunks", c.chunks},
            {"empty_chunks", c.chunks_empty},     {"reused_chunks", c.chunks_reused},
            {"new_chunks", c.chunks_new},         {"new_bytes", c.bytes_new},
            {"stored_again_chunks", c.chunks_stored_again}};
}

nlohmann::json backup(const repo::Manifest& m)
{
    return {{kBackupId, m.id},
            {kParentId, m.parent ? nlohmann::json(*m.parent) : nlohmann::json(nullptr)},
            {"source", m.source.source},
            {"host", m.host},
            {"tags", m.tags},
            {"start_sector", m.source.start_sector},
            {"sector_count", m.source.sector_count},
            {"fs_type", m.source.fs_type},
            {kBlockBytes, m.source.block_size},
            {kFsBlocks, m.source.block_count},
            {"chunk_blocks", m.chunk_blocks},
            {"snapshot_time", m.snapshot_time},
            {kDurationMs, m.duration_ms},
            {"incremental", m.incremental},
            {"reason", m.reason},
            {"counts", counts(m.counts)},
            {"module", m.module_stats},
            {"unreadable_blocks", m.unreadable_blocks}};
}

std::string line(const nlohmann::json& j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace jobs::json
