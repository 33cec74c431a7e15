// The protocol between `kestrel serve` and its clients (agents in other processes and the
// NBD plugin), over a local stream socket.
//
// Every message is a frame: a 32-bit little-endian length, then that many bytes of body.
// A request's body is one operation byte and its arguments; the reply's body is a signed
// 64-bit result (a negative error number on failure) and, for some operations, data.
// Integers are little-endian; a string or a byte run is a 32-bit length and its bytes.
//
// The server checks every request: a frame longer than kMaxFrame, a body that ends before
// its arguments do or goes on after them, an unknown operation, or a frame that stops part
// way for longer than the server waits closes the connection. The connection's simulated
// process then exits, as a process whose peer died would. A well-formed request the server
// cannot carry out (too long, out of range, not allowed) is answered with an error and the
// connection goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace wire {

enum class Op : uint8_t {
    // The machine's disks, partitions and exports, as JSON text in the reply.
    Info = 1,
    // System calls of the connection's process (created on the first of them).
    Open = 2,   // path -> descriptor
    Close = 3,  // fd
    Ioctl = 4,  // fd, cmd, arg
    Mmap = 5,   // fd, length -> address (read-only private mapping)
    Munmap = 6, // address, length
    Alloc = 7,  // length -> address (0 when none)
    Free = 8,   // address
    Peek = 9,   // address, length -> the bytes
    Poke = 10,  // address, bytes
    // Serves the snapshot of the backup running on the control file fd read-only over NBD
    // while the backup is in the snapshot-taken state, as the export "snapshot": fd, block
    // size, blocks -> the path of the NBD socket in the reply data. SnapshotEnd stops it.
    SnapshotExport = 11,
    SnapshotEnd = 12,
    // What `kestrel status` shows, as JSON text in the reply (docs/status.md).
    Status = 13,
    // An agent's account of the backup it ran, as JSON text: {"device", "id", "ok",
    // "incremental", "full_reason", "error"}; the last one per device is in Status.
    Report = 14,
    // The export names NBD clients may ask for, each as a string in the reply data: the
    // devices in order (the first is the default export, ""), then "snapshot" while a
    // backup's snapshot is exported.
    Exports = 15,
    // Binds the connection to an export: name ("" for the first disk), read-only flag ->
    // its size in bytes; -EROFS when the export is read-only and the flag was not set. The
    // block operations below then act on it.
    Attach = 20,
    BlockRead = 21,  // offset, length -> the bytes
    BlockWrite = 22, // offset, bytes
    BlockFlush = 23,
    BlockTrim = 24,  // offset, length
    BlockZero = 25,  // offset, length: the range reads back as zeros
    // offset, length -> runs from offset on, each a 64-bit length and a byte: 1 for a hole
    // (reads as zeros), 0 for data; they may end before offset + length.
    BlockExtents = 26,
};

// Largest frame either side accepts, and the most data one request may move.
constexpr uint32_t kMaxData = 4u << 20;
// The most an NBD client may ask for in one request: the plugin moves it in requests of
// at most kMaxData each.
constexpr uint32_t kMaxRequest = 32u << 20;
constexpr uint32_t kMaxFrame = kMaxData + 64;
// Longest path or name in a request.
constexpr uint32_t kMaxName = 4096;

// Builds a body.
class Encoder {
public:
    Encoder& u8(uint8_t v);
    Encoder& u32(uint32_t v);
    Encoder& u64(uint64_t v);
    Encoder& i64(int64_t v) { return u64(static_cast<uint64_t>(v)); }
    Encoder& bytes(std::span<const uint8_t> b);
    Encoder& str(const std::string& s);
    std::vector<uint8_t>& body() { return b_; }

private:
    std::vector<uint8_t> b_;
};

// Reads a body; every read fails (and keeps failing) once the body runs out, so a caller
// decodes all the arguments and checks ok() and done() once.
class Decoder {
public:
    explicit Decoder(std::span<const uint8_t> body) : b_(body) {}
    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    int64_t i64() { return static_cast<int64_t>(u64()); }
    // A byte run of at most max bytes (a view into the body).
    std::span<const uint8_t> bytes(uint32_t max);
    std::string str(uint32_t max);
    bool ok() const { return ok_; }
    // Everything was read and nothing is left over.
    bool done() const { return ok_ && pos_ == b_.size(); }

private:
    bool take(size_t n);
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Sends one frame; false when the connection failed.
bool send_frame(int fd, std::span<const uint8_t> body);

enum class Received {
    Frame,  // a whole frame is in body
    Closed, // the peer closed the connection between frames
    Bad,    // an error, a frame cut short, or one longer than max
};
// The wait for a frame's first byte is unbounded (a client may be idle between requests);
// once it came, the rest must follow within rest_timeout_ms (-1: no limit), or the frame
// is Bad.
Received recv_frame(int fd, std::vector<uint8_t>& body, uint32_t max = kMaxFrame, int rest_timeout_ms = -1);

} // namespace wire
