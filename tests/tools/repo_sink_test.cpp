// Backups of a disk image's partitions into a repository through the agent: full then
// incremental under writers, each restored exactly as the disk was at its snapshot; every
// reason for a full backup in the report the user reads; failures that leave no backup.
#include <filesystem>
#include <fstream>

// The libraries' headers first: the kernel's (through the fixture) define macros that
// clash with them.
#include "agent/memory_sink.h"
#include "agent/used_blocks.h"
#include "tests/support/fault_env.h"
#include "tools/demo/disk_image.h"
#include "machine/image_session.h"
#include "tools/demo/writers.h"
#include "jobs/disk_backup.h"
#include "jobs/repo_sink.h"

#include "sim/disk.h"
#include "sim/fs.h"
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

namespace fs = std::filesystem;

class RepoSinkTest : public MachineTest {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kestrel-sink-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        d = demo::make_demo_disk(dir, 5, 60, 12 << 20, 4 << 20);
        repo::Repository::init(repo::Env::posix(), dir + "/repo");
        r = repo::Repository::open(repo::Env::posix(), dir + "/repo");
    }
    void TearDown() override
    {
        MachineTest::TearDown();
        fs::remove_all(dir);
    }
    jobs::PartitionBackup BackUp(demo::ImageSession& s, unsigned p, jobs::PartitionBackupOptions o = {})
    {
        return jobs::back_up_partition(s, d.image, p, *r, o);
    }
    // Restores backup id and expects it to equal the recorded disk on every block the
    // file system used at the snapshot, and zeros elsewhere.
    void ExpectRestoresExactly(const std::string& id, const std::vector<uint8_t>& want, uint32_t bs)
    {
        std::string path = dir + "/" + id + ".img";
        r->restore(id, path);
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(got.size(), want.size());
        agent::UsedBlocks used = agent::find_used_blocks(demo::memory_reader(want, bs), bs, want.size() / bs);
        ASSERT_TRUE(used.from_file_system) << used.why_all;
        std::vector<uint8_t> zeros(bs, 0);
        size_t bad = 0;
        for (uint32_t b = 0; b < want.size() / bs; b++) {
            const uint8_t* expect = used.used.test(b) ? want.data() + size_t(b) * bs : zeros.data();
            bad += memcmp(got.data() + size_t(b) * bs, expect, bs) != 0;
        }
        EXPECT_EQ(bad, 0u) << "blocks of backup " << id << " differ from the disk at its snapshot";
        fs::remove(path);
    }

    std::string dir;
    demo::DemoDisk d;
    std::unique_ptr<repo::Repository> r;
};

TEST_F(RepoSinkTest, FullThenIncrementalsUnderWritersRestoreExactly)
{
    std::vector<demo::FileInfo> files = demo::partition_files(d, 0);
    demo::ImageSession s(machine, d.image, {1});
    ASSERT_EQ(sim::record_freezes(machine, s.device(1)), 0);
    demo::FileWriters writers(machine, s.device(1), 4096, files, 7);
    writers.start(2);
    std::vector<jobs::PartitionBackup> done;
    for (int i = 0; i < 3; i++) {
        uint64_t before = writers.writes();
        done.push_back(BackUp(s, 1));
        ASSERT_TRUE(done.back().result.ok()) << done.back().result.error;
        while (writers.writes() < before + 40 && !writers.error())
            std::this_thread::yield();
    }
    writers.stop();
    EXPECT_EQ(writers.error(), 0);
    EXPECT_EQ(s.shutdown(), "");

    EXPECT_FALSE(done[0].result.incremental);
    EXPECT_EQ(done[0].parent, "");
    for (int i = 1; i < 3; i++) {
        EXPECT_TRUE(done[i].result.incremental) << done[i].result.full_reason;
        EXPECT_EQ(done[i].parent, done[i - 1].id);
        EXPECT_LT(done[i].result.delivered_blocks, done[0].result.delivered_blocks);
        EXPECT_EQ(r->manifest(done[i].id).parent, done[i - 1].id);
    }
    // The geometry the manifest records, as docs/repository.md describes it.
    for (const jobs::PartitionBackup& b : done) {
        repo::Manifest m = r->manifest(b.id);
        EXPECT_EQ(m.source.start_sector, 0u);
        EXPECT_EQ(m.source.sector_count, m.source.block_count * m.source.block_size / 512);
    }
    auto records = sim::take_freeze_records(machine, s.device(1));
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; i++)
        ExpectRestoresExactly(done[i].id, records[i], 4096);
    EXPECT_TRUE(r->verify(std::nullopt).clean());
}

