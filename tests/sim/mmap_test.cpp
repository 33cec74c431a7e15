// Memory mappings of processes: the vm_flags a driver's mmap sees, refusals, faults served
// by nopage and bus errors, copy on write, fork, and the references a mapping holds.
#include <sys/mman.h>

#include <vector>

#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

constexpr unsigned kMajor = 240; // a major for local, experimental use
constexpr int kPages = 4;

// A character device whose pages can be mapped. Its state is global because file and
// mapping operations carry no context of their own besides the file.
struct MapDriver {
    struct page* pages[kPages] = {};
    int mmapResult = 0;        // what mmap returns (after recording the mapping)
    bool installOps = true;    // whether mmap installs the mapping operations
    int mmaps = 0, opens = 0, closes = 0, releases = 0;
    std::vector<struct vm_area_struct*> nopageVmas; // the mapping of every nopage call
    std::vector<unsigned long> nopageAddrs;
    std::vector<struct vm_area_struct*> opened, closed;
    unsigned long lastFlags = 0, lastPgoff = 0, lastStart = 0, lastEnd = 0;
};
MapDriver* drv = nullptr;

void mdOpen(struct vm_area_struct* vma)
{
    drv->opens++;
    drv->opened.push_back(vma);
}

void mdClose(struct vm_area_struct* vma)
{
    drv->closes++;
    drv->closed.push_back(vma);
}

struct page* mdNopage(struct vm_area_struct* vma, unsigned long address, int*)
{
    drv->nopageVmas.push_back(vma);
    drv->nopageAddrs.push_back(address);
    unsigned long index = ((address - vma->vm_start) >> PAGE_SHIFT) + vma->vm_pgoff;
    if (index >= kPages)
        return NOPAGE_SIGBUS;
    get_page(drv->pages[index]);
    return drv->pages[index];
}

struct vm_operations_struct mdVmOps = {mdOpen, mdClose, mdNopage, nullptr};

int mdMmap(struct file*, struct vm_area_struct* vma)
{
    drv->mmaps++;
    drv->lastFlags = vma->vm_flags;
    drv->lastPgoff = vma->vm_pgoff;
    drv->lastStart = vma->vm_start;
    drv->lastEnd = vma->vm_end;
    if (drv->mmapResult != 0)
        return drv->mmapResult;
    if (drv->installOps) {
        vma->vm_ops = &mdVmOps;
        vma->vm_private_data = drv;
    }
    return 0;
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
        // Every reference a mapping took has been given back: only the driver's own is left.
        for (int i = 0; i < kPages; i++) {
            EXPECT_EQ(page_count(state.pages[i]), 1) << "page " << i;
            __free_page(state.pages[i]);
        }
        EXPECT_EQ(unregister_chrdev(kMajor, "mapdev"), 0);
        drv = nullptr;
        MachineTest::TearDown();
    }

    char* pageData(int i) { return static_cast<char*>(page_address(state.pages[i])); }

    MapDriver state;
    sim::Process* proc = nullptr;
};

