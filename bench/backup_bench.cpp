// What a backup costs the server it protects and how fast it gets the data out. Every figure
// is a ratio against a baseline measured in the same run on the same simulated disk; the
// table at the end prints each ratio with its target and whether it was met.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/backup.h"
#include "agent/sim_transport.h"
#include "module/kestrel.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "tools/install/install.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// A machine with one disk holding one partition with an ext2 super block mounted on it, and
// the module loaded. With image set, the disk is backed by a sparse image file.
struct Rig {
    sim::Machine machine{install::machine_config()};
    uint32_t part = 0;
    sim::Process* proc = nullptr;
    std::string image;

    explicit Rig(bool image_backed = false)
    {
        sim::DiskConfig dc;
        uint64_t bytes = (2048 + uint64_t(kBlocks) * kSectorsPerBlock) * 512;
        if (image_backed) {
            char path[] = "/tmp/kestrel-bench-XXXXXX";
            int fd = mkstemp(path);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0)
                abort();
            // Fill it so reads come from written pages, not from holes.
            std::vector<char> chunk(1 << 20, 'd');
            for (uint64_t off = 0; off < bytes; off += chunk.size())
                if (pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(off)) < 0)
                    abort();
            close(fd);
            image = path;
            dc.image_path = image;
        } else {
            dc.size_bytes = bytes;
        }
        dc.partitions = std::vector<sim::Partition>{{2048, uint64_t(kBlocks) * kSectorsPerBlock}};
        uint32_t disk = 0;
        if (sim::add_disk(machine, dc, &disk) != 0)
            abort();
        part = disk + 1;
        auto sb = sim::make_ext2_super_block(kBlockSize, kBlocks);
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
    uint64_t sectors = uint64_t(kBlocks) * kSectorsPerBlock;
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

agent::BackupResult full_backup(Rig& rig, std::optional<agent::SessionKey> previous = {})
{
    agent::SimTransport t(*rig.proc);
    agent::BackupRequest req;
    req.major = MAJOR(rig.part);
    req.minor = MINOR(rig.part);
    req.previous_key = previous;
    req.run_blocks = 256;
    agent::BackupResult r = agent::run_backup(t, req, [](uint32_t, const uint8_t* d, uint32_t) {
        benchmark::DoNotOptimize(d);
    });
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
    Rig rig(image);
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
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    };
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

