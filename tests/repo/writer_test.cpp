// Writing backups and reading them back: every backup restores on its own to the device as
// it was, an incremental stores only the chunks that changed, and the writer's contracts.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "tests/support/fault_env.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

constexpr uint32_t kChunk = 32768; // 8 blocks of 4096, 32 of 1024

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", kChunk, 1); // chunk files, which these tests count
        r = repo::Repository::open(env, "/repo");
    }
    std::vector<uint8_t> restored(const std::string& id) { return restore_image(*r, env, id, "/image"); }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
};

TEST_F(WriterTest, FullThenIncrementalsEachRestoreOnTheirOwn)
{
    Device dev = random_device(4096, 200, 0.7, 1);
    std::vector<std::vector<uint8_t>> states{dev.expected_image()};
    std::vector<std::string> ids{write_backup(*r, dev)};
    repo::Manifest full = r->manifest(ids[0]);
    EXPECT_FALSE(full.parent);
    EXPECT_EQ(full.counts.chunks, 25u);
    EXPECT_EQ(full.counts.chunks_new + full.counts.chunks_empty, 25u);

    // Three incrementals, each changing a few blocks in two chunks, one of them a block that
    // was unused before.
    for (uint32_t round = 0; round < 3; round++) {
        BackupPlan plan;
        plan.parent.emplace(ids.back());
        plan.snapshot_time += round + 1;
        uint64_t a = 10 + round, b = 150 + round * 3;
        dev.write(a, 100 + round);
        dev.write(b, 100 + round);
        plan.changed = {a, b};
        ids.push_back(write_backup(*r, dev, plan));
        states.push_back(dev.expected_image());
        repo::Manifest m = r->manifest(ids.back());
        EXPECT_EQ(m.parent, ids[ids.size() - 2]);
        EXPECT_EQ(m.counts.chunks_new, 2u) << "only the two changed chunks are stored";
        EXPECT_EQ(m.counts.blocks_written, 2u);
        EXPECT_EQ(m.counts.chunks_reused + m.counts.chunks_empty + 2, m.counts.chunks);
    }
    for (size_t i = 0; i < ids.size(); i++)
        EXPECT_TRUE(restored(ids[i]) == states[i]) << "backup " << i;
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    EXPECT_EQ(r->latest("test-device")->id, ids.back());
    EXPECT_FALSE(r->latest("another-device"));

    // Snapshots within one second: the latest is still the one taken last.
    for (int i = 0; i < 5; i++) {
        BackupPlan plan;
        plan.parent = ids.back();
        plan.snapshot_time += 10;
        plan.changed = {};
        ids.push_back(write_backup(*r, dev, plan));
        EXPECT_EQ(r->latest("test-device")->id, ids.back()) << i;
    }
}

TEST_F(WriterTest, BlocksThatBecomeUnusedRestoreAsZerosEvenInUnchangedChunks)
{
    Device dev = random_device(1024, 256, 1.0, 2);
    std::string full = write_backup(*r, dev);
    // Free blocks in a chunk where nothing else changed: the parent's chunk holds their old
    // bytes, so it cannot be reused as it is.
    dev.release(40);
    dev.release(41);
    BackupPlan plan;
    plan.parent = full;
    std::string inc = write_backup(*r, dev, plan);
    std::vector<uint8_t> img = restored(inc);
    EXPECT_TRUE(img == dev.expected_image());
    EXPECT_EQ(r->manifest(inc).counts.chunks_new, 1u);
    EXPECT_EQ(r->manifest(inc).counts.blocks_unused, 2u);
    // And the other way: a block used again later comes from the new data, not the parent.
    dev.write(40, 9);
    plan.parent = inc;
    plan.changed = {40};
    EXPECT_TRUE(restored(write_backup(*r, dev, plan)) == dev.expected_image());
}

TEST_F(WriterTest, SameContentsAreStoredOnce)
{
    Device dev(4096, 64);
    for (uint64_t b = 0; b < 64; b++) {
        dev.write(b, 5);
        memset(dev.block(b), 0x42, 4096); // every chunk identical
    }
    std::string id = write_backup(*r, dev);
    repo::Manifest m = r->manifest(id);
    EXPECT_EQ(m.counts.chunks_new, 1u);
    EXPECT_EQ(env.list("/repo/chunks").size(), 1u);
    // A second full backup of the same device stores nothing new.
    BackupPlan plan;
    plan.source = "other";
    EXPECT_EQ(r->manifest(write_backup(*r, dev, plan)).counts.chunks_new, 0u);
    EXPECT_TRUE(restored(id) == dev.expected_image());
}

