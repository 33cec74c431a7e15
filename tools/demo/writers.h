// Writer threads that keep a mounted file system of the simulated machine busy the way
// applications do: each overwrites, in place, whole blocks of the data of existing files,
// through the file system's write path (sim::fs_write), so the file system stays
// consistent while the files change.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/demo/disk_image.h"

namespace sim {
class Machine;
}

namespace demo {

class FileWriters {
public:
    // Writes to the data blocks of files (file-system blocks of block_size bytes) of the
    // file system mounted on dev; files without blocks are left alone.
    FileWriters(sim::Machine& m, uint32_t dev, uint32_t block_size, std::vector<FileInfo> files, uint64_t seed);
    ~FileWriters();
    FileWriters(const FileWriters&) = delete;
    FileWriters& operator=(const FileWriters&) = delete;

    // Starts n threads; stop() joins them. Each thread writes a block, synchronously every
    // fourth time, until stopped or a write fails.
    void start(unsigned n);
    void stop();

    uint64_t writes() const { return writes_.load(std::memory_order_relaxed); }
    // The first error a write returned (0 when none).
    int error() const { return error_.load(std::memory_order_relaxed); }
    // The blocks the writers may write (each at most once in the list).
    const std::vector<uint64_t>& targets() const { return targets_; }

private:
    void run(uint64_t seed);

    sim::Machine& m_;
    const uint32_t dev_;
    const uint32_t block_size_;
    std::vector<uint64_t> targets_;
    const uint64_t seed_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> writes_{0};
    std::atomic<int> error_{0};
    std::vector<std::thread> threads_;
};

} // namespace demo
