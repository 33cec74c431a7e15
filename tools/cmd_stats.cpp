// kestrel stats: what the backups take, raw, deduplicated and stored, per backup, per
// source and in all, from the manifests and indexes alone (no chunk is read).
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "jobs/json_out.h"
#include "tools/cli.h"

namespace cli {

namespace {

struct StatsOptions {
    RepoOptions repo;
    FilterOptions which;
    std::vector<std::string> ids;
};

// The figures of a set of chunks.
struct ChunkFigures {
    uint64_t chunks = 0;
    uint64_t stored_bytes = 0;
    uint64_t missing = 0;
};

struct BackupStats {
    const repo::Manifest* m = nullptr;
    std::vector<repo::Digest> chunks;  // sorted, once each
    uint64_t raw_bytes = 0;            // the used blocks' bytes
    ChunkFigures all;                  // every chunk it references
    ChunkFigures only_here;            // the chunks no other backup references
};

struct SourceStats {
    std::string host, source;
    uint64_t backups = 0;
    uint64_t raw_bytes = 0;
    std::set<repo::Digest> chunks;
    ChunkFigures figures;
};

class Sizes {
public:
    explicit Sizes(repo::Repository& r) : r_(r) {}

    // The figures of `chunks`, each chunk's stored size asked of the repository once.
    template <class Range>
    ChunkFigures of(const Range& chunks)
    {
        ChunkFigures f;
        for (const repo::Digest& d : chunks) {
            auto it = size_.find(d);
            if (it == size_.end()) {
                repo::Repository::StoredSize s = r_.stored_size({d});
                it = size_.emplace(d, s.missing ? std::nullopt : std::optional(s.bytes)).first;
            }
            if (it->second) {
                f.chunks++;
                f.stored_bytes += *it->second;
            } else {
                f.missing++;
            }
        }
        return f;
    }

private:
    repo::Repository& r_;
    std::map<repo::Digest, std::optional<uint64_t>> size_;
};

nlohmann::json figures_json(const ChunkFigures& f, uint32_t chunk_bytes)
{
    return {{"referenced_chunks", f.chunks + f.missing},
            {"deduplicated_bytes", (f.chunks + f.missing) * chunk_bytes},
            {"stored_bytes", f.stored_bytes},
            {"missing_chunks", f.missing}};
}

std::string ratio(uint64_t from, uint64_t to)
{
    if (!to)
        return "-";
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", static_cast<double>(from) / static_cast<double>(to));
    return buf;
}

int print_stats(const StatsOptions& opt, uint32_t chunk_bytes, const std::vector<BackupStats>& backups,
                const std::vector<SourceStats>& sources, const ChunkFigures& total, uint64_t total_raw,
                const std::vector<repo::Damage>& damaged)
{
    const int code = damaged.empty() ? kExitOk : kExitDamage;
    if (opt.repo.json) {
        nlohmann::json jb = nlohmann::json::array(), js = nlohmann::json::array(), jd = nlohmann::json::array();
        for (const BackupStats& b : backups) {
            nlohmann::json j = figures_json(b.all, chunk_bytes);
            j.update({{jobs::json::kBackupId, b.m->id},
                      {"host", b.m->host},
                      {"source", b.m->source.source},
                      {"tags", b.m->tags},
                      {"snapshot_time", b.m->snapshot_time},
                      {"raw_bytes", b.raw_bytes},
                      {"added_bytes", b.m->counts.bytes_new},
                      {"only_here_stored_bytes", b.only_here.stored_bytes}});
            jb.push_back(j);
        }
        for (const SourceStats& s : sources) {
            nlohmann::json j = figures_json(s.figures, chunk_bytes);
            j.update({{"host", s.host}, {"source", s.source}, {"backup_count", s.backups}, {"raw_bytes", s.raw_bytes}});
            js.push_back(j);
        }
        for (const repo::Damage& d : damaged)
            jd.push_back({{"what", d.what}, {"path", d.path}, {"backup_ids", d.backups}});
        nlohmann::json t = figures_json(total, chunk_bytes);
        t.update({{"backup_count", backups.size()}, {"raw_bytes", total_raw}});
        print_json({{"ok", damaged.empty()},
                    {"chunk_bytes", chunk_bytes},
                    {"backups", jb},
                    {"sources", js},
                    {"total", t},
                    {"damaged", jd}});
        return code;
    }
    Table per_backup({"ID", "SNAPSHOT (UTC)", "HOST", "SOURCE", "RAW", "CHUNKS", "STORED", "ONLY HERE"}, {4, 5, 6, 7});
    for (const BackupStats& b : backups)
        per_backup.add({b.m->id, utc_time(b.m->snapshot_time), b.m->host.empty() ? "?" : b.m->host,
                        b.m->source.source, human_bytes(b.raw_bytes), std::to_string(b.all.chunks + b.all.missing),
                        human_bytes(b.all.stored_bytes), human_bytes(b.only_here.stored_bytes)});
    Table per_source({"HOST", "SOURCE", "BACKUPS", "RAW", "DEDUPLICATED", "STORED"}, {2, 3, 4, 5});
    for (const SourceStats& s : sources)
        per_source.add({s.host.empty() ? "?" : s.host, s.source, std::to_string(s.backups), human_bytes(s.raw_bytes),
                        human_bytes((s.figures.chunks + s.figures.missing) * chunk_bytes),
                        human_bytes(s.figures.stored_bytes)});
    printf("%s\n%s\n", per_backup.str().c_str(), per_source.str().c_str());
    const uint64_t dedup = (total.chunks + total.missing) * chunk_bytes;
    printf("%zu backup%s: %s raw, %s deduplicated (%llu chunks, %sx), %s stored (compressed %sx; %sx in all)\n",
           backups.size(), backups.size() == 1 ? "" : "s", human_bytes(total_raw).c_str(), human_bytes(dedup).c_str(),
           static_cast<unsigned long long>(total.chunks + total.missing), ratio(total_raw, dedup).c_str(),
           human_bytes(total.stored_bytes).c_str(), ratio(dedup, total.stored_bytes).c_str(),
           ratio(total_raw, total.stored_bytes).c_str());
    detail("RAW: the used blocks; CHUNKS and DEDUPLICATED: the chunks referenced, each counted once; STORED: their "
           "compressed size in the repository; ONLY HERE: what no other backup references\n");
    if (total.missing)
        fprintf(stderr, "kestrel: %llu referenced chunk%s not stored (run verify)\n",
                static_cast<unsigned long long>(total.missing), total.missing == 1 ? " is" : "s are");
    for (const repo::Damage& d : damaged)
        fprintf(stderr, "kestrel: backup %s left out: %s (%s)\n", d.backups.at(0).c_str(), d.what.c_str(),
                d.path.c_str());
    return code;
}

int run_stats(const StatsOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        // Shared, as a reader: gc cannot remove chunks while they are counted.
        auto lock = r->lock(repo::LockMode::Shared, "stats");
        std::vector<repo::Damage> damaged;
        const std::vector<repo::Manifest> all = r->list(damaged);
        std::set<std::string> chosen;
        for (const std::string& spec : opt.ids) {
            const std::string id = resolve_backup(*r, spec);
            if (std::none_of(all.begin(), all.end(), [&](const repo::Manifest& m) { return m.id == id; }))
                throw repo::Error(repo::Error::Kind::NotFound, "no backup " + spec);
            chosen.insert(id);
        }
        const repo::BackupFilter filter = opt.which.filter();

        // Every backup's chunks, to tell which chunks only one backup references.
        std::vector<BackupStats> every;
        std::map<repo::Digest, uint32_t> users;
        for (const repo::Manifest& m : all) {
            BackupStats b;
            b.m = &m;
            try {
                b.chunks = r->chunks_of(m.id);
            } catch (const repo::Error& e) {
                if (e.kind() != repo::Error::Kind::Damaged)
                    throw;
                damaged.push_back({e.message(), e.path(), {m.id}});
                continue;
            }
            b.raw_bytes = (m.counts.blocks_written + m.counts.blocks_kept) * m.source.block_size;
            for (const repo::Digest& d : b.chunks)
                users[d]++;
            every.push_back(std::move(b));
        }

        Sizes sizes(*r);
        std::vector<BackupStats> backups;
        std::map<std::pair<std::string, std::string>, SourceStats> sources;
        std::set<repo::Digest> union_all;
        uint64_t total_raw = 0;
        for (BackupStats& b : every) {
            if (chosen.empty() ? !filter.matches(*b.m) : !chosen.count(b.m->id))
                continue;
            std::vector<repo::Digest> only;
            std::copy_if(b.chunks.begin(), b.chunks.end(), std::back_inserter(only),
                         [&](const repo::Digest& d) { return users[d] == 1; });
            b.all = sizes.of(b.chunks);
            b.only_here = sizes.of(only);
            SourceStats& s = sources[{b.m->host, b.m->source.source}];
            s.host = b.m->host;
            s.source = b.m->source.source;
            s.backups++;
            s.raw_bytes += b.raw_bytes;
            s.chunks.insert(b.chunks.begin(), b.chunks.end());
            union_all.insert(b.chunks.begin(), b.chunks.end());
            total_raw += b.raw_bytes;
            backups.push_back(std::move(b));
        }
        std::vector<SourceStats> by_source;
        for (auto& [key, s] : sources) {
            s.figures = sizes.of(s.chunks);
            by_source.push_back(std::move(s));
        }
        return print_stats(opt, r->chunk_bytes(), backups, by_source, sizes.of(union_all), total_raw, damaged);
    });
}

} // namespace

void register_stats(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<StatsOptions>();
    CLI::App* stats = app.add_subcommand(
        "stats", "show what the backups take: raw (their used blocks), deduplicated (the chunks they reference, "
                 "each once) and stored (compressed), per backup, per source and in all; reads no chunk");
    add_repo_options(stats, opt->repo);
    add_filter_options(stats, opt->which, "count backups");
    stats->add_option("ids", opt->ids, "count only these backups: ids, unique prefixes, or latest");
    commands.add(stats, [opt] { return run_stats(*opt); });
}

} // namespace cli
