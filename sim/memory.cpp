// Pages, kmalloc, vmalloc and slab caches, each counted so that a test can see a leak, and
// each passing through the fault injector. Fresh memory is filled with a poison byte rather
// than zeros, so code that forgets to clear what it allocates shows it.
#include <algorithm>
#include <cstdlib>

#include "sim/cpu.h"
#include "sim/internal.h"

struct kmem_cache_s {
    const char* name;
    size_t size;
    std::mutex mu;
    sim::PtrTable<bool> objects; // live objects; guarded by mu
    // Where reuse is on, objects are carved from slabs of several at once and a freed one
    // goes back on the free list; the slabs stay with the cache until it is destroyed, as
    // the kernel's slab allocator keeps them. Both guarded by mu.
    std::vector<void*> free;
    std::vector<void*> slabs;

    ~kmem_cache_s()
    {
        for (void* s : slabs)
            std::free(s);
    }
};

namespace {

constexpr unsigned char kPoison = 0x5a;
constexpr size_t kKmallocMax = 131072;

void alloc_context(gfp_t flags)
{
    if (flags & __GFP_WAIT)
        might_sleep();
    else
        sim::irq_point();
}

} // namespace

using sim::Fault;
using sim::K;

struct page* alloc_pages(gfp_t gfp_mask, unsigned int order)
{
    alloc_context(gfp_mask);
    if (order != 0) {
        K().report_bug("alloc_pages: only order-0 pages are supported");
        return nullptr;
    }
    if (K().faults.should_fail(Fault::Page, __builtin_return_address(0)))
        return nullptr;
    auto* p = new page;
    p->highmem = (gfp_mask & __GFP_HIGHMEM) != 0;
    p->data = static_cast<unsigned char*>(std::aligned_alloc(PAGE_SIZE, PAGE_SIZE));
    memset(p->data, kPoison, PAGE_SIZE);
    K().pages++;
    if (p->highmem)
        K().highPages++;
    return p;
}

static void free_page_now(struct page* p)
{
    if (p->kmapped.load() != 0)
        K().report_bug("freeing a page that is still kmapped");
    K().pages--;
    if (p->highmem)
        K().highPages--;
    std::free(p->data);
    delete p;
}

void put_page(struct page* page)
{
    int left = page->count.fetch_sub(1) - 1;
    if (left == 0)
        free_page_now(page);
    else if (left < 0)
        K().report_bug("put_page on a free page");
}

void __free_pages(struct page* page, unsigned int order)
{
    if (order != 0)
        K().report_bug("__free_pages: only order-0 pages are supported");
    put_page(page);
}

void get_page(struct page* page) { page->count.fetch_add(1); }
int page_count(struct page* page) { return page->count.load(); }

void* page_address(struct page* page)
{
    if (page->highmem && page->kmapped.load() == 0)
        return nullptr;
    return page->data;
}

void* kmap(struct page* page)
{
    might_sleep();
    if (page->highmem) {
        page->kmapped.fetch_add(1);
        K().kmaps++;
    }
    return page->data;
}

void kunmap(struct page* page)
{
    if (!page->highmem)
        return;
    if (page->kmapped.fetch_sub(1) <= 0) {
        page->kmapped.fetch_add(1);
        K().report_bug("kunmap of a page that is not kmapped");
        return;
    }
    K().kmaps--;
}

namespace {

const char* const kKmapSlotNames[KM_TYPE_NR] = {"KM_USER0", "KM_USER1", "KM_BIO_SRC_IRQ", "KM_BIO_DST_IRQ",
                                                "KM_IRQ0"};

// The slot as the calling context sees it: the uniprocessor's, shared by every context
// that runs on it, or the context's own processor's in the parallel mode and for a host
// thread that calls in outside any kernel entry (test code calling the module directly).
sim::KmapSlot& kmap_slot(sim::Task* t, enum km_type type)
{
    sim::Cpu* c = sim::the_cpu();
    if (c && c->running.load(std::memory_order_relaxed) == t)
        return c->kmap[type];
    return t->kmapAtomic[type];
}

// A slot that interrupt handlers use must be used with interrupts off everywhere: a user
// with interrupts on can be interrupted by a handler that re-points the slot under it.
// Reported once per slot, whichever context comes second, as the lock validator reports a
// lock taken both in the interrupt context and with interrupts on.
void check_kmap_irq_rule(sim::Kernel& k, sim::Task* t, enum km_type type)
{
    bool inIrq = t->inIrq, irqsOn = !t->irqsOff;
    if ((!inIrq || k.kmapInIrq[type].load(std::memory_order_relaxed)) &&
        (!irqsOn || k.kmapIrqsOn[type].load(std::memory_order_relaxed)))
        return;
    std::string report;
    {
        std::lock_guard<std::mutex> g(k.kmapRuleMu);
        if (inIrq && !k.kmapInIrq[type].exchange(true))
            k.kmapInIrqAt[type] = t->comm;
        if (irqsOn && !k.kmapIrqsOn[type].exchange(true))
            k.kmapIrqsOnAt[type] = t->comm;
        if (k.kmapInIrq[type] && k.kmapIrqsOn[type] && !k.kmapReported[type]) {
            k.kmapReported[type] = true;
            report = std::string("kmap_atomic slot ") + kKmapSlotNames[type] + " used in the interrupt context (" +
                     k.kmapInIrqAt[type] + ") and with interrupts on (" + k.kmapIrqsOnAt[type] +
                     "): an interrupt can re-point it under its user";
        }
    }
    if (!report.empty())
        k.report_bug(report);
}

} // namespace

