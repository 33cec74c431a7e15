#include "serve/server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <deque>
#include <set>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "interface/kestrel_ioctl.h"
#include "serve/state_file.h"
#include "serve/wire.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"
// Last: the kernel's macros (MAJOR, MINOR; also current) clash with the libraries'.
#include "machine/install.h"

namespace serve {

namespace fs = std::filesystem;
using wire::Op;

namespace {

constexpr uint64_t kSector = 512;
// The most user memory one agent connection may hold through Alloc, so that a client
// cannot make the server allocate without bound.
constexpr uint64_t kMaxAgentMemory = 256u << 20;
// Blocks per read of the snapshot export: one mapped buffer of the module's largest size.
constexpr uint32_t kSnapshotRunBlocks = 256;

std::string errno_text(int err) { return strerror(err); }

sockaddr_un unix_address(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw Error("socket path too long: " + path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// Refuses a path where a server listens, or that is something other than a socket;
// removes a socket nobody listens on any more.
void claim_socket_path(const std::string& path)
{
    sockaddr_un addr = unix_address(path);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw Error(path + " exists and is not a socket");
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0)
            close(probe);
        if (live)
            throw Error("socket " + path + " is in use by a running server");
        unlink(path.c_str());
    }
}

// A listening Unix socket at path, mode 0600 (see claim_socket_path for a path in use).
int listen_at(const std::string& path)
{
    claim_socket_path(path);
    sockaddr_un addr = unix_address(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw Error("cannot create a socket: " + errno_text(errno));
    // The mode is set at creation (the umask), so there is no moment where others could
    // connect; fchmod on a socket does not change the node's mode.
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    umask(old);
    if (rc != 0 || listen(fd, 64) != 0) {
        err = rc != 0 ? err : errno;
        close(fd);
        throw Error("cannot listen on " + path + ": " + errno_text(err));
    }
    return fd;
}

// The directory of the sockets: made 0700 when missing; otherwise it must be ours and
// closed to everyone else.
void check_private_dir(const std::string& dir)
{
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(dir.c_str(), 0700) != 0)
            throw Error("cannot make the socket directory " + dir + ": " + errno_text(errno));
        return;
    }
    if (!S_ISDIR(st.st_mode))
        throw Error(dir + " is not a directory");
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        throw Error("the socket directory " + dir + " (mode " + mode +
                    ") must belong to this user and be closed to others (chmod 700)");
    }
}

// The program's path found in PATH ("" when not found); a path with a slash as given.
std::string find_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= p.size();) {
        size_t end = p.find(':', start);
        if (end == std::string::npos)
            end = p.size();
        std::string cand = p.substr(start, end - start) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        start = end + 1;
    }
    return "";
}

// The server's pid file: written at the start, removed at the end. One found at the start
// belongs to a run that was killed or crashed: a line to log and print, else "".
std::string unclean_end_note(const std::string& pid_path)
{
    std::ifstream f(pid_path);
    if (!f)
        return "";
    std::string pid;
    f >> pid;
    return "kestrel serve: the previous run" + (pid.empty() ? "" : " (pid " + pid + ")") +
           " ended without shutting down (killed or crashed): the backups it ran were not finished";
}

// Makes the images' paths absolute and checks that each can be read and written and that
// none is given twice (under any name): the machine writes them.
void check_images(std::vector<std::string>& images)
{
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    for (std::string& image : images) {
        image = fs::absolute(image).string();
        int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            throw Error("cannot open the image " + image + " for reading and writing: " + errno_text(errno));
        struct stat st;
        int rc = fstat(fd, &st);
        close(fd);
        if (rc != 0)
            throw Error("cannot read " + image + ": " + errno_text(errno));
        auto [it, fresh] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), image);
        if (!fresh)
            throw Error("the image " + image + " is given twice" +
                        (it->second == image ? "" : " (also as " + it->second + ")"));
    }
}

} // namespace

// ------------------------------------------------------------------ exports

// What one NBD export serves: a device of the machine, read and written through its block
// layer, or the snapshot of a backup, read through the read-blocks command of the agent's
// control file.
struct Export {
    std::string name;
    uint64_t bytes = 0;
    bool readonly = false;
    uint32_t dev = 0;            // a device
    int image_fd = -1;           // its image, read-only, to find holes (-1: none known)
    uint64_t image_offset = 0;   // where the device starts in the image

    // The snapshot: the agent's process and control file, a mapping of that file in the
    // process that receives the blocks, and a word of its memory for the command's record.
    sim::Process* proc = nullptr;
    int control_fd = -1;
    uint32_t block_size = 0;
    uint32_t buffer = 0, buffer_len = 0, args = 0;
    std::mutex readMu;           // one read at a time uses the buffer
    bool ended = false;          // guarded by readMu
};

struct Server::State {
    Config cfg;
    std::string dir, stem, log_path, pid_path, state_path;
    int log_fd = -1;
    std::unique_ptr<sim::Machine> machine;
    std::vector<Device> devices;
    std::vector<uint32_t> disks;   // whole-disk device numbers
    std::vector<uint32_t> mounted;
    bool loaded = false;
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::string nbdkit, plugin;
    // The one nbdkit that serves every export by name on the NBD socket.
    std::string nbd_socket;
    int nbd_listen_fd = -1;
    pid_t nbdkit_pid = -1;
    bool down = false;

    std::mutex mu; // guards exports, snapshot, stopping and the connection pool below
    std::map<std::string, std::shared_ptr<Export>> exports;
    std::shared_ptr<Export> snapshot;
    bool stopping = false;

    // The connection pool: threads that each serve one connection at a time and then wait
    // for the next, at most cfg.max_connections of them, so that the threads (and what the
    // machine keeps for each host thread that calls into it) do not grow with the number
    // of connections ever served.
    std::vector<std::thread> workers;
    size_t idle = 0;                // workers waiting for a connection
    // Workers that retired after a while without work (all but one idle worker do), to be
    // joined by the next hand_over or by shutdown.
    std::vector<std::thread::id> retired;
    std::deque<int> pending;        // accepted, not yet taken by a worker
    std::set<int> serving;          // taken by a worker and not yet closed
    std::condition_variable work;   // pending grew, or stopping
    std::condition_variable ended;  // a connection ended
    std::vector<std::string> ended_backups; // the backups shutdown ended, by device name

