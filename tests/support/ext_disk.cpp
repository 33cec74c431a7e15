#include "tests/support/ext_disk.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/disk.h"
#include "sim/fs.h"

namespace kestrel_test {

std::string ExtDiskTest::dir;
std::string ExtDiskTest::templ;

void ExtDiskTest::SetUpTestSuite()
{
    char tmpl[] = "/tmp/kestrel-extdisk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    demo::populate_tree(dir + "/tree", 200, 42);
    templ = dir + "/template.img";
    demo::make_disk_image(templ, {{"ext4", 4096, 16 << 20, dir + "/tree"}, {"ext2", 1024, 8 << 20, dir + "/tree/docs"}});
}

void ExtDiskTest::TearDownTestSuite() { std::filesystem::remove_all(dir); }

void ExtDiskTest::SetUp()
{
    ModuleTest::SetUp();
    image = dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".img";
    std::filesystem::copy_file(templ, image, std::filesystem::copy_options::overwrite_existing);
    sim::DiskConfig c;
    c.image_path = image;
    ASSERT_EQ(sim::add_disk(machine, c, &disk), 0);
    ext4 = disk + 1;
    ext2 = disk + 2;
    ASSERT_EQ(sim::mount_fs(machine, ext4), 0);
    ASSERT_EQ(sim::mount_fs(machine, ext2), 0);
    transport = std::make_unique<agent::SimTransport>(*agent);
}

void ExtDiskTest::TearDown()
{
    machine.exit_processes();
    for (uint32_t dev : {ext4, ext2})
        if (sim::mount_info(machine, dev)) {
            EXPECT_EQ(sim::unmount_fs(machine, dev), 0);
        }
    ModuleTest::TearDown();
    EXPECT_EQ(machine.queues_report(), "");
    std::filesystem::remove(image);
}

agent::BackupJob ExtDiskTest::Job(uint32_t dev, const agent::MemorySink* after) const
{
    agent::BackupJob j;
    j.major = MAJOR(dev);
    j.minor = MINOR(dev);
    if (after)
        j.previous = after->previous();
    return j;
}

agent::BlockReadFn ExtDiskTest::StoreReader(uint32_t dev)
{
    uint32_t spb = BlockSize(dev) / 512;
    return [this, dev, spb](uint32_t first, uint32_t count, uint8_t* out) {
        return sim::read_store(machine, dev, uint64_t(first) * spb, out, uint64_t(count) * spb);
    };
}

std::vector<demo::FileInfo> ExtDiskTest::Files(uint32_t dev)
{
    auto info = sim::mount_info(machine, dev);
    EXPECT_TRUE(info.has_value());
    agent::ExtSource src(StoreReader(dev), BlockSize(dev), info ? info->blocks : 0);
    EXPECT_NE(src.fs(), nullptr);
    return src.fs() ? demo::list_files(src.fs()) : std::vector<demo::FileInfo>{};
}

void ExtDiskTest::ExpectRestores(const agent::MemorySink& sink, size_t i, const std::vector<uint8_t>& frozen,
                                 bool fsck)
{
    const agent::MemorySink::Backup& b = sink.backups().at(i);
    const uint32_t bs = b.plan.geometry.block_size;
    std::vector<uint8_t> restored = sink.image(i);
    ASSERT_LE(restored.size(), frozen.size());
    uint32_t wrong = 0;
    for (uint32_t blk = 0; blk < b.plan.geometry.blocks; blk++) {
        const uint8_t* got = restored.data() + size_t(blk) * bs;
        const uint8_t* want = frozen.data() + size_t(blk) * bs;
        bool ok = b.plan.used.test(blk) ? memcmp(got, want, bs) == 0
                                        : std::all_of(got, got + bs, [](uint8_t c) { return c == 0; });
        if (!ok && wrong++ < 5)
            ADD_FAILURE() << "backup " << i << ": block " << blk << " is not as at the snapshot (used "
                          << b.plan.used.test(blk) << ")";
    }
    EXPECT_EQ(wrong, 0u);

    agent::ExtSource got(demo::memory_reader(restored, bs), bs, b.plan.geometry.blocks);
    agent::ExtSource want(demo::memory_reader(frozen, bs), bs, b.plan.geometry.blocks);
    ASSERT_NE(got.fs(), nullptr);
    ASSERT_NE(want.fs(), nullptr);
    EXPECT_TRUE(demo::read_all_files(got.fs()) == demo::read_all_files(want.fs()));

    if (fsck) {
        std::string path = image + ".restored";
        {
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(restored.data()), static_cast<std::streamsize>(restored.size()));
        }
        demo::CheckResult r = demo::check_file_system(path);
        EXPECT_TRUE(r.clean()) << r.output;
        std::filesystem::remove(path);
    }
}

} // namespace kestrel_test
