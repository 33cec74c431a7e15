// The kestrel command end to end: the repository subcommands' output, JSON and exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "repo/format.h"
#include "tests/support/kestrel_cli.h"
#include "tests/support/repo_source.h"
#include "tools/demo/disk_image.h"

using namespace repo_test;
using namespace cli_test;
namespace fs = std::filesystem;

namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The commands see only the repository and password each test names, not the caller's.
        for (const char* name : {"KESTREL_REPOSITORY", "KESTREL_PASSWORD", "KESTREL_PASSWORD_FILE"})
            unsetenv(name);
        repo = tmp / "repo";
        make_tree(tmp / "tree", 51, 30);
        dev = make_ext_image(tmp / "disk.img", "ext4", 4096, 2048, tmp / "tree");
        ASSERT_EQ(kestrel("init --insecure-no-encryption --repo " + repo).code, 0);
        auto r = repo::Repository::open(repo::Env::posix(), repo);
        BackupPlan plan;
        plan.fs_type = "ext4";
        full = write_backup(*r, dev, plan);
        // Overwrite the last used block: one chunk changes.
        uint64_t b = dev.blocks - 1;
        while (!dev.used[b])
            b--;
        dev.write(b, 7);
        plan.parent = full;
        plan.changed = {b};
        plan.snapshot_time += 3600;
        inc = write_backup(*r, dev, plan);
    }

    TempDir tmp;
    std::string repo, full, inc;
    Device dev{4096, 1};
};

TEST_F(CliTest, ListVerifyRestoreLsExtract)
{
    nlohmann::json list = kestrel_json("list --json --repo " + repo);
    ASSERT_EQ(list["backups"].size(), 2u);
    EXPECT_EQ(list["backups"][0]["backup_id"], full);
    EXPECT_EQ(list["backups"][1]["parent_id"], full);
    EXPECT_EQ(list["backups"][1]["counts"]["new_chunks"], 1);
    EXPECT_NE(kestrel("list --repo " + repo).out.find(inc), std::string::npos);

    nlohmann::json v = kestrel_json("verify --json --repo " + repo);
    EXPECT_EQ(v["ok"], true);
    EXPECT_EQ(v["checked_backups"], 2);
    EXPECT_EQ(v["read_chunks"], v["checked_chunks"]);
    EXPECT_EQ(v["read_bytes"], v["checked_bytes"]);
    // Slices of the chunks read each chunk once between them; every run looks all of them up.
    uint64_t read = 0, bytes = 0;
    for (const char* slice : {"1/3", "2/3", "3/3"}) {
        nlohmann::json s = kestrel_json("verify --json --repo " + repo + " --read-data-subset " + slice);
        EXPECT_EQ(s["checked_chunks"], v["checked_chunks"]) << slice;
        read += s["read_chunks"].get<uint64_t>();
        bytes += s["read_bytes"].get<uint64_t>();
    }
    EXPECT_EQ(read, v["read_chunks"].get<uint64_t>());
    EXPECT_EQ(bytes, v["read_bytes"].get<uint64_t>());
    Result share = kestrel("verify --repo " + repo + " --read-data-subset 1%");
    EXPECT_EQ(share.code, 0) << share.out;
    EXPECT_NE(share.out.find("read 1 of them (1%)"), std::string::npos) << share.out;
    for (const char* bad : {"0%", "101%", "x", "4/3", "0/2", "50"}) {
        Result r = kestrel("verify --repo " + repo + " --read-data-subset " + bad);
        EXPECT_EQ(r.code, 2) << bad << "\n" << r.out;
        EXPECT_NE(r.out.find("n/m"), std::string::npos) << bad << "\n" << r.out;
    }

    Result restored;
    restored.code = run("true; { " + std::string(KESTREL_BINARY) + " restore --json --repo " + repo + " --backup " +
                            inc + " --to " + (tmp / "r.img") + " 2>/dev/null; }",
                        &restored.out);
    EXPECT_EQ(restored.code, 0) << restored.out;
    nlohmann::json rj = json_result(restored.out);
    EXPECT_EQ(rj["backup_id"], inc);
    EXPECT_EQ(rj["image_bytes"], dev.blocks * 4096);
    // Restore counts chunks, and says their bytes too.
    EXPECT_NE(restored.out.find(R"("operation":"restore")"), std::string::npos) << restored.out;
    EXPECT_NE(restored.out.find(R"("percent":100)"), std::string::npos) << restored.out;
    EXPECT_NE(restored.out.find(R"("total_bytes":)"), std::string::npos) << restored.out;
    std::vector<uint8_t> want = dev.expected_image();
    EXPECT_EQ(read_host_file(tmp / "r.img"), std::string(want.begin(), want.end()));

    nlohmann::json ls = kestrel_json("ls --json --repo " + repo + " --backup " + full + " /etc");
    EXPECT_EQ(ls["entries"].size(),
              static_cast<size_t>(std::distance(fs::directory_iterator(tmp / "tree/etc"), fs::directory_iterator())));
    EXPECT_NE(kestrel("ls --repo " + repo + " --backup " + full).out.find("link-to-conf -> etc/conf.d"),
              std::string::npos);

    fs::create_directory(tmp / "out");
    Result x = kestrel("extract --repo " + repo + " --backup " + full + " /etc --to " + (tmp / "out"));
    EXPECT_EQ(x.code, 0) << x.out;
    for (const auto& e : fs::recursive_directory_iterator(tmp / "tree/etc"))
        if (e.is_regular_file()) {
            std::string rel = e.path().string().substr((tmp / "tree").size());
            EXPECT_EQ(read_host_file(tmp / ("out" + rel)), read_host_file(e.path())) << rel;
        }
}