    // What `kestrel status` reports: the backups running now (by device name), and the
    // last one of each device as its agent reported it (or as its end showed).
    struct Running {
        int64_t started = 0;      // unix time
        bool snapshot = false;    // the snapshot is taken
        uint32_t fs_blocks = 0;   // blocks of the device
        uint64_t blocks_read = 0; // read from the snapshot so far
        bool no_tracking = false; // the backup closes the device's automap
    };
    // What the module last said of each device's automap (its change tracking): as a
    // backup read it, or none for every device since the module was loaded.
    struct AutoMap {
        bool tracking = false;
        uint32_t blocks = 0;      // blocks the automap covers (0: the device has none)
        int64_t time = 0;         // when the module said so
    };
    std::map<std::string, AutoMap> automaps;
    std::map<std::string, Running> running;
    std::map<std::string, nlohmann::json> last_backup;
    int64_t started_at = 0;
    std::string unclean;            // what the log says of a previous run that ended unclean
    std::string state_problem;      // why the last-backup record of earlier runs was ignored

    size_t connections_locked() const { return pending.size() + serving.size(); }
    void accept_connection(int fd);
    bool hand_over(int fd);
    void worker();
    void log_line(const std::string& text);
    void open_log();
    void attach_disk(size_t i);
    void export_devices();
    void find_holes(Export& e, const Device& dev);
    std::string device_name(uint32_t dev) const;

    void start_nbdkit();
    void stop_nbdkit();
    std::shared_ptr<Export> find_export(const std::string& name);
    std::vector<std::string> export_names();
    int end_snapshot(sim::Process* owner);
    std::string info_json();
    std::string status_json();
    void backup_ioctl(const std::string& device, uint32_t cmd, sim::Process& p, uint32_t arg);
    void backup_ended(const std::string& device, const char* why);
    int64_t backup_report(const std::string& text);
    void load_last_backups();
    void save_last_backups_locked();
};

// Starts the nbdkit that serves every export: the client names the export (a device, or
// "snapshot" while a backup's snapshot is exported), and the plugin asks the machine for it.
void Server::State::start_nbdkit()
{
    nbd_socket = dir + "/" + stem + ".nbd";
    nbd_listen_fd = listen_at(nbd_socket);
    // nbdkit takes the listening socket by socket activation (descriptor 3, LISTEN_FDS),
    // so it is ready the moment it exists and its mode is ours.
    std::vector<std::string> args = {nbdkit, "--foreground", "--exit-with-parent", "--threads", "16",
                                     plugin, "socket=" + cfg.socket};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s;
    for (char** ep = environ; *ep; ep++)
        if (strncmp(*ep, "LISTEN_", 7) != 0)
            env_s.emplace_back(*ep);
    env_s.emplace_back("LISTEN_FDS=1");
    env_s.emplace_back("LISTEN_PID=" + std::string(20, ' '));
    std::vector<char*> envp;
    for (auto& s : env_s)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    char* pid_slot = envp[envp.size() - 2] + strlen("LISTEN_PID=");
    int lfd = nbd_listen_fd;
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        unsigned long v = static_cast<unsigned long>(getpid());
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        for (int i = 0; i < n; i++)
            pid_slot[i] = digits[n - 1 - i];
        pid_slot[n] = '\0';
        if (lfd == 3) {
            fcntl(3, F_SETFD, 0);
        } else if (dup2(lfd, 3) != 3) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        int err = errno;
        close(nbd_listen_fd);
        unlink(nbd_socket.c_str());
        nbd_listen_fd = -1;
        throw Error("cannot start nbdkit: " + errno_text(err));
    }
    nbdkit_pid = pid;
}

void Server::State::stop_nbdkit()
{
    if (nbdkit_pid > 0) {
        kill(nbdkit_pid, SIGTERM);
        int status;
        while (waitpid(nbdkit_pid, &status, 0) < 0 && errno == EINTR) {
        }
        nbdkit_pid = -1;
    }
    if (nbd_listen_fd >= 0) {
        close(nbd_listen_fd);
        unlink(nbd_socket.c_str());
        nbd_listen_fd = -1;
    }
}

// The export of that name; "" is the first disk, NBD's default export.
std::shared_ptr<Export> Server::State::find_export(const std::string& name)
{
    if (name.empty())
        return devices.empty() ? nullptr : find_export(devices.front().name);
    std::lock_guard<std::mutex> g(mu);
    if (snapshot && snapshot->name == name)
        return snapshot;
    auto it = exports.find(name);
    return it == exports.end() ? nullptr : it->second;
}

// The names NBD clients may ask for: the devices in order, then the snapshot while one is
// exported.
std::vector<std::string> Server::State::export_names()
{
    std::vector<std::string> names;
    for (const Device& d : devices)
        names.push_back(d.name);
    std::lock_guard<std::mutex> g(mu);
    if (snapshot)
        names.push_back(snapshot->name);
    return names;
}

// Ends the snapshot export of owner's backup (any owner's when owner is null): no read
// runs once this returns, and the buffer is unmapped. -ENOENT when there was none.
int Server::State::end_snapshot(sim::Process* owner)
{
    std::shared_ptr<Export> e;
    {
        std::lock_guard<std::mutex> g(mu);
        if (!snapshot || (owner && snapshot->proc != owner))
            return -ENOENT;
        e = std::move(snapshot);
        snapshot.reset();
    }
    {
        std::lock_guard<std::mutex> g(e->readMu);
        e->ended = true;
    }
    e->proc->munmap(e->buffer, e->buffer_len);
    e->proc->free(e->args);
    return 0;
}

