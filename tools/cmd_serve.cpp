// kestrel serve: the live machine, up until SIGINT or SIGTERM; a service manager's notify
// protocol (NOTIFY_SOCKET) is told when it is ready and when it stops.
#include "tools/cli.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>

#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent/socket_transport.h"
#include "jobs/json_out.h"
#include "serve/server.h"

namespace cli {

namespace {

struct ServeOptions {
    std::vector<std::string> images;
    std::string socket;
    bool no_nbd = false;
    std::string plugin;
    bool json = false;
};

serve::Server* g_server = nullptr;

void on_signal(int) { g_server->stop(); }

// Sends a state line ("READY=1") to the service manager that started us, when one did:
// one datagram to the socket named by NOTIFY_SOCKET (a leading '@' names an abstract one).
void notify_service_manager(const std::string& state)
{
    const char* path = getenv("NOTIFY_SOCKET");
    if (!path || !*path)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path)
        return;
    memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    socklen_t alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    if (sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), alen) < 0)
        fprintf(stderr, "kestrel: cannot notify the service manager: %s\n", strerror(errno));
    close(fd);
}

// The plugin beside this program, where the build puts it.
std::string default_plugin()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    return (std::filesystem::path(self).parent_path() / "kestrel-nbd.so").string();
}

std::string nbd_uri(const serve::Device& d)
{
    return d.nbd.empty() ? "" : "nbd+unix:///" + d.name + "?socket=" + d.nbd;
}

void print_ready(serve::Server& server, const ServeOptions& opt)
{
    info("kernel log: %s\n", server.log_path().c_str());
    info("control socket: %s\n", std::filesystem::absolute(opt.socket).c_str());
    for (const serve::Device& d : server.devices()) {
        std::string nbd = d.nbd.empty() ? "" : ", " + nbd_uri(d);
        info("%-6s %s, %s%s\n", d.name.c_str(), human_bytes(d.bytes).c_str(),
             d.mounted ? "file system mounted" : "no file system mounted", nbd.c_str());
    }
    info("serving until SIGINT or SIGTERM\n");
}

// The line a script waits for: the machine serves, and where.
nlohmann::json ready_json(serve::Server& server, const ServeOptions& opt)
{
    nlohmann::json devices = nlohmann::json::array();
    for (const serve::Device& d : server.devices())
        devices.push_back({{"name", d.name}, {"size_bytes", d.bytes}, {"mounted", d.mounted}, {"nbd_uri", nbd_uri(d)}});
    return {{"type", "ready"},
            {"pid", getpid()},
            {"log", server.log_path()},
            {"socket", std::filesystem::absolute(opt.socket).string()},
            {"devices", devices}};
}

int run_serve(const ServeOptions& opt)
{
    serve::Config c;
    c.images = opt.images;
    c.socket = opt.socket;
    c.nbd = !opt.no_nbd;
    c.plugin = opt.plugin.empty() ? default_plugin() : opt.plugin;
    std::unique_ptr<serve::Server> server;
    try {
        server = std::make_unique<serve::Server>(c);
    } catch (const serve::Error& e) {
        fprintf(stderr, "kestrel: %s\n", e.what());
        if (opt.json)
            printf("%s\n", jobs::json::line(jobs::json::error(e.what(), "failed", "")).c_str());
        return kExitFailed;
    }
    // The handlers are in place before the machine says it serves.
    g_server = server.get();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (opt.json)
        printf("%s\n", jobs::json::line(ready_json(*server, opt)).c_str());
    else
        print_ready(*server, opt);
    fflush(stdout);
    if (!server->previous_run_unclean().empty())
        fprintf(stderr, "kestrel: %s\n", server->previous_run_unclean().c_str());
    if (!server->state_problem().empty())
        fprintf(stderr, "kestrel: %s\n", server->state_problem().c_str());
    notify_service_manager("READY=1\nMAINPID=" + std::to_string(getpid()) + "\nSTATUS=serving " +
                           std::to_string(server->devices().size()) + " devices");

    server->run();
    notify_service_manager("STOPPING=1");
    std::string problems = server->shutdown();
    if (!opt.json)
        for (const std::string& dev : server->ended_backups())
            info("ended the backup of %s (its agent was told)\n", dev.c_str());
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_server = nullptr;
    if (!problems.empty())
        fprintf(stderr, "kestrel: the machine did not shut down cleanly: %s\n", problems.c_str());
    else if (!opt.json)
        info("shut down cleanly\n");
    if (opt.json) {
        nlohmann::json end = {{"ok", problems.empty()}, {"ended_backup_devices", server->ended_backups()}};
        if (!problems.empty())
            end["error"] = "the machine did not shut down cleanly: " + problems;
        print_json(end);
    }
    return problems.empty() ? kExitOk : kExitFailed;
}