TEST_F(RepoSinkTest, EveryReasonForAFullBackupReachesTheReport)
{
    demo::ImageSession s(machine, d.image, {1, 2});
    auto expect_full = [&](jobs::PartitionBackup b, const std::string& why) {
        ASSERT_TRUE(b.result.ok()) << b.result.error;
        EXPECT_FALSE(b.result.incremental);
        EXPECT_NE(jobs::describe(b).find("full, because " + why), std::string::npos) << jobs::describe(b);
        EXPECT_EQ(jobs::to_json(b)["full_reason"], b.result.full_reason);
        EXPECT_NE(b.result.full_reason.find(why), std::string::npos);
        EXPECT_NE(r->manifest(b.id).reason.find(why), std::string::npos);
    };
    expect_full(BackUp(s, 2), "there is no previous backup of the device");
    jobs::PartitionBackupOptions full;
    full.full = true;
    expect_full(BackUp(s, 2, full), "a full backup was asked for");

    // Another agent takes the changes (and a new key) in between.
    agent::MemorySink other;
    agent::BackupJob job;
    job.major = MAJOR(s.device(2));
    job.minor = MINOR(s.device(2));
    ASSERT_TRUE(agent::back_up(s.transport(), job, other).ok());
    expect_full(BackUp(s, 2), "the session key does not match");

    // A backup that switched tracking off leaves no key to present.
    jobs::RepoSink sink(*r, jobs::image_source(d.image, 2), job.major, job.minor);
    job.previous = sink.previous();
    job.no_tracking = true;
    agent::BackupResult off = agent::back_up(s.transport(), job, sink);
    ASSERT_TRUE(off.ok()) << off.error;
    EXPECT_NE(r->manifest(sink.committed_id()).reason.find("change tracking is being switched off"), std::string::npos);
    expect_full(BackUp(s, 2), "the previous backup left no change tracking for the device");

    // The newest backup of the source is of another size.
    repo::SourceInfo src{jobs::image_source(d.image, 1), 0, 800, "raw", 4096, 100};
    auto w = r->begin_backup(src, std::nullopt, 1);
    repo::CommitInfo ci;
    ci.session_key.fill(1);
    w->commit(ci);
    expect_full(BackUp(s, 1), "the device was resized");
    EXPECT_EQ(s.shutdown(), "");
}

TEST_F(RepoSinkTest, AFailedBackupLeavesNoManifestAndTheNextOneWorks)
{
    demo::ImageSession s(machine, d.image, {2});
    // gc holds the repository: the backup is refused before its snapshot, so the change
    // tracking of the previous backup is still there for the next one.
    jobs::PartitionBackup first = BackUp(s, 2);
    ASSERT_TRUE(first.result.ok()) << first.result.error;
    for (int i = 0; i < 2; i++) {
        auto gc = r->lock(repo::LockMode::Exclusive, "gc");
        try {
            BackUp(s, 2);
            ADD_FAILURE() << "a backup ran beside gc";
        } catch (const repo::Error& e) {
            EXPECT_EQ(e.kind(), repo::Error::Kind::Locked) << e.what();
            EXPECT_NE(std::string(e.what()).find("locked by gc"), std::string::npos) << e.what();
        }
    }
    jobs::PartitionBackup next = BackUp(s, 2);
    ASSERT_TRUE(next.result.ok()) << next.result.error;
    EXPECT_TRUE(next.result.incremental) << next.result.full_reason;
    EXPECT_EQ(r->list().size(), 2u);

    // The repository's disk fills up while the chunks are written.
    repo::FaultEnv env;
    repo::Repository::init(env, "/full");
    auto small = repo::Repository::open(env, "/full");
    env.set_capacity(env.used_bytes() + (256 << 10));
    jobs::PartitionBackup b = jobs::back_up_partition(s, d.image, 2, *small, {});
    EXPECT_FALSE(b.result.ok());
    EXPECT_FALSE(b.committed());
    EXPECT_NE(b.result.error.find("space"), std::string::npos) << b.result.error;
    EXPECT_TRUE(small->list().empty());

    env.clear_faults();
    env.set_capacity(UINT64_MAX);
    b = jobs::back_up_partition(s, d.image, 2, *small, {});
    EXPECT_TRUE(b.result.ok()) << b.result.error;
    EXPECT_FALSE(b.result.incremental) << "nothing was committed to build on";
    EXPECT_EQ(small->list().size(), 1u);
    EXPECT_TRUE(small->verify(std::nullopt).clean());
    EXPECT_EQ(s.shutdown(), "");
}

} // namespace
} // namespace kestrel_test