std::string Server::State::info_json()
{
    nlohmann::json devs = nlohmann::json::array();
    for (const Device& d : devices)
        devs.push_back({{"name", d.name},
                        {"image", d.image},
                        {"disk", d.disk},
                        {"partition", d.partition},
                        {"major", d.dev >> 20},
                        {"minor", d.dev & 0xFFFFF},
                        {"size_bytes", d.bytes},
                        {"mounted", d.mounted},
                        {"nbd", d.nbd}});
    nlohmann::json j = {{"log", log_path}, {"socket", cfg.socket}, {"devices", devs}};
    std::lock_guard<std::mutex> g(mu);
    j["snapshot"] = snapshot ? nlohmann::json(nbd_socket) : nlohmann::json();
    return j.dump();
}

// The machine's state for `kestrel status`: its devices and what is mounted, the backups
// running with their progress, the last backup of each device. docs/status.md describes it.
std::string Server::State::status_json()
{
    nlohmann::json j = nlohmann::json::parse(info_json());
    std::lock_guard<std::mutex> g(mu);
    j["format"] = 2;
    j["pid"] = getpid();
    j["start_time"] = started_at;
    j["connections"] = connections_locked();
    for (nlohmann::json& d : j["devices"]) {
        std::string name = d["name"];
        auto last = last_backup.find(name);
        d["last_backup"] = last == last_backup.end() ? nlohmann::json() : last->second;
        auto am = automaps.find(name);
        AutoMap a = am == automaps.end() ? AutoMap{false, 0, started_at} : am->second;
        d["automap"] = {{"tracking", a.tracking}, {"map_blocks", a.blocks}, {"report_time", a.time}};
        auto run = running.find(name);
        if (run == running.end()) {
            d["running_backup"] = nullptr;
            continue;
        }
        const Running& r = run->second;
        d["running_backup"] = {{"start_time", r.started},
                               {"state", r.snapshot ? "reading the snapshot" : "starting"},
                               {"fs_blocks", r.fs_blocks},
                               {"read_blocks", r.blocks_read}};
    }
    return j.dump();
}

// Follows a backup's commands as they pass: its start, its snapshot, the blocks it reads.
void Server::State::backup_ioctl(const std::string& device, uint32_t cmd, sim::Process& p, uint32_t arg)
{
    std::lock_guard<std::mutex> g(mu);
    if (cmd == kes::KES_START_BACKUP) {
        kes::StartBackupArgs a;
        Running r;
        r.started = time(nullptr);
        if (p.peek(arg, &a, sizeof a))
            r.fs_blocks = a.fsBlocks;
        running[device] = r;
        // Marked on the host, so that a restart after the server dies tells of it.
        save_last_backups_locked();
        return;
    }
    auto it = running.find(device);
    if (it == running.end())
        return;
    if (cmd == kes::KES_SNAPSHOT) {
        it->second.snapshot = true;
    } else if (cmd == kes::KES_NO_START_AUTOMAP) {
        it->second.no_tracking = true;
    } else if (cmd == kes::KES_GET_AUTOMAP_STATE) {
        // The reply is in the agent's buffer; a device without an automap reads as zeros.
        kes::BufferArgs b;
        kes::AutoMapStateInfo am;
        if (p.peek(arg, &b, sizeof b) && b.length >= sizeof am && p.peek(b.address, &am, sizeof am)) {
            bool none = am.major == 0 && am.minor == 0 && am.numBlocks == 0;
            automaps[device] = {!none && am.tracking == kes::AUTOMAP_TRACKING, none ? 0 : am.numBlocks,
                                time(nullptr)};
        }
    } else if (cmd == kes::KES_READ_BLOCKS) {
        kes::ReadBlocksArgs a;
        if (p.peek(arg, &a, sizeof a))
            it->second.blocks_read += a.count;
    }
}

// A backup's control file was closed (why: nullptr) or its connection ended with it open
// (why says how): what is known of it until its agent reports.
void Server::State::backup_ended(const std::string& device, const char* why)
{
    std::lock_guard<std::mutex> g(mu);
    auto it = running.find(device);
    if (it == running.end())
        return;
    // The close of a backup that switched tracking off closes the device's automap.
    if (it->second.no_tracking)
        automaps[device] = {false, 0, time(nullptr)};
    if (why)
        last_backup[device] = {{"end_time", time(nullptr)}, {"start_time", it->second.started}, {"result", "failed"},
                               {"error", why}};
    running.erase(it);
    save_last_backups_locked();
}

// An agent's account of the backup it just ran: {"device", "id", "ok", "incremental",
// "full_reason", "error"}. Taken field by field, so that nothing else is stored.
int64_t Server::State::backup_report(const std::string& text)
{
    nlohmann::json in = nlohmann::json::parse(text, nullptr, false);
    if (!in.is_object() || !in.contains("device") || !in["device"].is_string())
        return -EINVAL;
    std::string device = in["device"];
    if (std::none_of(devices.begin(), devices.end(), [&](const Device& d) { return d.name == device; }))
        return -ENOENT;
    auto field = [&](const char* key, nlohmann::json fallback) {
        auto it = in.find(key);
        return it != in.end() && it->type() == fallback.type() ? *it : fallback;
    };
    nlohmann::json out = {{"end_time", time(nullptr)},
                          {"backup_id", field("id", "")},
                          {"result", field("ok", false).get<bool>() ? "ok" : "failed"},
                          {"incremental", field("incremental", false)},
                          {"full_reason", field("full_reason", "")},
                          {"error", field("error", "")}};
    std::lock_guard<std::mutex> g(mu);
    last_backup[device] = out;
    save_last_backups_locked();
    return 0;
}

// Takes the last backups recorded by earlier runs, for the devices that are still on the
// same images; a damaged record is reported and left out.
void Server::State::load_last_backups()
{
    state_path = dir + "/" + stem + ".state";
    LastBackups record = read_last_backups(state_path, &state_problem);
    if (!state_problem.empty())
        log_line("kestrel serve: " + state_problem);
    for (const Device& d : devices) {
        auto it = record.devices.find(d.name);
        if (it == record.devices.end() || it->second.image != d.image)
            continue;
        if (!it->second.last_backup.is_null())
            last_backup[d.name] = it->second.last_backup;
        // A backup still marked running did not end while that run lasted: the run died.
        if (it->second.running_since > 0)
            last_backup[d.name] = {{"end_time", time(nullptr)},
                                   {"start_time", it->second.running_since},
                                   {"result", "failed"},
                                   {"error", "the server ended without shutting down during the backup"}};
    }
    std::lock_guard<std::mutex> g(mu);
    save_last_backups_locked();
}

