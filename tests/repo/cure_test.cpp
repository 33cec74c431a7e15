// Damage a user can cure: a damaged manifest is listed as damaged and can be forgotten, a
// stray directory does not stop the repository, a damaged config is damage, and a backup
// that has the data of a damaged or missing chunk stores it again.
#include <gtest/gtest.h>

#include "repo/pack.h"
#include "tests/support/fault_env.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

class CureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 16384, 1); // chunk files, which these tests damage
        r = repo::Repository::open(env, "/repo");
        a = write_backup(*r, dev);
        BackupPlan plan;
        plan.source = "other";
        plan.snapshot_time += 10;
        b = write_backup(*r, other, plan);
    }
    Error::Kind open_error()
    {
        try {
            repo::Repository::open(env, "/repo");
        } catch (const Error& e) {
            return e.kind();
        }
        return Error::Kind::Crashed; // stands for "no error"
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev = random_device(4096, 32, 0.9, 61);
    Device other = random_device(4096, 32, 0.9, 62);
    std::string a, b;
};

TEST_F(CureTest, ADamagedManifestIsListedAndForgetRemovesIt)
{
    env.poke("/repo/backups/" + a + ".manifest", "{\"format\": \"kestrel-manif");
    std::vector<repo::Damage> damaged;
    std::vector<repo::Manifest> listed = r->list(damaged);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].id, b);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].backups, std::vector<std::string>{a});
    EXPECT_EQ(damaged[0].path, "/repo/backups/" + a + ".manifest");
    EXPECT_THROW(r->gc(), Error) << "gc cannot know what the damaged backup needs";

    // Every id is checked before anything goes.
    EXPECT_THROW(r->forget_ids({a, "20990101-000000-000000-00"}), Error);
    EXPECT_THROW(r->forget_ids({"../config"}), Error);
    EXPECT_TRUE(env.exists("/repo/backups/" + a + ".manifest"));
    repo::ForgetResult dry = r->forget_ids({a}, true);
    EXPECT_EQ(dry.forgotten, std::vector<std::string>{a});
    EXPECT_EQ(dry.kept, std::vector<std::string>{b});
    EXPECT_TRUE(env.exists("/repo/backups/" + a + ".manifest"));

    r->forget_ids({a});
    EXPECT_FALSE(env.exists("/repo/backups/" + a + ".manifest"));
    EXPECT_FALSE(env.exists("/repo/backups/" + a + ".index"));
    damaged.clear();
    EXPECT_EQ(r->list(damaged).size(), 1u);
    EXPECT_TRUE(damaged.empty());
    EXPECT_GT(r->gc().chunks_removed, 0u);
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    EXPECT_TRUE(restore_image(*r, env, b, "/image") == other.expected_image());
}

TEST_F(CureTest, AStrayDirectoryNamedLikeAManifestStopsNothing)
{
    env.mkdir("/repo/backups/x.manifest");
    env.mkdir("/repo/backups/y.index");
    EXPECT_EQ(r->list().size(), 2u);
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    EXPECT_NO_THROW(r->gc());
    EXPECT_THROW(r->forget_ids({"x"}), Error);
    EXPECT_TRUE(restore_image(*r, env, a, "/image") == dev.expected_image());
}

TEST_F(CureTest, ADamagedConfigIsDamageAndAForeignOneIsNot)
{
    std::string good = env.peek("/repo/config");
    for (std::string text : {std::string("{\"format\": \"kestrel-repo"), std::string(""), good.substr(0, good.size() / 2),
                             std::string("{\"format\": \"kestrel-repository\", \"version\": 1, \"chunk_bytes\": 5}")}) {
        env.poke("/repo/config", text);
        EXPECT_EQ(open_error(), Error::Kind::Damaged) << text;
    }
    for (std::string text : {std::string("{\"format\": \"something-else\", \"version\": 1}"),
                             std::string("{\"format\": \"kestrel-repository\", \"version\": 99}")}) {
        env.poke("/repo/config", text);
        EXPECT_EQ(open_error(), Error::Kind::Format) << text;
    }
    env.poke("/repo/config", good);
    EXPECT_EQ(open_error(), Error::Kind::Crashed);
}

