// The kestrel command: boots a simulated machine, loads the module and drives it as a
// backup agent would.
//
// Exit codes: 0 success, 1 the operation failed, 2 bad usage.
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

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string command;
    bool json = false;
    bool quiet = false;
    uint32_t blocks = 16384;    // file-system blocks
    uint32_t block_size = 4096;
    int writers = 2;
    int backups = 2;            // the first full, the others incremental
    uint32_t cache = 65536;     // most blocks the copy-on-write cache may hold
    std::string output;         // where the last backup's image goes
};

void usage(FILE* out)
{
    fprintf(out,
            "usage: kestrel [options] <command>\n"
            "\n"
            "Block-level backups of mounted file systems, run on a simulated machine.\n"
            "\n"
            "commands:\n"
            "  backup      boot a machine with a mounted file system and writers busy on it,\n"
            "              take a full backup and then incremental ones, and report them\n"
            "  version     load the module, ask it for its version, print the kernel log\n"
            "\n"
            "options:\n"
            "  --blocks N       file-system size in blocks (backup; default 16384)\n"
            "  --block-size N   1024, 2048 or 4096 (backup; default 4096)\n"
            "  --writers N      writer threads during the backups (default 2)\n"
            "  --backups N      backups to take, the first full (default 2)\n"
            "  --cache N        most old blocks the copy-on-write cache may hold (default 65536)\n"
            "  --output FILE    write the last backup's image to FILE\n"
            "  --json           print a JSON summary instead of text\n"
            "  --quiet          no progress and no kernel log\n"
            "  -h, --help       show this help\n");
}

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
        rep.result = agent::run_backup(
            transport, req,
            [&](uint32_t block, const uint8_t* data, uint32_t size) {
                if (!image.empty())
                    memcpy(image.data() + size_t(block) * size, data, size);
            },
            [&](uint32_t done, uint32_t total) {
                if (!opt.quiet && !opt.json && (done == total || done % 4096 == 0))
                    fprintf(stderr, "\rbackup %d: %u of %u blocks", i + 1, done, total);
            });
        rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!opt.quiet && !opt.json)
            fprintf(stderr, "\n");
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

bool parse_number(const char* s, uint32_t& out)
{
    char* end = nullptr;
    unsigned long v = strtoul(s, &end, 10);
    if (!*s || *end || v > 0xFFFFFFFFul)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](uint32_t& out) {
            if (i + 1 >= argc || !parse_number(argv[++i], out)) {
                fprintf(stderr, "kestrel: %s needs a number\n", a.c_str());
                return false;
            }
            return true;
        };
        uint32_t n = 0;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return kExitOk;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--quiet") {
            opt.quiet = true;
        } else if (a == "--blocks") {
            if (!value(opt.blocks))
                return kExitUsage;
        } else if (a == "--block-size") {
            if (!value(opt.block_size))
                return kExitUsage;
        } else if (a == "--writers") {
            if (!value(n))
                return kExitUsage;
            opt.writers = static_cast<int>(std::min<uint32_t>(n, 64));
        } else if (a == "--backups") {
            if (!value(n))
                return kExitUsage;
            opt.backups = static_cast<int>(std::min<uint32_t>(n, 100));
        } else if (a == "--cache") {
            if (!value(opt.cache))
                return kExitUsage;
        } else if (a == "--output") {
            if (i + 1 >= argc) {
                fprintf(stderr, "kestrel: --output needs a file\n");
                return kExitUsage;
            }
            opt.output = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "kestrel: unknown option %s\n", a.c_str());
            usage(stderr);
            return kExitUsage;
        } else if (opt.command.empty()) {
            opt.command = a;
        } else {
            fprintf(stderr, "kestrel: unexpected argument %s\n", a.c_str());
            return kExitUsage;
        }
    }
    if (opt.command.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    if (opt.command == "version")
        return run_version(opt);
    if (opt.command == "backup") {
        if (opt.block_size != 1024 && opt.block_size != 2048 && opt.block_size != 4096) {
            fprintf(stderr, "kestrel: --block-size must be 1024, 2048 or 4096\n");
            return kExitUsage;
        }
        if (opt.blocks < 16 || opt.backups < 1) {
            fprintf(stderr, "kestrel: --blocks must be at least 16 and --backups at least 1\n");
            return kExitUsage;
        }
        return run_backup(opt);
    }
    fprintf(stderr, "kestrel: unknown command %s\n", opt.command.c_str());
    usage(stderr);
    return kExitUsage;
}
