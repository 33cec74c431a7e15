// Encrypted repositories: a round trip, wrong passwords and foreign key files, every kind of
// stored object tampered with, keys added and removed, private modes, and chunk names that
// do not give away the data's SHA-256.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <atomic>

#include "repo/format.h"
#include "repo/pack.h"
#include "tests/support/fault_env.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

const std::string kPassword = "correct horse";

repo::OpenOptions password(const std::string& pw)
{
    repo::OpenOptions o;
    o.password = [pw] { return pw; };
    return o;
}

repo::keys::NewKey cheap_key()
{
    repo::keys::NewKey k;
    k.kdf = repo::keys::testing::kCheapKdf;
    return k;
}

repo::InitOptions encrypted_init(const std::string& pw)
{
    repo::InitOptions o;
    o.chunk_bytes = 16384;
    o.pack_bytes = 64 * 1024;
    o.password = pw;
    o.kdf = repo::keys::testing::kCheapKdf;
    return o;
}

Error::Kind open_error(repo::Env& env, const std::string& dir, const repo::OpenOptions& o)
{
    try {
        repo::Repository::open(env, dir, o);
    } catch (const Error& e) {
        return e.kind();
    }
    ADD_FAILURE() << "opened";
    return Error::Kind::Io;
}

class EncryptedRepo : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", encrypted_init(kPassword));
        r = repo::Repository::open(env, "/repo", password(kPassword));
        dev = random_device(4096, 48, 0.9, 7);
        full = write_backup(*r, dev);
        dev.write(3, 99);
        BackupPlan plan;
        plan.parent = full;
        plan.changed = {3};
        plan.snapshot_time += 60;
        inc = write_backup(*r, dev, plan);
    }

    // The files of the repository under `prefix`, by path.
    std::vector<std::string> files(const std::string& dir)
    {
        std::vector<std::string> out;
        for (const std::string& n : env.list(dir)) {
            std::string p = dir + "/" + n;
            if (env.is_dir(p)) {
                auto sub = files(p);
                out.insert(out.end(), sub.begin(), sub.end());
            } else {
                out.push_back(p);
            }
        }
        return out;
    }

    repo::MasterKey master_key()
    {
        repo::LocalBackend store(env, "/repo");
        repo::keys::BackendKeyStore ks(store);
        return repo::keys::unlock(ks, repo::format::read_config(env.peek("/repo/config"), "").id, kPassword).key;
    }

    // The first blob of `type` in any pack: its pack's path and the blob's place.
    std::pair<std::string, repo::pack::BlobEntry> find_blob(repo::pack::BlobType type)
    {
        auto seal = repo::pack::key_seal(master_key());
        for (const std::string& p : files("/repo/data"))
            for (const auto& b : repo::pack::decode_pack_header(env.peek(p), p, *seal))
                if (b.type == type)
                    return {p, b};
        ADD_FAILURE() << "no such blob";
        return {};
    }

    // After `damage`, a fresh open or verify reports damage (as such, never anything else),
    // and so does a restore of a backup it names when `restore_fails`; the file is then put
    // back.
    void ExpectDamage(const std::string& what, const std::string& path,
                      const std::function<void(std::string&)>& damage, bool restore_fails = true)
    {
        SCOPED_TRACE(what + ": " + path);
        const std::string original = env.peek(path);
        std::string bad = original;
        damage(bad);
        env.poke(path, bad);
        bool found = false;
        try {
            auto fresh = repo::Repository::open(env, "/repo", password(kPassword));
            repo::VerifyReport rep = fresh->verify(std::nullopt);
            found = !rep.clean();
            if (found && restore_fails) {
                EXPECT_THROW(fresh->restore(rep.damaged_backups().at(0), "/image"), Error);
            }
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
            found = true;
        }
        EXPECT_TRUE(found);
        env.poke(path, original);
    }

    repo::keys::testing::WeakKdfForTests weak;
    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string full, inc;
};

