// Measures what the chunk size costs and saves: a full backup of an ext4 image made by
// mkfs.ext4 -d, then incremental backups after scattered and file-like writes, for each
// candidate chunk size. Prints, per size: chunk files, bytes on disk (each file rounded up
// to 4 KiB, as a file system stores it), index bytes, and what an incremental stores.
//
// usage: kestrel_chunk_size [blocks] (default 65536 blocks of 4 KiB, a 256 MiB file system)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "tests/support/repo_source.h"

using namespace repo_test;
namespace fs = std::filesystem;

namespace {

uint64_t disk_bytes(const std::string& dir, uint64_t* files)
{
    uint64_t total = 0;
    *files = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) {
            total += (e.file_size() + 4095) / 4096 * 4096;
            ++*files;
        }
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t blocks = argc > 1 ? std::stoull(argv[1]) : 65536;
    TempDir tmp;
    make_tree(tmp / "tree", 7, 600);
    Device base = make_ext_image(tmp / "disk.img", "ext4", 4096, blocks, tmp / "tree");
    uint64_t used = 0;
    for (bool u : base.used)
        used += u;
    printf("ext4 file system: %llu blocks of 4 KiB, %llu used\n", static_cast<unsigned long long>(blocks),
           static_cast<unsigned long long>(used));
    printf("%8s %9s %12s %10s %14s %14s %10s\n", "chunk", "files", "full (disk)", "index", "incr. stored",
           "incr. ratio", "full s");
    for (uint32_t chunk : {16u << 10, 32u << 10, 64u << 10, 128u << 10, 256u << 10, 512u << 10, 1u << 20, 4u << 20}) {
        std::string dir = tmp / ("repo-" + std::to_string(chunk));
        repo::Repository::init(repo::Env::posix(), dir, chunk, 1); // a file per chunk: the files are what it counts
        auto r = repo::Repository::open(repo::Env::posix(), dir);
        Device dev = base;
        auto t0 = std::chrono::steady_clock::now();
        BackupPlan plan;
        plan.threads = 0;
        std::string parent = write_backup(*r, dev, plan);
        double full_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        uint64_t files = 0, full_disk = disk_bytes(dir + "/chunks", &files);
        uint64_t index = fs::file_size(dir + "/backups/" + parent + ".index");

        // Five incrementals, each: 40 scattered single blocks (metadata, small files) and 10
        // runs of 1-64 blocks (files rewritten), all among the used blocks.
        std::mt19937 rng(1);
        std::vector<uint64_t> used_blocks;
        for (uint64_t b = 0; b < dev.blocks; b++)
            if (dev.used[b])
                used_blocks.push_back(b);
        uint64_t stored = 0, changed = 0;
        for (int round = 0; round < 5; round++) {
            plan.parent = parent;
            plan.changed.clear();
            plan.snapshot_time += 3600;
            for (int i = 0; i < 40; i++)
                plan.changed.insert(used_blocks[rng() % used_blocks.size()]);
            for (int i = 0; i < 10; i++) {
                uint64_t at = rng() % used_blocks.size(), n = 1 + rng() % 64;
                for (uint64_t k = at; k < at + n && k < used_blocks.size(); k++)
                    plan.changed.insert(used_blocks[k]);
            }
            for (uint64_t b : plan.changed)
                dev.write(b, 1000 + round);
            changed += plan.changed.size();
            parent = write_backup(*r, dev, plan);
            stored += r->manifest(parent).counts.bytes_new;
        }
        printf("%7uK %9llu %11.1fM %9.1fK %13.1fM %13.1fx %10.2f\n", chunk >> 10,
               static_cast<unsigned long long>(files), full_disk / 1048576.0, index / 1024.0, stored / 1048576.0,
               static_cast<double>(stored) / (changed * 4096.0 / 2), full_s);
    }
    printf("incr. ratio: bytes an incremental stores over the compressed size of the changed blocks alone\n");
    return 0;
}
