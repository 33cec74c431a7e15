#include "agent/control.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace agent {

namespace {

constexpr int kNoMemory = -12; // ENOMEM
constexpr int kFault = -14;    // EFAULT
constexpr int kInvalid = -22;  // EINVAL

// A scratch area of the agent's memory, given back when it goes out of scope.
class Scratch {
public:
    Scratch(Transport& t, uint32_t length) : t_(t), addr_(length ? t.alloc(length) : 0) {}
    ~Scratch()
    {
        if (addr_)
            t_.free(addr_);
    }
    uint32_t addr() const { return addr_; }

private:
    Transport& t_;
    uint32_t addr_;
};

} // namespace

uint32_t BlockBitmap::count() const
{
    // Whole bytes at once; the last byte's bits past the last block (set by a map made
    // full) do not count.
    uint32_t n = 0;
    const uint32_t whole = blocks_ / 8;
    for (uint32_t i = 0; i < whole; i++)
        n += static_cast<uint32_t>(std::popcount(bytes_[i]));
    if (blocks_ % 8)
        n += static_cast<uint32_t>(std::popcount(static_cast<uint8_t>(bytes_[whole] & ((1u << (blocks_ % 8)) - 1))));
    return n;
}

int ControlDevice::open()
{
    if (fd_ >= 0)
        return 0;
    int fd = t_.open(kPath);
    if (fd < 0)
        return fd;
    fd_ = fd;
    return 0;
}

void ControlDevice::close()
{
    unmap_buffer();
    if (records_)
        t_.free(records_);
    records_ = 0;
    if (fd_ >= 0)
        t_.close(fd_);
    fd_ = -1;
}

// One page of the agent's memory serves every command's record and reply for as long as
// the device is open: allocating and freeing an area per command cost more than many of
// the commands themselves.
uint32_t ControlDevice::records()
{
    if (!records_)
        records_ = t_.alloc(kRecordsBytes);
    return records_;
}

int ControlDevice::command(uint32_t cmd, const void* rec, size_t rec_size)
{
    if (rec_size == 0)
        return t_.ioctl(fd_, cmd, 0);
    if (rec_size > kReplyOffset)
        return kInvalid;
    uint32_t at = records();
    if (!at)
        return kNoMemory;
    if (!t_.write(at, rec, rec_size))
        return kFault;
    return t_.ioctl(fd_, cmd, at);
}

// Replies go to the second part of the records page, cleared first so that a reply
// shorter than expected reads as zeros, never as an earlier command's reply.
int ControlDevice::reply_area(size_t bytes, uint32_t& reply)
{
    static constexpr unsigned char kZero[kRecordsBytes - kReplyOffset] = {};
    uint32_t at = records();
    if (!at)
        return kNoMemory;
    reply = at + kReplyOffset;
    return t_.write(reply, kZero, bytes) ? 0 : kFault;
}

template <class Args, class Reply>
int ControlDevice::query(uint32_t cmd, Args a, uint32_t Args::*address, uint32_t Args::*length,
                         Reply& out)
{
    static_assert(sizeof(Reply) <= kRecordsBytes - kReplyOffset);
    uint32_t reply = 0;
    if (int r = reply_area(sizeof out, reply))
        return r;
    a.*address = reply;
    a.*length = sizeof out;
    int status = command(cmd, &a, sizeof a);
    if (status == 0 && !t_.read(reply, &out, sizeof out))
        return kFault;
    return status;
}

// The two map commands name a MapArgs by its address; both records go in one scratch area.
int ControlDevice::map_command(uint32_t cmd, uint32_t data_addr, uint32_t blocks)
{
    struct MapRecord {
        kes::IndirectArgs indirect;
        kes::MapArgs map;
    };
    uint32_t at = records();
    if (!at)
        return kNoMemory;
    MapRecord r{{at + static_cast<uint32_t>(offsetof(MapRecord, map)), 0}, {data_addr, blocks}};
    if (!t_.write(at, &r, sizeof r))
        return kFault;
    return t_.ioctl(fd_, cmd, at);
}

int ControlDevice::version(Version& out)
{
    // The version queries take the reply address itself as their argument.
    for (auto [cmd, field] : {std::pair{uint32_t(kes::KES_GET_VERSION_MAJOR), &out.major},
                              std::pair{uint32_t(kes::KES_GET_VERSION_MINOR), &out.minor}}) {
        uint32_t reply = 0;
        if (int r = reply_area(4, reply))
            return r;
        if (int r = t_.ioctl(fd_, cmd, reply))
            return r;
        if (!t_.read(reply, field, 4))
            return kFault;
    }
    return 0;
}

int ControlDevice::block_size(uint32_t major, uint32_t minor, kes::BlockSizeInfo& out)
{
    kes::GetBlockSizeArgs a{major, minor, 0, 0};
    return query(kes::KES_GET_BLOCK_SIZE, a, &kes::GetBlockSizeArgs::replyAddress,
                 &kes::GetBlockSizeArgs::replyLength, out);
}

