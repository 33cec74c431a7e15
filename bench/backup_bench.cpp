// What a backup costs the server it protects and how fast it gets the data out. Every figure
// is a ratio against a baseline measured in the same run on the same simulated disk; the
// table at the end prints each ratio with its target and whether it was met.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The libraries first: the kernel's macros (MAJOR, current...) clash with them.
#include "bench/bench_common.h"
#include "repo/format.h"
#include "repo/pack.h"
#include "repo/repository.h"
#include "repo/tree.h"
#include "jobs/repo_sink.h"

#include "agent/backup.h"
#include "agent/sim_transport.h"
#include "module/kestrel.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "machine/install.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::median;
using bench::process_cpu_seconds;

constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kSectorsPerBlock = kBlockSize / 512;
// 128 MiB of 4 KiB blocks.
constexpr uint32_t kBlocks = 32768;

// Figures gathered while the benchmarks run, by name, for the ratio table.
std::map<std::string, double>& figures()
{
    static std::map<std::string, double> f;
    return f;
}

// The benchmarks' machines run without the lock validator, as a production kernel does:
// it takes a global lock on every lock operation and would weigh on the module's side of
// every figure (many small locked steps per block) far more than on its baseline.
sim::MachineConfig bench_config()
{
    sim::MachineConfig c;
    c.lock_validation = false;
    return install::machine_config(c);
}

enum class Backing {
    Memory,      // the disk's contents in memory
    Image,       // an image file, written in full so that reads come from its pages
    SparseImage, // an image file of holes: for sizes the machine could not hold
};

// A machine with one disk holding one partition of `blocks` 4 KiB blocks with an ext2 super
// block mounted on it, and the module loaded.
struct Rig {
    sim::Machine machine{bench_config()};
    uint32_t part = 0;
    uint32_t blocks = 0;
    sim::Process* proc = nullptr;
    std::string image;

    explicit Rig(Backing backing = Backing::Memory, uint32_t blocks_ = kBlocks) : blocks(blocks_)
    {
        sim::DiskConfig dc;
        uint64_t bytes = (2048 + uint64_t(blocks) * kSectorsPerBlock) * 512;
        if (backing != Backing::Memory) {
            char path[] = "/tmp/kestrel-bench-XXXXXX";
            int fd = mkstemp(path);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0)
                abort();
            if (backing == Backing::Image) {
                std::vector<char> chunk(1 << 20, 'd');
                for (uint64_t off = 0; off < bytes; off += chunk.size())
                    if (pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(off)) < 0)
                        abort();
            }
            close(fd);
            image = path;
            dc.image_path = image;
        } else {
            dc.size_bytes = bytes;
        }
        dc.partitions = std::vector<sim::Partition>{{2048, uint64_t(blocks) * kSectorsPerBlock}};
        uint32_t disk = 0;
        if (sim::add_disk(machine, dc, &disk) != 0)
            abort();
        part = disk + 1;
        auto sb = sim::make_ext2_super_block(kBlockSize, blocks);
        sim::write_store(machine, part, 2, sb.data(), 2);
        sim::mount_fs(machine, part);
        install::load_module(machine);
        proc = &machine.spawn("bench");
    }
    ~Rig()
    {
        machine.exit_processes();
        sim::unmount_fs(machine, part);
        machine.rmmod("kestrel");
        if (!image.empty())
            unlink(image.c_str());
    }
};

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct SyncDone {
    std::atomic<int> left{0};
    struct completion done;
};

int read_end_io(struct bio* bio, unsigned int, int)
{
    if (bio->bi_size)
        return 1; // more to come
    auto* d = static_cast<SyncDone*>(bio->bi_private);
    bio_put(bio);
    if (d->left.fetch_sub(1) == 1)
        complete(&d->done);
    return 0;
}

// Reads the whole partition through the block layer in bios of 256 pages (1 MiB), two in
// flight, as a reader of the raw device with large requests would.
void read_block_layer(Rig& rig)
{
    constexpr unsigned kPages = 256;
    constexpr unsigned kInFlight = 2;
    struct block_device* bd = bdget(rig.part);
    struct page* pages[kInFlight][kPages];
    for (auto& set : pages)
        for (auto& p : set)
            p = alloc_page(GFP_KERNEL);
    uint64_t sectors = uint64_t(rig.blocks) * kSectorsPerBlock;
    const uint64_t per_bio = kPages * (PAGE_SIZE / 512);
    for (uint64_t s = 0; s < sectors; s += per_bio * kInFlight) {
        SyncDone d;
        init_completion(&d.done);
        unsigned n = static_cast<unsigned>(std::min<uint64_t>(kInFlight, (sectors - s) / per_bio));
        d.left = static_cast<int>(n);
        for (unsigned b = 0; b < n; b++) {
            struct bio* bio = bio_alloc(GFP_KERNEL, kPages);
            for (unsigned i = 0; i < kPages; i++)
                bio->bi_io_vec[i] = {pages[b][i], static_cast<unsigned>(PAGE_SIZE), 0};
            bio->bi_vcnt = kPages;
            bio->bi_size = kPages * PAGE_SIZE;
            bio->bi_sector = s + b * per_bio;
            bio->bi_bdev = bd;
            bio->bi_end_io = read_end_io;
            bio->bi_private = &d;
            submit_bio(READ, bio);
        }
        wait_for_completion(&d.done);
    }
    sim::wait_for_disk(rig.machine, rig.part);
    for (auto& set : pages)
        for (auto& p : set)
            __free_page(p);
    bdput(bd);
}

