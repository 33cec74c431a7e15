// Many machines backing up into one repository at once: eight `kestrel serve` processes on
// eight disk images, each backed up by its own `kestrel backup --server` process, all eight
// at the same time, twice (full, then incremental after NBD clients wrote to every machine),
// with gc and verify started beside them. Every backup must succeed, the repository must
// verify clean, and each backup must restore exactly what its machine held at its snapshot.
//
// Everything reaches the repository through the kestrel command and its --repo address, so
// the test runs unchanged on any address the command accepts.
#include <signal.h>
#include <unistd.h>

#include <random>

#include <nlohmann/json.hpp>

#include "agent/socket_transport.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/serve/live.h"
#include "tests/support/child.h"
#include "tests/support/repo_source.h"
#include "tests/support/test_store.h"
#include "tools/demo/disk_image.h"

namespace kestrel_test {
namespace {

constexpr unsigned kMachines = 8;
constexpr uint64_t kChunk = 64u << 10;        // the repository's chunk size
constexpr uint64_t kMachinePart = 4u << 20;   // each machine's partition 1
constexpr uint64_t kChunks = kMachinePart / kChunk;

std::vector<std::string> kestrel(std::vector<std::string> args)
{
    args.insert(args.begin(), KESTREL_BINARY);
    return args;
}

// The result object of a --json run: its last line.
nlohmann::json last_json(const std::string& out)
{
    size_t end = out.find_last_not_of('\n');
    if (end == std::string::npos)
        return {};
    size_t start = out.rfind('\n', end);
    return nlohmann::json::parse(out.substr(start == std::string::npos ? 0 : start + 1, end + 1), nullptr, false);
}

// Chunk `c` of a partition: the same on every machine for every fourth chunk (so that eight
// writers store the same chunks at once), the machine's own otherwise; `gen` changes it.
// Half of each chunk is zeros, so it compresses. Chunk 0 holds an ext2 super block over
// zeros: the machine mounts it, and the agent backs up every block.
void fill_chunk(std::vector<uint8_t>& part, uint64_t c, unsigned machine, unsigned gen)
{
    uint8_t* at = part.data() + c * kChunk;
    if (c == 0) {
        memset(at, 0, kChunk);
        auto sb = sim::make_ext2_super_block(kBlockSize, kMachinePart / kBlockSize);
        memcpy(at + 1024, sb.data(), sb.size());
        return;
    }
    std::mt19937_64 rng(c % 4 == 0 ? 1000 * gen + c : (machine + 1) * 1000003 + 1000 * gen + c);
    for (uint64_t i = 0; i < kChunk; i += 8) {
        uint64_t v = i % 256 < 128 ? rng() : 0;
        memcpy(at + i, &v, 8);
    }
}

// On a local directory, and on an S3 gateway when the environment names one.
class MachinesTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (demo::run_program({"env", "PATH=/usr/bin:/bin", "nbdsh", "--version"}).exit_code != 0 || access(KESTREL_NBD_PLUGIN, R_OK) != 0) {
            if (getenv("KESTREL_REQUIRE_NBD"))
                FAIL() << "nbdsh or the plugin is missing";
            GTEST_SKIP() << "needs nbdsh and the plugin";
        }
        if (GetParam() == "s3") {
            repo = repo_test::fresh_s3_address("machines");
            if (repo.empty()) {
                if (repo_test::s3_required())
                    FAIL() << "KESTREL_REQUIRE_S3 is set but no S3 gateway is named (KESTREL_S3_TEST)";
                GTEST_SKIP() << "no S3 gateway named (KESTREL_S3_TEST)";
            }
            sweep.address = repo;
        } else {
            repo = tmp / "repo";
        }
        // Every process the test starts (backups, gc, verify, restores) has the repository's
        // password, as machines sharing a repository would.
        setenv("KESTREL_PASSWORD", "eight machines", 1);
        for (unsigned m = 0; m < kMachines; m++) {
            Machine& x = machines[m];
            x.image = tmp / ("disk" + std::to_string(m) + ".img");
            x.socket = tmp / ("run" + std::to_string(m) + "/k.sock");
            x.part.resize(kMachinePart);
            for (uint64_t c = 0; c < kChunks; c++)
                fill_chunk(x.part, c, m, 0);
            std::vector<uint8_t> disk(kPartStart + kMachinePart);
            auto mbr = sim::make_mbr({{kPartStart / 512, kMachinePart / 512}});
            memcpy(disk.data(), mbr.data(), mbr.size());
            memcpy(disk.data() + kPartStart, x.part.data(), x.part.size());
            write_file(x.image, disk);
        }
        // Eight machines booting at once.
        for (unsigned m = 0; m < kMachines; m++)
            machines[m].serve = std::make_unique<Child>(
                kestrel({"serve", "--disk", machines[m].image, "--socket", machines[m].socket}),
                tmp / ("serve" + std::to_string(m) + ".out"));
        for (Machine& x : machines) {
            std::string error, info;
            while (info.empty() && x.serve->running()) {
                if (auto t = agent::SocketTransport::connect(x.socket, &error))
                    info = t->info();
                if (info.empty())
                    usleep(20000);
            }
            ASSERT_FALSE(info.empty()) << x.serve->output();
            nlohmann::json devices = nlohmann::json::parse(info)["devices"];
            for (const nlohmann::json& d : devices)
                if (d["partition"] == 1)
                    x.nbd = "nbd+unix:///" + d["name"].get<std::string>() + "?socket=" + d["nbd"].get<std::string>();
            ASSERT_FALSE(x.nbd.empty()) << info;
        }
    }

