// Version 2 chunk storage: packs read back from their own headers, few files per backup,
// gc that drops and rewrites packs, repair that sets damage aside so the next backup cures
// it, and version 1 repositories still read and written.
#include <gtest/gtest.h>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "repo/pack.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

constexpr uint64_t kPack = 64u << 10;  // the smallest pack size: several packs per backup

class PackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 8192, 2, kPack);
        r = repo::Repository::open(env, "/repo");
    }

    // Every object under `prefix` of the repository's store.
    std::vector<repo::ObjectInfo> Objects(const std::string& prefix) { return r->store().list(prefix); }

    std::string Backup(Device& dev, BackupPlan plan = {})
    {
        std::string id = write_backup(*r, dev, plan);
        images[id] = dev.expected_image();
        return id;
    }

    void ExpectAllRestore()
    {
        for (const repo::Manifest& m : r->list())
            EXPECT_TRUE(restore_image(*r, env, m.id, "/img") == images[m.id]) << m.id;
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    std::map<std::string, std::vector<uint8_t>> images;
};

TEST(PackFormat, HeadersAndIndexesRoundTripAndRejectDamage)
{
    std::vector<repo::pack::BlobEntry> blobs;
    std::string body;
    for (int i = 0; i < 3; i++) {
        repo::pack::BlobEntry b;
        b.id[0] = static_cast<uint8_t>(i + 1);
        b.type = i == 2 ? repo::pack::BlobType::Tree : repo::pack::BlobType::Data;
        b.offset = body.size();
        b.length = 10 + i;
        b.raw_length = 100;
        body.append(b.length, char('a' + i));
        blobs.push_back(b);
    }
    const auto& seal = repo::pack::identity_seal();
    std::string header = repo::pack::encode_pack_header(blobs);
    std::string pack = body + header;
    for (int i = 0; i < 4; i++)
        pack.push_back(static_cast<char>(header.size() >> (8 * i)));
    auto back = repo::pack::decode_pack_header(pack, "p", seal);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[2].type, repo::pack::BlobType::Tree);
    EXPECT_EQ(back[1].offset, 10u);
    EXPECT_EQ(back[1].id, blobs[1].id);

    // Every single-byte change of the header or its length is found; so is a cut pack.
    for (size_t at = body.size(); at < pack.size(); at++) {
        std::string bad = pack;
        bad[at] ^= 0x01;
        EXPECT_THROW(repo::pack::decode_pack_header(bad, "p", seal), Error) << at;
    }
    EXPECT_THROW(repo::pack::decode_pack_header(pack.substr(1), "p", seal), Error);
    EXPECT_THROW(repo::pack::decode_pack_header("", "p", seal), Error);

    repo::pack::PackEntry p{{}, blobs};
    std::string ix = repo::pack::encode_index({p, p});
    EXPECT_EQ(repo::pack::decode_index(ix, "i").size(), 2u);
    for (size_t cut = 0; cut < ix.size(); cut += 7)
        EXPECT_THROW(repo::pack::decode_index(ix.substr(0, cut), "i"), Error) << cut;
}

TEST_F(PackTest, BackupsFillPacksAndTheIndexFromFewObjects)
{
    Device dev = random_device(4096, 400, 0.9, 5);
    std::string full = Backup(dev);
    auto packs = Objects("data"), indexes = Objects("index");
    // 200 chunks of 8 KiB in packs of 64 KiB: each pack holds several chunks.
    EXPECT_GE(packs.size(), 5u);
    EXPECT_LE(packs.size(), 40u);
    EXPECT_EQ(indexes.size(), 1u);
    EXPECT_FALSE(env.exists("/repo/chunks"));
    for (const auto& p : packs)
        EXPECT_LE(p.size, kPack + 16384) << p.name;

    // An incremental stores only what changed, in a new pack with its own index object.
    dev.write(7, 99);
    BackupPlan plan;
    plan.parent = full;
    plan.changed = {7};
    std::string inc = Backup(dev, plan);
    EXPECT_EQ(r->manifest(inc).counts.chunks_new, 1u);
    EXPECT_EQ(Objects("data").size(), packs.size() + 1);
    EXPECT_EQ(Objects("index").size(), 2u);
    // The same data again stores nothing, through a fresh repository object too.
    r = repo::Repository::open(env, "/repo");
    plan.parent = inc;
    plan.changed = {7};
    EXPECT_EQ(r->manifest(Backup(dev, plan)).counts.chunks_new, 0u);
    ExpectAllRestore();
    EXPECT_TRUE(r->verify(std::nullopt).clean());
}