TEST_F(EncryptedRepo, BackupsRestoreAndVerify)
{
    EXPECT_TRUE(r->encrypted());
    EXPECT_TRUE(r->verify(std::nullopt).clean());
    EXPECT_EQ(restore_image(*r, env, inc, "/inc.img"), dev.expected_image());
    // Another process, with the password alone.
    auto again = repo::Repository::open(env, "/repo", password(kPassword));
    EXPECT_EQ(again->list().size(), 2u);
    EXPECT_TRUE(again->verify(std::nullopt).clean());
}

TEST_F(EncryptedRepo, ChunkNamesAreKeyedAndNothingIsPlain)
{
    // No chunk is named by its SHA-256, and neither that digest nor the data appears in any
    // file of the repository.
    std::vector<uint8_t> image = dev.expected_image();
    std::vector<repo::Digest> ids = r->chunks_of(inc);
    ASSERT_FALSE(ids.empty());
    std::vector<std::string> contents;
    for (const std::string& f : files("/repo"))
        contents.push_back(f + "\n" + env.peek(f));
    for (size_t off = 0; off < image.size(); off += 16384) {
        std::span<const uint8_t> chunk(image.data() + off, std::min<size_t>(16384, image.size() - off));
        repo::Digest plain = repo::format::sha256(chunk);
        EXPECT_EQ(std::find(ids.begin(), ids.end(), plain), ids.end());
        std::string hex = repo::to_hex(plain), raw(reinterpret_cast<const char*>(plain.data()), plain.size());
        std::string sample(reinterpret_cast<const char*>(chunk.data()), 64);
        for (const std::string& c : contents) {
            EXPECT_EQ(c.find(hex), std::string::npos);
            EXPECT_EQ(c.find(raw), std::string::npos);
            EXPECT_EQ(c.find(sample), std::string::npos);
        }
    }
}

TEST_F(EncryptedRepo, WrongPasswordsAndForeignKeysDoNotOpen)
{
    EXPECT_EQ(open_error(env, "/repo", password("wrong")), Error::Kind::WrongPassword);
    EXPECT_EQ(open_error(env, "/repo", {}), Error::Kind::Invalid);
    repo::OpenOptions unknown = password(kPassword);
    unknown.key_name = std::string(32, 'a');
    EXPECT_EQ(open_error(env, "/repo", unknown), Error::Kind::NotFound);

    // A key file of another repository, with its own password: bound to that repository.
    repo::Repository::init(env, "/other", encrypted_init("other"));
    for (const std::string& f : files("/other/keys"))
        env.write_file_atomic("/repo/keys/" + f.substr(f.rfind('/') + 1), env.peek(f));
    EXPECT_EQ(open_error(env, "/repo", password("other")), Error::Kind::WrongPassword);
    EXPECT_NO_THROW(repo::Repository::open(env, "/repo", password(kPassword)));
}

TEST_F(EncryptedRepo, TamperedObjectsAreDamage)
{
    auto flip = [](size_t at) { return [at](std::string& s) { s[at % s.size()] ^= 0x20; }; };
    auto [data_pack, data_blob] = find_blob(repo::pack::BlobType::Data);
    ExpectDamage("data blob", data_pack, flip(data_blob.offset + 40));
    auto [tree_pack, tree_blob] = find_blob(repo::pack::BlobType::Tree);
    ExpectDamage("tree piece", tree_pack, flip(tree_blob.offset + 30));
    // The pack header (just before the length at the end): restores do not need it, but
    // repair would rebuild the index from it.
    ExpectDamage("pack header", data_pack, [](std::string& s) { s[s.size() - 10] ^= 1; }, false);
    for (const std::string& f : files("/repo/index"))
        ExpectDamage("index object", f, flip(60));
    ExpectDamage("manifest", "/repo/backups/" + inc + ".manifest", flip(50));
    // One blob put in another's place within its pack (both sealed, both sound) is found.
    ExpectDamage("blobs swapped", data_pack, [&](std::string& s) {
        auto blobs = repo::pack::decode_pack_header(s, "", *repo::pack::key_seal(master_key()));
        ASSERT_GE(blobs.size(), 2u);
        std::string a = s.substr(blobs[0].offset, blobs[0].length), b = s.substr(blobs[1].offset, blobs[1].length);
        if (a.size() == b.size()) {
            s.replace(blobs[0].offset, a.size(), b);
            s.replace(blobs[1].offset, b.size(), a);
        } else {
            s[blobs[1].offset + 5] ^= 1;
        }
    });
    // A manifest moved under another backup's name.
    ExpectDamage("manifest renamed", "/repo/backups/" + inc + ".manifest", [&](std::string& s) { s = env.peek("/repo/backups/" + full + ".manifest"); });
    EXPECT_TRUE(r->verify(std::nullopt).clean());
}