// Replaces the record of the last backups on the host. Caller holds mu, which orders the
// writers.
void Server::State::save_last_backups_locked()
{
    LastBackups record;
    for (const Device& d : devices) {
        auto last = last_backup.find(d.name);
        auto run = running.find(d.name);
        if (last == last_backup.end() && run == running.end())
            continue;
        record.devices[d.name] = {d.image, last == last_backup.end() ? nlohmann::json() : last->second,
                                  run == running.end() ? 0 : run->second.started};
    }
    std::string problem = write_last_backups(state_path, record);
    if (!problem.empty())
        log_line("kestrel serve: " + problem);
}

// ------------------------------------------------------------------ a connection

namespace {

// Reads the snapshot's bytes [offset, offset + out.size()) through the read-blocks command,
// run by run. The caller holds e.readMu.
int64_t read_snapshot_locked(Export& e, uint64_t offset, std::span<uint8_t> out)
{
    const uint64_t bs = e.block_size;
    uint64_t pos = offset;
    const uint64_t end = offset + out.size();
    std::vector<uint8_t> run;
    while (pos < end) {
        uint32_t first = static_cast<uint32_t>(pos / bs);
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>((end + bs - 1) / bs - first, kSnapshotRunBlocks));
        kes::ReadBlocksArgs a{first, count, e.buffer};
        if (!e.proc->poke(e.args, &a, sizeof a))
            return -EIO;
        if (e.proc->ioctl(e.control_fd, kes::KES_READ_BLOCKS, e.args) != 0)
            return -EIO;
        run.resize(size_t(count) * bs);
        if (!e.proc->peek(e.buffer, run.data(), run.size()))
            return -EIO;
        uint64_t run_start = uint64_t(first) * bs;
        uint64_t take = std::min<uint64_t>(end, run_start + run.size()) - pos;
        memcpy(out.data() + (pos - offset), run.data() + (pos - run_start), take);
        pos += take;
    }
    return 0;
}

bool aligned(uint64_t offset, uint64_t length) { return offset % kSector == 0 && length % kSector == 0; }

// One connection to the control socket: an agent's system calls, run in a process of the
// machine that stands for it, or an NBD plugin's block requests on the export it attached.
class Connection {
public:
    Connection(Server::State& s, int fd) : s_(s), m_(*s.machine), fd_(fd) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Serves requests until the peer closes, sends something malformed or stalls part way
    // through a frame; then the process exits, as a process does when its peer is lost (its
    // files are closed, so a backup it ran is ended by the module).
    void serve();

private:
    // What a handler makes of one request: false from a handler closes the connection.
    struct Reply {
        int64_t result = 0;
        std::vector<uint8_t> data;
    };

    bool dispatch(Op op, wire::Decoder& d, Reply& r);
    bool system_call(Op op, wire::Decoder& d, Reply& r);
    bool memory(Op op, wire::Decoder& d, Reply& r);
    bool export_snapshot(wire::Decoder& d, Reply& r);
    int64_t start_snapshot_export(int fd, uint32_t bs, uint32_t blocks, Reply& r);
    bool attach(wire::Decoder& d, Reply& r);
    bool block(Op op, wire::Decoder& d, Reply& r);
    int64_t device_io(Op op, const Export& e, uint64_t off, uint64_t len, std::span<const uint8_t> bytes, Reply& r);
    int64_t write_zeros(const Export& e, uint64_t off, uint64_t len);
    bool extents(wire::Decoder& d, Reply& r);
    void finish();

    sim::Process& agent()
    {
        if (!proc_)
            proc_ = &m_.spawn("kestrel-agent");
        return *proc_;
    }

    Server::State& s_;
    sim::Machine& m_;
    int fd_;
    sim::Process* proc_ = nullptr;             // the agent's process, once it made a call
    std::map<uint32_t, uint32_t> allocations_; // its Alloc regions and their lengths
    uint64_t allocated_ = 0;
    std::shared_ptr<Export> attached_;         // the export a plugin connection serves
    int backup_fd_ = -1;                       // the control file of a backup it started
    uint32_t backup_dev_ = 0;                  // and the device that backup is of
};

void Connection::serve()
{
    std::vector<uint8_t> body;
    while (wire::recv_frame(fd_, body, wire::kMaxFrame, s_.cfg.frame_timeout_ms) == wire::Received::Frame) {
        wire::Decoder d(body);
        Op op = static_cast<Op>(d.u8());
        Reply r;
        if (!dispatch(op, d, r))
            break;
        wire::Encoder reply;
        reply.i64(r.result);
        auto& b = reply.body();
        b.insert(b.end(), r.data.begin(), r.data.end());
        if (!wire::send_frame(fd_, b))
            break;
    }
    finish();
}

bool Connection::dispatch(Op op, wire::Decoder& d, Reply& r)
{
    switch (op) {
    case Op::Info:
    case Op::Status: {
        if (!d.done())
            return false;
        std::string j = op == Op::Info ? s_.info_json() : s_.status_json();
        r.data.assign(j.begin(), j.end());
        return true;
    }
    case Op::Report: {
        std::string text = d.str(wire::kMaxName);
        if (!d.done())
            return false;
        r.result = s_.backup_report(text);
        return true;
    }
    case Op::Open:
    case Op::Close:
    case Op::Ioctl:
    case Op::Mmap:
    case Op::Munmap:
        return system_call(op, d, r);
    case Op::Alloc:
    case Op::Free:
    case Op::Peek:
    case Op::Poke:
        return memory(op, d, r);
    case Op::SnapshotExport:
        return export_snapshot(d, r);
    case Op::SnapshotEnd:
        if (!d.done())
            return false;
        r.result = proc_ ? s_.end_snapshot(proc_) : -ENOENT;
        return true;
    case Op::Exports: {
        if (!d.done())
            return false;
        wire::Encoder e;
        for (const std::string& name : s_.export_names())
            e.str(name);
        r.data = std::move(e.body());
        return true;
    }
    case Op::Attach:
        return attach(d, r);
    case Op::BlockRead:
    case Op::BlockWrite:
    case Op::BlockTrim:
    case Op::BlockZero:
        return block(op, d, r);
    case Op::BlockExtents:
        return extents(d, r);
    case Op::BlockFlush:
        if (!d.done() || !attached_)
            return false;
        r.result = attached_->proc ? 0 : sim::flush_disk(m_, attached_->dev);
        return true;
    }
    return false;
}

