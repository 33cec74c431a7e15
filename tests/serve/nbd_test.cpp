// The live machine with real NBD clients (nbdcopy, nbdsh, qemu-img) writing its partition while
// `kestrel backup --server` backs it up from another process; the snapshot's export; and
// SIGTERM of `kestrel serve`.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "agent/control.h"
#include "repo/repository.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/serve/live.h"
#include "tools/demo/disk_image.h"
// Last: the kernel's macros clash with the libraries'.
#include "platform/kernel.h"

namespace kestrel_test {
namespace {

// The NBD URI of an export of the machine's one NBD socket.
std::string uri(const std::string& socket, const std::string& name)
{
    return "nbd+unix:///" + name + "?socket=" + socket;
}
std::string uri(const serve::Device& d) { return uri(d.nbd, d.name); }

int run(const std::vector<std::string>& argv, std::string* out = nullptr)
{
    demo::CheckResult r = demo::run_program(argv);
    if (out)
        *out = r.output;
    return r.exit_code;
}

// nbdsh with the system's Python, which has the nbd module (a Python of the user's own,
// earlier in PATH, may not).
std::vector<std::string> nbdsh(std::vector<std::string> args)
{
    args.insert(args.begin(), {"env", "PATH=/usr/bin:/bin", "nbdsh"});
    return args;
}

const uint64_t kSectors = kPartBytes / 512;
const uint64_t kDiskBytes = 48u << 20;

class NbdTest : public LiveTest {
protected:
    void SetUp() override
    {
        if (run({"nbdcopy", "--version"}) != 0 || run(nbdsh({"--version"})) != 0 ||
            run({"qemu-img", "--version"}) != 0 ||
            access(KESTREL_NBD_PLUGIN, R_OK) != 0) {
            // CI sets KESTREL_REQUIRE_NBD so that these tests cannot pass by being skipped.
            if (getenv("KESTREL_REQUIRE_NBD"))
                FAIL() << "nbdcopy, nbdsh, qemu-img or the plugin is missing";
            GTEST_SKIP() << "needs nbdcopy, nbdsh, qemu-img and the plugin";
        }
        LiveTest::SetUp();
        // Room on the whole disk past the partition for requests of the largest size.
        ASSERT_EQ(truncate(image.c_str(), kDiskBytes), 0);
        Start(true);
        part = uri(PartDevice());
    }

    // Writes generation gen of the stamps over the whole partition with nbdcopy.
    int WriteGen(uint32_t gen)
    {
        std::string file = tmp / ("gen" + std::to_string(gen));
        write_file(file, stamped(kSectors, gen));
        int rc = run({"nbdcopy", file, part});
        unlink(file.c_str());
        return rc;
    }

    nlohmann::json BackupFromAnotherProcess()
    {
        // Made here (unencrypted), so that the backup needs no password.
        if (!std::filesystem::exists(tmp / "repo"))
            repo::Repository::init(repo::Env::posix(), tmp / "repo");
        std::string out;
        int rc = run({"sh", "-c",
                      std::string(KESTREL_BINARY) + " backup --json --server " + socket + " --partition 1 --repo " +
                          (tmp / "repo") + " 2>/dev/null"},
                     &out);
        EXPECT_EQ(rc, 0) << out;
        // The result is the last line, after the progress lines.
        return nlohmann::json::parse(out.substr(out.rfind('\n', out.size() - 2) + 1));
    }

    std::vector<uint8_t> Restore(const std::string& id, const std::string& name)
    {
        auto r = repo::Repository::open(repo::Env::posix(), tmp / "repo");
        r->restore(id, tmp / name);
        return read_file(tmp / name);
    }