TEST_F(MmapTest, DriverSeesTheFlagsLinuxWorksOut)
{
    int rw = proc->open("/dev/mapdev", O_RDWR);
    int ro = proc->open("/dev/mapdev", O_RDONLY);
    ASSERT_GE(rw, 0);
    ASSERT_GE(ro, 0);

    // A read-only private mapping of a file open for writing cannot be written.
    long a = proc->mmap(3 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, rw, 1);
    ASSERT_GT(a, 0);
    EXPECT_EQ(state.lastFlags, static_cast<unsigned long>(VM_READ | VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC));
    EXPECT_EQ(state.lastPgoff, 1u);
    EXPECT_EQ(state.lastStart, static_cast<unsigned long>(a));
    EXPECT_EQ(state.lastEnd - state.lastStart, 3 * PAGE_SIZE);
    EXPECT_EQ(a % PAGE_SIZE, 0);

    // Lengths are rounded up to whole pages.
    ASSERT_GT(proc->mmap(10, PROT_READ | PROT_WRITE, MAP_SHARED, rw), 0);
    EXPECT_EQ(state.lastFlags, static_cast<unsigned long>(VM_READ | VM_WRITE | VM_SHARED | VM_MAYSHARE |
                                                          VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC));
    EXPECT_EQ(state.lastEnd - state.lastStart, PAGE_SIZE);

    // Shared, but of a file that cannot be written: no VM_SHARED, no VM_MAYWRITE.
    ASSERT_GT(proc->mmap(PAGE_SIZE, PROT_READ, MAP_SHARED, ro), 0);
    EXPECT_EQ(state.lastFlags, static_cast<unsigned long>(VM_READ | VM_MAYSHARE | VM_MAYREAD | VM_MAYEXEC));
    EXPECT_EQ(state.mmaps, 3);

    // Refused before the driver is asked.
    int wo = proc->open("/dev/mapdev", O_WRONLY);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, ro), -EACCES);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, wo), -EACCES);
    EXPECT_EQ(proc->mmap(0, PROT_READ, MAP_PRIVATE, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE | MAP_SHARED, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE | MAP_FIXED, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, 0x40, MAP_PRIVATE, rw), -EINVAL);
    EXPECT_EQ(proc->mmap(2 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, rw, 0xFFFFFFFF), -EINVAL);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, 99), -EBADF);
    EXPECT_EQ(proc->mmap(0xB0000000, PROT_READ, MAP_PRIVATE, rw), -ENOMEM); // no room left
    EXPECT_EQ(state.mmaps, 3);

    // A device without an mmap operation cannot be mapped.
    struct file_operations plain {};
    ASSERT_EQ(register_chrdev(kMajor + 1, "plain", &plain), 0);
    ASSERT_EQ(machine.mknod("/dev/plain", true, kMajor + 1, 0, 0600, 0), 0);
    int pf = proc->open("/dev/plain");
    ASSERT_GE(pf, 0);
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, pf), -ENODEV);
    proc->close(pf);
    EXPECT_EQ(unregister_chrdev(kMajor + 1, "plain"), 0);
}

TEST_F(MmapTest, RefusedMappingMapsNothingAndKeepsNoReference)
{
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    state.mmapResult = -ENOMEM;
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd), -ENOMEM);
    EXPECT_EQ(atomic_read(&proc->file_of(fd)->f_count), 1);
    char c;
    EXPECT_FALSE(proc->peek(state.lastStart, &c, 1));
    EXPECT_TRUE(state.nopageVmas.empty());

    // A positive value from mmap is a driver bug: reported, and the mapping fails.
    state.mmapResult = 2;
    EXPECT_EQ(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd), -EINVAL);
    ASSERT_EQ(machine.bugs().size(), 1u);
    EXPECT_NE(machine.bugs()[0].find("mmap operation returned a positive value"), std::string::npos);
    machine.clear_bugs();

    EXPECT_EQ(proc->close(fd), 0);
    EXPECT_EQ(state.releases, 1); // no mapping held the file
    EXPECT_EQ(state.closes, 0);   // close is only for mappings that were made
}