// Called at both ends of every backup the benchmarks time through full_backup, so that a
// profile can be cut there: valgrind --tool=callgrind --dump-before='*timed_backup_edge*'
// writes one part per backup (and one for what ran between them).
__attribute__((noinline)) void timed_backup_edge() { asm volatile(""); }

agent::BackupResult full_backup(Rig& rig, std::optional<agent::SessionKey> previous = {},
                                uint32_t max_gap = agent::BackupJob::kDefaultMaxGap)
{
    timed_backup_edge();
    agent::SimTransport t(*rig.proc);
    agent::BackupRequest req;
    req.major = MAJOR(rig.part);
    req.minor = MINOR(rig.part);
    req.previous_key = previous;
    req.run_blocks = 256;
    req.max_gap = max_gap;
    agent::BackupResult r = agent::run_backup(t, req, [](uint32_t, const uint8_t* d, uint32_t) {
        benchmark::DoNotOptimize(d);
    });
    timed_backup_edge();
    if (!r.ok())
        fprintf(stderr, "backup failed: %s\n", r.error.c_str());
    return r;
}

// Full-backup read: the agent's read-blocks runs through the mapped buffer, against the
// block layer with 1 MiB bios, against the image file read with 1 MiB preads.
// Arg: 0 memory-backed disk, 1 file-backed disk.
void BM_FullRead(benchmark::State& state)
{
    bool image = state.range(0) != 0;
    Rig rig(image ? Backing::Image : Backing::Memory);
    std::string tag = image ? "file" : "mem";
    std::vector<double> agent_s, layer_s, file_s;
    for (auto _ : state) {
        auto t0 = Clock::now();
        full_backup(rig);
        agent_s.push_back(seconds_since(t0));
        t0 = Clock::now();
        read_block_layer(rig);
        layer_s.push_back(seconds_since(t0));
        if (image) {
            std::vector<char> buf(1 << 20);
            int fd = open(rig.image.c_str(), O_RDONLY);
            t0 = Clock::now();
            uint64_t bytes = uint64_t(kBlocks) * kBlockSize;
            for (uint64_t off = 0; off < bytes; off += buf.size())
                benchmark::DoNotOptimize(pread(fd, buf.data(), buf.size(), static_cast<off_t>(1 << 20) + off));
            file_s.push_back(seconds_since(t0));
            close(fd);
        }
    }
    // Throughput ratio: baseline time over measured time.
    double mib = double(kBlocks) * kBlockSize / (1 << 20);
    state.counters["agent_MiBps"] = mib / median(agent_s);
    state.counters["layer_MiBps"] = mib / median(layer_s);
    figures()["full read vs block layer (" + tag + ")"] = median(layer_s) / median(agent_s);
    if (image) {
        state.counters["file_MiBps"] = mib / median(file_s);
        figures()["full read vs image file"] = median(file_s) / median(agent_s);
    }
}
BENCHMARK(BM_FullRead)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond);

enum WriteMode { Plain = 0, FirstWrite = 1, Rewrite = 2, TrackingOnly = 3 };
const char* const kModeNames[] = {"plain", "first write", "rewrite", "tracking only"};

// Writers each write their own blocks once, one 4 KiB synchronous write at a time; per-write
// latencies are kept for the median and p99.
struct WriteRun {
    double seconds = 0;
    std::vector<double> lat_us;
};

WriteRun run_writers(Rig& rig, unsigned writers, uint32_t per_writer)
{
    std::vector<std::vector<double>> lat(writers);
    std::vector<std::thread> threads;
    auto t0 = Clock::now();
    for (unsigned w = 0; w < writers; w++)
        threads.emplace_back([&, w] {
            std::vector<char> data(kBlockSize, char('a' + w));
            lat[w].reserve(per_writer);
            for (uint32_t i = 0; i < per_writer; i++) {
                uint32_t block = 16 + i * writers + w;
                auto s = Clock::now();
                sim::write_sectors(rig.machine, rig.part, uint64_t(block) * kSectorsPerBlock, data.data(),
                                   kSectorsPerBlock);
                lat[w].push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
            }
        });
    for (auto& t : threads)
        t.join();
    WriteRun r;
    r.seconds = seconds_since(t0);
    for (auto& l : lat)
        r.lat_us.insert(r.lat_us.end(), l.begin(), l.end());
    std::sort(r.lat_us.begin(), r.lat_us.end());
    return r;
}

