// The kestrel command on a repository in an S3 bucket, against a real gateway when the
// environment names one (KESTREL_S3_TEST or an s3: KESTREL_REPOSITORY, with the AWS_*
// credentials). The gateway-crash test also needs KESTREL_S3_SERVER_DIR, the directory
// scripts/s3-server.sh started the cluster in. With KESTREL_REQUIRE_S3=1 they fail instead
// of skipping.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "agent/ext_source.h"
#include "repo/repository.h"
#include "repo/s3_backend.h"
#include "tests/support/kestrel_cli.h"
#include "tests/support/repo_source.h"
#include "tests/support/test_store.h"
#include "tools/demo/disk_image.h"

using namespace repo_test;
using namespace cli_test;
namespace fs = std::filesystem;

namespace {

#define NEED_GATEWAY(address)                                                                      \
    do {                                                                                           \
        if ((address).empty()) {                                                                   \
            if (s3_required())                                                                     \
                FAIL() << "KESTREL_REQUIRE_S3 is set but no S3 gateway is named (KESTREL_S3_TEST)"; \
            GTEST_SKIP() << "no S3 gateway named (KESTREL_S3_TEST)";                               \
        }                                                                                          \
    } while (0)

// A disk image with one ext4 partition made from a tree of files.
struct Disk {
    Disk(const TempDir& tmp, uint64_t bytes, int files)
    {
        make_tree(tmp / "tree", 23, files);
        demo::FsSpec spec{"ext4", 4096, bytes, tmp / "tree"};
        image = tmp / "disk.img";
        parts = demo::make_disk_image(image, {spec});
        fs_bytes = bytes;
    }

    // The partition's bytes.
    std::string partition() const
    {
        std::ifstream f(image, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(parts[0].start_sect * 512));
        std::string out(fs_bytes, '\0');
        f.read(out.data(), static_cast<std::streamsize>(out.size()));
        return out;
    }

    // Overwrites the first block of the largest file; returns its path in the file system.
    std::string change_a_file(char fill)
    {
        agent::ExtSource src(demo::file_reader(image, parts[0].start_sect * 512, 4096), 4096, fs_bytes / 4096);
        std::vector<demo::FileInfo> files = demo::list_files(src.fs());
        std::erase_if(files, [](const demo::FileInfo& f) { return f.blocks.empty() || !f.blocks[0]; });
        auto big = std::max_element(files.begin(), files.end(), [](auto& a, auto& b) { return a.size < b.size; });
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(parts[0].start_sect * 512 + big->blocks[0] * 4096));
        f.write(std::string(4096, fill).data(), 4096);
        return big->path;
    }

    std::string image;
    std::vector<sim::Partition> parts;
    uint64_t fs_bytes = 0;
};

