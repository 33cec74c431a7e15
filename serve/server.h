// The live machine: a simulated machine booted on disk images that stays up, with the
// module loaded, serving agents of other processes and NBD clients until it is stopped.
//
// Layout on the host: the control socket at the path given; beside it, in the same
// directory, the kernel log (<stem>.log), the record of the last backups (<stem>.state) and
// the NBD socket (<stem>.nbd), where one nbdkit serves every disk and partition by export
// name (sda, sda1 ...), and a backup's snapshot as "snapshot" while one is exported. The
// directory must be one only this user can enter (it is made, mode 0700, when missing);
// every socket is created mode 0600, and a connection from another user is closed before
// it can send anything.
//
// Each connection to the control socket is served by one thread of a pool, which takes the
// next connection when it is done. The system calls of an agent run in a process of the
// machine that belongs to the connection; the process exits when the connection closes.
// nbdkit runs our plugin, which forwards each NBD client's requests over a connection of
// its own to the control socket; they run through the machine's block layer as a process
// writing the block device would.
//
// Errors, the server's one style: setting up throws serve::Error, one line naming the
// socket, directory or image it concerns; once up, what an agent's call meets goes back to
// that agent as the call's status and never ends the server.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {
class Machine;
}

namespace serve {

struct Config {
    std::vector<std::string> images; // disk images, attached as sda, sdb, ...
    std::string socket;              // the control socket's path
    bool nbd = true;                 // export the disks over NBD
    std::string nbdkit = "nbdkit";   // the nbdkit program (searched in PATH)
    std::string plugin;              // our nbdkit plugin (a shared object)
    // The most connections served at once (agents and NBD plugin connections together);
    // one more is told "too many users" and closed.
    size_t max_connections = 64;
    // How long a frame that has begun may take to arrive, and a reply to be taken, before
    // the connection is closed (milliseconds).
    int frame_timeout_ms = 30000;
};

// A disk or partition of the machine, as clients see it.
struct Device {
    std::string name;      // "sda", "sda1"
    std::string image;     // absolute path of the disk's image
    unsigned disk = 0;     // index of the disk, from 0
    unsigned partition = 0; // 0: the whole disk
    uint32_t dev = 0;      // the kernel's device number
    uint64_t bytes = 0;
    bool mounted = false;  // a file system of the machine is mounted on it
    std::string nbd;       // the NBD socket that serves it as export `name` ("" without NBD)
};

// Setup failures: what went wrong in one line.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Server {
public:
    // Checks the socket's directory and path and the images, opens the kernel log, boots
    // the machine on the images, mounts every file system it finds, loads the module,
    // listens on the control socket and starts the NBD exports. Throws Error (with
    // everything started so far shut down again) when any of it fails.
    explicit Server(Config config);
    // Shuts down (see shutdown) when that was not done.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Accepts connections until stop() is called, then returns; the connections already
    // made go on being served until shutdown().
    void run();
    // Makes run() return. Safe to call from a signal handler and from any thread.
    void stop();
    // Ends every export and connection (so their processes exit, and any backup they run
    // is ended by the module), unmounts the file systems, unloads the module, flushes the
    // images and halts the machine. Returns "" or a line saying what did not go cleanly.
    std::string shutdown();

    // The devices whose backups shutdown() ended (their agents' connections were closed).
    std::vector<std::string> ended_backups() const;
    // A line about the previous run on this socket when it ended without shutting down
    // (killed or crashed), else "". It is in the log too.
    const std::string& previous_run_unclean() const;
    // Why the record of the last backups kept by earlier runs (<stem>.state beside the
    // socket) was ignored, or "". It is in the log too.
    const std::string& state_problem() const;

    // Waits until at most n connections are being served: a connection that closed has
    // had its process ended by then.
    void wait_connections(size_t n);

    const std::vector<Device>& devices() const;
    const std::string& log_path() const;
    sim::Machine& machine();

    struct State;

private:
    std::unique_ptr<State> s_;
};

} // namespace serve
