// Agents in other processes than the live machine's: backups over the control socket, the
// module's answers to two agents, agents that vanish, and input no agent should send.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>

#include <nlohmann/json.hpp>

#include "agent/control.h"
#include "repo/repository.h"
#include "serve/state_file.h"
#include "serve/wire.h"
#include "sim/fs.h"
#include "tests/serve/live.h"
#include "sim/disk.h"
#include "sim/machine.h"
#include "tools/demo/disk_image.h"
#include "jobs/disk_backup.h"
// Last: the kernel's macros clash with the libraries'.
#include "machine/install.h"
#include "platform/kernel.h"

namespace kestrel_test {
namespace {

class AgentTest : public LiveTest {
protected:
    void SetUp() override
    {
        LiveTest::SetUp();
        Start();
        repo::Repository::init(repo::Env::posix(), tmp / "repo");
        repository = repo::Repository::open(repo::Env::posix(), tmp / "repo");
    }
    void TearDown() override
    {
        repository.reset();
        LiveTest::TearDown();
    }

    jobs::PartitionBackup BackUp()
    {
        auto t = Connect();
        return jobs::back_up_device(*t, Part(), image, 1, *repository, {});
    }

    // Opens the control device over a new connection and starts a backup of partition 1.
    int StartBackup(agent::ControlDevice& dev)
    {
        EXPECT_EQ(dev.open(), 0);
        return dev.start_backup(MAJOR(Part()), MINOR(Part()), kPartBytes / kBlockSize, 1024);
    }

