// kestrel init, list, verify, forget, gc and repair: the repository as a whole.
#include <cstdio>

#include "tools/cli.h"
#include "jobs/json_out.h"

namespace cli {

namespace {

int run_init(const RepoOptions& opt, uint32_t chunk_bytes, bool insecure)
{
    return guarded(opt.json, [&] {
        repo::InitOptions init;
        init.chunk_bytes = chunk_bytes;
        create_repo(opt, init, insecure);
        if (opt.json)
            print_json({{"ok", true}, {"repo", opt.repo}, {"chunk_bytes", chunk_bytes}, {"encrypted", !insecure}});
        else
            info("created %srepository %s (chunks of %s)\n", insecure ? "unencrypted " : "encrypted ",
                 opt.repo.c_str(), human_bytes(chunk_bytes).c_str());
        return kExitOk;
    });
}

int run_list(const RepoOptions& opt, const FilterOptions& which)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        std::vector<repo::Damage> damaged;
        std::vector<repo::Manifest> all = r->list(damaged);
        const repo::BackupFilter filter = which.filter();
        std::erase_if(all, [&](const repo::Manifest& m) { return !filter.matches(m); });
        // Backups whose manifest cannot be read are listed as such, with exit code 3: they
        // cannot be restored, and "forget ID" removes them.
        const int code = damaged.empty() ? kExitOk : kExitDamage;
        if (opt.json) {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& m : all)
                out.push_back(jobs::json::backup(m));
            nlohmann::json bad = nlohmann::json::array();
            for (const auto& d : damaged)
                bad.push_back({{jobs::json::kBackupId, d.backups.at(0)}, {"what", d.what}, {"path", d.path}});
            print_json({{"ok", damaged.empty()}, {"backups", out}, {"damaged", bad}});
            return code;
        }
        Table table({"ID", "SNAPSHOT (UTC)", "HOST", "SOURCE", "FS", "KIND", "BLOCKS READ", "STORED", "TAGS", ""},
                    {6, 7});
        for (const auto& m : all)
            table.add({m.id, utc_time(m.snapshot_time), m.host.empty() ? "?" : m.host, m.source.source,
                       m.source.fs_type, m.incremental ? "incremental" : "full",
                       std::to_string(m.counts.blocks_written), human_bytes(m.counts.bytes_new), join_tags(m.tags),
                       m.unreadable_blocks.empty() ? "" : "(has unreadable blocks)"});
        printf("%s", table.str().c_str());
        for (const auto& d : damaged)
            printf("%s  DAMAGED: %s (%s)\n", d.backups.at(0).c_str(), d.what.c_str(), d.path.c_str());
        printf("%zu backup%s", all.size(), all.size() == 1 ? "" : "s");
        if (!damaged.empty())
            printf(", and %zu with a damaged manifest (kestrel forget ID removes one)", damaged.size());
        printf("\n");
        return code;
    });
}

int run_verify(const RepoOptions& opt, const std::string& backup, const std::string& subset)
{
    repo::VerifyOptions options;
    if (!subset.empty())
        options.read = *repo::parse_read_subset(subset);  // checked when parsed
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        ProgressBar bar("verify", opt.json);
        repo::VerifyReport rep = r->verify(backup.empty() ? std::nullopt : std::optional(resolve_backup(*r, backup)),
                                           bar.fn(), options);
        if (opt.json) {
            nlohmann::json damage = nlohmann::json::array();
            for (const auto& d : rep.damage)
                damage.push_back({{"what", d.what}, {"path", d.path}, {"backup_ids", d.backups}});
            print_json({{"ok", rep.clean()},
                        {"checked_backups", rep.backups_checked},
                        {"checked_chunks", rep.chunks_checked},
                        {"checked_bytes", rep.bytes_checked},
                        {"read_chunks", rep.chunks_read},
                        {"read_bytes", rep.bytes_checked},
                        {"damage", damage},
                        {"damaged_backup_ids", rep.damaged_backups()}});
        } else {
            for (const auto& d : rep.damage) {
                std::string ids;
                for (const auto& b : d.backups)
                    ids += (ids.empty() ? "" : ", ") + b;
                printf("damaged: %s: %s (affects backup%s %s)\n", d.what.c_str(), d.path.c_str(),
                       d.backups.size() == 1 ? "" : "s", ids.c_str());
            }
            if (!quiet() || !rep.clean()) {
                std::string read;
                if (rep.chunks_read != rep.chunks_checked)
                    read = ", read " + std::to_string(rep.chunks_read) + " of them (" + subset + ")";
                printf("checked %llu backup%s and %llu chunks%s (%s): %s\n",
                       static_cast<unsigned long long>(rep.backups_checked), rep.backups_checked == 1 ? "" : "s",
                       static_cast<unsigned long long>(rep.chunks_checked), read.c_str(),
                       human_bytes(rep.bytes_checked).c_str(), rep.clean() ? "no damage" : "DAMAGE FOUND");
            }
            if (!rep.clean()) {
                std::string ids;
                for (const auto& b : rep.damaged_backups())
                    ids += (ids.empty() ? "" : " ") + b;
                fprintf(stderr, "kestrel: damaged backups: %s\n", ids.c_str());
            }
        }
        return rep.clean() ? kExitOk : kExitDamage;
    });
}

