// What every store must do, on the local directory always and on an S3 gateway when the
// environment names one (KESTREL_S3_TEST or an s3: KESTREL_REPOSITORY, with AWS_ACCESS_KEY_ID
// and AWS_SECRET_ACCESS_KEY). With KESTREL_REQUIRE_S3=1 a missing gateway fails the S3 cases
// instead of skipping them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "repo/backend.h"
#include "repo/format.h"
#include "tests/support/fault_env.h"
#include "repo/s3_backend.h"
#include "tests/support/test_store.h"

using repo::Error;

namespace {

using repo_test::s3_required;

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

Error::Kind kind_of(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no error";
    return Error::Kind::Io;
}

class StoreConformance : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "local") {
            env.mkdir("/store");
            store = std::make_unique<repo::LocalBackend>(env, "/store");
            return;
        }
        store = repo_test::s3_test_store("conformance");
        if (!store) {
            if (s3_required())
                FAIL() << "KESTREL_REQUIRE_S3 is set but no S3 gateway is named (KESTREL_S3_TEST)";
            GTEST_SKIP() << "no S3 gateway named (KESTREL_S3_TEST)";
        }
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Backend> store;
};

TEST_P(StoreConformance, ObjectsAreWholeAndRangesEndAtTheEnd)
{
    repo::Backend& b = *store;
    std::string bin;
    for (int i = 0; i < 3 * 256; i++)
        bin += static_cast<char>(i);
    b.save("data/ab/bin", bin);
    b.save("data/ab/empty", "");
    b.save("keys/k1", "first");
    b.save("keys/k1", "second, longer");
    EXPECT_EQ(b.load("data/ab/bin"), bin);
    EXPECT_EQ(b.load("data/ab/empty"), "");
    EXPECT_EQ(b.load("keys/k1"), "second, longer") << "a save replaces the object whole";
    EXPECT_EQ(b.stat("data/ab/bin"), bin.size());
    EXPECT_EQ(b.stat("data/ab/empty"), 0u);
    EXPECT_FALSE(b.stat("data/ab/none"));

    EXPECT_EQ(b.load_range("data/ab/bin", 250, 10), bin.substr(250, 10));
    EXPECT_EQ(b.load_range("data/ab/bin", 760, 100), bin.substr(760)) << "short at the end";
    EXPECT_EQ(b.load_range("data/ab/bin", 0, UINT64_MAX), bin) << "a length to the end of all numbers";
    EXPECT_EQ(b.load_range("data/ab/bin", bin.size(), 5), "");
    EXPECT_EQ(b.load_range("data/ab/bin", bin.size() + 100, 5), "");
    EXPECT_EQ(b.load_range("data/ab/bin", 3, 0), "");
    EXPECT_EQ(b.load_range("data/ab/empty", 0, 10), "");

    EXPECT_EQ(kind_of([&] { b.load("data/ab/none"); }), Error::Kind::NotFound);
    EXPECT_EQ(kind_of([&] { b.load_range("data/ab/none", 0, 10); }), Error::Kind::NotFound);
    EXPECT_EQ(kind_of([&] { b.load_range("data/ab/none", 0, 0); }), Error::Kind::NotFound);
    b.remove("keys/k1");
    b.remove("keys/k1"); // gone already: no error
    EXPECT_FALSE(b.stat("keys/k1"));
    for (std::string bad : {"../x", "a//b", "/abs", ".hidden", "a/./b", "a/", "", "a b", "a?b", "a%2fb"})
        EXPECT_EQ(kind_of([&] { b.save(bad, "x"); }), Error::Kind::Invalid) << bad;
    b.remove("data/ab/bin");
    b.remove("data/ab/empty");
}

