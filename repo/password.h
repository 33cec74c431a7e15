// Where the repository's password comes from.
//
// In order of precedence (the first that is given wins; later ones are not looked at):
//   1. the file named on the command line (`--password-file`);
//   2. the file named by the environment variable KESTREL_PASSWORD_FILE;
//   3. the environment variable KESTREL_PASSWORD itself;
//   4. a prompt, when standard input is a terminal: the password is typed without echo,
//      and a new password is asked for twice.
// An explicit option beats the environment, and a file beats a password in the environment
// (which other processes of the same user may read). A password file holds the password,
// optionally followed by one line end ("\n" or "\r\n"), which is not part of it.
//
// Errors: repo::Error of Kind::Invalid, with a one-line message for the user: no source
// (standard input is not a terminal and nothing else is given), an empty password, an
// unreadable or over-long password file, passwords that do not match, the end of input
// before a line end. Nothing here is thread-safe: it reads the environment and changes the
// terminal's modes.
#pragma once

#include <string>
#include <unistd.h>

#include "repo/error.h"

namespace repo::password {

constexpr const char* kFileVariable = "KESTREL_PASSWORD_FILE";
constexpr const char* kVariable = "KESTREL_PASSWORD";
// Longer passwords (files or lines) are refused.
constexpr size_t kMaxBytes = 4096;

struct Request {
    // The `--password-file` option; empty when not given.
    std::string file;
    // Whether the environment variables count (not for a second, new password, say).
    bool use_environment = true;
    // What the terminal shows before the password is typed.
    std::string prompt = "password: ";
    // A new password: typed twice on the terminal, and both must match.
    bool confirm = false;
    // The terminal to prompt on when it is one (tests give another descriptor). The prompt is
    // written to the same descriptor.
    int terminal = STDIN_FILENO;
};

// The password, from the first source the request allows that is given.
std::string get(const Request& request);

// The password in the file at `path` (one line end stripped). Kind::Invalid when it cannot
// be read, is empty or longer than kMaxBytes.
std::string read_file(const std::string& path);

// Writes `prompt` to the terminal `fd`, reads one line with echo off and returns it (without
// its line end). The terminal's modes are restored on every path, also when the process is
// interrupted, terminated or hung up while waiting (the signal is then delivered as before).
// Kind::Invalid when `fd` is not a terminal, or the input ends before a line end.
std::string prompt(int fd, const std::string& prompt);

} // namespace repo::password
