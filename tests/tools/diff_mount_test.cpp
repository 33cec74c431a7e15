// kestrel diff and kestrel mount end to end, on backups of an ext4 image changed between them
// through debugfs and by overwriting a file's block in place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/kestrel_cli.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using namespace cli_test;
namespace fs = std::filesystem;

extern char** environ;

namespace {

bool has_path(const nlohmann::json& list, const std::string& path)
{
    for (const auto& e : list)
        if (e["path"] == path)
            return true;
    return false;
}

// Two backups of one ext4 image: between them a file is added, one removed, and one has a
// block overwritten in place (its inode untouched, so only its blocks tell).
class TwoBackups : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo = tmp / "repo";
        image = tmp / "disk.img";
        make_tree(tmp / "tree", 77, 30);
        Device before = make_ext_image(image, "ext4", 4096, 2048, tmp / "tree");
        ASSERT_EQ(kestrel("init --insecure-no-encryption --repo " + repo).code, 0);
        auto r = repo::Repository::open(repo::Env::posix(), repo);
        BackupPlan plan;
        plan.source = "disk.img#1";
        plan.fs_type = "ext4";
        first = write_backup(*r, before, plan);

        for (const auto& e : fs::recursive_directory_iterator(tmp / "tree"))
            if (e.is_regular_file() && !e.is_symlink() && e.file_size() >= 8192 && e.path().string().find("sparse") == std::string::npos) {
                std::string rel = e.path().string().substr((tmp / "tree").size());
                if (overwritten.empty())
                    overwritten = rel;
                else if (removed.empty())
                    removed = rel;
            }
        ASSERT_FALSE(removed.empty());
        std::string out;
        ASSERT_EQ(run("debugfs -R 'bmap \"" + overwritten + "\" 0' " + image, &out), 0);
        // The block number is the last line (debugfs names itself first).
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        const uint64_t block = std::stoull(out.substr(out.find_last_of('\n') + 1));
        {
            std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(block * 4096));
            f.write(std::string(4096, 'z').data(), 4096);
        }
        std::ofstream(tmp / "new.txt") << "a file that was not there before\n";
        ASSERT_EQ(run("debugfs -w -R 'write " + (tmp / "new.txt") + " /added.txt' " + image + " >/dev/null 2>&1"), 0);
        ASSERT_EQ(run("debugfs -w -R 'rm \"" + removed + "\"' " + image + " >/dev/null 2>&1"), 0);
        after = load_ext_image(image, 4096);
        plan.snapshot_time += 3600;
        second = write_backup(*r, after, plan);
        before_image = before.expected_image();
    }

    TempDir tmp;
    std::string repo, image, first, second, overwritten, removed;
    Device after{4096, 1};
    std::vector<uint8_t> before_image;
};

TEST_F(TwoBackups, DiffNamesExactlyTheDifferingBlocksAndTheFilesTheyBelongTo)
{
    nlohmann::json d = kestrel_json("diff --json --repo " + repo + " " + first + " latest");
    EXPECT_EQ(d["from_backup_id"], first);
    EXPECT_EQ(d["to_backup_id"], second);
    // The ranges are exactly the blocks whose restored contents differ.
    std::vector<uint8_t> want_after = after.expected_image();
    std::vector<std::pair<uint64_t, uint64_t>> want;
    for (uint64_t b = 0; b < after.blocks; b++)
        if (memcmp(before_image.data() + b * 4096, want_after.data() + b * 4096, 4096) != 0) {
            if (!want.empty() && want.back().first + want.back().second == b)
                want.back().second++;
            else
                want.emplace_back(b, 1);
        }
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const auto& r : d["ranges"])
        got.emplace_back(r["first_block"].get<uint64_t>(), r["blocks"].get<uint64_t>());
    EXPECT_EQ(got, want);
    EXPECT_GT(d["same_chunks"].get<uint64_t>(), 0u);
    EXPECT_LT(d["same_chunks"].get<uint64_t>(), d["total_chunks"].get<uint64_t>());

    EXPECT_TRUE(has_path(d["files"]["added"], "/added.txt")) << d.dump(1);
    EXPECT_TRUE(has_path(d["files"]["removed"], removed)) << d.dump(1);
    EXPECT_TRUE(has_path(d["files"]["changed"], overwritten)) << d.dump(1);
    EXPECT_EQ(d["files"]["added"].size(), 1u) << d.dump(1);
    EXPECT_EQ(d["files"]["removed"].size(), 1u) << d.dump(1);
    for (const auto& c : d["files"]["changed"])
        EXPECT_TRUE(c["type"] == "d" || c["path"] == overwritten) << "an untouched file reported changed: " << c;

    Result text = kestrel("diff --repo " + repo + " " + first.substr(0, first.size() - 1) + " " + second);
    EXPECT_EQ(text.code, 0) << text.out;
    EXPECT_NE(text.out.find("+  /added.txt\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("-  " + removed + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("M  " + overwritten + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1 added, 1 removed"), std::string::npos) << text.out;
}