    void TearDown() override
    {
        for (Machine& x : machines)
            if (x.serve) {
                EXPECT_EQ(x.serve->end(SIGTERM), 0) << x.serve->output();
                x.serve.reset();
            }
        unsetenv("KESTREL_PASSWORD");
    }

    // Eight backups at once, and `beside` (a gc, a verify) started among them: each
    // backup's result object, checked to have succeeded.
    std::vector<nlohmann::json> BackUpAll(unsigned round, std::vector<std::vector<std::string>> beside,
                                          std::vector<int>& beside_codes)
    {
        std::vector<std::unique_ptr<Child>> backups, others;
        for (unsigned m = 0; m < kMachines; m++) {
            backups.push_back(std::make_unique<Child>(
                kestrel({"backup", "--json", "--server", machines[m].socket, "--partition", "1", "--repo", repo,
                         "--wait-lock", "10m"}),
                tmp / ("backup" + std::to_string(round) + "-" + std::to_string(m) + ".out")));
            if (m == kMachines / 2)
                for (size_t i = 0; i < beside.size(); i++)
                    others.push_back(std::make_unique<Child>(
                        beside[i], tmp / ("beside" + std::to_string(round) + "-" + std::to_string(i) + ".out")));
        }
        std::vector<nlohmann::json> out;
        for (unsigned m = 0; m < kMachines; m++) {
            int code = backups[m]->wait();
            std::string text = backups[m]->output();
            EXPECT_EQ(code, 0) << "machine " << m << ":\n" << text;
            out.push_back(last_json(text));
            EXPECT_EQ(out.back()["ok"], true) << text;
        }
        beside_codes.clear();
        for (auto& o : others) {
            beside_codes.push_back(o->wait());
            beside_output.push_back(o->output());
        }
        return out;
    }

