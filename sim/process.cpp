// Processes: the user address space, the kernel's copies to and from it, and the system
// calls on files.
#include "sim/process.h"
#include "sim/cpu.h"

#include "sim/internal.h"

namespace sim {

// ------------------------------------------------------------------ address space

namespace {

uint64_t page_align(uint64_t n) { return (n + PAGE_SIZE - 1) & ~uint64_t(PAGE_SIZE - 1); }

// mmap_sem held for one operation, for writing or for reading.
class MmapSem {
public:
    MmapSem(struct rw_semaphore* sem, bool write) : sem_(sem), write_(write)
    {
        if (write_)
            down_write(sem_);
        else
            down_read(sem_);
    }
    ~MmapSem()
    {
        if (write_)
            up_write(sem_);
        else
            up_read(sem_);
    }
    MmapSem(const MmapSem&) = delete;
    MmapSem& operator=(const MmapSem&) = delete;

private:
    struct rw_semaphore* sem_;
    bool write_;
};

const struct lock_class_key mmapSemKey = {0};

} // namespace

AddressSpace::AddressSpace() : mmapSem_(std::make_unique<struct rw_semaphore>())
{
    init_rwsem(mmapSem_.get());
    // Every process's mmap_sem is one class, whoever made the process.
    lockdep_set_class_and_name(&mmapSem_->dep_map, &mmapSemKey, "mmap_sem");
}

AddressSpace::~AddressSpace()
{
    // The owner unmaps everything while the kernel is still alive (Process::exit); what a
    // file mapping holds cannot be given back without it.
    if (!regions_.empty() && kernel_alive())
        unmap_all();
}

// The lowest free range of len bytes at or above from that leaves an unmapped guard page
// after every region, its own included; 0 when there is none. mu_ held; the caller holds
// mmap_sem for writing, so the range stays free until it inserts its region.
uint32_t AddressSpace::find_free_locked(uint32_t from, uint64_t len) const
{
    uint64_t at = std::max<uint64_t>(from, kBase);
    auto it = regions_.upper_bound(static_cast<uint32_t>(std::min<uint64_t>(at, kTop)));
    if (it != regions_.begin()) {
        const Region& prev = std::prev(it)->second;
        at = std::max<uint64_t>(at, uint64_t(prev.start) + prev.length + PAGE_SIZE);
    }
    for (; it != regions_.end(); ++it) {
        if (at + len + PAGE_SIZE <= it->second.start)
            break;
        at = std::max<uint64_t>(at, uint64_t(it->second.start) + it->second.length + PAGE_SIZE);
    }
    return at + len <= kTop ? static_cast<uint32_t>(at) : 0;
}

// Addresses are handed out first fit from a cache of where the last search ended, lowered
// whenever a region below it is unmapped, and searched again from the bottom when nothing
// fits above it: freed ranges are reused, so an agent that allocates and frees on every
// command never runs out of addresses. mu_ held, mmap_sem held for writing.
uint32_t AddressSpace::reserve_locked(uint64_t len)
{
    uint32_t start = find_free_locked(freeAreaCache_, len);
    if (!start && freeAreaCache_ > kBase)
        start = find_free_locked(kBase, len);
    if (start)
        freeAreaCache_ = static_cast<uint32_t>(start + len + PAGE_SIZE);
    return start;
}

// Called with mu_ held when the region at start is unmapped.
void AddressSpace::forget_locked(uint32_t start)
{
    if (start < freeAreaCache_)
        freeAreaCache_ = start;
}

uint32_t AddressSpace::map(uint32_t length, bool readable, bool writable)
{
    if (length == 0 || length > kTop)
        return 0;
    uint64_t len = page_align(length);
    // Making a mapping changes the regions, which every access looks up under mmap_sem.
    MmapSem held(mmap_sem(), true);
    std::lock_guard<std::mutex> g(mu_);
    uint32_t start = reserve_locked(len);
    if (!start)
        return 0;
    Region r;
    r.start = start;
    r.length = static_cast<uint32_t>(len);
    r.readable = readable;
    r.writable = writable;
    r.bytes.assign(len, 0);
    regions_.emplace(start, std::move(r));
    return start;
}

long AddressSpace::map_file(struct file* f, uint32_t length, unsigned long vm_flags, uint32_t pgoff)
{
    uint64_t len = page_align(length);
    if (len == 0 || len > kTop)
        return -EINVAL;
    MmapSem held(mmap_sem(), true);
    uint32_t start;
    {
        // The range stays free while the file's mmap operation runs: every change to the
        // regions holds mmap_sem for writing, as this does.
        std::lock_guard<std::mutex> g(mu_);
        start = reserve_locked(len);
        if (!start)
            return -ENOMEM;
    }
    auto vma = std::make_unique<vm_area_struct>();
    vma->vm_start = start;
    vma->vm_end = start + len;
    vma->vm_page_prot.pgprot = vm_flags & (VM_READ | VM_WRITE | VM_EXEC | VM_SHARED);
    vma->vm_flags = vm_flags;
    vma->vm_pgoff = pgoff;
    vma->vm_file = f;
    atomic_inc(&f->f_count);
    int ret = f->f_op->mmap(f, vma.get());
    if (ret > 0) {
        K().report_bug("mmap operation returned a positive value " + std::to_string(ret));
        ret = -EINVAL;
    }
    if (ret < 0) {
        fput(f);
        std::lock_guard<std::mutex> g(mu_);
        forget_locked(start);
        return ret;
    }
    Region r;
    r.start = start;
    r.length = static_cast<uint32_t>(len);
    r.vma = std::move(vma);
    r.pages.resize(len >> PAGE_SHIFT);
    std::lock_guard<std::mutex> g(mu_);
    regions_.emplace(start, std::move(r));
    return start;
}

// Gives back what a region holds: its installed pages first, then, for a file mapping,
// the close operation and the file reference, in the order the kernel's unmap uses.
void AddressSpace::release(Region& r)
{
    for (UserPage& up : r.pages)
        if (up.page)
            put_page(up.page);
    r.pages.clear();
    if (!r.vma)
        return;
    struct vm_area_struct* vma = r.vma.get();
    if (vma->vm_ops && vma->vm_ops->close)
        vma->vm_ops->close(vma);
    if (vma->vm_file)
        fput(vma->vm_file);
    r.vma.reset();
}

int AddressSpace::unmap_range(uint32_t addr, uint32_t length)
{
    uint64_t end = uint64_t(addr) + page_align(length);
    if ((addr & ~PAGE_MASK) || length == 0 || end > kTop)
        return -EINVAL;
    MmapSem held(mmap_sem(), true);
    std::vector<Region> gone;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto first = regions_.upper_bound(addr);
        if (first != regions_.begin() && std::prev(first)->second.start + uint64_t(std::prev(first)->second.length) > addr)
            --first;
        auto last = regions_.lower_bound(static_cast<uint32_t>(end));
        for (auto it = first; it != last; ++it)
            if (it->second.start < addr || it->second.start + uint64_t(it->second.length) > end)
                return -EINVAL; // would split a region
        for (auto it = first; it != last;) {
            forget_locked(it->first);
            gone.push_back(std::move(it->second));
            it = regions_.erase(it);
        }
    }
    for (Region& r : gone)
        release(r);
    return 0;
}