// One measured run of writes in the given mode on a machine of its own, so that a first
// write always meets a block not yet copied. *block_reads gets the blocks the module read
// per write (copies made).
WriteRun measured_writes(WriteMode mode, unsigned writers, uint32_t writes, double* block_reads)
{
    Rig rig;
    agent::SimTransport t(*rig.proc);
    agent::ControlDevice dev(t);
    if (mode == FirstWrite || mode == Rewrite) {
        dev.open();
        dev.start_backup(MAJOR(rig.part), MINOR(rig.part), kBlocks, kBlocks);
        dev.snapshot(agent::SessionKey{});
        if (mode == Rewrite)
            run_writers(rig, writers, writes / writers);
    } else if (mode == TrackingOnly) {
        full_backup(rig);
    }
    kes::BackupStats st0{}, st1{};
    dev.stats(st0);
    WriteRun r = run_writers(rig, writers, writes / writers);
    dev.stats(st1);
    *block_reads = double(st1.totalBRs - st0.totalBRs) / double(r.lat_us.size());
    dev.close();
    return r;
}

double percentile(const std::vector<double>& sorted, unsigned pct)
{
    return sorted[sorted.size() * pct / 100];
}

// Arg 0: the mode; arg 1: writers. Each iteration pairs a run in the mode with a run of
// plain writes (no backup, nothing tracked) just before it, and each ratio is the median of
// the iterations' own ratios: the machine's state drifts over a benchmark's minutes (other
// load, the host's caches), and a baseline taken seconds apart cancels most of it. The
// benchmark's time is the mode's writes alone.
void BM_Write(benchmark::State& state)
{
    auto mode = static_cast<WriteMode>(state.range(0));
    unsigned writers = static_cast<unsigned>(state.range(1));
    constexpr uint32_t kWrites = 4096; // in all, shared among the writers
    std::vector<double> lat, p50_ratio, p99_ratio, rate_ratio;
    double block_reads = 0, seconds = 0;
    for (auto _ : state) {
        double reads = 0, plain_reads = 0;
        WriteRun plain;
        if (mode != Plain)
            plain = measured_writes(Plain, writers, kWrites, &plain_reads);
        WriteRun r = measured_writes(mode, writers, kWrites, &reads);
        state.SetIterationTime(r.seconds);
        block_reads += reads;
        seconds += r.seconds;
        lat.insert(lat.end(), r.lat_us.begin(), r.lat_us.end());
        if (mode != Plain) {
            p50_ratio.push_back(percentile(r.lat_us, 50) / percentile(plain.lat_us, 50));
            p99_ratio.push_back(percentile(r.lat_us, 99) / percentile(plain.lat_us, 99));
            rate_ratio.push_back(plain.seconds / r.seconds);
        }
    }
    std::sort(lat.begin(), lat.end());
    double p50 = percentile(lat, 50), p99 = percentile(lat, 99);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["writes_per_s"] = double(lat.size()) / seconds;
    state.counters["module_reads_per_write"] = block_reads / double(state.iterations());
    if (mode != Plain) {
        std::string key = std::string(kModeNames[mode]) + " " + std::to_string(writers) + "w";
        figures()[key + " p50"] = median(p50_ratio);
        figures()[key + " p99"] = median(p99_ratio);
        figures()[key + " rate"] = median(rate_ratio);
    }
}
BENCHMARK(BM_Write)
    ->ArgsProduct({{Plain, FirstWrite, Rewrite, TrackingOnly}, {1, 2, 4}})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// An incremental backup after 1 % of the blocks changed (scattered: every hundredth block),
// against a full backup of the same device, both end to end through the agent.
void BM_Incremental(benchmark::State& state)
{
    Rig rig;
    std::vector<double> full_s, incr_s, empty_s;
    std::vector<char> data(kBlockSize, 'c');
    for (auto _ : state) {
        auto t0 = Clock::now();
        agent::BackupResult full = full_backup(rig);
        full_s.push_back(seconds_since(t0));
        for (uint32_t b = 1; b < kBlocks; b += 100)
            sim::write_sectors(rig.machine, rig.part, uint64_t(b) * kSectorsPerBlock, data.data(),
                               kSectorsPerBlock);
        t0 = Clock::now();
        agent::BackupResult incr = full_backup(rig, full.key);
        incr_s.push_back(seconds_since(t0));
        if (!incr.incremental)
            state.SkipWithError("the second backup was not incremental");
        // The floor: an incremental with nothing changed pays only a backup's fixed costs.
        t0 = Clock::now();
        full_backup(rig, incr.key);
        empty_s.push_back(seconds_since(t0));
    }
    double ratio = median(incr_s) / median(full_s);
    state.counters["full_ms"] = median(full_s) * 1e3;
    state.counters["incr_ms"] = median(incr_s) * 1e3;
    state.counters["nothing_changed_ms"] = median(empty_s) * 1e3;
    figures()["incremental 1% vs full"] = ratio;
    figures()["incremental 0% vs full"] = median(empty_s) / median(full_s);
}
BENCHMARK(BM_Incremental)->Iterations(5)->Unit(benchmark::kMillisecond);