struct StatusOptions {
    std::string server;
    bool json = false;
    bool prometheus = false;
    std::string textfile;
};

// The status in Prometheus's text format, one family per figure, labelled by device.
std::string prometheus_text(const nlohmann::json& j)
{
    std::ostringstream out;
    auto family = [&](const char* name, const char* help, const char* type) {
        out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    };
    auto sample = [&](const char* name, const std::string& device, double v) {
        out << name << "{device=\"" << device << "\"} " << v << "\n";
    };
    family("kestrel_up", "1 while the live machine answers.", "gauge");
    out << "kestrel_up 1\n";
    family("kestrel_connections", "Connections to the control socket being served.", "gauge");
    out << "kestrel_connections " << j.value("connections", 0) << "\n";
    struct Figure {
        const char* name;
        const char* help;
        const char* type;
        std::function<std::optional<double>(const nlohmann::json&)> of;
    };
    auto running = [](const nlohmann::json& d) { return d["running_backup"].is_object(); };
    auto last = [](const nlohmann::json& d) { return d["last_backup"].is_object(); };
    const Figure figures[] = {
        {"kestrel_device_bytes", "Size of a disk or partition.", "gauge",
         [](const nlohmann::json& d) { return std::optional<double>(d["size_bytes"].get<double>()); }},
        {"kestrel_device_mounted", "1 when a file system of the machine is mounted on the device.", "gauge",
         [](const nlohmann::json& d) { return std::optional<double>(d["mounted"].get<bool>()); }},
        {"kestrel_automap_tracking", "1 while the module tracks the device's changes for the next incremental.",
         "gauge",
         [](const nlohmann::json& d) {
             return d["automap"].is_object() ? std::optional<double>(d["automap"].value("tracking", false))
                                             : std::nullopt;
         }},
        {"kestrel_automap_blocks", "Blocks the device's automap covers (0: it has none).", "gauge",
         [](const nlohmann::json& d) {
             return d["automap"].is_object() ? std::optional<double>(d["automap"].value("map_blocks", 0.0)) : std::nullopt;
         }},
        {"kestrel_backup_running", "1 while a backup of the device runs.", "gauge",
         [&](const nlohmann::json& d) { return std::optional<double>(running(d)); }},
        {"kestrel_backup_blocks_read", "Blocks the running backup has read from its snapshot.", "gauge",
         [&](const nlohmann::json& d) {
             return running(d) ? std::optional<double>(d["running_backup"]["read_blocks"].get<double>()) : std::nullopt;
         }},
        {"kestrel_backup_blocks", "Blocks of the device the running backup covers.", "gauge",
         [&](const nlohmann::json& d) {
             return running(d) ? std::optional<double>(d["running_backup"]["fs_blocks"].get<double>()) : std::nullopt;
         }},
        {"kestrel_last_backup_timestamp_seconds", "When the last backup of the device ended (unix time).", "gauge",
         [&](const nlohmann::json& d) {
             return last(d) ? std::optional<double>(d["last_backup"]["end_time"].get<double>()) : std::nullopt;
         }},
        {"kestrel_last_backup_success", "1 when the last backup of the device was committed.", "gauge",
         [&](const nlohmann::json& d) {
             return last(d) ? std::optional<double>(d["last_backup"]["result"] == "ok") : std::nullopt;
         }},
        {"kestrel_last_backup_incremental", "1 when the last backup of the device was incremental.", "gauge",
         [&](const nlohmann::json& d) {
             return last(d) ? std::optional<double>(d["last_backup"].value("incremental", false)) : std::nullopt;
         }},
    };
    for (const Figure& f : figures) {
        family(f.name, f.help, f.type);
        for (const nlohmann::json& d : j["devices"])
            if (auto v = f.of(d))
                sample(f.name, d["name"].get<std::string>(), *v);
    }
    return out.str();
}