bool AddressSpace::unmap(uint32_t addr)
{
    MmapSem held(mmap_sem(), true);
    Region r;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = regions_.find(addr);
        if (it == regions_.end())
            return false;
        r = std::move(it->second);
        regions_.erase(it);
        forget_locked(addr);
    }
    release(r);
    return true;
}

void AddressSpace::unmap_all()
{
    std::map<uint32_t, Region> gone;
    {
        std::lock_guard<std::mutex> g(mu_);
        gone.swap(regions_);
        freeAreaCache_ = kBase;
    }
    for (auto& [start, r] : gone)
        release(r);
}

void AddressSpace::fork_from(AddressSpace& parent)
{
    MmapSem held(parent.mmap_sem(), true);
    std::vector<struct vm_area_struct*> opened;
    {
        std::scoped_lock g(parent.mu_, mu_);
        for (auto& [start, pr] : parent.regions_) {
            if (pr.vma && (pr.vma->vm_flags & VM_DONTCOPY))
                continue;
            Region r;
            r.start = pr.start;
            r.length = pr.length;
            r.readable = pr.readable;
            r.writable = pr.writable;
            r.bytes = pr.bytes;
            if (pr.vma) {
                r.vma = std::make_unique<vm_area_struct>(*pr.vma);
                if (r.vma->vm_file)
                    atomic_inc(&r.vma->vm_file->f_count);
                r.pages.resize(pr.pages.size());
                for (size_t i = 0; i < pr.pages.size(); i++) {
                    if (pr.pages[i].page) {
                        get_page(pr.pages[i].page);
                        r.pages[i].page = pr.pages[i].page;
                    }
                    if (pr.pages[i].own) {
                        r.pages[i].own = std::make_unique<unsigned char[]>(PAGE_SIZE);
                        memcpy(r.pages[i].own.get(), pr.pages[i].own.get(), PAGE_SIZE);
                    }
                }
                opened.push_back(r.vma.get());
            }
            regions_.emplace(start, std::move(r));
        }
        freeAreaCache_ = parent.freeAreaCache_;
    }
    for (struct vm_area_struct* vma : opened)
        if (vma->vm_ops && vma->vm_ops->open)
            vma->vm_ops->open(vma);
}

