// Helpers for the block layer tests: one-page bios whose completions are recorded, test
// patterns, and a request function hook that gives the queue its own function back.
#pragma once

#include <atomic>
#include <vector>

#include "platform/kernel.h"
#include "sim/disk.h"

namespace kestrel_test {

// What the completions of one bio looked like; read once done is complete.
struct Probe {
    struct completion done {};
    bool allInIrq = true;
    std::vector<unsigned> bytes; // bytes_done of each call
    std::vector<unsigned> left;  // bi_size after each call
    int error = 0;
    int finishedAs = -1;         // place among the bios finished since finishSeq was reset

    Probe() { init_completion(&done); }
};

inline std::atomic<int> finishSeq{0};

inline int probe_end_io(struct bio* bio, unsigned int bytes_done, int error)
{
    auto* p = static_cast<Probe*>(bio->bi_private);
    p->allInIrq = p->allInIrq && in_interrupt();
    p->bytes.push_back(bytes_done);
    p->left.push_back(bio->bi_size);
    if (error)
        p->error = error;
    if (bio->bi_size)
        return 1;
    p->finishedAs = finishSeq++;
    complete(&p->done);
    return 0;
}

// A bio on bd of one fresh page, covering sectors sectors (at most 8) at sector.
inline struct bio* page_bio(struct block_device* bd, sector_t sector, unsigned sectors, Probe* p)
{
    struct bio* bio = bio_alloc(GFP_KERNEL, 1);
    bio->bi_io_vec[0] = {alloc_page(GFP_KERNEL), sectors * 512, 0};
    bio->bi_vcnt = 1;
    bio->bi_size = sectors * 512;
    bio->bi_sector = sector;
    bio->bi_bdev = bd;
    bio->bi_end_io = probe_end_io;
    bio->bi_private = p;
    return bio;
}

inline std::vector<unsigned char> bio_bytes(struct bio* bio, size_t n)
{
    auto* d = static_cast<unsigned char*>(page_address(bio->bi_io_vec[0].bv_page));
    return {d, d + n};
}

inline void free_page_bio(struct bio* bio)
{
    __free_page(bio->bi_io_vec[0].bv_page);
    bio_put(bio);
}

// n bytes of a pattern that differs with seed and position.
inline std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<unsigned char>((i * 31 + seed * 131 + (i >> 9)) & 0xff);
    return v;
}

// count sectors of the device's backing store (empty when they cannot be read).
inline std::vector<unsigned char> store(sim::Machine& m, u32 dev, uint64_t sector, uint64_t count)
{
    std::vector<unsigned char> v(count * 512);
    if (sim::read_store(m, dev, sector, v.data(), count) != 0)
        v.clear();
    return v;
}

// Puts fn on the disk's queue for the life of the hook; the driver's own function comes back.
class QueueHook {
public:
    QueueHook(sim::Machine& m, u32 disk, sim::request_fn fn)
        : q_(sim::disk_queue(m, disk)), real_(sim::disk_request_fn(m, disk))
    {
        q_->make_request_fn.store(fn);
    }
    ~QueueHook() { q_->make_request_fn.store(real_); }
    QueueHook(const QueueHook&) = delete;
    QueueHook& operator=(const QueueHook&) = delete;

private:
    struct request_queue* q_;
    sim::request_fn real_;
};

} // namespace kestrel_test
