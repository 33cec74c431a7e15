// Eight machines backed up into one repository at once against one backup alone: eight
// `kestrel serve` processes on disk images of their own, then a full backup of one machine
// by itself into a fresh repository, then full backups of all eight at once (eight
// `kestrel backup --server` processes) into another fresh one. The figure is the aggregate
// rate of the eight (all their bytes over the wall time from the first start to the last
// exit) against the rate of the one alone: the median of three such pairs. Each machine's
// data is its own (nothing deduplicates across machines) and compresses two to one.
//
// usage: kestrel_machines_bench KESTREL_BINARY [PARTITION_MIB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/child.h"

namespace fs = std::filesystem;
using kestrel_test::Child;

namespace {

constexpr unsigned kMachines = 8;
constexpr uint64_t kPartStart = 2048 * 512;
constexpr uint32_t kBlockSize = 4096;

[[noreturn]] void fail(const std::string& what)
{
    fprintf(stderr, "machines benchmark: %s\n", what.c_str());
    exit(1);
}

// A disk whose partition 1 holds an ext2 super block over data that compresses two to one:
// the machine mounts it and the agent backs up every block.
void make_image(const std::string& path, uint64_t part_bytes, unsigned machine)
{
    std::vector<uint8_t> disk(kPartStart + part_bytes);
    auto mbr = sim::make_mbr({{kPartStart / 512, part_bytes / 512}});
    memcpy(disk.data(), mbr.data(), mbr.size());
    std::mt19937_64 rng(machine + 1);
    for (uint64_t i = kPartStart + kBlockSize; i + 8 <= disk.size(); i += 8) {
        uint64_t v = i % 256 < 128 ? rng() : 0;
        memcpy(disk.data() + i, &v, 8);
    }
    auto sb = sim::make_ext2_super_block(kBlockSize, static_cast<uint32_t>(part_bytes / kBlockSize));
    memcpy(disk.data() + kPartStart + 1024, sb.data(), sb.size());
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(disk.data(), 1, disk.size(), f) != disk.size() || fclose(f) != 0)
        fail("cannot write " + path);
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Full backups of `machines` at once into a fresh repository: the wall time.
double back_up(const std::string& kestrel, const fs::path& dir, const std::vector<unsigned>& machines)
{
    fs::path repo = dir / "repo";
    fs::remove_all(repo);
    Child init({kestrel, "init", "--repo", repo}, dir / "init.out");
    if (init.wait() != 0)
        fail("init failed:\n" + init.output());
    std::vector<std::unique_ptr<Child>> backups;
    double start = now();
    for (unsigned m : machines) {
        std::string socket = dir / ("run" + std::to_string(m)) / "k.sock";
        backups.push_back(std::make_unique<Child>(
            std::vector<std::string>{kestrel, "backup", "--full", "--server", socket, "--partition", "1", "--repo",
                                     repo, "--wait-lock", "10m"},
            dir / ("backup" + std::to_string(m) + ".out")));
    }
    for (auto& b : backups)
        if (b->wait() != 0)
            fail("a backup failed:\n" + b->output());
    double took = now() - start;
    Child verify({kestrel, "verify", "--repo", repo}, dir / "verify.out");
    if (verify.wait() != 0)
        fail("verify found damage:\n" + verify.output());
    return took;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        fail("usage: kestrel_machines_bench KESTREL_BINARY [PARTITION_MIB]");
    const std::string kestrel = fs::absolute(argv[1]);
    const uint64_t part_mib = argc > 2 ? std::stoull(argv[2]) : 64;
    const uint64_t part_bytes = part_mib << 20;
    // Encrypted repositories, as users make them; every child has the password.
    setenv("KESTREL_PASSWORD", "bench password", 1);
    char tmpl[] = "/tmp/kestrel-machines-XXXXXX";
    if (!mkdtemp(tmpl))
        fail("cannot make a temporary directory");
    const fs::path dir = tmpl;

    std::vector<std::unique_ptr<Child>> servers;
    for (unsigned m = 0; m < kMachines; m++) {
        std::string image = dir / ("disk" + std::to_string(m) + ".img");
        make_image(image, part_bytes, m);
        servers.push_back(std::make_unique<Child>(
            std::vector<std::string>{kestrel, "serve", "--no-nbd", "--json", "--disk", image, "--socket",
                                     dir / ("run" + std::to_string(m)) / "k.sock"},
            dir / ("serve" + std::to_string(m) + ".out")));
    }
    // Each server says "ready" in a JSON line once it serves.
    for (auto& s : servers)
        while (s->output().find("\"ready\"") == std::string::npos) {
            if (!s->running())
                fail("kestrel serve ended:\n" + s->output());
            usleep(20000);
        }

    std::vector<unsigned> all;
    for (unsigned m = 0; m < kMachines; m++)
        all.push_back(m);
    std::vector<double> ratios;
    for (int round = 0; round < 3; round++) {
        double one = back_up(kestrel, dir, {0});
        double eight = back_up(kestrel, dir, all);
        double one_rate = part_mib / one, eight_rate = kMachines * part_mib / eight;
        printf("round %d: one machine alone %.2f s (%.1f MiB/s), eight at once %.2f s (%.1f MiB/s together)\n",
               round + 1, one, one_rate, eight, eight_rate);
        ratios.push_back(eight_rate / one_rate);
    }
    for (auto& s : servers)
        if (s->end(SIGTERM) != 0)
            fail("kestrel serve did not shut down cleanly:\n" + s->output());
    fs::remove_all(dir);

    printf("\n%-48s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    printf("%-48s %10.3f %10s  %s\n", "eight machines at once vs one alone (aggregate)", median(ratios), "-",
           "(reported)");
    return 0;
}