TEST_F(CliTest, BadInputGivesOneLineErrorsAndExitCodes)
{
    std::string img = tmp / "r.img";
    std::ofstream(img) << "precious";
    Result exists = kestrel("restore --repo " + repo + " --backup " + full + " --to " + img);
    EXPECT_EQ(exists.code, 1);
    EXPECT_NE(exists.out.find("restore target exists: " + img), std::string::npos) << exists.out;
    EXPECT_EQ(read_host_file(img), "precious");
    // Asked for, the image is replaced whole.
    EXPECT_EQ(kestrel("restore --repo " + repo + " --backup " + full + " --overwrite --to " + img).code, 0);
    EXPECT_EQ(fs::file_size(img), dev.blocks * 4096);
    Result into_repo = kestrel("restore --repo " + repo + " --backup " + full + " --to " + repo + "/x.img");
    EXPECT_EQ(into_repo.code, 1);
    EXPECT_NE(into_repo.out.find("inside the repository"), std::string::npos) << into_repo.out;

    Result unknown = kestrel("restore --repo " + repo + " --backup nope --to " + (tmp / "x.img"));
    EXPECT_EQ(unknown.code, 1);
    EXPECT_NE(unknown.out.find("no backup nope"), std::string::npos) << unknown.out;
    Result norepo = kestrel("list --repo " + (tmp / "missing"));
    EXPECT_EQ(norepo.code, 1);
    EXPECT_NE(norepo.out.find("missing/config"), std::string::npos) << norepo.out;

    EXPECT_EQ(kestrel("list").code, 2) << "--repo is required";
    EXPECT_EQ(kestrel("verify --repo " + repo + " --bogus").code, 2);
    EXPECT_EQ(kestrel("frobnicate").code, 2);
    EXPECT_EQ(kestrel("forget --repo " + repo).code, 2) << "no rule";
    EXPECT_EQ(kestrel("restore --help").code, 0);
}

