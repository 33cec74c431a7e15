// How the agent reaches the control device: open, ioctl, mmap and the agent's own memory.
// The first implementation is a process of the simulated machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace agent {

class Transport {
public:
    virtual ~Transport() = default;
    // System calls: a descriptor or result, or a negative error number.
    virtual int open(const std::string& path) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, uint32_t cmd, uint32_t arg) = 0;
    // A read-only private mapping of length bytes of the file: its address, or a negative
    // error; and its removal.
    virtual long mmap_readonly(int fd, uint32_t length) = 0;
    virtual int munmap(uint32_t addr, uint32_t length) = 0;
    // The agent's memory: a fresh zeroed buffer (0 when none), its release, and access.
    virtual uint32_t alloc(uint32_t length) = 0;
    virtual void free(uint32_t addr) = 0;
    virtual bool write(uint32_t addr, const void* src, size_t n) = 0;
    virtual bool read(uint32_t addr, void* dst, size_t n) = 0;
    // The n bytes of the agent's memory at addr in place, for a transport that can reach
    // them without a copy; nullptr when it cannot (read() them instead). Valid until the
    // memory is unmapped or freed, or the next command that may fill it.
    virtual const uint8_t* view(uint32_t, size_t) { return nullptr; }
};

} // namespace agent
