// Finding the used blocks of a device through libext2fs: what counts as used, how file-
// system blocks map onto device blocks of another size, and every way of falling back to
// "all blocks".
#include <filesystem>
#include <fstream>
#include <random>

#include "agent/used_blocks.h"
#include "tests/support/fixture.h"
#include "tools/demo/disk_image.h"

namespace kestrel_test {
namespace {

class UsedBlocksTest : public MachineTest {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/kestrel-used-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        demo::populate_tree(dir + "/tree", 40, 5);
        demo::make_file_system(dir + "/fs.img", {"ext2", 1024, 4 << 20, dir + "/tree"});
        std::ifstream in(dir + "/fs.img", std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), {});
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

    static std::string dir;
    static std::vector<uint8_t> image; // an ext2 file system of 4096 blocks of 1024 bytes
};
std::string UsedBlocksTest::dir;
std::vector<uint8_t> UsedBlocksTest::image;

TEST_F(UsedBlocksTest, BitmapsGiveTheUsedBlocksAtAnyDeviceBlockSize)
{
    agent::UsedBlocks u = agent::find_used_blocks(demo::memory_reader(image, 1024), 1024, 4096);
    ASSERT_TRUE(u.from_file_system) << u.why_all;
    EXPECT_EQ(u.fs_type, "ext2");
    EXPECT_EQ(u.fs_block_size, 1024u);
    EXPECT_EQ(u.fs_blocks, 4096u);
    EXPECT_TRUE(u.used.test(0)); // the boot block, before the first data block
    EXPECT_TRUE(u.used.test(1)); // the super block
    agent::ExtSource src(demo::memory_reader(image, 1024), 1024, 4096);
    ASSERT_NE(src.fs(), nullptr);
    // The free count leaves out block 0, which the block count includes.
    EXPECT_EQ(u.used.count(), ext2fs_blocks_count(src.fs()->super) - ext2fs_free_blocks_count(src.fs()->super));
    // Every block of every file is used.
    for (const demo::FileInfo& f : demo::list_files(src.fs()))
        for (uint64_t b : f.blocks)
            EXPECT_TRUE(b == 0 || u.used.test(uint32_t(b))) << f.path << " block " << b;
    EXPECT_GT(u.blocks_read, 0u);
    EXPECT_LT(u.blocks_read, 64u); // metadata only

    // Read as a device of 4096-byte blocks, larger than the file system: a device block is
    // used when any of its four file-system blocks is, and blocks past the end are not.
    std::vector<uint8_t> bigger = image;
    bigger.resize(image.size() + 3 * 4096, 0xEE);
    agent::UsedBlocks w = agent::find_used_blocks(demo::memory_reader(bigger, 4096), 4096, 1027);
    ASSERT_TRUE(w.from_file_system) << w.why_all;
    for (uint32_t d = 0; d < 1027; d++) {
        bool any = d < 1024 && (u.used.test(4 * d) || u.used.test(4 * d + 1) || u.used.test(4 * d + 2) ||
                                u.used.test(4 * d + 3));
        EXPECT_EQ(w.used.test(d), any) << "device block " << d;
    }
}

TEST_F(UsedBlocksTest, AnythingButReadableExtMetadataMeansEveryBlock)
{
    auto expectAll = [](const agent::UsedBlocks& u, uint32_t blocks, const std::string& why) {
        EXPECT_FALSE(u.from_file_system);
        EXPECT_EQ(u.used.count(), blocks);
        EXPECT_EQ(u.why_all.substr(0, why.size()), why) << u.why_all;
    };
    std::vector<uint8_t> noise(1 << 20);
    std::mt19937 rng(1);
    for (auto& c : noise)
        c = static_cast<uint8_t>(rng());
    expectAll(agent::find_used_blocks(demo::memory_reader(noise, 1024), 1024, 1024), 1024,
              "no ext2/3/4 file system found");

    // The super block cannot be read.
    agent::BlockReadFn failing = [](uint32_t, uint32_t, uint8_t*) { return 12; };
    expectAll(agent::find_used_blocks(failing, 1024, 4096), 4096, "the file system's super block could not be read");

    // The bitmaps cannot be read: every read past the group descriptors fails.
    agent::UsedBlocks meta = agent::find_used_blocks(demo::memory_reader(image, 1024), 1024, 4096);
    auto readMeta = demo::memory_reader(image, 1024);
    agent::BlockReadFn noBitmaps = [&](uint32_t first, uint32_t count, uint8_t* out) {
        return first + count > 3 ? 12 : readMeta(first, count, out);
    };
    agent::UsedBlocks u = agent::find_used_blocks(noBitmaps, 1024, 4096);
    expectAll(u, 4096, "the block bitmaps of the ext2 file system could not be read");
    EXPECT_EQ(u.fs_type, "ext2");

    // A device shorter than its file system claims: what lies on the device is mapped,
    // nothing past its end.
    agent::UsedBlocks cut = agent::find_used_blocks(demo::memory_reader(image, 1024), 1024, 1000);
    ASSERT_TRUE(meta.from_file_system);
    ASSERT_TRUE(cut.from_file_system);
    ASSERT_EQ(cut.used.blocks(), 1000u);
    for (uint32_t b = 0; b < 1000; b++)
        EXPECT_EQ(cut.used.test(b), meta.used.test(b)) << b;
}

} // namespace
} // namespace kestrel_test
