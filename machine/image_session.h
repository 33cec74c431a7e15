// The machine side of backing up a disk image: the image attached to a booted simulated
// machine as a disk (its partitions from its MBR), the chosen partitions mounted, the
// module loaded and an agent process to drive it; and a clean shutdown.
//
// Errors are thrown as std::runtime_error with a one-line message.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/sim_transport.h"

namespace sim {
class Machine;
}

namespace demo {

class ImageSession {
public:
    // Attaches the image as disk sda of m, mounts each listed partition (numbered from 1),
    // loads the module and starts an agent process. Throws when the image cannot be
    // opened, a partition does not exist or holds no file system the machine can mount,
    // or the module does not load. A partition holding a known file system other than
    // ext2/3/4 is mounted for a raw backup of every block, and notices() says so.
    ImageSession(sim::Machine& m, const std::string& image, const std::vector<unsigned>& partitions);
    ~ImageSession();
    ImageSession(const ImageSession&) = delete;
    ImageSession& operator=(const ImageSession&) = delete;

    // Lines for the user about how partitions were taken (one backed up raw, every block,
    // because its file system is not one kestrel reads).
    const std::vector<std::string>& notices() const { return notices_; }

    // The device number of a partition (1-based) of the image.
    uint32_t device(unsigned partition) const;
    agent::Transport& transport() { return *transport_; }
    sim::Machine& machine() { return m_; }

    // Ends the agent process, unmounts the partitions (writing back what they hold dirty)
    // and unloads the module. Returns "" or a line saying what did not go cleanly, with the
    // machine's leak report when something was left behind. Called by the destructor when
    // not called before.
    std::string shutdown();

private:
    sim::Machine& m_;
    uint32_t disk_ = 0;
    std::vector<unsigned> mounted_;
    std::vector<std::string> notices_;
    sim::Process* agent_ = nullptr;
    std::unique_ptr<agent::SimTransport> transport_;
    bool loaded_ = false;
    bool down_ = false;
};

} // namespace demo
