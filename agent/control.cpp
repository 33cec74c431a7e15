#include "agent/control.h"

#include "module/kestrel_ioctl.h"

namespace agent {

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
    if (fd_ >= 0)
        t_.close(fd_);
    fd_ = -1;
}

int ControlDevice::query_word(uint32_t cmd, uint32_t& out)
{
    uint32_t word = t_.alloc(4);
    if (!word)
        return -12; // ENOMEM
    int status = t_.ioctl(fd_, cmd, word);
    if (status == 0 && !t_.read(word, &out, sizeof out))
        status = -14; // EFAULT
    t_.free(word);
    return status;
}

int ControlDevice::version(Version& out)
{
    int status = query_word(kes::KES_GET_VERSION_MAJOR, out.major);
    if (status == 0)
        status = query_word(kes::KES_GET_VERSION_MINOR, out.minor);
    return status;
}

} // namespace agent
