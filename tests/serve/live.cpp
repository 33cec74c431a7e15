#include "tests/serve/live.h"

#include <fstream>

#include "sim/disk.h"
#include "sim/fs.h"

namespace kestrel_test {

void write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> read_file(const std::string& path, uint64_t offset, uint64_t length)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(0, std::ios::end);
    uint64_t size = static_cast<uint64_t>(f.tellg());
    if (offset > size)
        return {};
    length = std::min(length, size - offset);
    std::vector<uint8_t> out(length);
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
    return out;
}

std::vector<uint8_t> stamped(uint64_t sectors, uint32_t gen)
{
    std::vector<uint8_t> out(sectors * 512);
    for (uint64_t s = 0; s < sectors; s++)
        for (size_t w = 0; w < 512; w += 8) {
            uint32_t words[2] = {static_cast<uint32_t>(s), gen};
            memcpy(&out[s * 512 + w], words, 8);
        }
    return out;
}

int64_t stamp_gen(const std::vector<uint8_t>& data, uint64_t i)
{
    uint32_t first[2];
    memcpy(first, &data[i * 512], 8);
    if (first[0] != i)
        return -1;
    for (size_t w = 8; w < 512; w += 8)
        if (memcmp(&data[i * 512 + w], first, 8) != 0)
            return -1;
    return first[1];
}

void LiveTest::SetUp()
{
    image = tmp / "disk.img";
    std::vector<uint8_t> disk(kPartStart + kPartBytes);
    auto mbr = sim::make_mbr({{kPartStart / 512, kPartBytes / 512}});
    memcpy(disk.data(), mbr.data(), mbr.size());
    auto sb = sim::make_ext2_super_block(kBlockSize, kPartBytes / kBlockSize);
    memcpy(disk.data() + kPartStart + 1024, sb.data(), sb.size());
    write_file(image, disk);
    socket = tmp / "run/k.sock";
}

void LiveTest::Start(bool nbd)
{
    serve::Config c;
    c.images = {image};
    c.socket = socket;
    c.nbd = nbd;
    c.plugin = KESTREL_NBD_PLUGIN;
    server = std::make_unique<serve::Server>(c);
    runner = std::thread([this] { server->run(); });
}

void LiveTest::Stop()
{
    if (!server)
        return;
    server->stop();
    runner.join();
    EXPECT_EQ(server->shutdown(), "");
    server.reset();
}

void LiveTest::TearDown() { Stop(); }

std::unique_ptr<agent::SocketTransport> LiveTest::Connect()
{
    std::string error;
    auto t = agent::SocketTransport::connect(socket, &error);
    EXPECT_TRUE(t) << error;
    return t;
}

const serve::Device& LiveTest::PartDevice() const
{
    for (const serve::Device& d : server->devices())
        if (d.partition == 1)
            return d;
    throw std::runtime_error("no partition 1");
}

uint32_t LiveTest::Part() const { return PartDevice().dev; }

} // namespace kestrel_test