// Every subcommand on one s3: repository, as a user runs them: the repository made by the
// first backup, an incremental, then each way of reading it back (ls and extract read the
// file system in a child process, which must make its own connections), and the
// maintenance commands.
TEST(S3Cli, EverySubcommandOnAnS3Repository)
{
    const std::string rp = fresh_s3_address("cli");
    NEED_GATEWAY(rp);
    S3Sweep sweep{rp};
    PasswordInEnvironment password;
    TempDir tmp;
    Disk disk(tmp, 8 << 20, 40);

    nlohmann::json first = kestrel_json("backup --json --disk " + disk.image + " --partition 1 --repo " + rp);
    EXPECT_EQ(first["created_repo"], true);
    const std::string changed = disk.change_a_file('s');
    Result second_run = kestrel("backup --disk " + disk.image + " --partition 1 --repo " + rp);
    ASSERT_EQ(second_run.code, 0) << second_run.out;
    EXPECT_NE(second_run.out.find("stored 1 new chunk "), std::string::npos) << second_run.out;

    Result again = kestrel("init --repo " + rp);
    EXPECT_EQ(again.code, 1) << again.out;
    EXPECT_NE(again.out.find("exists already"), std::string::npos) << again.out;

    nlohmann::json list = kestrel_json("list --json --repo " + rp);
    ASSERT_EQ(list["backups"].size(), 2u);
    const std::string old_id = list["backups"][0]["backup_id"], new_id = list["backups"][1]["backup_id"];

    ASSERT_EQ(kestrel("restore --repo " + rp + " --backup latest --to " + (tmp / "r.img")).code, 0);
    EXPECT_TRUE(read_host_file(tmp / "r.img") == disk.partition());

    nlohmann::json ls = kestrel_json("ls --json --repo " + rp + " --backup " + new_id + " /");
    EXPECT_GE(ls["entries"].size(), 3u);
    fs::create_directory(tmp / "out");
    Result x = kestrel("extract --repo " + rp + " --backup " + new_id + " " + changed + " --to " + (tmp / "out"));
    ASSERT_EQ(x.code, 0) << x.out;
    std::string want = read_host_file(tmp / ("tree" + changed));
    want.replace(0, 4096, std::string(4096, 's'));
    EXPECT_EQ(read_host_file(tmp / ("out/" + fs::path(changed).filename().string())), want);

    EXPECT_EQ(kestrel_json("verify --json --repo " + rp)["ok"], true);
    nlohmann::json forget = kestrel_json("forget --json --keep-last 1 --repo " + rp);
    EXPECT_EQ(forget["forgotten_backup_ids"], nlohmann::json::array({old_id}));
    nlohmann::json gc = kestrel_json("gc --json --repo " + rp);
    EXPECT_EQ(gc["ok"], true) << gc;
    nlohmann::json repair = kestrel_json("repair --json --repo " + rp);
    EXPECT_EQ(repair["ok"], true) << repair;

    // Keys are objects too: a second password opens the repository, a wrong one does not.
    std::ofstream(tmp / "second") << "second password\n";
    nlohmann::json added = kestrel_json("key add --json --repo " + rp + " --new-password-file " + (tmp / "second"));
    EXPECT_EQ(kestrel_json("key list --json --repo " + rp)["keys"].size(), 2u);
    EXPECT_EQ(kestrel("list --repo " + rp + " --password-file " + (tmp / "second")).code, 0);
    std::ofstream(tmp / "wrong") << "wrong\n";
    Result wrong = kestrel("list --repo " + rp + " --password-file " + (tmp / "wrong"));
    EXPECT_EQ(wrong.code, 1);
    EXPECT_NE(wrong.out.find("wrong password"), std::string::npos) << wrong.out;
    EXPECT_EQ(kestrel("key remove --repo " + rp + " " + added["key"].get<std::string>()).code, 0);
    EXPECT_EQ(kestrel("list --repo " + rp + " --password-file " + (tmp / "second")).code, 1);
    nlohmann::json after = kestrel_json("verify --json --repo " + rp);
    EXPECT_EQ(after["ok"], true);
    EXPECT_EQ(after["checked_backups"], 1);

    // Version 1 keeps a file per chunk: a local directory only.
    repo::InitOptions v1;
    v1.version = 1;
    try {
        repo::Repository::init(repo::Env::posix(), fresh_s3_address("v1"), v1);
        ADD_FAILURE() << "a version 1 repository made on object storage";
    } catch (const repo::Error& e) {
        EXPECT_EQ(e.kind(), repo::Error::Kind::Invalid);
        EXPECT_NE(std::string(e.what()).find("local directory"), std::string::npos) << e.what();
    }
}

