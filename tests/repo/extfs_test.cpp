// File-level restore from backups of real ext2 and ext4 file systems made by mkfs.ext4 -d:
// listings and extracted trees equal what the file system held at each backup.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "repo/format.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;
namespace fs = std::filesystem;

namespace {

// Every path below `root` with what it is: file contents, symlink targets, directories.
std::map<std::string, std::string> snapshot_tree(const std::string& root)
{
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().string().substr(root.size());
        if (it->is_symlink())
            out[rel] = "link:" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            out[rel] = "dir";
        else
            out[rel] = read_host_file(it->path().string());
    }
    return out;
}

std::set<uint64_t> changed_blocks(const Device& before, const Device& after)
{
    std::set<uint64_t> out;
    for (uint64_t b = 0; b < after.blocks; b++)
        if (after.used[b] && (!before.used[b] || memcmp(before.block(b), after.block(b), after.block_size)))
            out.insert(b);
    return out;
}

struct Case {
    const char* type;
    uint32_t block_size;
    uint64_t blocks;
};

class ExtFsTest : public ::testing::TestWithParam<Case> {
protected:
    TempDir tmp;
    repo::Env& env = repo::Env::posix();
};

TEST_P(ExtFsTest, ListAndExtractFullAndIncremental)
{
    const Case c = GetParam();
    std::string tree = tmp / "tree", image = tmp / "disk.img";
    make_tree(tree, 41, 120);
    Device dev = make_ext_image(image, c.type, c.block_size, c.blocks, tree);
    repo::Repository::init(env, tmp / "repo", 65536);
    auto r = repo::Repository::open(env, tmp / "repo");
    BackupPlan plan;
    plan.fs_type = c.type;
    std::string full = write_backup(*r, dev, plan);

    // Change the file system: a new file and a removed one.
    std::string newfile = tmp / "new.bin";
    std::ofstream(newfile, std::ios::binary) << std::string(70000, 'n');
    std::string out;
    ASSERT_EQ(run("debugfs -w -R 'write " + newfile + " /data/new.bin' " + image, &out), 0) << out;
    ASSERT_EQ(run("debugfs -w -R 'rm /empty' " + image, &out), 0) << out;
    Device after = load_ext_image(image, c.block_size);
    plan.parent = full;
    plan.changed = changed_blocks(dev, after);
    plan.snapshot_time += 60;
    std::string inc = write_backup(*r, after, plan);
    repo::Manifest m = r->manifest(inc);
    EXPECT_LT(m.counts.chunks_new, m.counts.chunks - m.counts.chunks_empty) << "only changed chunks stored";
    printf("%s: %llu chunks, the incremental stored %llu (%llu bytes)\n", c.type,
           static_cast<unsigned long long>(m.counts.chunks), static_cast<unsigned long long>(m.counts.chunks_new),
           static_cast<unsigned long long>(m.counts.bytes_new));

    // The full backup: the tree as mkfs made it.
    std::vector<repo::FsEntry> root = r->ls(full, "/");
    std::set<std::string> names;
    for (const auto& e : root)
        names.insert(e.name);
    EXPECT_TRUE(names.count("etc") && names.count("data") && names.count("empty") && names.count("link-to-conf"));
    auto link = std::find_if(root.begin(), root.end(), [](const repo::FsEntry& e) { return e.name == "long-link"; });
    ASSERT_NE(link, root.end());
    EXPECT_EQ(link->type, 'l');
    EXPECT_EQ(link->link_target, std::string(200, 'x'));
    std::vector<repo::FsEntry> etc = r->ls(full, "/etc");
    EXPECT_EQ(etc.size(), static_cast<size_t>(std::distance(fs::directory_iterator(tree + "/etc"),
                                                             fs::directory_iterator())));

    fs::create_directory(tmp / "out-full");
    repo::ExtractReport rep = r->extract(full, "/", tmp / "out-full", {});
    EXPECT_GT(rep.bytes, 0u);
    EXPECT_TRUE(rep.complete());
    auto want = snapshot_tree(tree);
    auto got = snapshot_tree(tmp / "out-full/root");
    got.erase("/lost+found");
    EXPECT_EQ(got, want);
    struct stat st;
    ASSERT_EQ(stat((tmp / "out-full/root/etc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    // The incremental: the changes, and nothing else.
    fs::create_directory(tmp / "out-inc");
    r->extract(inc, "/data", tmp / "out-inc", {});
    EXPECT_EQ(read_host_file(tmp / "out-inc/data/new.bin"), std::string(70000, 'n'));
    EXPECT_THROW(r->ls(inc, "/empty"), Error);
    EXPECT_NO_THROW(r->ls(full, "/empty"));
    r->extract(inc, "/data/sparse", tmp / "out-inc", {});
    EXPECT_EQ(read_host_file(tmp / "out-inc/sparse"), read_host_file(tree + "/data/sparse"));

    // Bad input: a path that is not there, a target that exists, a relative path.
    try {
        r->ls(full, "/no/such");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound);
    }
    try {
        r->extract(full, "/data", tmp / "out-inc", {});
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Exists);
    }
    EXPECT_THROW(r->ls(full, "etc"), Error);
    // Nothing half-made is left in the target directory.
    for (const auto& e : fs::directory_iterator(tmp / "out-inc"))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();

    // Restoring the image gives a file system e2fsck accepts.
    r->restore(inc, tmp / "restored.img");
    EXPECT_EQ(run("e2fsck -fn " + (tmp / "restored.img"), &out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Images, ExtFsTest,
                         ::testing::Values(Case{"ext4", 4096, 4096}, Case{"ext2", 1024, 8192}),
                         [](const auto& info) { return std::string(info.param.type); });

TEST(ExtFsDamage, DamageMetWhileExtractingNamesTheBackupAndLeavesNothing)
{
    TempDir tmp;
    repo::Env& env = repo::Env::posix();
    make_tree(tmp / "tree", 43, 40);
    Device dev = make_ext_image(tmp / "disk.img", "ext4", 4096, 2048, tmp / "tree");
    repo::Repository::init(env, tmp / "repo", 65536, 1); // chunk files, which this test removes
    auto r = repo::Repository::open(env, tmp / "repo");
    std::string id = write_backup(*r, dev);
    // Every chunk but the first (super block and group descriptors) goes missing: the
    // file system opens, and the first read of an inode meets the damage.
    auto ix = repo::format::decode_index(read_host_file(tmp / ("repo/backups/" + id + ".index")), "");
    std::string keep = repo::to_hex(ix.digests[0]);
    for (const auto& e : fs::recursive_directory_iterator(tmp / "repo/chunks"))
        if (e.is_regular_file() && e.path().filename() != keep)
            fs::remove(e.path());
    fs::create_directory(tmp / "out");
    try {
        r->extract(id, "/", tmp / "out", {});
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged);
        EXPECT_NE(std::string(e.what()).find("backup " + id), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_empty(tmp / "out"));

    // A backup of something that is no ext2/3/4 file system.
    Device raw = random_device(4096, 64, 1.0, 44);
    BackupPlan plan;
    plan.source = "raw";
    std::string rid = write_backup(*r, raw, plan);
    try {
        r->ls(rid, "/");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Invalid) << e.what();
    }
}

} // namespace
