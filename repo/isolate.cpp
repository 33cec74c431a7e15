#include "repo/isolate.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace repo {

namespace {

// Frames on the pipe: a type byte, a 4-byte length, the payload. 'U' carries a caller's
// message (its tag first), 'D' says work returned, 'E' carries an Error.
constexpr size_t kHeader = 5;
constexpr uint32_t kMaxPayload = 64u << 20;

// Parent side. The handlers are in place from before the fork, since another thread of the
// process (a lock's refresher) may take a stop signal at any moment: a signal that comes
// before the child's pid is known waits in g_pending and is passed on once it is. The
// handler stores the signal before it reads the pid and the forking thread stores the pid
// before it reads the signal, so one of the two always sends it.
std::atomic<int> g_child{0};              // the child to pass signals on to
std::atomic<int> g_pending{0};            // a stop signal not yet passed on
volatile sig_atomic_t g_interrupted = 0;  // set by a stop signal (child side)
bool g_in_child = false;                  // this process is a child running work
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void pass_on(int sig)
{
    g_pending.store(sig);
    pid_t child = g_child.load();
    if (child > 0)
        kill(child, sig);
}

void mark_interrupted(int) { g_interrupted = 1; }

bool write_all(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// False at end of file before the first byte; throws on a frame cut short.
bool read_all(int fd, char* p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            throw Error(Error::Kind::Io, std::string("reading from the reader process failed: ") + strerror(errno));
        if (r == 0) {
            if (got == 0)
                return false;
            throw Error(Error::Kind::Io, "the reader process's message was cut short");
        }
        got += size_t(r);
    }
    return true;
}

void send_frame(int fd, char type, const std::string& payload)
{
    std::string frame(kHeader, '\0');
    frame[0] = type;
    uint32_t len = static_cast<uint32_t>(payload.size());
    memcpy(&frame[1], &len, 4);
    frame += payload;
    if (payload.size() > kMaxPayload || !write_all(fd, frame.data(), frame.size()))
        throw Error(Error::Kind::Io, "the parent process is gone");
}

std::string encode_error(const Error& e)
{
    return std::to_string(static_cast<int>(e.kind())) + '\0' + e.message() + '\0' + e.path();
}

Error decode_error(const std::string& s)
{
    size_t a = s.find('\0'), b = a == std::string::npos ? a : s.find('\0', a + 1);
    if (b == std::string::npos)
        return Error(Error::Kind::Io, "the reader process sent a malformed error");
    int kind = atoi(s.substr(0, a).c_str());
    if (kind < 0 || kind > static_cast<int>(Error::Kind::Crashed))
        kind = static_cast<int>(Error::Kind::Io);
    return Error(static_cast<Error::Kind>(kind), s.substr(a + 1, b - a - 1), s.substr(b + 1));
}

[[noreturn]] void child_main(int fd, pid_t parent, const sigset_t& old_mask,
                             const std::function<void(ChildPipe&)>& work)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = mark_interrupted;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    g_child = 0;
    g_in_child = true;
    // When the parent dies (even by SIGKILL) the child stops too and removes its work.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        g_interrupted = 1;
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    try {
        ChildPipe pipe(fd);
        try {
            work(pipe);
            send_frame(fd, 'D', "");
        } catch (const Error& e) {
            send_frame(fd, 'E', encode_error(e));
        } catch (const std::bad_alloc&) {
            send_frame(fd, 'E', encode_error(Error(Error::Kind::Damaged, "out of memory reading the file system")));
        } catch (const std::exception& e) {
            send_frame(fd, 'E', encode_error(Error(Error::Kind::Io, e.what())));
        }
    } catch (...) {
        _exit(1);
    }
    _exit(0);
}

} // namespace

void ChildPipe::send(char tag, const std::string& payload)
{
    send_frame(fd_, 'U', std::string(1, tag) + payload);
}

bool interrupted() { return g_interrupted != 0; }

bool in_isolated_child() { return g_in_child; }

std::shared_mutex& fork_gate()
{
    static std::shared_mutex gate;
    return gate;
}

void run_isolated(const std::string& what, const std::function<void(ChildPipe&)>& work,
                  const std::function<void(char tag, const std::string& payload)>& on_message)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw Error(Error::Kind::Io, std::string("pipe failed: ") + strerror(errno));
    // Stop signals wait until each side has its handlers: none is lost between fork and
    // the parent learning the child's pid.
    sigset_t stop, old_mask;
    sigemptyset(&stop);
    for (int sig : kStopSignals)
        sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, &old_mask);
    struct sigaction sa, old[3];
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = pass_on;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    g_child = 0;
    g_pending = 0;
    for (int i = 0; i < 3; i++)
        sigaction(kStopSignals[i], &sa, &old[i]);
    auto restore_handlers = [&] {
        g_child = 0;
        for (int i = 0; i < 3; i++)
            sigaction(kStopSignals[i], &old[i], nullptr);
    };
    pid_t parent = getpid();
    std::unique_lock gate(fork_gate());
    pid_t pid = fork();
    if (pid != 0)
        gate.unlock();
    if (pid == 0) {
        close(fds[0]);
        child_main(fds[1], parent, old_mask, work);
    }
    int fork_errno = errno;
    close(fds[1]);
    if (pid < 0) {
        restore_handlers();
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        close(fds[0]);
        throw Error(Error::Kind::Io, std::string("fork failed: ") + strerror(fork_errno));
    }
    g_child = pid;
    if (int sig = g_pending.load())
        kill(pid, sig);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    auto finish = [&](bool kill_child) {
        if (kill_child)
            kill(pid, SIGKILL);
        close(fds[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        restore_handlers();
        return status;
    };

    bool done = false;
    std::unique_ptr<Error> failure;
    try {
        char header[kHeader];
        while (read_all(fds[0], header, kHeader)) {
            uint32_t len;
            memcpy(&len, header + 1, 4);
            if (len > kMaxPayload)
                throw Error(Error::Kind::Io, "the reader process sent a malformed message");
            std::string payload(len, '\0');
            if (len && !read_all(fds[0], payload.data(), len))
                throw Error(Error::Kind::Io, "the reader process's message was cut short");
            if (header[0] == 'U' && !payload.empty())
                on_message(payload[0], payload.substr(1));
            else if (header[0] == 'D')
                done = true;
            else if (header[0] == 'E')
                failure = std::make_unique<Error>(decode_error(payload));
        }
    } catch (...) {
        finish(true);
        throw;
    }
    int status = finish(false);
    if (failure)
        throw Error(*failure);
    if (done && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGKILL || WTERMSIG(status) == SIGTERM ||
                                WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGHUP))
        throw Error(Error::Kind::Io, what + " was killed (signal " + std::to_string(WTERMSIG(status)) + ")");
    if (WIFSIGNALED(status))
        throw Error(Error::Kind::Damaged, what + " stopped on signal " + std::to_string(WTERMSIG(status)) + " (" +
                                              strsignal(WTERMSIG(status)) +
                                              "): the file system in the backup is damaged");
    throw Error(Error::Kind::Damaged, what + " ended without finishing (exit status " +
                                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
}

} // namespace repo
