#include "tests/support/stamped.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "agent/sim_transport.h"
#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"
#include "sim/disk.h"
#include "sim/fs.h"

namespace kestrel_test {

namespace {

constexpr uint32_t kStampMagic = 0x504d5453; // "STMP"
constexpr uint32_t kChunkBlocks = 8;          // blocks a writer owns together

uint8_t FillByte(const Stamp& s, size_t i)
{
    return static_cast<uint8_t>(s.dev * 131 + s.sector * 31 + s.gen * 17 + s.writer * 7 + i);
}

// The agent's transport, with the bounds of each snapshot taken around the snapshot command
// and, when asked, every command after a number of reads refused.
class ProbeTransport : public agent::SimTransport {
public:
    ProbeTransport(sim::Process& p, StampedDisk& d, std::function<void()> before,
                   std::function<void(int)> after, unsigned cancelAfterReads)
        : agent::SimTransport(p), d_(d), before_(std::move(before)), after_(std::move(after)),
          cancelAfter_(cancelAfterReads)
    {
    }
    int ioctl(int fd, uint32_t cmd, uint32_t arg) override
    {
        if (cancelAfter_ && reads_ >= cancelAfter_)
            return -EINTR;
        if (cmd == kes::KES_READ_BLOCKS)
            reads_++;
        if (cmd == kes::KES_SNAPSHOT)
            before_();
        int r = agent::SimTransport::ioctl(fd, cmd, arg);
        if (cmd == kes::KES_SNAPSHOT)
            after_(r);
        d_.NoteCommand(cmd, r);
        return r;
    }
    int close(int fd) override
    {
        int r = agent::SimTransport::close(fd);
        d_.NoteCommand(0, r);
        return r;
    }

private:
    StampedDisk& d_;
    std::function<void()> before_;
    std::function<void(int)> after_;
    unsigned cancelAfter_;
    unsigned reads_ = 0;
};

} // namespace

void PutStamp(uint8_t* sector, const Stamp& s)
{
    uint32_t words[5] = {kStampMagic, s.dev, s.sector, s.gen, s.writer};
    memcpy(sector, words, sizeof words);
    for (size_t i = sizeof words; i < 512; i++)
        sector[i] = FillByte(s, i);
}

std::optional<Stamp> GetStamp(const uint8_t* sector)
{
    uint32_t words[5];
    memcpy(words, sector, sizeof words);
    if (words[0] != kStampMagic)
        return std::nullopt;
    Stamp s{words[1], words[2], words[3], words[4]};
    for (size_t i = sizeof words; i < 512; i++)
        if (sector[i] != FillByte(s, i))
            return std::nullopt;
    return s;
}

StampedDisk::SectorLog::SectorLog(uint64_t n)
    : started(new std::atomic<uint32_t>[n]), completed(new std::atomic<uint32_t>[n]),
      owner(n, kNoWriter)
{
    for (uint64_t i = 0; i < n; i++) {
        started[i] = 0;
        completed[i] = 0;
    }
}

StampedDisk::StampedDisk(sim::Machine& m, StampedConfig config)
    : m_(m), c_(config), part1Sectors_(uint64_t(config.fsBlocks) * kSectorsPerBlock), p1_(part1Sectors_),
      p2_(config.part2Sectors)
{
    sim::DiskConfig dc;
    dc.size_bytes = (kPart1Start + part1Sectors_ + c_.part2Sectors) * 512;
    dc.partitions = std::vector<sim::Partition>{{kPart1Start, part1Sectors_},
                                                {kPart1Start + part1Sectors_, c_.part2Sectors}};
    if (sim::add_disk(m_, dc, &disk) != 0) {
        setupError_ = "cannot add the disk";
        return;
    }
    part1 = disk + 1;
    part2 = disk + 2;

    // Every sector stamped with generation 0, then the super block over sectors 2 and 3.
    std::vector<uint8_t> all(part1Sectors_ * 512);
    for (uint64_t s = 0; s < part1Sectors_; s++)
        PutStamp(&all[s * 512], {part1, static_cast<uint32_t>(s), 0, kNoWriter});
    auto sb = sim::make_ext2_super_block(kBlockSize, c_.fsBlocks);
    memcpy(&all[1024], sb.data(), sb.size());
    superBlock_.assign(all.begin() + 1024, all.begin() + 2048);
    std::vector<uint8_t> two(c_.part2Sectors * 512);
    for (uint64_t s = 0; s < c_.part2Sectors; s++)
        PutStamp(&two[s * 512], {part2, static_cast<uint32_t>(s), 0, kNoWriter});
    if (sim::write_store(m_, part1, 0, all.data(), part1Sectors_) != 0 ||
        sim::write_store(m_, part2, 0, two.data(), c_.part2Sectors) != 0 || sim::mount_fs(m_, part1) != 0) {
        setupError_ = "cannot lay out or mount the file system";
        return;
    }

    // Chunk 0 holds the super block and stays as it is; the last chunk and partition 2
    // belong to the writer across the edge.
    int mainWriters = c_.fsWriters + c_.rawWriters;
    writers_ = mainWriters + (c_.edgeWriter ? 1 : 0);
    chunks_.assign(writers_, {});
    uint32_t nChunks = c_.fsBlocks / kChunkBlocks;
    for (uint32_t ch = 1; ch < nChunks; ch++) {
        int w = (c_.edgeWriter && ch == nChunks - 1) ? mainWriters : static_cast<int>((ch - 1) % mainWriters);
        chunks_[w].push_back(ch);
        for (uint64_t s = uint64_t(ch) * kChunkBlocks * kSectorsPerBlock;
             s < uint64_t(ch + 1) * kChunkBlocks * kSectorsPerBlock; s++)
            p1_.owner[s] = static_cast<uint32_t>(w);
    }
    if (c_.edgeWriter)
        std::fill(p2_.owner.begin(), p2_.owner.end(), static_cast<uint32_t>(mainWriters));
}

StampedDisk::~StampedDisk() { StopWriters(); }

void StampedDisk::StartWriters()
{
    stop_ = false;
    for (int w = 0; w < writers_; w++)
        threads_.emplace_back([this, w] { Writer(w); });
}

void StampedDisk::StopWriters()
{
    stop_ = true;
    WaitForWriters();
}

void StampedDisk::WaitForWriters()
{
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

int StampedDisk::Flush()
{
    int err;
    while ((err = sim::fs_sync(m_, part1)) == -EIO)
        writeErrors_++;
    return err;
}

StampedDisk::SectorLog* StampedDisk::LogOf(uint32_t dev, uint64_t sector, uint64_t* rel, uint32_t* partDev)
{
    if (dev == disk) {
        if (sector >= kPart1Start && sector < kPart1Start + part1Sectors_)
            return LogOf(part1, sector - kPart1Start, rel, partDev);
        return LogOf(part2, sector - kPart1Start - part1Sectors_, rel, partDev);
    }
    *rel = sector;
    *partDev = dev;
    return dev == part1 ? &p1_ : &p2_;
}

void StampedDisk::Note(const Event& e)
{
    std::lock_guard<std::mutex> g(problemMu_);
    events_.push_back(e);
}

void StampedDisk::NoteCommand(uint32_t cmd, int result)
{
    Note({Event::Command, 0, cmd, static_cast<uint32_t>(result)});
}

std::string StampedDisk::HistoryOf(uint64_t s) const
{
    static const std::pair<uint32_t, const char*> names[] = {
        {0, "close"}, {kes::KES_START_BACKUP, "start"}, {kes::KES_SNAPSHOT, "snapshot"},
        {kes::KES_LOAD_BLOCK_MAP, "load map"}, {kes::KES_GET_AUTOMAP, "get automap"},
        {kes::KES_READ_BLOCKS, "read"}};
    std::ostringstream out;
    std::lock_guard<std::mutex> g(problemMu_);
    out << "history of sector " << s << " of partition 1:\n";
    uint64_t abs = kPart1Start + s;
    for (const Event& e : events_) {
        if (e.kind == Event::Command) {
            for (const auto& [cmd, name] : names)
                if (cmd == e.first)
                    out << "  " << name << " -> " << static_cast<int>(e.count) << "\n";
            continue;
        }
        uint64_t first = e.dev == disk ? e.first : e.dev == part1 ? kPart1Start + e.first : ~0ull;
        if (first <= abs && abs < first + e.count)
            out << "  write of sectors " << e.first << "+" << e.count << " of " << std::hex << e.dev << std::dec
                << (e.kind == Event::WriteBegins ? " begins\n" : " ends\n");
    }
    return out.str();
}

std::vector<uint8_t> StampedDisk::Begin(const Range& r, int w)
{
    Note({Event::WriteBegins, r.dev, r.first, r.count});
    std::vector<uint8_t> data(size_t(r.count) * 512);
    for (uint32_t i = 0; i < r.count; i++) {
        uint64_t rel;
        uint32_t partDev;
        SectorLog* log = LogOf(r.dev, r.first + i, &rel, &partDev);
        uint32_t gen = log->started[rel].load() + 1;
        log->started[rel].store(gen);
        PutStamp(&data[size_t(i) * 512], {partDev, static_cast<uint32_t>(rel), gen, static_cast<uint32_t>(w)});
    }
    return data;
}

void StampedDisk::End(const Range& r)
{
    for (uint32_t i = 0; i < r.count; i++) {
        uint64_t rel;
        uint32_t partDev;
        SectorLog* log = LogOf(r.dev, r.first + i, &rel, &partDev);
        uint32_t gen = log->started[rel].load();
        log->completed[rel].store(gen);
    }
    writes_++;
    sectors_ += r.count;
    Note({Event::WriteEnds, r.dev, r.first, r.count});
}

StampedDisk::Range StampedDisk::PickWrite(int w, std::mt19937& rng, bool* throughFs, bool* sync)
{
    const uint32_t chunkSectors = kChunkBlocks * kSectorsPerBlock;
    const auto& mine = chunks_[w];
    uint64_t chunkStart = uint64_t(mine[rng() % mine.size()]) * chunkSectors;
    uint32_t firstBlock = rng() % kChunkBlocks;
    uint32_t blocks = 1 + rng() % (kChunkBlocks - firstBlock);
    *throughFs = w < c_.fsWriters;
    *sync = c_.syncOnly || rng() % 2;
    if (*throughFs) // up to four blocks through the file system
        return {part1, chunkStart + firstBlock * kSectorsPerBlock, std::min(blocks, 4u) * kSectorsPerBlock};
    bool edge = c_.edgeWriter && w == writers_ - 1;
    switch (rng() % (edge ? 4 : 2)) {
    case 0: // several blocks
        return {part1, chunkStart + firstBlock * kSectorsPerBlock, blocks * kSectorsPerBlock};
    case 1: // one sector
        return {part1, chunkStart + rng() % chunkSectors, 1};
    case 2: { // the whole disk, across the end of partition 1 into partition 2
        uint32_t before = 1 + rng() % 32, after = 1 + rng() % 32;
        return {disk, kPart1Start + part1Sectors_ - before, before + after};
    }
    default: { // partition 2
        uint32_t count = 1 + rng() % 16;
        return {part2, rng() % (c_.part2Sectors - count + 1), count};
    }
    }
}

void StampedDisk::Writer(int w)
{
    std::mt19937 rng(c_.seed * 1000 + static_cast<uint32_t>(w));
    for (unsigned n = 0; !stop_ && (c_.writesPerWriter == 0 || n < c_.writesPerWriter); n++) {
        bool fs, sync;
        Range r = PickWrite(w, rng, &fs, &sync);
        std::vector<uint8_t> data = Begin(r, w);
        for (;;) {
            int err = fs ? sim::fs_write(m_, part1, r.first / kSectorsPerBlock, data.data(),
                                         r.count / kSectorsPerBlock, sync)
                         : sim::write_sectors(m_, r.dev, r.first, data.data(), r.count, true);
            if (err == 0)
                break;
            if (err != -EIO) {
                Problem("writer " + std::to_string(w) + ": write failed with " + std::to_string(err));
                break;
            }
            // A failed write is written again: the writer's last write must reach the disk.
            writeErrors_++;
            if (fs) { // the blocks stay dirty in the file system until a write-back succeeds
                if ((err = Flush()) != 0)
                    Problem("writer " + std::to_string(w) + ": write-back failed with " + std::to_string(err));
                break;
            }
        }
        End(r);
    }
}

void StampedDisk::Problem(std::string what)
{
    std::lock_guard<std::mutex> g(problemMu_);
    problems_.push_back(std::move(what));
}

std::vector<std::string> StampedDisk::writer_problems() const
{
    std::lock_guard<std::mutex> g(problemMu_);
    return problems_;
}

BackupOutcome StampedDisk::Backup(sim::Process& agentProcess, const agent::BackupRequest& req,
                                  unsigned cancelAfterReads)
{
    BackupOutcome o;
    o.image.assign(size_t(c_.fsBlocks) * kBlockSize, 0);
    o.delivered.assign(c_.fsBlocks, false);
    Bounds pending;
    ProbeTransport t(
        agentProcess, *this,
        [&] {
            pending.lo = Now().lo;
        },
        [&](int status) {
            if (status != 0)
                return;
            o.bounds.lo = std::move(pending.lo);
            o.bounds.hi = Now().hi;
            o.snapshotTaken = true;
        },
        cancelAfterReads);
    o.result = agent::run_backup(t, req, [&](uint32_t block, const uint8_t* data, uint32_t size) {
        if (block < c_.fsBlocks && size == kBlockSize) {
            memcpy(&o.image[size_t(block) * kBlockSize], data, size);
            o.delivered[block] = true;
        }
    });
    return o;
}

agent::BackupRequest StampedDisk::Request() const
{
    agent::BackupRequest r;
    r.major = MAJOR(part1);
    r.minor = MINOR(part1);
    return r;
}

Bounds StampedDisk::Now() const
{
    Bounds b;
    b.lo.resize(part1Sectors_);
    b.hi.resize(part1Sectors_);
    for (uint64_t s = 0; s < part1Sectors_; s++) {
        b.lo[s] = p1_.completed[s].load();
        b.hi[s] = p1_.started[s].load();
    }
    return b;
}

std::string StampedDisk::CheckSector(const uint8_t* data, uint32_t partDev, uint64_t s, uint32_t lo,
                                     uint32_t hi) const
{
    std::ostringstream out;
    out << "sector " << s << " of device " << std::hex << partDev << std::dec << ": ";
    if (partDev == part1 && s >= 2 && s < 4) {
        if (memcmp(data, &superBlock_[(s - 2) * 512], 512) != 0)
            return out.str() + "the super block was overwritten\n";
        return "";
    }
    std::optional<Stamp> st = GetStamp(data);
    if (!st)
        return out.str() + "holds no whole stamp\n";
    const SectorLog& log = partDev == part1 ? p1_ : p2_;
    uint32_t owner = st->gen == 0 ? kNoWriter : log.owner[s];
    if (st->dev != partDev || st->sector != s || st->writer != owner)
        return out.str() + "holds the stamp of sector " + std::to_string(st->sector) + " of writer " +
               std::to_string(st->writer) + "\n";
    if (st->gen < lo || st->gen > hi)
        return out.str() + "holds generation " + std::to_string(st->gen) + ", not within [" +
               std::to_string(lo) + ", " + std::to_string(hi) + "]\n";
    return "";
}

std::string StampedDisk::CheckImage(const std::vector<uint8_t>& image, const Bounds& b,
                                    const std::vector<bool>* only) const
{
    return Check(image, b, only);
}

std::string StampedDisk::CheckChain(const std::vector<uint8_t>& chain, const Bounds& b) const
{
    return Check(chain, b, nullptr);
}

std::string StampedDisk::Check(const std::vector<uint8_t>& image, const Bounds& b, const std::vector<bool>* only) const
{
    std::string problems;
    unsigned shown = 0;
    for (uint32_t block = 0; block < c_.fsBlocks && shown < 8; block++) {
        if (only && !(*only)[block])
            continue;
        for (uint32_t i = 0; i < kSectorsPerBlock; i++) {
            uint64_t s = uint64_t(block) * kSectorsPerBlock + i;
            std::string p = CheckSector(&image[s * 512], part1, s, b.lo[s], b.hi[s]);
            if (!p.empty()) {
                if (problems.empty())
                    p += HistoryOf(s);
                problems += "block " + std::to_string(block) + ", " + p;
                shown++;
                break;
            }
        }
    }
    return problems;
}

std::string StampedDisk::CheckDevice() const
{
    std::string problems;
    std::vector<uint8_t> data(512);
    for (const auto& [dev, log, n] : {std::tuple{part1, &p1_, part1Sectors_}, std::tuple{part2, &p2_, c_.part2Sectors}}) {
        for (uint64_t s = 0; s < n && problems.size() < 2000; s++) {
            if (sim::read_store(m_, dev, s, data.data(), 1) != 0)
                return "cannot read the backing store";
            uint32_t last = log->completed[s].load();
            if (log->started[s].load() != last)
                problems += "sector " + std::to_string(s) + ": a write is still in progress\n";
            problems += CheckSector(data.data(), dev, s, last, last);
        }
    }
    return problems;
}

void Chain::Add(const BackupOutcome& o)
{
    if (!o.usable() || (o.result.incremental && !valid))
        return;
    if (!o.result.incremental) {
        image = o.image;
        valid = true;
    } else {
        for (size_t b = 0; b < o.delivered.size(); b++)
            if (o.delivered[b])
                std::copy_n(o.image.begin() + b * StampedDisk::kBlockSize, StampedDisk::kBlockSize,
                            image.begin() + b * StampedDisk::kBlockSize);
    }
    key = o.result.key;
}

Watchdog::Watchdog(std::string what, std::chrono::seconds limit)
{
    thread_ = std::thread([this, what = std::move(what), limit] {
        std::unique_lock<std::mutex> g(mu_);
        if (cv_.wait_for(g, limit, [this] { return done_; }))
            return;
        fprintf(stderr, "watchdog: %s has not finished after %lld s; kernel log:\n%s\n", what.c_str(),
                static_cast<long long>(limit.count()), sim::Machine::running().dmesg_text().c_str());
        std::abort();
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> g(mu_);
        done_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

std::string ShutDownAndCheck(sim::Machine& m, uint32_t mountedDev)
{
    std::string problems;
    m.exit_processes();
    if (sim::mount_info(m, mountedDev)) {
        int err = sim::unmount_fs(m, mountedDev);
        if (err)
            problems += "unmount failed: " + std::to_string(err) + "\n";
    }
    if (m.module_loaded("kestrel")) {
        int err = m.rmmod("kestrel");
        if (err)
            problems += "unload failed: " + std::to_string(err) + "\n";
    }
    problems += m.leak_report();
    for (const std::string& bug : m.bugs())
        problems += "bug: " + bug + "\n";
    problems += m.queues_report();
    return problems;
}

} // namespace kestrel_test
