// The nbdkit plugin of the live machine: each NBD connection gets a connection of its own
// to `kestrel serve`'s control socket, bound to one export, and every request is forwarded
// there, where it runs through the machine's block layer. Requests are aligned to 512-byte
// sectors; the machine refuses anything else and anything past the end of the export.
//
//   nbdkit kestrel-nbd.so socket=/run/kestrel/kestrel.sock export=sda1
#define NBDKIT_API_VERSION 2
#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL
#include <nbdkit-plugin.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "serve/wire.h"

namespace {

std::string g_socket, g_export;

struct Handle {
    int fd = -1;
    int64_t size = 0;
    bool readonly = false;
    std::mutex mu; // one request at a time on the connection to the machine
};

int config(const char* key, const char* value)
{
    if (strcmp(key, "socket") == 0)
        g_socket = value;
    else if (strcmp(key, "export") == 0)
        g_export = value;
    else {
        nbdkit_error("unknown parameter %s", key);
        return -1;
    }
    return 0;
}

int config_complete()
{
    if (g_socket.empty() || g_export.empty()) {
        nbdkit_error("socket= and export= are required");
        return -1;
    }
    return 0;
}

// Sends a request and waits for its reply: the result (a negative error is set as the
// request's error and -1 returned), with the reply's data copied to out.
int64_t call(Handle* h, wire::Encoder& req, void* out = nullptr, size_t out_len = 0)
{
    std::lock_guard<std::mutex> g(h->mu);
    std::vector<uint8_t> reply;
    if (h->fd < 0 || !wire::send_frame(h->fd, req.body()) ||
        wire::recv_frame(h->fd, reply) != wire::Received::Frame || reply.size() < 8) {
        nbdkit_error("lost the connection to the machine");
        nbdkit_set_error(EIO);
        return -1;
    }
    wire::Decoder d(reply);
    int64_t r = d.i64();
    if (r < 0) {
        nbdkit_set_error(static_cast<int>(-r));
        return -1;
    }
    if (out) {
        if (reply.size() - 8 != out_len) {
            nbdkit_set_error(EIO);
            return -1;
        }
        memcpy(out, reply.data() + 8, out_len);
    }
    return r;
}

wire::Encoder request(wire::Op op)
{
    wire::Encoder e;
    e.u8(static_cast<uint8_t>(op));
    return e;
}

void* open_export(int readonly)
{
    auto* h = new Handle;
    h->readonly = readonly != 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (g_socket.size() >= sizeof addr.sun_path) {
        nbdkit_error("socket path too long: %s", g_socket.c_str());
        delete h;
        return nullptr;
    }
    memcpy(addr.sun_path, g_socket.c_str(), g_socket.size() + 1);
    h->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h->fd < 0 || connect(h->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        nbdkit_error("cannot connect to %s: %s", g_socket.c_str(), strerror(errno));
        if (h->fd >= 0)
            close(h->fd);
        delete h;
        return nullptr;
    }
    auto r = request(wire::Op::Attach);
    r.str(g_export).u8(h->readonly ? 1 : 0);
    h->size = call(h, r);
    if (h->size < 0) {
        nbdkit_error("the machine has no export %s", g_export.c_str());
        close(h->fd);
        delete h;
        return nullptr;
    }
    return h;
}

void close_export(void* handle)
{
    auto* h = static_cast<Handle*>(handle);
    if (h->fd >= 0)
        close(h->fd);
    delete h;
}

int64_t get_size(void* handle) { return static_cast<Handle*>(handle)->size; }
int can_write(void* handle) { return !static_cast<Handle*>(handle)->readonly; }
int can_trim(void* handle) { return !static_cast<Handle*>(handle)->readonly; }
int can_flush(void*) { return 1; }
int can_fua(void*) { return NBDKIT_FUA_NATIVE; }
// A flush makes every connection's completed writes durable (the image is synced).
int can_multi_conn(void*) { return 1; }

int block_size(void*, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum)
{
    *minimum = 512;
    *preferred = 4096;
    *maximum = wire::kMaxData;
    return 0;
}

int pread(void* handle, void* buf, uint32_t count, uint64_t offset, uint32_t)
{
    auto r = request(wire::Op::BlockRead);
    r.u64(offset).u32(count);
    return call(static_cast<Handle*>(handle), r, buf, count) < 0 ? -1 : 0;
}

int flush(void* handle, uint32_t)
{
    auto r = request(wire::Op::BlockFlush);
    return call(static_cast<Handle*>(handle), r) < 0 ? -1 : 0;
}

// Sends a request that changes the export, then a flush when the client asked for the
// change to be durable before the answer (FUA).
int change(void* handle, wire::Encoder& r, uint32_t flags)
{
    if (call(static_cast<Handle*>(handle), r) < 0)
        return -1;
    return flags & NBDKIT_FLAG_FUA ? flush(handle, 0) : 0;
}

int pwrite(void* handle, const void* buf, uint32_t count, uint64_t offset, uint32_t flags)
{
    auto r = request(wire::Op::BlockWrite);
    r.u64(offset).bytes({static_cast<const uint8_t*>(buf), count});
    return change(handle, r, flags);
}

int trim(void* handle, uint32_t count, uint64_t offset, uint32_t flags)
{
    auto r = request(wire::Op::BlockTrim);
    r.u64(offset).u32(count);
    return change(handle, r, flags);
}

nbdkit_plugin make_plugin()
{
    nbdkit_plugin p{};
    p.name = "kestrel";
    p.longname = "kestrel live machine";
    p.version = "1";
    p.description = "serves a disk or partition of a running kestrel machine";
    p.config = config;
    p.config_complete = config_complete;
    p.config_help = "socket=<PATH>  the machine's control socket\nexport=<NAME>  the device (sda, sda1, snapshot)";
    p.open = open_export;
    p.close = close_export;
    p.get_size = get_size;
    p.can_write = can_write;
    p.can_flush = can_flush;
    p.can_trim = can_trim;
    p.can_multi_conn = can_multi_conn;
    p.can_fua = can_fua;
    p.pread = pread;
    p.pwrite = pwrite;
    p.flush = flush;
    p.trim = trim;
    p.block_size = block_size;
    p.errno_is_preserved = 0;
    return p;
}

nbdkit_plugin plugin = make_plugin();

} // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
