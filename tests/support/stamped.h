// A disk whose every sector says which write put it there, writer threads that stamp each
// write and log when it began and when it ended, and the checks a backup of such a disk
// must pass while the writers run.
//
// The disk has two partitions; partition 1 holds a mounted file system of 4 KiB blocks. Its
// blocks are dealt out to the writers in chunks of eight, so that each sector has one
// writer and the writes of a sector follow one another: the generation of a sector counts
// its writes. Writers write through the file system (synchronously, or leaving the blocks
// dirty), raw to partition 1 (several blocks, or a single sector), and raw to the whole
// disk across the end of partition 1 into partition 2.
//
// What a snapshot may hold follows from the logs: a sector holds no generation older than
// the last write that ended before the snapshot began, and none newer than the last that
// began before the snapshot returned.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/backup.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace kestrel_test {

struct Stamp {
    uint32_t dev;    // the partition the sector belongs to
    uint32_t sector; // its sector number in that partition
    uint32_t gen;    // the write of the sector (0: laid down before any writer ran)
    uint32_t writer;
};

constexpr uint32_t kNoWriter = 0xFFFFFFFFu;

// Fills 512 bytes with the stamp: its words, then bytes that depend on all of them.
void PutStamp(uint8_t* sector, const Stamp& s);
// The stamp of 512 bytes, or nothing when they hold no whole stamp (torn, zeros, foreign).
std::optional<Stamp> GetStamp(const uint8_t* sector);

struct StampedConfig {
    uint32_t fsBlocks = 512;      // 4 KiB blocks of partition 1, all of them the file system's
    uint64_t part2Sectors = 1024;
    int fsWriters = 1;            // writers through the file system
    int rawWriters = 1;           // raw writers of partition 1
    bool edgeWriter = true;       // raw writes of the whole disk across the end of partition 1
    unsigned writesPerWriter = 0; // each writer stops after this many writes (0: when stopped)
    // File-system writers never leave blocks dirty. For runs with failing writes: a dirty
    // block that the freeze cannot write back is not in the snapshot, through no fault of
    // the module.
    bool syncOnly = false;
    uint32_t seed = 1;
};

// The bounds of each sector of partition 1 for one snapshot: lo[s] <= generation <= hi[s].
struct Bounds {
    std::vector<uint32_t> lo, hi;
};

// One backup as the agent ran it, with what the checks need.
struct BackupOutcome {
    agent::BackupResult result;
    std::vector<uint8_t> image;  // the blocks delivered, at their places
    std::vector<bool> delivered; // per block
    Bounds bounds;               // of the snapshot the agent read (the last one it took)
    bool snapshotTaken = false;
    // A sound base for the next incremental: succeeded, every block readable.
    bool usable() const { return result.ok() && result.unreadable_runs == 0; }
};

class StampedDisk {
public:
    static constexpr uint32_t kBlockSize = 4096;
    static constexpr uint32_t kSectorsPerBlock = kBlockSize / 512;
    static constexpr uint64_t kPart1Start = 2048;

    // Adds the disk, stamps every sector, lays down the super block and mounts partition 1.
    // setup_error() says what failed, if anything did.
    StampedDisk(sim::Machine& m, StampedConfig config);
    ~StampedDisk();
    StampedDisk(const StampedDisk&) = delete;
    StampedDisk& operator=(const StampedDisk&) = delete;

    const std::string& setup_error() const { return setupError_; }

    void StartWriters();
    // Stops the writers and waits for them; every write they began has ended.
    void StopWriters();
    // Waits until every writer with a budget has used it up.
    void WaitForWriters();
    // Writes back what the file system holds dirty; 0 or its error.
    int Flush();

    // One backup of partition 1 by the agent, the bounds of its snapshot taken around the
    // snapshot command. With cancelAfterReads, the agent's transport refuses every command
    // after that many reads, so the agent gives up and closes the backup midway.
    BackupOutcome Backup(sim::Process& agent, const agent::BackupRequest& req, unsigned cancelAfterReads = 0);
    agent::BackupRequest Request() const;

