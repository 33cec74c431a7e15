// Extract from hostile and damaged file systems: images made with mkfs.ext4 -d and edited
// with debugfs and by hand (names that climb out, duplicate names, symlinks out of the
// target, someone else's setuid program), then backed up. Nothing outside the target may
// change, and every attribute extract keeps must equal what debugfs says the original held.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ext2fs/ext2fs.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "repo/extfs.h"
#include "repo/isolate.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kGiB = 1ull << 30;

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Everything below `root` but the directories named `skip`: type, mode, owner, size, mtime
// and contents or target.
std::map<std::string, std::string> state_of(const std::string& root, const std::set<std::string>& skip)
{
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string p = it->path().string();
        if (skip.count(p.substr(root.size()))) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st;
        lstat(p.c_str(), &st);
        std::string v = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                        std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
        if (S_ISLNK(st.st_mode))
            v += " -> " + fs::read_symlink(p).string();
        else if (S_ISREG(st.st_mode))
            v += " " + read_host_file(p);
        out[p.substr(root.size())] = v;
    }
    return out;
}

std::map<std::string, std::string> xattrs_of(const std::string& path)
{
    std::map<std::string, std::string> out;
    char names[4096];
    ssize_t n = llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t i = 0; i < n; i += ssize_t(strlen(names + i)) + 1) {
        char value[4096];
        ssize_t v = lgetxattr(path.c_str(), names + i, value, sizeof value);
        if (v >= 0 && strncmp(names + i, "security.selinux", 16) != 0)
            out[names + i] = std::string(value, size_t(v));
    }
    return out;
}

// What debugfs says of an inode.
struct Stat {
    unsigned mode = 0, uid = 0, gid = 0, links = 0;
    uint64_t size = 0;
    struct timespec atime{}, mtime{};
};

// A time as debugfs shows it: 0xSECONDS, or 0xSECONDS:EXTRA on a large inode.
struct timespec decode_time(const std::string& word)
{
    size_t colon = word.find(':');
    uint32_t sec = std::stoul(word.substr(0, colon), nullptr, 16);
    uint32_t extra = colon == std::string::npos ? 0 : std::stoul(word.substr(colon + 1), nullptr, 16);
    struct timespec t;
    t.tv_sec = int64_t(int32_t(sec)) + (int64_t(extra & 3) << 32);
    t.tv_nsec = extra >> 2;
    return t;
}

// Runs `stat` on every path in one debugfs run.
std::map<std::string, Stat> debugfs_stat(const std::string& image, const std::vector<std::string>& paths,
                                         const std::string& tmp)
{
    std::string cmds;
    for (const auto& p : paths)
        cmds += "stat \"" + p + "\"\n";
    write_file(tmp + "/stat.cmds", cmds);
    std::string out;
    EXPECT_EQ(run("debugfs -f " + tmp + "/stat.cmds " + image, &out), 0) << out;
    std::map<std::string, Stat> res;
    size_t pos = 0;
    for (const auto& p : paths) {
        std::string head = "debugfs: stat \"" + p + "\"\n";
        size_t at = out.find(head, pos);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no debugfs stat for " << p;
            continue;
        }
        size_t end = out.find("debugfs: ", at + head.size());
        std::string block = out.substr(at + head.size(), end == std::string::npos ? end : end - at - head.size());
        pos = at + head.size();
        Stat s;
        s.mode = std::stoul(word_after(block, "Mode:"), nullptr, 8);
        s.uid = std::stoul(word_after(block, "User:"));
        s.gid = std::stoul(word_after(block, "Group:"));
        s.size = std::stoull(word_after(block, "Size:", block.find("Group:")));
        s.links = std::stoul(word_after(block, "Links:"));
        s.atime = decode_time(word_after(block, " atime:"));
        s.mtime = decode_time(word_after(block, " mtime:"));
        res[p] = s;
    }
    return res;
}

