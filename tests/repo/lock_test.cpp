// The repository's locks: shared holders beside each other, exclusive ones alone, stale
// leftovers of holders that are gone, locks removed under their holder, and gc beside
// backups and readers whose locks were lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "repo/backend.h"
#include "tests/support/fault_env.h"
#include "repo/lock.h"
#include "tests/support/repo_source.h"
#include "tests/support/test_store.h"

using namespace repo_test;
using repo::Error;
using repo::LockMode;
using repo::RepoLock;

namespace {

// Lock options for tests: no refresher thread, a clock the test moves, and a host of its own.
struct Clock {
    std::shared_ptr<std::atomic<int64_t>> t = std::make_shared<std::atomic<int64_t>>(1'800'000'000);
    repo::LockOptions options(const std::string& host = "host-a", int64_t pid = 100) const
    {
        repo::LockOptions o;
        o.refresh_thread = false;
        o.host = host;
        o.pid = pid;
        o.poll = std::chrono::milliseconds(1);
        auto now = t;
        o.now = [now] { return now->load(); };
        o.alive = [](int64_t) { return true; };
        return o;
    }
    void advance(int64_t secs) { *t += secs; }
};

class LockTest : public ::testing::Test {
protected:
    void SetUp() override { env.mkdir("/repo"); }
    size_t objects() { return store.list("locks").size(); }

    repo::FaultEnv env;
    // The local directory, or a place of its own on the S3 gateway the environment names.
    std::unique_ptr<repo::Backend> s3 = repo_test::s3_test_store("locks");
    repo::LocalBackend local{env, "/repo"};
    repo::Backend& store = s3 ? *s3 : local;
    Clock clock;
};

std::string locked_message(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Locked) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "not refused";
    return "";
}

TEST_F(LockTest, SharedHoldersShareAndExclusiveOnesAreAlone)
{
    auto o = clock.options();
    auto a = RepoLock::acquire(store, LockMode::Shared, "backup", o);
    auto b = RepoLock::acquire(store, LockMode::Shared, "verify", clock.options("host-b", 7));
    EXPECT_EQ(objects(), 2u);
    std::string msg = locked_message([&] { RepoLock::acquire(store, LockMode::Exclusive, "gc", o); });
    EXPECT_NE(msg.find("gc needs it alone"), std::string::npos) << msg;
    EXPECT_NE(msg.find("pid"), std::string::npos) << msg;
    EXPECT_EQ(objects(), 2u) << "a refused taker leaves nothing behind";
    a.reset();
    locked_message([&] { RepoLock::acquire(store, LockMode::Exclusive, "gc", o); });
    b.reset();
    EXPECT_EQ(objects(), 0u);

    auto gc = RepoLock::acquire(store, LockMode::Exclusive, "gc", o);
    msg = locked_message([&] { RepoLock::acquire(store, LockMode::Shared, "backup", clock.options("host-b", 7)); });
    EXPECT_NE(msg.find("locked by gc"), std::string::npos) << msg;
    locked_message([&] { RepoLock::acquire(store, LockMode::Exclusive, "forget", o); });
    EXPECT_TRUE(gc->intact());
}

TEST_F(LockTest, LeftoversOfHoldersThatAreGoneGoStale)
{
    auto o = clock.options();
    // Another host's holder, refreshed now and then, stays in the way however long it runs.
    auto other = RepoLock::acquire(store, LockMode::Shared, "backup", clock.options("host-b", 7));
    for (int i = 0; i < 4; i++) {
        clock.advance(20 * 60);
        other->refresh();
        locked_message([&] { RepoLock::acquire(store, LockMode::Exclusive, "gc", o); });
    }
    // Once it stops refreshing it goes stale, and the next exclusive taker removes it.
    clock.advance(31 * 60);
    auto gc = RepoLock::acquire(store, LockMode::Exclusive, "gc", o);
    EXPECT_EQ(objects(), 1u);
    EXPECT_FALSE(other->intact()) << "a holder whose lock was taken for stale finds out";
    other.reset();
    gc.reset();

    // On this host a holder whose process is gone is stale at once; a live one is not.
    auto mine = RepoLock::acquire(store, LockMode::Exclusive, "gc", clock.options("host-a", 555));
    repo::LockOptions dead = o;
    dead.alive = [](int64_t pid) { return pid != 555; };
    locked_message([&] { RepoLock::acquire(store, LockMode::Shared, "backup", o); });
    EXPECT_NO_THROW(RepoLock::acquire(store, LockMode::Shared, "backup", dead));
    EXPECT_NO_THROW(RepoLock::acquire(store, LockMode::Exclusive, "gc", dead));
    mine.reset();

    // A clock ahead on another host does not make its lock stale, and an unreadable lock
    // object keeps everyone out until unlock removes it.
    store.save("locks/0123abcd", "{\"format\": \"kestrel-lock\", \"version\": 1");
    std::string msg = locked_message([&] { RepoLock::acquire(store, LockMode::Shared, "backup", o); });
    EXPECT_NE(msg.find("unreadable"), std::string::npos) << msg;
    EXPECT_EQ(repo::remove_locks(store, o, false), std::vector<std::string>{"locks/0123abcd"});
    EXPECT_NO_THROW(RepoLock::acquire(store, LockMode::Exclusive, "gc", o));
}

TEST_F(LockTest, ARemovedLockIsNoticedAndStaysLost)
{
    auto o = clock.options();
    auto backup = RepoLock::acquire(store, LockMode::Shared, "backup", o);
    EXPECT_TRUE(backup->intact());
    store.remove(backup->info().name);
    EXPECT_FALSE(backup->still_held());
    EXPECT_FALSE(backup->intact());
    EXPECT_EQ(objects(), 1u) << "the refresh puts the object back for those who come later";
    EXPECT_FALSE(backup->intact()) << "what relied on the lock must still be checked";

    // An exclusive holder whose object went finds the shared holder that came in meanwhile.
    backup.reset();
    auto gc = RepoLock::acquire(store, LockMode::Exclusive, "gc", o);
    store.remove(gc->info().name);
    auto reader = RepoLock::acquire(store, LockMode::Shared, "restore", o);
    EXPECT_FALSE(gc->intact());
}

TEST_F(LockTest, WaitingTakersGetTheLockWhenTheHolderGoes)
{
    auto o = clock.options();
    auto holder = RepoLock::acquire(store, LockMode::Shared, "backup", o);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        holder.reset();
    });
    repo::LockOptions waiting = o;
    waiting.wait = std::chrono::minutes(5);
    EXPECT_NO_THROW(RepoLock::acquire(store, LockMode::Exclusive, "gc", waiting));
    t.join();
}

