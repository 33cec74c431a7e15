// A read-only device for libext2fs over any reader of bytes: a snapshot read through the
// control device, a backup's blocks, memory. While an ExtDevice lives, libext2fs opens it by
// its name through ext_device_manager(); writes are refused.
#pragma once

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <functional>
#include <string>

namespace extdev {

// Copies `bytes` bytes at byte `offset` of the device into out: 0, or an errcode_t
// (EXT2_ET_SHORT_READ when they could not all be read).
using ReadBytesFn = std::function<errcode_t(uint64_t offset, uint64_t bytes, uint8_t* out)>;

class ExtDevice {
public:
    explicit ExtDevice(ReadBytesFn read);
    ~ExtDevice();
    ExtDevice(const ExtDevice&) = delete;
    ExtDevice& operator=(const ExtDevice&) = delete;

    // The name to give ext2fs_open2 with ext_device_manager().
    const std::string& name() const { return name_; }
    // Opens the file system read only (EXT2_FLAG_64BITS): 0 with *fs set, or the error.
    errcode_t open(ext2_filsys* fs) const;

private:
    ReadBytesFn read_;
    std::string name_;
    friend errcode_t read_device(void* device, uint64_t offset, uint64_t bytes, uint8_t* out);
};

io_manager ext_device_manager();

} // namespace extdev
