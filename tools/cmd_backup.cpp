// kestrel backup and kestrel version: boot a simulated machine, load the module and drive
// it as a backup agent would.
// The command's headers first: the kernel headers define macros (current) that clash
// with the libraries'.
#include "tools/cli.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/backup.h"
#include "agent/control.h"
#include "agent/sim_transport.h"
#include "module/kestrel.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

using cli::kExitFailed;
using cli::kExitOk;
using cli::kExitUsage;

struct Options {
    bool json = false;
    bool quiet = false;
    uint32_t blocks = 16384;    // file-system blocks
    uint32_t block_size = 4096;
    int writers = 2;
    int backups = 2;            // the first full, the others incremental
    uint32_t cache = 65536;     // most blocks the copy-on-write cache may hold
    std::string output;         // where the last backup's image goes
};

std::string json_escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string json_log(const sim::Machine& machine)
{
    std::string out = "[";
    bool first = true;
    for (const sim::LogLine& l : machine.dmesg()) {
        out += (first ? "" : ", ") + std::string("{\"level\": ") + std::to_string(l.level) +
               ", \"text\": \"" + json_escape(l.text) + "\"}";
        first = false;
    }
    return out + "]";
}

int run_version(const Options& opt)
{
    sim::Machine machine;
    int rc = machine.insmod(THIS_MODULE);
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
        printf("{\"ok\": %s, \"status\": %d, \"version\": \"%u.%u\", \"kernel\": \"%s\", \"log\": %s}\n",
               status == 0 ? "true" : "false", status, v.major, v.minor,
               json_escape(machine.kernel_release()).c_str(), json_log(machine).c_str());
    } else {
        if (status == 0)
            printf("kestrel module version %u.%u on kernel %s\n", v.major, v.minor,
                   machine.kernel_release().c_str());
        else
            fprintf(stderr, "kestrel: could not query the module (status %d)\n", status);
        if (!opt.quiet)
            printf("\nkernel log:\n%s", machine.dmesg_text().c_str());
    }
    return status == 0 ? kExitOk : kExitFailed;
}

// A disk with one partition that holds an ext2 file system of the requested size, mounted.
int make_file_system(sim::Machine& m, const Options& opt, uint32_t& part)
{
    uint64_t spb = opt.block_size / 512;
    uint64_t sectors = uint64_t(opt.blocks) * spb;
    sim::DiskConfig dc;
    dc.size_bytes = (2048 + sectors) * 512;
    uint32_t disk = 0;
    int r = sim::add_disk(m, dc, &disk);
    if (r)
        return r;
    auto mbr = sim::make_mbr({{2048, sectors}});
    if ((r = sim::write_store(m, disk, 0, mbr.data(), 1)) || (r = sim::reread_partitions(m, disk)))
        return r;
    part = disk + 1;
    auto sb = sim::make_ext2_super_block(opt.block_size, opt.blocks);
    if ((r = sim::write_store(m, part, 2, sb.data(), 2)))
        return r;
    return sim::mount_fs(m, part);
}

struct BackupReport {
    agent::BackupResult result;
    double seconds = 0;
};

