// The agent's handle on the control device: one open file and the commands on it.
#pragma once

#include <cstdint>
#include <string>

#include "agent/transport.h"

namespace agent {

struct Version {
    uint32_t major = 0;
    uint32_t minor = 0;
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

    // The module's version; the status of the first query that failed otherwise.
    int version(Version& out);

    // A command whose only argument is one word of the agent's memory that receives a
    // value: the command's status, with the word in out.
    int query_word(uint32_t cmd, uint32_t& out);

private:
    Transport& t_;
    int fd_ = -1;
};

} // namespace agent