// Like kmap, but through one of the processor's fixed slots, and the section counts as
// atomic: sleeping before kunmap_atomic is reported like sleeping under a spin lock. The
// slot is the processor's: on a uniprocessor an interrupt handler that maps a slot its
// interrupted context holds re-points that context's mapping, which is reported.
void* kmap_atomic(struct page* page, enum km_type type)
{
    sim::Task* t = sim::current_task();
    if (type < 0 || type >= KM_TYPE_NR) {
        K().report_bug("kmap_atomic of a slot that is out of range");
        return page->data;
    }
    check_kmap_irq_rule(K(), t, type);
    sim::KmapSlot& slot = kmap_slot(t, type);
    if (slot.page) {
        if (slot.owner == t) {
            K().report_bug(std::string("kmap_atomic of slot ") + kKmapSlotNames[type] + " already in use by " + t->comm);
            return page->data;
        }
        K().report_bug(std::string("kmap_atomic slot ") + kKmapSlotNames[type] + " in use by " + slot.owner->comm +
                       ", which " + t->comm + " interrupted: its mapping now shows another page");
        // The interrupted context's mapping is gone.
        if (slot.page->highmem) {
            slot.page->kmapped.fetch_sub(1);
            K().kmaps--;
        }
    }
    t->preempt++;
    slot.page = page;
    slot.owner = t;
    if (page->highmem) {
        page->kmapped.fetch_add(1);
        K().kmaps++;
    }
    if (K().kmapHookSet.load(std::memory_order_acquire)) {
        std::function<void(int)> hook;
        {
            std::lock_guard<std::mutex> g(K().kmapHookMu);
            hook = K().kmapHook;
        }
        if (hook)
            hook(type);
    }
    sim::irq_point();
    return page->data;
}

void kunmap_atomic(void* addr, enum km_type type)
{
    sim::Task* t = sim::current_task();
    if (type < 0 || type >= KM_TYPE_NR) {
        K().report_bug("kunmap_atomic of a slot that is out of range");
        return;
    }
    sim::irq_point();
    sim::KmapSlot& slot = kmap_slot(t, type);
    if (!slot.page || slot.owner != t || slot.page->data != addr) {
        K().report_bug(std::string("kunmap_atomic of slot ") + kKmapSlotNames[type] + " by " + t->comm +
                       ", which does not map this address");
        if (t->preempt > 0)
            --t->preempt;
        return;
    }
    struct page* page = slot.page;
    slot.page = nullptr;
    slot.owner = nullptr;
    --t->preempt;
    kunmap(page);
}

namespace sim {

void Machine::after_kmap_atomic(std::function<void(int)> hook)
{
    std::lock_guard<std::mutex> g(k_->kmapHookMu);
    k_->kmapHook = std::move(hook);
    k_->kmapHookSet.store(static_cast<bool>(k_->kmapHook), std::memory_order_release);
}

} // namespace sim

void* kmalloc(size_t size, gfp_t flags)
{
    alloc_context(flags);
    if (size > kKmallocMax)
        return nullptr;
    if (K().faults.should_fail(Fault::Kmalloc, __builtin_return_address(0)))
        return nullptr;
    sim::Kernel& k = K();
    int c = sim::kmalloc_class(size);
    void* p;
    {
        std::lock_guard<std::mutex> g(k.memMu);
        if ((p = k.kmallocFree[c].take()))
            k.kmallocs.insert(p, size);
    }
    if (!p) {
        p = std::malloc(sim::kReuseFreedObjects ? sim::kmalloc_class_bytes(c) : (size ? size : 1));
        std::lock_guard<std::mutex> g(k.memMu);
        k.kmallocs.insert(p, size);
    }
    memset(p, kPoison, size);
    return p;
}

void kfree(const void* obj)
{
    if (!obj)
        return;
    sim::Kernel& k = K();
    void* p = const_cast<void*>(obj);
    size_t size;
    {
        std::lock_guard<std::mutex> g(k.memMu);
        if (k.kmallocs.erase(obj, &size)) {
            int c = sim::kmalloc_class(size);
            if (k.kmallocFree[c].keep(p, sim::kmalloc_class_bytes(c)))
                return;
        } else {
            p = nullptr;
        }
    }
    if (!p) {
        k.report_bug("kfree of memory that kmalloc did not hand out");
        return;
    }
    std::free(p);
}

void* vmalloc(unsigned long size)
{
    might_sleep();
    if (size == 0)
        return nullptr;
    if (K().faults.should_fail(Fault::Vmalloc, __builtin_return_address(0)))
        return nullptr;
    void* p = std::malloc(size);
    memset(p, kPoison, size);
    std::lock_guard<std::mutex> g(K().memMu);
    K().vmallocs.insert(p, size);
    return p;
}