// Where reading across a gap pays: an incremental after every gap+1-th block was written,
// each changed block read on its own against runs joined across the gaps (the unwanted
// blocks read and dropped). Below 1.0 joining is the cheaper; the agent joins across gaps
// up to the largest size where it is.
void BM_Gap(benchmark::State& state)
{
    const uint32_t gap = static_cast<uint32_t>(state.range(0));
    Rig rig;
    std::vector<char> data(kBlockSize, 'g');
    agent::SessionKey key = *full_backup(rig).key;
    auto change = [&] {
        for (uint32_t b = 0; b < kBlocks; b += gap + 1)
            sim::write_sectors(rig.machine, rig.part, uint64_t(b) * kSectorsPerBlock, data.data(), kSectorsPerBlock);
    };
    std::vector<double> single_s, joined_s;
    for (auto _ : state) {
        change();
        auto t0 = Clock::now();
        agent::BackupResult r = full_backup(rig, key, 0);
        single_s.push_back(seconds_since(t0));
        change();
        t0 = Clock::now();
        agent::BackupResult j = full_backup(rig, *r.key, gap);
        joined_s.push_back(seconds_since(t0));
        if (!r.incremental || !j.incremental || r.delivered_blocks != j.delivered_blocks)
            state.SkipWithError("the incrementals differ");
        key = *j.key;
    }
    state.counters["single_ms"] = median(single_s) * 1e3;
    state.counters["joined_ms"] = median(joined_s) * 1e3;
    figures()["gap " + std::to_string(gap) + ": joined vs single reads"] = median(joined_s) / median(single_s);
}
BENCHMARK(BM_Gap)->Arg(1)->Arg(2)->Arg(4)->Arg(6)->Arg(8)->Arg(12)->Iterations(5)->Unit(benchmark::kMillisecond);

// Pages, kmalloc bytes and slab objects (at their object size) the machine holds.
long mem_bytes(sim::Machine& m)
{
    sim::MemStats s = m.mem_stats();
    long bytes = s.pages * long(PAGE_SIZE) + s.kmalloc_bytes;
    for (const sim::SlabInfo& c : m.slabinfo())
        bytes += c.active_objects * long(c.object_size);
    return bytes;
}

// Memory: the automap's bits per block, and what each block held in the copy-on-write cache
// costs (pages, kmalloc bytes and slab objects).
void BM_Memory(benchmark::State& state)
{
    constexpr uint32_t kCached = 2048;
    for (auto _ : state) {
        Rig rig;
        agent::SimTransport t(*rig.proc);
        agent::ControlDevice dev(t);
        dev.open();
        dev.start_backup(MAJOR(rig.part), MINOR(rig.part), kBlocks, kBlocks);
        dev.snapshot(agent::SessionKey{});
        sim::wait_for_disk(rig.machine, rig.part);
        long before = mem_bytes(rig.machine);
        std::vector<char> data(kBlockSize, 'm');
        for (uint32_t b = 16; b < 16 + kCached; b++)
            sim::write_sectors(rig.machine, rig.part, uint64_t(b) * kSectorsPerBlock, data.data(),
                               kSectorsPerBlock);
        sim::wait_for_disk(rig.machine, rig.part);
        double per_block = double(mem_bytes(rig.machine) - before) / kCached;
        state.counters["cache_bytes_per_block"] = per_block;
        figures()["cache bytes per cached block"] = per_block;
        kes::BackupStats st{};
        dev.stats(st);
        double bits = double(st.automapPages) * PAGE_SIZE * 8 / kBlocks;
        state.counters["automap_bits_per_block"] = bits;
        figures()["automap bits per block"] = bits;
        dev.close();
    }
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Fills every block but the first (which holds the super block) with data that compresses
// about two to one, as mixed file contents do: half of each block pseudo-random, half text
// that repeats. Returns the partition's contents as written.
std::vector<uint8_t> fill_disk(Rig& rig)
{
    std::vector<uint8_t> data(size_t(rig.blocks) * kBlockSize);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint32_t b = 1; b < rig.blocks; b++) {
        uint8_t* p = data.data() + size_t(b) * kBlockSize;
        for (uint32_t j = 0; j < kBlockSize / 2; j += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(p + j, &x, 8);
        }
        char line[64];
        int n = snprintf(line, sizeof line, "block %u of the benchmark's disk. ", b);
        for (uint32_t j = kBlockSize / 2; j < kBlockSize; j += static_cast<uint32_t>(n))
            memcpy(p + j, line, std::min<uint32_t>(static_cast<uint32_t>(n), kBlockSize - j));
    }
    for (uint32_t b = 1; b < rig.blocks; b += 256) {
        uint32_t n = std::min<uint32_t>(256, rig.blocks - b);
        sim::write_store(rig.machine, rig.part, uint64_t(b) * kSectorsPerBlock, data.data() + size_t(b) * kBlockSize,
                         uint64_t(n) * kSectorsPerBlock);
    }
    return data;
}

// A fresh repository in a temporary directory, removed with it. Memory-backed (/dev/shm)
// where the machine has it, so that the figure weighs the backup's work, not the host
// disk's syncs.
struct TempRepo {
    std::string top, dir;
    // With a password: an encrypted repository (its key made at the standard cost, once,
    // outside what is timed).
    explicit TempRepo(std::optional<std::string> password = std::nullopt)
    {
        std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kestrel-bench-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            abort();
        top = tmpl;
        dir = top + "/repo";
        repo::InitOptions o;
        o.password = password;
        repo::Repository::init(repo::Env::posix(), dir, o);
    }
    ~TempRepo() { std::filesystem::remove_all(top); }
};

