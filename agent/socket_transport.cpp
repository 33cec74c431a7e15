#include "agent/socket_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "serve/wire.h"

namespace agent {

using wire::Op;

std::unique_ptr<SocketTransport> SocketTransport::connect(const std::string& path, std::string* error)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return nullptr;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot connect to " + path + ": " + strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SocketTransport>(new SocketTransport(fd));
}

SocketTransport::~SocketTransport()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void SocketTransport::disconnect()
{
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int64_t SocketTransport::call(wire::Encoder& request, std::vector<uint8_t>* data)
{
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ < 0)
        return -EPIPE;
    std::vector<uint8_t> reply;
    // A request that cannot be sent may still have a reply waiting: the server's parting
    // words, sent before it closed.
    bool sent = wire::send_frame(fd_, request.body());
    if (wire::recv_frame(fd_, reply) == wire::Received::Frame) {
        wire::Decoder d(reply);
        int64_t result = d.i64();
        if (d.ok() && result == -ESHUTDOWN && reply.size() > 8) {
            lose_locked(&reply);
            return -EPIPE;
        }
        if (d.ok() && sent) {
            if (data)
                data->assign(reply.begin() + 8, reply.end());
            return result;
        }
    }
    lose_locked(nullptr);
    return -EPIPE;
}

void SocketTransport::lose_locked(const std::vector<uint8_t>* goodbye)
{
    if (goodbye)
        lost_.assign(goodbye->begin() + 8, goodbye->end());
    else if (lost_.empty())
        lost_ = "lost the connection to the server (it stopped or was killed), which ends any backup it ran";
    ::close(fd_);
    fd_ = -1;
}

std::string SocketTransport::lost_reason()
{
    std::lock_guard<std::mutex> g(mu_);
    return fd_ >= 0 ? "" : lost_;
}

namespace {

wire::Encoder req(Op op)
{
    wire::Encoder e;
    e.u8(static_cast<uint8_t>(op));
    return e;
}

} // namespace

int SocketTransport::open(const std::string& path)
{
    auto r = req(Op::Open);
    r.str(path);
    return static_cast<int>(call(r));
}

int SocketTransport::close(int fd)
{
    auto r = req(Op::Close);
    r.u32(static_cast<uint32_t>(fd));
    return static_cast<int>(call(r));
}

int SocketTransport::ioctl(int fd, uint32_t cmd, uint32_t arg)
{
    auto r = req(Op::Ioctl);
    r.u32(static_cast<uint32_t>(fd)).u32(cmd).u32(arg);
    return static_cast<int>(call(r));
}

long SocketTransport::mmap_readonly(int fd, uint32_t length)
{
    auto r = req(Op::Mmap);
    r.u32(static_cast<uint32_t>(fd)).u32(length);
    return static_cast<long>(call(r));
}

int SocketTransport::munmap(uint32_t addr, uint32_t length)
{
    auto r = req(Op::Munmap);
    r.u32(addr).u32(length);
    return static_cast<int>(call(r));
}

uint32_t SocketTransport::alloc(uint32_t length)
{
    auto r = req(Op::Alloc);
    r.u32(length);
    int64_t a = call(r);
    return a > 0 ? static_cast<uint32_t>(a) : 0;
}

void SocketTransport::free(uint32_t addr)
{
    auto r = req(Op::Free);
    r.u32(addr);
    call(r);
}

bool SocketTransport::write(uint32_t addr, const void* src, size_t n)
{
    auto* p = static_cast<const uint8_t*>(src);
    for (size_t done = 0; done < n;) {
        size_t piece = std::min<size_t>(n - done, wire::kMaxData);
        auto r = req(Op::Poke);
        r.u32(addr + static_cast<uint32_t>(done)).bytes({p + done, piece});
        if (call(r) != 0)
            return false;
        done += piece;
    }
    return true;
}

bool SocketTransport::read(uint32_t addr, void* dst, size_t n)
{
    auto* p = static_cast<uint8_t*>(dst);
    std::vector<uint8_t> data;
    for (size_t done = 0; done < n;) {
        size_t piece = std::min<size_t>(n - done, wire::kMaxData);
        auto r = req(Op::Peek);
        r.u32(addr + static_cast<uint32_t>(done)).u32(static_cast<uint32_t>(piece));
        if (call(r, &data) != 0 || data.size() != piece)
            return false;
        memcpy(p + done, data.data(), piece);
        done += piece;
    }
    return true;
}

std::string SocketTransport::info()
{
    auto r = req(Op::Info);
    std::vector<uint8_t> data;
    if (call(r, &data) != 0)
        return "";
    return {data.begin(), data.end()};
}

std::string SocketTransport::status()
{
    auto r = req(Op::Status);
    std::vector<uint8_t> data;
    if (call(r, &data) != 0)
        return "";
    return {data.begin(), data.end()};
}

int SocketTransport::report(const std::string& json)
{
    auto r = req(Op::Report);
    r.str(json);
    return static_cast<int>(call(r));
}

int SocketTransport::export_snapshot(int fd, uint32_t block_size, uint32_t blocks, std::string& socket_path)
{
    auto r = req(Op::SnapshotExport);
    r.u32(static_cast<uint32_t>(fd)).u32(block_size).u32(blocks);
    std::vector<uint8_t> data;
    int64_t rc = call(r, &data);
    if (rc == 0)
        socket_path.assign(data.begin(), data.end());
    return static_cast<int>(rc);
}

int SocketTransport::end_snapshot_export()
{
    auto r = req(Op::SnapshotEnd);
    return static_cast<int>(call(r));
}

} // namespace agent
