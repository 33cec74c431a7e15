// kestrel restore, ls and extract: getting data back out of one backup.
#include <cstdio>
#include <ctime>
#include <map>

#include "repo/restore.h"
#include "tools/cli.h"
#include "jobs/json_out.h"

namespace cli {

namespace {

struct RestoreOptions {
    RepoOptions repo;
    std::string backup;
    FilterOptions latest_of;  // what "latest" picks from
    std::string path = "/";
    std::string to;
    bool overwrite = false;
};

int run_restore(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        // Ctrl-C or a kill while the image is written removes its temporary file.
        repo::remove_temp_files_on_signal();
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup, opt.latest_of.filter());
        repo::RestoreOptions options;
        options.overwrite = opt.overwrite;
        {
            ProgressBar bar("restore", opt.repo.json);
            bar.set_unit_bytes(r->chunk_bytes());
            r->restore(id, opt.to, bar.fn(), options);
        }
        repo::Manifest m = r->manifest(id);
        uint64_t bytes = m.source.block_count * m.source.block_size;
        if (opt.repo.json)
            print_json({{"ok", true}, {jobs::json::kBackupId, m.id}, {"image", opt.to}, {"image_bytes", bytes},
                        {jobs::json::kBlockBytes, m.source.block_size}, {jobs::json::kFsBlocks, m.source.block_count}});
        else
            info("restored backup %s (%s, %llu blocks of %u bytes) to %s, every chunk checked\n", m.id.c_str(),
                   human_bytes(bytes).c_str(), static_cast<unsigned long long>(m.source.block_count),
                   m.source.block_size, opt.to.c_str());
        if (!m.unreadable_blocks.empty())
            fprintf(stderr, "kestrel: warning: backup %s has %zu block%s the disk could not read (restored as zeros)\n",
                    m.id.c_str(), m.unreadable_blocks.size(), m.unreadable_blocks.size() == 1 ? "" : "s");
        return kExitOk;
    });
}

// The type and permissions as ls -l shows them: setuid and setgid as s (S without x), the
// sticky bit as t (T without x).
std::string mode_string(const repo::FsEntry& e)
{
    std::string s(1, e.type == 'f' ? '-' : e.type);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        s += (e.mode >> (8 - i)) & 1 ? rwx[i] : '-';
    const struct {
        uint32_t bit;
        int at;
        char with_x, without_x;
    } special[] = {{04000, 3, 's', 'S'}, {02000, 6, 's', 'S'}, {01000, 9, 't', 'T'}};
    for (const auto& sp : special)
        if (e.mode & sp.bit)
            s[sp.at] = s[sp.at] == '-' ? sp.without_x : sp.with_x;
    return s;
}

int run_ls(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup, opt.latest_of.filter());
        std::vector<repo::FsEntry> entries = r->ls(id, opt.path);
        if (opt.repo.json) {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& e : entries) {
                nlohmann::json j = {{"name", e.name}, {"type", std::string(1, e.type)}, {"mode", e.mode & 07777},
                                    {"size_bytes", e.size}, {"mtime", e.mtime}, {"uid", e.uid}, {"gid", e.gid}};
                if (e.type == 'l')
                    j["target"] = e.link_target;
                out.push_back(j);
            }
            print_json({{"ok", true}, {jobs::json::kBackupId, id}, {"path", opt.path}, {"entries", out}});
            return kExitOk;
        }
        for (const auto& e : entries)
            printf("%s %5u %5u %12llu %s %s%s\n", mode_string(e).c_str(), e.uid, e.gid,
                   static_cast<unsigned long long>(e.size), utc_time(e.mtime).c_str(), repo::printable_name(e.name).c_str(),
                   e.type == 'l' ? (" -> " + repo::printable_name(e.link_target)).c_str() : "");
        return kExitOk;
    });
}

// "3 files, 1 symlink" from counts, leaving out the zeros; `none` when all are zero.
std::string count_list(const std::vector<std::pair<uint64_t, std::string>>& counts, const char* none)
{
    std::string out;
    for (const auto& [n, what] : counts)
        if (n)
            out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    return out.empty() ? none : out;
}

std::string reasons(const std::map<std::string, uint64_t>& by_reason)
{
    std::vector<std::pair<uint64_t, std::string>> v;
    for (const auto& [why, n] : by_reason)
        v.push_back({n, why});
    return count_list(v, "");
}