// The ACL "user::rw-, user:1234:r--, group::r--, mask::r--, other::---" as the kernel's
// extended attribute holds it.
std::string acl_value()
{
    struct Entry {
        uint16_t tag, perm;
        uint32_t id;
    } entries[] = {{1, 6, ~0u}, {2, 4, 1234}, {4, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
    uint32_t version = 2;
    std::string v(reinterpret_cast<const char*>(&version), 4);
    v.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return v;
}

const std::string kDeep = [] {
    std::string p;
    for (int i = 1; i <= 30; i++)
        p += "/d" + std::to_string(i);
    return p;
}();

// Blocks of a device in memory, as a backup's reader gives them.
class MemoryReader : public repo::Repository::BlockReader {
public:
    explicit MemoryReader(const Device& d) : d_(d)
    {
        m_.id = "mutant";
        m_.source.block_size = d.block_size;
        m_.source.block_count = d.blocks;
    }
    const repo::Manifest& manifest() const override { return m_; }
    std::optional<uint64_t> bad; // a block whose read fails as a damaged chunk would
    void read(uint64_t first, uint64_t count, uint8_t* out) override
    {
        if (first + count > d_.blocks)
            throw Error(Error::Kind::Invalid, "read beyond the device");
        if (bad && first <= *bad && *bad < first + count)
            throw Error(Error::Kind::Damaged, "chunk damaged", "chunks/bad");
        memcpy(out, d_.block(first), count * d_.block_size);
    }

private:
    const Device& d_;
    repo::Manifest m_;
};

// The hostile file system, backed up once for the tests below.
class HostileExtract : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make the image's devices and owners";
        tmp_ = new TempDir;
        TempDir& t = *tmp_;
        std::string src = t / "src", world = t / "world";
        fs::create_directories(src + "/sub");
        fs::create_directories(world + "/sentinel/dir");
        write_file(world + "/sentinel/victim", "precious");
        write_file(world + "/sentinel/dir/keep", "keep");
        write_file(src + "/plain.txt", std::string(10000, 'p'));
        write_file(src + "/empty", "");
        write_file(src + "/setuid-other", "#!/bin/sh\necho owned\n");
        chown((src + "/setuid-other").c_str(), 1234, 1234);
        chmod((src + "/setuid-other").c_str(), 04755);
        fs::create_directory(src + "/setgid-dir");
        chown((src + "/setgid-dir").c_str(), 0, 1234);
        chmod((src + "/setgid-dir").c_str(), 02775);
        fs::create_directory(src + "/sticky");
        chmod((src + "/sticky").c_str(), 01777);
        fs::create_directory(src + "/locked");
        write_file(src + "/locked/inside", "inside");
        chmod((src + "/locked").c_str(), 0500);
        fs::create_symlink(world + "/sentinel", src + "/link-out-abs");
        fs::create_symlink("../../../sentinel/victim", src + "/link-out-rel");
        fs::create_symlink(std::string(300, 'y'), src + "/slow-link");
        // A symlink and a file, and a symlink and a directory, that will share their names.
        fs::create_symlink(world + "/sentinel/victim", src + "/dupA");
        write_file(src + "/dupB", "EVIL");
        fs::create_symlink(world + "/sentinel/dir", src + "/dupD");
        fs::create_directory(src + "/dupC");
        write_file(src + "/dupC/planted", "EVIL");
        // Names to become unsafe.
        write_file(src + "/MARKESC01", "EVIL");
        write_file(src + "/MARKS", "EVIL");
        write_file(src + "/MARKN", "EVIL");
        write_file(src + "/XX", "EVIL");
        write_file(src + "/hard1", "linked");
        fs::create_hard_link(src + "/hard1", src + "/sub/hard2");
        fs::create_hard_link(src + "/hard1", src + "/hard3");
        {
            int fd = open((src + "/sparse-big").c_str(), O_CREAT | O_WRONLY, 0644);
            pwrite(fd, "head", 4, 0);
            pwrite(fd, "tail", 4, off_t(4 * kGiB + kGiB / 2));
            ftruncate(fd, off_t(5 * kGiB + 12345));
            close(fd);
        }
        mkfifo((src + "/fifo").c_str(), 0640);
        mknod((src + "/null-dev").c_str(), S_IFCHR | 0666, makedev(1, 3));
        mknod((src + "/loop-dev").c_str(), S_IFBLK | 0660, makedev(7, 300));
        write_file(src + "/attrs", "x");
        setxattr((src + "/attrs").c_str(), "user.comment", "hello", 5, 0);
        setxattr((src + "/attrs").c_str(), "trusted.secret", "s3", 2, 0);
        std::string acl = acl_value();
        write_file(src + "/acl", "a");
        setxattr((src + "/acl").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
        fs::create_directories(src + kDeep);
        write_file(src + kDeep + "/leaf", "deep");
        write_file(src + "/naïve-日本語.txt", "utf8");
        write_file(src + "/new\nline", "newline");

        image_ = t / "disk.img";
        std::string out;
        ASSERT_EQ(run("mkfs.ext4 -q -F -O ^metadata_csum -b 4096 -d '" + src + "' " + image_ + " 8192", &out), 0)
            << out;
        // Unsafe names, duplicate names, and times with nanoseconds and past 2038.
        rename_entry(image_, inode_of(image_, "/MARKESC01"), "MARKESC01", "../../ESC");
        rename_entry(image_, inode_of(image_, "/MARKS"), "MARKS", "a/b/c");
        rename_entry(image_, inode_of(image_, "/MARKN"), "MARKN", std::string("nul\0x", 5));
        rename_entry(image_, inode_of(image_, "/XX"), "XX", "..");
        rename_entry(image_, inode_of(image_, "/dupB"), "dupB", "dupA");
        rename_entry(image_, inode_of(image_, "/dupC"), "dupC", "dupD");
        ASSERT_EQ(run("debugfs -w -R 'sif /plain.txt mtime_extra 0x1d6f3454' " + image_, &out), 0) << out;
        ASSERT_EQ(run("debugfs -w -R 'sif /plain.txt atime_extra 0x1' " + image_, &out), 0) << out;

        Device dev = load_ext_image(image_, 4096);
        repo::Repository::init(repo::Env::posix(), t / "repo", 65536);
        auto r = repo::Repository::open(repo::Env::posix(), t / "repo");
        BackupPlan plan;
        plan.fs_type = "ext4";
        id_ = write_backup(*r, dev, plan);
    }
    static void TearDownTestSuite()
    {
        delete tmp_;
        tmp_ = nullptr;
    }

    void SetUp() override
    {
        if (!tmp_)
            GTEST_SKIP();
        repo_ = repo::Repository::open(repo::Env::posix(), *tmp_ / "repo");
    }

    static std::string world() { return *tmp_ / "world"; }
    // The targets of the tests below, in world (left out of its comparisons).
    inline static const std::set<std::string> kTargets = {"/a/b/out", "/user-out", "/nobody-out", "/one",
                                                          "/interrupted", "/failed"};

    static TempDir* tmp_;
    static std::string image_, id_;
    std::unique_ptr<repo::Repository> repo_;
};

TempDir* HostileExtract::tmp_ = nullptr;
std::string HostileExtract::image_, HostileExtract::id_;

// The paths below / whose attributes the extract keeps, for debugfs stat.
const std::vector<std::string> kKept = {
    "/",          "/plain.txt",   "/empty",     "/setuid-other", "/setgid-dir", "/sticky",  "/locked",
    "/locked/inside", "/link-out-abs", "/link-out-rel", "/slow-link", "/hard1", "/sub/hard2", "/hard3",
    "/sparse-big", "/fifo", "/null-dev", "/loop-dev", "/attrs", "/acl", "/sub", kDeep, kDeep + "/leaf",
    "/naïve-日本語.txt"};

TEST_F(HostileExtract, AsRootKeepsEveryAttributeAndNothingOutsideChanges)
{
    std::string to = world() + "/a/b/out";
    fs::create_directories(to);
    auto before = state_of(world(), kTargets);
    repo::ExtractReport rep = repo_->extract(id_, "/", to);
    EXPECT_EQ(state_of(world(), kTargets), before) << "nothing outside the target changed";

    // Refused: four unsafe names and the second entry of each shared name.
    EXPECT_FALSE(rep.complete());
    EXPECT_EQ(rep.refused["unsafe name"], 4u);
    EXPECT_EQ(rep.refused["duplicate name"], 2u);
    EXPECT_EQ(rep.refused.size(), 2u);
    std::string warnings;
    for (const auto& w : rep.warnings)
        warnings += w + "\n";
    EXPECT_NE(warnings.find("refused /../../ESC (inode "), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("refused /nul\\x00x (inode "), std::string::npos) << warnings;
    EXPECT_TRUE(rep.skipped.empty());
    EXPECT_EQ(rep.devices, 2u);
    EXPECT_EQ(rep.fifos, 1u);
    EXPECT_EQ(rep.hard_links, 2u);
    EXPECT_TRUE(rep.not_kept.empty()) << nlohmann::json(rep.not_kept).dump();
    EXPECT_LT(rep.bytes, 1u << 20) << "the holes of the 5 GiB file were not written";

    // The duplicates: whichever came first stands, and nothing was written through it.
    std::string root = to + "/root";
    struct stat st;
    ASSERT_EQ(lstat((root + "/dupA").c_str(), &st), 0);
    if (S_ISLNK(st.st_mode))
        EXPECT_EQ(fs::read_symlink(root + "/dupA"), world() + "/sentinel/victim");
    else
        EXPECT_EQ(read_host_file(root + "/dupA"), "EVIL");
    ASSERT_EQ(lstat((root + "/dupD").c_str(), &st), 0);
    EXPECT_FALSE(fs::exists(world() + "/sentinel/dir/planted"));

    // Every kept attribute equals the original's (times before any content is read).
    auto want = debugfs_stat(image_, kKept, tmp_->path());
    for (const auto& p : kKept) {
        SCOPED_TRACE(p);
        const Stat& w = want[p];
        ASSERT_EQ(lstat((root + (p == "/" ? "" : p)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, w.mode) << std::oct << st.st_mode << " " << w.mode;
        EXPECT_EQ(st.st_uid, w.uid);
        EXPECT_EQ(st.st_gid, w.gid);
        if (!S_ISDIR(st.st_mode)) {
            EXPECT_EQ(uint64_t(st.st_size), w.size);
            EXPECT_EQ(st.st_nlink, w.links);
        }
        EXPECT_EQ(st.st_mtim.tv_sec, w.mtime.tv_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, w.mtime.tv_nsec);
        EXPECT_EQ(st.st_atim.tv_sec, w.atime.tv_sec);
        EXPECT_EQ(st.st_atim.tv_nsec, w.atime.tv_nsec);
    }
    EXPECT_EQ(want["/plain.txt"].mtime.tv_nsec, 123456789) << "the image holds what the test meant";
    EXPECT_GT(want["/plain.txt"].atime.tv_sec, int64_t(1) << 32);

    // Contents, links, holes, devices, attributes.
    std::string src = tmp_->path() + "/src";
    for (const char* p : {"/plain.txt", "/empty", "/setuid-other", "/locked/inside", "/hard1", "/attrs",
                          "/naïve-日本語.txt", "/new\nline"})
        EXPECT_EQ(read_host_file(root + p), read_host_file(src + p)) << p;
    EXPECT_EQ(read_host_file(root + kDeep + "/leaf"), "deep");
    EXPECT_EQ(fs::read_symlink(root + "/slow-link"), std::string(300, 'y'));
    struct stat a, b;
    ASSERT_EQ(lstat((root + "/hard1").c_str(), &a), 0);
    ASSERT_EQ(lstat((root + "/sub/hard2").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    ASSERT_EQ(lstat((root + "/sparse-big").c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20) << "holes stay holes";
    int fd = open((root + "/sparse-big").c_str(), O_RDONLY);
    char buf[4];
    EXPECT_EQ(pread(fd, buf, 4, off_t(4 * kGiB + kGiB / 2)), 4);
    EXPECT_EQ(std::string(buf, 4), "tail");
    EXPECT_EQ(pread(fd, buf, 4, off_t(2 * kGiB)), 4);
    EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
    close(fd);
    ASSERT_EQ(lstat((root + "/loop-dev").c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(7, 300));
    ASSERT_EQ(lstat((root + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(xattrs_of(root + "/attrs"), xattrs_of(src + "/attrs"));
    EXPECT_EQ(xattrs_of(root + "/attrs").count("trusted.secret"), 1u);
    EXPECT_EQ(xattrs_of(root + "/acl")["system.posix_acl_access"], acl_value());
}

TEST_F(HostileExtract, WithoutRootOwnersDevicesAndPrivilegedAttributesStayBehind)
{
    std::string to = world() + "/user-out";
    fs::create_directories(to);
    auto before = state_of(world(), kTargets);
    repo::ExtractOptions opt;
    opt.as_root = false;
    repo::ExtractReport rep = repo_->extract(id_, "/", to, opt);
    EXPECT_EQ(state_of(world(), kTargets), before);
    EXPECT_EQ(rep.skipped["device (not root)"], 2u);
    EXPECT_EQ(rep.devices, 0u);
    EXPECT_EQ(rep.not_kept["setuid/setgid (owner not set)"], 1u);
    EXPECT_GE(rep.not_kept["extended attribute (not root)"], 2u);
    std::string root = to + "/root";
    struct stat st;
    ASSERT_EQ(lstat((root + "/setuid-other").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "someone else's setuid program is not handed out";
    EXPECT_EQ(st.st_uid, 0u);
    auto x = xattrs_of(root + "/attrs");
    EXPECT_EQ(x.count("user.comment"), 1u);
    EXPECT_EQ(x.count("trusted.secret"), 0u);
    EXPECT_FALSE(fs::exists(root + "/null-dev"));
}

TEST_F(HostileExtract, AsNobodyInAForkedChild)
{
    // A real unprivileged run: the kernel, not a flag, refuses what nobody may do.
    std::string to = world() + "/nobody-out";
    fs::create_directories(to);
    chown(to.c_str(), 65534, 65534);
    for (std::string p = tmp_->path(); p != "/"; p = fs::path(p).parent_path())
        chmod(p.c_str(), 0755);
    // Readers write a lock object of their own: the repository's lock folder is open to them.
    ASSERT_EQ(run("chmod -R a+rX " + (*tmp_ / "repo") + " && mkdir -p " + (*tmp_ / "repo/locks") + " && chmod 1777 " +
                  (*tmp_ / "repo/locks")),
              0);
    auto before = state_of(world(), kTargets);
    pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(10);
        try {
            auto r = repo::Repository::open(repo::Env::posix(), *tmp_ / "repo");
            repo::ExtractReport rep = r->extract(id_, "/", to);
            bool ok = rep.skipped["device (not root)"] == 2 && rep.refused["unsafe name"] == 4 && rep.files > 10;
            _exit(ok ? 0 : 11);
        } catch (...) {
            _exit(12);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(state_of(world(), kTargets), before);
    struct stat st;
    ASSERT_EQ(lstat((to + "/root/setuid-other").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(read_host_file(to + "/root/locked/inside"), "inside");
}

TEST_F(HostileExtract, ExtractingOneEntryAndRefusingATakenName)
{
    std::string to = world() + "/one";
    fs::create_directories(to);
    repo::ExtractReport rep = repo_->extract(id_, "/fifo", to);
    EXPECT_TRUE(rep.complete());
    EXPECT_EQ(rep.fifos, 1u);
    struct stat st;
    ASSERT_EQ(lstat((to + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A name already taken in the target (here by a symlink out of it) is never replaced.
    fs::create_symlink(world() + "/sentinel/victim", to + "/plain.txt");
    EXPECT_THROW(repo_->extract(id_, "/plain.txt", to), Error);
    EXPECT_EQ(read_host_file(world() + "/sentinel/victim"), "precious");
    // A path through a symlink of the backup is not followed.
    try {
        repo_->ls(id_, "/link-out-abs/victim");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound) << e.what();
    }
    EXPECT_THROW(repo_->extract(id_, "/sub/..", to), Error);
}

TEST_F(HostileExtract, CleanupAfterAFailureFollowsNoLink)
{
    // The data of /plain.txt cannot be read; /link-out-abs (to the sentinel directory) was
    // extracted before it. Removing what was made must not go through that link.
    std::string out;
    ASSERT_EQ(run("debugfs -R 'bmap /plain.txt 0' " + image_, &out), 0);
    Device dev = load_ext_image(image_, 4096);
    MemoryReader reader(dev);
    reader.bad = std::stoull(out.substr(out.find_last_of('\n', out.size() - 2) + 1));
    std::string to = world() + "/failed";
    fs::create_directories(to);
    auto before = state_of(world(), kTargets);
    try {
        repo::fs_extract(reader, "/", to, {});
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
    }
    EXPECT_TRUE(fs::is_empty(to));
    EXPECT_EQ(state_of(world(), kTargets), before);
    EXPECT_EQ(read_host_file(world() + "/sentinel/dir/keep"), "keep");
}

TEST_F(HostileExtract, InterruptedExtractLeavesNothingBehind)
{
    // A child runs the extract; SIGTERM reaches it once the tree has begun to appear. It
    // ends either complete (the signal came too late) or with nothing left in the target.
    std::string to = world() + "/interrupted";
    fs::create_directories(to);
    pid_t pid = fork();
    if (pid == 0) {
        try {
            auto r = repo::Repository::open(repo::Env::posix(), *tmp_ / "repo");
            repo::ExtractReport rep = r->extract(id_, "/", to);
            _exit(rep.files > 0 ? 0 : 11);
        } catch (const Error& e) {
            _exit(std::string(e.what()).find("interrupted") != std::string::npos ? 20 : 12);
        }
    }
    while (!fs::exists(to + "/root")) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        usleep(200);
    }
    bool stopped = false;
    int status = 0;
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
        // Exit 20: interrupted. A signal: it came after the extract had returned.
        stopped = WIFEXITED(status) && WEXITSTATUS(status) == 20;
        EXPECT_TRUE(stopped || WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
    }
    if (stopped) {
        EXPECT_TRUE(fs::is_empty(to)) << "an interrupted extract removes what it made";
    } else {
        EXPECT_TRUE(fs::exists(to + "/root/plain.txt")) << "wait status " << status;
    }
    for (const auto& e : fs::directory_iterator(to))
        EXPECT_EQ(e.path().filename(), "root");
}

// The blocks of an image that hold file-system structures: inode tables, directories,
// extent tree and indirect blocks.
std::vector<uint64_t> structure_blocks(const std::string& image)
{
    ext2_filsys fs;
    std::vector<uint64_t> out;
    if (ext2fs_open(image.c_str(), 0, 0, 0, unix_io_manager, &fs))
        return out;
    ext2_inode_scan scan;
    ext2fs_open_inode_scan(fs, 0, &scan);
    ext2_ino_t ino;
    struct ext2_inode inode;
    while (!ext2fs_get_next_inode(scan, &ino, &inode) && ino) {
        if (!inode.i_links_count)
            continue;
        // The inode table block that holds it.
        uint64_t index = (ino - 1) % fs->super->s_inodes_per_group;
        out.push_back(ext2fs_inode_table_loc(fs, (ino - 1) / fs->super->s_inodes_per_group) +
                      index * EXT2_INODE_SIZE(fs->super) / fs->blocksize);
        if (!ext2fs_inode_has_valid_blocks2(fs, &inode))
            continue;
        bool dir = LINUX_S_ISDIR(inode.i_mode);
        auto cb = [](ext2_filsys, blk64_t* block, e2_blkcnt_t count, blk64_t, int, void* priv) -> int {
            auto* p = static_cast<std::pair<bool, std::vector<uint64_t>*>*>(priv);
            if (count < 0 || p->first)
                p->second->push_back(*block);
            return 0;
        };
        std::pair<bool, std::vector<uint64_t>*> priv{dir, &out};
        ext2fs_block_iterate3(fs, ino, BLOCK_FLAG_READ_ONLY, nullptr, cb, &priv);
    }
    ext2fs_close_inode_scan(scan);
    ext2fs_close_free(&fs);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

TEST(ExtractMutations, DamagedImagesNeverCrashTheCommandNorWriteOutsideTheTarget)
{
    TempDir tmp;
    make_tree(tmp / "tree", 51, 40);
    fs::create_directories(tmp / "tree/d1/d2/d3");
    fs::create_symlink(tmp / "world", tmp / "tree/d1/out");
    fs::create_hard_link(tmp / "tree/empty", tmp / "tree/d1/d2/empty-link");
    fs::create_directories(tmp / "world/t");
    write_file(tmp / "world/precious", "precious");
    std::mt19937 rng(2026);
    int crashes = 0, refusals = 0, errors = 0, clean = 0;
    for (const char* type : {"ext4", "ext2"}) {
        std::string image = tmp / (std::string(type) + ".img");
        std::string opts = std::string(type) == "ext4" ? " -O ^metadata_csum" : "";
        std::string out;
        ASSERT_EQ(run("mkfs.ext4 -q -F -t " + std::string(type) + opts + " -b 1024 -d '" + (tmp / "tree") + "' " +
                          image + " 4096",
                      &out),
                  0)
            << out;
        Device pristine = load_ext_image(image, 1024);
        std::vector<uint64_t> targets = structure_blocks(image);
        ASSERT_GT(targets.size(), 10u);
        for (int round = 0; round < 60; round++) {
            SCOPED_TRACE(std::string(type) + " round " + std::to_string(round));
            Device d = pristine;
            int flips = 1 + int(rng() % 16);
            for (int i = 0; i < flips; i++) {
                uint64_t b = targets[rng() % targets.size()];
                if (b < d.blocks)
                    d.block(b)[rng() % d.block_size] ^= uint8_t(1u << (rng() % 8));
            }
            MemoryReader reader(d);
            // The whole-tree walk that diff makes meets the same damage: an Error at worst.
            try {
                repo::fs_walk(reader);
            } catch (const Error&) {
            }
            auto before = state_of(tmp / "world", {"/t"});
            try {
                repo::fs_list(reader, "/");
                repo::ExtractReport rep = repo::fs_extract(reader, "/", tmp / "world/t", {});
                (rep.complete() ? clean : refusals)++;
            } catch (const Error& e) {
                if (std::string(e.what()).find("stopped on signal") != std::string::npos)
                    crashes++;
                else
                    errors++;
                EXPECT_TRUE(fs::is_empty(tmp / "world/t")) << e.what();
            }
            EXPECT_EQ(state_of(tmp / "world", {"/t"}), before);
            fs::remove_all(tmp / "world/t");
            fs::create_directory(tmp / "world/t");
        }
    }
    printf("120 mutated images: %d extracted whole, %d with refusals, %d errors, %d reader crashes contained\n", clean,
           refusals, errors, crashes);
}

TEST(Isolate, ChildErrorsAndCrashesComeBackAsErrors)
{
    std::vector<std::string> got;
    repo::run_isolated(
        "work",
        [](repo::ChildPipe& p) {
            p.send('a', "one");
            p.send('b', std::string("t\0o", 3));
        },
        [&](char tag, const std::string& msg) { got.push_back(tag + msg); });
    EXPECT_EQ(got, (std::vector<std::string>{"aone", std::string("bt\0o", 4)}));
    try {
        repo::run_isolated(
            "work", [](repo::ChildPipe&) { throw Error(Error::Kind::NotFound, "gone", "/x"); },
            [](char, const std::string&) {});
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound);
        EXPECT_EQ(e.path(), "/x");
    }
    try {
        repo::run_isolated(
            "reading", [](repo::ChildPipe&) { raise(SIGSEGV); }, [](char, const std::string&) {});
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged);
        // Signal 11, or 6 where a sanitizer turns the crash into an abort.
        const std::string what = e.what();
        EXPECT_TRUE(what.find("reading stopped on signal 11") != std::string::npos ||
                    what.find("reading stopped on signal 6") != std::string::npos)
            << what;
    }
}

} // namespace