    std::unique_ptr<repo::Repository> repository;
};

// Writes random blocks through the mounted file system until stopped.
class FsWriter {
public:
    FsWriter(sim::Machine& m, uint32_t dev) : m_(m), dev_(dev), t_([this] { run(); }) {}
    ~FsWriter() { stop(); }
    void stop()
    {
        stop_ = true;
        if (t_.joinable())
            t_.join();
    }
    unsigned writes() const { return writes_; }

private:
    void run()
    {
        std::mt19937 rng(7);
        std::vector<uint8_t> block(kBlockSize);
        while (!stop_) {
            for (auto& b : block)
                b = static_cast<uint8_t>(rng());
            // Block 0 holds the super block.
            uint64_t n = 1 + rng() % (kPartBytes / kBlockSize - 1);
            ASSERT_EQ(sim::fs_write(m_, dev_, n, block.data(), 1, rng() % 2), 0);
            writes_++;
        }
    }
    sim::Machine& m_;
    uint32_t dev_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> writes_{0};
    std::thread t_;
};

TEST_F(AgentTest, FullThenIncrementalOverTwoConnectionsWhileTheMachineWrites)
{
    sim::Machine& m = server->machine();
    ASSERT_EQ(sim::record_freezes(m, Part()), 0);
    FsWriter writer(m, Part());
    jobs::PartitionBackup full = BackUp();
    ASSERT_TRUE(full.committed()) << full.result.error;
    EXPECT_FALSE(full.result.incremental);
    jobs::PartitionBackup inc = BackUp();
    ASSERT_TRUE(inc.committed()) << inc.result.error;
    EXPECT_TRUE(inc.result.incremental) << inc.result.full_reason;
    EXPECT_EQ(inc.parent, full.id);
    writer.stop();
    EXPECT_GT(writer.writes(), 0u);

    // Each backup restores to the partition as it was when the file system was frozen.
    auto frozen = sim::take_freeze_records(m, Part());
    ASSERT_EQ(frozen.size(), 2u);
    const std::string ids[2] = {full.id, inc.id};
    for (int i = 0; i < 2; i++) {
        std::string target = tmp / ("restored" + std::to_string(i));
        repository->restore(ids[i], target);
        EXPECT_TRUE(read_file(target) == frozen[i]) << "backup " << i << " differs from the partition at its freeze";
    }
}

TEST_F(AgentTest, SecondAgentIsRefusedAndAVanishedAgentsBackupIsEnded)
{
    auto t1 = Connect();
    agent::ControlDevice d1(*t1);
    ASSERT_EQ(StartBackup(d1), 0);
    ASSERT_EQ(d1.snapshot({}), 0);

    // The module allows one backup of the device at a time: the second agent gets its
    // refusal as a status, and its connection goes on working.
    auto t2 = Connect();
    {
        agent::ControlDevice d2(*t2);
        EXPECT_NE(StartBackup(d2), 0);
        agent::Version v;
        EXPECT_EQ(d2.version(v), 0);
    }

    // The first agent dies mid-backup: its connection drops, the machine ends its process
    // and so its backup; the next backup runs.
    t1->disconnect();
    server->wait_connections(1);
    jobs::PartitionBackup b = BackUp();
    EXPECT_TRUE(b.committed()) << b.result.error;
}

// A raw connection to the control socket.
class Raw {
public:
    explicit Raw(const std::string& path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Raw() { close(fd_); }
    void send_bytes(const std::vector<uint8_t>& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    void send(wire::Encoder& e) { ASSERT_TRUE(wire::send_frame(fd_, e.body())); }
    // The reply's result, or nothing when the server closed the connection.
    std::optional<int64_t> reply(std::vector<uint8_t>* data = nullptr)
    {
        std::vector<uint8_t> body;
        if (wire::recv_frame(fd_, body) != wire::Received::Frame)
            return std::nullopt;
        wire::Decoder d(body);
        int64_t r = d.i64();
        if (data)
            data->assign(body.begin() + 8, body.end());
        return r;
    }
    bool closed_by_server()
    {
        char c;
        return recv(fd_, &c, 1, 0) == 0;
    }

private:
    int fd_;
};

wire::Encoder op(wire::Op o)
{
    wire::Encoder e;
    e.u8(static_cast<uint8_t>(o));
    return e;
}

TEST_F(AgentTest, MalformedInputClosesOnlyThatConnection)
{
    // An agent with a backup started, whose connection then sends garbage: the connection
    // is closed and the backup ended with its process.
    {
        Raw r(socket);
        auto e = op(wire::Op::Open);
        e.str("/dev/kestrel");
        r.send(e);
        EXPECT_EQ(r.reply(), 0);
        r.send_bytes({0xFF, 0xFF, 0xFF, 0xFF}); // a frame far over the limit
        EXPECT_TRUE(r.closed_by_server());
    }
    const std::vector<std::vector<uint8_t>> bad = {
        {1, 0, 0, 0, 0x7F},                  // an unknown operation
        {3, 0, 0, 0, uint8_t(wire::Op::Ioctl), 1, 0},        // arguments cut short
        {2, 0, 0, 0, uint8_t(wire::Op::Info), 0},            // a byte too many
        {5, 0, 0, 0, uint8_t(wire::Op::BlockFlush), 0, 0, 0, 0}, // padding after a request
        {100, 0, 0, 0, uint8_t(wire::Op::Info)},             // a frame cut short by a close
    };
    for (const auto& b : bad) {
        Raw r(socket);
        r.send_bytes(b);
        if (b[0] == 100)
            continue; // nothing to wait for: the peer closes
        EXPECT_TRUE(r.closed_by_server()) << int(b[4]);
    }
    {
        Raw r(socket);
        auto e = op(wire::Op::BlockRead); // before binding to an export
        e.u64(0).u32(512);
        r.send(e);
        EXPECT_TRUE(r.closed_by_server());
    }
    {
        // Addresses outside the agent's memory, and more memory than it may have, are
        // errors the agent is told of; the connection stays.
        Raw r(socket);
        auto peek = op(wire::Op::Peek);
        peek.u32(0x1000).u32(16);
        r.send(peek);
        EXPECT_EQ(r.reply(), -EFAULT);
        auto poke = op(wire::Op::Poke);
        poke.u32(0xC0000000).bytes(std::vector<uint8_t>(8));
        r.send(poke);
        EXPECT_EQ(r.reply(), -EFAULT);
        auto big = op(wire::Op::Alloc);
        big.u32(0xFFFFFFFF);
        r.send(big);
        EXPECT_EQ(r.reply(), 0);
        auto attach = op(wire::Op::Attach);
        attach.str("sdz9").u8(0);
        r.send(attach);
        EXPECT_EQ(r.reply(), -ENOENT);
        auto info = op(wire::Op::Info);
        r.send(info);
        EXPECT_TRUE(r.reply().has_value());
    }
    {
        // A block export refuses what lies past its end and what is not whole sectors.
        Raw r(socket);
        auto attach = op(wire::Op::Attach);
        attach.str("sda1").u8(0);
        r.send(attach);
        EXPECT_EQ(r.reply(), int64_t(kPartBytes));
        for (auto [off, len] : {std::pair<uint64_t, uint32_t>{kPartBytes - 512, 1024}, {kPartBytes, 512},
                                {UINT64_MAX - 511, 1024}, {100, 512}}) {
            auto rd = op(wire::Op::BlockRead);
            rd.u64(off).u32(len);
            r.send(rd);
            EXPECT_EQ(r.reply(), -EINVAL) << off << "+" << len;
        }
        auto wr = op(wire::Op::BlockWrite);
        wr.u64(512).bytes(stamped(2, 9));
        r.send(wr);
        EXPECT_EQ(r.reply(), 0);
        auto rd = op(wire::Op::BlockRead);
        rd.u64(512).u32(1024);
        r.send(rd);
        std::vector<uint8_t> back;
        EXPECT_EQ(r.reply(&back), 0);
        EXPECT_TRUE(back == stamped(2, 9));
    }
    // The machine kept serving: a whole backup runs (the first connection's backup was
    // ended when it was closed).
    jobs::PartitionBackup b = BackUp();
    EXPECT_TRUE(b.committed()) << b.result.error;
}

TEST_F(LiveTest, RefusesAnotherUserAndUnsafeSetups)
{
    Start();
    struct stat st;
    ASSERT_EQ(stat((tmp / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second server on the same socket.
    serve::Config c;
    c.images = {image};
    c.socket = socket;
    c.nbd = false;
    EXPECT_THROW(
        try { serve::Server s(c); } catch (const serve::Error& e) {
            EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
            throw;
        },
        serve::Error);

    if (geteuid() == 0) {
        // Another user may connect (root can reach the socket) but is cut off before
        // anything it sends is read.
        pid_t pid = fork();
        if (pid == 0) {
            if (setuid(65534) != 0)
                _exit(2);
            int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            strcpy(a.sun_path, socket.c_str());
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                _exit(0); // refused at the door: as good
            uint8_t req[5] = {1, 0, 0, 0, uint8_t(wire::Op::Info)};
            (void)::send(fd, req, 5, MSG_NOSIGNAL);
            char buf[8];
            _exit(::recv(fd, buf, sizeof buf, 0) <= 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another user got an answer";
    }
    Stop();

    // A missing image, and a socket directory others can enter.
    c.images = {tmp / "missing.img"};
    EXPECT_THROW(serve::Server s(c), serve::Error);
    ASSERT_EQ(mkdir((tmp / "open").c_str(), 0755), 0);
    chmod((tmp / "open").c_str(), 0755);
    c.images = {image};
    c.socket = tmp / "open/k.sock";
    EXPECT_THROW(serve::Server s(c), serve::Error);
}

// What the kernel counts for a process: its threads, its open descriptors, and its
// resident and virtual memory in KiB.
struct ProcessFigures {
    size_t threads = 0, fds = 0;
    uint64_t rss_kib = 0, vm_kib = 0;
};

ProcessFigures figures_of(pid_t pid)
{
    ProcessFigures f;
    std::string proc = "/proc/" + std::to_string(pid);
    for (auto& e : std::filesystem::directory_iterator(proc + "/task"))
        f.threads += e.is_directory();
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(proc + "/fd"))
        f.fds++;
    std::ifstream status(proc + "/status");
    std::string key;
    uint64_t value;
    while (status >> key) {
        if (key == "VmRSS:" && status >> value)
            f.rss_kib = value;
        else if (key == "VmSize:" && status >> value)
            f.vm_kib = value;
    }
    return f;
}

// `kestrel serve --no-nbd` on the test's image in a process of its own, its standard output
// and error in a file.
class ServeProcess {
public:
    ServeProcess(const std::string& image, const std::string& socket, const std::string& out, bool json = false)
        : out_(out)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(KESTREL_BINARY, "kestrel", "serve", "--no-nbd", "--disk", image.c_str(), "--socket", socket.c_str(),
                  json ? "--json" : nullptr, nullptr);
            _exit(127);
        }
        // Up when its socket answers, or never when it exited.
        for (std::string error; !up_ && waitpid(pid_, &status_, WNOHANG) == 0;) {
            if (auto probe = agent::SocketTransport::connect(socket, &error); probe && !probe->info().empty())
                up_ = true;
            else
                usleep(20000);
        }
    }
    ~ServeProcess() { end(SIGKILL); }
    bool up() const { return up_; }
    pid_t pid() const { return pid_; }
    // Sends sig and waits for the exit: the wait status.
    int end(int sig)
    {
        if (pid_ > 0) {
            kill(pid_, sig);
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return status_;
    }
    std::string output() const { return repo_test::read_host_file(out_); }

private:
    std::string out_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool up_ = false;
};

// `kestrel serve` after many backups holds the threads, descriptors and memory it held
// after a few: nothing is kept per connection, process or backup. KESTREL_MANY_BACKUPS sets
// how many (default 100; the release check runs 1000).
TEST_F(LiveTest, ManyBackupsLeaveTheServersThreadsDescriptorsAndMemoryAsTheyWere)
{
    const char* env = getenv("KESTREL_MANY_BACKUPS");
    const unsigned many = env ? static_cast<unsigned>(std::max(20, atoi(env))) : 100;
    ServeProcess serve(image, socket, tmp / "serve.out");
    ASSERT_TRUE(serve.up()) << serve.output();
    const pid_t server_pid = serve.pid();
    nlohmann::json info = nlohmann::json::parse(Connect()->info());
    const uint32_t dev = (info["devices"][1]["major"].get<uint32_t>() << 20) | info["devices"][1]["minor"].get<uint32_t>();
    repo::Repository::init(repo::Env::posix(), tmp / "repo");
    auto repository = repo::Repository::open(repo::Env::posix(), tmp / "repo");
    auto back_up = [&](unsigned count) {
        for (unsigned i = 0; i < count; i++) {
            auto t = Connect();
            jobs::PartitionBackup b = jobs::back_up_device(*t, dev, image, 1, *repository, {});
            ASSERT_TRUE(b.committed()) << b.result.error;
        }
    };
    // The server ends a connection a moment after its client closed it, and a worker
    // thread a second after it was last needed: wait (boundedly) until the figures are at
    // most the expected ones, or give them as they are.
    auto settled = [&](const ProcessFigures* like) {
        ProcessFigures f = figures_of(server_pid);
        for (int i = 0; like && i < 1000 && (f.threads > like->threads || f.fds > like->fds); i++) {
            usleep(20000);
            f = figures_of(server_pid);
        }
        return f;
    };
    auto show = [&](unsigned done, const ProcessFigures& f) {
        printf("server after %u backups: %zu threads, %zu fds, %llu KiB resident, %llu KiB virtual\n", done,
               f.threads, f.fds, static_cast<unsigned long long>(f.rss_kib), static_cast<unsigned long long>(f.vm_kib));
    };
    back_up(10);
    usleep(1500000);
    ProcessFigures after_few = settled(nullptr);
    show(10, after_few);
    // The machine's page cache fills up to the disk's size over the first backups; from
    // the middle on, nothing may grow.
    back_up(many / 2 - 10);
    ProcessFigures half = settled(&after_few);
    show(many / 2, half);
    back_up(many - many / 2);
    ProcessFigures after_many = settled(&after_few);
    show(many, after_many);
    EXPECT_LE(half.threads, after_few.threads);
    EXPECT_LE(after_many.threads, after_few.threads);
    EXPECT_LE(after_many.fds, after_few.fds);
    // A thread's stack kept per backup would be 8 MiB of address space each; a few KiB per
    // backup kept on the heap would show in the resident figure.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's run-time keeps freed memory in quarantine and shadow of its own, so the
    // figures say nothing about the server there; threads and descriptors still do.)
    EXPECT_LT(after_many.vm_kib, half.vm_kib + 64 * 1024);
    EXPECT_LT(after_many.rss_kib, half.rss_kib + 4 * 1024);
#endif
    int status = serve.end(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << serve.output();
}

// serve --json: a "ready" line a script can wait for, naming where the machine serves, then
// at the end one summary line.
TEST_F(LiveTest, ServeSaysReadyAndEndsInJsonLines)
{
    ServeProcess serve(image, socket, tmp / "serve.out", true);
    ASSERT_TRUE(serve.up()) << serve.output();
    int status = serve.end(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << serve.output();
    std::vector<nlohmann::json> lines;
    std::istringstream out(serve.output());
    for (std::string line; std::getline(out, line);) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << "not JSON: " << line;
        lines.push_back(j);
    }
    ASSERT_EQ(lines.size(), 2u) << serve.output();
    EXPECT_EQ(lines[0]["type"], "ready");
    EXPECT_EQ(lines[0]["socket"], std::filesystem::absolute(socket).string());
    ASSERT_EQ(lines[0]["devices"].size(), 2u);
    EXPECT_EQ(lines[0]["devices"][1]["name"], "sda1");
    EXPECT_EQ(lines[0]["devices"][1]["mounted"], true);
    EXPECT_EQ(lines[1]["type"], "summary");
    EXPECT_EQ(lines[1]["ok"], true);
    EXPECT_EQ(lines[1]["ended_backup_devices"], nlohmann::json::array());
}

// A server that was killed is noted when the next one starts on the same socket, in the
// log (kept across runs, each line stamped with its time) and on standard error.
TEST_F(LiveTest, RestartAfterAKillSaysSoAndKeepsTheLog)
{
    std::string first_pid;
    {
        ServeProcess first(image, socket, tmp / "first.out");
        ASSERT_TRUE(first.up()) << first.output();
        first_pid = std::to_string(first.pid());
        // Killed in the middle of a backup.
        auto t = agent::SocketTransport::connect(socket, nullptr);
        ASSERT_TRUE(t);
        nlohmann::json info = nlohmann::json::parse(t->info());
        agent::ControlDevice dev(*t);
        ASSERT_EQ(dev.open(), 0);
        ASSERT_EQ(dev.start_backup(info["devices"][1]["major"], info["devices"][1]["minor"], kPartBytes / kBlockSize,
                                   1024),
                  0);
        int status = first.end(SIGKILL);
        ASSERT_TRUE(WIFSIGNALED(status));
    }
    ServeProcess second(image, socket, tmp / "second.out");
    ASSERT_TRUE(second.up()) << second.output();
    const std::string note = "the previous run (pid " + first_pid + ") ended without shutting down";
    EXPECT_NE(second.output().find(note), std::string::npos) << second.output();
    {
        auto t = agent::SocketTransport::connect(socket, nullptr);
        ASSERT_TRUE(t);
        nlohmann::json last = nlohmann::json::parse(t->status())["devices"][1]["last_backup"];
        EXPECT_EQ(last["result"], "failed") << last;
        EXPECT_NE(last["error"].get<std::string>().find("ended without shutting down"), std::string::npos) << last;
    }
    int status = second.end(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << second.output();

    std::string log = repo_test::read_host_file(tmp / "run/k.log");
    size_t killed = log.find("started (pid " + first_pid + ")");
    size_t noted = log.find(note);
    ASSERT_NE(killed, std::string::npos) << log;
    ASSERT_NE(noted, std::string::npos) << log;
    EXPECT_LT(killed, noted);
    EXPECT_NE(log.find("shut down cleanly", noted), std::string::npos) << log;
    // Every line starts with a syslog-style time: "Dec  9 01:02:03 ".
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line); count++) {
        ASSERT_GE(line.size(), 16u) << line;
        EXPECT_TRUE(isalpha(line[0]) && line[3] == ' ' && line[6] == ' ' && line[9] == ':' && line[12] == ':' &&
                    line[15] == ' ')
            << line;
    }
    EXPECT_GT(count, 4);
    // A clean end leaves nothing for the next start to note.
    ServeProcess third(image, socket, tmp / "third.out");
    ASSERT_TRUE(third.up());
    EXPECT_EQ(third.output().find("ended without shutting down"), std::string::npos) << third.output();
}

// Under a service manager (NOTIFY_SOCKET), the server says when it serves and when it stops.
TEST_F(LiveTest, TellsTheServiceManagerWhenItServesAndWhenItStops)
{
    const std::string path = tmp / "notify";
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval patience{120, 0}; // only against a hang: the messages come at once
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    auto message = [&] {
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ServeProcess serve(image, socket, tmp / "serve.out");
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(serve.up()) << serve.output();
    std::string ready = message();
    EXPECT_EQ(ready.rfind("READY=1\nMAINPID=" + std::to_string(serve.pid()) + "\n", 0), 0u) << ready;
    int status = serve.end(SIGTERM);
    EXPECT_EQ(message(), "STOPPING=1");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << serve.output();
    close(fd);
}

// kestrel status against what the machine did: two backups by kestrel backup (the second
// incremental, with the module tracking the partition between them), then one whose agent
// vanishes while its snapshot is being read; the last backups outlive a restart, which
// starts the module without automaps, and a damaged record of them is reported and ignored.
TEST_F(AgentTest, StatusShowsWhatTheMachineDid)
{
    auto status = [&](std::vector<std::string> extra = {"--json"}) {
        std::vector<std::string> argv = {KESTREL_BINARY, "status", "--server", socket};
        argv.insert(argv.end(), extra.begin(), extra.end());
        demo::CheckResult r = demo::run_program(argv);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        return r.output;
    };
    nlohmann::json idle = nlohmann::json::parse(status());
    EXPECT_EQ(idle["format"], 2);
    ASSERT_EQ(idle["devices"].size(), 2u);
    EXPECT_EQ(idle["devices"][1]["name"], "sda1");
    EXPECT_EQ(idle["devices"][1]["mounted"], true);
    EXPECT_EQ(idle["devices"][0]["mounted"], false);
    EXPECT_TRUE(idle["devices"][1]["last_backup"].is_null());
    EXPECT_EQ(idle["devices"][1]["automap"]["tracking"], false);
    EXPECT_EQ(idle["devices"][1]["automap"]["map_blocks"], 0);

    std::string last_id;
    for (int i = 0; i < 2; i++) {
        demo::CheckResult r = demo::run_program(
            {"sh", "-c", std::string(KESTREL_BINARY) + " backup --json --server " + socket + " --repo " + (tmp / "repo") +
                             " 2>/dev/null"});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        // The result is the last line, after the progress lines.
        last_id = nlohmann::json::parse(r.output.substr(r.output.rfind('\n', r.output.size() - 2) + 1))["backup_id"];
    }
    nlohmann::json after = nlohmann::json::parse(status());
    const nlohmann::json& last = after["devices"][1]["last_backup"];
    EXPECT_EQ(last["result"], "ok") << last;
    EXPECT_EQ(last["backup_id"], last_id);
    EXPECT_EQ(last["incremental"], true);
    EXPECT_TRUE(after["devices"][1]["running_backup"].is_null());
    EXPECT_TRUE(after["devices"][0]["last_backup"].is_null());
    EXPECT_EQ(after["devices"][1]["automap"]["tracking"], true);
    EXPECT_EQ(after["devices"][1]["automap"]["map_blocks"], kPartBytes / kBlockSize);
    EXPECT_EQ(after["devices"][0]["automap"]["tracking"], false);
    std::string text = status({});
    EXPECT_NE(text.find("change tracking: on, automap of 2048 blocks"), std::string::npos) << text;
    EXPECT_NE(text.find("ok, incremental, " + last_id), std::string::npos) << text;

    {
        auto t = Connect();
        agent::ControlDevice dev(*t);
        ASSERT_EQ(StartBackup(dev), 0);
        ASSERT_EQ(dev.snapshot({}), 0);
        nlohmann::json running = nlohmann::json::parse(status());
        const nlohmann::json& r = running["devices"][1]["running_backup"];
        EXPECT_EQ(r["state"], "reading the snapshot") << r;
        EXPECT_EQ(r["fs_blocks"], kPartBytes / kBlockSize);
        EXPECT_GE(running["connections"], 1);
        t->disconnect();
        server->wait_connections(0);
    }
    nlohmann::json vanished = nlohmann::json::parse(status());
    EXPECT_EQ(vanished["devices"][1]["last_backup"]["result"], "failed");
    EXPECT_NE(vanished["devices"][1]["last_backup"]["error"].get<std::string>().find("connection closed"),
              std::string::npos);
    std::string prom = status({"--prometheus"});
    EXPECT_NE(prom.find("kestrel_last_backup_success{device=\"sda1\"} 0\n"), std::string::npos) << prom;
    EXPECT_NE(prom.find("kestrel_device_mounted{device=\"sda1\"} 1\n"), std::string::npos) << prom;
    EXPECT_NE(prom.find("# TYPE kestrel_backup_running gauge\n"), std::string::npos) << prom;
    EXPECT_NE(prom.find("kestrel_automap_tracking{device=\"sda1\"} 1\n"), std::string::npos) << prom;
    status({"--textfile", tmp / "kestrel.prom"});
    EXPECT_EQ(repo_test::read_host_file(tmp / "kestrel.prom"), prom);

    Stop();
    Start();
    nlohmann::json restarted = nlohmann::json::parse(status());
    EXPECT_EQ(restarted["devices"][1]["last_backup"], vanished["devices"][1]["last_backup"]);
    EXPECT_TRUE(restarted["devices"][0]["last_backup"].is_null());
    EXPECT_EQ(restarted["devices"][1]["automap"]["tracking"], false);
    EXPECT_TRUE(server->state_problem().empty()) << server->state_problem();

    // Damaged records: each is reported (in the log too) and the server starts without them.
    const std::string state = tmp / "run/k.state";
    const std::string good = repo_test::read_host_file(state);
    std::string wrong_type = good;
    wrong_type.replace(wrong_type.find("\"result\""), 8, "\"end_time\": [], \"x\"");
    for (const std::string& damaged : {good.substr(0, good.size() / 2), std::string("[1, 2]"), wrong_type,
                                       std::string(serve::kMaxStateFile + 1, ' ')}) {
        Stop();
        {
            std::ofstream f(state, std::ios::trunc);
            f << damaged;
        }
        Start();
        EXPECT_NE(server->state_problem().find("ignored the state file"), std::string::npos) << damaged;
        EXPECT_TRUE(nlohmann::json::parse(status())["devices"][1]["last_backup"].is_null()) << damaged;
    }
    EXPECT_NE(repo_test::read_host_file(server->log_path()).find("ignored the state file"), std::string::npos);
    // A record of another image on the same device name is not this device's.
    Stop();
    std::string moved = good;
    moved.replace(moved.find(image), image.size(), image + ".other");
    {
        std::ofstream f(state, std::ios::trunc);
        f << moved;
    }
    Start();
    EXPECT_TRUE(server->state_problem().empty()) << server->state_problem();
    EXPECT_TRUE(nlohmann::json::parse(status())["devices"][1]["last_backup"].is_null());
    // A record written under the keys' earlier names is still this device's last backup.
    Stop();
    std::string old_names = good;
    for (auto [now, before] : {std::pair{"\"end_time\"", "\"time\""}, {"\"start_time\"", "\"started\""}}) {
        size_t at = old_names.find(now);
        if (at != std::string::npos)
            old_names.replace(at, strlen(now), before);
    }
    {
        std::ofstream f(state, std::ios::trunc);
        f << old_names;
    }
    Start();
    EXPECT_TRUE(server->state_problem().empty()) << server->state_problem();
    EXPECT_EQ(nlohmann::json::parse(status())["devices"][1]["last_backup"], vanished["devices"][1]["last_backup"])
        << old_names;
}

// --wait: a backup asked for while another runs waits for it, then runs.
TEST_F(AgentTest, WaitForTheRunningBackup)
{
    auto t = Connect();
    auto held = std::make_unique<agent::ControlDevice>(*t);
    ASSERT_EQ(StartBackup(*held), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 2);
        close(out[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(KESTREL_BINARY, "kestrel", "backup", "--server", socket.c_str(), "--wait", "--repo",
              (tmp / "repo").c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    while (text.find("waiting for it to end") == std::string::npos) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    EXPECT_NE(text.find("waiting for it to end"), std::string::npos) << text;
    held.reset(); // closes the control file: the held backup ends
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_EQ(repository->list().size(), 1u);
}

// An image is used by one machine that writes it at a time: a second server, the same
// image twice, and a backup of the image from another program are each refused with a line
// naming the image and the process that holds it. Read-only users share an image.
TEST_F(LiveTest, ImagesAreLockedAgainstASecondUser)
{
    Start();
    const std::string holder = "in use by process " + std::to_string(getpid());
    demo::CheckResult r = demo::run_program(
        {KESTREL_BINARY, "serve", "--no-nbd", "--disk", image, "--socket", tmp / "run/other.sock"});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find(image + " is " + holder), std::string::npos) << r.output;
    serve::Config c;
    c.socket = tmp / "run/other.sock";
    c.nbd = false;
    ASSERT_EQ(link(image.c_str(), (tmp / "alias.img").c_str()), 0);
    c.images = {image, tmp / "alias.img"};
    try {
        serve::Server twice(c);
        ADD_FAILURE() << "one image served as two disks";
    } catch (const serve::Error& e) {
        EXPECT_NE(std::string(e.what()).find("given twice"), std::string::npos) << e.what();
    }
    r = demo::run_program({KESTREL_BINARY, "backup", "--disk", image, "--repo", tmp / "other-repo"});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find(holder), std::string::npos) << r.output;
    Stop();

    // Read-only attachments share the image, and keep a writer out until they end.
    sim::Machine m{install::machine_config()};
    sim::DiskConfig ro;
    ro.image_path = image;
    ro.read_only = true;
    ASSERT_EQ(sim::add_disk(m, ro), 0);
    ro.first_minor = 16;
    ASSERT_EQ(sim::add_disk(m, ro), 0);
    sim::DiskConfig rw;
    rw.image_path = image;
    rw.first_minor = 32;
    EXPECT_EQ(sim::add_disk(m, rw), -EBUSY);
}

// A backup only reads its image: one the user may not write is backed up all the same.
TEST_F(LiveTest, BackupOfAnImageTheUserMayNotWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(image.c_str(), 0444), 0);
    std::string out = tmp / "out.txt";
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        setenv("KESTREL_PASSWORD", "test password", 1);  // the repository the backup makes is encrypted
        execl(KESTREL_BINARY, "kestrel", "backup", "--disk", image.c_str(), "--repo", (tmp / "repo").c_str(),
              nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << repo_test::read_host_file(out);
}

} // namespace
} // namespace kestrel_test
