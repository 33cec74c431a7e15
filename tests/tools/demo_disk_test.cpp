// The demo's disk image and writers: the image boots as a disk whose MBR gives both
// partitions, its file systems hold the tree they were made from, and writers change file
// data in place without ever touching metadata, so the file systems stay consistent.
#include <filesystem>
#include <fstream>
#include <set>

#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/fixture.h"
#include "tools/demo/disk_image.h"
#include "tools/demo/writers.h"

namespace kestrel_test {
namespace {

class DemoDiskTest : public MachineTest {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kestrel-demo-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        d = demo::make_demo_disk(dir, 7, 120, 16 << 20, 8 << 20);
    }
    void TearDown() override
    {
        MachineTest::TearDown();
        std::filesystem::remove_all(dir);
    }
    std::vector<uint8_t> Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    // The file system of partition i of the image file.
    std::unique_ptr<agent::ExtSource> Open(size_t i)
    {
        const demo::FsSpec& fs = d.file_systems[i];
        return std::make_unique<agent::ExtSource>(
            demo::file_reader(d.image, d.partitions[i].start_sect * 512, fs.block_size), fs.block_size,
            fs.bytes / fs.block_size);
    }
    // Copies partition i of the image to a file of its own and runs e2fsck on it.
    demo::CheckResult Fsck(size_t i)
    {
        std::string path = dir + "/part.img";
        std::vector<uint8_t> all = Slurp(d.image);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(all.data() + d.partitions[i].start_sect * 512),
                   static_cast<std::streamsize>(d.file_systems[i].bytes));
        return demo::check_file_system(path);
    }

    std::string dir;
    demo::DemoDisk d;
};

TEST_F(DemoDiskTest, ImageHoldsTheTreeOnTwoPartitionsThatTheMachineFinds)
{
    ASSERT_EQ(d.partitions.size(), 2u);
    EXPECT_EQ(d.partitions[0].start_sect, 2048u);
    EXPECT_EQ(d.partitions[1].start_sect % 2048, 0u);
    for (size_t i = 0; i < 2; i++) {
        auto src = Open(i);
        ASSERT_NE(src->fs(), nullptr) << agent::ext_error_text(src->error());
        EXPECT_EQ(src->type(), i == 0 ? "ext4" : "ext2");
        EXPECT_EQ(src->fs()->blocksize, d.file_systems[i].block_size);
        // Every file of the tree is there with its contents, and nothing else but lost+found.
        auto files = demo::read_all_files(src->fs());
        std::string root = dir + (i == 0 ? "/tree" : "/tree/docs");
        size_t onDisk = 0;
        for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
            if (!e.is_regular_file())
                continue;
            onDisk++;
            std::string rel = "/" + std::filesystem::relative(e.path(), root).string();
            ASSERT_TRUE(files.count(rel)) << rel;
            EXPECT_EQ(files[rel], Slurp(e.path().string())) << rel;
        }
        EXPECT_EQ(files.size(), onDisk);
        if (i == 0) {
            EXPECT_EQ(onDisk, d.files);
            std::set<uint64_t> sizes;
            for (auto& [p, data] : files)
                sizes.insert(data.size() / 4096);
            EXPECT_GT(sizes.size(), 5u); // sizes of many different block counts
        }
        EXPECT_TRUE(Fsck(i).clean()) << Fsck(i).output;
    }

    // The machine reads the partitions from the MBR and mounts both by their super blocks.
    sim::DiskConfig c;
    c.image_path = d.image;
    uint32_t disk = 0;
    ASSERT_EQ(sim::add_disk(machine, c, &disk), 0);
    for (size_t i = 0; i < 2; i++) {
        ASSERT_EQ(sim::mount_fs(machine, disk + 1 + uint32_t(i)), 0);
        auto info = sim::mount_info(machine, disk + 1 + uint32_t(i));
        EXPECT_EQ(info->block_size, d.file_systems[i].block_size);
        EXPECT_EQ(info->blocks, d.file_systems[i].bytes / d.file_systems[i].block_size);
        EXPECT_EQ(sim::unmount_fs(machine, disk + 1 + uint32_t(i)), 0);
    }
}

TEST_F(DemoDiskTest, WritersChangeFileDataInPlaceAndKeepTheFileSystemConsistent)
{
    std::vector<demo::FileInfo> before;
    std::map<std::string, std::vector<uint8_t>> contents;
    {
        auto src = Open(0);
        ASSERT_NE(src->fs(), nullptr);
        before = demo::list_files(src->fs());
        contents = demo::read_all_files(src->fs());
    }
    sim::DiskConfig c;
    c.image_path = d.image;
    uint32_t disk = 0;
    ASSERT_EQ(sim::add_disk(machine, c, &disk), 0);
    ASSERT_EQ(sim::mount_fs(machine, disk + 1), 0);
    {
        demo::FileWriters w(machine, disk + 1, 4096, before, 3);
        std::set<uint64_t> data;
        for (auto& f : before)
            for (uint64_t b : f.blocks)
                if (b)
                    data.insert(b);
        EXPECT_EQ(std::set<uint64_t>(w.targets().begin(), w.targets().end()), data);
        w.start(3);
        while (w.writes() < 300 && !w.error())
            std::this_thread::yield();
        w.stop();
        EXPECT_EQ(w.error(), 0);
    }
    ASSERT_EQ(sim::unmount_fs(machine, disk + 1), 0);

    // Same files, same sizes, same blocks; some contents changed; still consistent.
    auto src = Open(0);
    ASSERT_NE(src->fs(), nullptr);
    auto after = demo::list_files(src->fs());
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].path, before[i].path);
        EXPECT_EQ(after[i].size, before[i].size);
        EXPECT_EQ(after[i].blocks, before[i].blocks);
    }
    auto now = demo::read_all_files(src->fs());
    size_t changed = 0;
    for (auto& [p, data] : now)
        changed += data != contents[p];
    EXPECT_GT(changed, 0u);
    demo::CheckResult fsck = Fsck(0);
    EXPECT_TRUE(fsck.clean()) << fsck.output;
}

} // namespace
} // namespace kestrel_test
