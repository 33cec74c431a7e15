// A simulated user process: a 32-bit address space and the system calls an agent makes.
// Every system call runs on the calling host thread, as that process, and returns what the
// kernel returned (a negative error number on failure), as the raw system call would.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct file;
struct page;
struct rw_semaphore;
struct vm_area_struct;

namespace sim {

struct Kernel;

// The user half of a process's memory: anonymous regions it allocated and mappings of
// files, each followed by an unmapped guard page. Addresses are 32-bit; address 0 and
// everything from 0xC0000000 up are never mapped. The addresses of an unmapped region are
// handed out again (lowest free range first, as the kernel's free-area cache does), each
// time as fresh memory.
//
// A file mapping starts with no page present. The first access to one of its pages calls
// the mapping's nopage operation and installs the page it returns (keeping the reference
// nopage took, given back at unmap); a mapping without nopage gets a zeroed private page,
// as an anonymous one would. Accesses read and write the installed page itself, so what
// the kernel writes into it later is what the process sees. A write to a private mapping
// gives the process its own copy of the page first (copy on write).
//
// Locking, as 2.6.9 does it: mmap_sem is held for writing while mappings are made and
// unmapped (so a file's mmap operation and a mapping's open and close run under it, and so
// does the release of a file whose last reference a mapping held), and for reading by
// every access of the kernel or the process to user memory. The kernel faults in an
// anonymous page on its first touch too, which this address space does not model, so
// every copy counts as one that may fault. Inside, one mutex guards the regions and their
// page tables; faults call nopage with it held, so the faults of one address space are
// serialised. The exit of the process unmaps everything without mmap_sem (nobody else
// can reach the address space any more).
class AddressSpace {
public:
    static constexpr uint32_t kBase = 0x10000000;
    static constexpr uint32_t kTop = 0xC0000000;

    AddressSpace();
    AddressSpace(const AddressSpace&) = delete;
    AddressSpace& operator=(const AddressSpace&) = delete;
    ~AddressSpace();

    // Maps a fresh zeroed region of at least length bytes (whole pages), holding mmap_sem for
    // writing; 0 when out of space.
    uint32_t map(uint32_t length, bool readable, bool writable);
    // Maps length bytes (rounded up to whole pages) of an open file from page pgoff on: builds
    // the mapping with vm_flags, takes a reference on the file and calls its mmap operation,
    // which must not return a positive value (that is reported as a kernel bug and taken as
    // -EINVAL). Returns the address, or a negative error: -ENOMEM when the address space is
    // full, or the mmap operation's error (the file reference is given back then).
    long map_file(struct file* f, uint32_t length, unsigned long vm_flags, uint32_t pgoff);
    // Unmaps every region that lies in [addr, addr + length). 0, or -EINVAL when addr is not
    // page-aligned, length is 0, the range reaches kernel space or cuts a region in part
    // (nothing is unmapped then). A range with nothing mapped in it is not an error.
    int unmap_range(uint32_t addr, uint32_t length);
    // Unmaps the region that starts at addr; false when there is none.
    bool unmap(uint32_t addr);
    void unmap_all();
    // Fills this empty address space with a copy of parent's, as fork does (holding the
    // parent's mmap_sem for writing): anonymous regions are copied; every file mapping not
    // marked VM_DONTCOPY gets a new mapping record (same fields, a new reference on the
    // file, the open operation called on it) and a copy of the parent's page table: every
    // page of the file the parent has present is present in the child too (with a
    // reference of its own), and the pages the parent wrote privately are copied.
    void fork_from(AddressSpace& parent);

    // The semaphore of the address space's mappings (see above).
    struct rw_semaphore* mmap_sem() { return mmapSem_.get(); }

    // Copies as many bytes as are accessible from the start of the range and returns how
    // many could not be copied (the kernel's copy rule); copy_in zero-fills the rest.
    // user: the access is the process's own, so a bus error is recorded against it (a copy
    // the kernel makes fails without a signal, as the kernel's fixup does).
    size_t copy_in(void* dst, uint32_t src, size_t n, bool user = false);        // needs read
    size_t copy_out(uint32_t dst, const void* src, size_t n, bool user = false); // needs write
    // The n readable bytes at addr in place, as the process would read them through a
    // pointer, faulting their page in; nullptr when the range is not readable or leaves
    // its page (its region, for anonymous memory). The bytes stay there while the page is
    // mapped and the process does not write to it (a private mapping would copy the page).
    const unsigned char* view(uint32_t addr, size_t n, bool user = false);