// Takers racing for the same lock: never two exclusive holders, never a shared one beside
// an exclusive one.
TEST_F(LockTest, RacingTakersNeverHoldTogether)
{
    std::atomic<int> exclusive{0}, shared{0}, rounds{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; i++) {
        threads.emplace_back([&, i] {
            repo::LockOptions o = clock.options("host-" + std::to_string(i), 10 + i);
            o.wait = std::chrono::minutes(5);
            for (int k = 0; k < 15; k++) {
                bool excl = (i + k) % 3 == 0;
                auto l = RepoLock::acquire(store, excl ? LockMode::Exclusive : LockMode::Shared, "t", o);
                if (excl) {
                    EXPECT_EQ(exclusive.fetch_add(1), 0);
                    EXPECT_EQ(shared.load(), 0);
                    std::this_thread::yield();
                    exclusive--;
                } else {
                    shared++;
                    EXPECT_EQ(exclusive.load(), 0);
                    std::this_thread::yield();
                    shared--;
                }
                rounds++;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(rounds.load(), 90);
    EXPECT_EQ(objects(), 0u);
}

// A failure at any file operation of taking or releasing a lock: either the lock is held
// or the error is reported, and nothing is left that would keep the next taker out.
TEST_F(LockTest, AnErrorAtAnyOperationLeavesNothingBehind)
{
    if (s3)
        GTEST_SKIP() << "errors are injected in the local file layer";
    auto o = clock.options();
    for (uint64_t n = 1; n < 200; n++) {
        SCOPED_TRACE("error at operation " + std::to_string(n));
        env.fail_at(n);
        try {
            auto l = RepoLock::acquire(store, LockMode::Exclusive, "gc", o);
            l->intact();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Io) << e.what();
        }
        bool fired = env.fault_fired();
        env.clear_faults();
        EXPECT_NO_THROW(RepoLock::acquire(store, LockMode::Exclusive, "gc", o));
        if (!fired)
            return;
    }
    ADD_FAILURE() << "the sweep does not end";
}

// ---------------------------------------------------------------------------------------
// The repository's operations under the locks.

class RepoLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 16384);
        r = open();
    }
    std::unique_ptr<repo::Repository> open()
    {
        auto repo = repo::Repository::open(env, "/repo");
        repo->set_lock_options(clock.options());
        return repo;
    }
    void remove_all_locks()
    {
        for (const auto& name : env.list("/repo/locks"))
            env.remove("/repo/locks/" + name);
    }
    static std::unique_ptr<repo::BackupWriter> fill(repo::Repository& r, const Device& dev, const std::string& source)
    {
        auto w = r.begin_backup({source, 0, 0, "raw", dev.block_size, dev.blocks}, std::nullopt, 2);
        for (uint64_t b = 0; b < dev.blocks; b++)
            if (dev.used[b])
                w->put(b, std::span(dev.block(b), dev.block_size));
        return w;
    }

    repo::FaultEnv env;
    Clock clock;
    std::unique_ptr<repo::Repository> r;
};