TEST_F(EncryptedRepo, TamperedConfigAndKeyFilesAreDamage)
{
    const std::string config = env.peek("/repo/config");
    auto expect_damaged = [&](const std::string& text, const std::string& what) {
        SCOPED_TRACE(what);
        env.poke("/repo/config", text);
        EXPECT_EQ(open_error(env, "/repo", password(kPassword)), Error::Kind::Damaged);
    };
    nlohmann::json j = nlohmann::json::parse(config);
    nlohmann::json changed = j;
    changed["chunk_bytes"] = 32768;
    expect_damaged(changed.dump(), "a plaintext field changed");
    changed = j;
    std::string sealed = j["sealed"];
    sealed[100] = sealed[100] == '0' ? '1' : '0';
    changed["sealed"] = sealed;
    expect_damaged(changed.dump(), "the sealed copy changed");
    changed = j;
    changed.erase("sealed");
    expect_damaged(changed.dump(), "the sealed copy removed");
    // Claiming no encryption, beside the key files: never taken for a plain repository.
    expect_damaged(repo::format::encode_config(16384, j["id"], 2, 64 * 1024), "encryption removed");
    env.poke("/repo/config", config);

    for (const std::string& f : files("/repo/keys")) {
        std::string key = env.peek(f);
        env.poke(f, key.substr(0, key.size() / 2));
        EXPECT_EQ(open_error(env, "/repo", password(kPassword)), Error::Kind::Damaged);
        env.poke(f, key);
    }
    EXPECT_NO_THROW(repo::Repository::open(env, "/repo", password(kPassword)));
}

TEST_F(EncryptedRepo, KeysAreAddedAndRemoved)
{
    std::string first = r->key_in_use();
    std::string second = r->add_key("second password", cheap_key());
    auto by_second = repo::Repository::open(env, "/repo", password("second password"));
    EXPECT_EQ(by_second->key_in_use(), second);
    EXPECT_EQ(by_second->list().size(), 2u);
    EXPECT_EQ(r->list_keys().size(), 2u);

    auto refused = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const Error& e) {
            return e.kind();
        }
        return Error::Kind::Io;
    };
    EXPECT_EQ(refused([&] { r->remove_key(first); }), Error::Kind::Invalid);  // in use
    EXPECT_EQ(refused([&] { r->remove_key(std::string(32, 'b')); }), Error::Kind::NotFound);
    by_second.reset();
    r->remove_key(second);
    EXPECT_EQ(open_error(env, "/repo", password("second password")), Error::Kind::WrongPassword);
    EXPECT_EQ(r->list_keys().size(), 1u);
    // The last key opens the repository: never removed, whoever asks.
    EXPECT_NE(refused([&] { r->remove_key(first); }), Error::Kind::Io);
    EXPECT_EQ(r->list_keys().size(), 1u);
}

TEST(Encryption, FilesArePrivateOnDisk)
{
    repo::keys::testing::WeakKdfForTests weak;
    TempDir tmp;
    repo::Env& env = repo::Env::posix();
    repo::Repository::init(env, tmp / "repo", encrypted_init(kPassword));
    auto r = repo::Repository::open(env, tmp / "repo", password(kPassword));
    write_backup(*r, random_device(4096, 16, 1.0, 3));
    r->add_key("another", cheap_key());
    r->gc();
    size_t seen = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp / "repo")) {
        struct stat st {};
        ASSERT_EQ(lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << e.path();
        seen++;
    }
    EXPECT_GT(seen, 8u);
}