// An object saved with its SHA-256 reads back as any other. S3 signs the digest given, so the
// gateway refuses a save whose digest is not the data's, and stores nothing under the name.
TEST_P(StoreConformance, SaveWithTheDigestGiven)
{
    repo::Backend& b = *store;
    const std::string data = random_bytes(300000, 5);
    const repo::Digest d = repo::format::sha256({reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    b.save_hashed("data/cd/hashed", data, d);
    EXPECT_EQ(b.load("data/cd/hashed"), data);
    if (GetParam() == "s3") {
        repo::Digest wrong = d;
        wrong[0] ^= 1;
        EXPECT_THROW(b.save_hashed("data/cd/wrong", data, wrong), Error);
        EXPECT_FALSE(b.stat("data/cd/wrong"));
        EXPECT_THROW(b.save_hashed("data/cd/hashed", "other bytes", d), Error);
        EXPECT_EQ(b.load("data/cd/hashed"), data) << "a refused save leaves the object as it was";
    }
    b.remove("data/cd/hashed");
}

// Listing sees exactly the objects under the prefix and its subfolders, with their sizes,
// however many pages the store sends them in.
TEST_P(StoreConformance, ListingSeesExactlyThePrefix)
{
    repo::Backend& b = *store;
    b.save("data/ab/ab01", "12345");
    b.save("data/cd/cd02", "");
    b.save("database/x", "not under data/");
    b.save("dat", "nor this");
    std::vector<std::string> many;
    for (int i = 0; i < 23; i++) {
        many.push_back("many/" + std::to_string(100 + i));
        b.save(many.back(), std::string(i, 'm'));
    }
    auto listed = b.list("data");
    std::sort(listed.begin(), listed.end(), [](auto& x, auto& y) { return x.name < y.name; });
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "data/ab/ab01");
    EXPECT_EQ(listed[0].size, 5u);
    EXPECT_EQ(listed[1].name, "data/cd/cd02");
    EXPECT_EQ(listed[1].size, 0u);
    EXPECT_EQ(repo_test::object_names(b, "many"), many);
    EXPECT_EQ(repo_test::object_names(b, "data/ab"), std::vector<std::string>{"data/ab/ab01"});
    EXPECT_TRUE(repo_test::object_names(b, "nothing").empty());
    EXPECT_TRUE(repo_test::object_names(b, "da").empty());
    for (const auto& n : many)
        b.remove(n);
    EXPECT_TRUE(repo_test::object_names(b, "many").empty());
    for (const char* n : {"data/ab/ab01", "data/cd/cd02", "database/x", "dat"})
        b.remove(n);
}

// Objects larger than a part (on S3 they go up in parts) come back byte for byte, whole and
// in ranges across part boundaries, and can be replaced by small ones.
TEST_P(StoreConformance, LargeObjects)
{
    repo::Backend& b = *store;
    std::string big = random_bytes((11u << 20) + 123, 7);
    b.save("packs/big", big);
    EXPECT_EQ(b.stat("packs/big"), big.size());
    EXPECT_TRUE(b.load("packs/big") == big);
    uint64_t boundary = 5u << 20;
    EXPECT_TRUE(b.load_range("packs/big", boundary - 10, 20) == big.substr(boundary - 10, 20));
    EXPECT_TRUE(b.load_range("packs/big", big.size() - 50, 100) == big.substr(big.size() - 50));
    b.save("packs/big", "small now");
    EXPECT_EQ(b.load("packs/big"), "small now");
    b.remove("packs/big");
}

// Threads save, read, list and remove at once; each sees its own objects whole.
TEST_P(StoreConformance, ManyThreadsAtOnce)
{
    repo::Backend& b = *store;
    constexpr int kThreads = 8, kEach = 10;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < kEach; i++) {
                    std::string name = "data/t" + std::to_string(t) + "/o" + std::to_string(i);
                    std::string data = random_bytes(1000 + 37 * i, t * 100 + i);
                    b.save(name, data);
                    if (b.load(name) != data || b.stat(name) != data.size())
                        wrong++;
                    b.list("data");
                }
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                wrong++;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(b.list("data").size(), size_t(kThreads * kEach));
    threads.clear();
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++)
                b.remove("data/t" + std::to_string(t) + "/o" + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    EXPECT_TRUE(b.list("data").empty());
}