TEST_F(MmapTest, PagesFaultInThroughNopageAndShowLaterKernelWrites)
{
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    long a = proc->mmap(5 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd); // one page past the device
    ASSERT_GT(a, 0);
    uint32_t base = static_cast<uint32_t>(a);
    EXPECT_TRUE(state.nopageVmas.empty()); // nothing is mapped at mmap time
    EXPECT_FALSE(proc->mm().present(base));

    // A read across a page boundary faults in both pages, each once, at its page address.
    char buf[8];
    ASSERT_TRUE(proc->peek(base + PAGE_SIZE - 4, buf, 8));
    EXPECT_EQ(std::string(buf, 8), "aaaabbbb");
    ASSERT_EQ(state.nopageAddrs.size(), 2u);
    EXPECT_EQ(state.nopageAddrs[0], base);
    EXPECT_EQ(state.nopageAddrs[1], base + PAGE_SIZE);
    ASSERT_TRUE(proc->peek(base + 10, buf, 1));
    EXPECT_EQ(state.nopageAddrs.size(), 2u);
    EXPECT_EQ(page_count(state.pages[0]), 2);

    // The process sees the page itself: what the kernel writes later shows.
    pageData(1)[100] = 'Z';
    EXPECT_EQ(proc->peek_u32(base + PAGE_SIZE + 100) & 0xFF, unsigned('Z'));

    // Kernel copies fault pages in too; writing into a read-only mapping fails.
    proc->as_current([&] {
        char k[4];
        EXPECT_EQ(copy_from_user(k, base + 2 * PAGE_SIZE, 4), 0u);
        EXPECT_EQ(k[0], 'c');
        EXPECT_EQ(copy_to_user(base, "x", 1), 1u);
        EXPECT_EQ(put_user(1, base + 3 * PAGE_SIZE), -EFAULT);
    });
    EXPECT_FALSE(proc->poke(base, "x", 1));
    EXPECT_EQ(pageData(0)[0], 'a');
    EXPECT_EQ(state.nopageAddrs.size(), 3u); // a refused write faults nothing in

    // No page for the fault: a bus error. The access fails; only the process's own access
    // raises SIGBUS, a kernel copy just reports what it could not copy.
    char tail[8];
    EXPECT_FALSE(proc->peek(base + 4 * PAGE_SIZE - 4, tail, 8));
    EXPECT_EQ(std::string(tail, 4), "dddd");
    EXPECT_EQ(proc->bus_errors(), 1u);
    proc->as_current([&] {
        char k[8];
        EXPECT_EQ(copy_from_user(k, base + 4 * PAGE_SIZE - 4, 8), 4u);
    });
    EXPECT_EQ(proc->bus_errors(), 1u);
    EXPECT_FALSE(proc->mm().present(base + 4 * PAGE_SIZE));

    // Unmapping gives back every page reference and calls close once.
    EXPECT_EQ(proc->munmap(base, 5 * PAGE_SIZE), 0);
    EXPECT_EQ(state.closes, 1);
    EXPECT_EQ(page_count(state.pages[0]), 1);
    EXPECT_FALSE(proc->peek(base, buf, 1));
}

TEST_F(MmapTest, WritesReachThePageOnlyThroughSharedMappings)
{
    int fd = proc->open("/dev/mapdev", O_RDWR);
    uint32_t priv = static_cast<uint32_t>(proc->mmap(PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd));
    uint32_t shared = static_cast<uint32_t>(proc->mmap(PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 1));
    ASSERT_NE(priv, 0u);
    ASSERT_NE(shared, 0u);

    // Private: the first write copies the page and gives the driver's reference back.
    char c;
    ASSERT_TRUE(proc->peek(priv, &c, 1));
    EXPECT_EQ(page_count(state.pages[0]), 2);
    ASSERT_TRUE(proc->poke(priv, "P", 1));
    EXPECT_EQ(page_count(state.pages[0]), 1);
    EXPECT_EQ(pageData(0)[0], 'a');
    ASSERT_TRUE(proc->peek(priv, &c, 1));
    EXPECT_EQ(c, 'P');
    pageData(0)[1] = 'K'; // no longer seen by the process
    ASSERT_TRUE(proc->peek(priv + 1, &c, 1));
    EXPECT_EQ(c, 'a');

    // Shared: writes land in the driver's page.
    ASSERT_TRUE(proc->poke(shared + 7, "S", 1));
    EXPECT_EQ(pageData(1)[7], 'S');

    // A mapping whose driver installs no nopage gets a zeroed page of its own.
    state.installOps = false;
    uint32_t anon = static_cast<uint32_t>(proc->mmap(PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd));
    ASSERT_NE(anon, 0u);
    EXPECT_EQ(proc->peek_u32(anon + 8), 0u);
    ASSERT_TRUE(proc->poke_u32(anon + 8, 77));
    EXPECT_EQ(proc->peek_u32(anon + 8), 77u);
    EXPECT_EQ(state.nopageVmas.size(), 2u);
}