    // Accesses of the process that met a page nopage could not serve (SIGBUS).
    unsigned bus_errors() const { return busErrors_.load(); }
    // Whether the page holding addr is present (always, for anonymous memory).
    bool present(uint32_t addr);

private:
    struct UserPage {
        ::page* page = nullptr;                // handed out by nopage, one reference held
        std::unique_ptr<unsigned char[]> own;  // the process's private copy or zero page
    };
    struct Region {
        uint32_t start = 0, length = 0;
        bool readable = true, writable = true; // anonymous regions
        std::vector<unsigned char> bytes;      // anonymous regions
        std::unique_ptr<::vm_area_struct> vma;  // file mappings
        std::vector<UserPage> pages;           // file mappings, one per page
    };
    Region* find(uint32_t addr);
    uint32_t find_free_locked(uint32_t from, uint64_t len) const;
    uint32_t reserve_locked(uint64_t len);
    void forget_locked(uint32_t start);
    unsigned char* reach(uint32_t addr, bool write, bool user, size_t* avail);
    bool fault(Region& r, size_t index, bool user);
    static void release(Region& r);
    std::unique_ptr<struct rw_semaphore> mmapSem_;
    std::mutex mu_;
    std::map<uint32_t, Region> regions_;       // guarded by mu_
    uint32_t freeAreaCache_ = kBase;           // guarded by mu_: where the next search starts
    std::atomic<unsigned> busErrors_{0};
};

class Process;
struct Task;

// Runs the calling host thread as a process for the length of one system call, and checks
// on the way out that the kernel left no lock held.
class SyscallScope {
public:
    explicit SyscallScope(Process& p);
    ~SyscallScope();
    SyscallScope(const SyscallScope&) = delete;
    SyscallScope& operator=(const SyscallScope&) = delete;

private:
    Task* task_;
    Process* savedProc_;
    unsigned savedUid_;
};

class Process {
public:
    Process(Kernel& k, int pid, std::string name, unsigned uid);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return pid_; }
    unsigned uid() const { return uid_; }
    const std::string& name() const { return name_; }
    bool exited() const { return exited_; }

    // User memory, as the process's own code would use it. free unmaps the region or
    // mapping that starts at addr. peek and poke fail when any byte of the range is not
    // accessible; touching a page of a file mapping may fault it in (see AddressSpace).
    uint32_t alloc(uint32_t length, bool readable = true, bool writable = true);
    bool free(uint32_t addr);
    bool poke(uint32_t addr, const void* src, size_t n);
    bool peek(uint32_t addr, void* dst, size_t n);
    bool poke_u32(uint32_t addr, uint32_t value) { return poke(addr, &value, 4); }
    uint32_t peek_u32(uint32_t addr);
    // Reads in place instead of copying (see AddressSpace::view).
    const unsigned char* view(uint32_t addr, size_t n);
    AddressSpace& mm() { return mm_; }

    // System calls.
    int open(const std::string& path, int flags = 2 /* O_RDWR */);
    int close(int fd);
    long read(int fd, uint32_t buf, size_t count);
    long write(int fd, uint32_t buf, size_t count);
    int poll(int fd); // the event mask, or a negative error
    int ioctl(int fd, unsigned int cmd, unsigned long arg);
    // Maps length bytes of the open file fd from page pgoff on, as mmap2 does. prot:
    // PROT_READ, PROT_WRITE, PROT_EXEC; flags: exactly one of MAP_SHARED and MAP_PRIVATE
    // (the host's <sys/mman.h> values, which are Linux's). The vm_flags are worked out as
    // Linux does: the prot bits, VM_MAYREAD|VM_MAYWRITE|VM_MAYEXEC, and for MAP_SHARED
    // VM_SHARED|VM_MAYSHARE (without VM_SHARED and VM_MAYWRITE when the file is not open for
    // writing). Returns the address, or -EBADF, -ENODEV (the file cannot be mapped), -EACCES
    // (the file's open mode forbids the mapping), -EINVAL (length 0, bad prot or flags,
    // offset overflow; MAP_FIXED and MAP_ANONYMOUS are not supported), -ENOMEM, or the error
    // of the file's mmap operation.
    long mmap(uint32_t length, int prot, int flags, int fd, uint32_t pgoff = 0);
    // Unmaps the mappings in [addr, addr + length): their pages are given back, their close
    // operations called and their file references dropped. 0 or -EINVAL (see
    // AddressSpace::unmap_range; a mapping can only be unmapped whole).
    int munmap(uint32_t addr, uint32_t length);
    // A child process (same name and owner, a new pid) whose address space is a copy of
    // this one's (AddressSpace::fork_from) and whose descriptors share this process's open
    // files. The machine owns it.
    Process& fork();
    // Ends the process: unmaps its memory, then closes every file.
    void exit();
    // Accesses of this process that ended in a bus error (SIGBUS).
    unsigned bus_errors() const { return mm_.bus_errors(); }

    // The open file behind a descriptor (nullptr when none), for tests that look inside.
    struct file* file_of(int fd);

    // Runs fn on the calling thread as this process, as inside one of its system calls,
    // for tests that call kernel functions directly.
    template <class F>
    auto as_current(F&& fn)
    {
        SyscallScope scope(*this);
        return fn();
    }

private:
    friend class SyscallScope;
    // The open file behind a descriptor with a reference (given back with fput), or nullptr.
    struct file* fget(int fd);
    Kernel& k_;
    int pid_;
    std::string name_;
    unsigned uid_;
    bool exited_ = false;
    AddressSpace mm_;
    std::mutex filesMu_;
    std::vector<struct file*> files_;
};

} // namespace sim
