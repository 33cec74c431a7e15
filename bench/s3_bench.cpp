// A repository on an S3 gateway against the local disk, in the same run:
//  - backup of a 256 MiB image (blocks half pseudo-random, half repeated text, so about two
//    to one compressible) into a fresh repository on the gateway, against the same backup
//    into a fresh repository in a local directory on the disk the image is on;
//  - restore of that backup from the gateway to an image file (synced), against `s3cmd get`
//    of the image itself, stored as one object in the same bucket, to a file (synced).
// Iterations alternate the two sides; each figure is the baseline's median time over ours.
//
// usage: kestrel_s3_bench [ITERATIONS]
//   KESTREL_S3_TEST (or an s3: KESTREL_REPOSITORY) and AWS_ACCESS_KEY_ID/AWS_SECRET_ACCESS_KEY
//                     the gateway (scripts/bench.sh starts one with scripts/s3-server.sh)
//   KESTREL_BENCH_DIR where to work (default /var/tmp)
//   KESTREL_S3_SERVER_DIR the gateway's directory from scripts/s3-server.sh, to report the CPU
//                     time its daemons spend on the backups (they share this machine's cores)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "repo/repository.h"
#include "repo/s3_backend.h"
#include "tests/support/test_store.h"

namespace {

using namespace bench;
namespace fs = std::filesystem;

constexpr uint32_t kBlockSize = 4096;
constexpr uint64_t kImageBytes = 256ull << 20;

void make_image(const std::string& path)
{
    FILE* out = fopen(path.c_str(), "w");
    must(out, "writing the image");
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t done = 0; done < kImageBytes; done += buf.size()) {
        fill_mixed(buf, kBlockSize, x, [&](size_t i) {
            return "block " + std::to_string(done / kBlockSize + i) + " of the benchmark. ";
        });
        must(fwrite(buf.data(), 1, buf.size(), out) == buf.size(), "writing the image");
    }
    fclose(out);
}

// A full backup of the image into a new repository at `location`; returns its id.
std::string back_up(const std::string& location, const std::string& image)
{
    repo::Repository::init(repo::Env::posix(), location);
    auto r = repo::Repository::open(repo::Env::posix(), location);
    return back_up_image(*r, image, kImageBytes, kBlockSize, "raw", false);
}

// CPU seconds the gateway's daemons (the pid files under `server_dir`/run) have used, or a
// negative number when they cannot be read.
double gateway_cpu_seconds(const std::string& server_dir)
{
    if (server_dir.empty())
        return -1;
    double total = 0;
    for (const char* name : {"client.rgw", "osd.0", "mon.a", "mgr.x"}) {
        std::ifstream pidf(server_dir + "/run/" + name + ".pid");
        long pid = 0;
        if (!(pidf >> pid))
            return -1;
        std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(st, line) || line.rfind(')') == std::string::npos)
            return -1;
        // Fields after the name: state is the 3rd field, utime and stime the 14th and 15th.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; i++) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        total += double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    return total;
}