// The bytes of a backup's own metadata in the repository: its manifest, and its index
// file or the new pieces of its map tree (with their chunk headers).
double metadata_bytes(repo::Repository& repo, const std::string& dir, const std::string& id)
{
    std::string index = dir + "/backups/" + id + ".index";
    repo::BackupCounts c = repo.manifest(id).counts;
    return double(std::filesystem::file_size(dir + "/backups/" + id + ".manifest") +
                  (std::filesystem::exists(index) ? std::filesystem::file_size(index) : 0) + c.map_bytes_new +
                  c.map_pieces_new * repo::format::kChunkHeaderBytes);
}

// Every file in the repository after a backup (config, packs or chunk files, indexes,
// manifests).
uint64_t count_files(const std::string& dir)
{
    uint64_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        n += e.is_regular_file();
    return n;
}

// One backup of the rig's partition into the repository through the agent, every block
// taken; the backup's id, or "" after reporting why it failed.
std::string repo_backup(Rig& rig, repo::Repository& repo)
{
    agent::SimTransport t(*rig.proc);
    jobs::RepoSink sink(repo, "bench#1", MAJOR(rig.part), MINOR(rig.part));
    agent::BackupJob job;
    job.major = MAJOR(rig.part);
    job.minor = MINOR(rig.part);
    job.used_only = false;
    job.previous = sink.previous();
    agent::BackupResult r = agent::back_up(t, job, sink, {});
    if (!r.committed) {
        fprintf(stderr, "backup into the repository failed: %s\n", r.error.c_str());
        return "";
    }
    return sink.committed_id();
}

// The same data handed to a repository writer straight from memory, block by block, and
// committed: the repository's own part of a backup, without the read through the agent.
void repo_ingest(const std::vector<uint8_t>& data, repo::Repository& repo)
{
    const uint64_t blocks = data.size() / kBlockSize;
    auto w = repo.begin_backup({"ingest", 0, blocks * kSectorsPerBlock, "raw", kBlockSize, blocks}, std::nullopt);
    for (uint64_t b = 0; b < blocks; b++)
        w->put(b, std::span(data.data() + b * kBlockSize, kBlockSize));
    w->commit({});
}

// Hashes and compresses the data chunk by chunk, as the repository stores it, on both cores;
// with `key`, names each chunk by the keyed hash and seals it, as an encrypted one does.
void hash_and_compress(const std::vector<uint8_t>& data, uint32_t chunk_bytes, const repo::MasterKey* key = nullptr)
{
    const size_t chunks = (data.size() + chunk_bytes - 1) / chunk_bytes;
    constexpr unsigned kThreads = 2;
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < kThreads; w++)
        threads.emplace_back([&, w] {
            for (size_t c = w; c < chunks; c += kThreads) {
                size_t off = c * chunk_bytes;
                std::span<const uint8_t> chunk(data.data() + off, std::min<size_t>(chunk_bytes, data.size() - off));
                if (!key) {
                    benchmark::DoNotOptimize(repo::format::sha256(chunk));
                    benchmark::DoNotOptimize(repo::format::encode_chunk(chunk));
                    continue;
                }
                repo::Digest id = key->id(chunk);
                std::span<const uint8_t> file = repo::format::encode_chunk_view(chunk);
                benchmark::DoNotOptimize(
                    key->seal({reinterpret_cast<const char*>(file.data()), file.size()}, repo::pack::blob_context(id)));
            }
        });
    for (auto& t : threads)
        t.join();
}

// End-to-end full backup into a fresh repository (snapshot, read through the agent, hash,
// compress, store, sync, commit), against hashing and compressing the same data alone on
// both cores; and the metadata each backup adds to the repository, full and incremental.
void BM_RepoBackup(benchmark::State& state)
{
    Rig rig;
    std::vector<uint8_t> data = fill_disk(rig);
    std::vector<double> e2e_s, alone_s, e2e_cpu, alone_cpu, ingest_s;
    double meta_full = 0, meta_incr = 0, stored = 0, files_per_gib = 0;
    std::vector<char> changed(kBlockSize, 'i');
    for (auto _ : state) {
        TempRepo tr;
        auto repo = repo::Repository::open(repo::Env::posix(), tr.dir);
        auto t0 = Clock::now();
        double c0 = process_cpu_seconds();
        std::string id = repo_backup(rig, *repo);
        e2e_cpu.push_back(process_cpu_seconds() - c0);
        e2e_s.push_back(seconds_since(t0));
        if (id.empty()) {
            state.SkipWithError("the backup into the repository failed");
            return;
        }
        meta_full = metadata_bytes(*repo, tr.dir, id);
        files_per_gib = double(count_files(tr.dir)) / (double(rig.blocks) * kBlockSize / double(1u << 30));
        stored = double(repo->manifest(id).counts.bytes_new);
        for (uint32_t b = 1; b < rig.blocks; b += 100)
            sim::write_sectors(rig.machine, rig.part, uint64_t(b) * kSectorsPerBlock, changed.data(),
                               kSectorsPerBlock);
        std::string incr = repo_backup(rig, *repo);
        if (incr.empty()) {
            state.SkipWithError("the incremental into the repository failed");
            return;
        }
        meta_incr = metadata_bytes(*repo, tr.dir, incr);
        t0 = Clock::now();
        c0 = process_cpu_seconds();
        hash_and_compress(data, repo->chunk_bytes());
        alone_cpu.push_back(process_cpu_seconds() - c0);
        alone_s.push_back(seconds_since(t0));
        TempRepo fresh;
        auto ingest_repo = repo::Repository::open(repo::Env::posix(), fresh.dir);
        t0 = Clock::now();
        repo_ingest(data, *ingest_repo);
        ingest_s.push_back(seconds_since(t0));
    }
    double mib = double(rig.blocks) * kBlockSize / (1 << 20);
    state.counters["e2e_MiBps"] = mib / median(e2e_s);
    state.counters["hash_compress_MiBps"] = mib / median(alone_s);
    state.counters["stored_MiB"] = stored / (1 << 20);
    state.counters["metadata_full_bytes"] = meta_full;
    state.counters["metadata_incr_bytes"] = meta_incr;
    figures()["backup into repository vs hash+compress"] = median(alone_s) / median(e2e_s);
    // The same in CPU time: on a busy machine the backup's more numerous threads win a
    // larger share of the cores than the baseline's two, which flatters the wall-clock ratio.
    figures()["backup into repository vs hash+compress (CPU)"] = median(alone_cpu) / median(e2e_cpu);
    // The repository's part alone (no snapshot, no read through the agent and the module).
    figures()["repository writer alone vs hash+compress"] = median(alone_s) / median(ingest_s);
    figures()["repository metadata per full backup"] = meta_full;
    figures()["repository metadata per incremental"] = meta_incr;
    figures()["repository files per GiB backed up"] = files_per_gib;
}
BENCHMARK(BM_RepoBackup)->Iterations(5)->Unit(benchmark::kMillisecond);