int run_forget(const RepoOptions& opt, const repo::RetentionPolicy& policy, const FilterOptions& which,
               const std::vector<std::string>& ids, bool dry_run)
{
    if (policy.empty() == ids.empty()) {
        fprintf(stderr, "kestrel: forget needs either the IDs of backups or at least one of --keep-last, "
                        "--keep-daily, --keep-weekly, --keep-monthly (each at least 1), not both\n");
        return kExitUsage;
    }
    const repo::BackupFilter filter = which.filter();
    if (!ids.empty() && (!filter.host.empty() || !filter.source.empty() || !filter.tags.empty())) {
        fprintf(stderr, "kestrel: --host, --source and --tag select what retention rules apply to; "
                        "they do not go with IDs\n");
        return kExitUsage;
    }
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        repo::ForgetResult res = ids.empty() ? r->forget(policy, dry_run, filter) : r->forget_ids(ids, dry_run);
        if (opt.json) {
            print_json({{"ok", true}, {"dry_run", dry_run}, {"kept_backup_ids", res.kept},
                        {"forgotten_backup_ids", res.forgotten}});
        } else {
            for (const auto& id : res.kept)
                detail("%s %s\n", dry_run ? "would keep" : "kept", id.c_str());
            for (const auto& id : res.forgotten)
                info("%s %s\n", dry_run ? "would forget" : "forgot", id.c_str());
            info("%zu kept, %zu %s; run gc to free their chunks\n", res.kept.size(), res.forgotten.size(),
                   dry_run ? "would be forgotten" : "forgotten");
        }
        return kExitOk;
    });
}

int run_gc(const RepoOptions& opt)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        ProgressBar bar("gc", opt.json);
        repo::GcResult res = r->gc(bar.fn());
        if (opt.json)
            print_json({{"ok", true},
                        {"referenced_chunks", res.chunks_referenced},
                        {"removed_chunks", res.chunks_removed},
                        {"removed_bytes", res.bytes_removed},
                        {"removed_other_files", res.other_files_removed},
                        {"removed_packs", res.packs_removed},
                        {"repacked_packs", res.packs_repacked}});
        else
            info("removed %llu unreferenced chunk%s (%s) and %llu leftover file%s; %llu chunks in use\n",
                 static_cast<unsigned long long>(res.chunks_removed), res.chunks_removed == 1 ? "" : "s",
                 human_bytes(res.bytes_removed).c_str(), static_cast<unsigned long long>(res.other_files_removed),
                 res.other_files_removed == 1 ? "" : "s", static_cast<unsigned long long>(res.chunks_referenced));
        return kExitOk;
    });
}

int run_repair(const RepoOptions& opt)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        ProgressBar bar("repair", opt.json);
        repo::RepairReport rep = r->repair(bar.fn());
        if (opt.json) {
            nlohmann::json damage = nlohmann::json::array();
            for (const auto& d : rep.damage)
                damage.push_back({{"what", d.what}, {"path", d.path}, {"backup_ids", d.backups}});
            print_json({{"ok", rep.clean()},
                        {"checked_chunks", rep.chunks_checked},
                        {"lost_chunks", rep.chunks_lost},
                        {"damage", damage},
                        {"affected_backup_ids", rep.affected_backups}});
        } else {
            for (const auto& d : rep.damage)
                printf("set aside: %s: %s (%zu backup%s affected)\n", d.what.c_str(), d.path.c_str(),
                       d.backups.size(), d.backups.size() == 1 ? "" : "s");
            for (const auto& b : rep.affected_backups)
                printf("affected: %s\n", b.c_str());
            printf("checked %llu chunks: %s\n", static_cast<unsigned long long>(rep.chunks_checked),
                   rep.clean() ? "no damage"
                               : "damage set aside; a new backup of the affected sources stores lost chunks again, "
                                 "or kestrel forget ID removes a backup");
        }
        return rep.clean() ? kExitOk : kExitDamage;
    });
}

