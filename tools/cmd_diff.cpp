// kestrel diff: what changed between two backups of one source.
#include <chrono>
#include <cstdio>

#include "repo/diff.h"
#include "tools/cli.h"

namespace cli {

namespace {

struct DiffOptions {
    RepoOptions repo;
    std::string from, to;
};

nlohmann::json changes_json(const std::vector<repo::FsChange>& changes)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& c : changes)
        out.push_back({{"path", c.path}, {"type", std::string(1, c.type)}});
    return out;
}

void print_changes(char mark, const std::vector<repo::FsChange>& changes)
{
    for (const auto& c : changes)
        printf("%c  %s%s\n", mark, repo::printable_name(c.path).c_str(), c.type == 'd' && c.path != "/" ? "/" : "");
}

int run_diff(const DiffOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        const auto start = std::chrono::steady_clock::now();
        auto r = open_repo(opt.repo);
        const std::string from_id = resolve_backup(*r, opt.from), to_id = resolve_backup(*r, opt.to);
        auto from = r->reader(from_id);
        auto to = r->reader(to_id);
        repo::BackupDiff d;
        {
            ProgressBar bar("diff", opt.repo.json);
            bar.set_unit_bytes(to->manifest().source.block_size);
            d = repo::diff_backups(*from, *to, bar.fn());
        }
        const repo::SourceInfo& src = to->manifest().source;
        const uint64_t bs = src.block_size;
        if (opt.repo.json) {
            nlohmann::json runs = nlohmann::json::array();
            for (const auto& run : d.differing)
                runs.push_back({{"first_block", run.first}, {"blocks", run.count}});
            nlohmann::json j = {
                {"ok", true},
                {"from_backup_id", from_id},
                {"to_backup_id", to_id},
                {"source", src.source},
                {"block_bytes", bs},
                {"differing_blocks", d.blocks_differing},
                {"differing_bytes", d.blocks_differing * bs},
                {"ranges", runs},
                {"total_chunks", d.chunks},
                {"same_chunks", d.chunks_same_by_digest},
                {"read_bytes", d.bytes_read},
                {"duration_ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start).count()}};
            if (d.files_compared)
                j["files"] = {{"added", changes_json(d.added)},
                              {"removed", changes_json(d.removed)},
                              {"changed", changes_json(d.changed)}};
            else
                j["files"] = nullptr;
            print_json(j);
            return kExitOk;
        }
        printf("%s -> %s (%s): %llu block%s differ (%s) in %zu range%s; %llu of %llu chunks equal by digest\n",
               from_id.c_str(), to_id.c_str(), src.source.c_str(), static_cast<unsigned long long>(d.blocks_differing),
               d.blocks_differing == 1 ? "" : "s", human_bytes(d.blocks_differing * bs).c_str(), d.differing.size(),
               d.differing.size() == 1 ? "" : "s", static_cast<unsigned long long>(d.chunks_same_by_digest),
               static_cast<unsigned long long>(d.chunks));
        for (const auto& run : d.differing) {
            if (run.count == 1)
                printf("   block %llu\n", static_cast<unsigned long long>(run.first));
            else
                printf("   blocks %llu-%llu\n", static_cast<unsigned long long>(run.first),
                       static_cast<unsigned long long>(run.first + run.count - 1));
        }
        if (!d.files_compared) {
            printf("no file comparison: the backups hold no ext2/3/4 file system\n");
            return kExitOk;
        }
        print_changes('+', d.added);
        print_changes('-', d.removed);
        print_changes('M', d.changed);
        printf("%zu added, %zu removed, %zu changed\n", d.added.size(), d.removed.size(), d.changed.size());
        return kExitOk;
    });
}

} // namespace

void register_diff(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<DiffOptions>();
    CLI::App* diff = app.add_subcommand(
        "diff", "show what changed between two backups of one source: the blocks that differ and, for ext2/3/4, "
                "the files added (+), removed (-) and changed (M); chunks whose names are equal are not read");
    add_repo_options(diff, opt->repo);
    diff->add_option("from", opt->from, "the older backup: an id, a unique prefix of one, or latest")->required();
    diff->add_option("to", opt->to, "the newer backup: an id, a unique prefix of one, or latest")->required();
    commands.add(diff, [opt] { return run_diff(*opt); });
}

} // namespace cli
