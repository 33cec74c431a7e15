// A live machine served from this test process on a disk image of its own, and what the
// tests of its sockets share.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/socket_transport.h"
#include "serve/server.h"
#include "tests/support/repo_source.h"

namespace kestrel_test {

// Partition 1 of the test image: 8 MiB from sector 2048, holding a file system of 4096-byte
// blocks the machine mounts (a super block over zeros: the agent backs up every block).
constexpr uint64_t kPartStart = 2048 * 512;
constexpr uint64_t kPartBytes = 8u << 20;
constexpr uint32_t kBlockSize = 4096;

class LiveTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the server (with or without NBD) and its accepting thread.
    void Start(bool nbd = false);
    // Stops and shuts the server down, expecting a clean machine.
    void Stop();
    std::unique_ptr<agent::SocketTransport> Connect();
    // The device number of partition 1.
    uint32_t Part() const;
    const serve::Device& PartDevice() const;

    repo_test::TempDir tmp;
    std::string image, socket;
    std::unique_ptr<serve::Server> server;
    std::thread runner;
};

// 512-byte sectors stamped with their sector number and a generation, and the reverse.
std::vector<uint8_t> stamped(uint64_t sectors, uint32_t gen);
// The generation of sector i of data, or -1 when the sector is not a stamp of sector i.
int64_t stamp_gen(const std::vector<uint8_t>& data, uint64_t i);

void write_file(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> read_file(const std::string& path, uint64_t offset = 0, uint64_t length = UINT64_MAX);

} // namespace kestrel_test
