// kestrel backup and kestrel version: boot a simulated machine (or reach a live one, kestrel
// serve), load the module and drive it as a backup agent would.
// The command's headers first: the kernel headers define macros (current) that clash
// with the libraries'.
#include "tools/cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "agent/control.h"
#include "agent/sim_transport.h"
#include "agent/socket_transport.h"
#include "jobs/disk_backup.h"
#include "module/kestrel.h"
#include "repo/s3_backend.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "machine/install.h"

namespace cli {

namespace {

struct VersionOptions {
    bool json = false;
};

nlohmann::json log_json(const sim::Machine& machine)
{
    nlohmann::json out = nlohmann::json::array();
    for (const sim::LogLine& l : machine.dmesg())
        out.push_back({{"level", l.level}, {"text", l.text}});
    return out;
}

int run_version(const VersionOptions& opt)
{
    sim::Machine machine{install::machine_config()};
    int rc = install::load_module(machine);
    agent::Version v;
    int status = rc;
    if (rc == 0) {
        sim::Process& proc = machine.spawn("kestrel");
        agent::SimTransport transport(proc);
        agent::ControlDevice dev(transport);
        status = dev.open();
        if (status == 0)
            status = dev.version(v);
        dev.close();
        proc.exit();
        machine.rmmod("kestrel");
    }
    if (opt.json) {
        print_json({{"ok", status == 0},
                    {"status", status},
                    {"version", std::to_string(v.major) + "." + std::to_string(v.minor)},
                    {"kernel", machine.kernel_release()},
                    {"log", log_json(machine)}});
    } else {
        if (status == 0)
            printf("kestrel module version %u.%u on kernel %s\n", v.major, v.minor,
                   machine.kernel_release().c_str());
        else
            fprintf(stderr, "kestrel: could not query the module (status %d)\n", status);
        if (!quiet())
            printf("\nkernel log:\n%s", machine.dmesg_text().c_str());
    }
    return status == 0 ? kExitOk : kExitFailed;
}

struct DiskBackupOptions {
    RepoOptions repo;
    std::string disk;
    std::string server;
    std::string device;
    unsigned partition = 1;
    bool wait = false;
    jobs::PartitionBackupOptions backup;
};

// Whether `e` says that nothing at the repository's place is a repository yet.
bool no_config(const repo::Error& e)
{
    return e.kind() == repo::Error::Kind::NotFound && e.path().ends_with("/config");
}

// Opens the repository, creating it (encrypted, as `kestrel init` does) when nothing is
// stored at its place yet (a directory that does not exist or is empty, or an S3 prefix
// without objects), so that a first backup needs no separate init. Of several first backups
// into one place at once, one creates the repository and the others wait for it and open it.
std::unique_ptr<repo::Repository> open_or_create(const RepoOptions& opt, bool& created)
{
    created = false;
    try {
        return open_repo(opt);
    } catch (const repo::Error& e) {
        if (!no_config(e))
            throw;
    }
    // A place that holds anything but another backup's repository in the making is refused
    // before a new password is asked for (a directory that does not exist is made only once
    // the password is known).
    std::error_code ec;
    if (repo::is_s3_address(opt.repo) || std::filesystem::exists(opt.repo, ec)) {
        try {
            repo::open_backend(repo::Env::posix(), opt.repo)->create();
        } catch (const repo::Error& e) {
            if (e.kind() != repo::Error::Kind::Exists ||
                repo::open_backend(repo::Env::posix(), opt.repo)->list("keys").empty())
                throw;
        }
    }
    const std::string password = repo_password(opt, true);
    auto open_with_password = [&] {
        repo::OpenOptions oo;
        oo.password = [&password] { return password; };
        auto r = repo::Repository::open(repo::Env::posix(), opt.repo, oo);
        apply_lock_options(*r, opt);
        return r;
    };
    try {
        create_repo(opt, {}, false, password);
        created = true;
    } catch (const repo::Error& e) {
        if (e.kind() != repo::Error::Kind::Exists)
            throw;
        // Another backup's init is under way while key files stand without a config (the
        // first key is made before the config); anything else there is not ours to wait for.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            try {
                return open_with_password();
            } catch (const repo::Error& again) {
                if (!no_config(again) || std::chrono::steady_clock::now() > until ||
                    repo::open_backend(repo::Env::posix(), opt.repo)->list("keys").empty())
                    throw e;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // The password just given opens it: not asked for again.
    return open_with_password();
}

// Prints the backup's report and returns its exit code.
int report_backup(const DiskBackupOptions& opt, const jobs::PartitionBackup& b, bool created,
                  const std::string& problems)
{
    const bool json = opt.repo.json;
    bool ok = b.result.ok() && problems.empty();
    if (json) {
        nlohmann::json j = jobs::to_json(b);
        j["ok"] = ok;
        j["repo"] = opt.repo.repo;
        j["created_repo"] = created;
        if (!problems.empty())
            j["shutdown"] = problems;
        print_json(j);
    } else if (b.committed() || b.result.ok()) {
        info("%s", jobs::describe(b).c_str());
        if (b.committed())
            detail("  recorded as backup %s of host %s%s%s\n", b.id.c_str(), opt.backup.host.c_str(),
                   opt.backup.tags.empty() ? "" : ", tags ", join_tags(opt.backup.tags).c_str());
    }
    if (!b.result.ok())
        fprintf(stderr, "kestrel: %s\n", b.result.error.c_str());
    if (b.committed() && b.counts.chunks_stored_again)
        fprintf(stderr,
                "kestrel: warning: %llu chunk%s the repository held read back missing or damaged and %s stored "
                "again; the backup references the new copies (kestrel repair sets damaged ones aside)\n",
                static_cast<unsigned long long>(b.counts.chunks_stored_again),
                b.counts.chunks_stored_again == 1 ? "" : "s", b.counts.chunks_stored_again == 1 ? "was" : "were");
    if (!problems.empty())
        fprintf(stderr, "kestrel: the machine did not shut down cleanly: %s\n", problems.c_str());
    return ok ? kExitOk : kExitFailed;
}

// A backup of a partition of a live machine (kestrel serve), whose module keeps tracking
// the partition between backups.
int run_server_backup(const DiskBackupOptions& opt)
{
    const bool json = opt.repo.json;
    return guarded(json, [&] {
        std::string error;
        auto transport = agent::SocketTransport::connect(opt.server, &error);
        if (!transport)
            throw repo::Error(repo::Error::Kind::Invalid, error);
        std::string info = transport->info();
        if (info.empty())
            throw repo::Error(repo::Error::Kind::Invalid, "the machine at " + opt.server + " did not answer");
        nlohmann::json machine = nlohmann::json::parse(info);
        const nlohmann::json* found = nullptr;
        for (const nlohmann::json& d : machine["devices"]) {
            bool match = opt.device.empty()
                             ? d["disk"] == 0 && d["partition"] == opt.partition
                             : d["name"] == opt.device;
            if (match)
                found = &d;
        }
        if (!found)
            throw repo::Error(repo::Error::Kind::Invalid,
                              "the machine has no " + (opt.device.empty() ? "partition " + std::to_string(opt.partition)
                                                                          : "device " + opt.device));
        const uint32_t dev = (found->at("major").get<uint32_t>() << 20) | found->at("minor").get<uint32_t>();
        bool created = false;
        auto r = open_or_create(opt.repo, created);
        apply_lock_options(*r, opt.repo);
        if (created && !json)
            cli::info("created repository %s\n", opt.repo.repo.c_str());
        ProgressBar bar("backup", json);
        jobs::PartitionBackup b;
        for (unsigned waited = 0;; waited++) {
            b = jobs::back_up_device(*transport, dev, found->at("image").get<std::string>(),
                                     found->at("partition").get<unsigned>(), *r, opt.backup,
                                     [&](uint32_t done, uint32_t total) { bar.update(done, total); });
            // The module runs one backup at a time: with --wait, a refusal for that is
            // tried again until the running backup has ended.
            bool busy = b.result.failure == agent::Failure::Refused && b.result.status == kes::KES_BUSY;
            if (!opt.wait || !busy || !transport->connected())
                break;
            if (waited == 0 && !json && !quiet())
                fprintf(stderr, "kestrel: another backup is running; waiting for it to end\n");
            usleep(std::min(100000u * (waited + 1), 1000000u));
        }
        // A lost connection is said as such, not as the step it broke off.
        if (!b.result.ok() && !transport->lost_reason().empty())
            b.result.error = transport->lost_reason();
        // The machine keeps the last backup of each device for `kestrel status`.
        transport->report(nlohmann::json{{"device", found->at("name")},
                                         {"id", b.id},
                                         {"ok", b.committed() && b.result.ok()},
                                         {"incremental", b.result.incremental},
                                         {"full_reason", b.result.full_reason},
                                         {"error", b.result.error}}
                              .dump());
        return report_backup(opt, b, created, "");
    });
}

int run_disk_backup(const DiskBackupOptions& opt)
{
    if (!opt.server.empty())
        return run_server_backup(opt);
    const bool json = opt.repo.json;
    return guarded(json, [&] {
        bool created = false;
        jobs::PartitionBackup b;
        std::string problems;
        {
            sim::Machine machine{install::machine_config()};
            std::unique_ptr<demo::ImageSession> session;
            try {
                session = std::make_unique<demo::ImageSession>(machine, opt.disk, std::vector<unsigned>{opt.partition});
            } catch (const std::runtime_error& e) {
                throw repo::Error(repo::Error::Kind::Invalid, e.what());
            }
            for (const std::string& line : session->notices())
                fprintf(stderr, "kestrel: %s\n", line.c_str());
            auto r = open_or_create(opt.repo, created);
            apply_lock_options(*r, opt.repo);
            if (created && !json)
                cli::info("created repository %s\n", opt.repo.repo.c_str());
            ProgressBar bar("backup", json);
            b = jobs::back_up_partition(*session, opt.disk, opt.partition, *r, opt.backup,
                                        [&](uint32_t done, uint32_t total) { bar.update(done, total); });
            problems = session->shutdown();
        }
        return report_backup(opt, b, created, problems);
    });
}

} // namespace

void register_backup(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<DiskBackupOptions>();
    CLI::App* backup = app.add_subcommand(
        "backup", "boot a simulated machine on a disk image, mount a partition, load the module and back the "
                  "partition up into a repository (incremental when the module still tracks it, else full, "
                  "storing only the chunks the repository lacks)");
    auto* disk = backup->add_option("--disk", opt->disk, "the disk image (an MBR with primary partitions)")
                     ->check(CLI::ExistingFile);
    auto* server = backup->add_option("--server", opt->server,
                                      "the control socket of a live machine (kestrel serve) instead of an image: "
                                      "its module keeps tracking the partition, so the next backup is incremental");
    disk->excludes(server);
    backup->add_option("--partition", opt->partition, "the partition to back up, from 1 (default 1)")
        ->check(CLI::Range(1u, 15u));
    backup->add_option("--device", opt->device, "with --server: the device to back up by name (sdb2)")
        ->needs(server);
    backup->add_flag("--wait", opt->wait,
                     "with --server: when another backup is running, wait for it to end instead of failing")
        ->needs(server);
    backup->callback([disk, server] {
        if (disk->count() + server->count() == 0)
            throw CLI::RequiredError("--disk or --server");
    });
    add_repo_options(backup, opt->repo);
    backup->add_option("--cache", opt->backup.cache_blocks,
                       "most old blocks the copy-on-write cache may hold (default 65536)")
        ->check(CLI::Range(1u, 0x7FFFFFFFu));
    backup->add_flag("--full", opt->backup.full,
                     "a full backup even when an incremental is possible; every chunk the repository holds "
                     "already is read back before it is reused (else one in 32), and one found damaged is "
                     "stored again");
    opt->backup.host = this_host();
    backup->add_option("--host", opt->backup.host, "the machine's name the backup records (default: this host's name)")
        ->check(host_check());
    backup->add_option("--tag", opt->backup.tags, "a label the backup records (repeatable, or comma-separated)")
        ->delimiter(',')
        ->check(tag_check());
    commands.add(backup, [opt] { return run_disk_backup(*opt); });

    auto vopt = std::make_shared<VersionOptions>();
    CLI::App* version = app.add_subcommand("version", "load the module, ask it for its version, print the kernel log");
    version->add_flag("--json", vopt->json, "print a JSON summary instead of text");
    commands.add(version, [vopt] { return run_version(*vopt); });
}

} // namespace cli