TEST_F(WriterTest, KeepRangesAndPartialLastChunk)
{
    // 203 blocks: the last chunk has 3 of its 8 blocks.
    Device dev = random_device(4096, 203, 1.0, 3);
    std::string full = write_backup(*r, dev);
    dev.write(201, 77);
    auto w = r->begin_backup({"test-device", 0, 0, "raw", 4096, 203}, full, 2);
    w->keep(0, 201);
    w->put(201, std::span(dev.block(201), 4096));
    w->keep(202, 1);
    std::string id = w->commit({});
    EXPECT_TRUE(restored(id) == dev.expected_image());
    EXPECT_EQ(r->manifest(id).counts.chunks_new, 1u);
    EXPECT_EQ(r->manifest(id).counts.chunks_reused, 25u);
}

TEST_F(WriterTest, ContractBreachesAreRefusedAndLeaveNothing)
{
    Device dev = random_device(4096, 32, 1.0, 4);
    std::string full = write_backup(*r, dev);
    std::vector<uint8_t> block(4096, 1), small(100, 1);
    repo::SourceInfo src{"test-device", 0, 0, "raw", 4096, 32};
    {
        auto w = r->begin_backup(src, std::nullopt, 1);
        w->put(5, block);
        EXPECT_THROW(w->put(5, block), Error) << "the same block twice";
    }
    {
        auto w = r->begin_backup(src, std::nullopt, 1);
        EXPECT_THROW(w->put(32, block), Error) << "beyond the device";
    }
    {
        auto w = r->begin_backup(src, std::nullopt, 1);
        EXPECT_THROW(w->put(1, small), Error) << "not a block";
    }
    {
        auto w = r->begin_backup(src, std::nullopt, 1);
        EXPECT_THROW(w->keep(0, 1), Error) << "keep without a parent";
    }
    repo::SourceInfo bigger = src;
    bigger.block_count = 64;
    EXPECT_THROW(r->begin_backup(bigger, full, 1), Error) << "parent of another geometry";
    EXPECT_THROW(r->begin_backup(src, std::string("no-such-backup"), 1), Error);
    repo::SourceInfo odd = src;
    odd.block_size = 3000;
    EXPECT_THROW(r->begin_backup(odd, std::nullopt, 1), Error);
    EXPECT_EQ(r->list().size(), 1u);
    // An aborted writer leaves no index or manifest, and the lock is free again.
    {
        auto w = r->begin_backup(src, std::nullopt, 1);
        w->put(0, block);
        w->abort();
    }
    EXPECT_EQ(env.list("/repo/backups").size(), 2u);
    EXPECT_EQ(r->list().size(), 1u);
}

TEST_F(WriterTest, WritersShareTheRepositoryWhileGcAndForgetWait)
{
    Device dev = random_device(4096, 64, 1.0, 6);
    std::string full = write_backup(*r, dev);
    auto w = r->begin_backup({"test-device", 0, 0, "raw", 4096, 64}, full, 2);
    // A second writer goes on beside the first.
    Device other = random_device(4096, 64, 1.0, 7);
    BackupPlan plan;
    plan.source = "other";
    std::string second = write_backup(*r, other, plan);
    for (auto op : {std::function<void()>([&] { r->gc(); }), std::function<void()>([&] { r->forget({1, 0, 0, 0}); })}) {
        try {
            op();
            ADD_FAILURE() << "gc or forget ran beside a backup";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Locked);
            EXPECT_EQ(e.path(), "/repo");
        }
    }
    // Readers are not held up.
    EXPECT_TRUE(restored(full) == dev.expected_image());
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    w->keep(0, 64);
    std::string inc = w->commit({});
    EXPECT_TRUE(restored(inc) == dev.expected_image());
    EXPECT_NO_THROW(r->gc());
    EXPECT_TRUE(restored(second) == other.expected_image());
}

// Many chunks through several workers: the index must put every digest at its position.
TEST_F(WriterTest, WorkersKeepPositions)
{
    Device dev = random_device(1024, 4096, 0.5, 7);
    BackupPlan plan;
    plan.threads = 4;
    std::string id = write_backup(*r, dev, plan);
    EXPECT_TRUE(restored(id) == dev.expected_image());
    auto reader = r->reader(id);
    std::vector<uint8_t> buf(1024 * 50);
    reader->read(1000, 50, buf.data());
    std::vector<uint8_t> want = dev.expected_image();
    EXPECT_EQ(memcmp(buf.data(), want.data() + 1000 * 1024, buf.size()), 0);
    EXPECT_THROW(reader->read(4090, 7, buf.data()), Error);
}