TEST_F(TwoBackups, DiffOfABackupWithItselfReadsNothingAndAnotherSourceIsRefused)
{
    nlohmann::json same = kestrel_json("diff --json --repo " + repo + " " + second + " " + second);
    EXPECT_EQ(same["differing_blocks"], 0);
    EXPECT_EQ(same["read_bytes"], 0);
    EXPECT_EQ(same["same_chunks"], same["total_chunks"]);
    EXPECT_EQ(same["files"]["changed"].size(), 0u);

    auto r = repo::Repository::open(repo::Env::posix(), repo);
    BackupPlan plan;
    plan.source = "other-disk";
    plan.fs_type = "ext4";
    plan.snapshot_time += 7200;
    std::string other = write_backup(*r, after, plan);
    Result refused = kestrel("diff --repo " + repo + " " + first + " " + other);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.out.find("different sources (disk.img#1 and other-disk)"), std::string::npos) << refused.out;
    EXPECT_EQ(kestrel("diff --repo " + repo + " " + first).code, 2) << "two backups are needed";
}

// Backups of unknown content compare block by block only; a longer device differs in its tail.
TEST(Diff, RawBackupsCompareBlocksOnly)
{
    TempDir tmp;
    const std::string repo = tmp / "repo";
    ASSERT_EQ(kestrel("init --insecure-no-encryption --repo " + repo + " --chunk-size 16384").code, 0);
    auto r = repo::Repository::open(repo::Env::posix(), repo);
    Device dev = random_device(4096, 64, 0.5, 3);
    std::string a = write_backup(*r, dev);
    dev.write(11, 1);
    dev.write(12, 2);
    BackupPlan plan;
    plan.parent = a;
    plan.changed = {11, 12};
    plan.snapshot_time += 60;
    std::string b = write_backup(*r, dev, plan);
    nlohmann::json d = kestrel_json("diff --json --repo " + repo + " " + a + " " + b);
    EXPECT_EQ(d["ranges"], nlohmann::json::parse(R"([{"first_block": 11, "blocks": 2}])"));
    EXPECT_EQ(d["differing_bytes"], 2 * 4096);
    EXPECT_EQ(d["total_chunks"], 16);
    EXPECT_EQ(d["same_chunks"], 14);
    EXPECT_EQ(d["read_bytes"], 2 * 2 * 16384) << "only the two chunks whose digests differ are read, from both backups";
    EXPECT_TRUE(d["files"].is_null());
    Result text = kestrel("diff --repo " + repo + " " + a + " " + b);
    EXPECT_NE(text.out.find("   blocks 11-12\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("no file comparison"), std::string::npos) << text.out;
}

// Whether FUSE mounts work here: /dev/fuse and fusermount3 present.
std::string fuse_missing()
{
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "/dev/fuse is not usable here";
    if (run("command -v fusermount3 >/dev/null 2>&1") != 0)
        return "fusermount3 is not installed";
    return "";
}

bool mounted(const std::string& dir)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + dir + " ") != std::string::npos)
            return true;
    return false;
}

