// The nbdkit plugin of the live machine: one nbdkit serves every disk and partition of the
// machine by export name (sda, sda1, ..., and "snapshot" while a backup's snapshot is
// exported; "" is the first disk). Each NBD connection gets a connection of its own to
// `kestrel serve`'s control socket, bound to the export the client named, and every
// request is forwarded there, where it runs through the machine's block layer. Requests
// are aligned to 512-byte sectors; the machine refuses anything else and anything past the
// end of the export.
// Reads and writes of up to the advertised maximum travel in pieces the machine takes. A
// request that fails fails alone: when the connection to the machine is lost, the next
// request connects again. Only the user running nbdkit may connect.
//
//   nbdkit kestrel-nbd.so socket=/run/kestrel/kestrel.sock
//   nbdcopy 'nbd+unix:///sda1?socket=/run/kestrel/kestrel.nbd' copy.img
#define NBDKIT_API_VERSION 2
#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL
#include <nbdkit-plugin.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "serve/wire.h"

namespace {

std::string g_socket;

struct Handle {
    std::string name;     // the export
    int fd = -1;          // the connection to the machine; -1 after it was lost
    int64_t size = 0;
    bool readonly = false;
    std::mutex mu;        // one request at a time on the connection to the machine
};

int config(const char* key, const char* value)
{
    if (strcmp(key, "socket") == 0)
        g_socket = value;
    else {
        nbdkit_error("unknown parameter %s", key);
        return -1;
    }
    return 0;
}

int config_complete()
{
    if (g_socket.empty()) {
        nbdkit_error("socket= is required");
        return -1;
    }
    return 0;
}

wire::Encoder request(wire::Op op)
{
    wire::Encoder e;
    e.u8(static_cast<uint8_t>(op));
    return e;
}

// Sends a request on fd and waits for its reply: false when the connection failed.
bool exchange(int fd, wire::Encoder& req, std::vector<uint8_t>& reply)
{
    return wire::send_frame(fd, req.body()) && wire::recv_frame(fd, reply) == wire::Received::Frame &&
           reply.size() >= 8;
}

// A new connection to the machine's control socket, or -1 with the error reported.
int dial()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (g_socket.size() >= sizeof addr.sun_path) {
        nbdkit_error("socket path too long: %s", g_socket.c_str());
        return -1;
    }
    memcpy(addr.sun_path, g_socket.c_str(), g_socket.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        nbdkit_error("cannot connect to %s: %s", g_socket.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Connects to the machine and binds the connection to the export: the export's size, or
// a negative error (-EROFS: the export is read-only and h->readonly was not set; the other
// errors are reported).
int64_t connect_locked(Handle* h)
{
    int fd = dial();
    if (fd < 0)
        return -EIO;
    auto r = request(wire::Op::Attach);
    r.str(h->name).u8(h->readonly ? 1 : 0);
    std::vector<uint8_t> reply;
    if (!exchange(fd, r, reply)) {
        nbdkit_error("the machine at %s closed the connection", g_socket.c_str());
        close(fd);
        return -EIO;
    }
    wire::Decoder d(reply);
    int64_t size = d.i64();
    if (size < 0) {
        if (size != -EROFS)
            nbdkit_error("the machine has no export \"%s\": %s", h->name.c_str(),
                         strerror(static_cast<int>(-size)));
        close(fd);
        return size;
    }
    h->fd = fd;
    return size;
}

// The machine's export names (the first is the default export), or false with the error
// reported.
bool export_names(std::vector<std::string>& names)
{
    int fd = dial();
    if (fd < 0)
        return false;
    auto r = request(wire::Op::Exports);
    std::vector<uint8_t> reply;
    bool ok = exchange(fd, r, reply);
    close(fd);
    if (!ok) {
        nbdkit_error("the machine at %s closed the connection", g_socket.c_str());
        return false;
    }
    wire::Decoder d(std::span<const uint8_t>(reply).subspan(8));
    while (d.ok() && !d.done()) {
        std::string name = d.str(wire::kMaxName);
        if (d.ok())
            names.push_back(std::move(name));
    }
    if (!d.done()) {
        nbdkit_error("the machine sent a malformed export list");
        return false;
    }
    return true;
}

int list_exports(int, int, struct nbdkit_exports* exports)
{
    std::vector<std::string> names;
    if (!export_names(names))
        return -1;
    for (const std::string& name : names)
        if (nbdkit_add_export(exports, name.c_str(), nullptr) != 0)
            return -1;
    return 0;
}

const char* default_export(int, int)
{
    std::vector<std::string> names;
    if (!export_names(names))
        return nullptr;
    return nbdkit_strdup_intern(names.empty() ? "" : names.front().c_str());
}

// Sends a request and waits for its reply: the result (a negative error is set as the
// request's error and -1 returned), with the reply's data copied to out. A lost connection
// fails this request only; the next one connects again.
int64_t call(Handle* h, wire::Encoder& req, void* out = nullptr, size_t out_len = 0)
{
    std::lock_guard<std::mutex> g(h->mu);
    if (h->fd < 0 && connect_locked(h) < 0) {
        nbdkit_set_error(EIO);
        return -1;
    }
    std::vector<uint8_t> reply;
    if (!exchange(h->fd, req, reply)) {
        nbdkit_error("lost the connection to the machine");
        close(h->fd);
        h->fd = -1;
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

// Only the user who runs the machine (and so this nbdkit) may use its disks, as on the
// control socket.
int preconnect(int)
{
    int64_t uid = nbdkit_peer_uid();
    if (uid < 0 || static_cast<uint64_t>(uid) != geteuid()) {
        nbdkit_error("refused a client of uid %lld", static_cast<long long>(uid));
        return -1;
    }
    return 0;
}

// Binds the client to the export it named; a read-only export (the snapshot) is served
// read-only to a client that asked to write as well, and refuses its writes.
void* open_export(int readonly)
{
    const char* name = nbdkit_export_name();
    if (!name)
        return nullptr;
    auto* h = new Handle;
    h->name = name;
    h->readonly = readonly != 0;
    h->size = connect_locked(h);
    if (h->size == -EROFS) {
        h->readonly = true;
        h->size = connect_locked(h);
    }
    if (h->size < 0) {
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
int can_zero(void* handle) { return !static_cast<Handle*>(handle)->readonly; }
// A fast zero is refused at once: zeroing writes through the block layer, no faster than
// the client's own writes.
int can_fast_zero(void*) { return 1; }
// A flush makes every connection's completed writes durable (the image is synced).
int can_multi_conn(void*) { return 1; }

int block_size(void*, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum)
{
    *minimum = 512;
    *preferred = 4096;
    *maximum = wire::kMaxRequest;
    return 0;
}

int pread(void* handle, void* buf, uint32_t count, uint64_t offset, uint32_t)
{
    auto* p = static_cast<uint8_t*>(buf);
    for (uint32_t done = 0; done < count;) {
        uint32_t piece = std::min(count - done, wire::kMaxData);
        auto r = request(wire::Op::BlockRead);
        r.u64(offset + done).u32(piece);
        if (call(static_cast<Handle*>(handle), r, p + done, piece) < 0)
            return -1;
        done += piece;
    }
    return 0;
}

int flush(void* handle, uint32_t)
{
    auto r = request(wire::Op::BlockFlush);
    return call(static_cast<Handle*>(handle), r) < 0 ? -1 : 0;
}

// A flush when the client asked for the change to be durable before the answer (FUA).
int durable(void* handle, uint32_t flags)
{
    return flags & NBDKIT_FLAG_FUA ? flush(handle, 0) : 0;
}

int pwrite(void* handle, const void* buf, uint32_t count, uint64_t offset, uint32_t flags)
{
    auto* p = static_cast<const uint8_t*>(buf);
    for (uint32_t done = 0; done < count;) {
        uint32_t piece = std::min(count - done, wire::kMaxData);
        auto r = request(wire::Op::BlockWrite);
        r.u64(offset + done).bytes({p + done, piece});
        if (call(static_cast<Handle*>(handle), r) < 0)
            return -1;
        done += piece;
    }
    return durable(handle, flags);
}

int trim(void* handle, uint32_t count, uint64_t offset, uint32_t flags)
{
    auto r = request(wire::Op::BlockTrim);
    r.u64(offset).u32(count);
    if (call(static_cast<Handle*>(handle), r) < 0)
        return -1;
    return durable(handle, flags);
}

// Holes of the device's image read as zeros; the rest is data.
int can_extents(void*) { return 1; }

int extents(void* handle, uint32_t count, uint64_t offset, uint32_t flags, struct nbdkit_extents* out)
{
    auto r = request(wire::Op::BlockExtents);
    r.u64(offset).u32(count);
    std::vector<uint8_t> runs;
    {
        auto* h = static_cast<Handle*>(handle);
        std::lock_guard<std::mutex> g(h->mu);
        std::vector<uint8_t> reply;
        if ((h->fd < 0 && connect_locked(h) < 0) || !exchange(h->fd, r, reply)) {
            if (h->fd >= 0)
                close(h->fd);
            h->fd = -1;
            nbdkit_set_error(EIO);
            return -1;
        }
        wire::Decoder d(reply);
        int64_t rc = d.i64();
        if (rc < 0) {
            nbdkit_set_error(static_cast<int>(-rc));
            return -1;
        }
        runs.assign(reply.begin() + 8, reply.end());
    }
    wire::Decoder d(runs);
    for (uint64_t at = offset; d.ok() && !d.done();) {
        uint64_t n = d.u64();
        bool hole = d.u8() != 0;
        if (!d.ok() || n == 0)
            break;
        if (nbdkit_add_extent(out, at, n, hole ? NBDKIT_EXTENT_HOLE | NBDKIT_EXTENT_ZERO : 0) != 0)
            return -1;
        at += n;
        if (flags & NBDKIT_FLAG_REQ_ONE)
            break;
    }
    return 0;
}

int zero(void* handle, uint32_t count, uint64_t offset, uint32_t flags)
{
    if (flags & NBDKIT_FLAG_FAST_ZERO) {
        nbdkit_set_error(ENOTSUP);
        return -1;
    }
    auto r = request(wire::Op::BlockZero);
    r.u64(offset).u32(count);
    if (call(static_cast<Handle*>(handle), r) < 0)
        return -1;
    return durable(handle, flags);
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
    p.config_help = "socket=<PATH>  the machine's control socket";
    p.preconnect = preconnect;
    p.list_exports = list_exports;
    p.default_export = default_export;
    p.open = open_export;
    p.close = close_export;
    p.get_size = get_size;
    p.can_write = can_write;
    p.can_flush = can_flush;
    p.can_trim = can_trim;
    p.can_multi_conn = can_multi_conn;
    p.can_fua = can_fua;
    p.can_zero = can_zero;
    p.can_fast_zero = can_fast_zero;
    p.pread = pread;
    p.pwrite = pwrite;
    p.flush = flush;
    p.trim = trim;
    p.zero = zero;
    p.can_extents = can_extents;
    p.extents = extents;
    p.block_size = block_size;
    p.errno_is_preserved = 0;
    return p;
}

nbdkit_plugin plugin = make_plugin();

} // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