AddressSpace::Region* AddressSpace::find(uint32_t addr)
{
    auto it = regions_.upper_bound(addr);
    if (it == regions_.begin())
        return nullptr;
    --it;
    Region& r = it->second;
    return addr - r.start < r.length ? &r : nullptr;
}

// Serves a fault on page index of a file mapping (mu_ held): installs the page nopage hands
// out, or a zeroed private page when the mapping has no nopage. False when nopage has no
// page for it: a bus error, recorded when the access was the process's own.
bool AddressSpace::fault(Region& r, size_t index, bool user)
{
    struct vm_area_struct* vma = r.vma.get();
    UserPage& up = r.pages[index];
    if (!vma->vm_ops || !vma->vm_ops->nopage) {
        up.own = std::make_unique<unsigned char[]>(PAGE_SIZE);
        memset(up.own.get(), 0, PAGE_SIZE);
        return true;
    }
    int type = VM_FAULT_MINOR;
    struct page* p = vma->vm_ops->nopage(vma, vma->vm_start + index * PAGE_SIZE, &type);
    if (p == NOPAGE_SIGBUS || p == NOPAGE_OOM) {
        if (user && p == NOPAGE_SIGBUS)
            busErrors_++;
        return false;
    }
    up.page = p;
    return true;
}

// The bytes at addr for one access (mu_ held), with in *avail how many follow in the same
// page (file mappings) or region (anonymous memory); nullptr when the access faults.
unsigned char* AddressSpace::reach(uint32_t addr, bool write, bool user, size_t* avail)
{
    Region* r = find(addr);
    if (!r)
        return nullptr;
    uint32_t off = addr - r->start;
    if (!r->vma) {
        if (write ? !r->writable : !r->readable)
            return nullptr;
        *avail = r->length - off;
        return r->bytes.data() + off;
    }
    unsigned long flags = r->vma->vm_flags;
    if (!(flags & (write ? VM_WRITE : VM_READ | VM_EXEC)))
        return nullptr;
    size_t index = off >> PAGE_SHIFT;
    UserPage& up = r->pages[index];
    if (!up.page && !up.own && !fault(*r, index, user))
        return nullptr;
    if (write && up.page && !(flags & VM_SHARED)) {
        // Copy on write: a private mapping never writes into the file's page.
        up.own = std::make_unique<unsigned char[]>(PAGE_SIZE);
        memcpy(up.own.get(), up.page->data, PAGE_SIZE);
        put_page(up.page);
        up.page = nullptr;
    }
    *avail = PAGE_SIZE - (off & ~PAGE_MASK);
    return (up.page ? up.page->data : up.own.get()) + (off & ~PAGE_MASK);
}

bool AddressSpace::present(uint32_t addr)
{
    MmapSem held(mmap_sem(), false);
    std::lock_guard<std::mutex> g(mu_);
    Region* r = find(addr);
    if (!r)
        return false;
    if (!r->vma)
        return true;
    const UserPage& up = r->pages[(addr - r->start) >> PAGE_SHIFT];
    return up.page || up.own;
}