TEST_F(PackTest, GcDropsDeadPacksRewritesSparseOnesAndKeepsEveryLiveChunk)
{
    Device dev = random_device(4096, 400, 1.0, 6);
    std::string full = Backup(dev);
    // The second backup changes most blocks: most of the first backup's packs die.
    BackupPlan plan;
    plan.parent = full;
    for (uint64_t b = 0; b < 400; b++)
        if (b % 10) {
            dev.write(b, 1000 + b);
            plan.changed.insert(b);
        }
    Backup(dev, plan);
    r->forget({1, 0, 0, 0});
    repo::GcResult g = r->gc();
    EXPECT_GT(g.packs_removed + g.packs_repacked, 0u);
    EXPECT_GT(g.chunks_removed, 0u);
    EXPECT_EQ(Objects("index").size(), 1u) << "gc writes one index of what it keeps";
    images.erase(full);
    ExpectAllRestore();
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    // A second gc finds nothing more to do.
    repo::GcResult again = r->gc();
    EXPECT_EQ(again.packs_removed + again.packs_repacked + again.chunks_removed, 0u);

    // Forgetting everything empties the store.
    r->forget_ids({r->list()[0].id});
    r->gc();
    EXPECT_TRUE(Objects("data").empty());
    EXPECT_TRUE(Objects("index").empty());
}

TEST_F(PackTest, PacksNoIndexListsAreLeftoversGcRemoves)
{
    Device dev = random_device(4096, 64, 1.0, 7);
    Backup(dev);
    r->store().save("data/ab/ab" + std::string(62, '0'), "leftover of a writer that died");
    repo::GcResult g = r->gc();
    EXPECT_EQ(g.other_files_removed, 1u);
    EXPECT_EQ(Objects("data").size(), Objects("data").size());
    ExpectAllRestore();
}

TEST_F(PackTest, RepairSetsDamageAsideListsTheBackupsAndTheNextBackupCuresIt)
{
    Device dev = random_device(4096, 200, 1.0, 8);
    std::string full = Backup(dev);
    auto packs = Objects("data");
    ASSERT_GE(packs.size(), 3u);
    // One pack loses a byte in its first blob, another goes altogether.
    std::string p0 = "/repo/" + packs[0].name, p1 = "/repo/" + packs[1].name;
    std::string data = env.peek(p0);
    data[30] ^= 0x40;
    env.poke(p0, data);
    env.remove(p1);

    repo::VerifyReport v = r->verify(std::nullopt);
    ASSERT_FALSE(v.clean());
    EXPECT_EQ(v.damaged_backups(), std::vector<std::string>{full});

    repo::RepairReport rep = r->repair();
    EXPECT_EQ(rep.affected_backups, std::vector<std::string>{full});
    EXPECT_GE(rep.damage.size(), 2u);
    EXPECT_GT(rep.chunks_lost, 1u);
    EXPECT_TRUE(env.exists("/repo/damaged/" + packs[0].name)) << "damaged objects are kept aside";
    EXPECT_FALSE(env.exists(p0));
    // The sound chunks of the damaged pack are still stored: only what was damaged is lost.
    EXPECT_LT(rep.chunks_lost, 200u);

    // A full backup of the same data stores the lost chunks again; then everything is sound.
    // What was lost may hold pieces of the backup's map too: those are stored again as map
    // pieces (counted with the whole new map), the rest as chunks.
    std::string cure = Backup(dev);
    repo::BackupCounts c = r->manifest(cure).counts;
    EXPECT_LE(c.chunks_new, rep.chunks_lost);
    EXPECT_GE(c.chunks_new + c.map_pieces_new, rep.chunks_lost);
    EXPECT_TRUE(r->repair().affected_backups.empty());
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    ExpectAllRestore();
}