// Of several saves of one new name at once exactly one stores its object, whole; the others,
// and every later one, are told it exists and change nothing.
TEST_P(StoreConformance, SaveNewStoresOnlyTheFirst)
{
    repo::Backend& b = *store;
    constexpr int kThreads = 6, kRounds = 4;
    for (int round = 0; round < kRounds; round++) {
        const std::string name = "keys/new" + std::to_string(round);
        std::atomic<int> stored{-1}, refused{0}, other{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&, t] {
                try {
                    b.save_new(name, random_bytes(300, round * 100 + t));
                    int none = -1;
                    if (!stored.compare_exchange_strong(none, t))
                        other++;  // a second one stored
                } catch (const Error& e) {
                    (e.kind() == Error::Kind::Exists ? refused : other)++;
                }
            });
        for (auto& th : threads)
            th.join();
        ASSERT_GE(stored.load(), 0) << "none stored";
        EXPECT_EQ(other, 0);
        EXPECT_EQ(refused, kThreads - 1);
        EXPECT_EQ(b.load(name), random_bytes(300, round * 100 + stored));
        EXPECT_EQ(kind_of([&] { b.save_new(name, "late"); }), Error::Kind::Exists);
        EXPECT_EQ(b.load(name), random_bytes(300, round * 100 + stored));
        b.remove(name);
    }
    EXPECT_TRUE(b.list("keys").empty());
}

// A repository is made only where nothing is stored yet.
TEST_P(StoreConformance, CreateRefusesAPlaceThatHoldsObjects)
{
    repo::Backend& b = *store;
    b.create();
    b.save("data/ab/x", "x");
    EXPECT_EQ(kind_of([&] { b.create(); }), Error::Kind::Exists);
    b.save("config", "c");
    try {
        b.create();
        ADD_FAILURE() << "created over a repository";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Exists);
        EXPECT_NE(std::string(e.what()).find("a repository exists already"), std::string::npos) << e.what();
    }
    b.remove("config");
    b.remove("data/ab/x");
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreConformance, ::testing::Values("local", "s3"),
                         [](const auto& info) { return info.param; });

// The gateway's refusals as the user reads them.
class S3Gateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        address = repo_test::s3_test_address();
        if (address.empty()) {
            if (s3_required())
                FAIL() << "KESTREL_REQUIRE_S3 is set but no S3 gateway is named (KESTREL_S3_TEST)";
            GTEST_SKIP() << "no S3 gateway named (KESTREL_S3_TEST)";
        }
    }

    std::string message(repo::S3Address a, repo::S3Options o, Error::Kind want)
    {
        o.retry.attempts = 1;
        repo::S3Backend b(a, o);
        try {
            b.load("config");
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), want) << e.what();
            return e.what();
        }
        ADD_FAILURE() << "not refused";
        return "";
    }

    std::string address;
};

TEST_F(S3Gateway, ClearErrors)
{
    repo::S3Address a = repo::parse_s3_address(address);
    repo::S3Options o = repo_test::s3_test_options();

    repo::S3Address missing = a;
    missing.bucket = "no-such-bucket-here";
    std::string m = message(missing, o, Error::Kind::NotFound);
    EXPECT_NE(m.find("bucket \"no-such-bucket-here\" does not exist"), std::string::npos) << m;

    repo::S3Options wrong_secret = o;
    wrong_secret.credentials.secret_key += "x";
    m = message(a, wrong_secret, Error::Kind::Io);
    EXPECT_NE(m.find("AWS_SECRET_ACCESS_KEY"), std::string::npos) << m;

    repo::S3Options unknown_key = o;
    unknown_key.credentials.access_key = "AKNOSUCHKEY000000000";
    m = message(a, unknown_key, Error::Kind::Io);
    EXPECT_NE(m.find("AWS_ACCESS_KEY_ID"), std::string::npos) << m;

    m = message(a, o, Error::Kind::NotFound);
    EXPECT_NE(m.find("no such object"), std::string::npos) << m;
}

// The same store reached as http://BUCKET.localhost:PORT/KEY.
TEST_F(S3Gateway, VirtualHostAddressing)
{
    repo::S3Address a = repo::parse_s3_address(address);
    if (a.host.rfind("127.0.0.1:", 0) == 0)
        a.host = "localhost" + a.host.substr(9);
    a.prefix += (a.prefix.empty() ? "" : "/") + std::string("virtual-host");
    repo::S3Options o = repo_test::s3_test_options();
    o.virtual_host = true;
    repo::S3Backend b(a, o);
    b.save("locks/v1", "virtual");
    EXPECT_EQ(b.load("locks/v1"), "virtual");
    EXPECT_EQ(repo_test::object_names(b, "locks"), std::vector<std::string>{"locks/v1"});
    b.remove("locks/v1");
    EXPECT_FALSE(b.stat("locks/v1"));
}

} // namespace