// The same full backup into an encrypted repository, against hashing (keyed), compressing
// and sealing the same chunks alone on both cores.
void BM_RepoBackupEncrypted(benchmark::State& state)
{
    Rig rig;
    std::vector<uint8_t> data = fill_disk(rig);
    std::vector<double> e2e_s, alone_s;
    const repo::MasterKey key = repo::MasterKey::generate();
    for (auto _ : state) {
        TempRepo tr("bench password");
        repo::OpenOptions oo;
        oo.password = [] { return std::string("bench password"); };
        auto repo = repo::Repository::open(repo::Env::posix(), tr.dir, oo);
        auto t0 = Clock::now();
        if (repo_backup(rig, *repo).empty()) {
            state.SkipWithError("the backup into the encrypted repository failed");
            return;
        }
        e2e_s.push_back(seconds_since(t0));
        t0 = Clock::now();
        hash_and_compress(data, repo->chunk_bytes(), &key);
        alone_s.push_back(seconds_since(t0));
    }
    double mib = double(rig.blocks) * kBlockSize / (1 << 20);
    state.counters["e2e_MiBps"] = mib / median(e2e_s);
    state.counters["hash_compress_seal_MiBps"] = mib / median(alone_s);
    figures()["encrypted backup vs hash+compress+encrypt"] = median(alone_s) / median(e2e_s);
}
BENCHMARK(BM_RepoBackupEncrypted)->Iterations(5)->Unit(benchmark::kMillisecond);

// The map of a 1 TiB device of 4 KiB blocks in 64 KiB chunks (16 Mi positions), sparse: a
// run of used chunks every 64 MiB and scattered ones, about 2% in all. Its tree is built
// as a full backup's would be, then as an incremental's with nothing changed and with one
// chunk changed, counting the chunk files (header and zstd, as stored) of the new pieces.
// A fixed index would be 512 MiB each time.
void BM_MapTreeMetadata(benchmark::State& state)
{
    repo::tree::Geometry g = repo::tree::geometry(uint64_t(1) << 28, 16, repo::kDefaultChunkBytes);
    std::map<repo::Digest, std::vector<uint8_t>> pieces;
    uint64_t bytes = 0;
    repo::tree::Store store{[&](std::span<const uint8_t> p) {
                                repo::Digest d = repo::format::sha256(p);
                                if (!pieces.count(d))
                                    bytes += repo::format::encode_chunk(p).size();
                                pieces[d].assign(p.begin(), p.end());
                                return d;
                            },
                            [&](const repo::Digest& d) { return pieces.at(d); }, {}};
    std::vector<uint8_t> used(g.used_bytes, 0xff);
    // Chunk digests are random to zstd, as real ones are.
    auto digest_of = [](uint64_t pos, uint64_t salt) {
        uint64_t key[2] = {pos, salt};
        return repo::format::sha256(std::span(reinterpret_cast<const uint8_t*>(key), sizeof key));
    };
    double full = 0, unchanged = 0, one = 0;
    for (auto _ : state) {
        pieces.clear();
        bytes = 0;
        repo::tree::Builder b(g, {}, store);
        uint64_t rng = 88172645463325252ull;
        for (uint64_t pos = 0; pos < g.positions; pos++) {
            rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
            if (pos % 1024 < 16 || rng % 100 == 0)
                b.set(pos, digest_of(pos, 0), used);
        }
        repo::Digest root = b.finish();
        full = double(bytes);
        bytes = 0;
        repo::tree::Builder same(g, root, store);
        if (same.finish() != root)
            abort();
        unchanged = double(bytes);
        repo::tree::Builder changed(g, root, store);
        changed.set(g.positions / 3, digest_of(g.positions / 3, 1), used);
        changed.finish();
        one = double(bytes - unchanged);
    }
    state.counters["tree_full_bytes"] = full;
    state.counters["tree_unchanged_bytes"] = unchanged;
    state.counters["tree_one_chunk_bytes"] = one;
    figures()["map pieces, unchanged 1 TiB incremental"] = unchanged;
    figures()["map pieces, one chunk of 1 TiB changed"] = one;
    figures()["map pieces, whole sparse 1 TiB map"] = full;
}
BENCHMARK(BM_MapTreeMetadata)->Iterations(1)->Unit(benchmark::kMillisecond);

