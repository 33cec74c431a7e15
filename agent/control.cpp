#include "agent/control.h"

#include <cstring>

namespace agent {

namespace {

constexpr int kNoMemory = -12; // ENOMEM
constexpr int kFault = -14;    // EFAULT

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
    uint32_t n = 0;
    for (uint32_t b = 0; b < blocks_; b++)
        n += test(b);
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
    if (fd_ >= 0)
        t_.close(fd_);
    fd_ = -1;
}

// The record is placed at the start of a scratch area and the reply right after it; when
// reply_field >= 0, the reply's address is written into that word of the record (and for
// reply_field + 1 its length), as the module's records expect.
int ControlDevice::command(uint32_t cmd, const void* rec, size_t rec_size, void* reply,
                           uint32_t reply_size, int reply_field)
{
    Scratch s(t_, static_cast<uint32_t>(rec_size + reply_size + 8));
    if (!s.addr())
        return kNoMemory;
    uint32_t reply_addr = s.addr() + static_cast<uint32_t>((rec_size + 7) & ~size_t(7));
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(rec), static_cast<const uint8_t*>(rec) + rec_size);
    if (reply_field >= 0) {
        memcpy(copy.data() + 4 * reply_field, &reply_addr, 4);
        memcpy(copy.data() + 4 * (reply_field + 1), &reply_size, 4);
    }
    if (rec_size && !t_.write(s.addr(), copy.data(), rec_size))
        return kFault;
    int status = t_.ioctl(fd_, cmd, rec_size ? s.addr() : 0);
    if (status == 0 && reply && !t_.read(reply_addr, reply, reply_size))
        return kFault;
    return status;
}

int ControlDevice::version(Version& out)
{
    // The version queries take the reply address itself as their argument.
    for (auto [cmd, field] : {std::pair{uint32_t(kes::KES_GET_VERSION_MAJOR), &out.major},
                              std::pair{uint32_t(kes::KES_GET_VERSION_MINOR), &out.minor}}) {
        Scratch s(t_, 4);
        if (!s.addr())
            return kNoMemory;
        int r = t_.ioctl(fd_, cmd, s.addr());
        if (r != 0)
            return r;
        if (!t_.read(s.addr(), field, 4))
            return kFault;
    }
    return 0;
}

int ControlDevice::block_size(uint32_t major, uint32_t minor, kes::BlockSizeInfo& out)
{
    kes::GetBlockSizeArgs a{major, minor, 0, 0};
    return command(kes::KES_GET_BLOCK_SIZE, &a, sizeof a, &out, sizeof out, 2);
}

int ControlDevice::start_backup(uint32_t major, uint32_t minor, uint32_t fs_blocks,
                                uint32_t max_cache_blocks)
{
    kes::StartBackupArgs a{major, minor, fs_blocks, max_cache_blocks};
    return command(kes::KES_START_BACKUP, &a, sizeof a);
}

int ControlDevice::snapshot(const SessionKey& key)
{
    Scratch k(t_, static_cast<uint32_t>(key.size()));
    if (!k.addr() || !t_.write(k.addr(), key.data(), key.size()))
        return kNoMemory;
    kes::BufferArgs a{k.addr(), static_cast<uint32_t>(key.size())};
    return command(kes::KES_SNAPSHOT, &a, sizeof a);
}

int ControlDevice::automap_state(kes::AutoMapStateInfo& out)
{
    kes::BufferArgs a{0, 0};
    return command(kes::KES_GET_AUTOMAP_STATE, &a, sizeof a, &out, sizeof out, 0);
}

int ControlDevice::no_load_from_automap() { return t_.ioctl(fd_, kes::KES_NO_LOAD_FROM_AUTOMAP, 0); }
int ControlDevice::no_start_automap() { return t_.ioctl(fd_, kes::KES_NO_START_AUTOMAP, 0); }

int ControlDevice::get_automap(uint32_t blocks, BlockBitmap& out)
{
    out = BlockBitmap(blocks);
    uint32_t bytes = static_cast<uint32_t>(out.bytes().size());
    Scratch data(t_, bytes);
    Scratch rec(t_, 16);
    if (!data.addr() || !rec.addr())
        return kNoMemory;
    uint32_t words[4] = {rec.addr() + 8, 0, data.addr(), blocks}; // IndirectArgs, then MapArgs
    if (!t_.write(rec.addr(), words, sizeof words))
        return kFault;
    int status = t_.ioctl(fd_, kes::KES_GET_AUTOMAP, rec.addr());
    if (status == 0 && !t_.read(data.addr(), out.bytes().data(), bytes))
        return kFault;
    return status;
}

int ControlDevice::load_block_map(const BlockBitmap& map)
{
    uint32_t bytes = static_cast<uint32_t>(map.bytes().size());
    Scratch data(t_, bytes);
    Scratch rec(t_, 16);
    if (!data.addr() || !rec.addr())
        return kNoMemory;
    uint32_t words[4] = {rec.addr() + 8, 0, data.addr(), map.blocks()};
    if (!t_.write(data.addr(), map.bytes().data(), bytes) || !t_.write(rec.addr(), words, sizeof words))
        return kFault;
    return t_.ioctl(fd_, kes::KES_LOAD_BLOCK_MAP, rec.addr());
}

int ControlDevice::state(kes::BackupStateInfo& out)
{
    kes::BufferArgs a{0, 0};
    return command(kes::KES_GET_STATE, &a, sizeof a, &out, sizeof out, 0);
}

int ControlDevice::stats(kes::BackupStats& out)
{
    kes::BufferArgs a{0, 0};
    return command(kes::KES_GET_STATS, &a, sizeof a, &out, sizeof out, 0);
}

int ControlDevice::dirty_block(uint32_t& out)
{
    Scratch word(t_, 4);
    if (!word.addr())
        return kNoMemory;
    kes::DirtyBlockArgs a{word.addr()};
    int status = command(kes::KES_GET_DIRTY_BLOCK, &a, sizeof a);
    if (status == 0 && !t_.read(word.addr(), &out, 4))
        return kFault;
    return status;
}

int ControlDevice::sync() { return t_.ioctl(fd_, kes::KES_SYNC, 0); }

long ControlDevice::map_buffer(uint32_t pages)
{
    unmap_buffer();
    long addr = t_.mmap_readonly(fd_, pages * 4096);
    if (addr < 0)
        return addr;
    buffer_ = static_cast<uint32_t>(addr);
    buffer_len_ = pages * 4096;
    return 0;
}

void ControlDevice::unmap_buffer()
{
    if (buffer_)
        t_.munmap(buffer_, buffer_len_);
    buffer_ = 0;
    buffer_len_ = 0;
}

int ControlDevice::read_blocks(uint32_t first, uint32_t count)
{
    kes::ReadBlocksArgs a{first, count, buffer_};
    return command(kes::KES_READ_BLOCKS, &a, sizeof a);
}

bool ControlDevice::buffer_block(uint32_t i, uint32_t block_size, void* out)
{
    return t_.read(buffer_ + i * block_size, out, block_size);
}

const uint8_t* ControlDevice::buffer_view(uint32_t i, uint32_t block_size)
{
    return t_.view(buffer_ + i * block_size, block_size);
}

} // namespace agent