// A usage error names the word that is wrong (before complaining about anything else), offers
// the nearest names, and exits 2; help and the version answer without a repository.
TEST_F(CliTest, UsageErrorsNameTheWrongWordAndSuggestTheNearest)
{
    auto expect_usage = [](const std::string& args, const std::string& said) {
        Result r = kestrel(args);
        EXPECT_EQ(r.code, 2) << args << "\n" << r.out;
        EXPECT_NE(r.out.find(said), std::string::npos) << args << "\n" << r.out;
    };
    expect_usage("lst", "unknown subcommand 'lst'; did you mean list or ls?");
    expect_usage("verfiy --repo " + repo, "did you mean verify?");
    expect_usage("backup --bogus", "unknown option '--bogus' for 'kestrel backup'");
    expect_usage("list --rep " + repo, "did you mean --repo?");
    expect_usage("extract --repo " + repo + " --backup " + full + " --to=" + (tmp / "x") + " --tO x /", "did you mean --to?");
    expect_usage("help lst", "unknown subcommand 'lst'");
    expect_usage("", "Subcommands:");
    // A value that looks like an option is the option's value, not an unknown option.
    Result value = kestrel("restore --repo " + repo + " --backup --nope --to " + (tmp / "v.img"));
    EXPECT_EQ(value.code, 1) << value.out;

    Result help = kestrel("help list");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--repo"), std::string::npos) << help.out;
    EXPECT_NE(kestrel("help").out.find("extract"), std::string::npos);
    Result version = kestrel("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_NE(version.out.find("kestrel 3.1.0 (module 3.1.0 build"), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("for Linux 2.6.9-023stab"), std::string::npos) << version.out;
}

// The repository from KESTREL_REPOSITORY unless --repo names another; a backup by "latest"
// or by a prefix that begins only its id.
TEST_F(CliTest, RepositoryFromTheEnvironmentAndBackupsByPrefixOrLatest)
{
    const std::string env = "KESTREL_REPOSITORY=" + repo + " ";
    Result r;
    r.code = run(env + KESTREL_BINARY + " list --json 2>/dev/null", &r.out);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(json_result(r.out)["backups"].size(), 2u);
    r.out.clear();
    r.code = run("KESTREL_REPOSITORY=" + (tmp / "nowhere") + " " + KESTREL_BINARY + " list --repo " + repo, &r.out);
    EXPECT_EQ(r.code, 0) << "--repo overrides the variable: " << r.out;

    EXPECT_EQ(kestrel_json("restore --json --repo " + repo + " --backup latest --to " + (tmp / "latest.img"))["backup_id"],
              inc);
    size_t common = 0;
    while (common < full.size() && common < inc.size() && full[common] == inc[common])
        common++;
    ASSERT_LT(common, full.size());
    EXPECT_EQ(kestrel_json("ls --json --repo " + repo + " --backup " + full.substr(0, common + 1))["backup_id"], full);
    if (common > 0) {
        Result ambiguous = kestrel("ls --repo " + repo + " --backup " + full.substr(0, common));
        EXPECT_EQ(ambiguous.code, 1);
        EXPECT_NE(ambiguous.out.find("ambiguous"), std::string::npos) << ambiguous.out;
        EXPECT_NE(ambiguous.out.find(inc), std::string::npos) << ambiguous.out;
    }
}

// --quiet leaves errors and the command's answer; --verbose adds detail; both are global,
// before or after the subcommand.
TEST_F(CliTest, QuietAndVerbose)
{
    const std::string r = " --repo " + repo;
    Result q = kestrel("--quiet forget --keep-last 1 --dry-run" + r);
    EXPECT_EQ(q.code, 0);
    EXPECT_EQ(q.out, "");
    q = kestrel("verify -q" + r);
    EXPECT_EQ(q.code, 0);
    EXPECT_EQ(q.out, "") << "a clean verify says nothing";
    q = kestrel("-q restore" + r + " --backup latest --to " + (tmp / "q.img"));
    EXPECT_EQ(q.code, 0);
    EXPECT_EQ(q.out, "");
    EXPECT_TRUE(fs::exists(tmp / "q.img"));
    q = kestrel("list --quiet" + r);
    EXPECT_NE(q.out.find(full), std::string::npos) << "a listing is the answer: " << q.out;
    q = kestrel("--quiet ls" + r + " --backup nosuch");
    EXPECT_NE(q.code, 0);
    EXPECT_NE(q.out.find("kestrel: "), std::string::npos) << "errors are still said";

    Result v = kestrel("forget --keep-last 1 --dry-run --verbose" + r);
    EXPECT_NE(v.out.find("would keep " + inc), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("would forget " + full), std::string::npos) << v.out;
    EXPECT_EQ(kestrel("--quiet --verbose list" + r).code, 2);
}

// Backups record their host and tags; list, forget, stats and `latest` select by host,
// source and tag; backups written before hosts were recorded are of an unknown host.
TEST_F(CliTest, HostsTagsAndFilters)
{
    {
        auto r = repo::Repository::open(repo::Env::posix(), repo);
        BackupPlan plan;
        plan.host = "web";
        plan.tags = {"nightly", "app"};
        plan.snapshot_time = 1'700'100'000;
        write_backup(*r, dev, plan);
        plan.host = "db";
        plan.source = "db-device";
        plan.tags = {"nightly"};
        plan.snapshot_time = 1'700'000'500;
        write_backup(*r, dev, plan);
    }
    const std::string r = " --json --repo " + repo;
    auto ids = [&](const std::string& args) {
        std::vector<std::string> out;
        const nlohmann::json list = kestrel_json("list" + r + " " + args);
        for (const auto& b : list["backups"])
            out.push_back(b["backup_id"]);
        return out;
    };
    nlohmann::json web = kestrel_json("list" + r + " --host web")["backups"];
    ASSERT_EQ(web.size(), 1u);
    EXPECT_EQ(web[0]["tags"], nlohmann::json::array({"app", "nightly"}));
    EXPECT_EQ(ids("--tag nightly").size(), 2u);
    EXPECT_EQ(ids("--tag nightly,app").size(), 1u);
    EXPECT_EQ(ids("--tag app --tag nosuch").size(), 1u);
    EXPECT_EQ(ids("--source db-device").size(), 1u);
    EXPECT_EQ(ids("--source test-device --host web"), ids("--host web"));
    EXPECT_EQ(ids("--host nosuch").size(), 0u);
    EXPECT_EQ(kestrel_json("list" + r)["backups"][0]["host"], "") << "written without a host";
    EXPECT_NE(kestrel("list --repo " + repo).out.find("HOST"), std::string::npos);

    // latest of a selection; the db backup is older than web's.
    EXPECT_EQ(kestrel_json("ls" + r + " --backup latest --host db")["backup_id"], ids("--host db")[0]);
    EXPECT_EQ(kestrel_json("ls" + r + " --backup latest --source test-device --host web")["backup_id"], web[0]["backup_id"]);
    EXPECT_EQ(kestrel("ls --repo " + repo + " --backup latest --host nosuch").code, 1);

    // Rules count per host and source: one kept of each of three histories.
    nlohmann::json f = kestrel_json("forget" + r + " --keep-last 1 --dry-run");
    EXPECT_EQ(f["kept_backup_ids"].size(), 3u);
    EXPECT_EQ(f["forgotten_backup_ids"], nlohmann::json::array({full}));
    f = kestrel_json("forget" + r + " --keep-last 1 --tag nightly");
    EXPECT_EQ(f["kept_backup_ids"].size(), 2u);
    EXPECT_EQ(f["forgotten_backup_ids"].size(), 0u);
    EXPECT_EQ(kestrel("forget --repo " + repo + " --host web " + full).code, 2) << "a filter with ids";

    for (const std::string bad : {"--host 'a b'", "--tag 'x y'", "--tag a,,b", "--host ''"})
        EXPECT_EQ(kestrel("list --repo " + repo + " " + bad).code, 2) << bad;
}

// stats counts from manifests and indexes: the incremental shares all but one chunk with
// the full backup, so the repository stores what both backups added and no more.
TEST_F(CliTest, StatsPerBackupPerSourceAndInAll)
{
    nlohmann::json s = kestrel_json("stats --json --repo " + repo);
    ASSERT_EQ(s["backups"].size(), 2u);
    const nlohmann::json &a = s["backups"][0], &b = s["backups"][1], &total = s["total"];
    EXPECT_EQ(a["backup_id"], full);
    const uint64_t used = std::count(dev.used.begin(), dev.used.end(), true);
    EXPECT_EQ(a["raw_bytes"], used * 4096);
    EXPECT_EQ(b["raw_bytes"], used * 4096);
    EXPECT_EQ(a["referenced_chunks"], b["referenced_chunks"]);
    EXPECT_EQ(total["referenced_chunks"], a["referenced_chunks"].get<uint64_t>() + 1);
    EXPECT_EQ(total["deduplicated_bytes"], total["referenced_chunks"].get<uint64_t>() * s["chunk_bytes"].get<uint64_t>());
    EXPECT_EQ(total["stored_bytes"], a["added_bytes"].get<uint64_t>() + b["added_bytes"].get<uint64_t>())
        << "each chunk counted once";
    EXPECT_GT(a["only_here_stored_bytes"], 0u);
    EXPECT_LT(a["only_here_stored_bytes"], a["stored_bytes"]);
    EXPECT_EQ(total["missing_chunks"], 0);
    ASSERT_EQ(s["sources"].size(), 1u);
    EXPECT_EQ(s["sources"][0]["backup_count"], 2);
    EXPECT_EQ(s["sources"][0]["stored_bytes"], total["stored_bytes"]);

    // One backup by prefix: its own figures, and what only it holds among all backups.
    nlohmann::json one = kestrel_json("stats --json --repo " + repo + " latest");
    ASSERT_EQ(one["backups"].size(), 1u);
    EXPECT_EQ(one["backups"][0]["backup_id"], inc);
    EXPECT_EQ(one["total"]["stored_bytes"], b["stored_bytes"]);
    EXPECT_EQ(one["backups"][0]["only_here_stored_bytes"], b["only_here_stored_bytes"]);
    EXPECT_EQ(kestrel("stats --repo " + repo + " nosuch").code, 1);

    Result text = kestrel("stats --repo " + repo);
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("2 backups: "), std::string::npos) << text.out;

    // A damaged map (its manifest names a root piece that is not stored): that backup is
    // left out and named, exit 3.
    {
        std::string path = repo + "/backups/" + full + ".manifest";
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        repo::Manifest m = repo::format::decode_manifest(text.str(), path);
        ASSERT_EQ(m.version, repo::format::kManifestVersionTree);
        m.tree_root[31] ^= 1;
        std::ofstream(path, std::ios::trunc) << repo::format::encode_manifest(m);
    }
    Result damaged = kestrel("stats --repo " + repo);
    EXPECT_EQ(damaged.code, 3);
    EXPECT_NE(damaged.out.find(full), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.out.find("1 backup: "), std::string::npos) << damaged.out;
}

// Completion and the man page are made from the command's definitions: every subcommand
// and option is there, and completing in a real bash gives the expected words.
TEST(CliGenerate, CompletionAndManPageFollowTheDefinitions)
{
    TempDir tmp;
    Result script = kestrel("generate bash-completion > " + (tmp / "k.bash"));
    ASSERT_EQ(script.code, 0) << script.out;
    auto complete = [&](const std::string& words) {
        std::string out;
        int code = run("cd " + tmp.path() + " && bash -c 'source k.bash; COMP_WORDS=(" + words +
                           "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kestrel; echo \"${COMPREPLY[*]}\"'",
                       &out);
        EXPECT_EQ(code, 0) << out;
        return out.substr(0, out.find('\n'));
    };
    EXPECT_EQ(complete("kestrel li"), "list");
    EXPECT_EQ(complete("kestrel backup --rep"), "--repo");
    EXPECT_EQ(complete("kestrel extract --to k.b"), "k.bash") << "a path option completes file names";
    EXPECT_EQ(complete("kestrel help ext"), "extract");
    EXPECT_EQ(complete("kestrel --vers"), "--version");
    EXPECT_EQ(complete("kestrel stats --qu"), "--quiet") << "global options after a subcommand";

    const std::string man = read_host_file(KESTREL_MAN_PAGE);
    for (const char* want : {".SS \"kestrel backup\"", ".SS \"kestrel extract\"", "--keep-last", "KESTREL_REPOSITORY"})
        EXPECT_NE(man.find(want), std::string::npos) << want;
}

// The list's columns line up whatever the lengths of their cells.
TEST_F(CliTest, ListColumnsLineUp)
{
    Result list = kestrel("list --repo " + repo);
    ASSERT_EQ(list.code, 0);
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = list.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(list.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 4u) << list.out;  // header, two backups, the count
    for (const char* column : {"SNAPSHOT", "SOURCE", "KIND"}) {
        const size_t at = lines[0].find(column);
        for (int row : {1, 2})
            EXPECT_EQ(lines[row][at - 1], ' ') << column << "\n" << list.out;
        EXPECT_NE(lines[1][at], ' ') << column << "\n" << list.out;
    }
    EXPECT_EQ(lines[1].find("STORED"), std::string::npos);
    const size_t stored_end = lines[0].find("STORED") + 6;
    EXPECT_TRUE(lines[1].size() == stored_end && lines[2].size() == stored_end) << list.out;
}

TEST_F(CliTest, ADamagedConfigExitsThreeNamingIt)
{
    std::ofstream(repo + "/config") << R"({"format": 1})";
    Result r = kestrel("list --repo " + repo);
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find(repo + "/config"), std::string::npos) << r.out;
}