// Growth: a full backup through the agent of a memory-backed partition of the given number
// of blocks, every block taken. Registered in main (the large sizes only when asked for).
void BM_Growth(benchmark::State& state)
{
    uint32_t blocks = static_cast<uint32_t>(state.range(0));
    Rig rig(Backing::Memory, blocks);
    std::vector<double> secs;
    for (auto _ : state) {
        auto t0 = Clock::now();
        full_backup(rig);
        secs.push_back(seconds_since(t0));
    }
    double mib = double(blocks) * kBlockSize / (1 << 20);
    state.counters["MiBps"] = mib / median(secs);
    figures()["growth MiB/s at " + std::to_string(blocks / 256) + " MiB"] = mib / median(secs);
}

// Time frozen against the size of the automap: a first backup leaves change tracking on,
// then each iteration takes a snapshot that presents its key, which switches the automap's
// pages over while the file system is frozen. The disk is a sparse image file, so the
// largest size (2^28 blocks, 1 TiB) needs no memory for its contents. No block is read:
// only the snapshot is timed, and the module's own figure of the time frozen kept.
void BM_TimeFrozen(benchmark::State& state)
{
    uint32_t blocks = static_cast<uint32_t>(state.range(0));
    Rig rig(Backing::SparseImage, blocks);
    agent::SimTransport t(*rig.proc);
    auto session = [&](const agent::SessionKey& key, kes::BackupStats& st, agent::SessionKey& next) {
        agent::ControlDevice dev(t);
        kes::BackupStateInfo bs{};
        kes::AutoMapStateInfo am{};
        if (dev.open() || dev.start_backup(MAJOR(rig.part), MINOR(rig.part), blocks, 1024) || dev.snapshot(key) ||
            dev.state(bs) || bs.state != 4 || dev.stats(st) || dev.automap_state(am))
            return false;
        // A snapshot that presented a key must have handed the changes over, or the
        // automap was started afresh and nothing was switched.
        bool first = std::all_of(key.begin(), key.end(), [](uint8_t c) { return c == 0; });
        std::copy(std::begin(am.sessionKey), std::end(am.sessionKey), next.begin());
        agent::BlockBitmap changed;
        if (!first && dev.get_automap(blocks, changed))
            return false;
        dev.close();
        return true;
    };
    agent::SessionKey key{};
    kes::BackupStats st{};
    if (!session(key, st, key)) {
        state.SkipWithError("the first snapshot failed");
        return;
    }
    std::vector<double> frozen_us;
    for (auto _ : state) {
        if (!session(key, st, key)) {
            state.SkipWithError("a snapshot failed");
            return;
        }
        frozen_us.push_back(st.timeFrozenSec * 1e6 + st.timeFrozenNsec / 1e3);
    }
    double pages = double(blocks) / 8 / PAGE_SIZE;
    state.counters["automap_pages"] = pages;
    state.counters["frozen_us"] = median(frozen_us);
    figures()["time frozen (us), " + std::to_string(uint64_t(blocks) * kBlockSize >> 30) + " GiB"] = median(frozen_us);
}
BENCHMARK(BM_TimeFrozen)
    ->Arg(kBlocks)
    ->Arg(1u << 22)  // 16 GiB
    ->Arg(1u << 28)  // 1 TiB
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

struct Target {
    std::string name;
    double value;
    bool higher_is_better;
    double limit;
    bool shown_at_zero = false;  // a measured 0 (otherwise 0 is a figure not measured)
};