size_t AddressSpace::copy_in(void* dst, uint32_t src, size_t n, bool user)
{
    auto* out = static_cast<unsigned char*>(dst);
    size_t done = 0;
    MmapSem held(mmap_sem(), false);
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(src) + n <= kTop) {
        while (done < n) {
            size_t avail = 0;
            const unsigned char* from = reach(static_cast<uint32_t>(src + done), false, user, &avail);
            if (!from)
                break;
            size_t chunk = std::min(n - done, avail);
            memcpy(out + done, from, chunk);
            done += chunk;
        }
    }
    memset(out + done, 0, n - done);
    return n - done;
}

const unsigned char* AddressSpace::view(uint32_t addr, size_t n, bool user)
{
    MmapSem held(mmap_sem(), false);
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(addr) + n > kTop)
        return nullptr;
    size_t avail = 0;
    const unsigned char* at = reach(addr, false, user, &avail);
    return at && avail >= n ? at : nullptr;
}

size_t AddressSpace::copy_out(uint32_t dst, const void* src, size_t n, bool user)
{
    auto* in = static_cast<const unsigned char*>(src);
    size_t done = 0;
    MmapSem held(mmap_sem(), false);
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(dst) + n > kTop)
        return n;
    while (done < n) {
        size_t avail = 0;
        unsigned char* to = reach(static_cast<uint32_t>(dst + done), true, user, &avail);
        if (!to)
            break;
        size_t chunk = std::min(n - done, avail);
        memcpy(to, in + done, chunk);
        done += chunk;
    }
    return n - done;
}

// ------------------------------------------------------------------ system call context

SyscallScope::SyscallScope(Process& p) : task_(current_task())
{
    cpu_enter();
    savedProc_ = task_->proc;
    savedUid_ = task_->uid;
    task_->proc = &p;
    task_->uid = p.uid_;
}

SyscallScope::~SyscallScope()
{
    if (task_->preempt != 0 || task_->irqsOff) {
        K().report_bug("returning to user space with a spin lock held or interrupts off");
        task_->preempt = 0;
        task_->irqsOff = false;
    }
    task_->proc = savedProc_;
    task_->uid = savedUid_;
    cpu_leave();
}

// ------------------------------------------------------------------ process

Process::Process(Kernel& k, int pid, std::string name, unsigned uid)
    : k_(k), pid_(pid), name_(std::move(name)), uid_(uid)
{
}

Process::~Process() { exit(); }

uint32_t Process::alloc(uint32_t length, bool readable, bool writable)
{
    SyscallScope scope(*this);
    return mm_.map(length, readable, writable);
}

bool Process::free(uint32_t addr)
{
    SyscallScope scope(*this);
    return mm_.unmap(addr);
}

// The process's own accesses fault pages in as the process, as a page fault would.
bool Process::poke(uint32_t addr, const void* src, size_t n)
{
    SyscallScope scope(*this);
    return mm_.copy_out(addr, src, n, true) == 0;
}

bool Process::peek(uint32_t addr, void* dst, size_t n)
{
    SyscallScope scope(*this);
    return mm_.copy_in(dst, addr, n, true) == 0;
}

const unsigned char* Process::view(uint32_t addr, size_t n)
{
    SyscallScope scope(*this);
    return mm_.view(addr, n, true);
}

uint32_t Process::peek_u32(uint32_t addr)
{
    uint32_t v = 0;
    peek(addr, &v, 4);
    return v;
}

struct file* Process::file_of(int fd)
{
    std::lock_guard<std::mutex> g(filesMu_);
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size())
        return nullptr;
    return files_[fd];
}

struct file* Process::fget(int fd)
{
    std::lock_guard<std::mutex> g(filesMu_);
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size() || !files_[fd])
        return nullptr;
    atomic_inc(&files_[fd]->f_count);
    return files_[fd];
}

