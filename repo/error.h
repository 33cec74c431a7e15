// The one error style of the repository library: every failure is a repo::Error naming what
// went wrong and, where there is one, the file it concerns.
#pragma once

#include <stdexcept>
#include <string>

namespace repo {

class Error : public std::runtime_error {
public:
    enum class Kind {
        Io,        // an operating-system call failed (other than a full disk)
        NoSpace,   // the disk is full
        NotFound,  // no repository, backup or path of that name
        Format,    // not a repository, or a format version this program does not read
        Damaged,   // stored data is missing, truncated or does not match its digest
        Exists,    // the target of a restore or extract already exists
        Locked,    // another writer holds the repository's lock
        Invalid,   // the caller broke a contract (blocks out of order, wrong geometry, ...)
        Crashed,   // the fault-injecting file layer simulated a crash (tests only)
        WrongPassword,  // no key of the repository opens with the password given
    };

    // `message` says what failed; `path` (may be empty) is the file it concerns. what()
    // is the one-line text for the user: "message: path".
    Error(Kind kind, const std::string& message, const std::string& path = {})
        : std::runtime_error(path.empty() ? message : message + ": " + path), kind_(kind),
          message_(message), path_(path)
    {
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    const std::string& path() const { return path_; }

private:
    Kind kind_;
    std::string message_;
    std::string path_;
};

} // namespace repo
