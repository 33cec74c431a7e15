// Forget by retention rules and gc: what is kept, what is freed, and that nothing a kept
// backup needs goes.
#include <gtest/gtest.h>

#include "tests/support/fault_env.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kMonday = 1'700'438'400; // 2023-11-20 00:00 UTC, a Monday

class RetentionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 16384, 1); // chunk files, which these tests damage
        r = repo::Repository::open(env, "/repo");
    }

    // A backup of `source` at `t`, incremental on the source's latest, changing one block.
    std::string Backup(const std::string& source, int64_t t)
    {
        Device& dev = devices.try_emplace(source, random_device(4096, 32, 1.0, 31)).first->second;
        BackupPlan plan;
        plan.source = source;
        plan.snapshot_time = t;
        if (auto last = r->latest(source)) {
            plan.parent = last->id;
            uint64_t b = static_cast<uint64_t>(t / 3600) % 32;
            dev.write(b, static_cast<uint32_t>(t));
            plan.changed = {b};
        }
        std::string id = write_backup(*r, dev, plan);
        images[id] = dev.expected_image();
        times[id] = t;
        return id;
    }

    std::set<int64_t> KeptTimes(const repo::ForgetResult& res)
    {
        std::set<int64_t> out;
        for (const auto& id : res.kept)
            out.insert(times[id]);
        return out;
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    std::map<std::string, Device> devices;
    std::map<std::string, std::vector<uint8_t>> images;
    std::map<std::string, int64_t> times;
};

TEST_F(RetentionTest, RulesKeepTheNewestPerBucketAndPerSource)
{
    // Two backups a day for 20 days, of one source; three of another.
    for (int d = 0; d < 20; d++) {
        Backup("a", kMonday + d * kDay + 3600);
        Backup("a", kMonday + d * kDay + 7200);
    }
    for (int i = 0; i < 3; i++)
        Backup("b", kMonday + i * 3600);

    repo::ForgetResult last = r->forget({3, 0, 0, 0}, true);
    EXPECT_EQ(last.kept.size(), 6u) << "three per source";
    EXPECT_EQ(last.forgotten.size(), 37u);
    EXPECT_EQ(r->list().size(), 43u) << "a dry run forgets nothing";

    repo::RetentionPolicy daily{0, 4, 0, 0};
    std::set<int64_t> kept = KeptTimes(r->forget(daily, true));
    std::set<int64_t> want;
    for (int d = 16; d < 20; d++)
        want.insert(kMonday + d * kDay + 7200); // the last of each of the newest four days
    want.insert(kMonday + 2 * 3600);            // b: one day, its newest
    EXPECT_EQ(kept, want);

    repo::RetentionPolicy weekly{0, 0, 2, 0};
    kept = KeptTimes(r->forget(weekly, true));
    // a spans weeks 0, 1 and 2 (days 0-6, 7-13, 14-19): the newest of weeks 2 and 1.
    EXPECT_EQ(kept, (std::set<int64_t>{kMonday + 19 * kDay + 7200, kMonday + 13 * kDay + 7200,
                                       kMonday + 2 * 3600}));

    repo::RetentionPolicy monthly{0, 0, 0, 1};
    EXPECT_EQ(KeptTimes(r->forget(monthly, true)),
              (std::set<int64_t>{kMonday + 19 * kDay + 7200, kMonday + 2 * 3600}));

    // Rules add up.
    EXPECT_EQ(r->forget({2, 0, 2, 0}, true).kept.size(), 3u + 2u);
    EXPECT_THROW(r->forget({}, true), Error);
}