int ControlDevice::start_backup(uint32_t major, uint32_t minor, uint32_t fs_blocks,
                                uint32_t max_cache_blocks)
{
    kes::StartBackupArgs a{major, minor, fs_blocks, max_cache_blocks};
    return command(kes::KES_START_BACKUP, &a, sizeof a);
}

int ControlDevice::snapshot(const SessionKey& key)
{
    static_assert(kes::kesSessionKeySize <= kRecordsBytes - kReplyOffset);
    uint32_t at = records();
    if (!at || !t_.write(at + kReplyOffset, key.data(), key.size()))
        return kNoMemory;
    kes::BufferArgs a{at + kReplyOffset, static_cast<uint32_t>(key.size())};
    return command(kes::KES_SNAPSHOT, &a, sizeof a);
}

int ControlDevice::automap_state(kes::AutoMapStateInfo& out)
{
    return query(kes::KES_GET_AUTOMAP_STATE, kes::BufferArgs{}, &kes::BufferArgs::address, &kes::BufferArgs::length, out);
}

int ControlDevice::no_load_from_automap() { return t_.ioctl(fd_, kes::KES_NO_LOAD_FROM_AUTOMAP, 0); }
int ControlDevice::no_start_automap() { return t_.ioctl(fd_, kes::KES_NO_START_AUTOMAP, 0); }

int ControlDevice::get_automap(uint32_t blocks, BlockBitmap& out)
{
    out = BlockBitmap(blocks);
    uint32_t bytes = static_cast<uint32_t>(out.bytes().size());
    Scratch data(t_, bytes);
    if (!data.addr())
        return kNoMemory;
    int status = map_command(kes::KES_GET_AUTOMAP, data.addr(), blocks);
    if (status == 0 && !t_.read(data.addr(), out.bytes().data(), bytes))
        return kFault;
    return status;
}

int ControlDevice::load_block_map(const BlockBitmap& map)
{
    uint32_t bytes = static_cast<uint32_t>(map.bytes().size());
    Scratch data(t_, bytes);
    if (!data.addr())
        return kNoMemory;
    if (!t_.write(data.addr(), map.bytes().data(), bytes))
        return kFault;
    return map_command(kes::KES_LOAD_BLOCK_MAP, data.addr(), map.blocks());
}

int ControlDevice::state(kes::BackupStateInfo& out)
{
    return query(kes::KES_GET_STATE, kes::BufferArgs{}, &kes::BufferArgs::address, &kes::BufferArgs::length, out);
}

int ControlDevice::stats(kes::BackupStats& out)
{
    return query(kes::KES_GET_STATS, kes::BufferArgs{}, &kes::BufferArgs::address, &kes::BufferArgs::length, out);
}

int ControlDevice::dirty_block(uint32_t& out)
{
    uint32_t word = 0;
    if (int r = reply_area(4, word))
        return r;
    kes::DirtyBlockArgs a{word};
    int status = command(kes::KES_GET_DIRTY_BLOCK, &a, sizeof a);
    if (status == 0 && !t_.read(word, &out, 4))
        return kFault;
    return status;
}

int ControlDevice::sync() { return t_.ioctl(fd_, kes::KES_SYNC, 0); }

// Maps pages pages of the device read-only into addr and len (0, or a negative error and
// both left as they were).
long ControlDevice::map_into(uint32_t pages, uint32_t& addr, uint32_t& len)
{
    long a = t_.mmap_readonly(fd_, pages * 4096);
    if (a < 0)
        return a;
    addr = static_cast<uint32_t>(a);
    len = pages * 4096;
    return 0;
}

long ControlDevice::map_buffer(uint32_t pages)
{
    unmap_buffer();
    return map_into(pages, buffer_, buffer_len_);
}

long ControlDevice::map_short_buffer(uint32_t pages)
{
    return short_ ? 0 : map_into(pages, short_, short_len_);
}

void ControlDevice::unmap_buffer()
{
    if (buffer_)
        t_.munmap(buffer_, buffer_len_);
    if (short_)
        t_.munmap(short_, short_len_);
    buffer_ = buffer_len_ = short_ = short_len_ = last_ = 0;
}

int ControlDevice::read_blocks(uint32_t first, uint32_t count, bool into_short)
{
    last_ = into_short && short_ ? short_ : buffer_;
    kes::ReadBlocksArgs a{first, count, last_};
    return command(kes::KES_READ_BLOCKS, &a, sizeof a);
}

bool ControlDevice::buffer_block(uint32_t i, uint32_t block_size, void* out)
{
    return t_.read(last_ + i * block_size, out, block_size);
}

const uint8_t* ControlDevice::buffer_view(uint32_t i, uint32_t block_size)
{
    return t_.view(last_ + i * block_size, block_size);
}

} // namespace agent