TEST_F(CliTest, DamageExitsThreeNamingTheBackups)
{
    // A pack of chunks the backups use.
    std::string victim;
    for (const auto& e : fs::recursive_directory_iterator(repo + "/data"))
        if (e.is_regular_file() && e.file_size() > 100)
            victim = e.path();
    ASSERT_FALSE(victim.empty());
    std::string data = read_host_file(victim);
    data[data.size() / 2] ^= 0x55;
    std::ofstream(victim, std::ios::binary) << data;

    nlohmann::json v = kestrel_json("verify --json --repo " + repo, 3);
    EXPECT_EQ(v["ok"], false);
    ASSERT_GE(v["damage"].size(), 1u);
    EXPECT_EQ(v["damage"][0]["path"], victim);
    Result text = kestrel("verify --repo " + repo);
    EXPECT_EQ(text.code, 3);
    for (const auto& id : v["damaged_backup_ids"])
        EXPECT_NE(text.out.find(id.get<std::string>()), std::string::npos) << text.out;

    std::string id = v["damaged_backup_ids"][0];
    Result r = kestrel("restore --repo " + repo + " --backup " + id + " --to " + (tmp / "r.img"));
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("backup " + id), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(victim), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(tmp / "r.img"));
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_EQ(e.path().filename().string().find(".r.img"), std::string::npos) << "temporary image left";
}