bool Connection::system_call(Op op, wire::Decoder& d, Reply& r)
{
    if (op == Op::Open) {
        std::string path = d.str(wire::kMaxName);
        if (!d.done())
            return false;
        r.result = agent().open(path);
    } else if (op == Op::Close) {
        int fd = static_cast<int>(d.u32());
        if (!d.done())
            return false;
        r.result = agent().close(fd);
        if (fd == backup_fd_ && r.result == 0) {
            backup_fd_ = -1; // closing the control file ends the backup
            s_.backup_ended(s_.device_name(backup_dev_), nullptr);
        }
    } else if (op == Op::Ioctl) {
        int fd = static_cast<int>(d.u32());
        uint32_t cmd = d.u32(), arg = d.u32();
        if (!d.done())
            return false;
        // Loading the block map makes every read consume what it delivers: the snapshot
        // export of this agent ends before it.
        if (cmd == kes::KES_LOAD_BLOCK_MAP && proc_)
            s_.end_snapshot(proc_);
        r.result = agent().ioctl(fd, cmd, arg);
        kes::StartBackupArgs a;
        if (cmd == kes::KES_START_BACKUP && r.result == 0 && agent().peek(arg, &a, sizeof a)) {
            backup_fd_ = fd;
            backup_dev_ = (a.major << 20) | a.minor;
        }
        if (r.result == 0 && fd == backup_fd_)
            s_.backup_ioctl(s_.device_name(backup_dev_), cmd, agent(), arg);
    } else if (op == Op::Mmap) {
        int fd = static_cast<int>(d.u32());
        uint32_t len = d.u32();
        if (!d.done())
            return false;
        r.result = agent().mmap(len, PROT_READ, MAP_PRIVATE, fd);
    } else {
        uint32_t addr = d.u32(), len = d.u32();
        if (!d.done())
            return false;
        r.result = agent().munmap(addr, len);
    }
    return true;
}

bool Connection::memory(Op op, wire::Decoder& d, Reply& r)
{
    if (op == Op::Alloc) {
        uint32_t len = d.u32();
        if (!d.done())
            return false;
        // Bounded, so that a client cannot make the server allocate without end; result 0
        // is "no memory".
        if (len == 0 || allocated_ + len > kMaxAgentMemory)
            return true;
        uint32_t a = agent().alloc(len);
        if (a) {
            allocations_[a] = len;
            allocated_ += len;
        }
        r.result = a;
    } else if (op == Op::Free) {
        uint32_t addr = d.u32();
        if (!d.done())
            return false;
        auto it = allocations_.find(addr);
        if (it == allocations_.end()) {
            r.result = -EINVAL;
            return true;
        }
        agent().free(addr);
        allocated_ -= it->second;
        allocations_.erase(it);
    } else if (op == Op::Peek) {
        uint32_t addr = d.u32(), len = d.u32();
        if (!d.done())
            return false;
        if (len > wire::kMaxData) {
            r.result = -EINVAL;
            return true;
        }
        r.data.resize(len);
        if (!agent().peek(addr, r.data.data(), len)) {
            r.data.clear();
            r.result = -EFAULT;
        }
    } else {
        uint32_t addr = d.u32();
        auto bytes = d.bytes(wire::kMaxData);
        if (!d.done())
            return false;
        r.result = agent().poke(addr, bytes.data(), bytes.size()) ? 0 : -EFAULT;
    }
    return true;
}

bool Connection::export_snapshot(wire::Decoder& d, Reply& r)
{
    int fd = static_cast<int>(d.u32());
    uint32_t bs = d.u32(), blocks = d.u32();
    if (!d.done())
        return false;
    if (!s_.cfg.nbd)
        r.result = -ENOTSUP;
    else if ((bs != 1024 && bs != 2048 && bs != 4096) || blocks == 0 || !agent().file_of(fd))
        r.result = -EINVAL;
    else
        r.result = start_snapshot_export(fd, bs, blocks, r);
    return true;
}

// Serves the snapshot of the backup on control file fd: the export's socket path in
// r.data, or a negative error.
int64_t Connection::start_snapshot_export(int fd, uint32_t bs, uint32_t blocks, Reply& r)
{
    auto e = std::make_shared<Export>();
    e->name = "snapshot";
    e->readonly = true;
    e->bytes = uint64_t(bs) * blocks;
    e->proc = proc_;
    e->control_fd = fd;
    e->block_size = bs;
    e->buffer_len = kSnapshotRunBlocks * bs;
    {
        std::lock_guard<std::mutex> g(s_.mu);
        if (s_.snapshot || s_.stopping)
            return -EBUSY;
        s_.snapshot = e; // holds the name while the export starts
    }
    long addr = proc_->mmap(e->buffer_len, PROT_READ, MAP_PRIVATE, fd);
    e->args = proc_->alloc(sizeof(kes::ReadBlocksArgs));
    if (addr < 0 || e->args == 0) {
        if (addr >= 0)
            proc_->munmap(static_cast<uint32_t>(addr), e->buffer_len);
        if (e->args)
            proc_->free(e->args);
        std::lock_guard<std::mutex> g(s_.mu);
        s_.snapshot.reset();
        return addr < 0 ? addr : -ENOMEM;
    }
    e->buffer = static_cast<uint32_t>(addr);
    r.data.assign(s_.nbd_socket.begin(), s_.nbd_socket.end());
    return 0;
}

bool Connection::attach(wire::Decoder& d, Reply& r)
{
    std::string name = d.str(wire::kMaxName);
    bool ro = d.u8() != 0;
    if (!d.done())
        return false;
    auto e = s_.find_export(name);
    if (!e) {
        r.result = -ENOENT;
    } else if (e->readonly && !ro) {
        r.result = -EROFS;
    } else {
        attached_ = e;
        r.result = static_cast<int64_t>(e->bytes);
    }
    return true;
}

