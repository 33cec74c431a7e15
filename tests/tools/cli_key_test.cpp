// The kestrel command on encrypted repositories: where the password comes from, what a wrong
// or missing one gives, `kestrel key`, and tampering seen as damage. The repositories are
// made through the library with cheap keys, so that each command's unlock costs nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "repo/pack.h"
#include "tests/support/kestrel_cli.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using namespace cli_test;
namespace fs = std::filesystem;

namespace {

class CliEncrypted : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo = tmp / "repo";
        repo::InitOptions o;
        o.password = "first password";
        o.kdf = repo::keys::testing::kCheapKdf;
        repo::Repository::init(repo::Env::posix(), repo, o);
        repo::OpenOptions oo;
        oo.password = [] { return std::string("first password"); };
        auto r = repo::Repository::open(repo::Env::posix(), repo, oo);
        dev = random_device(4096, 64, 0.8, 21);
        id = write_backup(*r, dev);
        std::ofstream(tmp / "pw") << "first password\n";
        std::ofstream(tmp / "wrong") << "not it\n";
        std::ofstream(tmp / "new") << "second password\n";
    }

    std::string with_file(const std::string& args) { return args + " --repo " + repo + " --password-file " + (tmp / "pw"); }

    repo::keys::testing::WeakKdfForTests weak;
    TempDir tmp;
    std::string repo, id;
    Device dev{4096, 1};
};

TEST_F(CliEncrypted, PasswordSourcesAndWrongPasswords)
{
    EXPECT_EQ(kestrel(with_file("verify")).code, 0);
    // The environment, the file it names, and the option over both.
    EXPECT_EQ(kestrel("true; KESTREL_PASSWORD='first password' " + std::string(KESTREL_BINARY) + " list --repo " + repo)
                  .code,
              0);
    Result via_file_variable = kestrel("true; KESTREL_PASSWORD_FILE=" + (tmp / "pw") +
                                       " KESTREL_PASSWORD=nope " + KESTREL_BINARY + " list --repo " + repo);
    EXPECT_EQ(via_file_variable.code, 0) << via_file_variable.out;

    Result wrong = kestrel("list --repo " + repo + " --password-file " + (tmp / "wrong"));
    EXPECT_EQ(wrong.code, 1);
    EXPECT_EQ(std::count(wrong.out.begin(), wrong.out.end(), '\n'), 1) << wrong.out;
    EXPECT_NE(wrong.out.find("wrong password"), std::string::npos) << wrong.out;
    nlohmann::json j = kestrel_json("verify --json --repo " + repo + " --password-file " + (tmp / "wrong"), 1);
    EXPECT_EQ(j["kind"], "wrong-password") << j;

    Result none = kestrel("list --repo " + repo + " </dev/null");
    EXPECT_EQ(none.code, 1);
    for (const char* source : {"--password-file", "KESTREL_PASSWORD_FILE", "KESTREL_PASSWORD"})
        EXPECT_NE(none.out.find(source), std::string::npos) << none.out;
}

TEST_F(CliEncrypted, KeysAreAddedListedAndRemoved)
{
    nlohmann::json added = kestrel_json(with_file("key add --json") + " --new-password-file " + (tmp / "new"));
    std::string second = added["key"];
    nlohmann::json keys = kestrel_json(with_file("key list --json"))["keys"];
    ASSERT_EQ(keys.size(), 2u);
    std::string first;
    for (const auto& k : keys) {
        EXPECT_FALSE(k["created"].get<std::string>().empty());
        if (k["in_use"])
            first = k["name"];
    }
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);
    // The new password opens the repository; the key in use cannot go.
    EXPECT_EQ(kestrel("restore --repo " + repo + " --password-file " + (tmp / "new") + " --backup " + id + " --to " +
                      (tmp / "img"))
                  .code,
              0);
    const std::vector<uint8_t> image = dev.expected_image();
    EXPECT_EQ(read_host_file(tmp / "img"), std::string(image.begin(), image.end()));
    Result in_use = kestrel(with_file("key remove " + first));
    EXPECT_EQ(in_use.code, 1) << in_use.out;
    EXPECT_EQ(kestrel(with_file("key remove " + second.substr(0, 8))).code, 0);
    EXPECT_EQ(kestrel("list --repo " + repo + " --password-file " + (tmp / "new")).code, 1);
    EXPECT_NE(kestrel(with_file("key list")).out.find("* "), std::string::npos);
}

TEST_F(CliEncrypted, TamperedDataIsDamage)
{
    std::string pack;
    for (const auto& e : fs::recursive_directory_iterator(repo + "/data"))
        if (e.is_regular_file())
            pack = e.path();
    ASSERT_FALSE(pack.empty());
    {
        std::fstream f(pack, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x7f');
    }
    Result verify = kestrel(with_file("verify"));
    EXPECT_EQ(verify.code, 3) << verify.out;
    EXPECT_NE(verify.out.find(id), std::string::npos) << verify.out;
    Result restore = kestrel(with_file("restore --backup " + id + " --to " + (tmp / "img")));
    EXPECT_EQ(restore.code, 3) << restore.out;
    EXPECT_FALSE(fs::exists(tmp / "img"));
}

// `kestrel init` encrypts unless told not to, and needs a password to do so.
TEST(CliInit, EncryptsByDefault)
{
    TempDir tmp;
    Result none = kestrel("init --repo " + (tmp / "r") + " </dev/null");
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.out.find("KESTREL_PASSWORD"), std::string::npos) << none.out;
    EXPECT_FALSE(fs::exists(tmp / "r/config"));

    std::ofstream(tmp / "pw") << "pw\n";
    nlohmann::json made = kestrel_json("init --json --repo " + (tmp / "r") + " --password-file " + (tmp / "pw"));
    EXPECT_EQ(made["encrypted"], true);
    EXPECT_NE(read_host_file(tmp / "r/config").find("xchacha20-poly1305"), std::string::npos);
    EXPECT_EQ(kestrel("list --repo " + (tmp / "r") + " --password-file " + (tmp / "pw")).code, 0);

    nlohmann::json plain = kestrel_json("init --json --insecure-no-encryption --repo " + (tmp / "p"));
    EXPECT_EQ(plain["encrypted"], false);
    Result key = kestrel("key list --repo " + (tmp / "p"));
    EXPECT_EQ(key.code, 1) << key.out;
}

} // namespace