// A crash at any step of making the repository or adding a key leaves a repository that
// opens with the passwords whose key was made (or no repository at all).
TEST(Encryption, CrashesWhileMakingKeysLoseNoPassword)
{
    repo::keys::testing::WeakKdfForTests weak;
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        repo::FaultEnv env;
        env.crash_at(n);
        bool made = false;
        try {
            repo::Repository::init(env, "/repo", encrypted_init(kPassword));
            made = true;
        } catch (const Error& e) {
            ASSERT_EQ(e.kind(), Error::Kind::Crashed) << e.what();
        }
        env.restart();
        if (made || env.exists("/repo/config"))
            EXPECT_NO_THROW(repo::Repository::open(env, "/repo", password(kPassword)));
        else
            EXPECT_EQ(open_error(env, "/repo", password(kPassword)), Error::Kind::NotFound);
        if (made)
            break;
    }
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        repo::FaultEnv env;
        repo::Repository::init(env, "/repo", encrypted_init(kPassword));
        auto r = repo::Repository::open(env, "/repo", password(kPassword));
        env.crash_at(n);
        bool added = false;
        try {
            r->add_key("second", cheap_key());
            added = true;
        } catch (const Error& e) {
            ASSERT_EQ(e.kind(), Error::Kind::Crashed) << e.what();
        }
        r.reset();
        env.restart();
        EXPECT_NO_THROW(repo::Repository::open(env, "/repo", password(kPassword)));
        if (added) {
            EXPECT_NO_THROW(repo::Repository::open(env, "/repo", password("second")));
            break;
        }
    }
}

// Several machines' first backups make one repository at once: one init stores its config,
// the others are told it exists and leave no key file behind, and every machine opens the
// same repository with the shared password.
TEST(Encryption, InitsOfOnePlaceAtOnceMakeOneRepository)
{
    repo::keys::testing::WeakKdfForTests weak;
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        TempDir tmp;
        const std::string dir = tmp / "repo";
        constexpr int kThreads = 6;
        std::atomic<int> made{0}, exists{0}, other{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&] {
                try {
                    repo::Repository::init(repo::Env::posix(), dir, encrypted_init(kPassword));
                    made++;
                } catch (const Error& e) {
                    (e.kind() == Error::Kind::Exists ? exists : other)++;
                    if (e.kind() != Error::Kind::Exists)
                        ADD_FAILURE() << e.what();
                }
            });
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(made, 1);
        EXPECT_EQ(exists, kThreads - 1);
        auto r = repo::Repository::open(repo::Env::posix(), dir, password(kPassword));
        EXPECT_EQ(r->list_keys().size(), 1u);
        Device dev = random_device(4096, 8, 1.0, 5);
        std::string id = write_backup(*r, dev);
        EXPECT_TRUE(r->verify(id).clean());
    }
}

TEST(Encryption, PlainRepositoriesOpenWithoutAPassword)
{
    repo::FaultEnv env;
    repo::Repository::init(env, "/v2");
    repo::Repository::init(env, "/v1", 16384, 1);
    repo::OpenOptions never;
    never.password = []() -> std::string {
        ADD_FAILURE() << "asked for a password";
        return "x";
    };
    for (const char* dir : {"/v1", "/v2"}) {
        auto r = repo::Repository::open(env, dir, never);
        EXPECT_FALSE(r->encrypted());
        Device dev = random_device(4096, 8, 1.0, 5);
        std::string id = write_backup(*r, dev);
        EXPECT_EQ(restore_image(*r, env, id, std::string(dir) + ".img"), dev.expected_image());
        EXPECT_THROW(r->list_keys(), Error);
    }
    // Encryption needs packs, and a password that is not empty.
    repo::InitOptions v1 = encrypted_init("pw");
    v1.version = 1;
    EXPECT_THROW(repo::Repository::init(env, "/e1", v1), Error);
    EXPECT_THROW(repo::Repository::init(env, "/e2", encrypted_init("")), Error);
    // No weak key outside tests.
    EXPECT_THROW(repo::Repository::init(env, "/e3", encrypted_init("pw")), Error);
}

} // namespace
