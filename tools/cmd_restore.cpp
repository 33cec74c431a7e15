// kestrel restore, ls and extract: getting data back out of one backup.
#include <cstdio>
#include <ctime>

#include "tools/cli.h"

namespace cli {

namespace {

struct RestoreOptions {
    RepoOptions repo;
    std::string backup;
    std::string path = "/";
    std::string to;
};

int run_restore(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup);
        {
            ProgressBar bar("restore", opt.repo.json);
            bar.set_unit_bytes(r->chunk_bytes());
            r->restore(id, opt.to, bar.fn());
        }
        repo::Manifest m = r->manifest(id);
        uint64_t bytes = m.source.block_count * m.source.block_size;
        if (opt.repo.json)
            print_json({{"ok", true}, {"backup", m.id}, {"image", opt.to}, {"bytes", bytes},
                        {"block_size", m.source.block_size}, {"block_count", m.source.block_count}});
        else
            printf("restored backup %s (%s, %llu blocks of %u bytes) to %s, every chunk checked\n", m.id.c_str(),
                   human_bytes(bytes).c_str(), static_cast<unsigned long long>(m.source.block_count),
                   m.source.block_size, opt.to.c_str());
        if (!m.unreadable_blocks.empty())
            fprintf(stderr, "kestrel: warning: backup %s has %zu block%s the disk could not read (restored as zeros)\n",
                    m.id.c_str(), m.unreadable_blocks.size(), m.unreadable_blocks.size() == 1 ? "" : "s");
        return kExitOk;
    });
}

std::string mode_string(const repo::FsEntry& e)
{
    std::string s(1, e.type == 'f' ? '-' : e.type);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        s += (e.mode >> (8 - i)) & 1 ? rwx[i] : '-';
    return s;
}

int run_ls(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup);
        std::vector<repo::FsEntry> entries = r->ls(id, opt.path);
        if (opt.repo.json) {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& e : entries) {
                nlohmann::json j = {{"name", e.name}, {"type", std::string(1, e.type)}, {"mode", e.mode & 07777},
                                    {"size", e.size}, {"mtime", e.mtime}, {"uid", e.uid}, {"gid", e.gid}};
                if (e.type == 'l')
                    j["target"] = e.link_target;
                out.push_back(j);
            }
            print_json({{"ok", true}, {"backup", id}, {"path", opt.path}, {"entries", out}});
            return kExitOk;
        }
        for (const auto& e : entries)
            printf("%s %5u %5u %12llu %s %s%s\n", mode_string(e).c_str(), e.uid, e.gid,
                   static_cast<unsigned long long>(e.size), utc_time(e.mtime).c_str(), e.name.c_str(),
                   e.type == 'l' ? (" -> " + e.link_target).c_str() : "");
        return kExitOk;
    });
}

int run_extract(const RestoreOptions& opt)
{
    return guarded(opt.repo.json, [&] {
        auto r = open_repo(opt.repo);
        const std::string id = resolve_backup(*r, opt.backup);
        uint64_t bytes;
        {
            ProgressBar bar("extract", opt.repo.json);
            bytes = r->extract(id, opt.path, opt.to, bar.fn());
        }
        if (opt.repo.json)
            print_json({{"ok", true}, {"backup", id}, {"path", opt.path}, {"to", opt.to}, {"bytes", bytes}});
        else
            printf("extracted %s from backup %s into %s (%s of file data)\n", opt.path.c_str(), id.c_str(),
                   opt.to.c_str(), human_bytes(bytes).c_str());
        return kExitOk;
    });
}

} // namespace

void register_restore(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RestoreOptions>();

    CLI::App* restore = app.add_subcommand(
        "restore", "restore a backup to a new image file (sparse), checking every chunk; exit 3 on damage");
    add_repo_options(restore, opt->repo);
    restore->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    restore->add_option("--to", opt->to, "the image file to create (must not exist)")->required();
    commands.add(restore, [opt] { return run_restore(*opt); });

    CLI::App* ls = app.add_subcommand("ls", "list a directory of a backed-up ext2/3/4 file system");
    add_repo_options(ls, opt->repo);
    ls->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    ls->add_option("path", opt->path, "the directory or file in the file system (default /)");
    commands.add(ls, [opt] { return run_ls(*opt); });

    CLI::App* extract = app.add_subcommand(
        "extract", "copy a file or a tree out of a backed-up ext2/3/4 file system into a directory");
    add_repo_options(extract, opt->repo);
    extract->add_option("--backup", opt->backup, "the backup: an id, a unique prefix of one, or latest")->required();
    extract->add_option("path", opt->path, "the file or directory in the file system")->required();
    extract->add_option("--to", opt->to, "the directory to extract into (must exist)")->required();
    commands.add(extract, [opt] { return run_extract(*opt); });
}

} // namespace cli