    std::string part;
};

TEST_F(NbdTest, ClientWritesGoThroughTheBlockLayerAndReadBack)
{
    struct stat st;
    ASSERT_EQ(stat(PartDevice().nbd.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const uint32_t disk = server->devices()[0].dev;
    const uint64_t before = sim::disk_stats(server->machine(), disk).sectors_written;
    ASSERT_EQ(WriteGen(1), 0);
    EXPECT_GE(sim::disk_stats(server->machine(), disk).sectors_written - before, kSectors);
    // What the export reads back, what qemu-img sees and what the image holds agree.
    write_file(tmp / "gen1", stamped(kSectors, 1));
    std::string out;
    EXPECT_EQ(run({"qemu-img", "compare", "-f", "raw", "-F", "raw", tmp / "gen1", part}, &out), 0) << out;
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == stamped(kSectors, 1));
    // A request past the end is refused and the connection goes on; a trim leaves zeros
    // (through the block layer too); a flush is answered.
    const std::string end = std::to_string(kPartBytes);
    EXPECT_NE(run(nbdsh({"-u", part, "-c", "h.pread(1024, " + end + " - 512)"})), 0);
    EXPECT_EQ(run(nbdsh({"-u", part, "-c",
                   "try:\n    h.pwrite(bytearray(512), " + end + ")\nexcept nbd.Error:\n    pass\n"
                   "h.trim(" + end + ", 0)\nh.flush()"}), &out), 0) << out;
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == std::vector<uint8_t>(kPartBytes));
}

// The copies an operator makes: a sparse image (nbdcopy turns its holes into zero requests
// as long as the partition), a full one, and back out; qemu-img writing an existing export.
TEST_F(NbdTest, RealClientsCopySparseAndFullImagesBothWays)
{
    ASSERT_EQ(WriteGen(1), 0);
    const std::string sparse = tmp / "sparse.img";
    write_file(sparse, {});
    ASSERT_EQ(truncate(sparse.c_str(), kPartBytes), 0);
    std::string out;
    ASSERT_EQ(run({"nbdcopy", sparse, part}, &out), 0) << out;
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == std::vector<uint8_t>(kPartBytes));
    ASSERT_EQ(run({"nbdcopy", part, tmp / "zeros.img"}, &out), 0) << out;
    EXPECT_TRUE(read_file(tmp / "zeros.img") == std::vector<uint8_t>(kPartBytes));

    write_file(tmp / "gen2", stamped(kSectors, 2));
    ASSERT_EQ(run({"nbdcopy", tmp / "gen2", part}, &out), 0) << out;
    ASSERT_EQ(run({"nbdcopy", part, tmp / "back.img"}, &out), 0) << out;
    EXPECT_TRUE(read_file(tmp / "back.img") == stamped(kSectors, 2));

    write_file(tmp / "gen3", stamped(kSectors, 3));
    ASSERT_EQ(run({"qemu-img", "convert", "-n", "-f", "raw", "-O", "raw", tmp / "gen3", part}, &out), 0) << out;
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == stamped(kSectors, 3));
    EXPECT_EQ(run({"qemu-img", "compare", "-f", "raw", "-F", "raw", tmp / "gen3", part}, &out), 0) << out;
}

