#include "tools/demo/writers.h"

#include <algorithm>
#include <random>

#include "sim/fs.h"

namespace demo {

FileWriters::FileWriters(sim::Machine& m, uint32_t dev, uint32_t block_size, std::vector<FileInfo> files,
                         uint64_t seed)
    : m_(m), dev_(dev), block_size_(block_size), seed_(seed)
{
    for (const FileInfo& f : files)
        for (uint64_t b : f.blocks)
            if (b)
                targets_.push_back(b);
    std::sort(targets_.begin(), targets_.end());
    targets_.erase(std::unique(targets_.begin(), targets_.end()), targets_.end());
}

FileWriters::~FileWriters() { stop(); }

void FileWriters::start(unsigned n)
{
    stop_ = false;
    for (unsigned i = 0; i < n; i++)
        threads_.emplace_back([this, i] { run(seed_ + i); });
}

void FileWriters::stop()
{
    stop_ = true;
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

void FileWriters::run(uint64_t seed)
{
    if (targets_.empty())
        return;
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> data(block_size_);
    for (uint64_t i = 0; !stop_.load(std::memory_order_relaxed); i++) {
        uint64_t block = targets_[rng() % targets_.size()];
        for (auto& c : data)
            c = static_cast<uint8_t>(rng());
        int err = sim::fs_write(m_, dev_, block, data.data(), 1, i % 4 == 0);
        if (err) {
            int none = 0;
            error_.compare_exchange_strong(none, err, std::memory_order_relaxed);
            return;
        }
        writes_.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace demo
