// A simulated user process: a 32-bit address space and the system calls an agent makes.
// Every system call runs on the calling host thread, as that process, and returns what the
// kernel returned (a negative error number on failure), as the raw system call would.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct file;

namespace sim {

struct Kernel;

// The user half of a process's memory: regions it allocated, separated by unmapped guard
// pages. Addresses are 32-bit; address 0 and everything from 0xC0000000 up are never mapped.
class AddressSpace {
public:
    static constexpr uint32_t kBase = 0x10000000;
    static constexpr uint32_t kTop = 0xC0000000;

    // Maps a fresh zeroed region of at least length bytes (whole pages); 0 when out of space.
    uint32_t map(uint32_t length, bool readable, bool writable);
    // Unmaps the region that starts at addr; false when there is none.
    bool unmap(uint32_t addr);
    void unmap_all();

    // Copies as many bytes as are accessible from the start of the range and returns how
    // many could not be copied (the kernel's copy rule).
    size_t copy_in(void* dst, uint32_t src, size_t n);        // user -> kernel, needs read
    size_t copy_out(uint32_t dst, const void* src, size_t n); // kernel -> user, needs write

private:
    struct Region {
        uint32_t start = 0, length = 0;
        bool readable = true, writable = true;
        std::vector<unsigned char> bytes;
    };
    Region* find(uint32_t addr);
    std::mutex mu_;
    std::map<uint32_t, Region> regions_;
    uint32_t next_ = kBase;
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

    // User memory, as the process's own code would use it.
    uint32_t alloc(uint32_t length, bool readable = true, bool writable = true);
    bool free(uint32_t addr);
    bool poke(uint32_t addr, const void* src, size_t n);
    bool peek(uint32_t addr, void* dst, size_t n);
    bool poke_u32(uint32_t addr, uint32_t value) { return poke(addr, &value, 4); }
    uint32_t peek_u32(uint32_t addr);
    AddressSpace& mm() { return mm_; }

    // System calls.
    int open(const std::string& path, int flags = 2 /* O_RDWR */);
    int close(int fd);
    long read(int fd, uint32_t buf, size_t count);
    long write(int fd, uint32_t buf, size_t count);
    int poll(int fd); // the event mask, or a negative error
    int ioctl(int fd, unsigned int cmd, unsigned long arg);
    // Ends the process: closes every file and unmaps its memory.
    void exit();

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
