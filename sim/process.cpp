// Processes: the user address space, the kernel's copies to and from it, and the system
// calls on files.
#include "sim/process.h"

#include "sim/internal.h"

namespace sim {

// ------------------------------------------------------------------ address space

uint32_t AddressSpace::map(uint32_t length, bool readable, bool writable)
{
    if (length == 0)
        return 0;
    uint64_t len = (uint64_t(length) + PAGE_SIZE - 1) & PAGE_MASK;
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(next_) + len > kTop)
        return 0;
    Region r;
    r.start = next_;
    r.length = static_cast<uint32_t>(len);
    r.readable = readable;
    r.writable = writable;
    r.bytes.assign(len, 0);
    next_ = static_cast<uint32_t>(next_ + len + PAGE_SIZE); // one unmapped guard page
    uint32_t start = r.start;
    regions_.emplace(start, std::move(r));
    return start;
}

bool AddressSpace::unmap(uint32_t addr)
{
    std::lock_guard<std::mutex> g(mu_);
    return regions_.erase(addr) != 0;
}

void AddressSpace::unmap_all()
{
    std::lock_guard<std::mutex> g(mu_);
    regions_.clear();
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

size_t AddressSpace::copy_in(void* dst, uint32_t src, size_t n)
{
    auto* out = static_cast<unsigned char*>(dst);
    size_t done = 0;
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(src) + n <= kTop) {
        while (done < n) {
            Region* r = find(static_cast<uint32_t>(src + done));
            if (!r || !r->readable)
                break;
            uint32_t off = static_cast<uint32_t>(src + done) - r->start;
            size_t chunk = std::min<size_t>(n - done, r->length - off);
            memcpy(out + done, r->bytes.data() + off, chunk);
            done += chunk;
        }
    }
    memset(out + done, 0, n - done);
    return n - done;
}

size_t AddressSpace::copy_out(uint32_t dst, const void* src, size_t n)
{
    auto* in = static_cast<const unsigned char*>(src);
    size_t done = 0;
    std::lock_guard<std::mutex> g(mu_);
    if (uint64_t(dst) + n > kTop)
        return n;
    while (done < n) {
        Region* r = find(static_cast<uint32_t>(dst + done));
        if (!r || !r->writable)
            break;
        uint32_t off = static_cast<uint32_t>(dst + done) - r->start;
        size_t chunk = std::min<size_t>(n - done, r->length - off);
        memcpy(r->bytes.data() + off, in + done, chunk);
        done += chunk;
    }
    return n - done;
}

// ------------------------------------------------------------------ system call context

SyscallScope::SyscallScope(Process& p) : task_(current_task())
{
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
}

// ------------------------------------------------------------------ process

Process::Process(Kernel& k, int pid, std::string name, unsigned uid)
    : k_(k), pid_(pid), name_(std::move(name)), uid_(uid)
{
}

Process::~Process() { exit(); }

uint32_t Process::alloc(uint32_t length, bool readable, bool writable)
{
    return mm_.map(length, readable, writable);
}

bool Process::free(uint32_t addr) { return mm_.unmap(addr); }

bool Process::poke(uint32_t addr, const void* src, size_t n) { return mm_.copy_out(addr, src, n) == 0; }

bool Process::peek(uint32_t addr, void* dst, size_t n) { return mm_.copy_in(dst, addr, n) == 0; }

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

long Process::read(int fd, uint32_t buf, size_t count)
{
    SyscallScope scope(*this);
    struct file* f = file_of(fd);
    if (!f)
        return -EBADF;
    if (!f->f_op->read)
        return -EINVAL;
    return f->f_op->read(f, buf, count, &f->f_pos);
}

long Process::write(int fd, uint32_t buf, size_t count)
{
    SyscallScope scope(*this);
    struct file* f = file_of(fd);
    if (!f)
        return -EBADF;
    if (!f->f_op->write)
        return -EINVAL;
    return f->f_op->write(f, buf, count, &f->f_pos);
}

int Process::poll(int fd)
{
    SyscallScope scope(*this);
    struct file* f = file_of(fd);
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
    struct file* f = file_of(fd);
    if (!f)
        return -EBADF;
    if (!f->f_op->ioctl)
        return -ENOTTY;
    return f->f_op->ioctl(f->f_inode, f, cmd, arg);
}

void Process::exit()
{
    if (exited_)
        return;
    std::vector<int> open;
    {
        std::lock_guard<std::mutex> g(filesMu_);
        for (size_t i = 0; i < files_.size(); i++)
            if (files_[i])
                open.push_back(static_cast<int>(i));
    }
    for (int fd : open)
        close(fd);
    mm_.unmap_all();
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
