// verify reading only a share of the chunks: slices by digest that together read everything
// once, random shares of the right size, chunks not read still looked up, for chunk files
// and for packs alike.
#include <gtest/gtest.h>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "repo/pack.h"
#include "tests/support/repo_source.h"

using namespace repo_test;

namespace {

repo::VerifyOptions Subset(const std::string& text)
{
    std::optional<repo::ReadSubset> s = repo::parse_read_subset(text);
    EXPECT_TRUE(s) << text;
    return {s.value_or(repo::ReadSubset{})};
}

TEST(ReadSubset, ParsesSharesAndSlicesAndRefusesTheRest)
{
    for (const char* good : {"100%", "5%", "0.5%", "12.%", "1/1", "3/7", "7/7", "010/10"})
        EXPECT_TRUE(repo::parse_read_subset(good)) << good;
    EXPECT_DOUBLE_EQ(repo::parse_read_subset("2.5%")->percent, 2.5);
    EXPECT_EQ(repo::parse_read_subset("3/7")->slice, 3u);
    EXPECT_EQ(repo::parse_read_subset("3/7")->slices, 7u);
    for (const char* bad : {"", "%", "0%", "0.0%", "100.01%", "101%", "-5%", "+5%", "5", "5 %", " 5%", "1e2%",
                            "nan%", "inf%", ".%", "5%%", "1.2.3%", "0/3", "4/3", "1/0", "0/0", "/", "1/", "/2",
                            "a/b", "1/2/3", "-1/2", "1/-2", "1.5/3", "99999999999/99999999999"})
        EXPECT_FALSE(repo::parse_read_subset(bad)) << '"' << bad << '"';
}

// Parameter: the repository's format version (1: a file per chunk, 2: packs).
class VerifySubsetTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 8192, GetParam(), 64u << 10);
        r = repo::Repository::open(env, "/repo");
        dev = random_device(4096, 120, 1.0, 21);
        full = write_backup(*r, dev);
        dev.write(1, 22);
        BackupPlan plan;
        plan.parent = full;
        plan.changed = {1};
        plan.snapshot_time += 60;
        inc = write_backup(*r, dev, plan);
        all = r->verify(std::nullopt);
        ASSERT_TRUE(all.clean());
        ASSERT_EQ(all.chunks_read, all.chunks_checked);
        ASSERT_GT(all.chunks_checked, 50u);
    }

    // Flips one byte inside one stored data chunk (not metadata), whichever the format.
    void DamageOneChunk()
    {
        if (GetParam() == 1) {
            for (const std::string& dir : env.list("/repo/chunks"))
                for (const std::string& f : env.list("/repo/chunks/" + dir)) {
                    const std::string path = "/repo/chunks/" + dir + "/" + f;
                    std::string data = env.peek(path);
                    data[data.size() / 2] ^= 0x10;
                    env.poke(path, data);
                    return;
                }
        }
        for (const repo::ObjectInfo& o : r->store().list("data")) {
            const std::string path = "/repo/" + o.name;
            std::string data = env.peek(path);
            for (const auto& b : repo::pack::decode_pack_header(data, o.name, repo::pack::identity_seal()))
                if (b.type == repo::pack::BlobType::Data) {
                    data[b.offset + b.length / 2] ^= 0x10;
                    env.poke(path, data);
                    return;
                }
        }
        FAIL() << "no chunk to damage";
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string full, inc;
    repo::VerifyReport all;
};

TEST_P(VerifySubsetTest, SlicesReadEveryChunkOnceAndOnlyTheHoldingSliceFindsDamage)
{
    DamageOneChunk();
    const repo::VerifyReport damaged = r->verify(std::nullopt);
    ASSERT_EQ(damaged.damage.size(), 1u);
    for (uint32_t m : {1u, 3u, 7u}) {
        SCOPED_TRACE(m);
        uint64_t read = 0, bytes = 0, finders = 0;
        for (uint32_t n = 1; n <= m; n++) {
            const std::string slice = std::to_string(n) + "/" + std::to_string(m);
            repo::VerifyReport rep = r->verify(std::nullopt, {}, Subset(slice));
            EXPECT_EQ(rep.chunks_checked, all.chunks_checked) << slice << ": every chunk is looked up";
            EXPECT_EQ(rep.backups_checked, 2u);
            read += rep.chunks_read;
            bytes += rep.bytes_checked;
            if (!rep.clean()) {
                finders++;
                EXPECT_EQ(rep.damage.size(), 1u) << slice;
            }
            // The same slice reads the same chunks on every run.
            EXPECT_EQ(r->verify(std::nullopt, {}, Subset(slice)).chunks_read, rep.chunks_read) << slice;
        }
        EXPECT_EQ(read, all.chunks_checked);
        EXPECT_EQ(bytes, damaged.bytes_checked) << "the damaged chunk's bytes do not count";
        EXPECT_EQ(finders, 1u) << "exactly one slice holds the damaged chunk";
    }
}

TEST_P(VerifySubsetTest, ASharePicksThatManyChunksAndRunsCoverTheRest)
{
    const uint64_t total = all.chunks_checked;
    for (const auto& [text, want] : std::vector<std::pair<std::string, uint64_t>>{
             {"100%", total}, {"50%", (total + 1) / 2}, {"10%", (total + 9) / 10}, {"0.01%", 1}}) {
        repo::VerifyReport rep = r->verify(std::nullopt, {}, Subset(text));
        EXPECT_EQ(rep.chunks_read, want) << text;
        EXPECT_EQ(rep.chunks_checked, total) << text;
        EXPECT_TRUE(rep.clean()) << text;
    }
    // One damaged chunk: a 10% share finds it in some run, and does not find it in others
    // (40 runs each miss it with probability 0.9; all hit or all miss is out of reach).
    DamageOneChunk();
    int found = 0;
    for (int run = 0; run < 40; run++)
        found += !r->verify(std::nullopt, {}, Subset("10%")).clean();
    EXPECT_GT(found, 0);
    EXPECT_LT(found, 40);
}

TEST_P(VerifySubsetTest, AChunkNotReadIsStillFoundMissing)
{
    // A chunk file, or the pack that holds chunks, goes: every run finds it, read or not.
    std::string gone;
    if (GetParam() == 1) {
        const std::string dir = "/repo/chunks/" + env.list("/repo/chunks").at(0);
        gone = dir + "/" + env.list(dir).at(0);
    } else {
        gone = "/repo/" + r->store().list("data").at(0).name;
    }
    env.remove(gone);
    r = repo::Repository::open(env, "/repo");
    for (const char* subset : {"1/5", "2/5", "3/5", "4/5", "5/5", "1%"}) {
        repo::VerifyReport rep = r->verify(std::nullopt, {}, Subset(subset));
        EXPECT_FALSE(rep.clean()) << subset;
        EXPECT_LT(rep.chunks_read, rep.chunks_checked) << subset;
        bool named = false;
        for (const repo::Damage& d : rep.damage)
            named |= d.path == gone;
        EXPECT_TRUE(named) << subset << ": the missing file is named";
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, VerifySubsetTest, ::testing::Values(1, 2),
                         [](const auto& info) { return "v" + std::to_string(info.param); });

} // namespace
