// The agent's handle on the control device: one open file and the commands on it, each
// returning the module's status (0 success, a positive module status, or a negative system
// error) with its reply decoded.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/transport.h"
#include "interface/kestrel_ioctl.h"

namespace agent {

struct Version {
    uint32_t major = 0;
    uint32_t minor = 0;
};

using SessionKey = std::array<uint8_t, kes::kesSessionKeySize>;

// A bitmap of one bit per block, in the module's byte layout (block b: byte b / 8, bit b % 8).
class BlockBitmap {
public:
    BlockBitmap() = default;
    explicit BlockBitmap(uint32_t blocks, bool set = false)
        : blocks_(blocks), bytes_((blocks + 7) / 8, set ? 0xFF : 0x00)
    {
    }
    uint32_t blocks() const { return blocks_; }
    bool test(uint32_t b) const { return b < blocks_ && (bytes_[b >> 3] >> (b & 7)) & 1; }
    void set(uint32_t b) { bytes_[b >> 3] |= static_cast<uint8_t>(1u << (b & 7)); }
    uint32_t count() const;
    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    uint32_t blocks_ = 0;
    std::vector<uint8_t> bytes_;
};

class ControlDevice {
public:
    static constexpr const char* kPath = "/dev/kestrel";

    explicit ControlDevice(Transport& t) : t_(t) {}
    ~ControlDevice() { close(); }
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    // 0, or the negative error of the open.
    int open();
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    int version(Version& out);
    int block_size(uint32_t major, uint32_t minor, kes::BlockSizeInfo& out);
    int start_backup(uint32_t major, uint32_t minor, uint32_t fs_blocks, uint32_t max_cache_blocks);
    // The key of the previous backup of the device (zeros when there is none).
    int snapshot(const SessionKey& key);
    int automap_state(kes::AutoMapStateInfo& out);
    int no_load_from_automap();
    int no_start_automap();
    // The changed-block map the snapshot took from the automap (blocks: the size expected).
    int get_automap(uint32_t blocks, BlockBitmap& out);
    int load_block_map(const BlockBitmap& map);
    int state(kes::BackupStateInfo& out);
    int stats(kes::BackupStats& out);
    // A block the cache still holds (kes::kesNoBlock when none).
    int dirty_block(uint32_t& out);
    int sync();

    // The read buffer: a mapping of pages pages (0 or a negative error), and reads of
    // count blocks from first into it; block i of the run is at offset i * block size.
    // A second, short buffer may be mapped beside it for short runs: the module takes a
    // reference on every page of the buffer a read goes to, so a short run read into a
    // buffer of a few pages costs less than one read into the full one. Unmapping (or
    // mapping the read buffer again) removes both.
    long map_buffer(uint32_t pages);
    long map_short_buffer(uint32_t pages);
    void unmap_buffer();
    // Into the short buffer when asked for and mapped, else into the read buffer.
    int read_blocks(uint32_t first, uint32_t count, bool into_short = false);
    // Copies block i of the last read out of the buffer it went to.
    bool buffer_block(uint32_t i, uint32_t block_size, void* out);
    // Block i of the last read in place in its buffer, until the next read; nullptr when
    // the transport cannot offer it (copy it with buffer_block instead).
    const uint8_t* buffer_view(uint32_t i, uint32_t block_size);

private:
    // Runs a command with its argument record copied into the agent's memory.
    int command(uint32_t cmd, const void* rec, size_t rec_size);
    // Runs a command whose record names a reply buffer (its address and length fields) and
    // reads the reply back into out.
    template <class Args, class Reply>
    int query(uint32_t cmd, Args a, uint32_t Args::*address, uint32_t Args::*length, Reply& out);
    long map_into(uint32_t pages, uint32_t& addr, uint32_t& len);
    // Runs one of the two map commands on the bitmap bytes at data_addr.
    int map_command(uint32_t cmd, uint32_t data_addr, uint32_t blocks);

    // The page of the agent's memory that carries command records (from its start) and
    // replies (from kReplyOffset); allocated at the first command, freed at close. 0: none.
    uint32_t records();
    // The reply part of the records page with its first bytes cleared, in reply: 0, or an error.
    int reply_area(size_t bytes, uint32_t& reply);
    static constexpr uint32_t kRecordsBytes = 4096, kReplyOffset = 1024;

    Transport& t_;
    int fd_ = -1;
    uint32_t records_ = 0;
    uint32_t buffer_ = 0, buffer_len_ = 0;
    uint32_t short_ = 0, short_len_ = 0;
    uint32_t last_ = 0; // the buffer the last read went to
};

} // namespace agent
