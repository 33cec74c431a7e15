// File-level restore against debugfs: a tree of about 8,000 files (about 115 MiB) in an
// ext4 image, backed up; `extract` of the whole tree from the backup against
// `debugfs -R rdump` of the same tree from the restored image, both into fresh directories
// on the same disk, alternating, three runs each. The figure is rdump's median time over
// extract's (higher is better; target 0.5). Extract also makes its files durable at the
// end (one syncfs); rdump does not.
//
// usage: kestrel_extract_bench [files] (default 8000)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/repo_source.h"

using namespace repo_test;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// `files` files in 100 directories two levels deep: most a few KiB, one in sixteen about
// 180 KiB, with bytes that compress as ordinary files do.
uint64_t make_files(const std::string& dir, int files)
{
    std::mt19937 rng(8040);
    uint64_t total = 0;
    for (int i = 0; i < files; i++) {
        std::string sub = dir + "/d" + std::to_string(i % 10) + "/e" + std::to_string(i % 100);
        if (i < 100)
            fs::create_directories(sub);
        size_t size = i % 16 == 0 ? 150000 + rng() % 60000 : rng() % 8192;
        std::string bytes(size, '\0');
        for (size_t k = 0; k < size; k++)
            bytes[k] = static_cast<char>(k % 5 == 0 ? rng() : 'a' + (k + i) % 26);
        std::ofstream(sub + "/f" + std::to_string(i), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(size));
        total += size;
    }
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    int files = argc > 1 ? std::stoi(argv[1]) : 8000;
    TempDir tmp;
    uint64_t bytes = make_files(tmp / "tree", files);
    Device dev = make_ext_image(tmp / "disk.img", "ext4", 4096, 65536, tmp / "tree");
    repo::Env& env = repo::Env::posix();
    repo::Repository::init(env, tmp / "repo");
    auto r = repo::Repository::open(env, tmp / "repo");
    BackupPlan plan;
    plan.fs_type = "ext4";
    std::string id = write_backup(*r, dev, plan);
    r->restore(id, tmp / "restored.img");
    printf("%d files, %.1f MiB of data in an ext4 image of 256 MiB\n", files, double(bytes) / (1 << 20));

    std::vector<double> rdump, extract;
    for (int i = 0; i < 3; i++) {
        std::string a = tmp / ("rdump" + std::to_string(i)), b = tmp / ("extract" + std::to_string(i));
        fs::create_directory(a);
        fs::create_directory(b);
        run("sync");
        auto t0 = Clock::now();
        std::string out;
        if (run("debugfs -R 'rdump / " + a + "' " + (tmp / "restored.img"), &out) != 0) {
            fprintf(stderr, "debugfs rdump failed: %s\n", out.c_str());
            return 1;
        }
        rdump.push_back(seconds_since(t0));
        run("sync");
        t0 = Clock::now();
        repo::ExtractReport rep = r->extract(id, "/", b);
        extract.push_back(seconds_since(t0));
        if (!rep.complete() || rep.files < uint64_t(files)) {
            fprintf(stderr, "extract left out files (%llu extracted)\n", static_cast<unsigned long long>(rep.files));
            return 1;
        }
        printf("run %d: rdump %.3f s, extract %.3f s\n", i + 1, rdump.back(), extract.back());
        fs::remove_all(a);
        fs::remove_all(b);
    }
    double ratio = median(rdump) / median(extract);
    printf("\n%-48s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    printf("%-48s %10.3f %8s%.4g  %s\n", "extract of ~8,000 files vs debugfs rdump", ratio, ">=", 0.5,
           ratio >= 0.5 ? "pass" : "MISS");
    return 0;
}
