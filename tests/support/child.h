// A program run in a process of its own while the caller goes on (a `kestrel serve`, a
// backup among several at once), its standard output and error in a file. Header-only, for
// the tests and the benchmarks.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel_test {

class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& out) : out_(out)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { end(SIGKILL); }

    // Waits for the exit: its code (-1 when a signal ended it).
    int wait()
    {
        if (pid_ > 0) {
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // Sends `sig` (unless it has exited) and waits: its exit code.
    int end(int sig)
    {
        if (pid_ > 0)
            kill(pid_, sig);
        return wait();
    }
    bool running()
    {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ > 0;
    }
    std::string output() const
    {
        std::ifstream f(out_, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

private:
    std::string out_;
    pid_t pid_ = -1;
    int status_ = 0;
};

} // namespace kestrel_test