TEST_F(PackTest, ADamagedIndexObjectIsRebuiltFromThePacks)
{
    Device dev = random_device(4096, 100, 1.0, 9);
    Backup(dev);
    auto ix = Objects("index");
    ASSERT_EQ(ix.size(), 1u);
    env.poke("/repo/" + ix[0].name, "garbage");
    r = repo::Repository::open(env, "/repo");
    EXPECT_FALSE(r->verify(std::nullopt).clean()) << "a damaged index object is damage";
    repo::RepairReport rep = r->repair();
    EXPECT_TRUE(rep.affected_backups.empty());
    EXPECT_EQ(rep.chunks_lost, 0u);
    ASSERT_EQ(rep.damage.size(), 1u);
    EXPECT_TRUE(env.exists("/repo/damaged/" + ix[0].name)) << rep.damage[0].path;
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    ExpectAllRestore();
}

TEST(PackVersions, AVersionOneRepositoryIsReadWrittenAndCollectedAsBefore)
{
    repo::FaultEnv env;
    repo::Repository::init(env, "/repo", 8192, 1);
    EXPECT_NE(env.read_file("/repo/config").find("\"version\": 1"), std::string::npos);
    auto r = repo::Repository::open(env, "/repo");
    Device dev = random_device(4096, 64, 1.0, 10);
    std::string a = write_backup(*r, dev);
    auto img = dev.expected_image();
    EXPECT_TRUE(env.is_dir("/repo/chunks"));
    EXPECT_TRUE(r->store().list("data").empty());
    dev.write(3, 77);
    BackupPlan plan;
    plan.parent = a;
    plan.changed = {3};
    std::string b = write_backup(*r, dev, plan);
    r->forget_ids({a});
    EXPECT_EQ(r->gc().chunks_removed, 1u);
    r = repo::Repository::open(env, "/repo");
    EXPECT_TRUE(restore_image(*r, env, b, "/img") == dev.expected_image());
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    EXPECT_TRUE(r->repair().clean());
    EXPECT_THROW(repo::Repository::init(env, "/other", 8192, 3), Error);
}

} // namespace

namespace {

// gc that rewrites packs, and repair, with a crash or an I/O error at each of their file
// operations in turn: afterwards every backup still listed restores exactly, and a repair and
// a backup of the data leave a repository that verifies clean.
TEST(PackFaults, GcAndRepairSurviveAFaultAtEveryOperation)
{
    for (bool crash : {true, false}) {
        for (bool repair : {false, true}) {
            SCOPED_TRACE(std::string(crash ? "crash" : "I/O error") + (repair ? " in repair" : " in gc"));
            for (uint64_t n = 1;; n++) {
                SCOPED_TRACE("fault at operation " + std::to_string(n));
                repo::FaultEnv env;
                repo::Repository::init(env, "/repo", 8192, 2, kPack);
                auto r = repo::Repository::open(env, "/repo");
                Device dev = random_device(4096, 80, 1.0, 12);
                std::string a = write_backup(*r, dev);
                BackupPlan plan;
                plan.parent = a;
                for (uint64_t b = 0; b < 80; b += 2) {
                    dev.write(b, 500 + b);
                    plan.changed.insert(b);
                }
                std::string b = write_backup(*r, dev, plan);
                auto image = dev.expected_image();
                r->forget_ids({a});
                if (repair) {
                    auto packs = r->store().list("data");
                    std::string p = "/repo/" + packs[0].name, data = env.peek(p);
                    data[40] ^= 1;
                    env.poke(p, data);
                }
                crash ? env.crash_at(n) : env.fail_at(n);
                try {
                    repair ? (void)r->repair() : (void)r->gc();
                } catch (const Error& e) {
                    EXPECT_EQ(e.kind(), crash ? Error::Kind::Crashed : Error::Kind::Io) << e.what();
                }
                bool fired = env.fault_fired();
                r.reset();
                crash ? env.restart() : env.clear_faults();
                r = repo::Repository::open(env, "/repo");
                repo::LockOptions after;
                after.alive = [](int64_t) { return false; };
                after.pid = 1 << 30;
                r->set_lock_options(after);
                if (!repair) {
                    EXPECT_TRUE(restore_image(*r, env, b, "/img") == image);
                }
                r->repair();
                write_backup(*r, dev);  // stores again what the damage took
                r->gc();
                EXPECT_TRUE(r->verify(std::nullopt).clean());
                EXPECT_TRUE(restore_image(*r, env, b, "/img") == image);
                if (!fired || HasFailure())
                    break;
            }
        }
    }
}

} // namespace
