// Where the password comes from: the order of the sources, password files, and the prompt on
// a real pseudo-terminal (no echo, the terminal restored, also when a signal interrupts it).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "repo/password.h"

using repo::Error;
namespace pw = repo::password;

namespace {

std::string invalid_text(const std::function<void()>& f)
{
    try {
        f();
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Invalid) << e.what();
        return e.what();
    }
    return {};
}

class PasswordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv(pw::kFileVariable);
        unsetenv(pw::kVariable);
        dir_ = std::filesystem::temp_directory_path() / ("kestrel-pw-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ASSERT_EQ(pipe(pipe_), 0);
    }
    void TearDown() override
    {
        unsetenv(pw::kFileVariable);
        unsetenv(pw::kVariable);
        std::filesystem::remove_all(dir_);
        close(pipe_[0]);
        close(pipe_[1]);
    }
    std::string file(const std::string& name, const std::string& contents)
    {
        auto p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }
    // A request whose "terminal" is a pipe: never prompts.
    pw::Request no_terminal() const
    {
        pw::Request r;
        r.terminal = pipe_[0];
        return r;
    }

    std::filesystem::path dir_;
    int pipe_[2] = {-1, -1};
};

TEST_F(PasswordTest, SourcesInOrderOfPrecedence)
{
    pw::Request r = no_terminal();
    std::string msg = invalid_text([&] { pw::get(r); });
    EXPECT_NE(msg.find("--password-file"), std::string::npos) << msg;
    EXPECT_NE(msg.find("not a terminal"), std::string::npos) << msg;

    setenv(pw::kVariable, "from-variable", 1);
    EXPECT_EQ(pw::get(r), "from-variable");
    setenv(pw::kFileVariable, file("env", "from-env-file\n").c_str(), 1);
    EXPECT_EQ(pw::get(r), "from-env-file");
    r.file = file("opt", "from-option");
    EXPECT_EQ(pw::get(r), "from-option");

    // A new password from the option alone: the environment does not count.
    r.file.clear();
    r.use_environment = false;
    invalid_text([&] { pw::get(r); });

    // Set but empty is an error, not a fall-through to the next source.
    r.use_environment = true;
    setenv(pw::kFileVariable, "", 1);
    EXPECT_NE(invalid_text([&] { pw::get(r); }).find(pw::kFileVariable), std::string::npos);
    unsetenv(pw::kFileVariable);
    setenv(pw::kVariable, "", 1);
    EXPECT_NE(invalid_text([&] { pw::get(r); }).find(pw::kVariable), std::string::npos);
}

TEST_F(PasswordTest, PasswordFiles)
{
    EXPECT_EQ(pw::read_file(file("a", "secret")), "secret");
    EXPECT_EQ(pw::read_file(file("b", "secret\r\n")), "secret");
    EXPECT_EQ(pw::read_file(file("c", "secret\n\n")), "secret\n");  // one line end only
    EXPECT_EQ(pw::read_file(file("d", " spaced \n")), " spaced ");
    EXPECT_EQ(pw::read_file(file("e", std::string(pw::kMaxBytes, 'x') + "\n")), std::string(pw::kMaxBytes, 'x'));
    invalid_text([&] { pw::read_file(file("f", std::string(pw::kMaxBytes + 1, 'x'))); });
    invalid_text([&] { pw::read_file(file("g", std::string(1 << 20, 'x'))); });
    invalid_text([&] { pw::read_file(file("h", "")); });
    invalid_text([&] { pw::read_file(file("i", "\n")); });
    std::string msg = invalid_text([&] { pw::read_file((dir_ / "missing").string()); });
    EXPECT_NE(msg.find("missing"), std::string::npos);
    invalid_text([&] { pw::read_file(dir_.string()); });  // a directory
}

// A pseudo-terminal: the test plays the user on its master side.
struct Pty {
    int master = -1, slave = -1;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) || unlockpt(master))
            return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~Pty()
    {
        close(slave);
        close(master);
    }
    // Reads what the terminal shows until `text` appears (or 10 s pass); returns it all.
    std::string read_until(const std::string& text)
    {
        std::string seen;
        for (int i = 0; i < 1000 && seen.find(text) == std::string::npos; i++) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                char buf[256];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0)
                    seen.append(buf, size_t(n));
            }
        }
        return seen;
    }
    void type(const std::string& s) { ASSERT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
    bool echo_on() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_lflag & ECHO;
    }
};

TEST_F(PasswordTest, PromptOnATerminalHidesWhatIsTyped)
{
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    ASSERT_TRUE(pty.echo_on());
    pw::Request r;
    r.terminal = pty.slave;
    r.confirm = true;

    // Typed twice, the same: accepted, and nothing typed shows on the terminal.
    std::string got, seen;
    std::thread user([&] {
        seen = pty.read_until("password: ");
        pty.type("s3cret pass\n");
        seen += pty.read_until("confirm: ");
        pty.type("s3cret pass\n");
        seen += pty.read_until("\n");
    });
    got = pw::get(r);
    user.join();
    EXPECT_EQ(got, "s3cret pass");
    EXPECT_EQ(seen.find("s3cret"), std::string::npos) << seen;
    EXPECT_TRUE(pty.echo_on());

    // Typed twice, different: refused.
    std::thread user2([&] {
        pty.read_until("password: ");
        pty.type("one\n");
        pty.read_until("confirm: ");
        pty.type("two\n");
    });
    std::string msg = invalid_text([&] { pw::get(r); });
    user2.join();
    EXPECT_NE(msg.find("do not match"), std::string::npos);
    EXPECT_TRUE(pty.echo_on());

    // The end of input (Ctrl-D on an empty line) and an empty line are errors.
    r.confirm = false;
    std::thread user3([&] {
        pty.read_until("password: ");
        pty.type("\x04");
        pty.read_until("password: ");
        pty.type("\n");
    });
    invalid_text([&] { pw::get(r); });
    invalid_text([&] { pw::get(r); });
    user3.join();
    EXPECT_TRUE(pty.echo_on());

    // A password source given beats the terminal.
    setenv(pw::kVariable, "from-variable", 1);
    EXPECT_EQ(pw::get(r), "from-variable");
}

// Interrupted while the password is typed, the process dies of its signal as it would have,
// and the terminal echoes again.
TEST_F(PasswordTest, SignalDuringThePromptRestoresTheTerminal)
{
    for (int sig : {SIGINT, SIGTERM}) {
        Pty pty;
        ASSERT_GE(pty.slave, 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                pw::prompt(pty.slave, "password: ");
            } catch (...) {
            }
            _exit(0);
        }
        pty.read_until("password: ");
        EXPECT_FALSE(pty.echo_on());
        kill(child, sig);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_TRUE(pty.echo_on());
    }
}

} // namespace