uint64_t total(const std::map<std::string, uint64_t>& by_reason)
{
    uint64_t n = 0;
    for (const auto& [why, k] : by_reason)
        n += k;
    return n;
}

// Extract ends with exit 3 when entries were refused: the backed-up file system holds
// something a sound one does not (damage, or names made to escape the target).
int run_extract(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup, opt.latest_of.filter());
        repo::ExtractReport rep;
        {
            ProgressBar bar("extract", opt.repo.json);
            bar.set_unit_bytes(1);
            repo::ExtractOptions eo;
            eo.progress = bar.fn();
            rep = r->extract(id, opt.path, opt.to, eo);
        }
        for (const auto& w : rep.warnings)
            fprintf(stderr, "kestrel: warning: %s\n", w.c_str());
        if (rep.warnings_dropped)
            fprintf(stderr, "kestrel: warning: %llu more warnings not shown\n",
                    static_cast<unsigned long long>(rep.warnings_dropped));
        if (opt.repo.json) {
            nlohmann::json j = repo::to_json(rep);
            // The report's "bytes" is the file data written.
            j["data_bytes"] = j["bytes"];
            j.erase("bytes");
            j["ok"] = rep.complete();
            j[jobs::json::kBackupId] = id;
            j["path"] = opt.path;
            j["to"] = opt.to;
            print_json(j);
        } else if (!quiet() || !rep.complete()) {
            auto plural = [](uint64_t n, const char* one, const char* many) { return n == 1 ? one : many; };
            std::string done = count_list({{rep.files, plural(rep.files, "file", "files")},
                                           {rep.directories, plural(rep.directories, "directory", "directories")},
                                           {rep.symlinks, plural(rep.symlinks, "symlink", "symlinks")},
                                           {rep.hard_links, plural(rep.hard_links, "hard link", "hard links")},
                                           {rep.fifos, plural(rep.fifos, "fifo", "fifos")},
                                           {rep.devices, plural(rep.devices, "device", "devices")}},
                                          "nothing");
            printf("extracted %s from backup %s into %s: %s (%s of file data)", opt.path.c_str(), id.c_str(),
                   opt.to.c_str(), done.c_str(), human_bytes(rep.bytes).c_str());
            if (!rep.skipped.empty())
                printf("; skipped %llu (%s)", static_cast<unsigned long long>(total(rep.skipped)),
                       reasons(rep.skipped).c_str());
            if (!rep.refused.empty())
                printf("; REFUSED %llu (%s)", static_cast<unsigned long long>(total(rep.refused)),
                       reasons(rep.refused).c_str());
            if (!rep.not_kept.empty())
                printf("; not kept: %s", reasons(rep.not_kept).c_str());
            printf("\n");
        }
        return rep.complete() ? kExitOk : kExitDamage;
    });
}

} // namespace

void register_restore(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RestoreOptions>();

    CLI::App* restore = app.add_subcommand(
        "restore", "restore a backup to an image file (sparse) or a block device, checking every chunk; exit 3 on damage");
    add_repo_options(restore, opt->repo);
    restore->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    add_filter_options(restore, opt->latest_of, "with --backup latest: the newest backup");
    restore->add_option("--to", opt->to, "the image file to create, or with --overwrite an existing one or a block device")
        ->required();
    restore->add_flag("--overwrite", opt->overwrite,
                      "replace an existing image file, or write onto a block device that is not mounted or in use");
    commands.add(restore, [opt] { return run_restore(*opt); });

    CLI::App* ls = app.add_subcommand("ls", "list a directory of a backed-up ext2/3/4 file system");
    add_repo_options(ls, opt->repo);
    ls->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    add_filter_options(ls, opt->latest_of, "with --backup latest: the newest backup");
    ls->add_option("path", opt->path, "the directory or file in the file system (default /)");
    commands.add(ls, [opt] { return run_ls(*opt); });

    CLI::App* extract = app.add_subcommand(
        "extract", "copy a file or a tree out of a backed-up ext2/3/4 file system into a directory, with owners (as "
                   "root), modes, times, extended attributes, hard links and holes; exit 3 when the file system holds "
                   "entries that were refused (unsafe names, damage)");
    add_repo_options(extract, opt->repo);
    extract->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    add_filter_options(extract, opt->latest_of, "with --backup latest: the newest backup");
    extract->add_option("path", opt->path, "the file or directory in the file system")->required();
    extract->add_option("--to", opt->to, "the directory to extract into (must exist)")->required();
    commands.add(extract, [opt] { return run_extract(*opt); });
}

} // namespace cli