TEST_F(CliTest, ForgetAndGc)
{
    nlohmann::json f = kestrel_json("forget --json --repo " + repo + " --keep-last 1");
    EXPECT_EQ(f["forgotten_backup_ids"], nlohmann::json::array({full}));
    nlohmann::json g = kestrel_json("gc --json --repo " + repo);
    EXPECT_GT(g["referenced_chunks"].get<uint64_t>(), 0u);
    EXPECT_EQ(kestrel_json("verify --json --repo " + repo)["ok"], true);
}

TEST_F(CliTest, ADamagedManifestIsListedAndForgottenById)
{
    std::ofstream(repo + "/backups/" + full + ".manifest") << "{\"format\": ";
    Result list = kestrel("list --repo " + repo);
    EXPECT_EQ(list.code, 3) << list.out;
    EXPECT_NE(list.out.find(full + "  DAMAGED"), std::string::npos) << list.out;
    EXPECT_EQ(kestrel("gc --repo " + repo).code, 3);
    EXPECT_EQ(kestrel("forget --repo " + repo + " " + full + " --keep-last 1").code, 2) << "ids or rules, not both";
    nlohmann::json f = kestrel_json("forget --json --repo " + repo + " " + full);
    EXPECT_EQ(f["forgotten_backup_ids"], nlohmann::json::array({full}));
    EXPECT_EQ(kestrel_json("list --json --repo " + repo)["damaged"], nlohmann::json::array());
    EXPECT_EQ(kestrel("gc --repo " + repo).code, 0);
    EXPECT_EQ(kestrel("verify --repo " + repo).code, 0);
}

TEST_F(CliTest, LockedExitsFourWaitLockWaitsAndUnlockClearsStaleLocks)
{
    auto r = repo::Repository::open(repo::Env::posix(), repo);
    auto gc = r->lock(repo::LockMode::Exclusive, "gc");
    Result v = kestrel("verify --repo " + repo);
    EXPECT_EQ(v.code, 4) << v.out;
    EXPECT_NE(v.out.find("locked by gc"), std::string::npos) << v.out;
    Result waited = kestrel("gc --json --repo " + repo + " --wait-lock 300ms");
    EXPECT_EQ(waited.code, 4);
    EXPECT_NE(waited.out.find(R"("kind":"locked")"), std::string::npos) << waited.out;
    EXPECT_EQ(kestrel("list --repo " + repo).code, 0) << "listing takes no lock";
    EXPECT_EQ(kestrel("verify --repo " + repo + " --wait-lock soon").code, 2);

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gc.reset();
    });
    EXPECT_EQ(kestrel("verify --repo " + repo + " --wait-lock 10m").code, 0);
    release.join();

    // The leftover of a holder on another host that stopped refreshing long ago, and one
    // of a live holder, which stays.
    std::string name = "locks/00112233445566778899aabbccddeeff";
    r->store().save(name, R"({"format": "kestrel-lock", "version": 1, "exclusive": true, "operation": "forget",
                              "host": "elsewhere", "pid": 7, "created": 0, "refreshed": 0})");
    auto live = r->lock(repo::LockMode::Shared, "restore");
    nlohmann::json u = kestrel_json("unlock --json --repo " + repo);
    EXPECT_EQ(u["removed_locks"], nlohmann::json::array({name}));
    EXPECT_EQ(kestrel("gc --repo " + repo).code, 4);
    live.reset();
    EXPECT_EQ(kestrel("gc --repo " + repo).code, 0);
}