int Process::open(const std::string& path, int flags)
{
    SyscallScope scope(*this);
    Node* node;
    struct file_operations* fops = nullptr;
    {
        std::lock_guard<std::mutex> g(k_.devMu);
        auto it = k_.nodes.find(path);
        if (it == k_.nodes.end())
            return -ENOENT;
        node = it->second.get();
        if (node->isChar)
            fops = k_.chrdevs[node->major].fops;
    }
    // Permission bits: the owner's for the owner, the others' for everyone else; root passes.
    if (uid_ != 0) {
        unsigned bits = uid_ == node->uid ? (node->mode >> 6) & 7 : node->mode & 7;
        int acc = flags & 3;
        bool wantRead = acc == O_RDONLY || acc == O_RDWR;
        bool wantWrite = acc == O_WRONLY || acc == O_RDWR;
        if ((wantRead && !(bits & 4)) || (wantWrite && !(bits & 2)))
            return -EACCES;
    }
    if (!fops || !try_module_get(fops->owner))
        return -ENXIO;
    auto* f = new ::file();
    f->f_op = fops;
    f->f_inode = &node->ino;
    f->f_flags = static_cast<unsigned>(flags);
    int acc = flags & 3;
    f->f_mode = (acc == O_RDONLY || acc == O_RDWR ? FMODE_READ : 0) |
                (acc == O_WRONLY || acc == O_RDWR ? FMODE_WRITE : 0);
    atomic_set(&f->f_count, 1);
    if (fops->open) {
        int ret = fops->open(f->f_inode, f);
        if (ret > 0)
            k_.report_bug("open operation returned a positive value");
        if (ret != 0) {
            module_put(fops->owner);
            delete f;
            return ret > 0 ? -EINVAL : ret;
        }
    }
    k_.openFiles++;
    std::lock_guard<std::mutex> g(filesMu_);
    for (size_t i = 0; i < files_.size(); i++) {
        if (!files_[i]) {
            files_[i] = f;
            return static_cast<int>(i);
        }
    }
    files_.push_back(f);
    return static_cast<int>(files_.size() - 1);
}

int Process::close(int fd)
{
    SyscallScope scope(*this);
    struct file* f;
    {
        std::lock_guard<std::mutex> g(filesMu_);
        if (fd < 0 || static_cast<size_t>(fd) >= files_.size() || !files_[fd])
            return -EBADF;
        f = files_[fd];
        files_[fd] = nullptr;
    }
    if (f->f_op && f->f_op->flush)
        f->f_op->flush(f);
    fput(f);
    return 0;
}

namespace {

// A file reference held for the length of one system call, so that a close on another
// thread cannot release the file under it.
struct FileRef {
    struct file* f;
    explicit FileRef(struct file* file) : f(file) {}
    ~FileRef()
    {
        if (f)
            fput(f);
    }
    FileRef(const FileRef&) = delete;
    FileRef& operator=(const FileRef&) = delete;
};

} // namespace

long Process::read(int fd, uint32_t buf, size_t count)
{
    SyscallScope scope(*this);
    FileRef ref(fget(fd));
    struct file* f = ref.f;
    if (!f)
        return -EBADF;
    if (!f->f_op->read)
        return -EINVAL;
    return f->f_op->read(f, buf, count, &f->f_pos);
}

long Process::write(int fd, uint32_t buf, size_t count)
{
    SyscallScope scope(*this);
    FileRef ref(fget(fd));
    struct file* f = ref.f;
    if (!f)
        return -EBADF;
    if (!f->f_op->write)
        return -EINVAL;
    return f->f_op->write(f, buf, count, &f->f_pos);
}

int Process::poll(int fd)
{
    SyscallScope scope(*this);
    FileRef ref(fget(fd));
    struct file* f = ref.f;
    if (!f)
        return -EBADF;
    constexpr int kDefaultPollMask = 0x0001 | 0x0004 | 0x0040 | 0x0100; // IN OUT RDNORM WRNORM
    if (!f->f_op->poll)
        return kDefaultPollMask;
    return static_cast<int>(f->f_op->poll(f, nullptr));
}

int Process::ioctl(int fd, unsigned int cmd, unsigned long arg)
{
    SyscallScope scope(*this);
    FileRef ref(fget(fd));
    struct file* f = ref.f;
    if (!f)
        return -EBADF;
    if (!f->f_op->ioctl)
        return -ENOTTY;
    return f->f_op->ioctl(f->f_inode, f, cmd, arg);
}

