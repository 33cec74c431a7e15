// Restoring a backup's image: what may be written over and what is refused, holes, the
// workers' result whatever their number, nothing left behind by a failure, a signal or a
// kill, and block devices (loop devices, when the machine lets the test make them).
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/fault_env.h"
#include "repo/restore.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

constexpr uint32_t kChunk = 16384; // 4 blocks of 4096

std::vector<uint8_t> bytes_of(const std::string& s)
{
    return {s.begin(), s.end()};
}

// Names in `dir` that a restore leaves only while it runs.
std::vector<std::string> temp_files(repo::Env& env, const std::string& dir)
{
    std::vector<std::string> out;
    for (const std::string& name : env.list(dir))
        if (name.find(".restore-") != std::string::npos)
            out.push_back(name);
    return out;
}

Error::Kind restore_error(repo::Repository& r, const std::string& id, const std::string& to,
                          const repo::RestoreOptions& opt = {})
{
    try {
        r.restore(id, to, {}, opt);
    } catch (const Error& e) {
        return e.kind();
    }
    ADD_FAILURE() << "restore to " << to << " succeeded";
    return Error::Kind::Io;
}

class RestoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", kChunk, 1); // chunk files, which these tests damage
        r = repo::Repository::open(env, "/repo");
        // Used blocks spread out: whole empty chunks, and zero blocks inside used ones.
        dev = random_device(4096, 203, 0.5, 3);
        for (uint64_t b = 40; b < 80; b++)
            dev.release(b);
        id = write_backup(*r, dev);
        env.mkdir("/out");
    }

    void put(const std::string& path, const std::string& data)
    {
        auto f = env.create(path);
        f->append(data.data(), data.size());
        f->close();
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string id;
};

TEST_F(RestoreTest, ExistingTargetsOnlyWithOverwriteAndNeverTheRepositorysOwnFiles)
{
    put("/out/disk.img", "the image of last week");
    EXPECT_EQ(restore_error(*r, id, "/out/disk.img"), Error::Kind::Exists);
    EXPECT_EQ(env.peek("/out/disk.img"), "the image of last week") << "refused, and left as it was";

    repo::RestoreOptions overwrite;
    overwrite.overwrite = true;
    env.chmod("/out/disk.img", 0600);
    r->restore(id, "/out/disk.img", {}, overwrite);
    EXPECT_EQ(bytes_of(env.peek("/out/disk.img")), dev.expected_image());
    EXPECT_EQ(env.mode_of("/out/disk.img") & 0777, 0600u) << "the replaced image keeps its mode";

    EXPECT_EQ(restore_error(*r, id, "/out", overwrite), Error::Kind::Exists) << "a directory";
    std::string chunk_dir = "/repo/chunks/" + env.list("/repo/chunks")[0];
    for (const std::string& inside : std::vector<std::string>{"/repo/image", "/repo/config", chunk_dir + "/x", "/repo"})
        EXPECT_EQ(restore_error(*r, id, inside, overwrite), Error::Kind::Invalid) << inside;
    EXPECT_EQ(restore_error(*r, id, "/nowhere/disk.img"), Error::Kind::NotFound);
    EXPECT_TRUE(temp_files(env, "/out").empty());
}

TEST_F(RestoreTest, EveryNumberOfWorkersWritesTheSameImage)
{
    std::vector<uint64_t> seen;
    for (unsigned threads : {1u, 2u, 3u, 8u, 64u}) {
        repo::RestoreOptions opt;
        opt.threads = threads;
        seen.clear();
        r->restore(id, "/out/img", [&](uint64_t done, uint64_t) { seen.push_back(done); }, opt);
        EXPECT_EQ(bytes_of(env.peek("/out/img")), dev.expected_image()) << threads << " workers";
        env.remove("/out/img");
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), (dev.blocks + 3) / 4) << "progress ends at every position";
    }
}

// Every operation of a restore failing in turn: the restore either completes with the right
// image or fails leaving no image and no temporary file.
TEST_F(RestoreTest, AFailureAtAnyStepLeavesNothing)
{
    bool completed = false;
    for (uint64_t n = 1; !completed; n++) {
        ASSERT_LT(n, 2000u) << "the restore never got past its faults";
        env.reset_count();
        env.fail_at(n);
        repo::RestoreOptions opt;
        opt.threads = 1 + n % 3;
        try {
            r->restore(id, "/out/img", {}, opt);
            completed = !env.fault_fired();
        } catch (const Error& e) {
            EXPECT_TRUE(e.kind() == Error::Kind::Io || e.kind() == Error::Kind::Damaged) << e.what();
        }
        env.clear_faults();
        // A lock whose removal failed stays behind, stale, until an exclusive operation
        // clears it; it would only lengthen the next run.
        for (const std::string& lock : env.list("/repo/locks"))
            env.remove("/repo/locks/" + lock);
        if (env.exists("/out/img")) {
            EXPECT_EQ(bytes_of(env.peek("/out/img")), dev.expected_image()) << "fault at op " << n;
            env.remove("/out/img");
        }
        EXPECT_TRUE(temp_files(env, "/out").empty()) << "fault at op " << n;
    }
}

TEST_F(RestoreTest, LeftoversOfKilledRunsGoRunningOnesAndStrangersStay)
{
    put("/out/.img.restore-0123456789ab", "a killed run's");
    put("/out/.img.restore-00000000000f", "a running one's");
    auto running = env.lock("/out/.img.restore-00000000000f");
    for (const char* stranger : {".img.restore-0123", ".other.restore-0123456789ab", ".img.tmp-0123456789ab",
                                 "img.restore-0123456789ab", ".img.restore-0123456789AB"})
        put(std::string("/out/") + stranger, "not ours");
    r->restore(id, "/out/img");
    EXPECT_EQ(bytes_of(env.peek("/out/img")), dev.expected_image());
    std::vector<std::string> left = temp_files(env, "/out");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".img.restore-00000000000f", ".img.restore-0123", ".img.restore-0123456789AB",
                                              ".other.restore-0123456789ab", "img.restore-0123456789ab"}));
}