// `kestrel mount` in the background, waited for until its folders show.
class Mount {
public:
    Mount(const std::string& repo, const std::string& dir, const std::string& expect) : dir_(dir)
    {
        std::vector<std::string> args = {KESTREL_BINARY, "mount", "--repo", repo, dir};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        for (int i = 0; pid_ > 0 && i < 600 && !fs::exists(dir + "/" + expect); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~Mount()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            wait();
        }
    }
    bool up() const { return pid_ > 0 && mounted(dir_); }
    // Waits for the command to end; its exit status.
    int wait()
    {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

TEST_F(TwoBackups, MountShowsImagesAndFilesAndUnmountsOnSigint)
{
    if (std::string why = fuse_missing(); !why.empty())
        GTEST_SKIP() << "no FUSE: " << why;
    fs::create_directory(tmp / "mnt");
    const std::string mnt = tmp / "mnt";
    Mount m(repo, mnt, second + "/image");
    if (!m.up())
        GTEST_SKIP() << "no FUSE: mounting failed here (no permission to mount in this environment?)";

    ASSERT_EQ(kestrel("restore --repo " + repo + " --backup " + second + " --to " + (tmp / "r.img")).code, 0);
    const std::string img = mnt + "/" + second + "/image";
    EXPECT_EQ(run("cmp " + img + " " + (tmp / "r.img")), 0);
    std::string fsck;
    EXPECT_EQ(run("e2fsck -fn " + img, &fsck), 0) << fsck;
    EXPECT_EQ(fs::read_symlink(mnt + "/latest"), second);
    EXPECT_FALSE(fs::exists(mnt + "/" + first + "/files" + removed.substr(0, 0) + "/added.txt"));

    // Several threads read the image at once, each through the mount, in pieces of odd sizes.
    const std::string want = read_host_file(tmp / "r.img");
    std::vector<std::thread> readers;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; t++)
        readers.emplace_back([&, t] {
            int fd = open(img.c_str(), O_RDONLY);
            std::vector<char> buf(12345 + 1000 * t);
            for (size_t off = t * 777; off < want.size(); off += buf.size() * 3) {
                ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(off));
                if (n <= 0 || memcmp(buf.data(), want.data() + off, static_cast<size_t>(n)) != 0)
                    bad[t]++;
            }
            close(fd);
        });
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));

    // Every file and symlink under files/ is what extract gives.
    fs::create_directory(tmp / "out");
    ASSERT_EQ(kestrel("extract --repo " + repo + " --backup " + second + " / --to " + (tmp / "out")).code, 0);
    const std::string root = tmp / "out/root";
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().string().substr(root.size());
        std::string in_mount = mnt + "/" + second + "/files" + rel;
        if (e.is_symlink()) {
            EXPECT_TRUE(fs::is_symlink(in_mount)) << rel;
            EXPECT_EQ(fs::read_symlink(in_mount), fs::read_symlink(e.path())) << rel;
        } else if (e.is_regular_file()) {
            EXPECT_EQ(read_host_file(in_mount), read_host_file(e.path())) << rel;
            files++;
        }
    }
    EXPECT_GT(files, 10u);
    EXPECT_TRUE(fs::exists(mnt + "/" + first + "/files" + removed));
    EXPECT_FALSE(fs::exists(mnt + "/" + second + "/files" + removed));
    EXPECT_LT(open((mnt + "/" + second + "/files/added.txt").c_str(), O_WRONLY), 0) << "read-only";

    kill(m.pid(), SIGINT);
    EXPECT_EQ(m.wait(), 0);
    EXPECT_FALSE(mounted(mnt));
}

TEST_F(TwoBackups, MountEndsCleanlyOnFusermountUnmount)
{
    if (std::string why = fuse_missing(); !why.empty())
        GTEST_SKIP() << "no FUSE: " << why;
    fs::create_directory(tmp / "mnt");
    const std::string mnt = tmp / "mnt";
    Mount m(repo, mnt, "latest");
    if (!m.up())
        GTEST_SKIP() << "no FUSE: mounting failed here (no permission to mount in this environment?)";
    EXPECT_EQ(read_host_file(mnt + "/" + first + "/files" + overwritten), read_host_file(tmp / ("tree" + overwritten)));
    EXPECT_EQ(run("fusermount3 -u " + mnt), 0);
    EXPECT_EQ(m.wait(), 0);
    EXPECT_FALSE(mounted(mnt));
}

} // namespace
