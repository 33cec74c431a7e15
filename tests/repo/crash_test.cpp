// Crash safety: a crash, an I/O error or a full disk at every file operation of a backup, a
// forget and a gc leaves a repository that verifies clean and restores every backup it
// lists to exactly what was backed up.
#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

#include "tests/support/fault_env.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

// A repository with two backups of one device, and the device as a third backup would see it.
// `version` 2: their maps are trees of pieces.
struct World {
    explicit World(uint32_t version = 1)
    {
        repo::Repository::init(env, "/repo", 16384, version);
        auto r = repo::Repository::open(env, "/repo");
        Device dev = random_device(4096, 48, 0.8, 21);
        BackupPlan plan;
        plan.threads = 1;
        std::string a = write_backup(*r, dev, plan);
        images[a] = dev.expected_image();
        dev.write(3, 22);
        dev.write(30, 22);
        plan.parent = a;
        plan.changed = {3, 30};
        plan.snapshot_time += 86400;
        std::string b = write_backup(*r, dev, plan);
        images[b] = dev.expected_image();
        dev.write(17, 23);
        dev.release(40);
        next = dev;
        next_plan = plan;
        next_plan.parent = b;
        next_plan.changed = {17};
        next_plan.snapshot_time += 86400;
        first = a;
        second = b;
    }

    // The repository after a restart: verify is clean and every listed backup restores to
    // what it held; the ids listed must be among `allowed`.
    void ExpectSound(const std::set<std::string>& allowed)
    {
        auto r = repo::Repository::open(env, "/repo");
        // After the restart the process that crashed is gone: its locks are stale.
        repo::LockOptions after;
        after.pid = getpid() + 1'000'000;
        after.alive = [](int64_t) { return false; };
        r->set_lock_options(after);
        repo::VerifyReport rep = r->verify(std::nullopt);
        for (const auto& d : rep.damage)
            ADD_FAILURE() << d.what << ": " << d.path;
        for (const repo::Manifest& m : r->list()) {
            EXPECT_TRUE(allowed.count(m.id)) << "unexpected backup " << m.id;
            ASSERT_TRUE(images.count(m.id)) << m.id;
            EXPECT_TRUE(restore_image(*r, env, m.id, "/image") == images[m.id]) << m.id;
        }
        // The lock is free and the repository takes the next backup.
        BackupPlan plan = next_plan;
        plan.parent = r->latest("test-device")->id;
        plan.changed = {17, 30, 3};
        EXPECT_NO_THROW(write_backup(*r, next, plan));
    }

    repo::FaultEnv env;
    std::map<std::string, std::vector<uint8_t>> images;
    Device next{4096, 1};
    BackupPlan next_plan;
    std::string first, second;
};

enum class Fault { Crash, IoError };

// Runs `op` with the fault at its 1st, 2nd, ... file operation until it completes without
// reaching the fault. `op` returns the id of a backup it created (or "").
void Sweep(Fault fault, const std::function<std::string(World&, repo::Repository&)>& op,
           const std::function<std::set<std::string>(World&)>& before_after_ids, uint32_t version = 1)
{
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE("fault at operation " + std::to_string(n));
        World w(version);
        auto r = repo::Repository::open(w.env, "/repo");
        if (fault == Fault::Crash)
            w.env.crash_at(n);
        else
            w.env.fail_at(n);
        std::string created;
        bool failed = false;
        try {
            created = op(w, *r);
        } catch (const Error& e) {
            failed = true;
            EXPECT_EQ(e.kind(), fault == Fault::Crash ? Error::Kind::Crashed : Error::Kind::Io) << e.what();
        }
        bool fired = w.env.fault_fired();
        r.reset();
        if (fault == Fault::Crash)
            w.env.restart();
        else
            w.env.clear_faults();
        std::set<std::string> allowed = before_after_ids(w);
        if (!created.empty())
            allowed.insert(created);
        if (fault == Fault::IoError && failed) {
            // An error is reported, and the operation has not half happened: a backup that
            // failed is not listed.
            auto listed = repo::Repository::open(w.env, "/repo")->list();
            for (const auto& m : listed)
                EXPECT_TRUE(w.images.count(m.id)) << m.id;
        }
        w.ExpectSound(allowed);
        if (!fired)
            return; // the operation completed before the fault
        if (n > 5000) {
            ADD_FAILURE() << "the sweep does not end";
            return;
        }
    }
}