TEST_F(MmapTest, ForkedMappingFaultsThroughItsOwnRecord)
{
    int fd = proc->open("/dev/mapdev", O_RDWR);
    uint32_t base = static_cast<uint32_t>(proc->mmap(2 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd));
    uint32_t heap = proc->alloc(PAGE_SIZE);
    ASSERT_TRUE(proc->poke_u32(heap, 1234));
    char c;
    ASSERT_TRUE(proc->peek(base, &c, 1));
    struct vm_area_struct* parentVma = state.nopageVmas.at(0);
    struct file* f = proc->file_of(fd);
    EXPECT_EQ(atomic_read(&f->f_count), 2); // descriptor and mapping

    sim::Process& child = proc->fork();
    EXPECT_NE(child.pid(), proc->pid());
    // The child's mapping is a new record with the same fields, opened through the driver,
    // holding its own reference on the shared file.
    ASSERT_EQ(state.opens, 1);
    struct vm_area_struct* childVma = state.opened[0];
    EXPECT_NE(childVma, parentVma);
    EXPECT_EQ(childVma->vm_start, parentVma->vm_start);
    EXPECT_EQ(childVma->vm_end, parentVma->vm_end);
    EXPECT_EQ(childVma->vm_flags, parentVma->vm_flags);
    EXPECT_EQ(childVma->vm_private_data, drv);
    EXPECT_EQ(childVma->vm_file, f);
    EXPECT_EQ(child.file_of(fd), f);
    EXPECT_EQ(atomic_read(&f->f_count), 4);
    EXPECT_EQ(child.peek_u32(heap), 1234u);
    ASSERT_TRUE(child.poke_u32(heap, 1)); // anonymous memory is copied, not shared
    EXPECT_EQ(proc->peek_u32(heap), 1234u);

    // The child's pages are not present: they fault in again, through the child's record.
    EXPECT_FALSE(child.mm().present(base));
    ASSERT_TRUE(child.peek(base + PAGE_SIZE, &c, 1));
    EXPECT_EQ(c, 'b');
    EXPECT_EQ(state.nopageVmas.back(), childVma);

    // Each mapping is closed exactly once; the file is released after the last reference.
    child.exit();
    ASSERT_EQ(state.closes, 1);
    EXPECT_EQ(state.closed[0], childVma);
    EXPECT_EQ(state.releases, 0);
    EXPECT_EQ(proc->close(fd), 0);
    EXPECT_EQ(state.releases, 0); // the parent's mapping still holds the file
    ASSERT_TRUE(proc->peek(base + PAGE_SIZE, &c, 1));
    proc->exit();
    EXPECT_EQ(state.closes, 2);
    EXPECT_EQ(state.closed[1], parentVma);
    EXPECT_EQ(state.releases, 1);
}

TEST_F(MmapTest, UnmapTakesWholeMappingsOnly)
{
    int fd = proc->open("/dev/mapdev", O_RDONLY);
    uint32_t a = static_cast<uint32_t>(proc->mmap(2 * PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd));
    uint32_t b = static_cast<uint32_t>(proc->mmap(PAGE_SIZE, PROT_READ, MAP_PRIVATE, fd));
    char c;
    ASSERT_TRUE(proc->peek(a, &c, 1));
    EXPECT_EQ(proc->munmap(a, PAGE_SIZE), -EINVAL); // would split the mapping
    EXPECT_EQ(proc->munmap(a + 1, 2 * PAGE_SIZE), -EINVAL);
    EXPECT_EQ(proc->munmap(a, 0), -EINVAL);
    EXPECT_EQ(proc->munmap(0x0F000000, PAGE_SIZE), 0); // nothing mapped there
    EXPECT_EQ(state.closes, 0);
    EXPECT_TRUE(proc->peek(a, &c, 1));

    // One range over both mappings and the guard page between them.
    EXPECT_EQ(proc->munmap(a, b + PAGE_SIZE - a), 0);
    EXPECT_EQ(state.closes, 2);
    EXPECT_EQ(atomic_read(&proc->file_of(fd)->f_count), 1);
    EXPECT_FALSE(proc->free(b));
}

} // namespace
} // namespace kestrel_test