int run_unlock(const RepoOptions& opt, bool all)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        std::vector<std::string> removed = repo::remove_locks(r->store(), repo::LockOptions{}, all);
        if (opt.json) {
            print_json({{"ok", true}, {"removed_locks", removed}});
        } else {
            for (const auto& name : removed)
                info("removed %s\n", name.c_str());
            info("removed %zu lock%s\n", removed.size(), removed.size() == 1 ? "" : "s");
        }
        return kExitOk;
    });
}

} // namespace

void register_repo(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RepoOptions>();

    CLI::App* init = app.add_subcommand("init", "create an empty repository");
    add_repo_options(init, *opt);
    auto chunk = std::make_shared<uint32_t>(repo::kDefaultChunkBytes);
    init->add_option("--chunk-size", *chunk, "bytes per chunk, a multiple of 4096 (default 65536)")
        ->check(CLI::Range(4096u, 16u << 20));
    auto insecure = std::make_shared<bool>(false);
    init->add_flag("--insecure-no-encryption", *insecure,
                   "store everything unencrypted and unauthenticated (anyone who can read the repository reads the "
                   "backed-up data)");
    commands.add(init, [opt, chunk, insecure] { return run_init(*opt, *chunk, *insecure); });

    CLI::App* list = app.add_subcommand("list", "list the backups, oldest first");
    add_repo_options(list, *opt);
    auto which = std::make_shared<FilterOptions>();
    add_filter_options(list, *which, "list backups");
    commands.add(list, [opt, which] { return run_list(*opt, *which); });

    CLI::App* verify = app.add_subcommand(
        "verify", "check that every chunk of one backup (or all) exists, decompresses and hashes to its name; "
                  "exit 3 when damage is found");
    add_repo_options(verify, *opt);
    auto backup = std::make_shared<std::string>();
    verify->add_option("--backup", *backup, "the backup to check: an id, a unique prefix of one, or latest (default: all)");
    auto subset = std::make_shared<std::string>();
    verify->add_option("--read-data-subset", *subset,
                       "read back only a share of the chunks (the others are only looked up): N% picks a random "
                       "N percent on each run, n/m the n-th of m fixed slices (runs 1/m to m/m read each chunk once)")
        ->check(CLI::Validator(
            [](const std::string& v) {
                return repo::parse_read_subset(v) ? std::string()
                                                  : "\"" + v + "\" is not N% (0 < N <= 100) or n/m (1 <= n <= m)";
            },
            "N%|n/m"));
    commands.add(verify, [opt, backup, subset] { return run_verify(*opt, *backup, *subset); });

    CLI::App* forget = app.add_subcommand(
        "forget", "forget the backups no retention rule keeps (rules count per host and source), or the "
                  "backups named; gc then frees their chunks");
    add_repo_options(forget, *opt);
    auto policy = std::make_shared<repo::RetentionPolicy>();
    auto dry_run = std::make_shared<bool>(false);
    forget->add_option("--keep-last", policy->keep_last, "keep the newest N backups");
    forget->add_option("--keep-daily", policy->keep_daily, "keep the newest backup of each of the last N days");
    forget->add_option("--keep-weekly", policy->keep_weekly, "keep the newest backup of each of the last N weeks");
    forget->add_option("--keep-monthly", policy->keep_monthly, "keep the newest backup of each of the last N months");
    forget->add_flag("--dry-run", *dry_run, "only say what would be forgotten");
    add_filter_options(forget, *which, "apply the rules to backups");
    auto ids = std::make_shared<std::vector<std::string>>();
    forget->add_option("ids", *ids, "forget these backups (full ids), also ones whose manifest is damaged");
    commands.add(forget,
                 [opt, policy, which, ids, dry_run] { return run_forget(*opt, *policy, *which, *ids, *dry_run); });

    CLI::App* gc = app.add_subcommand(
        "gc", "remove chunks no backup references; needs the repository alone: fails (exit 4) while a backup, "
              "restore or verify runs, unless told to wait (--wait-lock)");
    add_repo_options(gc, *opt);
    commands.add(gc, [opt] { return run_gc(*opt); });

    CLI::App* repair = app.add_subcommand(
        "repair", "read every stored chunk, set damaged objects aside (under damaged/), rebuild the chunk index "
                  "from the packs and list the backups affected (exit 3 when any); needs the repository alone");
    add_repo_options(repair, *opt);
    commands.add(repair, [opt] { return run_repair(*opt); });

    CLI::App* unlock = app.add_subcommand(
        "unlock", "remove stale locks: those of processes gone from this host, of other hosts not refreshed "
                  "for 30 minutes, and unreadable ones");
    add_repo_options(unlock, *opt);
    auto all = std::make_shared<bool>(false);
    unlock->add_flag("--remove-all", *all, "remove every lock, also live ones (only when no kestrel uses the repository)");
    commands.add(unlock, [opt, all] { return run_unlock(*opt, *all); });
}

} // namespace cli
