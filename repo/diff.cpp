#include "repo/diff.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace repo {

namespace {

void add_run(std::vector<BlockRun>& runs, uint64_t first, uint64_t count)
{
    if (!runs.empty() && runs.back().first + runs.back().count == first)
        runs.back().count += count;
    else
        runs.push_back({first, count});
}

// Whether any block of first .. first+count-1 lies in one of the sorted `runs`.
bool overlaps(const std::vector<BlockRun>& runs, uint64_t first, uint64_t count)
{
    auto it = std::upper_bound(runs.begin(), runs.end(), first,
                               [](uint64_t b, const BlockRun& r) { return b < r.first; });
    if (it != runs.begin() && std::prev(it)->first + std::prev(it)->count > first)
        return true;
    return it != runs.end() && it->first < first + count;
}

bool is_ext(const Manifest& m)
{
    return m.source.fs_type == "ext2" || m.source.fs_type == "ext3" || m.source.fs_type == "ext4";
}

void compare_blocks(Repository::BlockReader& from, Repository::BlockReader& to, BackupDiff& d,
                    const ProgressFn& progress)
{
    const SourceInfo& a = from.manifest().source;
    const SourceInfo& b = to.manifest().source;
    const uint64_t bs = b.block_size, common = std::min(a.block_count, b.block_count);
    const uint32_t per_chunk = to.manifest().chunk_blocks;
    const bool aligned = from.manifest().chunk_blocks == per_chunk && per_chunk > 0;
    const uint64_t step = per_chunk > 0 ? per_chunk : 1;
    std::vector<uint8_t> x, y;
    for (uint64_t first = 0, pos = 0; first < common; first += step, pos++) {
        const uint64_t n = std::min<uint64_t>(step, common - first);
        d.chunks++;
        if (aligned) {
            std::optional<Digest> da = from.chunk_digest(pos), db = to.chunk_digest(pos);
            if (da && db && *da == *db) {
                d.chunks_same_by_digest++;
                if (progress)
                    progress(first + n, common);
                continue;
            }
        }
        x.resize(n * bs);
        y.resize(n * bs);
        from.read(first, n, x.data());
        to.read(first, n, y.data());
        d.bytes_read += 2 * n * bs;
        for (uint64_t i = 0; i < n; i++)
            if (memcmp(x.data() + i * bs, y.data() + i * bs, bs) != 0)
                add_run(d.differing, first + i, 1);
        if (progress)
            progress(first + n, common);
    }
    const uint64_t longer = std::max(a.block_count, b.block_count);
    if (longer > common)
        add_run(d.differing, common, longer - common);
    for (const BlockRun& r : d.differing)
        d.blocks_differing += r.count;
}

bool node_changed(const FsNode& a, const FsNode& b, const std::vector<BlockRun>& differing)
{
    const FsEntry &x = a.entry, &y = b.entry;
    if (x.type == '?' || y.type == '?')
        return true;
    if (x.type != y.type || x.mode != y.mode || x.uid != y.uid || x.gid != y.gid || x.size != y.size ||
        x.mtime != y.mtime || a.ctime != b.ctime || x.link_target != y.link_target || a.blocks != b.blocks)
        return true;
    for (const auto& [first, count] : b.blocks)
        if (overlaps(differing, first, count))
            return true;
    return false;
}

void compare_files(Repository::BlockReader& from, Repository::BlockReader& to, BackupDiff& d, bool isolate)
{
    std::map<std::string, FsNode> before;
    for (FsNode& n : fs_walk(from, isolate))
        before.emplace(n.path, std::move(n));
    std::vector<FsNode> after = fs_walk(to, isolate);
    for (const FsNode& n : after) {
        auto it = before.find(n.path);
        if (it == before.end()) {
            d.added.push_back({n.path, n.entry.type});
            continue;
        }
        if (node_changed(it->second, n, d.differing))
            d.changed.push_back({n.path, n.entry.type});
        before.erase(it);
    }
    for (const auto& [path, n] : before)
        d.removed.push_back({path, n.entry.type});
    auto by_path = [](const FsChange& p, const FsChange& q) { return p.path < q.path; };
    std::sort(d.added.begin(), d.added.end(), by_path);
    std::sort(d.changed.begin(), d.changed.end(), by_path);
    d.files_compared = true;
}

} // namespace

BackupDiff diff_backups(Repository::BlockReader& from, Repository::BlockReader& to, const ProgressFn& progress,
                        bool isolate)
{
    const Manifest &a = from.manifest(), &b = to.manifest();
    if (a.source.source != b.source.source)
        throw Error(Error::Kind::Invalid, "backups " + a.id + " and " + b.id + " are of different sources (" +
                                              a.source.source + " and " + b.source.source +
                                              "): only backups of one source can be compared");
    if (a.source.block_size != b.source.block_size)
        throw Error(Error::Kind::Invalid, "backups " + a.id + " and " + b.id + " have different block sizes (" +
                                              std::to_string(a.source.block_size) + " and " +
                                              std::to_string(b.source.block_size) + ")");
    BackupDiff d;
    compare_blocks(from, to, d, progress);
    if (is_ext(a) && is_ext(b))
        compare_files(from, to, d, isolate);
    return d;
}

} // namespace repo