// What a user gets wrong about an s3: address, each in one line that says what to fix.
TEST(S3Cli, MissingCredentialsBucketOrRepositoryAreNamed)
{
    const std::string rp = fresh_s3_address("errors");
    NEED_GATEWAY(rp);
    PasswordInEnvironment password;
    Result no_key;
    no_key.code = run("env -u AWS_ACCESS_KEY_ID " + std::string(KESTREL_BINARY) + " list --repo " + rp, &no_key.out);
    EXPECT_NE(no_key.code, 0);
    EXPECT_NE(no_key.out.find("AWS_ACCESS_KEY_ID"), std::string::npos) << no_key.out;

    Result no_repo = kestrel("list --repo " + rp);
    EXPECT_EQ(no_repo.code, 1);
    EXPECT_NE(no_repo.out.find("no repository"), std::string::npos) << no_repo.out;

    repo::S3Address a = repo::parse_s3_address(rp);
    std::string other = "s3:http://" + a.host + "/no-such-bucket-here/repo";
    for (const char* cmd : {"list", "init"}) {
        Result no_bucket = kestrel(std::string(cmd) + " --repo " + other);
        EXPECT_EQ(no_bucket.code, 1) << cmd;
        EXPECT_NE(no_bucket.out.find("bucket \"no-such-bucket-here\" does not exist"), std::string::npos)
            << cmd << ": " << no_bucket.out;
    }

    Result wrong_secret;
    wrong_secret.code =
        run("AWS_SECRET_ACCESS_KEY=wrong " + std::string(KESTREL_BINARY) + " list --repo " + rp, &wrong_secret.out);
    EXPECT_EQ(wrong_secret.code, 1);
    EXPECT_NE(wrong_secret.out.find("AWS_SECRET_ACCESS_KEY"), std::string::npos) << wrong_secret.out;
}

// The gateway dies (SIGKILL) while a backup uploads; once it is back the repository
// verifies, and the next backup succeeds and restores.
TEST(S3Cli, GatewayKilledMidBackup)
{
    const std::string rp = fresh_s3_address("crash");
    NEED_GATEWAY(rp);
    S3Sweep sweep{rp};
    const char* server_dir = std::getenv("KESTREL_S3_SERVER_DIR");
    if (!server_dir || !*server_dir) {
        if (s3_required())
            FAIL() << "KESTREL_REQUIRE_S3 is set but KESTREL_S3_SERVER_DIR does not name the cluster's directory";
        GTEST_SKIP() << "KESTREL_S3_SERVER_DIR is not set";
    }
    const std::string script = std::string(KESTREL_SOURCE_DIR) + "/scripts/s3-server.sh";
    const std::string server = std::string(" ") + server_dir;
    PasswordInEnvironment password;
    TempDir tmp;
    Disk disk(tmp, 48 << 20, 200);
    ASSERT_EQ(kestrel("init --repo " + rp).code, 0);

    // The gateway is killed once the backup has shown progress; the backup then fails after
    // its retries (or, on a very fast machine, has finished: the rest holds either way).
    FILE* p = popen((std::string(KESTREL_BINARY) + " backup --json --disk " + disk.image + " --partition 1 --repo " +
                     rp + " 2>/dev/null")
                        .c_str(),
                    "r");
    ASSERT_NE(p, nullptr);
    bool killed = false;
    char line[4096];
    while (fgets(line, sizeof line, p))
        if (!killed && std::string(line).find("\"type\":\"progress\"") != std::string::npos) {
            ASSERT_EQ(run(script + " kill-gateway" + server), 0);
            killed = true;
        }
    int status = pclose(p);
    if (killed)
        EXPECT_NE(WEXITSTATUS(status), 0) << "the backup did not notice the gateway's death";
    else
        ASSERT_EQ(run(script + " kill-gateway" + server), 0);
    ASSERT_EQ(run(script + " restart-gateway" + server), 0);

    nlohmann::json v = kestrel_json("verify --json --repo " + rp);
    EXPECT_EQ(v["ok"], true) << v;
    nlohmann::json next = kestrel_json("backup --json --disk " + disk.image + " --partition 1 --repo " + rp);
    EXPECT_EQ(next["created_repo"], false);
    nlohmann::json after = kestrel_json("verify --json --repo " + rp);
    EXPECT_EQ(after["ok"], true) << after;
    ASSERT_EQ(kestrel("restore --repo " + rp + " --backup latest --to " + (tmp / "r.img")).code, 0);
    EXPECT_TRUE(read_host_file(tmp / "r.img") == disk.partition());
}

} // namespace
