// The password from a file, the environment or the terminal.
#include "repo/password.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "repo/crypto.h"

namespace repo::password {

namespace {

[[noreturn]] void invalid(const std::string& what, const std::string& path = {})
{
    throw Error(Error::Kind::Invalid, what, path);
}

// Strips one trailing line end.
void strip_line_end(std::string& s)
{
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r')
            s.pop_back();
    }
}

// The terminal whose echo is off, and its modes before, for the signal handler.
struct termios saved_modes;
volatile sig_atomic_t echo_off_fd = -1;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved_actions[std::size(kSignals)];

extern "C" void restore_and_reraise(int sig)
{
    if (echo_off_fd >= 0)
        tcsetattr(echo_off_fd, TCSAFLUSH, &saved_modes);
    for (size_t i = 0; i < std::size(kSignals); i++)
        if (kSignals[i] == sig)
            sigaction(sig, &saved_actions[i], nullptr);
    raise(sig);  // delivered as before once this handler returns
}

// Echo off on `fd` while it lives; the modes come back on destruction or on a signal.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd)
    {
        if (tcgetattr(fd, &saved_modes) != 0)
            invalid(std::string("cannot read the terminal's modes: ") + strerror(errno));
        struct termios quiet = saved_modes;
        quiet.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL);
        struct sigaction sa {};
        sa.sa_handler = restore_and_reraise;
        sigemptyset(&sa.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); i++)
            sigaction(kSignals[i], &sa, &saved_actions[i]);
        echo_off_fd = fd;
        if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
            int err = errno;
            restore();
            invalid(std::string("cannot turn the terminal's echo off: ") + strerror(err));
        }
    }
    ~EchoOff() { restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    void restore()
    {
        tcsetattr(fd_, TCSAFLUSH, &saved_modes);
        echo_off_fd = -1;
        for (size_t i = 0; i < std::size(kSignals); i++)
            sigaction(kSignals[i], &saved_actions[i], nullptr);
    }
    int fd_;
};

void write_all(int fd, const std::string& text)
{
    size_t at = 0;
    while (at < text.size()) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A terminal open for reading only: the prompt goes to standard error instead.
            if (fd != STDERR_FILENO)
                write_all(STDERR_FILENO, text.substr(at));
            return;
        }
        at += size_t(n);
    }
}

} // namespace

std::string read_file(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        invalid(std::string("cannot read the password file (") + strerror(errno) + ")", path);
    std::string data;
    data.reserve(kMaxBytes + sizeof(char[1024]) + 2);
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            wipe(data);
            invalid(std::string("cannot read the password file (") + strerror(err) + ")", path);
        }
        if (n == 0)
            break;
        data.append(buf, size_t(n));
        if (data.size() > kMaxBytes + 2) {
            ::close(fd);
            wipe(data);
            invalid("the password file is longer than " + std::to_string(kMaxBytes) + " bytes", path);
        }
    }
    ::close(fd);
    wipe({reinterpret_cast<uint8_t*>(buf), sizeof buf});
    strip_line_end(data);
    if (data.size() > kMaxBytes) {
        wipe(data);
        invalid("the password file is longer than " + std::to_string(kMaxBytes) + " bytes", path);
    }
    if (data.empty())
        invalid("the password file is empty", path);
    return data;
}

std::string prompt(int fd, const std::string& text)
{
    if (!isatty(fd))
        invalid("cannot prompt for the password: not a terminal");
    std::string line;
    line.reserve(kMaxBytes + 1);  // no copies of a partial password left behind by growth
    {
        EchoOff quiet(fd);
        write_all(fd, text);
        for (;;) {
            char c;
            ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                wipe(line);
                write_all(fd, "\n");
                invalid("no password typed: the input ended");
            }
            if (c == '\n')
                break;
            if (line.size() >= kMaxBytes) {
                wipe(line);
                write_all(fd, "\n");
                invalid("the password typed is longer than " + std::to_string(kMaxBytes) + " bytes");
            }
            line += c;
        }
        write_all(fd, "\n");  // the line end the user typed was not echoed
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string get(const Request& r)
{
    std::string pw;
    if (!r.file.empty()) {
        pw = read_file(r.file);
    } else if (const char* f = r.use_environment ? getenv(kFileVariable) : nullptr) {
        if (!*f)
            invalid(std::string(kFileVariable) + " is set but empty");
        pw = read_file(f);
    } else if (const char* v = r.use_environment ? getenv(kVariable) : nullptr) {
        pw = v;
        if (pw.empty())
            invalid(std::string(kVariable) + " is set but empty");
        if (pw.size() > kMaxBytes)
            invalid(std::string(kVariable) + " is longer than " + std::to_string(kMaxBytes) + " bytes");
    } else {
        if (!isatty(r.terminal))
            invalid(std::string("no password: give --password-file, or set ") + kFileVariable + " or " + kVariable +
                    " (standard input is not a terminal to ask on)");
        pw = prompt(r.terminal, r.prompt);
        if (pw.empty())
            invalid("the password is empty");
        if (r.confirm) {
            std::string again = prompt(r.terminal, "again, to confirm: ");
            bool same = again == pw;
            wipe(again);
            if (!same) {
                wipe(pw);
                invalid("the passwords typed do not match");
            }
        }
    }
    return pw;
}

} // namespace repo::password