TEST(CliBackup, VersionLoadsTheModule)
{
    Result v = kestrel("--quiet version");
    EXPECT_EQ(v.code, 0) << v.out;
    EXPECT_NE(v.out.find("module version"), std::string::npos);
}

// `kestrel backup --disk` twice on an image made by mkfs.ext4 -d, with one file block
// overwritten in between: each run boots its own machine, so the second is full and says
// why, yet stores only the chunk that changed; the repository then restores the file.
TEST(CliBackup, BackUpADiskImageTwiceStoresOnlyWhatChanged)
{
    TempDir tmp;
    make_tree(tmp / "tree", 9, 40);
    demo::FsSpec spec{"ext4", 4096, 8 << 20, tmp / "tree"};
    std::string img = tmp / "disk.img", rp = tmp / "repo";
    std::vector<sim::Partition> parts = demo::make_disk_image(img, {spec});

    // A directory with other files in it is no place for a repository: said before any
    // password is asked for (none is given here), and nothing is added to it.
    std::filesystem::create_directory(tmp / "busy");
    std::ofstream(tmp / "busy/notes.txt") << "mine\n";
    Result busy = kestrel("backup --disk " + img + " --partition 1 --repo " + (tmp / "busy") + " </dev/null");
    EXPECT_EQ(busy.code, 1) << busy.out;
    EXPECT_NE(busy.out.find("not empty"), std::string::npos) << busy.out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "busy"), {}), 1) << busy.out;
    // Without a password, a first backup makes nothing at all.
    Result no_password = kestrel("backup --disk " + img + " --partition 1 --repo " + (tmp / "new") + " </dev/null");
    EXPECT_EQ(no_password.code, 1) << no_password.out;
    EXPECT_FALSE(std::filesystem::exists(tmp / "new")) << no_password.out;
    PasswordInEnvironment password;

    Result run_first;
    run_first.code = run("true; { " + std::string(KESTREL_BINARY) + " backup --json --disk " + img +
                             " --partition 1 --repo " + rp + " --host web-1 --tag a --tag b,a 2>/dev/null; }",
                         &run_first.out);
    ASSERT_EQ(run_first.code, 0) << run_first.out;
    nlohmann::json first = json_result(run_first.out);
    EXPECT_NE(run_first.out.find(R"("operation":"backup")"), std::string::npos) << "progress lines: " << run_first.out;
    EXPECT_NE(run_first.out.find(R"("percent":100)"), std::string::npos) << run_first.out;
    EXPECT_EQ(first["created_repo"], true);
    EXPECT_EQ(first["incremental"], false);
    EXPECT_EQ(first["full_reason"], "there is no previous backup of the device");
    EXPECT_EQ(first["fs_type"], "ext4");
    EXPECT_LT(first["read_blocks"].get<uint64_t>(), first["fs_blocks"].get<uint64_t>()) << "only used blocks";
    EXPECT_GT(first["counts"]["new_chunks"].get<uint64_t>(), 1u);

    // Overwrite the first block of the largest file in the image.
    agent::ExtSource src(demo::file_reader(img, parts[0].start_sect * 512, 4096), 4096, spec.bytes / 4096);
    ASSERT_NE(src.fs(), nullptr);
    std::vector<demo::FileInfo> files = demo::list_files(src.fs());
    std::erase_if(files, [](const demo::FileInfo& f) { return f.blocks.empty() || !f.blocks[0]; });
    auto big = std::max_element(files.begin(), files.end(), [](auto& a, auto& b) { return a.size < b.size; });
    ASSERT_NE(big, files.end());
    ASSERT_GT(big->size, 4096u);
    {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(parts[0].start_sect * 512 + big->blocks[0] * 4096));
        f.write(std::string(4096, 'k').data(), 4096);
    }

    Result text = kestrel("backup --disk " + img + " --partition 1 --repo " + rp);
    EXPECT_EQ(text.code, 0) << text.out;
    EXPECT_EQ(text.out.find('\r'), std::string::npos) << "no progress bar in a pipe: " << text.out;
    EXPECT_NE(text.out.find("full, because the module has no change tracking for the device (the machine was "
                            "restarted"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("stored 1 new chunk "), std::string::npos) << text.out;

    nlohmann::json list = kestrel_json("list --json --repo " + rp);
    ASSERT_EQ(list["backups"].size(), 2u);
    EXPECT_EQ(list["backups"][0]["backup_id"], first["backup_id"]) << "one key for one thing";
    EXPECT_EQ(list["backups"][0]["fs_blocks"], first["fs_blocks"]);
    EXPECT_EQ(list["backups"][0]["counts"], first["counts"]);
    std::string second = list["backups"][1]["backup_id"];
    EXPECT_EQ(list["backups"][1]["counts"]["new_chunks"], 1);
    EXPECT_EQ(list["backups"][0]["host"], "web-1");
    EXPECT_EQ(list["backups"][0]["tags"], nlohmann::json::array({"a", "b"}));
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(list["backups"][1]["host"], host) << "this machine's name by default";
    fs::create_directory(tmp / "out");
    ASSERT_EQ(kestrel("extract --repo " + rp + " --backup " + second + " " + big->path + " --to " + (tmp / "out")).code,
              0);
    std::string got = read_host_file(tmp / ("out/" + fs::path(big->path).filename().string()));
    std::string want = read_host_file(tmp / ("tree" + big->path));
    want.replace(0, 4096, std::string(4096, 'k'));
    EXPECT_EQ(got, want);

    // A byte of every pack's first blob damaged: a --full backup reads back what it reuses,
    // stores those chunks again and says so; then the repository verifies clean.
    for (const auto& e : fs::recursive_directory_iterator(rp + "/data"))
        if (e.is_regular_file()) {
            std::fstream f(e.path(), std::ios::in | std::ios::out | std::ios::binary);
            char c = 0;
            f.seekg(40);
            f.get(c);
            f.seekp(40);
            f.put(static_cast<char>(c ^ 0x10));
        }
    EXPECT_EQ(kestrel("verify --repo " + rp).code, 3);
    Result cure = kestrel("backup --full --disk " + img + " --partition 1 --repo " + rp);
    EXPECT_EQ(cure.code, 0) << cure.out;
    EXPECT_NE(cure.out.find("warning: "), std::string::npos) << cure.out;
    EXPECT_NE(cure.out.find("stored again"), std::string::npos) << cure.out;
    Result verify = kestrel("verify --repo " + rp);
    EXPECT_EQ(verify.code, 0) << verify.out;
    list = kestrel_json("list --json --repo " + rp);
    ASSERT_EQ(list["backups"].size(), 3u);
    EXPECT_GT(list["backups"][2]["counts"]["stored_again_chunks"].get<uint64_t>(), 0u) << list["backups"][2];
}

