// Key files: several passwords open one master key, removal keeps one key that opens it,
// hostile key files are refused before the KDF runs, and a key store survives a crash or an
// I/O error at every file operation of adding a key.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/fault_env.h"
#include "repo/keys.h"

using repo::Error;
using repo::MasterKey;
namespace keys = repo::keys;
using nlohmann::json;

namespace {

// Expects `f` to throw repo::Error of `kind`; returns its text.
template <typename F>
std::string expect_error(Error::Kind kind, F&& f)
{
    try {
        f();
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        return e.what();
    }
    return {};
}


class KeysTest : public ::testing::Test {
protected:
    keys::testing::WeakKdfForTests weak_;
    keys::NewKey cheap_{keys::testing::kCheapKdf, "host-a", "alice", 1'765'000'000};
    keys::MemoryKeyStore store_;
};

TEST_F(KeysTest, SeveralPasswordsOpenOneMasterKey)
{
    auto first = keys::create_first_key(store_, "repo-1", "correct horse", cheap_);
    expect_error(Error::Kind::Exists, [&] { keys::create_first_key(store_, "repo-1", "again", cheap_); });
    std::string second = keys::add_key(store_, "repo-1", first.key, "battery staple", cheap_);
    std::string third = keys::add_key(store_, "repo-1", first.key, "correct horse!", cheap_);
    EXPECT_EQ(store_.files.size(), 3u);

    for (auto [pw, name] : {std::pair{"correct horse", first.name}, {"battery staple", second}, {"correct horse!", third}}) {
        auto u = keys::unlock(store_, "repo-1", pw);
        EXPECT_TRUE(u.key.same_as(first.key)) << pw;
        EXPECT_EQ(u.name, name);
        // It opens what the first key sealed.
        EXPECT_EQ(u.key.open(first.key.seal("data", "chunk"), "chunk"), "data");
    }
    // Only the named key file is tried when a name is given.
    EXPECT_EQ(keys::unlock(store_, "repo-1", "battery staple", second).name, second);
    expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "repo-1", "battery staple", third); });
    expect_error(Error::Kind::NotFound, [&] { keys::unlock(store_, "repo-1", "battery staple", std::string(32, 'e')); });

    std::string msg = expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "repo-1", "Correct horse"); });
    EXPECT_NE(msg.find("wrong password"), std::string::npos);

    // Every key file records what it was made with.
    auto list = keys::list_keys(store_);
    ASSERT_EQ(list.size(), 3u);
    for (auto& k : list) {
        EXPECT_EQ(k.host, "host-a");
        EXPECT_EQ(k.user, "alice");
        EXPECT_EQ(k.created, "2025-12-06T05:46:40Z");
        EXPECT_EQ(k.kdf, keys::testing::kCheapKdf);
        EXPECT_TRUE(k.error.empty());
    }
}

// A key file is bound to its repository: one copied from another repository does not open,
// even with its own password.
TEST_F(KeysTest, KeyFilesOfAnotherRepositoryDoNotOpen)
{
    keys::MemoryKeyStore other;
    keys::create_first_key(other, "repo-2", "shared password", cheap_);
    keys::create_first_key(store_, "repo-1", "mine", cheap_);
    store_.files.insert(other.files.begin(), other.files.end());
    expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "repo-1", "shared password"); });
    EXPECT_NO_THROW(keys::unlock(other, "repo-2", "shared password"));
}

TEST_F(KeysTest, RemovalKeepsAKeyThatOpens)
{
    auto a = keys::create_first_key(store_, "r", "pw-a", cheap_);
    expect_error(Error::Kind::Invalid, [&] { keys::remove_key(store_, a, a.name); });
    std::string b = keys::add_key(store_, "r", a.key, "pw-b", cheap_);
    expect_error(Error::Kind::Invalid, [&] { keys::remove_key(store_, a, a.name); });
    expect_error(Error::Kind::NotFound, [&] { keys::remove_key(store_, a, std::string(32, '0')); });

    // Opened with b, a can go; then b is the last and stays.
    auto ub = keys::unlock(store_, "r", "pw-b");
    keys::remove_key(store_, ub, a.name);
    expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "r", "pw-a"); });
    EXPECT_NO_THROW(keys::unlock(store_, "r", "pw-b"));
    expect_error(Error::Kind::Invalid, [&] { keys::remove_key(store_, a, b); });

    // A damaged key file does not count as a key that opens: b is still the last one, and the
    // damaged one may be removed.
    store_.files[std::string(32, 'd')] = "{ damaged";
    expect_error(Error::Kind::Invalid, [&] { keys::remove_key(store_, a, b); });
    keys::remove_key(store_, ub, std::string(32, 'd'));
    EXPECT_EQ(store_.files.size(), 1u);
}