void print_table()
{
    auto& f = figures();
    std::vector<Target> rows;
    auto add = [&](const std::string& name, double v, bool higher, double limit) {
        rows.push_back({name, v, higher, limit});
    };
    auto get = [&](const std::string& name) { return f.count(name) ? f[name] : 0; };
    for (const char* k : {"full read vs block layer (mem)", "full read vs block layer (file)"})
        if (f.count(k))
            add(k, f[k], true, 0.9);
    if (f.count("full read vs image file"))
        add("full read vs image file", f["full read vs image file"], true, 0.8);
    for (int w : {1, 2, 4}) {
        std::string n = std::to_string(w) + "w";
        add("first write p50, " + n, get("first write " + n + " p50"), false, 1.5);
        add("first write p99, " + n, get("first write " + n + " p99"), false, 0);
        add("first write rate, " + n, get("first write " + n + " rate"), true, 0);
        for (auto [mode, limit] : {std::pair{"rewrite", 1.05}, std::pair{"tracking only", 1.03}}) {
            add(std::string(mode) + " p50, " + n, get(std::string(mode) + " " + n + " p50"), false, limit);
            add(std::string(mode) + " p99, " + n, get(std::string(mode) + " " + n + " p99"), false, limit);
        }
    }
    if (f.count("incremental 1% vs full"))
        add("incremental 1% vs full", f["incremental 1% vs full"], false, 0.02);
    if (f.count("incremental 0% vs full"))
        add("incremental 0% vs full (fixed costs)", f["incremental 0% vs full"], false, 0);
    for (auto& [name, v] : f)
        if (name.rfind("gap ", 0) == 0)
            add(name, v, false, 0);
    for (const char* k : {"backup into repository vs hash+compress", "backup into repository vs hash+compress (CPU)",
                          "encrypted backup vs hash+compress+encrypt"})
        if (f.count(k))
            add(k, f[k], true, 0.8);
    if (f.count("repository writer alone vs hash+compress"))
        add("repository writer alone vs hash+compress", f["repository writer alone vs hash+compress"], true, 0);
    if (f.count("repository files per GiB backed up"))
        add("repository files per GiB backed up", f["repository files per GiB backed up"], false, 100);
    for (const char* k : {"repository metadata per full backup", "repository metadata per incremental"})
        if (f.count(k))
            add(std::string(k) + " (bytes)", f[k], false, 0);
    // An incremental that changed nothing writes at most 64 KiB of new metadata.
    for (auto [k, limit] : {std::pair{"map pieces, unchanged 1 TiB incremental", 65536.0},
                            std::pair{"map pieces, one chunk of 1 TiB changed", 0.0},
                            std::pair{"map pieces, whole sparse 1 TiB map", 0.0}})
        if (f.count(k))
            add(std::string(k) + " (bytes)", f[k], false, limit), rows.back().shown_at_zero = true;
    // Growth is linear when the rate holds as the device grows: each size's rate against
    // the smallest one's.
    std::vector<std::pair<uint64_t, double>> growth;
    for (auto& [name, v] : f)
        if (name.rfind("growth MiB/s at ", 0) == 0)
            growth.push_back({std::stoull(name.substr(16)), v});
    std::sort(growth.begin(), growth.end());
    for (size_t i = 1; i < growth.size(); i++)
        add("growth: rate at " + std::to_string(growth[i].first) + " vs " + std::to_string(growth[0].first) + " MiB",
            growth[i].second / growth[0].second, true, 0);
    std::vector<std::pair<uint64_t, double>> frozen;
    for (auto& [name, v] : f)
        if (name.rfind("time frozen (us), ", 0) == 0)
            frozen.push_back({std::stoull(name.substr(18)), v});
    std::sort(frozen.begin(), frozen.end());
    // Frozen for milliseconds at most, whatever the size: 10 ms at 1 TiB.
    for (auto& [gib, us] : frozen)
        add("time frozen (us), automap of " + (gib ? std::to_string(gib) + " GiB" : std::string("128 MiB")), us, false,
            gib >= 1024 ? 10000 : 0);
    if (f.count("cache bytes per cached block"))
        add("cache bytes per cached block", f["cache bytes per cached block"], false, kBlockSize + 64);
    if (f.count("automap bits per block"))
        add("automap bits per block", f["automap bits per block"], false, 1);

    printf("\n%-48s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    for (const Target& r : rows) {
        if (r.value == 0 && !r.shown_at_zero)
            continue;
        if (r.limit == 0) {
            printf("%-48s %10.3f %10s  %s\n", r.name.c_str(), r.value, "-", "(reported)");
            continue;
        }
        bool pass = r.higher_is_better ? r.value >= r.limit : r.value <= r.limit;
        printf("%-48s %10.3f %8s%.4g  %s\n", r.name.c_str(), r.value, r.higher_is_better ? ">=" : "<=", r.limit,
               pass ? "pass" : "MISS");
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Growth at 256 MiB always; at 1 GiB and 4 GiB (memory-backed disks of that size) when
    // KESTREL_BENCH_BIG is set.
    // KESTREL_BENCH_GROWTH_MIB (sizes in MiB, comma-separated) picks the sizes instead, one
    // iteration each: for profiles that compare two sizes.
    std::vector<int64_t> sizes{1 << 16};
    int iterations = 3;
    const char* big = getenv("KESTREL_BENCH_BIG");
    if (big && *big && strcmp(big, "0") != 0) {
        sizes.push_back(1 << 18);
        sizes.push_back(1 << 20);
    }
    if (const char* pick = getenv("KESTREL_BENCH_GROWTH_MIB"); pick && *pick) {
        sizes.clear();
        iterations = 1;
        for (char* end = nullptr;; pick = end + 1) {
            long mib = strtol(pick, &end, 10);
            if (end == pick || mib <= 0 || mib > 8192) {
                fprintf(stderr, "KESTREL_BENCH_GROWTH_MIB: sizes in MiB, 1 to 8192, comma-separated\n");
                return 1;
            }
            sizes.push_back(int64_t(mib) * 256);
            if (*end != ',')
                break;
        }
    }
    for (int64_t blocks : sizes)
        benchmark::RegisterBenchmark("BM_Growth", BM_Growth)
            ->Arg(blocks)
            ->Iterations(iterations)
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_table();
    return 0;
}
