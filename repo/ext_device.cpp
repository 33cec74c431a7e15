#include "repo/ext_device.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace extdev {

errcode_t read_device(void* device, uint64_t offset, uint64_t bytes, uint8_t* out)
{
    return static_cast<ExtDevice*>(device)->read_(offset, bytes, out);
}

namespace {

// libext2fs opens a device by name: the live devices by their names.
std::mutex g_devices_mu;
std::map<std::string, ExtDevice*> g_devices; // guarded by g_devices_mu

errcode_t ch_open(const char* name, int flags, io_channel* out)
{
    if (flags & IO_FLAG_RW)
        return EXT2_ET_RO_FILSYS;
    ExtDevice* device;
    {
        std::lock_guard g(g_devices_mu);
        auto it = g_devices.find(name ? name : "");
        if (it == g_devices.end())
            return EXT2_ET_BAD_DEVICE_NAME;
        device = it->second;
    }
    auto* ch = static_cast<io_channel>(calloc(1, sizeof(struct struct_io_channel)));
    if (!ch)
        return EXT2_ET_NO_MEMORY;
    ch->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    ch->manager = ext_device_manager();
    ch->name = strdup(name);
    ch->block_size = 1024;
    ch->refcount = 1;
    ch->private_data = device;
    *out = ch;
    return 0;
}

errcode_t ch_close(io_channel ch)
{
    if (--ch->refcount > 0)
        return 0;
    free(ch->name);
    free(ch);
    return 0;
}

errcode_t ch_set_blksize(io_channel ch, int size)
{
    if (size <= 0)
        return EXT2_ET_INVALID_ARGUMENT;
    ch->block_size = size;
    return 0;
}

// A negative count is a length in bytes, as libext2fs reads its super block.
errcode_t ch_read_blk64(io_channel ch, unsigned long long block, int count, void* data)
{
    uint64_t bytes = count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * uint64_t(ch->block_size);
    if (bytes == 0)
        return 0;
    return read_device(ch->private_data, block * uint64_t(ch->block_size), bytes, static_cast<uint8_t*>(data));
}

errcode_t ch_read_blk(io_channel ch, unsigned long block, int count, void* data)
{
    return ch_read_blk64(ch, block, count, data);
}

errcode_t ch_write_blk64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t ch_write_blk(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t ch_write_byte(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t ch_flush(io_channel) { return 0; }
errcode_t ch_set_option(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct_io_manager make_manager()
{
    struct_io_manager m;
    memset(&m, 0, sizeof m);
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "kestrel read-only device";
    m.open = ch_open;
    m.close = ch_close;
    m.set_blksize = ch_set_blksize;
    m.read_blk = ch_read_blk;
    m.write_blk = ch_write_blk;
    m.flush = ch_flush;
    m.write_byte = ch_write_byte;
    m.set_option = ch_set_option;
    m.read_blk64 = ch_read_blk64;
    m.write_blk64 = ch_write_blk64;
    return m;
}

} // namespace

io_manager ext_device_manager()
{
    static struct_io_manager m = make_manager();
    return &m;
}

ExtDevice::ExtDevice(ReadBytesFn read) : read_(std::move(read))
{
    static std::atomic<uint64_t> serial{0};
    name_ = "kestrel-device-" + std::to_string(++serial);
    std::lock_guard g(g_devices_mu);
    g_devices[name_] = this;
}

ExtDevice::~ExtDevice()
{
    std::lock_guard g(g_devices_mu);
    g_devices.erase(name_);
}

errcode_t ExtDevice::open(ext2_filsys* fs) const
{
    return ext2fs_open2(name_.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, ext_device_manager(), fs);
}

} // namespace extdev
