// Memory mappings of processes: the vm_flags a driver's mmap sees, refusals, faults served
// by nopage and bus errors, copy on write, fork, and the references a mapping holds.
#include <sys/mman.h>

#include <vector>

#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

constexpr unsigned kMajor = 240; // a major for local, experimental use
constexpr int kPages = 4;

// A character device that maps its own pages, recording what the kernel asks of it.
struct MapDriver {
    struct page* pages[kPages] = {};
    int mmapResult = 0;
    int releases = 0;
    unsigned long flags = 0, pgoff = 0;
    std::vector<struct vm_area_struct*> opened, closed, faulted;
    std::vector<unsigned long> faultAddrs;
};
MapDriver* drv = nullptr;

void mdOpen(struct vm_area_struct* vma) { drv->opened.push_back(vma); }
void mdClose(struct vm_area_struct* vma) { drv->closed.push_back(vma); }

struct page* mdNopage(struct vm_area_struct* vma, unsigned long address, int*)
{
    drv->faulted.push_back(vma);
    drv->faultAddrs.push_back(address);
    unsigned long index = ((address - vma->vm_start) >> PAGE_SHIFT) + vma->vm_pgoff;
    if (index >= kPages)
        return NOPAGE_SIGBUS;
    get_page(drv->pages[index]);
    return drv->pages[index];
}

struct vm_operations_struct mdVmOps = {mdOpen, mdClose, mdNopage, nullptr};

int mdMmap(struct file*, struct vm_area_struct* vma)
{
    drv->flags = vma->vm_flags;
    drv->pgoff = vma->vm_pgoff;
    vma->vm_ops = &mdVmOps;
    return drv->mmapResult;
}

int mdRelease(struct inode*, struct file*)
{
    drv->releases++;
    return 0;
}

struct file_operations mdFops = [] {
    struct file_operations f {};
    f.mmap = mdMmap;
    f.release = mdRelease;
    return f;
}();

constexpr unsigned long kMay = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;

class MmapTest : public MachineTest {
protected:
    void SetUp() override
    {
        drv = &state;
        for (int i = 0; i < kPages; i++) {
            state.pages[i] = alloc_page(GFP_KERNEL);
            memset(page_address(state.pages[i]), 'a' + i, PAGE_SIZE);
        }
        ASSERT_EQ(register_chrdev(kMajor, "mapdev", &mdFops), 0);
        ASSERT_EQ(machine.mknod("/dev/mapdev", true, kMajor, 0, 0600, 0), 0);
        proc = &machine.spawn("mapper");
    }

    void TearDown() override
    {
        machine.exit_processes();
        for (int i = 0; i < kPages; i++) {
            EXPECT_EQ(page_count(state.pages[i]), 1) << "a mapping kept page " << i;
            __free_page(state.pages[i]);
        }
        EXPECT_EQ(unregister_chrdev(kMajor, "mapdev"), 0);
        MachineTest::TearDown();
    }

    uint32_t Map(int fd, uint32_t pages, int prot, int flags, uint32_t pgoff = 0)
    {
        long a = proc->mmap(pages * PAGE_SIZE, prot, flags, fd, pgoff);
        EXPECT_GT(a, 0);
        return a > 0 ? static_cast<uint32_t>(a) : 0;
    }

    char* PageData(int i) { return static_cast<char*>(page_address(state.pages[i])); }

    MapDriver state;
    sim::Process* proc = nullptr;
};