std::string random_tag()
{
    std::random_device rd;
    char s[17];
    snprintf(s, sizeof s, "%08x%08x", rd(), rd());
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    int iterations = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const char* address_env = getenv("KESTREL_S3_TEST");
    std::string address = address_env && *address_env ? address_env : "";
    if (address.empty() && getenv("KESTREL_REPOSITORY") && repo::is_s3_address(getenv("KESTREL_REPOSITORY")))
        address = getenv("KESTREL_REPOSITORY");
    must(!address.empty(), "finding the gateway (set KESTREL_S3_TEST)");
    while (address.back() == '/')
        address.pop_back();
    const repo::S3Address a = repo::parse_s3_address(address);

    const char* base = getenv("KESTREL_BENCH_DIR");
    std::string tmpl = std::string(base && *base ? base : "/var/tmp") + "/kestrel-s3-bench-XXXXXX";
    must(mkdtemp(tmpl.data()), "making the work directory");
    const std::string dir = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() { fs::remove_all(dir); }
    } cleanup{dir};

    const std::string image = dir + "/image.img";
    make_image(image);
    must(system("sync") == 0, "sync");
    const std::string run = "bench-" + random_tag();

    std::vector<double> local_s, s3_s;
    std::string s3_repo, id;
    const char* server_env = getenv("KESTREL_S3_SERVER_DIR");
    const std::string server_dir = server_env ? server_env : "";
    std::vector<double> local_cpu, s3_cpu, gateway_cpu;
    std::vector<std::string> made;  // the repositories made on the gateway, removed at the end
    for (int i = 0; i < iterations; i++) {
        std::string local = dir + "/local-" + std::to_string(i);
        double c0 = process_cpu_seconds();
        local_s.push_back(seconds([&] { back_up(local, image); }));
        local_cpu.push_back(process_cpu_seconds() - c0);
        fs::remove_all(local);
        s3_repo = address + "/" + run + "-" + std::to_string(i);
        made.push_back(s3_repo);
        c0 = process_cpu_seconds();
        double g0 = gateway_cpu_seconds(server_dir);
        s3_s.push_back(seconds([&] { id = back_up(s3_repo, image); }));
        s3_cpu.push_back(process_cpu_seconds() - c0);
        double g1 = gateway_cpu_seconds(server_dir);
        if (g0 >= 0 && g1 >= 0)
            gateway_cpu.push_back(g1 - g0);
    }

    // The image as one object, for s3cmd to fetch.
    const std::string cfg = dir + "/s3cmd.cfg";
    {
        std::ofstream c(cfg);
        c << "[default]\naccess_key = " << getenv("AWS_ACCESS_KEY_ID") << "\nsecret_key = "
          << getenv("AWS_SECRET_ACCESS_KEY") << "\nhost_base = " << a.host << "\nhost_bucket = " << a.host
          << "\nuse_https = " << (a.https ? "True" : "False") << "\nsignature_v2 = False\n";
    }
    const std::string object = "s3://" + a.bucket + "/" + (a.prefix.empty() ? "" : a.prefix + "/") + run + "-image";
    const std::string s3cmd = "s3cmd -q -c " + cfg + " ";
    must(system((s3cmd + "put " + image + " " + object + " >/dev/null").c_str()) == 0, "s3cmd put");

    auto r = repo::Repository::open(repo::Env::posix(), s3_repo);
    std::vector<double> get_s, restore_s;
    for (int i = 0; i < iterations; i++) {
        std::string got = dir + "/got.img", out = dir + "/restored.img";
        get_s.push_back(seconds([&] {
            must(system((s3cmd + "get --force " + object + " " + got + " >/dev/null && sync").c_str()) == 0,
                 "s3cmd get");
        }));
        restore_s.push_back(seconds([&] {
            r->restore(id, out);
            must(system("sync") == 0, "sync");
        }));
        must(system(("cmp -s " + image + " " + out).c_str()) == 0, "comparing the restored image");
        fs::remove(got);
        fs::remove(out);
    }
    if (system((s3cmd + "del " + object + " >/dev/null").c_str()) != 0)
        fprintf(stderr, "s3 benchmark: the image object %s stays\n", object.c_str());

    double backup_ratio = median(local_s) / median(s3_s);
    double restore_ratio = median(get_s) / median(restore_s);
    printf("backup of a 256 MiB image: into the gateway %.2f s, into a local directory %.2f s (medians of %d)\n",
           median(s3_s), median(local_s), iterations);
    printf("CPU time of a backup: into the gateway %.2f s", median(s3_cpu));
    if (!gateway_cpu.empty())
        printf(" and the gateway's daemons %.2f s", median(gateway_cpu));
    printf(", into a local directory %.2f s, on %ld cores\n", median(local_cpu), sysconf(_SC_NPROCESSORS_ONLN));
    printf("restore from the gateway %.2f s, s3cmd get of the image %.2f s (medians of %d)\n", median(restore_s),
           median(get_s), iterations);
    printf("\n%-48s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    printf("%-48s %10.3f %8s%.4g  %s\n", "backup into S3 gateway vs local repository", backup_ratio, ">=", 0.7,
           backup_ratio >= 0.7 ? "pass" : "MISS");
    printf("%-48s %10.3f %8s%.4g  %s\n", "restore from S3 gateway vs s3cmd get", restore_ratio, ">=", 0.7,
           restore_ratio >= 0.7 ? "pass" : "MISS");
    for (const std::string& location : made)
        repo_test::S3Sweep{location};
    return 0;
}