TEST_F(CureTest, AnIncrementalOnADamagedParentChunkSaysHowToCureIt)
{
    for (const std::string& sub : env.list("/repo/chunks"))
        for (const std::string& name : env.list("/repo/chunks/" + sub)) {
            std::string path = "/repo/chunks/" + sub + "/" + name;
            std::string data = env.peek(path);
            data[data.size() - 1] ^= 0x40;
            env.poke(path, data);
        }
    // A block whose chunk (4 blocks) has other used blocks, which the incremental keeps.
    uint64_t b0 = 0;
    while (!dev.used[b0] || !dev.used[b0 ^ 1])
        b0++;
    dev.write(b0, 77);
    BackupPlan plan;
    plan.parent = a;
    plan.changed = {b0};
    plan.snapshot_time += 100;
    try {
        write_backup(*r, dev, plan);
        ADD_FAILURE() << "an incremental built on damage";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
        EXPECT_NE(std::string(e.what()).find("--full"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(a), std::string::npos) << e.what();
    }
    EXPECT_EQ(r->list().size(), 2u);
}

// A backup that reads back what it reuses stores a damaged or missing chunk again: in packs,
// the new copy sits beside the damaged one, readers take whichever reads back sound, and gc
// keeps the sound one (packs sort by name, so with a damaged blob in every pack some damaged
// copy sorts before its new copy); in chunk files, the file is replaced.
TEST(StoredAgain, ABackupWithTheDataStoresDamagedAndMissingChunksAgain)
{
    for (uint32_t version : {2u, 1u}) {
        SCOPED_TRACE("version " + std::to_string(version));
        repo::FaultEnv env;
        repo::Repository::init(env, "/repo", 8192, version, 64u << 10);
        auto r = repo::Repository::open(env, "/repo");
        Device dev = random_device(4096, 800, 1.0, 70);
        std::string first = write_backup(*r, dev);

        std::vector<std::string> files;
        if (version == 2) {
            for (const repo::ObjectInfo& o : r->store().list("data"))
                files.push_back("/repo/" + o.name);
        } else {
            for (const std::string& sub : env.list("/repo/chunks"))
                for (const std::string& name : env.list("/repo/chunks/" + sub))
                    files.push_back("/repo/chunks/" + sub + "/" + name);
        }
        ASSERT_GE(files.size(), 4u);
        // A byte of the first blob of every pack (or of every other chunk file) flipped, and
        // one pack (chunk file) gone.
        for (size_t i = 1; i < files.size(); i += version == 2 ? 1 : 2) {
            std::string data = env.peek(files[i]);
            data[40] ^= 0x10;
            env.poke(files[i], data);
        }
        env.remove(files[0]);
        ASSERT_FALSE(r->verify(std::nullopt).clean());

        BackupPlan plan;
        plan.snapshot_time += 10;
        plan.check_all_reused = true;
        std::string cure = write_backup(*r, dev, plan);
        repo::BackupCounts c = r->manifest(cure).counts;
        EXPECT_GE(c.chunks_stored_again, files.size() / (version == 2 ? 1 : 2));
        // Everything else was reused. (Without an index, a missing chunk file is a new chunk.)
        EXPECT_LE(c.chunks_new, c.chunks_stored_again + (version == 1 ? 1 : 0));
        EXPECT_TRUE(r->verify(cure).clean());
        // Also when only looked up: a chunk is stored while some pack holding a copy exists.
        repo::VerifyOptions lookup_only;
        lookup_only.read.percent = 0.01;
        EXPECT_TRUE(repo::Repository::open(env, "/repo")->verify(cure, {}, lookup_only).clean());
        EXPECT_TRUE(restore_image(*r, env, cure, "/img") == dev.expected_image());
        // The damaged copies are not passed on: a later backup finds sound ones.
        plan.snapshot_time += 10;
        EXPECT_EQ(r->manifest(write_backup(*r, dev, plan)).counts.chunks_stored_again, 0u);

        // The first backup references the same chunks: it reads back sound now too, also
        // after gc, in a process that reads the index afresh, and after it is forgotten.
        for (int round = 0; round < 2; round++) {
            r->gc();
            r = repo::Repository::open(env, "/repo");
            EXPECT_TRUE(r->verify(std::nullopt).clean()) << round;
            EXPECT_TRUE(restore_image(*r, env, cure, "/img") == dev.expected_image()) << round;
            if (round == 0)
                r->forget_ids({first});
        }
        // Repair sets the damaged copies aside; no chunk is lost while a sound copy is stored.
        repo::RepairReport rep = r->repair();
        EXPECT_TRUE(rep.affected_backups.empty());
        EXPECT_EQ(rep.chunks_lost, 0u);
        EXPECT_TRUE(r->verify(std::nullopt).clean());
    }
}

} // namespace