void vfree(void* addr)
{
    if (!addr)
        return;
    bool known;
    {
        std::lock_guard<std::mutex> g(K().memMu);
        known = K().vmallocs.erase(addr) != 0;
    }
    if (!known) {
        K().report_bug("vfree of memory that vmalloc did not hand out");
        return;
    }
    std::free(addr);
}

kmem_cache_t* kmem_cache_create(const char* name, size_t size, size_t, unsigned long,
                                void (*)(void*, kmem_cache_t*, unsigned long),
                                void (*)(void*, kmem_cache_t*, unsigned long))
{
    might_sleep();
    if (!name || size == 0) {
        K().report_bug("kmem_cache_create without a name or size");
        return nullptr;
    }
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> g(K().memMu);
        for (kmem_cache_t* c : K().caches)
            duplicate = duplicate || strcmp(c->name, name) == 0;
    }
    if (duplicate) {
        printk("<3>kmem_cache_create: duplicate cache %s\n", name);
        K().report_bug(std::string("duplicate slab cache ") + name);
        return nullptr;
    }
    if (K().faults.should_fail(Fault::SlabCreate, __builtin_return_address(0)))
        return nullptr;
    auto* c = new kmem_cache_s;
    c->name = name;
    c->size = size;
    std::lock_guard<std::mutex> g(K().memMu);
    K().caches.insert(c);
    return c;
}

// Fills the cache's free list with a new slab's objects. Called with cachep->mu held.
static void grow_cache(kmem_cache_t* cachep)
{
    constexpr size_t kSlabBytes = 16384;
    size_t stride = (cachep->size + 15) & ~size_t(15);
    size_t n = std::max<size_t>(8, kSlabBytes / stride);
    auto* slab = static_cast<unsigned char*>(std::malloc(n * stride));
    cachep->slabs.push_back(slab);
    for (size_t i = n; i-- > 0;)
        cachep->free.push_back(slab + i * stride);
}

void* kmem_cache_alloc(kmem_cache_t* cachep, gfp_t flags)
{
    alloc_context(flags);
    if (K().faults.should_fail(Fault::Slab, __builtin_return_address(0)))
        return nullptr;
    void* p = sim::kReuseFreedObjects ? nullptr : std::malloc(cachep->size);
    {
        std::lock_guard<std::mutex> g(cachep->mu);
        if (!p) {
            if (cachep->free.empty())
                grow_cache(cachep);
            p = cachep->free.back();
            cachep->free.pop_back();
        }
        cachep->objects.insert(p, true);
    }
    memset(p, kPoison, cachep->size);
    return p;
}

void kmem_cache_free(kmem_cache_t* cachep, void* objp)
{
    if (!objp)
        return;
    {
        std::lock_guard<std::mutex> g(cachep->mu);
        if (cachep->objects.erase(objp)) {
            if (sim::kReuseFreedObjects) {
                cachep->free.push_back(objp);
                return;
            }
        } else {
            objp = nullptr;
        }
    }
    if (!objp) {
        K().report_bug(std::string("kmem_cache_free of an object not from ") + cachep->name);
        return;
    }
    std::free(objp);
}

int kmem_cache_destroy(kmem_cache_t* cachep)
{
    might_sleep();
    {
        std::lock_guard<std::mutex> g(cachep->mu);
        if (!cachep->objects.empty()) {
            printk("<3>kmem_cache_destroy: Can't free all objects %p\n", static_cast<void*>(cachep));
            return 1;
        }
    }
    {
        std::lock_guard<std::mutex> g(K().memMu);
        K().caches.erase(cachep);
    }
    delete cachep;
    return 0;
}

namespace sim {

MemStats Machine::mem_stats() const
{
    MemStats s;
    s.pages = k_->pages.load();
    s.highmem_pages = k_->highPages.load();
    s.kmaps = k_->kmaps.load();
    s.bios = k_->bios.load();
    s.buffer_heads = k_->bufferHeads.load();
    std::lock_guard<std::mutex> g(k_->memMu);
    s.kmalloc_objects = static_cast<long>(k_->kmallocs.size());
    k_->kmallocs.for_each([&](const void*, size_t n) { s.kmalloc_bytes += static_cast<long>(n); });
    s.vmalloc_areas = static_cast<long>(k_->vmallocs.size());
    s.slab_caches = static_cast<long>(k_->caches.size());
    for (kmem_cache_t* c : k_->caches) {
        std::lock_guard<std::mutex> cg(c->mu);
        s.slab_objects += static_cast<long>(c->objects.size());
    }
    return s;
}

std::vector<SlabInfo> Machine::slabinfo() const
{
    std::vector<SlabInfo> out;
    std::lock_guard<std::mutex> g(k_->memMu);
    for (kmem_cache_t* c : k_->caches) {
        std::lock_guard<std::mutex> cg(c->mu);
        out.push_back({c->name, c->size, static_cast<long>(c->objects.size())});
    }
    return out;
}

} // namespace sim
