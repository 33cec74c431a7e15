// The transport of an agent that runs as a process of the simulated machine.
#pragma once

#include <sys/mman.h>

#include "agent/transport.h"
#include "sim/process.h"

namespace agent {

class SimTransport : public Transport {
public:
    explicit SimTransport(sim::Process& process) : p_(process) {}
    int open(const std::string& path) override { return p_.open(path); }
    int close(int fd) override { return p_.close(fd); }
    int ioctl(int fd, uint32_t cmd, uint32_t arg) override { return p_.ioctl(fd, cmd, arg); }
    long mmap_readonly(int fd, uint32_t length) override
    {
        return p_.mmap(length, PROT_READ, MAP_PRIVATE, fd);
    }
    int munmap(uint32_t addr, uint32_t length) override { return p_.munmap(addr, length); }
    uint32_t alloc(uint32_t length) override { return p_.alloc(length); }
    void free(uint32_t addr) override { p_.free(addr); }
    bool write(uint32_t addr, const void* src, size_t n) override { return p_.poke(addr, src, n); }
    bool read(uint32_t addr, void* dst, size_t n) override { return p_.peek(addr, dst, n); }
    const uint8_t* view(uint32_t addr, size_t n) override { return p_.view(addr, n); }

private:
    sim::Process& p_;
};

} // namespace agent
