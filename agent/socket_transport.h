// The transport of an agent in another host process than the live machine's: each system
// call travels to `kestrel serve` over its control socket and runs there in a process of
// the machine that stands for this agent. The machine ends that process (closing its files
// and dropping its mappings) when the connection closes, as the kernel does at exit.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/transport.h"

namespace wire {
class Encoder;
}

namespace agent {

class SocketTransport : public Transport {
public:
    // Connects to the control socket at path; nullptr with a one-line *error when it cannot.
    static std::unique_ptr<SocketTransport> connect(const std::string& path, std::string* error);
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    // Every call returns -EPIPE (or false, or 0) once the connection is lost.
    int open(const std::string& path) override;
    int close(int fd) override;
    int ioctl(int fd, uint32_t cmd, uint32_t arg) override;
    long mmap_readonly(int fd, uint32_t length) override;
    int munmap(uint32_t addr, uint32_t length) override;
    uint32_t alloc(uint32_t length) override;
    void free(uint32_t addr) override;
    bool write(uint32_t addr, const void* src, size_t n) override;
    bool read(uint32_t addr, void* dst, size_t n) override;

    // The machine's disks, partitions and exports as JSON text; "" when the request failed.
    std::string info();
    // What `kestrel status` shows, as JSON text; "" when the request failed.
    std::string status();
    // Tells the machine how the backup of a device ended (JSON text: "device", "id", "ok",
    // "incremental", "full_reason", "error"): 0 or a negative error.
    int report(const std::string& json);
    // Asks the machine to serve the snapshot of the backup on control file fd over NBD,
    // read-only: 0 with the export's socket path, or a negative error.
    int export_snapshot(int fd, uint32_t block_size, uint32_t blocks, std::string& socket_path);
    int end_snapshot_export();

    // Drops the connection without a word, as the agent's death would; later calls fail.
    void disconnect();
    bool connected() const { return fd_ >= 0; }
    // Why the connection was lost, in words for the user ("" while it lasts): what the
    // server said when it shut down (which ends a backup this agent ran), or that it went
    // away without a word.
    std::string lost_reason();

private:
    explicit SocketTransport(int fd) : fd_(fd) {}
    // Sends the request and waits for the reply: its result, with its data in *data when
    // given; -EPIPE (and the connection closed) when the connection failed.
    int64_t call(wire::Encoder& request, std::vector<uint8_t>* data = nullptr);

    // Closes the connection after it failed, keeping the server's parting words if it sent
    // any. mu_ held.
    void lose_locked(const std::vector<uint8_t>* goodbye);

    std::mutex mu_; // one request at a time on the connection
    int fd_;        // guarded by mu_
    std::string lost_; // guarded by mu_
};

} // namespace agent
