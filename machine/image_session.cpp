#include "machine/image_session.h"

#include <cstring>
#include <stdexcept>

#include "module/kestrel.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "machine/image_check.h"
#include "machine/install.h"

namespace demo {

namespace {

// Mounts the partition as a file system whose contents the machine does not read, in the
// largest block size that divides it (so that no sector is left out), for a raw backup of
// every block.
int mount_raw(sim::Machine& m, uint32_t dev)
{
    const std::optional<uint64_t> found = sim::device_sectors(m, dev);
    if (!found)
        return -ENODEV;
    const uint64_t sectors = *found;
    unsigned block_size = 4096;
    while (block_size > 512 && sectors % (block_size / 512))
        block_size /= 2;
    return sim::mount_fs(m, dev, block_size);
}

} // namespace

ImageSession::ImageSession(sim::Machine& m, const std::string& image, const std::vector<unsigned>& partitions)
    : m_(m)
{
    sim::DiskConfig c;
    c.image_path = image;
    int err = sim::add_disk(m, c, &disk_);
    if (err == -EACCES || err == -EROFS || err == -EPERM) {
        // A backup only reads the image: one we may not write is attached read-only.
        c.read_only = true;
        err = sim::add_disk(m, c, &disk_);
    }
    if (err == -EBUSY)
        throw std::runtime_error(sim::image_in_use(image));
    if (err)
        throw std::runtime_error("cannot attach " + image + ": " + strerror(-err));
    for (unsigned p : partitions) {
        err = p == 0 || p >= c.minors ? -ENODEV : sim::mount_fs(m, device(p));
        if (err) {
            // The machine only says "no such device" or "no file system": the image itself
            // says why.
            std::string foreign;
            std::string why = err == -ENODEV || err == -EINVAL ? explain_partition(image, p, &foreign) : "";
            if (!foreign.empty() && (err = mount_raw(m, device(p))) == 0) {
                notices_.push_back(why);
                mounted_.push_back(p);
                continue;
            }
            shutdown();
            if (!why.empty())
                throw std::runtime_error(why);
            why = err == -ENODEV   ? "the image has no partition " + std::to_string(p)
                  : err == -EINVAL ? "partition " + std::to_string(p) + " holds no ext2/3/4 file system"
                                   : "cannot mount partition " + std::to_string(p) + ": " + strerror(-err);
            throw std::runtime_error(why + " (" + image + ")");
        }
        mounted_.push_back(p);
    }
    if ((err = install::load_module(m))) {
        shutdown();
        throw std::runtime_error(std::string("cannot load the module: ") + strerror(-err));
    }
    loaded_ = true;
    agent_ = &m.spawn("kestrel-agent");
    transport_ = std::make_unique<agent::SimTransport>(*agent_);
}

ImageSession::~ImageSession() { shutdown(); }

uint32_t ImageSession::device(unsigned partition) const { return disk_ + partition; }

std::string ImageSession::shutdown()
{
    if (down_)
        return "";
    down_ = true;
    std::string problems;
    auto note = [&](const std::string& s) { problems += (problems.empty() ? "" : "; ") + s; };
    if (agent_)
        agent_->exit();
    transport_.reset();
    for (unsigned p : mounted_)
        if (int err = sim::unmount_fs(m_, device(p)))
            note("cannot unmount partition " + std::to_string(p) + ": " + strerror(-err));
    mounted_.clear();
    if (loaded_ && m_.rmmod("kestrel") != 0)
        note("cannot unload the module");
    loaded_ = false;
    std::string leaks = m_.leak_report();
    if (!leaks.empty())
        note("the machine was not left clean: " + leaks);
    for (const std::string& bug : m_.bugs())
        note("kernel bug: " + bug);
    return problems;
}

} // namespace demo