TEST_F(MmapTest, DriverSeesTheFlagsLinuxWorksOutAndRefusalsKeepNothing)
{
    int rw = proc->open("/dev/mapdev", O_RDWR);
    int ro = proc->open("/dev/mapdev", O_RDONLY);
    // A read-only private mapping of a file open for writing cannot be written.
    Map(rw, 2, PROT_READ, MAP_PRIVATE, 1);
    EXPECT_EQ(state.flags, VM_READ | kMay);
    EXPECT_EQ(state.pgoff, 1u);
    Map(rw, 1, PROT_READ | PROT_WRITE, MAP_SHARED);
    EXPECT_EQ(state.flags, VM_READ | VM_WRITE | VM_SHARED | VM_MAYSHARE | kMay);
    // Shared, of a file that cannot be written: no VM_SHARED, no VM_MAYWRITE.
    Map(ro, 1, PROT_READ, MAP_SHARED);
    EXPECT_EQ(state.flags, static_cast<unsigned long>(VM_READ | VM_MAYSHARE | VM_MAYREAD | VM_MAYEXEC));

    state.flags = 0;
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, ro), -EACCES);
    EXPECT_EQ(proc->mmap(0, PROT_READ, MAP_PRIVATE, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE | MAP_SHARED, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(2 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, rw, 0xFFFFFFFF), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, 99), -EBADF);
    EXPECT_EQ(state.flags, 0u); // none of these reached the driver

    // The driver's error fails the mapping; a positive value is a driver bug. Neither
    // keeps a reference on the file nor calls close.
    state.mmapResult = -ENOMEM;
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, ro), -ENOMEM);
    state.mmapResult = 2;
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, ro), -EINVAL);
    ASSERT_EQ(machine.bugs().size(), 1u);
    EXPECT_NE(machine.bugs()[0].find("mmap operation returned a positive value"), std::string::npos);
    machine.clear_bugs();
    EXPECT_EQ(atomic_read(&proc->file_of(ro)->f_count), 2); // descriptor + the shared mapping
    EXPECT_TRUE(state.closed.empty());
}

TEST_F(MmapTest, PagesFaultInThroughNopageAndBusErrorsFailTheAccess)
{
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    uint32_t base = Map(fd, 5, PROT_READ, MAP_PRIVATE); // one page past the device's
    EXPECT_FALSE(proc->mm().present(base));              // nothing mapped at mmap time

    // A read across a page boundary faults both pages in, once each, at page addresses.
    char buf[8];
    ASSERT_TRUE(proc->peek(base + PAGE_SIZE - 4, buf, 8));
    EXPECT_EQ(std::string(buf, 8), "aaaabbbb");
    ASSERT_TRUE(proc->peek(base + 10, buf, 1));
    EXPECT_EQ(state.faultAddrs, (std::vector<unsigned long>{base, base + PAGE_SIZE}));
    EXPECT_EQ(page_count(state.pages[0]), 2);

    // The process sees the page itself: what the kernel writes later shows.
    PageData(1)[100] = 'Z';
    EXPECT_EQ(proc->peek_u32(base + PAGE_SIZE + 100) & 0xFF, unsigned('Z'));

    // Kernel copies fault pages in too; nothing writes into a read-only mapping.
    proc->as_current([&] {
        char k[4];
        EXPECT_EQ(copy_from_user(k, base + 2 * PAGE_SIZE, 4), 0u);
        EXPECT_EQ(k[0], 'c');
        EXPECT_EQ(copy_to_user(base, "x", 1), 1u);
    });
    EXPECT_FALSE(proc->poke(base + 3 * PAGE_SIZE, "x", 1));
    EXPECT_EQ(state.faultAddrs.size(), 3u); // a refused write faults nothing in

    // No page: the process's access fails with SIGBUS; a kernel copy only reports the
    // bytes it could not copy.
    EXPECT_FALSE(proc->peek(base + 4 * PAGE_SIZE - 4, buf, 8));
    EXPECT_EQ(std::string(buf, 4), "dddd");
    EXPECT_EQ(proc->bus_errors(), 1u);
    proc->as_current([&] { EXPECT_EQ(copy_from_user(buf, base + 4 * PAGE_SIZE - 4, 8), 4u); });
    EXPECT_EQ(proc->bus_errors(), 1u);

    // Only whole mappings can be unmapped; that gives every page back and closes once.
    EXPECT_EQ(proc->munmap(base, PAGE_SIZE), -EINVAL);
    EXPECT_EQ(proc->munmap(base, 5 * PAGE_SIZE), 0);
    EXPECT_EQ(state.closed.size(), 1u);
    EXPECT_EQ(page_count(state.pages[0]), 1);
    EXPECT_FALSE(proc->peek(base, buf, 1));
}