    // Writes generation `gen` of some of machine m's chunks through its NBD export.
    void WriteThroughNbd(unsigned m, unsigned gen)
    {
        Machine& x = machines[m];
        std::string file = tmp / ("new" + std::to_string(m));
        std::string offsets;
        for (uint64_t c = 1; c < kChunks; c++)
            if (c % 3 == 1 || c % 8 == 4) {
                fill_chunk(x.part, c, m, gen);
                offsets += std::to_string(c * kChunk) + ",";
            }
        write_file(file, x.part);
        std::string script = "data = open('" + file + "', 'rb').read()\nfor off in [" + offsets +
                             "]:\n    h.pwrite(data[off:off + " + std::to_string(kChunk) + "], off)\nh.flush()\n";
        // The system's Python, which has the nbd module.
        demo::CheckResult r = demo::run_program({"env", "PATH=/usr/bin:/bin", "nbdsh", "-u", x.nbd, "-c", script});
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }

    void ExpectRestores(const std::string& id, const std::vector<uint8_t>& want, const std::string& name)
    {
        std::string target = tmp / name;
        demo::CheckResult r =
            demo::run_program(kestrel({"restore", "--repo", repo, "--backup", id, "--to", target}));
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(read_file(target) == want) << id << " differs from its machine's snapshot";
        unlink(target.c_str());
    }

    struct Machine {
        std::string image, socket, nbd;
        std::vector<uint8_t> part;  // what partition 1 holds
        std::unique_ptr<Child> serve;
    };
    repo_test::TempDir tmp;
    std::string repo;
    repo_test::S3Sweep sweep;
    Machine machines[kMachines];
    std::vector<std::string> beside_output;
};

TEST_P(MachinesTest, EightMachinesBackUpIntoOneRepositoryAtOnce)
{
    // Round 1: eight first backups into a place where no repository is yet (one of them
    // makes it, encrypted; the others open it), and a gc that does not wait: it finds no
    // repository yet (exit 1), runs before or after them (exit 0) or is refused while they
    // hold the repository (exit 4, "locked").
    std::vector<int> codes;
    std::vector<std::vector<uint8_t>> first_parts;
    for (const Machine& x : machines)
        first_parts.push_back(x.part);
    std::vector<nlohmann::json> first = BackUpAll(1, {kestrel({"gc", "--repo", repo})}, codes);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_TRUE(codes[0] == 0 || codes[0] == 1 || codes[0] == 4) << beside_output[0];
    if (codes[0] == 4) {
        EXPECT_NE(beside_output[0].find("lock"), std::string::npos) << beside_output[0];
    }
    if (codes[0] == 1) {
        EXPECT_NE(beside_output[0].find("no repository"), std::string::npos) << beside_output[0];
    }
    for (const nlohmann::json& b : first)
        EXPECT_EQ(b["incremental"], false) << b;

    // NBD clients write to every machine; then eight incrementals at once (the chunks every
    // fourth position now holds are new and the same on every machine), with a gc that
    // waits for them and a verify beside them.
    for (unsigned m = 0; m < kMachines; m++)
        WriteThroughNbd(m, 1);
    std::vector<nlohmann::json> second =
        BackUpAll(2, {kestrel({"gc", "--repo", repo, "--wait-lock", "10m"}),
                      kestrel({"verify", "--repo", repo, "--wait-lock", "10m"})},
                  codes);
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[0], 0) << beside_output[1];
    EXPECT_EQ(codes[1], 0) << beside_output[2];
    for (unsigned m = 0; m < kMachines; m++) {
        EXPECT_EQ(second[m]["incremental"], true) << second[m];
        EXPECT_EQ(second[m]["parent_id"], first[m]["backup_id"]) << second[m];
    }

    demo::CheckResult verify = demo::run_program(kestrel({"verify", "--repo", repo}));
    EXPECT_EQ(verify.exit_code, 0) << verify.output;
    for (unsigned m = 0; m < kMachines; m++) {
        SCOPED_TRACE("machine " + std::to_string(m));
        ExpectRestores(first[m]["backup_id"], first_parts[m], "first.img");
        ExpectRestores(second[m]["backup_id"], machines[m].part, "second.img");
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, MachinesTest, ::testing::Values("local", "s3"),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace kestrel_test