TEST(CliExtract, SpecialBitsInLsAndASummaryOfWhatWasRefused)
{
    TempDir tmp;
    fs::create_directories(tmp / "tree/sticky");
    std::ofstream(tmp / "tree/setuid") << "x";
    std::ofstream(tmp / "tree/XX") << "EVIL";
    fs::permissions(tmp / "tree/setuid", fs::perms(04755));
    fs::permissions(tmp / "tree/sticky", fs::perms(01777));
    std::string img = tmp / "disk.img", rp = tmp / "repo", out;
    ASSERT_EQ(run("mkfs.ext4 -q -F -O ^metadata_csum -b 4096 -d " + (tmp / "tree") + " " + img + " 1024", &out), 0)
        << out;
    rename_entry(img, inode_of(img, "/XX"), "XX", "..");
    ASSERT_EQ(kestrel("init --insecure-no-encryption --repo " + rp).code, 0);
    auto r = repo::Repository::open(repo::Env::posix(), rp);
    BackupPlan plan;
    plan.fs_type = "ext4";
    std::string id = write_backup(*r, load_ext_image(img, 4096), plan);

    Result ls = kestrel("ls --repo " + rp + " --backup " + id);
    EXPECT_NE(ls.out.find("-rwsr-xr-x"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("drwxrwxrwt"), std::string::npos) << ls.out;

    // The entry named ".." is refused, the rest extracted, and the command ends with 3.
    fs::create_directory(tmp / "out");
    Result x = kestrel("extract --repo " + rp + " --backup " + id + " / --to " + (tmp / "out"));
    EXPECT_EQ(x.code, 3) << x.out;
    EXPECT_NE(x.out.find("kestrel: warning: refused /.. (inode "), std::string::npos) << x.out;
    EXPECT_NE(x.out.find("1 file, 3 directories"), std::string::npos) << x.out;
    EXPECT_NE(x.out.find("REFUSED 1 (1 unsafe name)"), std::string::npos) << x.out;
    EXPECT_EQ(read_host_file(tmp / "out/root/setuid"), "x");
    EXPECT_FALSE(fs::exists(tmp / "EVIL"));
    fs::create_directory(tmp / "out2");
    nlohmann::json j = kestrel_json("extract --json --repo " + rp + " --backup " + id + " / --to " + (tmp / "out2"), 3);
    EXPECT_EQ(j["backup_id"], id);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["extracted"]["files"], 1);
    EXPECT_EQ(j["refused"]["unsafe name"], 1);
}

TEST(CliBackup, BadDiskOrPartitionIsOneLineAndNoBackup)
{
    TempDir tmp;
    std::string img = tmp / "disk.img", rp = tmp / "repo";
    demo::make_disk_image(img, {demo::FsSpec{"ext2", 1024, 2 << 20, ""}});
    Result none = kestrel("backup --disk " + img + " --partition 3 --repo " + rp);
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.out, "kestrel: " + img + " has no partition 3: its MBR lists partition 1\n");
    EXPECT_EQ(kestrel("backup --disk " + (tmp / "nope.img") + " --repo " + rp).code, 2);
    EXPECT_EQ(kestrel("backup --disk " + img + " --partition 0 --repo " + rp).code, 2);
    EXPECT_FALSE(fs::exists(rp)) << "no repository made for a backup that could not start";
}