std::string incremental(World& w, repo::Repository& r)
{
    std::string id = write_backup(r, w.next, w.next_plan);
    w.images[id] = w.next.expected_image();
    return id;
}

// A backup created while faults fire may be listed after a crash when its manifest was
// durable: its image is recorded before the commit can finish.
std::string incremental_recorded(World& w, repo::Repository& r)
{
    repo::SourceInfo src{"test-device", 0, 0, "raw", 4096, w.next.blocks};
    auto writer = r.begin_backup(src, w.next_plan.parent, 1);
    w.images[writer->id()] = w.next.expected_image();
    for (uint64_t b = 0; b < w.next.blocks; b++) {
        if (!w.next.used[b])
            continue;
        if (w.next_plan.changed.count(b))
            writer->put(b, std::span(w.next.block(b), 4096));
        else
            writer->keep(b, 1);
    }
    repo::CommitInfo info;
    info.snapshot_time = w.next_plan.snapshot_time;
    return writer->commit(info);
}

TEST(CrashTest, BackupSurvivesACrashAtEveryOperation)
{
    Sweep(Fault::Crash, incremental_recorded, [](World& w) {
        std::set<std::string> ids{w.first, w.second};
        for (auto& [id, img] : w.images)
            ids.insert(id);
        return ids;
    });
}

TEST(CrashTest, BackupSurvivesAnIoErrorAtEveryOperation)
{
    Sweep(Fault::IoError, incremental, [](World& w) { return std::set<std::string>{w.first, w.second}; });
}

TEST(CrashTest, ForgetAndGcSurviveACrashAtEveryOperation)
{
    for (Fault f : {Fault::Crash, Fault::IoError}) {
        SCOPED_TRACE(f == Fault::Crash ? "crash" : "I/O error");
        Sweep(f, [](World&, repo::Repository& r) {
            r.forget({1, 0, 0, 0});
            r.gc();
            return std::string();
        }, [](World& w) { return std::set<std::string>{w.first, w.second}; });
    }
}

TEST(CrashTest, TreeBackupsSurviveACrashOrAnIoErrorAtEveryOperation)
{
    auto listed = [](World& w) {
        std::set<std::string> ids{w.first, w.second};
        for (auto& [id, img] : w.images)
            ids.insert(id);
        return ids;
    };
    Sweep(Fault::Crash, incremental_recorded, listed, 2);
    Sweep(Fault::IoError, incremental, [](World& w) { return std::set<std::string>{w.first, w.second}; }, 2);
    for (Fault f : {Fault::Crash, Fault::IoError})
        Sweep(f, [](World&, repo::Repository& r) {
            r.forget({1, 0, 0, 0});
            r.gc();
            return std::string();
        }, [](World& w) { return std::set<std::string>{w.first, w.second}; }, 2);
}

TEST(CrashTest, FullDiskAtEveryPointOfABackup)
{
    World probe;
    uint64_t before = probe.env.used_bytes();
    incremental(probe, *repo::Repository::open(probe.env, "/repo"));
    uint64_t need = probe.env.used_bytes() - before;
    ASSERT_GT(need, 0u);
    for (uint64_t room = 0; room < need; room += std::max<uint64_t>(1, need / 40)) {
        SCOPED_TRACE("room for " + std::to_string(room) + " of " + std::to_string(need) + " bytes");
        World w;
        w.env.set_capacity(w.env.used_bytes() + room);
        auto r = repo::Repository::open(w.env, "/repo");
        try {
            incremental(w, *r);
            ADD_FAILURE() << "a backup fitted into too little space";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::NoSpace) << e.what();
            EXPECT_NE(std::string(e.what()).find("/repo/"), std::string::npos) << e.what();
        }
        w.env.clear_faults();
        EXPECT_EQ(r->list().size(), 2u);
        w.ExpectSound({w.first, w.second});
    }
}

} // namespace