void print_status_text(const nlohmann::json& j)
{
    printf("machine: pid %d, serving since %s, %d connection(s)\n", j.value("pid", 0),
           local_time(j.value("start_time", int64_t(0))).c_str(), j.value("connections", 0));
    for (const nlohmann::json& d : j["devices"]) {
        printf("%-6s %s%s\n", d["name"].get<std::string>().c_str(), human_bytes(d["size_bytes"].get<uint64_t>()).c_str(),
               d["mounted"].get<bool>() ? ", file system mounted" : "");
        if (const nlohmann::json& a = d["automap"]; a.is_object())
            printf("       change tracking: %s\n",
                   a.value("tracking", false)
                       ? ("on, automap of " + std::to_string(a.value("map_blocks", 0u)) + " blocks").c_str()
                   : a.value("map_blocks", 0u) ? "stopped (the next backup is full)"
                                           : "none (the next backup is full)");
        if (const nlohmann::json& r = d["running_backup"]; r.is_object()) {
            uint64_t read = r["read_blocks"], total = r["fs_blocks"];
            printf("       backup running since %s: %s, %llu of %llu blocks read\n",
                   local_time(r["start_time"]).c_str(), r["state"].get<std::string>().c_str(),
                   static_cast<unsigned long long>(read), static_cast<unsigned long long>(total));
        }
        if (const nlohmann::json& l = d["last_backup"]; l.is_object()) {
            std::string kind = l.value("incremental", false) ? "incremental"
                               : l.value("full_reason", "").empty() ? "full"
                                                                     : "full (" + l.value("full_reason", "") + ")";
            printf("       last backup %s: %s%s%s\n", local_time(l["end_time"]).c_str(),
                   l["result"] == "ok" ? ("ok, " + kind + ", " + l.value("backup_id", "")).c_str() : "failed",
                   l.value("error", "").empty() ? "" : ": ", l.value("error", "").c_str());
        }
    }
}

int run_status(const StatusOptions& opt)
{
    std::string error;
    auto t = agent::SocketTransport::connect(opt.server, &error);
    std::string text = t ? t->status() : "";
    if (text.empty()) {
        fprintf(stderr, "kestrel: %s\n", t ? ("the machine at " + opt.server + " did not answer").c_str() : error.c_str());
        return kExitFailed;
    }
    nlohmann::json j = nlohmann::json::parse(text);
    if (!opt.textfile.empty()) {
        // Whole or not at all for the collector that reads it: written beside, then renamed.
        std::string tmp = opt.textfile + ".tmp";
        std::ofstream(tmp, std::ios::trunc) << prometheus_text(j);
        if (std::rename(tmp.c_str(), opt.textfile.c_str()) != 0) {
            fprintf(stderr, "kestrel: cannot write %s: %s\n", opt.textfile.c_str(), strerror(errno));
            return kExitFailed;
        }
    }
    if (opt.json)
        print_json(j);
    else if (opt.prometheus)
        fputs(prometheus_text(j).c_str(), stdout);
    else if (opt.textfile.empty())
        print_status_text(j);
    return kExitOk;
}

} // namespace

void register_serve(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<ServeOptions>();
    CLI::App* serve = app.add_subcommand(
        "serve", "boot a machine on disk images and keep it running: the module stays loaded, agents of other "
                 "processes back up its partitions (kestrel backup --server) and NBD clients use its disks");
    serve->add_option("--disk", opt->images, "a disk image (repeat for more disks: sda, sdb, ...)")
        ->required()
        ->check(CLI::ExistingFile);
    serve->add_option("--socket", opt->socket,
                      "the control socket; the kernel log and the NBD sockets go beside it, in a directory "
                      "only you can enter (made when missing)")
        ->required();
    serve->add_flag("--no-nbd", opt->no_nbd, "export nothing over NBD");
    serve->add_option("--nbd-plugin", opt->plugin, "the nbdkit plugin (default: kestrel-nbd.so beside kestrel)");
    serve->add_flag("--json", opt->json,
                    "print a \"ready\" JSON line once serving and a summary line at the end, instead of text");
    commands.add(serve, [opt] { return run_serve(*opt); });

    auto sopt = std::make_shared<StatusOptions>();
    CLI::App* status = app.add_subcommand(
        "status", "what a live machine (kestrel serve) is doing: its disks and partitions, what is mounted, the "
                  "backup running and its progress, the last backup of each partition");
    status->add_option("--server", sopt->server, "the machine's control socket")->required();
    auto* json = status->add_flag("--json", sopt->json, "print JSON (docs/status.md describes it)");
    status->add_flag("--prometheus", sopt->prometheus, "print the figures in Prometheus's text format")->excludes(json);
    status->add_option("--textfile", sopt->textfile,
                       "write the Prometheus figures to this file (for node_exporter's textfile collector)");
    commands.add(status, [sopt] { return run_status(*sopt); });
}

} // namespace cli