TEST_F(RepoLockTest, BackupsAndReadersShareGcAndForgetWait)
{
    Device dev = random_device(4096, 64, 1.0, 6);
    std::string full = write_backup(*r, dev);
    auto w1 = r->begin_backup({"test-device", 0, 0, "raw", 4096, 64}, full, 2);
    auto other = open();
    auto w2 = fill(*other, dev, "other-device");
    auto reader = other->reader(full);
    EXPECT_EQ(locked_message([&] { open()->gc(); }).find("gc needs it alone") != std::string::npos, true);
    locked_message([&] { open()->forget({1, 0, 0, 0}); });
    EXPECT_TRUE(restore_image(*open(), env, full, "/image") == dev.expected_image());
    EXPECT_TRUE(open()->verify(std::nullopt).clean());
    w1->keep(0, 64);
    std::string inc = w1->commit({});
    std::string second = w2->commit({});
    locked_message([&] { open()->gc(); });
    reader.reset();
    EXPECT_NO_THROW(open()->gc());
    EXPECT_TRUE(restore_image(*r, env, inc, "/image2") == dev.expected_image());
    EXPECT_TRUE(restore_image(*r, env, second, "/image3") == dev.expected_image());

    // And while gc holds the repository, backups, restores and verifies are refused.
    auto gc_lock = r->lock(LockMode::Exclusive, "gc");
    locked_message([&] { fill(*open(), dev, "third"); });
    locked_message([&] { open()->verify(std::nullopt); });
    locked_message([&] { open()->restore(full, "/image4"); });
    EXPECT_FALSE(env.exists("/image4"));
}

// Chunks stored by a backup that is forgotten: referenced by none, there for gc.
std::string forgotten_backup(repo::Repository& r, const Device& dev, const std::string& source = "old")
{
    BackupPlan plan;
    plan.source = source;
    std::string old = write_backup(r, dev, plan);
    plan.snapshot_time += 60;
    write_backup(r, random_device(4096, 8, 1.0, 32), plan);
    EXPECT_EQ(r.forget({1, 0, 0, 0}).forgotten, std::vector<std::string>{old});
    return old;
}

// The lock object of a running backup removed by hand, then gc: gc removes the unreferenced
// chunks the backup found stored and did not write again. The backup must not commit a
// backup that names them.
TEST_F(RepoLockTest, GcThroughARemovedLockCannotHurtARunningBackup)
{
    Device dev = random_device(4096, 64, 1.0, 31);
    forgotten_backup(*r, dev);
    auto w = fill(*r, dev, "test-device");
    remove_all_locks();
    repo::GcResult gc = open()->gc();
    EXPECT_GT(gc.chunks_removed, 0u);
    try {
        w->commit({});
        ADD_FAILURE() << "a backup naming removed chunks was committed";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Locked) << e.what();
        EXPECT_NE(std::string(e.what()).find("lost its lock"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(open()->verify(std::nullopt).clean());
    EXPECT_EQ(r->list().size(), 1u);

    // Without a gc in the gap the lost lock costs nothing: the backup checks and commits.
    auto w2 = fill(*r, dev, "test-device");
    remove_all_locks();
    std::string id = w2->commit({});
    EXPECT_TRUE(restore_image(*r, env, id, "/image") == dev.expected_image());
    EXPECT_TRUE(open()->verify(std::nullopt).clean());
}

// A reader whose lock was removed while forget and gc took what it reads reports the lost
// lock, not damage; gc whose own lock was removed stops once a backup came in beside it.
TEST_F(RepoLockTest, LostLocksAreReportedAsSuchNotAsDamage)
{
    Device dev = random_device(4096, 64, 1.0, 41);
    BackupPlan plan;
    plan.source = "old";
    std::string a = write_backup(*r, dev, plan);
    auto reading = open();
    auto reader = reading->reader(a);
    std::vector<uint8_t> block(4096);
    reader->read(0, 1, block.data());
    remove_all_locks();
    plan.snapshot_time += 60;
    write_backup(*r, random_device(4096, 16, 1.0, 42), plan);
    EXPECT_EQ(r->forget({1, 0, 0, 0}).forgotten, std::vector<std::string>{a});
    open()->gc();
    try {
        reader->read(40, 1, block.data());
        ADD_FAILURE() << "read a removed chunk";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Locked) << e.what();
    }
    reader.reset();

    // gc's own object removed and a backup of the forgotten data started beside it: gc
    // stops at its next check, before it removes what the backup found stored.
    Device dev2 = random_device(4096, 64, 1.0, 43);
    forgotten_backup(*r, dev2, "older");
    auto other = open();
    std::unique_ptr<repo::BackupWriter> w;
    try {
        open()->gc([&](uint64_t done, uint64_t) {
            if (done == 1 && !w) {
                remove_all_locks();
                w = fill(*other, dev2, "new");
            }
        });
        ADD_FAILURE() << "gc went on without its lock";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Locked) << e.what();
    }
    ASSERT_TRUE(w);
    std::string id = w->commit({});
    EXPECT_TRUE(restore_image(*r, env, id, "/image") == dev2.expected_image());
    EXPECT_TRUE(open()->verify(std::nullopt).clean());
}

} // namespace