long Process::mmap(uint32_t length, int prot, int flags, int fd, uint32_t pgoff)
{
    SyscallScope scope(*this);
    if (prot & ~(PROT_READ | PROT_WRITE | PROT_EXEC))
        return -EINVAL;
    int type = flags & MAP_TYPE;
    if ((flags & ~MAP_TYPE) != 0 || (type != MAP_SHARED && type != MAP_PRIVATE))
        return -EINVAL;
    FileRef ref(fget(fd));
    struct file* f = ref.f;
    if (!f)
        return -EBADF;
    if (!f->f_op || !f->f_op->mmap)
        return -ENODEV;
    uint64_t pages = (uint64_t(length) + PAGE_SIZE - 1) >> PAGE_SHIFT;
    if (pages == 0 || uint64_t(pgoff) + pages >= 0x100000000ull)
        return -EINVAL;

    unsigned long vmFlags = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
    if (prot & PROT_READ)
        vmFlags |= VM_READ;
    if (prot & PROT_WRITE)
        vmFlags |= VM_WRITE;
    if (prot & PROT_EXEC)
        vmFlags |= VM_EXEC;
    if (type == MAP_SHARED) {
        if ((prot & PROT_WRITE) && !(f->f_mode & FMODE_WRITE))
            return -EACCES;
        vmFlags |= VM_SHARED | VM_MAYSHARE;
        // A file that cannot be written can only be shared as a read-only private copy.
        if (!(f->f_mode & FMODE_WRITE))
            vmFlags &= ~(VM_MAYWRITE | VM_SHARED);
    }
    if (!(f->f_mode & FMODE_READ))
        return -EACCES;
    return mm_.map_file(f, length, vmFlags, pgoff);
}

int Process::munmap(uint32_t addr, uint32_t length)
{
    SyscallScope scope(*this);
    return mm_.unmap_range(addr, length);
}

Process& Process::fork()
{
    SyscallScope scope(*this);
    Process& child = Machine::running().spawn(name_, uid_);
    {
        std::lock_guard<std::mutex> g(filesMu_);
        for (struct file* f : files_)
            if (f)
                atomic_inc(&f->f_count);
        child.files_ = files_;
    }
    child.mm_.fork_from(mm_);
    return child;
}

void Process::exit()
{
    if (exited_)
        return;
    {
        // The memory goes first, as the kernel's exit does: the mappings' references on
        // files are dropped before the descriptors are closed.
        SyscallScope scope(*this);
        mm_.unmap_all();
    }
    std::vector<int> open;
    {
        std::lock_guard<std::mutex> g(filesMu_);
        for (size_t i = 0; i < files_.size(); i++)
            if (files_[i])
                open.push_back(static_cast<int>(i));
    }
    for (int fd : open)
        close(fd);
    exited_ = true;
}

void fput(struct file* f)
{
    if (!atomic_dec_and_test(&f->f_count))
        return;
    const struct file_operations* fops = f->f_op;
    if (fops->release)
        fops->release(f->f_inode, f);
    module_put(fops->owner);
    K().openFiles--;
    delete f;
}

} // namespace sim

// ------------------------------------------------------------------ kernel copies

namespace {

sim::AddressSpace* current_mm()
{
    sim::Process* p = sim::current_task()->proc;
    return p ? &p->mm() : nullptr;
}

} // namespace

unsigned long copy_to_user(user_addr_t to, const void* from, unsigned long n)
{
    might_sleep();
    sim::AddressSpace* mm = current_mm();
    return mm ? mm->copy_out(to, from, n) : n;
}

unsigned long copy_from_user(void* to, user_addr_t from, unsigned long n)
{
    might_sleep();
    sim::AddressSpace* mm = current_mm();
    if (!mm) {
        memset(to, 0, n);
        return n;
    }
    return mm->copy_in(to, from, n);
}

int get_user(u32& x, user_addr_t ptr)
{
    u32 v;
    if (copy_from_user(&v, ptr, sizeof v) != 0)
        return -EFAULT;
    x = v;
    return 0;
}

int put_user(u32 x, user_addr_t ptr) { return copy_to_user(ptr, &x, sizeof x) ? -EFAULT : 0; }
