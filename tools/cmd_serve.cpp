// kestrel serve: the live machine, up until SIGINT or SIGTERM; a service manager's notify
// protocol (NOTIFY_SOCKET) is told when it is ready and when it stops.
#include "tools/cli.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <climits>
#include <cstdio>
#include <filesystem>

#include "serve/server.h"

namespace cli {

namespace {

struct ServeOptions {
    std::vector<std::string> images;
    std::string socket;
    bool no_nbd = false;
    std::string plugin;
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
    printf("kernel log: %s\n", server->log_path().c_str());
    printf("control socket: %s\n", std::filesystem::absolute(opt.socket).c_str());
    for (const serve::Device& d : server->devices())
        printf("%-6s %s, %s%s%s\n", d.name.c_str(), human_bytes(d.bytes).c_str(),
               d.mounted ? "file system mounted" : "no file system mounted", d.nbd.empty() ? "" : ", nbd: ",
               d.nbd.c_str());
    printf("serving until SIGINT or SIGTERM\n");
    fflush(stdout);
    if (!server->previous_run_unclean().empty())
        fprintf(stderr, "kestrel: %s\n", server->previous_run_unclean().c_str());
    notify_service_manager("READY=1\nMAINPID=" + std::to_string(getpid()) + "\nSTATUS=serving " +
                           std::to_string(server->devices().size()) + " devices");

    server->run();
    notify_service_manager("STOPPING=1");
    std::string problems = server->shutdown();
    for (const std::string& dev : server->ended_backups())
        printf("ended the backup of %s (its agent was told)\n", dev.c_str());
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_server = nullptr;
    if (!problems.empty()) {
        fprintf(stderr, "kestrel: the machine did not shut down cleanly: %s\n", problems.c_str());
        return kExitFailed;
    }
    printf("shut down cleanly\n");
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
    commands.add(serve, [opt] { return run_serve(*opt); });
}

} // namespace cli