bool Connection::block(Op op, wire::Decoder& d, Reply& r)
{
    uint64_t off = d.u64();
    std::span<const uint8_t> bytes;
    uint64_t len;
    if (op == Op::BlockWrite) {
        bytes = d.bytes(wire::kMaxData);
        len = bytes.size();
    } else {
        len = d.u32();
    }
    if (!d.done() || !attached_)
        return false;
    Export& e = *attached_;
    if ((op == Op::BlockRead && len > wire::kMaxData) || off > e.bytes || len > e.bytes - off) {
        r.result = -EINVAL;
        return true;
    }
    if (!e.proc) {
        r.result = device_io(op, e, off, len, bytes, r);
        return true;
    }
    // The snapshot: read-only.
    if (op != Op::BlockRead) {
        r.result = -EROFS;
        return true;
    }
    std::lock_guard<std::mutex> g(e.readMu);
    if (e.ended) {
        r.result = -ESHUTDOWN;
        return true;
    }
    r.data.resize(len);
    r.result = read_snapshot_locked(e, off, r.data);
    if (r.result != 0)
        r.data.clear();
    return true;
}

// A request on a device of the machine, through its block layer as a process writing the
// block device would.
int64_t Connection::device_io(Op op, const Export& e, uint64_t off, uint64_t len, std::span<const uint8_t> bytes,
                              Reply& r)
{
    if (!aligned(off, len))
        return -EINVAL;
    if (op == Op::BlockWrite)
        return sim::write_sectors(m_, e.dev, off / kSector, bytes.data(), len / kSector);
    if (op != Op::BlockRead)
        return write_zeros(e, off, len);
    r.data.resize(len);
    int err = sim::read_sectors(m_, e.dev, off / kSector, r.data.data(), len / kSector);
    if (err)
        r.data.clear();
    return err;
}

// Zeroes a range, as both a trim and a zero request leave it: the blocks read back as a
// fresh disk's would, and the writes go through the block layer like any other (so the
// module sees them), a piece at a time.
int64_t Connection::write_zeros(const Export& e, uint64_t off, uint64_t len)
{
    static const std::vector<uint8_t> zeros(1u << 20);
    int err = 0;
    for (uint64_t done = 0; done < len && err == 0;) {
        uint64_t piece = std::min<uint64_t>(len - done, zeros.size());
        err = sim::write_sectors(m_, e.dev, (off + done) / kSector, zeros.data(), piece / kSector);
        done += piece;
    }
    return err;
}

// Where the attached device's image has holes, from offset on: runs of data and of holes
// (which read as zeros; the machine writes zeros, never holes, so a hole was never written).
// Without a known image, all of it is data.
bool Connection::extents(wire::Decoder& d, Reply& r)
{
    uint64_t off = d.u64();
    uint64_t len = d.u32();
    if (!d.done() || !attached_)
        return false;
    const Export& e = *attached_;
    if (off > e.bytes || len > e.bytes - off || len == 0) {
        r.result = -EINVAL;
        return true;
    }
    wire::Encoder runs;
    auto run = [&](uint64_t n, bool hole) { runs.u64(n).u8(hole ? 1 : 0); };
    const uint64_t end = off + len;
    // A bounded reply: the client asks again for the rest.
    for (unsigned count = 0; off < end && count < 1024; count++) {
        if (e.image_fd < 0) {
            run(end - off, false);
            break;
        }
        off_t at = static_cast<off_t>(e.image_offset + off);
        off_t data = lseek(e.image_fd, at, SEEK_DATA);
        if (data < 0 && errno != ENXIO) {
            run(end - off, false);
            break;
        }
        uint64_t n;
        bool hole = data < 0 || data > at;
        if (hole) {
            n = data < 0 ? end - off : std::min<uint64_t>(static_cast<uint64_t>(data - at), end - off);
        } else {
            off_t h = lseek(e.image_fd, at, SEEK_HOLE);
            n = h <= at ? end - off : std::min<uint64_t>(static_cast<uint64_t>(h - at), end - off);
        }
        run(n, hole);
        off += n;
    }
    r.data = std::move(runs.body());
    return true;
}

void Connection::finish()
{
    bool stopping;
    {
        std::lock_guard<std::mutex> g(s_.mu);
        stopping = s_.stopping;
        if (stopping && backup_fd_ >= 0)
            s_.ended_backups.push_back(s_.device_name(backup_dev_));
    }
    if (stopping) {
        // Says why, as the reply to the client's next request (or the one it waits on).
        std::string why = "the server shut down";
        if (backup_fd_ >= 0)
            why += " and ended the backup of " + s_.device_name(backup_dev_);
        wire::Encoder goodbye;
        goodbye.i64(-ESHUTDOWN);
        auto& b = goodbye.body();
        b.insert(b.end(), why.begin(), why.end());
        wire::send_frame(fd_, b);
    }
    if (backup_fd_ >= 0)
        s_.backup_ended(s_.device_name(backup_dev_), stopping ? "the server shut down during the backup"
                                                               : "the agent's connection closed during the backup");
    if (proc_) {
        s_.end_snapshot(proc_);
        m_.reap(*proc_);
        proc_ = nullptr;
    }
    // The peer sees the end now; the worker closes the descriptor.
    ::shutdown(fd_, SHUT_RDWR);
}

} // namespace

// ------------------------------------------------------------------ the connection pool