    // The bounds right now: exact once the writers have stopped and the file system has
    // been flushed.
    Bounds Now() const;
    // "" when every block of image (those of only, when given) lies within the bounds, else
    // the first blocks that do not, with what they hold.
    std::string CheckImage(const std::vector<uint8_t>& image, const Bounds& b,
                           const std::vector<bool>* only = nullptr) const;
    // The same for a chain of backups, which must hold every write that ended before the
    // snapshot of its last backup began.
    std::string CheckChain(const std::vector<uint8_t>& chain, const Bounds& b) const;
    // "" when the device holds the last write of every sector of both partitions.
    std::string CheckDevice() const;
    // The writes of partition 1's sector s and every command of the agents, in order:
    // what a failed check prints to show how the sector came to hold what it holds.
    std::string HistoryOf(uint64_t s) const;
    void NoteCommand(uint32_t cmd, int result);

    // Problems the writers met (an unexpected error from a write).
    std::vector<std::string> writer_problems() const;

    uint64_t writes() const { return writes_.load(); }
    uint64_t sectors() const { return sectors_.load(); }
    uint64_t write_errors() const { return writeErrors_.load(); }
    uint32_t disk = 0, part1 = 0, part2 = 0;

private:
    struct SectorLog {
        explicit SectorLog(uint64_t n);
        std::unique_ptr<std::atomic<uint32_t>[]> started, completed;
        std::vector<uint32_t> owner;
    };
    struct Range {
        uint32_t dev;   // the device written (a partition, or the whole disk)
        uint64_t first; // sector of that device
        uint32_t count;
    };

    void Writer(int w);
    Range PickWrite(int w, std::mt19937& rng, bool* throughFs, bool* sync);
    // The stamps of a range, with their sectors' generations advanced (the write began).
    std::vector<uint8_t> Begin(const Range& r, int w);
    void End(const Range& r);
    // Which partition log and sector a sector of the written device falls on.
    SectorLog* LogOf(uint32_t dev, uint64_t sector, uint64_t* rel, uint32_t* partDev);
    void Problem(std::string what);
    std::string CheckSector(const uint8_t* data, uint32_t partDev, uint64_t s, uint32_t lo, uint32_t hi) const;
    std::string Check(const std::vector<uint8_t>& image, const Bounds& b, const std::vector<bool>* only) const;

    sim::Machine& m_;
    StampedConfig c_;
    std::string setupError_;
    std::vector<uint8_t> superBlock_; // sectors 2 and 3 of partition 1
    uint64_t part1Sectors_ = 0;
    SectorLog p1_, p2_;
    std::vector<std::vector<uint32_t>> chunks_; // per writer, the chunks of 8 blocks it owns
    int writers_ = 0;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> writes_{0}, sectors_{0}, writeErrors_{0};
    mutable std::mutex problemMu_;
    std::vector<std::string> problems_; // guarded by problemMu_
    struct Event {
        enum Kind { WriteBegins, WriteEnds, Command } kind;
        uint32_t dev;
        uint64_t first; // sector of dev, or the command
        uint32_t count; // sectors, or the command's result
    };
    std::vector<Event> events_; // guarded by problemMu_
    void Note(const Event& e);
};

// The chain of backups an agent keeps: the image the last full backup and the incrementals
// after it add up to, and the key for the next one.
struct Chain {
    std::vector<uint8_t> image;
    bool valid = false;
    std::optional<agent::SessionKey> key;

    // Adds a backup that is a sound base; a failed or holed one leaves the chain as it was
    // (the agent keeps the key of its last good backup).
    void Add(const BackupOutcome& o);
};

// Aborts the program, with the kernel log, when it is not destroyed within the limit: a
// run that hangs fails instead of stalling the suite.
class Watchdog {
public:
    Watchdog(std::string what, std::chrono::seconds limit);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false; // guarded by mu_
    std::thread thread_;
};

// The number in an environment variable, or the fallback when it is not set.
unsigned EnvOr(const char* name, unsigned fallback);

// Ends a run of a machine with the module loaded: ends the processes, unmounts, unloads the
// module and checks the machine is clean. "" or what is wrong.
std::string ShutDownAndCheck(sim::Machine& m, uint32_t mountedDev);

} // namespace kestrel_test