// A sparse image of `sectors` sectors with an MBR whose entries are {type, start, sectors},
// and the first `fs_bytes` bytes of the file at `fs` (if any) written at sector `fs_at`.
struct MbrEntry {
    unsigned char type;
    uint32_t start, sectors;
};
void write_mbr_image(const std::string& path, uint64_t sectors, const std::vector<MbrEntry>& entries,
                     const std::string& fs = "", uint64_t fs_at = 0, size_t fs_bytes = SIZE_MAX)
{
    std::ofstream(path).close();
    fs::resize_file(path, sectors * 512);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!fs.empty()) {
        std::string data(std::min<uint64_t>({fs_bytes, fs::file_size(fs), (sectors - fs_at) * 512}), '\0');
        std::ifstream(fs, std::ios::binary).read(data.data(), static_cast<std::streamsize>(data.size()));
        f.seekp(static_cast<std::streamoff>(fs_at * 512));
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    std::string mbr(512, '\0');
    for (size_t i = 0; i < entries.size(); i++) {
        char* e = mbr.data() + 446 + 16 * i;
        e[4] = static_cast<char>(entries[i].type);
        memcpy(e + 8, &entries[i].start, 4);
        memcpy(e + 12, &entries[i].sectors, 4);
    }
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    f.seekp(0);
    f.write(mbr.data(), 512);
}

// Images a backup cannot take: each gives one line that names what the image holds and
// what to do, exit 1, and no repository; a foreign file system is taken raw.
TEST(CliBackup, ImagesThatCannotBeBackedUpSayWhatWasFound)
{
    TempDir tmp;
    const std::string rp = tmp / "repo", ext = tmp / "ext.fs";
    demo::make_file_system(ext, demo::FsSpec{"ext4", 1024, 4 << 20, ""}); // 8192 sectors
    auto expect_line = [&](const std::string& img, unsigned partition, const std::string& says) {
        Result r = kestrel("backup --disk " + img + " --partition " + std::to_string(partition) + " --repo " + rp);
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_NE(r.out.find(says), std::string::npos) << "wanted \"" << says << "\" in: " << r.out;
        EXPECT_FALSE(fs::exists(rp)) << r.out;
    };

    // A file system with no partition table around it.
    expect_line(ext, 1, ext + " is a bare ext4 file system, not a disk with a partition table: put it in partition 1");

    // Partition 2 is an extended one; 5 would be the first logical partition inside it.
    const std::string logical = tmp / "logical.img";
    write_mbr_image(logical, 20480, {{0x83, 2048, 8192}, {0x05, 10240, 10240}}, ext, 2048);
    expect_line(logical, 2, "partition 2 of " + logical + " is an extended partition");
    expect_line(logical, 5, "partition 5 of " + logical + " is a logical partition inside extended partition 2");
    expect_line(logical, 3, logical + " has no partition 3: its MBR lists partitions 1, 2");

    // A partition table from a larger disk: one partition starts past the image's end, one
    // runs past it.
    const std::string cut = tmp / "cut.img";
    write_mbr_image(cut, 6144, {{0x83, 2048, 8192}, {0x83, 30000, 100}}, ext, 2048);
    expect_line(cut, 1, "partition 1 of " + cut + " runs past the end of the image (it ends at sector 10240, the "
                        "image has 6144 sectors)");
    expect_line(cut, 2, "partition 2 of " + cut + " starts at sector 30000, past the end of the image");

    // A file system grown past its partition (or a partition shrunk under it).
    const std::string small = tmp / "small.img";
    write_mbr_image(small, 12288, {{0x83, 2048, 4096}}, ext, 2048);
    expect_line(small, 1, "holds an ext4 file system of 4194304 bytes, larger than the partition (2097152 bytes)");

    // A partition made by another file system's mkfs is backed up raw, every block, and
    // the backup says so in one line; its restore is the partition exactly.
    if (demo::run_program({"mkfs.xfs", "-V"}).exit_code == 0) {
        const std::string xfs = tmp / "xfs.fs", img = tmp / "xfs.img";
        std::ofstream(xfs).close();
        fs::resize_file(xfs, 300 << 20);
        ASSERT_TRUE(demo::run_program({"mkfs.xfs", "-q", "-f", xfs}).clean());
        write_mbr_image(img, 2048 + 8192, {{0x83, 2048, 8192}}, xfs, 2048, 1 << 20);
        const std::string xrp = tmp / "xfs-repo";
        PasswordInEnvironment password;
        Result r = kestrel("backup --disk " + img + " --repo " + xrp);
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find("kestrel: partition 1 of " + img + " holds a file system of type XFS, which kestrel "
                             "cannot read: it is backed up raw, every block of the partition\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("every block taken"), std::string::npos) << r.out;
        ASSERT_EQ(kestrel("restore --repo " + xrp + " --backup latest --to " + (tmp / "xfs.out")).code, 0);
        EXPECT_EQ(read_host_file(tmp / "xfs.out"), read_host_file(img).substr(2048 * 512));
    } else {
        std::cout << "[  NOTE    ] mkfs.xfs is missing (xfsprogs): the XFS partition is not tried\n";
    }

    // A GPT disk: its MBR only protects the GPT behind it.
    if (demo::run_program({"sgdisk", "--version"}).exit_code == 0) {
        const std::string gpt = tmp / "gpt.img";
        std::ofstream(gpt).close();
        fs::resize_file(gpt, 16 << 20);
        ASSERT_TRUE(demo::run_program({"sgdisk", "-n1:2048:+4M", gpt}).clean());
        expect_line(gpt, 1, gpt + " is a GPT disk; only MBR partition tables are read");
    } else {
        std::cout << "[  NOTE    ] sgdisk is missing (gdisk): the GPT disk is not tried\n";
    }
}

} // namespace