TEST_F(KeysTest, NewKeysRefuseWeakParametersAndEmptyPasswords)
{
    expect_error(Error::Kind::Invalid, [&] { keys::create_first_key(store_, "r", "", cheap_); });
    keys::NewKey over = cheap_;
    over.kdf = {keys::kMaxKdfOps + 1, 64};
    expect_error(Error::Kind::Invalid, [&] { keys::create_first_key(store_, "r", "pw", over); });
    EXPECT_TRUE(store_.files.empty());
    auto a = keys::create_first_key(store_, "r", "pw", cheap_);
    while (store_.files.size() < keys::kMaxKeyFiles)
        keys::add_key(store_, "r", a.key, "pw", cheap_);
    std::string msg = expect_error(Error::Kind::Invalid, [&] { keys::add_key(store_, "r", a.key, "pw", cheap_); });
    EXPECT_NE(msg.find("64 keys"), std::string::npos);
    // A store with more key files than that was not made by this program.
    store_.files[std::string(32, 'f')] = store_.files.begin()->second;
    expect_error(Error::Kind::Damaged, [&] { keys::unlock(store_, "r", "pw"); });
}

TEST(KeysStandardTest, WeakParametersNeedTheTestAllowance)
{
    keys::MemoryKeyStore store;
    keys::NewKey cheap;
    cheap.kdf = keys::testing::kCheapKdf;
    std::string msg = expect_error(Error::Kind::Invalid, [&] { keys::create_first_key(store, "r", "pw", cheap); });
    EXPECT_NE(msg.find("at least"), std::string::npos);
    EXPECT_TRUE(store.files.empty());
}

// Hostile key files: each is refused as damaged without running a KDF it asks for; beside a
// sound key file, the right password still opens and a wrong one says how many were skipped.
TEST_F(KeysTest, HostileKeyFilesAreRefused)
{
    auto good = keys::create_first_key(store_, "r", "pw", cheap_);
    const json base = json::parse(store_.files[good.name]);
    auto with = [&](const char* pointer, json value) {
        json j = base;
        j[json::json_pointer(pointer)] = std::move(value);
        return j.dump();
    };
    auto without = [&](const char* field) {
        json j = base;
        j.erase(field);
        return j.dump();
    };
    std::vector<std::pair<std::string, std::string>> hostile = {
        {"empty", ""},
        {"not json", "{\"format\": \"kestrel-key\", "},
        {"array", "[1, 2, 3]"},
        {"nested", std::string(20000, '[') + std::string(20000, ']')},
        {"other format", with("/format", "kestrel-manifest")},
        {"newer version", with("/version", 2)},
        {"version as text", with("/version", "1")},
        {"no kdf", without("kdf")},
        {"no wrapped key", without("wrapped")},
        {"no host", without("host")},
        {"scrypt", with("/kdf/algorithm", "scrypt")},
        {"argon2 0x10", with("/kdf/version", 16)},
        {"four lanes", with("/kdf/parallelism", 4)},
        {"negative passes", with("/kdf/ops", -1)},
        {"zero passes", with("/kdf/ops", 0)},
        {"fractional passes", with("/kdf/ops", 1.5)},
        {"a billion passes", with("/kdf/ops", 1000000000)},
        {"a terabyte", with("/kdf/memory_kib", uint64_t(1) << 30)},
        {"2^64 KiB", with("/kdf/memory_kib", UINT64_MAX)},
        {"below the least memory", with("/kdf/memory_kib", 7)},
        {"too much work", with("/kdf/ops", 5)},  // 5 passes over the 1 GiB set next
        {"short salt", with("/kdf/salt", "00ff")},
        {"salt not hex", with("/kdf/salt", std::string(32, 'g'))},
        {"salt with a space", with("/kdf/salt", std::string(30, 'a') + " a")},
        {"short wrapped key", with("/wrapped", std::string(64, '0'))},
        {"long wrapped key", with("/wrapped", base["wrapped"].get<std::string>() + "00")},
        {"wrapped key as number", with("/wrapped", 5)},
    };
    // "too much work": 5 passes over 1 GiB.
    {
        json j = json::parse(hostile[20].second);
        j["kdf"]["memory_kib"] = keys::kMaxKdfMemoryKib;
        hostile[20].second = j.dump();
    }
    for (auto& [what, text] : hostile) {
        SCOPED_TRACE(what);
        expect_error(Error::Kind::Damaged, [&] { keys::parse_key_file(text, "k"); });
    }
    // The bounds themselves are accepted (the KDF is not run here: it would take a gigabyte).
    {
        json j = base;
        j["kdf"]["ops"] = 4;
        j["kdf"]["memory_kib"] = keys::kMaxKdfMemoryKib;
        EXPECT_EQ(keys::parse_key_file(j.dump(), "k").kdf, (keys::KdfParams{4, keys::kMaxKdfMemoryKib}));
    }
    expect_error(Error::Kind::Invalid, [&] {
        keys::derive_key("pw", std::array<uint8_t, 16>{}, {1, keys::kMaxKdfMemoryKib + 1});
    });

    // Beside the sound key: hostile files are named with distinct names in the store.
    int i = 0;
    for (auto& [what, text] : hostile) {
        char name[40];
        snprintf(name, sizeof name, "%032x", ++i);
        store_.files[name] = text;
    }
    store_.files[std::string(32, 'b')] = std::string(keys::kMaxKeyFileBytes + 1, ' ');
    EXPECT_EQ(keys::unlock(store_, "r", "pw").name, good.name);
    std::string msg = expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "r", "nope"); });
    EXPECT_NE(msg.find(std::to_string(hostile.size() + 1) + " damaged key files skipped"), std::string::npos) << msg;
    auto list = keys::list_keys(store_);
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [](auto& k) { return !k.error.empty(); }),
              ptrdiff_t(hostile.size() + 1));

    // With no sound key left, it is damage, not a wrong password.
    store_.files.erase(good.name);
    expect_error(Error::Kind::Damaged, [&] { keys::unlock(store_, "r", "pw"); });
    store_.files.clear();
    store_.files["README"] = "not a key";
    msg = expect_error(Error::Kind::Damaged, [&] { keys::unlock(store_, "r", "pw"); });
    EXPECT_NE(msg.find("no key file"), std::string::npos);
}