// A view is the page itself, so it must fault the page in like a read, refuse what a read
// would refuse, and never reach past the page it starts in.
TEST_F(MmapTest, ViewsReadThePageInPlaceAndRefuseWhatAReadWould)
{
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    uint32_t base = Map(fd, 5, PROT_READ, MAP_PRIVATE); // one page past the device's

    const unsigned char* v = proc->view(base + PAGE_SIZE + 8, 16);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(static_cast<const void*>(v), PageData(1) + 8);
    EXPECT_EQ(state.faultAddrs, (std::vector<unsigned long>{base + PAGE_SIZE}));
    PageData(1)[9] = 'Z'; // the kernel's later writes show through the view
    EXPECT_EQ(v[1], 'Z');
    EXPECT_NE(proc->view(base, PAGE_SIZE), nullptr);

    // Across a page boundary, past the device's pages, outside any mapping: no view.
    EXPECT_EQ(proc->view(base + PAGE_SIZE - 4, 8), nullptr);
    EXPECT_EQ(proc->view(base + 4 * PAGE_SIZE, 4), nullptr);
    EXPECT_EQ(proc->bus_errors(), 1u);
    EXPECT_EQ(proc->view(base + 5 * PAGE_SIZE, 4), nullptr);
    EXPECT_EQ(proc->view(0xBFFFFFF0u, 32), nullptr);

    // The process's own memory: a view inside the region, none past its end.
    uint32_t mem = proc->alloc(2 * PAGE_SIZE);
    ASSERT_TRUE(proc->poke(mem + 10, "abc", 3));
    v = proc->view(mem + 10, 3);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v), 3), "abc");
    EXPECT_EQ(proc->view(mem + 2 * PAGE_SIZE - 2, 4), nullptr);
    EXPECT_TRUE(proc->free(mem));
}

TEST_F(MmapTest, WritesReachThePageOnlyThroughSharedMappings)
{
    int fd = proc->open("/dev/mapdev", O_RDWR);
    uint32_t priv = Map(fd, 1, PROT_READ | PROT_WRITE, MAP_PRIVATE);
    uint32_t shared = Map(fd, 1, PROT_READ | PROT_WRITE, MAP_SHARED, 1);
    // Private: the first write copies the page and gives the driver's reference back.
    ASSERT_TRUE(proc->poke(priv, "P", 1));
    EXPECT_EQ(page_count(state.pages[0]), 1);
    EXPECT_EQ(PageData(0)[0], 'a');
    PageData(0)[1] = 'K';
    EXPECT_EQ(proc->peek_u32(priv) & 0xFFFF, unsigned('P' | 'a' << 8));
    // Shared: writes land in the driver's page.
    ASSERT_TRUE(proc->poke(shared + 7, "S", 1));
    EXPECT_EQ(PageData(1)[7], 'S');
}

TEST_F(MmapTest, ForkedMappingFaultsThroughItsOwnRecordAndEachIsClosedOnce)
{
    int fd = proc->open("/dev/mapdev", O_RDWR);
    uint32_t base = Map(fd, 2, PROT_READ, MAP_PRIVATE);
    uint32_t heap = proc->alloc(PAGE_SIZE);
    ASSERT_TRUE(proc->poke_u32(heap, 1234));
    char c;
    ASSERT_TRUE(proc->peek(base, &c, 1));
    struct vm_area_struct* parentVma = state.faulted.at(0);
    struct file* f = proc->file_of(fd);

    sim::Process& child = proc->fork();
    // A new record with the same fields, opened through the driver, with its own file
    // reference; the descriptor table shares the file; anonymous memory is copied.
    ASSERT_EQ(state.opened.size(), 1u);
    struct vm_area_struct* childVma = state.opened[0];
    EXPECT_NE(childVma, parentVma);
    EXPECT_EQ(childVma->vm_start, parentVma->vm_start);
    EXPECT_EQ(childVma->vm_flags, parentVma->vm_flags);
    EXPECT_EQ(child.file_of(fd), f);
    EXPECT_EQ(atomic_read(&f->f_count), 4);
    ASSERT_TRUE(child.poke_u32(heap, 1));
    EXPECT_EQ(proc->peek_u32(heap), 1234u);

    // The page table is copied: the page the parent faulted in is present in the child,
    // with a reference of its own, and the driver is not asked again. The others fault in
    // through the child's record.
    EXPECT_TRUE(child.mm().present(base));
    EXPECT_EQ(page_count(state.pages[0]), 3);
    ASSERT_TRUE(child.peek(base, &c, 1));
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(state.faulted.size(), 1u);
    EXPECT_FALSE(child.mm().present(base + PAGE_SIZE));
    ASSERT_TRUE(child.peek(base + PAGE_SIZE, &c, 1));
    EXPECT_EQ(c, 'b');
    EXPECT_EQ(state.faulted.back(), childVma);

    // The file is released only after the last mapping and descriptor are gone.
    child.exit();
    EXPECT_EQ(page_count(state.pages[0]), 2);
    EXPECT_EQ(state.closed, std::vector<struct vm_area_struct*>{childVma});
    EXPECT_EQ(proc->close(fd), 0);
    EXPECT_EQ(state.releases, 0);
    ASSERT_TRUE(proc->peek(base + PAGE_SIZE, &c, 1));
    proc->exit();
    EXPECT_EQ(state.closed, (std::vector<struct vm_area_struct*>{childVma, parentVma}));
    EXPECT_EQ(state.releases, 1);
}

