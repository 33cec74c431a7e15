// A disk image with two real file systems made by mkfs from a tree of a few hundred files
// (ext4 with 4096-byte blocks on partition 1, ext2 with 1024-byte blocks on partition 2),
// attached to a fresh machine as an image-backed disk with both mounted, and checks that a
// backup restores what the file system held at its snapshot.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/backup.h"
#include "agent/memory_sink.h"
#include "agent/sim_transport.h"
#include "tests/support/fixture.h"
#include "tools/demo/disk_image.h"

namespace kestrel_test {

class ExtDiskTest : public ModuleTest {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A job for the partition dev with the previous backup the sink holds.
    agent::BackupJob Job(uint32_t dev, const agent::MemorySink* after = nullptr) const;
    uint32_t BlockSize(uint32_t dev) const { return dev == ext4 ? 4096 : 1024; }
    // A reader of the device's backing store, in blocks of the device's file system.
    agent::BlockReadFn StoreReader(uint32_t dev);
    // The regular files of the file system on dev as its backing store now holds it.
    std::vector<demo::FileInfo> Files(uint32_t dev);
    // Checks that backup i of the sink restores the device as recorded at its freeze:
    // every used block equal, every other block zero, every file equal, and (with fsck)
    // e2fsck -fn clean on the restored image.
    void ExpectRestores(const agent::MemorySink& sink, size_t i, const std::vector<uint8_t>& frozen,
                        bool fsck = false);

    static std::string dir;
    static std::string templ; // the image every test starts from
    std::string image;
    uint32_t disk = 0, ext4 = 0, ext2 = 0;
    std::unique_ptr<agent::SimTransport> transport;
};

} // namespace kestrel_test