int run_backup(const Options& opt)
{
    sim::Machine machine;
    uint32_t part = 0;
    int r = make_file_system(machine, opt, part);
    if (r) {
        fprintf(stderr, "kestrel: could not lay out the file system (error %d)\n", r);
        return kExitFailed;
    }
    if ((r = machine.insmod(THIS_MODULE))) {
        fprintf(stderr, "kestrel: could not load the module (error %d)\n", r);
        return kExitFailed;
    }

    // Writers keep the file system busy through every backup.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> writes{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < opt.writers; w++) {
        writers.emplace_back([&, w] {
            std::mt19937 rng(w + 1);
            std::vector<uint8_t> data(opt.block_size);
            while (!stop) {
                uint32_t block = 1 + rng() % (opt.blocks - 1);
                memset(data.data(), static_cast<int>(rng()), data.size());
                if (sim::fs_write(machine, part, block, data.data(), 1, true) == 0)
                    writes++;
            }
        });
    }

    sim::Process& proc = machine.spawn("kestrel");
    agent::SimTransport transport(proc);
    std::vector<BackupReport> reports;
    std::vector<uint8_t> image;
    std::optional<agent::SessionKey> key;
    bool ok = true;
    for (int i = 0; i < opt.backups && ok; i++) {
        agent::BackupRequest req;
        req.major = MAJOR(part);
        req.minor = MINOR(part);
        req.fs_blocks = opt.blocks;
        req.max_cache_blocks = opt.cache;
        req.previous_key = key;
        if (!opt.output.empty())
            image.assign(size_t(opt.blocks) * opt.block_size, 0);
        auto start = std::chrono::steady_clock::now();
        BackupReport rep;
        cli::ProgressBar bar("backup " + std::to_string(i + 1), opt.json || opt.quiet);
        rep.result = agent::run_backup(
            transport, req,
            [&](uint32_t block, const uint8_t* data, uint32_t size) {
                if (!image.empty())
                    memcpy(image.data() + size_t(block) * size, data, size);
            },
            [&](uint32_t done, uint32_t total) { bar.update(done, total); });
        rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ok = rep.result.ok();
        key = rep.result.key;
        reports.push_back(rep);
    }
    stop = true;
    for (auto& t : writers)
        t.join();
    proc.exit();
    if (!opt.output.empty() && ok) {
        std::ofstream out(opt.output, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!out) {
            fprintf(stderr, "kestrel: could not write %s\n", opt.output.c_str());
            ok = false;
        }
    }
    sim::unmount_fs(machine, part);
    machine.rmmod("kestrel");

    if (opt.json) {
        printf("{\"ok\": %s, \"writes\": %llu, \"backups\": [", ok ? "true" : "false",
               static_cast<unsigned long long>(writes.load()));
        for (size_t i = 0; i < reports.size(); i++) {
            const agent::BackupResult& b = reports[i].result;
            printf("%s{\"ok\": %s, \"error\": \"%s\", \"incremental\": %s, \"block_size\": %u, "
                   "\"blocks\": %u, \"delivered\": %u, \"cached_peak\": %d, \"cache_reads\": %d, "
                   "\"disk_reads\": %d, \"seconds\": %.3f}",
                   i ? ", " : "", b.ok() ? "true" : "false", json_escape(b.error).c_str(),
                   b.incremental ? "true" : "false", b.block_size, b.fs_blocks, b.delivered_blocks,
                   b.stats.peakCachedBlocks, b.stats.cacheReads, b.stats.diskReads, reports[i].seconds);
        }
        printf("], \"log\": %s}\n", json_log(machine).c_str());
    } else {
        for (size_t i = 0; i < reports.size(); i++) {
            const agent::BackupResult& b = reports[i].result;
            if (!b.ok()) {
                fprintf(stderr, "kestrel: backup %zu failed: %s\n", i + 1, b.error.c_str());
                continue;
            }
            printf("backup %zu: %s, %u of %u blocks of %u bytes in %.2f s; %d read from the disk, "
                   "%d from the copy-on-write cache (peak %d blocks held)\n",
                   i + 1, b.incremental ? "incremental" : "full", b.delivered_blocks, b.fs_blocks,
                   b.block_size, reports[i].seconds, b.stats.diskReads, b.stats.cacheReads,
                   b.stats.peakCachedBlocks);
        }
        printf("writes during the backups: %llu\n", static_cast<unsigned long long>(writes.load()));
        if (!opt.output.empty() && ok)
            printf("image of the last backup: %s\n", opt.output.c_str());
        if (!opt.quiet)
            printf("\nkernel log:\n%s", machine.dmesg_text().c_str());
    }
    return ok ? kExitOk : kExitFailed;
}

} // namespace

namespace cli {

void register_backup(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<Options>();
    CLI::App* backup = app.add_subcommand(
        "backup", "boot a machine with a mounted file system and writers busy on it, take a full "
                  "backup and then incremental ones, and report them");
    backup->add_option("--blocks", opt->blocks, "file-system size in blocks (default 16384)")
        ->check(CLI::Range(16u, 0xFFFFFFFFu));
    backup->add_option("--block-size", opt->block_size, "1024, 2048 or 4096 (default 4096)")
        ->check(CLI::IsMember({1024u, 2048u, 4096u}));
    backup->add_option("--writers", opt->writers, "writer threads during the backups (default 2)")
        ->check(CLI::Range(0, 64));
    backup->add_option("--backups", opt->backups, "backups to take, the first full (default 2)")
        ->check(CLI::Range(1, 100));
    backup->add_option("--cache", opt->cache,
                       "most old blocks the copy-on-write cache may hold (default 65536)");
    backup->add_option("--output", opt->output, "write the last backup's image to FILE");
    backup->add_flag("--json", opt->json, "print a JSON summary instead of text");
    backup->add_flag("--quiet", opt->quiet, "no progress and no kernel log");
    commands.add(backup, [opt] { return run_backup(*opt); });

    CLI::App* version = app.add_subcommand("version", "load the module, ask it for its version, print the kernel log");
    version->add_flag("--json", opt->json, "print a JSON summary instead of text");
    version->add_flag("--quiet", opt->quiet, "no kernel log");
    commands.add(version, [opt] { return run_version(*opt); });
}

} // namespace cli