// Freed addresses are handed out again, lowest first, always as fresh memory behind its
// own guard page: an address kept from the freed area reaches only what the new region
// covers, never the old contents or the old mapping's pages.
TEST_F(MmapTest, FreedAddressesAreReusedAsFreshMemoryBehindGuardPages)
{
    // Far more allocations than the address space holds without reuse (3 GiB / 8 KiB).
    uint32_t first = proc->alloc(PAGE_SIZE);
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(proc->free(first));
    for (int i = 0; i < 400000; i++) {
        uint32_t a = proc->alloc(PAGE_SIZE);
        ASSERT_EQ(a, first) << "allocation " << i;
        ASSERT_TRUE(proc->free(a));
    }

    // Two areas side by side; the first freed and taken by a smaller one.
    uint32_t a = proc->alloc(3 * PAGE_SIZE);
    uint32_t b = proc->alloc(PAGE_SIZE);
    ASSERT_EQ(b, a + 4 * PAGE_SIZE); // a's three pages and its guard page
    ASSERT_TRUE(proc->poke(a, "old", 3));
    ASSERT_TRUE(proc->poke(a + 2 * PAGE_SIZE, "old", 3));
    ASSERT_TRUE(proc->free(a));
    char c = 'x';
    EXPECT_FALSE(proc->peek(a, &c, 1));
    uint32_t small = proc->alloc(PAGE_SIZE);
    ASSERT_EQ(small, a);
    EXPECT_EQ(proc->peek_u32(small), 0u);
    EXPECT_FALSE(proc->peek(a + PAGE_SIZE, &c, 1));     // the new region's guard page
    EXPECT_FALSE(proc->peek(a + 2 * PAGE_SIZE, &c, 1)); // the rest of the old area
    // What is left of the gap holds one page and its guard before b; two pages do not fit.
    uint32_t one = proc->alloc(PAGE_SIZE);
    EXPECT_EQ(one, a + 2 * PAGE_SIZE);
    ASSERT_TRUE(proc->free(one));
    uint32_t two = proc->alloc(2 * PAGE_SIZE);
    EXPECT_GT(two, b);

    // A file mapping's addresses, once unmapped, come back as anonymous zeroed memory.
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    uint32_t m = Map(fd, 2, PROT_READ, MAP_PRIVATE);
    ASSERT_TRUE(proc->peek(m, &c, 1));
    EXPECT_EQ(c, 'a');
    ASSERT_EQ(proc->munmap(m, 2 * PAGE_SIZE), 0);
    EXPECT_EQ(page_count(state.pages[0]), 1); // the mapping's reference went with it
    uint32_t anon = proc->alloc(2 * PAGE_SIZE);
    ASSERT_EQ(anon, m);
    EXPECT_EQ(proc->peek_u32(anon), 0u);
    EXPECT_TRUE(proc->poke(anon, "new", 3));
    EXPECT_EQ(PageData(0)[0], 'a');
    EXPECT_EQ(state.faulted.size(), 1u);
}

} // namespace
} // namespace kestrel_test