// One socket serves every device by name: the list names them all, the default export is
// the first disk, a name the machine does not have is refused and leaves the others be.
TEST_F(NbdTest, OneSocketServesEveryDeviceByName)
{
    const std::string sock = PartDevice().nbd;
    for (const serve::Device& d : server->devices())
        EXPECT_EQ(d.nbd, sock);
    std::string out;
    ASSERT_EQ(run({"nbdinfo", "--list", "--json", uri(sock, "")}, &out), 0) << out;
    std::vector<std::string> names;
    const nlohmann::json list = nlohmann::json::parse(out);
    for (const nlohmann::json& e : list["exports"])
        names.push_back(e["export-name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"sda", "sda1"})) << out;
    ASSERT_EQ(run({"nbdinfo", "--size", uri(sock, "")}, &out), 0) << out;
    EXPECT_EQ(std::stoull(out), kDiskBytes);
    ASSERT_EQ(run({"nbdinfo", "--size", part}, &out), 0) << out;
    EXPECT_EQ(std::stoull(out), kPartBytes);
    EXPECT_NE(run({"nbdinfo", "--size", uri(sock, "sdz")}, &out), 0) << out;
    EXPECT_NE(run({"nbdinfo", "--size", uri(sock, "snapshot")}, &out), 0) << out;
    // Both exports written at once through the one nbdkit, each where it lies in the image.
    write_file(tmp / "gen4", stamped(kSectors, 4));
    write_file(tmp / "head", std::vector<uint8_t>(kPartStart, 0x5A));
    ASSERT_EQ(run({"sh", "-c",
                   "nbdcopy " + std::string(tmp / "gen4") + " '" + part + "' & env PATH=/usr/bin:/bin nbdsh -u '" + uri(sock, "sda") +
                       "' -c 'h.pwrite(open(\"" + std::string(tmp / "head") +
                       "\", \"rb\").read()[512:], 512)' && wait $!"},
                  &out),
              0)
        << out;
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == stamped(kSectors, 4));
    EXPECT_TRUE(read_file(image, 512, kPartStart - 512) == std::vector<uint8_t>(kPartStart - 512, 0x5A));
}

// Requests of the advertised maximum on the whole disk, past the partition: written, read,
// zeroed and trimmed through the block layer; a request that fails (a fast zero the machine
// cannot do, an unaligned read) fails alone and the connection goes on.
TEST_F(NbdTest, RequestsUpToTheAdvertisedMaximumZeroAndTrim)
{
    const std::string disk = uri(server->devices()[0]);
    const uint32_t dev = server->devices()[0].dev;
    const uint64_t before = sim::disk_stats(server->machine(), dev).sectors_written;
    const std::string script = R"(
import errno
M = 32 * 1024 * 1024
assert h.get_block_size(nbd.SIZE_MINIMUM) == 512
assert h.get_block_size(nbd.SIZE_PREFERRED) == 4096
assert h.get_block_size(nbd.SIZE_MAXIMUM) >= M
off = 16 * 1024 * 1024
data = bytearray(bytes(range(251)) * (M // 251 + 1))[:M]
h.pwrite(data, off, nbd.CMD_FLAG_FUA)
assert h.pread(M, off) == data
try:
    h.zero(M, off, nbd.CMD_FLAG_FAST_ZERO)
    raise SystemExit("a fast zero was claimed")
except nbd.Error as e:
    assert e.errnum == errno.ENOTSUP, e
assert h.pread(M, off) == data
h.zero(M, off)
assert h.pread(M, off) == bytearray(M)
h.pwrite(data, off)
h.trim(M, off)
assert h.pread(M, off) == bytearray(M)
h.pwrite(data[:4096], off + 4096)
h.set_strict_mode(0)
try:
    h.pread(100, off + 1)
except nbd.Error:
    pass
assert h.pread(4096, off + 4096) == data[:4096]
h.flush()
)";
    std::string out;
    ASSERT_EQ(run(nbdsh({"-u", disk, "-c", script}), &out), 0) << out;
    EXPECT_GE(sim::disk_stats(server->machine(), dev).sectors_written - before, 4 * (32u << 20) / 512);
    std::vector<uint8_t> expect(32u << 20);
    for (size_t i = 0; i < 4096; i++)
        expect[4096 + i] = static_cast<uint8_t>(i % 251);
    EXPECT_TRUE(read_file(image, 16u << 20, 32u << 20) == expect);
}

// The export says where its image has holes (as nbdinfo maps it; copies skip them): the
// test image is written up to the end of the partition and a hole after it.
TEST_F(NbdTest, ExtentsShowWhereTheImageHasHoles)
{
    std::string out;
    ASSERT_EQ(run({"nbdinfo", "--map", "--json", uri(server->devices()[0])}, &out), 0) << out;
    const uint64_t written = kPartStart + kPartBytes;
    uint64_t covered = 0;
    for (const nlohmann::json& e : nlohmann::json::parse(out)) {
        uint64_t off = e["offset"], len = e["length"];
        bool hole = (e["type"].get<int>() & 1) != 0;
        EXPECT_EQ(off, covered);
        EXPECT_EQ(hole, off >= written) << off << "+" << len << " " << e["description"];
        EXPECT_TRUE(off + len <= written || off >= written) << off << "+" << len;
        covered = off + len;
    }
    EXPECT_EQ(covered, kDiskBytes);
    // Written through the export, the hole becomes data.
    EXPECT_EQ(run(nbdsh({"-u", uri(server->devices()[0]), "-c", "h.pwrite(b'x' * 4096, 16 * 1024 * 1024)"}), &out), 0) << out;
    ASSERT_EQ(run({"nbdinfo", "--map", "--json", uri(server->devices()[0])}, &out), 0) << out;
    bool data_at_16m = false;
    for (const nlohmann::json& e : nlohmann::json::parse(out)) {
        uint64_t off = e["offset"], len = e["length"];
        if (off <= (16u << 20) && (16u << 20) < off + len)
            data_at_16m = (e["type"].get<int>() & 1) == 0;
    }
    EXPECT_TRUE(data_at_16m) << out;
}

// The NBD sockets admit only the machine's user, even with their modes loosened by hand.
TEST_F(NbdTest, AnotherUserIsRefusedOnTheNbdSockets)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(chmod((tmp / "run").c_str(), 0755), 0);
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(PartDevice().nbd.c_str(), 0666), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl("/usr/bin/nbdsh", "nbdsh", "-u", part.c_str(), "-c", "h.pread(512, 0)", nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "another user read the disk";
    std::string out;
    EXPECT_EQ(run(nbdsh({"-u", part, "-c", "h.pread(512, 0)"}), &out), 0) << out;
}

// Whether restored holds, sector by sector, what the partition held at its freeze, except
// sectors of the write that was on its way when the snapshot was taken: an NBD client
// writes the block device, which the freeze does not hold back.
void ExpectSnapshotOf(const std::vector<uint8_t>& restored, const std::vector<uint8_t>& frozen)
{
    ASSERT_EQ(restored.size(), frozen.size());
    uint64_t raced = 0;
    for (uint64_t s = 0; s < kSectors; s++) {
        int64_t want = stamp_gen(frozen, s), got = stamp_gen(restored, s);
        if (want < 0) { // the super block's sectors: never rewritten by the clients
            ASSERT_TRUE(memcmp(&restored[s * 512], &frozen[s * 512], 512) == 0) << "sector " << s;
            continue;
        }
        ASSERT_TRUE(got == want || got == want + 1) << "sector " << s << ": " << got << " at freeze " << want;
        raced += got != want;
    }
    EXPECT_LT(raced, kSectors) << "the restored partition is all of a later write";
}

TEST_F(NbdTest, BackupsFromAnotherProcessWhileClientsWrite)
{
    sim::Machine& m = server->machine();
    ASSERT_EQ(sim::record_freezes(m, Part()), 0);
    ASSERT_EQ(WriteGen(1), 0);

    std::mutex mu;
    std::condition_variable cv;
    uint32_t done = 1; // guarded by mu
    bool stop = false;
    std::thread writer([&] {
        for (uint32_t gen = 2;; gen++) {
            {
                std::lock_guard<std::mutex> g(mu);
                if (stop)
                    return;
            }
            ASSERT_EQ(WriteGen(gen), 0);
            std::lock_guard<std::mutex> g(mu);
            done = gen;
            cv.notify_all();
        }
    });
    auto wait_for = [&](uint32_t gen) {
        std::unique_lock<std::mutex> g(mu);
        cv.wait(g, [&] { return done >= gen; });
        return done;
    };
    uint32_t g0 = wait_for(2);
    nlohmann::json full = BackupFromAnotherProcess();
    wait_for(g0 + 2);
    nlohmann::json inc = BackupFromAnotherProcess();
    {
        std::lock_guard<std::mutex> g(mu);
        stop = true;
    }
    writer.join();
    EXPECT_EQ(full["incremental"], false);
    EXPECT_EQ(inc["incremental"], true) << inc["full_reason"];
    EXPECT_EQ(inc["parent_id"], full["backup_id"]);

    // With the clients done, a third backup equals the export exactly.
    nlohmann::json last = BackupFromAnotherProcess();
    EXPECT_EQ(last["incremental"], true);

    auto frozen = sim::take_freeze_records(m, Part());
    ASSERT_EQ(frozen.size(), 3u);
    const nlohmann::json* backups[3] = {&full, &inc, &last};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE("backup " + std::to_string(i));
        std::vector<uint8_t> restored = Restore((*backups[i])["backup_id"], "restored" + std::to_string(i));
        ExpectSnapshotOf(restored, frozen[i]);
    }
    EXPECT_TRUE(read_file(tmp / "restored2") == frozen[2]);
    std::string out;
    EXPECT_EQ(run({"qemu-img", "compare", "-f", "raw", "-F", "raw", tmp / "restored2", part}, &out), 0) << out;
}

TEST_F(NbdTest, SnapshotExportKeepsThePointInTimeWhileClientsOverwrite)
{
    sim::Machine& m = server->machine();
    ASSERT_EQ(sim::record_freezes(m, Part()), 0);
    ASSERT_EQ(WriteGen(1), 0);

    auto t = Connect();
    agent::ControlDevice dev(*t);
    ASSERT_EQ(dev.open(), 0);
    const uint32_t blocks = kPartBytes / kBlockSize;
    ASSERT_EQ(dev.start_backup(MAJOR(Part()), MINOR(Part()), blocks, 2 * blocks), 0);
    ASSERT_EQ(dev.snapshot({}), 0);
    std::string snap;
    ASSERT_EQ(t->export_snapshot(dev.fd(), kBlockSize, blocks, snap), 0);
    std::string again;
    EXPECT_EQ(t->export_snapshot(dev.fd(), kBlockSize, blocks, again), -EBUSY);

    // Every block is overwritten after the snapshot; the export still reads the old ones.
    ASSERT_EQ(WriteGen(2), 0);
    ASSERT_EQ(snap, PartDevice().nbd);
    ASSERT_EQ(run({"nbdcopy", uri(snap, "snapshot"), tmp / "snap.img"}), 0);
    auto frozen = sim::take_freeze_records(m, Part());
    ASSERT_EQ(frozen.size(), 1u);
    EXPECT_TRUE(read_file(tmp / "snap.img") == frozen[0]);
    std::string out;
    EXPECT_EQ(run({"qemu-img", "compare", "-f", "raw", "-F", "raw", tmp / "snap.img", uri(snap, "snapshot")}, &out), 0)
        << out;
    // It is read-only.
    EXPECT_NE(run({"nbdcopy", tmp / "snap.img", uri(snap, "snapshot")}), 0);
    EXPECT_EQ(run({"nbdinfo", "--list", "--json", uri(snap, "")}, &out), 0) << out;
    EXPECT_NE(out.find("\"snapshot\""), std::string::npos) << out;

    // A client still connected when the export ends has its requests refused, one by one,
    // and its connection stays up; the disks' exports go on.
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const std::string script = "import os\nh.pread(4096, 0)\nos.write(" + std::to_string(ready[1]) +
                               ", b'r')\nos.read(" + std::to_string(go[0]) +
                               ", 1)\nfor i in range(2):\n    try:\n        h.pread(4096, 0)\n"
                               "        raise SystemExit('read an ended snapshot')\n    except nbd.Error:\n"
                               "        pass\n";
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        execlp("env", "env", "PATH=/usr/bin:/bin", "nbdsh", "-u", uri(snap, "snapshot").c_str(), "-c",
               script.c_str(), nullptr);
        _exit(127);
    }
    close(ready[1]);
    close(go[0]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(t->end_snapshot_export(), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
    close(go[1]);
    EXPECT_NE(run({"nbdcopy", uri(snap, "snapshot"), tmp / "snap2.img"}), 0);
    EXPECT_EQ(run({"qemu-img", "compare", "-f", "raw", "-F", "raw", tmp / "snap.img", part}), 1);
    EXPECT_EQ(t->end_snapshot_export(), -ENOENT);
}

// `kestrel serve` as a program: started, written to, stopped by SIGTERM with an agent in
// the middle of a backup.
TEST_F(NbdTest, SigtermShutsDownCleanlyAndKeepsWhatWasAcknowledged)
{
    Stop();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(KESTREL_BINARY, "kestrel", "serve", "--disk", image.c_str(), "--socket", socket.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    auto read_until = [&](const std::string& what) {
        while (text.find(what) == std::string::npos) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                return false;
            text.append(buf, static_cast<size_t>(n));
        }
        return true;
    };
    ASSERT_TRUE(read_until("serving until")) << text;
    std::string nbd = tmp / "run/k.nbd";
    part = uri(nbd, "sda1");
    ASSERT_EQ(WriteGen(3), 0);

    auto t = Connect();
    agent::ControlDevice dev(*t);
    ASSERT_EQ(dev.open(), 0);
    nlohmann::json info = nlohmann::json::parse(t->info());
    uint32_t major = info["devices"][1]["major"], minor = info["devices"][1]["minor"];
    ASSERT_EQ(dev.start_backup(major, minor, kPartBytes / kBlockSize, 1024), 0);
    ASSERT_EQ(dev.snapshot({}), 0);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    read_until("\x01"); // the rest of the output, to the end
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("shut down cleanly"), std::string::npos) << text;
    // Both sides name the backup that was ended: the server in its report, the agent in
    // what it is told on its next request.
    EXPECT_NE(text.find("ended the backup of sda1"), std::string::npos) << text;
    agent::Version v;
    EXPECT_NE(dev.version(v), 0);
    EXPECT_EQ(t->lost_reason(), "the server shut down and ended the backup of sda1");
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
    EXPECT_NE(access(nbd.c_str(), F_OK), 0);
    EXPECT_TRUE(read_file(image, kPartStart, kPartBytes) == stamped(kSectors, 3));
    std::string log = repo_test::read_host_file(tmp / "run/k.log");
    EXPECT_NE(log.find("kestrel"), std::string::npos) << log;
}

} // namespace
} // namespace kestrel_test