namespace {

// Several writers, readers and gc at once, each with a repository object of its own, all
// waiting for each other's locks: every backup that commits restores exactly, every read
// either succeeds or finds its backup forgotten, and the repository verifies clean.
TEST(RepoConcurrency, WritersReadersAndGcAtOnce)
{
    repo::FaultEnv env;
    repo::Repository::init(env, "/repo", 8192);
    repo::LockOptions waiting;
    waiting.wait = std::chrono::minutes(5);
    waiting.poll = std::chrono::milliseconds(1);
    auto open = [&] {
        auto r = repo::Repository::open(env, "/repo");
        r->set_lock_options(waiting);
        return r;
    };
    constexpr int kWriters = 3, kRounds = 5;
    std::mutex mu;
    std::map<std::string, std::vector<uint8_t>> images; // guarded by mu
    std::atomic<int> writers_done{0}, restored{0}, gcs{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; w++) {
        threads.emplace_back([&, w] {
            auto r = open();
            // Each writer has a device of its own, with a share of blocks equal across
            // writers so that chunks are shared.
            Device dev = random_device(4096, 40, 0.9, 100 + w);
            for (uint64_t b = 0; b < 8; b++)
                memset(dev.block(b), 0x5a, 4096);
            std::string parent;
            for (int round = 0; round < kRounds; round++) {
                BackupPlan plan;
                plan.source = "machine-" + std::to_string(w);
                plan.snapshot_time += round;
                if (!parent.empty()) {
                    plan.parent = parent;
                    uint64_t b = 8 + (round * 7 + w) % 32;
                    dev.write(b, round * 10 + w);
                    plan.changed = {b};
                }
                try {
                    parent = write_backup(*r, dev, plan);
                } catch (const Error& e) {
                    ADD_FAILURE() << e.what();
                    return;
                }
                std::lock_guard g(mu);
                images[parent] = dev.expected_image();
            }
            writers_done++;
        });
    }
    threads.emplace_back([&] {
        auto r = open();
        while (writers_done < kWriters) {
            r->forget({2, 0, 0, 0});
            r->gc();
            gcs++;
        }
    });
    threads.emplace_back([&] {
        auto r = open();
        int n = 0;
        bool last = false;
        while (!last) {
            last = writers_done == kWriters; // one round more once every writer is done
            for (const repo::Manifest& m : r->list()) {
                std::vector<uint8_t> want;
                {
                    std::lock_guard g(mu);
                    if (!images.count(m.id))
                        continue; // listed before the writer recorded it
                    want = images[m.id];
                }
                try {
                    EXPECT_TRUE(restore_image(*r, env, m.id, "/img-" + std::to_string(n++)) == want) << m.id;
                    restored++;
                } catch (const Error& e) {
                    EXPECT_EQ(e.kind(), Error::Kind::NotFound) << e.what();
                }
            }
        }
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(writers_done.load(), kWriters);
    auto r = open();
    EXPECT_GT(restored.load(), 0);
    r->forget({2, 0, 0, 0});
    r->gc();
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    for (const repo::Manifest& m : r->list())
        EXPECT_TRUE(restore_image(*r, env, m.id, "/final") == images.at(m.id)) << m.id;
    EXPECT_EQ(r->list().size(), size_t(kWriters * 2)) << "gc ran " << gcs << " times";
    EXPECT_TRUE(env.list("/repo/locks").empty());
}

} // namespace