TEST_F(WriterTest, RestoreRefusesAnExistingTargetAndUnknownBackups)
{
    Device dev = random_device(4096, 16, 1.0, 8);
    std::string id = write_backup(*r, dev);
    env.create("/image")->append("keep me", 7);
    try {
        r->restore(id, "/image");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Exists);
    }
    EXPECT_EQ(env.peek("/image"), "keep me");
    try {
        r->restore("20990101-000000-000000", "/other");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound);
    }
    EXPECT_THROW(r->manifest("../config"), Error);
    EXPECT_FALSE(env.exists("/other"));
}

TEST_F(WriterTest, OpenRefusesMissingAndForeignRepositories)
{
    try {
        repo::Repository::open(env, "/nothing");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound);
        EXPECT_EQ(e.path(), "/nothing/config");
    }
    std::string config = env.peek("/repo/config");
    size_t at = config.find("\"version\": 1");
    ASSERT_NE(at, std::string::npos);
    env.poke("/repo/config", config.replace(at, 12, "\"version\": 3"));
    try {
        repo::Repository::open(env, "/repo");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Format);
        EXPECT_NE(std::string(e.what()).find("version 3"), std::string::npos) << e.what();
    }
    EXPECT_THROW(repo::Repository::init(env, "/repo"), Error) << "init over a repository";
}

} // namespace

namespace {

// Readers run beside the writer: whatever they list is complete and restores exactly, while
// backups are committed and gc runs between them.
TEST_F(WriterTest, ReadersBesideTheWriterOnlySeeCompleteBackups)
{
    Device dev = random_device(1024, 512, 0.9, 9);
    std::mutex mu;
    std::map<std::string, std::vector<uint8_t>> images; // guarded by mu
    std::atomic<bool> done{false};
    std::atomic<int> checked{0};

    auto write_all = [&] {
        std::string parent;
        for (uint32_t i = 0; i < 12; i++) {
            BackupPlan plan;
            plan.snapshot_time += i;
            if (!parent.empty()) {
                plan.parent = parent;
                for (uint64_t b = i * 37 % 512; b < 512; b += 97) {
                    dev.write(b, 50 + i);
                    plan.changed.insert(b);
                }
            }
            std::vector<uint8_t> img = dev.expected_image();
            // The image is known before the backup can be listed.
            auto w = r->begin_backup({"test-device", 0, 0, "raw", 1024, 512}, plan.parent, 2);
            {
                std::lock_guard g(mu);
                images[w->id()] = img;
            }
            for (uint64_t b = 0; b < 512; b++) {
                if (!dev.used[b])
                    continue;
                if (plan.parent && !plan.changed.count(b))
                    w->keep(b, 1);
                else
                    w->put(b, std::span(dev.block(b), 1024));
            }
            repo::CommitInfo info;
            info.snapshot_time = plan.snapshot_time; // forget keeps the newest by this
            parent = w->commit(info);
            w.reset();
            if (i % 4 == 3) {
                r->forget({2, 0, 0, 0});
                r->gc();
            }
        }
    };
    // Readers and gc take turns: each waits for the other's lock. (Set before the writer's
    // thread shares the repository.)
    repo::LockOptions waiting;
    waiting.wait = std::chrono::minutes(5);
    waiting.poll = std::chrono::milliseconds(2);
    r->set_lock_options(waiting);
    std::thread writer([&] {
        try {
            write_all();
        } catch (const repo::Error& err) {
            ADD_FAILURE() << err.what();
        }
        done = true;
    });

    repo::FaultEnv& e = env;
    auto reader = repo::Repository::open(e, "/repo");
    reader->set_lock_options(waiting);
    int round = 0;
    while (!done || round < 1) {
        for (const repo::Manifest& m : reader->list()) {
            std::vector<uint8_t> want;
            {
                std::lock_guard g(mu);
                want = images.at(m.id);
            }
            try {
                EXPECT_TRUE(restore_image(*reader, e, m.id, "/image-" + std::to_string(round)) == want) << m.id;
                checked++;
            } catch (const repo::Error& err) {
                // Forgotten and collected between list and restore: the only acceptable failure.
                EXPECT_FALSE(e.exists("/repo/backups/" + m.id + ".manifest")) << err.what();
            }
        }
        round++;
    }
    writer.join();
    EXPECT_GT(checked.load(), 0);
    EXPECT_TRUE(r->verify(std::nullopt).clean());
}

} // namespace
