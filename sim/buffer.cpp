// Buffer heads: allocation (counted and fault-injectable), their page, and the lock bit
// that hands a buffer from the completion context to the thread waiting for it.
#include "sim/blockdev.h"

using sim::BL;
using sim::K;

// Waiters sleep on the hashed wait queues (sim::sleep_on) rather than on the buffer itself,
// as the kernel's bit waitqueues do: unlock_buffer must not touch the buffer once its lock
// bit is clear, because the waiter may free it at once.

struct buffer_head* alloc_buffer_head(gfp_t gfp_flags)
{
    if (gfp_flags & __GFP_WAIT)
        might_sleep();
    if (K().faults.should_fail(sim::Fault::BufferHead, __builtin_return_address(0)))
        return NULL;
    sim::BlockLayer& bl = BL();
    struct buffer_head* bh = nullptr;
    {
        std::lock_guard<std::mutex> g(bl.mu);
        if (!bl.freeBhs.empty()) {
            bh = bl.freeBhs.back();
            bl.freeBhs.pop_back();
            bl.bhs.insert(bh, true);
        }
    }
    if (bh) {
        bh->~buffer_head();
        new (bh) struct buffer_head();
    } else {
        bh = new struct buffer_head();
        std::lock_guard<std::mutex> g(bl.mu);
        bl.bhs.insert(bh, true);
    }
    INIT_LIST_HEAD(&bh->b_assoc_buffers);
    K().bufferHeads++;
    return bh;
}

void free_buffer_head(struct buffer_head* bh)
{
    if (!bh)
        return;
    sim::BlockLayer& bl = BL();
    const char* bug = nullptr;
    bool kept = false;
    {
        std::lock_guard<std::mutex> g(bl.mu);
        if (!bl.bhs.contains(bh)) {
            bug = "free_buffer_head of a buffer head that is not allocated";
        } else if (!list_empty(&bh->b_assoc_buffers)) {
            // Freeing it would leave the list pointing at freed memory; keep it (it shows as
            // a leak) and report.
            bug = "free_buffer_head of a buffer head still on an associated-buffers list";
        } else {
            bl.bhs.erase(bh);
            if (sim::kReuseFreedObjects && bl.freeBhs.size() < bl.kKeptFree) {
                bl.freeBhs.push_back(bh);
                kept = true;
            }
        }
    }
    if (bug) {
        K().report_bug(bug);
        return;
    }
    K().bufferHeads--;
    if (!kept)
        delete bh;
}

void set_bh_page(struct buffer_head* bh, struct page* page, unsigned long offset)
{
    if (offset >= PAGE_SIZE) {
        K().report_bug("set_bh_page with an offset outside the page");
        return;
    }
    bh->b_page = page;
    if (page->highmem)
        bh->b_data = reinterpret_cast<char*>(offset); // an offset until the page is mapped
    else
        bh->b_data = static_cast<char*>(page_address(page)) + offset;
}

void unlock_buffer(struct buffer_head* bh)
{
    std::atomic_ref<unsigned long>(bh->b_state).fetch_and(~(1UL << BH_Lock), std::memory_order_release);
    // From here on bh may be gone: only its address is used.
    sim::wake_up_address(bh);
}

void __wait_on_buffer(struct buffer_head* bh)
{
    might_sleep();
    sim::sleep_on(bh, [bh] {
        return !(std::atomic_ref<unsigned long>(bh->b_state).load(std::memory_order_acquire) &
                 (1UL << BH_Lock));
    });
}