// On the host's file system: holes stay holes, a symbolic link to an image is followed, and
// a restore ended by a signal or a kill leaves nothing (the kill's file goes with the next
// restore).
class HostRestoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo_dir = tmp / "repo";
        repo::Repository::init(repo::Env::posix(), repo_dir, kChunk);
        r = repo::Repository::open(repo::Env::posix(), repo_dir);
        dev = random_device(4096, 1024, 0.05, 5);
        id = write_backup(*r, dev);
    }

    // Restores in a child process that gets `sig` once a few positions are written; returns
    // the child's wait status.
    int restore_killed_by(int sig, const std::string& to)
    {
        pid_t pid = fork();
        if (pid == 0) {
            repo::remove_temp_files_on_signal();
            repo::RestoreOptions opt;
            opt.threads = 2;
            try {
                r->restore(id, to, [&](uint64_t done, uint64_t) {
                    if (done >= 3)
                        raise(sig);
                }, opt);
            } catch (...) {
            }
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }

    TempDir tmp;
    std::string repo_dir;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string id;
};

TEST_F(HostRestoreTest, HolesStayHolesAndALinkIsFollowed)
{
    std::string img = tmp / "img";
    r->restore(id, img);
    EXPECT_EQ(bytes_of(read_host_file(img)), dev.expected_image());
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), dev.blocks * 4096);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t(st.st_size) / 4) << "zero blocks were written";

    ASSERT_EQ(symlink(img.c_str(), (tmp / "link").c_str()), 0);
    repo::RestoreOptions overwrite;
    overwrite.overwrite = true;
    r->restore(id, tmp / "link", {}, overwrite);
    struct stat lst;
    ASSERT_EQ(lstat((tmp / "link").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode)) << "the link stays; the file it names is replaced";
    EXPECT_EQ(bytes_of(read_host_file(img)), dev.expected_image());
    ASSERT_EQ(symlink((tmp / "nothing").c_str(), (tmp / "dangling").c_str()), 0);
    EXPECT_EQ(restore_error(*r, id, tmp / "dangling", overwrite), Error::Kind::Exists);
    // The repository is refused whichever way it is named.
    ASSERT_EQ(symlink((repo_dir + "/backups").c_str(), (tmp / "inrepo").c_str()), 0);
    EXPECT_EQ(restore_error(*r, id, tmp / "inrepo/x.img"), Error::Kind::Invalid);
}

TEST_F(HostRestoreTest, SignalsAndKillsLeaveNothingBehind)
{
    std::string img = tmp / "img";
    for (int sig : {SIGINT, SIGTERM}) {
        int status = restore_killed_by(sig, img);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_EQ(repo::Env::posix().list(tmp.path()).size(), 1u) << "only the repository is left";
    }
    int status = restore_killed_by(SIGKILL, img);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_EQ(temp_files(repo::Env::posix(), tmp.path()).size(), 1u) << "a kill cannot clean up";
    r->restore(id, img);
    EXPECT_TRUE(temp_files(repo::Env::posix(), tmp.path()).empty()) << "the next restore removed it";
    EXPECT_EQ(bytes_of(read_host_file(img)), dev.expected_image());
}

// A loop device over a file: written in place with overwrite, refused without, and refused
// while mounted. Skipped where the machine does not let the test set one up.
TEST_F(HostRestoreTest, BlockDevicesOnlyWithOverwriteAndNeverMounted)
{
    std::string backing = tmp / "backing", out;
    std::vector<char> junk(dev.blocks * 4096 + 8192, 'j');
    {
        FILE* f = fopen(backing.c_str(), "w");
        ASSERT_TRUE(f);
        fwrite(junk.data(), 1, junk.size(), f);
        fclose(f);
    }
    if (geteuid() != 0 || run("losetup -f --show " + backing, &out) != 0)
        GTEST_SKIP() << "no loop devices here";
    std::string loop = out.substr(0, out.find('\n'));
    struct Detach {
        std::string dev;
        ~Detach() { run("losetup -d " + dev); }
    } detach{loop};

    EXPECT_EQ(restore_error(*r, id, loop), Error::Kind::Exists);
    repo::RestoreOptions overwrite;
    overwrite.overwrite = true;
    r->restore(id, loop, {}, overwrite);
    run("sync");
    std::string written = read_host_file(backing);
    ASSERT_EQ(written.size(), junk.size());
    EXPECT_EQ(bytes_of(written.substr(0, dev.blocks * 4096)), dev.expected_image()) << "zeros written too";
    EXPECT_EQ(written.substr(dev.blocks * 4096), std::string(8192, 'j')) << "beyond the image: left as it was";

    std::string mnt = tmp / "mnt";
    mkdir(mnt.c_str(), 0755);
    if (run("mkfs.ext2 -q " + loop + " && mount " + loop + " " + mnt) != 0)
        GTEST_SKIP() << "cannot mount here";
    struct Unmount {
        std::string dir;
        ~Unmount() { run("umount " + dir); }
    } unmount{mnt};
    try {
        r->restore(id, loop, {}, overwrite);
        ADD_FAILURE() << "restored onto a mounted device";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Invalid);
        EXPECT_NE(std::string(e.what()).find("mounted"), std::string::npos) << e.what();
    }
}

} // namespace
