// The local directory store: objects whole or not at all, across errors and crashes, and
// listing that sees only finished objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "repo/backend.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_store.h"

using repo::Error;

namespace {

TEST(LocalBackend, SaveLoadRangeStatListRemove)
{
    repo::FaultEnv env;
    env.mkdir("/r");
    repo::LocalBackend b(env, "/r");
    b.save("data/ab/ab01", "hello, world");
    b.save("data/cd/cd02", std::string(100, 'x'));
    b.save("locks/l1", "{}");
    EXPECT_EQ(b.load("data/ab/ab01"), "hello, world");
    EXPECT_EQ(b.load_range("data/ab/ab01", 7, 5), "world");
    EXPECT_EQ(b.load_range("data/ab/ab01", 7, 100), "world") << "short at the end";
    EXPECT_EQ(b.load_range("data/ab/ab01", 50, 5), "");
    EXPECT_EQ(b.stat("data/cd/cd02"), 100u);
    EXPECT_FALSE(b.stat("data/cd/none"));
    EXPECT_EQ(repo_test::object_names(b, "data"), (std::vector<std::string>{"data/ab/ab01", "data/cd/cd02"}));
    EXPECT_EQ(repo_test::object_names(b, "nothing"), std::vector<std::string>{});
    b.save("data/ab/ab01", "replaced");
    EXPECT_EQ(b.load("data/ab/ab01"), "replaced");
    b.remove("locks/l1");
    b.remove("locks/l1"); // gone already: no error
    EXPECT_TRUE(repo_test::object_names(b, "locks").empty());
    try {
        b.load("locks/l1");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::NotFound);
    }
    // Names that could leave the store's directory or hide as temporary files are refused.
    for (std::string bad : {"../x", "a//b", "/abs", ".hidden", "a/./b", "a/", "", "a b"})
        EXPECT_THROW(b.save(bad, "x"), Error) << bad;
}

// A crash or an error at any operation of a save: the object is there whole (when save
// returned, also after the crash) or not at all, and no temporary file is ever listed.
// What is in the directory but is no object: a directory bearing an object's name, and the
// temporary file of a save that was cut short, which only remove_leftovers() touches.
TEST(LocalBackend, DirectoriesAndLeftoversAreNoObjects)
{
    repo::FaultEnv env;
    env.mkdir("/r");
    repo::LocalBackend b(env, "/r");
    b.save("backups/a.manifest", "a");
    env.mkdir("/r/backups/b.manifest");
    env.create("/r/backups/.c.manifest.tmp-123")->append("half", 4);
    EXPECT_FALSE(b.stat("backups/b.manifest"));
    for (auto load : {+[](repo::Backend& s) { s.load("backups/b.manifest"); },
                      +[](repo::Backend& s) { s.load_range("backups/b.manifest", 0, 10); }})
        try {
            load(b);
            ADD_FAILURE() << "a directory loaded as an object";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::NotFound);
        }
    EXPECT_EQ(repo_test::object_names(b, "backups"), std::vector<std::string>{"backups/a.manifest"});
    EXPECT_EQ(b.remove_leftovers("backups"), 1u);
    EXPECT_EQ(b.remove_leftovers("backups"), 0u);
    EXPECT_EQ(b.remove_leftovers("nothing"), 0u);
    EXPECT_EQ(env.list("/r/backups").size(), 2u) << "the object and the directory stay";
}

TEST(LocalBackend, ASaveIsWholeOrAbsentAtEveryFault)
{
    std::string data(5000, 'p');
    for (bool crash : {true, false}) {
        for (uint64_t n = 1;; n++) {
            SCOPED_TRACE(std::string(crash ? "crash" : "error") + " at operation " + std::to_string(n));
            repo::FaultEnv env;
            env.mkdir("/r");
            env.sync_dir("/");
            repo::LocalBackend b(env, "/r");
            b.save("data/00/old", "old");
            if (crash)
                env.crash_at(n);
            else
                env.fail_at(n);
            bool saved = false;
            try {
                b.save("data/01/new", data);
                saved = true;
            } catch (const Error&) {
            }
            bool fired = env.fault_fired();
            if (crash)
                env.restart();
            else
                env.clear_faults();
            std::vector<std::string> listed = repo_test::object_names(b, "data");
            bool present = std::count(listed.begin(), listed.end(), "data/01/new") != 0;
            if (saved) {
                EXPECT_TRUE(present);
            }
            if (present) {
                EXPECT_EQ(b.load("data/01/new"), data);
            }
            EXPECT_EQ(b.load("data/00/old"), "old");
            for (const auto& name : listed)
                EXPECT_TRUE(name == "data/00/old" || name == "data/01/new") << name;
            if (!fired)
                break;
            ASSERT_LT(n, 100u);
        }
    }
}

} // namespace

namespace {

// Reads through windows give exactly what the store holds, from many threads at once; a
// failed read is not remembered, and what the repository rewrites (outside the prefix, or
// saved through the windows) is read afresh.
TEST(ReadAheadBackend, ReadsAreTheStoresAndFailuresAreNotKept)
{
    repo::FaultEnv env;
    env.mkdir("/r");
    auto local = std::make_unique<repo::LocalBackend>(env, "/r");
    repo::LocalBackend& inner = *local;
    repo::ReadAheadBackend ra(std::move(local), "data", 64, 3);
    std::string pack;
    for (int i = 0; i < 1000; i++)
        pack += static_cast<char>(i * 7 + i / 13);
    inner.save("data/p", pack);
    for (uint64_t off = 0; off < 1010; off += 7)
        for (uint64_t len : {1u, 13u, 32u, 33u, 100u})
            ASSERT_EQ(ra.load_range("data/p", off, len), inner.load_range("data/p", off, len)) << off << "+" << len;

    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (unsigned t = 0; t < 4; t++)
        readers.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < 2000; i++) {
                uint64_t off = rng() % 1000, len = 1 + rng() % 32;
                if (ra.load_range("data/p", off, len) != pack.substr(off, len))
                    wrong++;
            }
        });
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(wrong.load(), 0);

    ra.save("data/p", "rewritten");
    EXPECT_EQ(ra.load_range("data/p", 2, 5), "writt");
    EXPECT_THROW(ra.load_range("data/none", 0, 10), Error);
    inner.save("data/none", "now here");
    EXPECT_EQ(ra.load_range("data/none", 4, 4), "here");
    inner.save("config", "a");
    EXPECT_EQ(ra.load_range("config", 0, 1), "a");
    inner.save("config", "b");
    EXPECT_EQ(ra.load_range("config", 0, 1), "b");
}

} // namespace