namespace {

// Tells a client that is turned away why (as the reply to whatever it sends first) and
// closes its connection. Never blocks: the reply fits the empty socket's buffer.
void refuse(int fd, int err, const char* why)
{
    fprintf(stderr, "kestrel serve: refused a connection: %s\n", why);
    wire::Encoder e;
    e.i64(-err);
    uint8_t len[4] = {8, 0, 0, 0};
    (void)::send(fd, len, 4, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)::send(fd, e.body().data(), e.body().size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

} // namespace

// Writes a line of the server's own to the kernel log, stamped as the kernel's lines are.
void Server::State::log_line(const std::string& text)
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    size_t n = strftime(stamp, sizeof stamp, "%b %e %H:%M:%S ", &tm);
    std::string line = std::string(stamp, n) + text + "\n";
    [[maybe_unused]] ssize_t w = write(log_fd, line.data(), line.size());
}

std::string Server::State::device_name(uint32_t dev) const
{
    for (const Device& d : devices)
        if (d.dev == dev)
            return d.name;
    return std::to_string(dev >> 20) + ":" + std::to_string(dev & 0xFFFFF);
}

// Queues a connection the accepting thread has checked, for an idle worker or a new one;
// refuses it when the server serves as many as it may or cannot start a thread.
void Server::State::accept_connection(int fd)
{
    // A peer that stops reading its replies must not hold a worker for ever.
    if (cfg.frame_timeout_ms > 0) {
        timeval tv{cfg.frame_timeout_ms / 1000, (cfg.frame_timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    std::unique_lock<std::mutex> g(mu);
    if (stopping) {
        g.unlock();
        close(fd);
        return;
    }
    if (connections_locked() >= cfg.max_connections) {
        g.unlock();
        refuse(fd, EUSERS, ("already serving " + std::to_string(cfg.max_connections) + " connections, the most it may")
                               .c_str());
        return;
    }
    if (!hand_over(fd)) {
        g.unlock();
        refuse(fd, EAGAIN, "cannot start a thread for it");
    }
}

// Puts fd in the queue, with a new worker when none is idle; false (nothing queued) when
// the worker could not be started. The caller holds mu.
bool Server::State::hand_over(int fd)
{
    // A retired worker has left its loop (it let go of mu after retiring): joining it
    // waits for its last instructions only.
    for (std::thread::id id : retired)
        for (auto it = workers.begin(); it != workers.end(); ++it)
            if (it->get_id() == id) {
                it->join();
                workers.erase(it);
                break;
            }
    retired.clear();
    if (idle <= pending.size()) {
        try {
            workers.emplace_back([this] { worker(); });
        } catch (const std::system_error&) {
            return false;
        }
        idle++;
    }
    pending.push_back(fd);
    work.notify_one();
    return true;
}

void Server::State::worker()
{
    std::unique_lock<std::mutex> g(mu);
    for (;;) {
        bool woken = work.wait_for(g, std::chrono::seconds(1), [&] { return stopping || !pending.empty(); });
        if (stopping && pending.empty())
            return;
        if (!woken) {
            // A second idle worker is not kept: the threads shrink back when the
            // connections that needed them are gone.
            if (idle > 1) {
                idle--;
                retired.push_back(std::this_thread::get_id());
                return;
            }
            continue;
        }
        int fd = pending.front();
        pending.pop_front();
        idle--;
        serving.insert(fd);
        g.unlock();
        Connection(*this, fd).serve();
        g.lock();
        serving.erase(fd);
        close(fd);
        idle++;
        ended.notify_all();
    }
}
// ------------------------------------------------------------------ the server

// Opens the kernel log (appended to across runs), notes there a previous run that did not
// end cleanly, and marks this run with the pid file.
void Server::State::open_log()
{
    log_path = dir + "/" + stem + ".log";
    pid_path = dir + "/" + stem + ".pid";
    unclean = unclean_end_note(pid_path);
    log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd < 0)
        throw Error("cannot write the kernel log " + log_path + ": " + errno_text(errno));
    if (!unclean.empty())
        log_line(unclean);
    started_at = time(nullptr);
    log_line("kestrel serve: started (pid " + std::to_string(getpid()) + ")");
    std::ofstream pid(pid_path, std::ios::trunc);
    pid << getpid() << "\n";
}

// Attaches image i as disk sd<a+i>, lists its disk and partitions as devices and mounts
// the file systems: on each partition, or on the whole disk when it has none.
void Server::State::attach_disk(size_t i)
{
    sim::DiskConfig dc;
    dc.image_path = cfg.images[i];
    dc.first_minor = static_cast<unsigned>(16 * i);
    uint32_t disk;
    int err = sim::add_disk(*machine, dc, &disk);
    if (err == -EBUSY)
        throw Error(sim::image_in_use(dc.image_path));
    if (err)
        throw Error("cannot attach " + dc.image_path + ": " + errno_text(-err));
    disks.push_back(disk);
    std::string name = std::string("sd") + static_cast<char>('a' + i);
    bool any_partition = false;
    for (unsigned p = 0; p < dc.minors; p++) {
        auto sectors = sim::device_sectors(*machine, disk + p);
        if (!sectors || *sectors == 0)
            continue;
        any_partition |= p > 0;
        devices.push_back(Device{name + (p ? std::to_string(p) : ""), dc.image_path, static_cast<unsigned>(i), p,
                                 disk + p, *sectors * kSector, false, ""});
    }
    for (Device& dev : devices) {
        if (dev.disk != i || (dev.partition == 0) == any_partition)
            continue;
        if (sim::mount_fs(*machine, dev.dev) == 0) {
            dev.mounted = true;
            mounted.push_back(dev.dev);
        }
    }
}

// Lets the export answer where its image has holes: the image opened read-only, and where
// the device starts in it (a whole disk at 0, a primary partition where the MBR says).
void Server::State::find_holes(Export& e, const Device& dev)
{
    if (dev.partition > 4)
        return;
    uint64_t start = 0;
    if (dev.partition > 0) {
        unsigned char mbr[512];
        if (sim::read_store(*machine, dev.dev - dev.partition, 0, mbr, 1) != 0)
            return;
        const unsigned char* entry = mbr + 0x1BE + 16 * (dev.partition - 1);
        start = (uint64_t(entry[8]) | uint64_t(entry[9]) << 8 | uint64_t(entry[10]) << 16 |
                 uint64_t(entry[11]) << 24) * kSector;
    }
    e.image_fd = open(dev.image.c_str(), O_RDONLY | O_CLOEXEC);
    e.image_offset = start;
}

// Every device is an export of the control socket; with NBD, one nbdkit serves them all.
void Server::State::export_devices()
{
    if (cfg.nbd)
        plugin = fs::absolute(cfg.plugin).string();
    for (Device& dev : devices) {
        auto e = std::make_shared<Export>();
        e->name = dev.name;
        e->bytes = dev.bytes;
        e->dev = dev.dev;
        find_holes(*e, dev);
        exports[dev.name] = e;
    }
    if (cfg.nbd) {
        start_nbdkit();
        for (Device& dev : devices)
            dev.nbd = nbd_socket;
    }
}

Server::Server(Config config) : s_(std::make_unique<State>())
{
    State& s = *s_;
    s.cfg = std::move(config);
    if (s.cfg.images.empty())
        throw Error("no disk image given");
    if (s.cfg.images.size() > 16)
        throw Error("at most 16 disk images");
    fs::path sock = fs::absolute(s.cfg.socket);
    s.cfg.socket = sock.string();
    s.dir = sock.parent_path().string();
    s.stem = sock.stem().string();
    check_private_dir(s.dir);
    claim_socket_path(s.cfg.socket);
    check_images(s.cfg.images);
    if (s.cfg.nbd) {
        s.nbdkit = find_program(s.cfg.nbdkit);
        if (s.nbdkit.empty())
            throw Error("cannot find " + s.cfg.nbdkit + " (install nbdkit, or serve without NBD)");
        if (s.cfg.plugin.empty() || access(s.cfg.plugin.c_str(), R_OK) != 0)
            throw Error("cannot find the NBD plugin " + (s.cfg.plugin.empty() ? "(none given)" : s.cfg.plugin));
    }
    if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Error("cannot make a pipe: " + errno_text(errno));
    s.open_log();

    // From here on, a failure shuts down what was started.
    try {
        sim::MachineConfig mc;
        mc.log_fd = s.log_fd;
        mc.log_timestamps = true;
        // The log file keeps every line; memory keeps the latest.
        mc.log_keep = 1000;
        s.machine = std::make_unique<sim::Machine>(install::machine_config(mc));
        for (size_t i = 0; i < s.cfg.images.size(); i++)
            s.attach_disk(i);
        s.load_last_backups();
        if (int err = install::load_module(*s.machine))
            throw Error("cannot load the module: " + errno_text(-err));
        s.loaded = true;
        s.listen_fd = listen_at(s.cfg.socket);
        s.export_devices();
    } catch (...) {
        shutdown();
        throw;
    }
}

Server::~Server() { shutdown(); }

void Server::wait_connections(size_t n)
{
    State& s = *s_;
    std::unique_lock<std::mutex> g(s.mu);
    s.ended.wait(g, [&] { return s.connections_locked() <= n; });
}

const std::vector<Device>& Server::devices() const { return s_->devices; }
const std::string& Server::log_path() const { return s_->log_path; }
const std::string& Server::previous_run_unclean() const { return s_->unclean; }
const std::string& Server::state_problem() const { return s_->state_problem; }

std::vector<std::string> Server::ended_backups() const
{
    std::lock_guard<std::mutex> g(s_->mu);
    return s_->ended_backups;
}
sim::Machine& Server::machine() { return *s_->machine; }

void Server::stop()
{
    char c = 1;
    [[maybe_unused]] ssize_t n = write(s_->wake[1], &c, 1);
}

void Server::run()
{
    State& s = *s_;
    for (;;) {
        pollfd p[2] = {{s.listen_fd, POLLIN, 0}, {s.wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the waiting connection stays queued; try again in a while
            // rather than spin on it.
            if (errno == EMFILE || errno == ENFILE)
                poll(nullptr, 0, 100);
            continue;
        }
        // Only the user who started the machine may reach it, and that is settled before
        // the first byte is read.
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            fprintf(stderr, "kestrel serve: refused a connection from uid %u\n", unsigned(cred.uid));
            close(fd);
            continue;
        }
        s.accept_connection(fd);
    }
}

std::string Server::shutdown()
{
    State& s = *s_;
    if (s.down)
        return "";
    s.down = true;
    std::string problems;
    auto note = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.stopping = true;
    }
    if (s.listen_fd >= 0) {
        close(s.listen_fd);
        unlink(s.cfg.socket.c_str());
    }
    // The exports first: their clients are cut off, and nothing new reaches the disks.
    s.end_snapshot(nullptr);
    s.stop_nbdkit();
    // Then the connections: each one's process exits, ending any backup it runs.
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(s.mu);
        // The reading side only: each worker sees its client gone between requests and
        // tells it why before it closes the connection.
        for (int fd : s.serving)
            ::shutdown(fd, SHUT_RD);
        for (int fd : s.pending)
            close(fd);
        s.pending.clear();
        workers.swap(s.workers);
        s.work.notify_all();
    }
    for (std::thread& t : workers)
        t.join();
    // The images' descriptors last: a connection asking for extents reads them until it ends.
    for (auto& [name, e] : s.exports) {
        if (e->image_fd >= 0)
            close(e->image_fd);
        e->image_fd = -1;
    }
    if (s.machine) {
        s.machine->exit_processes();
        for (uint32_t dev : s.mounted)
            if (int err = sim::unmount_fs(*s.machine, dev))
                note("cannot unmount device " + std::to_string(dev >> 20) + ":" + std::to_string(dev & 0xFFFFF) +
                     ": " + errno_text(-err));
        if (s.loaded && s.machine->rmmod("kestrel") != 0)
            note("cannot unload the module");
        for (uint32_t disk : s.disks)
            if (sim::flush_disk(*s.machine, disk) != 0)
                note("cannot flush an image to the host's storage");
        std::string leaks = s.machine->leak_report();
        if (!leaks.empty())
            note("the machine was not left clean: " + leaks);
        for (const std::string& bug : s.machine->bugs())
            note("kernel bug: " + bug);
        s.machine.reset();
    }
    if (s.log_fd >= 0) {
        s.log_line(problems.empty() ? "kestrel serve: shut down cleanly" : "kestrel serve: shut down: " + problems);
        close(s.log_fd);
        unlink(s.pid_path.c_str());
    }
    for (int fd : s.wake)
        if (fd >= 0)
            close(fd);
    s.log_fd = s.wake[0] = s.wake[1] = s.listen_fd = -1;
    return problems;
}

} // namespace serve
