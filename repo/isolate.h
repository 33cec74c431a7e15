// Work on untrusted file-system structures in a child process. libext2fs trusts much of what
// it reads; a damaged or hostile image can make it read out of bounds. Run in a forked child,
// such a crash ends the child, and the caller gets an Error saying the file system is
// damaged instead of losing the whole command.
#pragma once

#include <functional>
#include <shared_mutex>
#include <string>

#include "repo/error.h"

namespace repo {

// The child's end of the pipe to the parent.
class ChildPipe {
public:
    explicit ChildPipe(int fd) : fd_(fd) {}
    // Sends one message (a tag byte the caller chooses and a payload) to the parent's
    // `on_message`. Messages arrive in order. Throws Error::Io when the parent is gone.
    void send(char tag, const std::string& payload);

private:
    int fd_;
};

// Runs `work` in a forked child and waits for it. Each message the child sends is handed to
// `on_message` here, in the parent. When `work` returns, this returns; when it throws an
// Error, the same Error (kind, message, path) is thrown here; when the child dies without
// finishing (a signal, an exit of its own), throws Error::Damaged "`what` stopped on signal N
// ...". `on_message` may throw; the child is then killed and waited for before the
// exception goes on.
//
// While the child runs, SIGINT, SIGTERM and SIGHUP sent to this process are passed on to it;
// in the child they set interrupted() (work checks it and stops cleanly), and the child gets
// SIGTERM if this process dies. The child never returns into the caller's code: it leaves
// with _exit.
void run_isolated(const std::string& what, const std::function<void(ChildPipe&)>& work,
                  const std::function<void(char tag, const std::string& payload)>& on_message);

// True once the child running work has been asked to stop (SIGINT, SIGTERM, SIGHUP, or the
// death of its parent). Always false outside such a child.
bool interrupted();

// True in a child running work. Such a child has only the thread that forked it: a mutex
// another thread of the parent held at the fork stays held for ever there, so work must not
// take locks shared with other threads (the repository lock's, for one).
bool in_isolated_child();

// Held shared by this process's own background threads while they work (a lock's refresher)
// and exclusively by run_isolated() around its fork, so that the child is never forked while
// one of them is inside the run-time (an allocator holding its lock, for one).
std::shared_mutex& fork_gate();

} // namespace repo