// Arg 0: the mode; arg 1: writers. Each iteration boots its own machine, so a first write
// always meets a block not yet copied.
void BM_Write(benchmark::State& state)
{
    auto mode = static_cast<WriteMode>(state.range(0));
    unsigned writers = static_cast<unsigned>(state.range(1));
    constexpr uint32_t kWrites = 4096; // in all, shared among the writers
    std::vector<double> lat;
    double seconds = 0;
    double block_reads = 0; // block reads the module allocated, per write
    for (auto _ : state) {
        state.PauseTiming();
        Rig rig;
        agent::SimTransport t(*rig.proc);
        agent::ControlDevice dev(t);
        if (mode == FirstWrite || mode == Rewrite) {
            dev.open();
            dev.start_backup(MAJOR(rig.part), MINOR(rig.part), kBlocks, kBlocks);
            dev.snapshot(agent::SessionKey{});
            if (mode == Rewrite)
                run_writers(rig, writers, kWrites / writers);
        } else if (mode == TrackingOnly) {
            full_backup(rig);
        }
        kes::BackupStats st0{}, st1{};
        dev.stats(st0);
        state.ResumeTiming();
        WriteRun r = run_writers(rig, writers, kWrites / writers);
        state.PauseTiming();
        dev.stats(st1);
        block_reads += double(st1.totalBRs - st0.totalBRs) / double(r.lat_us.size());
        seconds += r.seconds;
        lat.insert(lat.end(), r.lat_us.begin(), r.lat_us.end());
        dev.close();
        state.ResumeTiming();
    }
    std::sort(lat.begin(), lat.end());
    double p50 = lat[lat.size() / 2], p99 = lat[lat.size() * 99 / 100];
    double wps = double(lat.size()) / seconds;
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["writes_per_s"] = wps;
    state.counters["module_reads_per_write"] = block_reads / double(state.iterations());
    std::string key = std::string(kModeNames[mode]) + " " + std::to_string(writers) + "w";
    figures()[key + " p50"] = p50;
    figures()[key + " p99"] = p99;
    figures()[key + " rate"] = wps;
}
BENCHMARK(BM_Write)
    ->ArgsProduct({{Plain, FirstWrite, Rewrite, TrackingOnly}, {1, 2, 4}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// An incremental backup after 1 % of the blocks changed (scattered: every hundredth block),
// against a full backup of the same device, both end to end through the agent.
void BM_Incremental(benchmark::State& state)
{
    Rig rig;
    std::vector<double> full_s, incr_s;
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
    }
    std::sort(full_s.begin(), full_s.end());
    std::sort(incr_s.begin(), incr_s.end());
    double ratio = incr_s[incr_s.size() / 2] / full_s[full_s.size() / 2];
    state.counters["full_ms"] = full_s[full_s.size() / 2] * 1e3;
    state.counters["incr_ms"] = incr_s[incr_s.size() / 2] * 1e3;
    figures()["incremental 1% vs full"] = ratio;
}
BENCHMARK(BM_Incremental)->Iterations(5)->Unit(benchmark::kMillisecond);

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

struct Target {
    std::string name;
    double value;
    bool higher_is_better;
    double limit;
};

void print_table()
{
    auto& f = figures();
    std::vector<Target> rows;
    auto add = [&](const std::string& name, double v, bool higher, double limit) {
        rows.push_back({name, v, higher, limit});
    };
    auto ratio = [&](const std::string& a, const std::string& b) {
        return f.count(a) && f.count(b) && f[b] > 0 ? f[a] / f[b] : 0;
    };
    for (const char* k : {"full read vs block layer (mem)", "full read vs block layer (file)"})
        if (f.count(k))
            add(k, f[k], true, 0.9);
    if (f.count("full read vs image file"))
        add("full read vs image file", f["full read vs image file"], true, 0.8);
    for (int w : {1, 2, 4}) {
        std::string n = std::to_string(w) + "w";
        add("first write p50, " + n, ratio("first write " + n + " p50", "plain " + n + " p50"), false, 1.5);
        add("first write p99, " + n, ratio("first write " + n + " p99", "plain " + n + " p99"), false, 0);
        add("first write rate, " + n, ratio("first write " + n + " rate", "plain " + n + " rate"), true, 0);
        for (auto [mode, limit] : {std::pair{"rewrite", 1.05}, std::pair{"tracking only", 1.03}}) {
            add(std::string(mode) + " p50, " + n, ratio(std::string(mode) + " " + n + " p50", "plain " + n + " p50"),
                false, limit);
            add(std::string(mode) + " p99, " + n, ratio(std::string(mode) + " " + n + " p99", "plain " + n + " p99"),
                false, limit);
        }
    }
    if (f.count("incremental 1% vs full"))
        add("incremental 1% vs full", f["incremental 1% vs full"], false, 0.02);
    if (f.count("cache bytes per cached block"))
        add("cache bytes per cached block", f["cache bytes per cached block"], false, kBlockSize + 64);
    if (f.count("automap bits per block"))
        add("automap bits per block", f["automap bits per block"], false, 1);

    printf("\n%-36s %10s %10s  %s\n", "figure (ratio to its baseline)", "value", "target", "result");
    for (const Target& r : rows) {
        if (r.value == 0)
            continue;
        if (r.limit == 0) {
            printf("%-36s %10.3f %10s  %s\n", r.name.c_str(), r.value, "-", "(reported)");
            continue;
        }
        bool pass = r.higher_is_better ? r.value >= r.limit : r.value <= r.limit;
        printf("%-36s %10.3f %8s%.4g  %s\n", r.name.c_str(), r.value, r.higher_is_better ? ">=" : "<=", r.limit,
               pass ? "pass" : "MISS");
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_table();
    return 0;
}