// A wrapped key changed in any byte no longer opens: the password seems wrong, nothing else.
TEST_F(KeysTest, TamperedWrappedKeyDoesNotOpen)
{
    auto good = keys::create_first_key(store_, "r", "pw", cheap_);
    auto file = keys::parse_key_file(store_.files[good.name], good.name);
    for (size_t i = 0; i < file.wrapped.size(); i += 7) {
        auto bad = file;
        bad.wrapped[i] ^= 0x20;
        store_.files[good.name] = keys::encode_key_file(bad);
        expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store_, "r", "pw"); });
    }
    store_.files[good.name] = keys::encode_key_file(file);
    EXPECT_NO_THROW(keys::unlock(store_, "r", "pw"));
}

// On the operating system's files: the directory 0700, key files 0600, no file replaced.
TEST_F(KeysTest, DirectoryStoreOnDisk)
{
    auto dir = std::filesystem::temp_directory_path() / ("kestrel-keys-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    repo::LocalBackend objects(repo::Env::posix(), dir.string());
    keys::BackendKeyStore store(objects);
    EXPECT_TRUE(store.list().empty());
    auto a = keys::create_first_key(store, "r", "pw", cheap_);
    struct stat st {};
    ASSERT_EQ(stat((dir / "keys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir / "keys" / a.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    expect_error(Error::Kind::Exists, [&] { store.save(a.name, "other"); });
    expect_error(Error::Kind::Invalid, [&] { store.save("../escape", "x"); });
    expect_error(Error::Kind::Damaged, [&] { store.load(a.name, 10); });
    EXPECT_TRUE(keys::unlock(store, "r", "pw").key.same_as(a.key));
    std::string b = keys::add_key(store, "r", a.key, "pw2", cheap_);
    keys::remove_key(store, a, b);
    expect_error(Error::Kind::NotFound, [&] { store.remove(b); });
    EXPECT_EQ(store.list(), std::vector<std::string>{a.name});
    std::filesystem::remove_all(dir);
}

// Adding a key with a crash or an I/O error at each file operation in turn: afterwards the
// old key opens, every listed key file is sound, and the new one opens when it is listed.
TEST_F(KeysTest, AddingAKeySurvivesAFaultAtEveryOperation)
{
    for (bool crash : {true, false}) {
        for (uint64_t n = 1;; n++) {
            SCOPED_TRACE((crash ? "crash at " : "I/O error at ") + std::to_string(n));
            repo::FaultEnv env;
            env.mkdir("/repo");
            env.sync_dir("/");
            repo::LocalBackend objects(env, "/repo");
            keys::BackendKeyStore store(objects);
            auto first = keys::create_first_key(store, "r", "old", cheap_);
            env.sync_dir("/repo");
            crash ? env.crash_at(n) : env.fail_at(n);
            std::string added;
            try {
                added = keys::add_key(store, "r", first.key, "new", cheap_);
            } catch (const Error& e) {
                EXPECT_EQ(e.kind(), crash ? Error::Kind::Crashed : Error::Kind::Io) << e.what();
            }
            bool fired = env.fault_fired();
            crash ? env.restart() : env.clear_faults();
            EXPECT_TRUE(keys::unlock(store, "r", "old").key.same_as(first.key));
            auto list = keys::list_keys(store);
            for (auto& k : list)
                EXPECT_TRUE(k.error.empty()) << k.name << ": " << k.error;
            if (!added.empty() || list.size() == 2) {
                auto u = keys::unlock(store, "r", "new");
                EXPECT_TRUE(u.key.same_as(first.key));
            } else {
                expect_error(Error::Kind::WrongPassword, [&] { keys::unlock(store, "r", "new"); });
            }
            if (!crash && !added.empty()) {
                EXPECT_EQ(list.size(), 2u);  // reported done is durable
            }
            for (auto& f : env.list("/repo/keys")) {
                if (f[0] == '.') {
                    EXPECT_TRUE(crash) << "temporary file left after an error: " << f;
                }
            }
            if (!fired)
                break;
            ASSERT_LT(n, 100u) << "the sweep does not end";
        }
    }
}

} // namespace
