// Restore of a device image against copying the same image: a 1 GiB ext4 partition image
// (mkfs.ext4 -d from about 600 MiB of files that compress about two to one) is backed up into
// a fresh repository, then restored to a new image file and synced, against
// `cp --sparse=always` of the image and `sync`, alternately, in the same directory. The
// figure is the copy's median time over the restore's.
//
// usage: kestrel_restore_bench [ITERATIONS]
//   KESTREL_BENCH_DIR     where to work (default /var/tmp: a disk, as a restore's target is)
//   KESTREL_BENCH_PHASES  also print, per iteration, when the last chunk was written
//   KESTREL_BENCH_KEEP    only make the repository, and leave it for a profile
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "repo/repository.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uint32_t kBlockSize = 4096;
constexpr uint64_t kImageBytes = 1ull << 30;
constexpr int kFiles = 24;
constexpr size_t kFileBytes = 24u << 20;

// Files of blocks half pseudo-random, half repeated text, as mixed file contents are.
void make_tree(const std::string& dir)
{
    fs::create_directories(dir);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<uint8_t> buf(1 << 20);
    for (int f = 0; f < kFiles; f++) {
        FILE* out = fopen((dir + "/file" + std::to_string(f)).c_str(), "w");
        must(out, "writing the tree");
        for (size_t done = 0; done < kFileBytes; done += buf.size()) {
            fill_mixed(buf, kBlockSize, x, [&](size_t i) {
                return "file " + std::to_string(f) + ", block " + std::to_string(done / kBlockSize + i) +
                       " of the benchmark. ";
            });
            must(fwrite(buf.data(), 1, buf.size(), out) == buf.size(), "writing the tree");
        }
        fclose(out);
    }
}

// A full backup of the image: every block that is not all zeros.
std::string back_up(repo::Repository& r, const std::string& image)
{
    return back_up_image(r, image, kImageBytes, kBlockSize, "ext4", true);
}

} // namespace

int main(int argc, char** argv)
{
    int iterations = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const char* base = getenv("KESTREL_BENCH_DIR");
    std::string tmpl = std::string(base && *base ? base : "/var/tmp") + "/kestrel-restore-bench-XXXXXX";
    must(mkdtemp(tmpl.data()), "making the work directory");
    std::string dir = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup()
        {
            if (!dir.empty())
                fs::remove_all(dir);
        }
    } cleanup{dir};

    std::string image = dir + "/part.img";
    make_tree(dir + "/tree");
    std::string mkfs = "mkfs.ext4 -q -F -b 4096 -d " + dir + "/tree " + image + " 1G >/dev/null";
    must(system(mkfs.c_str()) == 0, "mkfs.ext4");
    fs::remove_all(dir + "/tree");
    repo::Repository::init(repo::Env::posix(), dir + "/repo");
    auto r = repo::Repository::open(repo::Env::posix(), dir + "/repo");
    std::string id = back_up(*r, image);
    must(system("sync") == 0, "sync");

    if (getenv("KESTREL_BENCH_KEEP")) {
        // For profiles of `kestrel restore`: leave the repository and print it with the id.
        printf("%s/repo %s\n", dir.c_str(), id.c_str());
        cleanup.dir.clear();
        return 0;
    }
    std::vector<double> copy_s, restore_s;
    for (int i = 0; i < iterations; i++) {
        std::string copy = dir + "/copy.img", out = dir + "/restored.img";
        copy_s.push_back(seconds([&] {
            must(system(("cp --sparse=always " + image + " " + copy + " && sync").c_str()) == 0, "cp");
        }));
        auto t0 = Clock::now();
        double written = 0;
        restore_s.push_back(seconds([&] {
            r->restore(id, out, [&](uint64_t done, uint64_t total) {
                if (done == total)
                    written = std::chrono::duration<double>(Clock::now() - t0).count();
            });
            must(system("sync") == 0, "sync");
        }));
        if (getenv("KESTREL_BENCH_PHASES"))
            fprintf(stderr, "restore: %.2f s to write every chunk, %.2f s in all; copy %.2f s\n", written,
                    restore_s.back(), copy_s.back());
        must(system(("cmp -s " + image + " " + out).c_str()) == 0, "comparing the restored image");
        fs::remove(copy);
        fs::remove(out);
    }
    double ratio = median(copy_s) / median(restore_s);
    printf("restore of a 1 GiB image: %.2f s, cp --sparse=always + sync: %.2f s (medians of %d)\n",
           median(restore_s), median(copy_s), iterations);
    printf("\n%-48s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    printf("%-48s %10.3f %8s%.4g  %s\n", "restore 1 GiB image vs cp --sparse + sync", ratio, ">=", 0.8,
           ratio >= 0.8 ? "pass" : "MISS");
    return 0;
}