// Two machines backing up a device of one name keep their own histories; a filter limits
// the rules to the backups it selects and leaves the rest alone, unreported.
TEST_F(RetentionTest, RulesCountPerHostAndAFilterSelectsWhatTheyApplyTo)
{
    Device dev = random_device(4096, 8, 1.0, 5);
    auto backup = [&](const std::string& host, int64_t t, std::vector<std::string> tags = {}) {
        BackupPlan plan;
        plan.source = "sda1";
        plan.host = host;
        plan.tags = std::move(tags);
        plan.snapshot_time = t;
        return write_backup(*r, dev, plan);
    };
    const std::string old_web = backup("web", kMonday), new_web = backup("web", kMonday + 60, {"weekly"});
    const std::string old_db = backup("db", kMonday + 120, {"weekly", "db"}), new_db = backup("db", kMonday + 180);
    const std::string unknown = backup("", kMonday + 240);

    repo::ForgetResult all = r->forget({1, 0, 0, 0}, true);
    EXPECT_EQ(std::set<std::string>(all.kept.begin(), all.kept.end()),
              (std::set<std::string>{new_web, new_db, unknown}));

    repo::BackupFilter web;
    web.host = "web";
    repo::ForgetResult only_web = r->forget({1, 0, 0, 0}, false, web);
    EXPECT_EQ(only_web.kept, std::vector<std::string>{new_web});
    EXPECT_EQ(only_web.forgotten, std::vector<std::string>{old_web});
    EXPECT_EQ(r->list().size(), 4u);

    repo::BackupFilter tagged;
    tagged.tags = {{"weekly", "db"}};
    EXPECT_TRUE(tagged.matches(r->manifest(old_db)));
    EXPECT_FALSE(tagged.matches(r->manifest(new_web))) << "every tag of one alternative";
    tagged.tags.push_back({"weekly"});
    EXPECT_TRUE(tagged.matches(r->manifest(new_web))) << "any alternative";
    repo::ForgetResult by_tag = r->forget({1, 0, 0, 0}, true, tagged);
    EXPECT_EQ(std::set<std::string>(by_tag.kept.begin(), by_tag.kept.end()), (std::set<std::string>{new_web, old_db}));
    EXPECT_TRUE(by_tag.forgotten.empty());
}

TEST_F(RetentionTest, ForgetThenGcFreesOnlyWhatNoKeptBackupUses)
{
    std::vector<std::string> ids;
    for (int i = 0; i < 6; i++)
        ids.push_back(Backup("a", kMonday + i * kDay));
    size_t chunks_before = 0;
    for (const auto& sub : env.list("/repo/chunks"))
        chunks_before += env.list("/repo/chunks/" + sub).size();

    repo::ForgetResult res = r->forget({2, 0, 0, 0});
    EXPECT_EQ(res.forgotten.size(), 4u);
    EXPECT_EQ(r->list().size(), 2u);
    repo::GcResult gc = r->gc();
    EXPECT_GT(gc.chunks_removed, 0u);
    EXPECT_GT(gc.bytes_removed, 0u);
    size_t chunks_after = 0;
    for (const auto& sub : env.list("/repo/chunks"))
        chunks_after += env.list("/repo/chunks/" + sub).size();
    EXPECT_EQ(chunks_after, chunks_before - gc.chunks_removed);
    EXPECT_EQ(chunks_after, gc.chunks_referenced);
    // The kept backups, incrementals whose parents are gone, restore in full.
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    for (const auto& m : r->list())
        EXPECT_TRUE(restore_image(*r, env, m.id, "/image") == images[m.id]);
    // A second gc finds nothing.
    EXPECT_EQ(r->gc().chunks_removed, 0u);
    // The next incremental still finds its parent.
    EXPECT_EQ(r->latest("a")->id, ids.back());
}

TEST_F(RetentionTest, GcRemovesLeftoversOfAbortedWork)
{
    std::string keep = Backup("a", kMonday);
    {
        // A backup cut off before its commit leaves chunks that nothing references: its index
        // and manifest never reached their names. (An aborted writer may leave some too, but
        // it drops the chunks still queued, so how many is a matter of timing.)
        Device other = random_device(4096, 32, 1.0, 99);
        BackupPlan plan;
        plan.source = "b";
        plan.snapshot_time = kMonday;
        std::string cut = write_backup(*r, other, plan);
        env.remove("/repo/backups/" + cut + ".manifest");
        env.remove("/repo/backups/" + cut + ".index");
    }
    env.create("/repo/backups/.x.manifest.tmp-123")->append("half", 4);
    env.create("/repo/backups/20200101-000000-000000.index")->append("orphan", 6);
    repo::GcResult gc = r->gc();
    EXPECT_GT(gc.chunks_removed, 0u);
    EXPECT_EQ(gc.other_files_removed, 2u);
    EXPECT_EQ(env.list("/repo/backups").size(), 2u);
    EXPECT_TRUE(restore_image(*r, env, keep, "/image") == images[keep]);
}

} // namespace
