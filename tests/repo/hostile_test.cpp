// Repository files written by someone hostile: every reader refuses them as damage naming
// the file, before it allocates or indexes by what they claim, and nothing but the
// repository's own error ever comes out.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

constexpr uint32_t kChunk = 16384;

std::string sealed(const std::string& body)
{
    return body + "\nsha256:" +
           repo::to_hex(repo::format::sha256({reinterpret_cast<const uint8_t*>(body.data()), body.size()})) + "\n";
}

std::string sealed_index(std::string body)
{
    repo::Digest d = repo::format::sha256({reinterpret_cast<const uint8_t*>(body.data()), body.size()});
    return body + std::string(reinterpret_cast<const char*>(d.data()), 32);
}

class HostileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", kChunk, 1); // chunk files, which these tests damage
        r = repo::Repository::open(env, "/repo");
        dev = random_device(4096, 30, 0.8, 2);
        id = write_backup(*r, dev);
        manifest_path = "/repo/backups/" + id + ".manifest";
        index_path = "/repo/backups/" + id + ".index";
        std::string m = env.peek(manifest_path);
        manifest = nlohmann::json::parse(m.substr(0, m.find('\n')));
    }

    // What every reader of backup `id` does with the repository as it is now: each refuses
    // with damage naming `path` (whose message holds `what`), or (`may_pass`) reads it.
    void ExpectRefused(const std::string& path, const std::string& what, bool may_pass = false)
    {
        SCOPED_TRACE(what);
        auto check = [&](const char* reader, const std::function<void()>& f) {
            try {
                f();
                EXPECT_TRUE(may_pass) << reader << " accepted it";
            } catch (const Error& e) {
                if (may_pass && e.kind() == Error::Kind::Invalid)
                    return; // a sound backup of a device that holds no file system
                EXPECT_EQ(e.kind(), Error::Kind::Damaged) << reader << ": " << e.what();
                EXPECT_EQ(e.path(), path) << reader << ": " << e.what();
                EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << reader << ": " << e.what();
            }
        };
        if (path == manifest_path)
            check("manifest", [&] { r->manifest(id); });
        check("ls", [&] { r->ls(id, "/"); });
        check("reader", [&] {
            std::vector<uint8_t> block(4096);
            r->reader(id)->read(0, 1, block.data());
        });
        check("restore", [&] { r->restore(id, "/image"); });
        EXPECT_EQ(env.exists("/image"), may_pass);
        if (may_pass)
            env.remove("/image");
        EXPECT_NO_THROW(r->list());
        repo::VerifyReport rep = r->verify(std::nullopt);
        if (!may_pass) {
            ASSERT_FALSE(rep.clean());
            EXPECT_EQ(rep.damage[0].path, path);
        }
    }

    void put_manifest(const nlohmann::json& j) { env.poke(manifest_path, sealed(j.dump())); }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string id, manifest_path, index_path;
    nlohmann::json manifest;
};

TEST_F(HostileTest, ConfigOfWrongTypesSizesOrNestingIsDamageNamingIt)
{
    std::string sound = env.peek("/repo/config");
    nlohmann::json good = nlohmann::json::parse(sound);
    auto with = [&](const char* key, const nlohmann::json& v) {
        nlohmann::json j = good;
        j[key] = v;
        return j.dump();
    };
    std::vector<std::string> damaged = {
        R"({"format": 1})", "not json", "", "[]", with("version", "1"), with("version", -1), with("version", 1.5),
        with("chunk_bytes", "65536"), with("chunk_bytes", -4096), with("chunk_bytes", 4097),
        with("chunk_bytes", 1ull << 40), with("hash", 256), with("compression", nullptr),
        std::string(5000, '[') + std::string(5000, ']'), sound + std::string(100000, ' '),
    };
    for (const std::string& text : damaged) {
        env.poke("/repo/config", text);
        try {
            repo::Repository::open(env, "/repo");
            ADD_FAILURE() << "opened with the config " << text.substr(0, 80);
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
            EXPECT_EQ(e.path(), "/repo/config");
        }
    }
    // Well-formed, but not ours to read: another format or version.
    for (const std::string& text : {with("format", "other"), with("version", 3), with("hash", "md5")}) {
        env.poke("/repo/config", text);
        try {
            repo::Repository::open(env, "/repo");
            ADD_FAILURE() << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Format) << e.what();
        }
    }
}

TEST_F(HostileTest, ManifestFieldOfAnyOtherTypeIsDamage)
{
    const std::vector<nlohmann::json> values = {"text", -1, 1.5, true, nullptr, nlohmann::json::array(),
                                                nlohmann::json::object(), 1ull << 63};
    auto try_each = [&](nlohmann::json& where, const std::string& key) {
        nlohmann::json keep = where[key];
        for (const nlohmann::json& v : values) {
            if (v == keep)
                continue;
            // A value of the field's own type may be sound; any other must be refused.
            bool may_pass = v.type() == keep.type() || (key == "snapshot_time" && v.is_number_integer()) ||
                            (key == "parent" && v.is_string());
            where[key] = v;
            put_manifest(manifest);
            try {
                r->manifest(id);
                EXPECT_TRUE(may_pass) << key << " = " << v.dump();
            } catch (const Error& e) {
                EXPECT_EQ(e.kind(), Error::Kind::Damaged) << key << " = " << v.dump() << ": " << e.what();
                EXPECT_EQ(e.path(), manifest_path);
            }
            EXPECT_NO_THROW(r->list()) << key;
        }
        where[key] = keep;
    };
    for (auto& [key, v] : manifest.items())
        if (key != "counts")
            try_each(manifest, key);
    for (auto& [key, v] : manifest["counts"].items())
        try_each(manifest["counts"], key);
    put_manifest(nlohmann::json{{"format", 1}});
    ExpectRefused(manifest_path, "manifest has a bad \"format\"");
    put_manifest(nlohmann::json::parse(std::string(100, '[') + std::string(100, ']')));
    ExpectRefused(manifest_path, "manifest does not parse");
}

// Host and tags are printed and filtered on: a name that could forge a line or a column, an
// overlong one, or a flood of tags is damage. A manifest written before they were recorded
// reads as of an unknown host, untagged.
TEST_F(HostileTest, ManifestHostAndTagsAreCheckedAndMayBeAbsent)
{
    manifest.erase("host");
    manifest.erase("tags");
    put_manifest(manifest);
    repo::Manifest m = r->manifest(id);
    EXPECT_EQ(m.host, "");
    EXPECT_TRUE(m.tags.empty());

    manifest["host"] = "db-1.example";
    manifest["tags"] = {"daily", "app:web"};
    put_manifest(manifest);
    m = r->manifest(id);
    EXPECT_EQ(m.host, "db-1.example");
    EXPECT_EQ(m.tags, (std::vector<std::string>{"daily", "app:web"}));

    const std::vector<std::pair<const char*, nlohmann::json>> bad = {
        {"host", "a\nb"}, {"host", "a b"}, {"host", std::string(254, 'h')}, {"host", "h\x1b[2J"},
        {"tags", {"ok", ""}}, {"tags", {"a,b"}}, {"tags", {"x\ty"}}, {"tags", {std::string(65, 't')}},
        {"tags", {1}}, {"tags", nlohmann::json(std::vector<std::string>(65, "t"))}, {"tags", "daily"}};
    for (const auto& [key, value] : bad) {
        nlohmann::json j = manifest;
        j[key] = value;
        put_manifest(j);
        try {
            r->manifest(id);
            ADD_FAILURE() << key << " = " << value.dump() << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
            EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
        }
        EXPECT_TRUE(r->list().empty()) << "a damaged manifest is not listed";
    }
}

TEST_F(HostileTest, ManifestGeometryMustFitTheRepositorysChunks)
{
    // Claims that would size every chunk buffer by the manifest alone: larger chunks, a
    // block size that does not divide them, a device beyond any file offset.
    std::vector<std::pair<const char*, nlohmann::json>> claims = {
        {"chunk_blocks", 65536}, {"chunk_blocks", 1}, {"block_size", 4097}, {"block_size", 256},
        {"block_count", 1ull << 62}, {"unreadable_blocks", nlohmann::json::array({30})},
    };
    for (auto& [key, v] : claims) {
        nlohmann::json m = manifest;
        m[key] = v;
        if (std::string(key) == "block_size")
            m["chunk_blocks"] = kChunk / v.get<uint32_t>();
        put_manifest(m);
        ExpectRefused(manifest_path, "manifest");
    }
}

TEST_F(HostileTest, IndexHeadersThatWouldWrapTheirSizes)
{
    std::string sound = env.peek(index_path);
    std::string body = sound.substr(0, sound.size() - 32);
    auto header = [&](uint64_t block_count, uint32_t chunk_blocks, uint64_t chunks) {
        std::string h = body.substr(0, 40);
        for (int i = 0; i < 4; i++)
            h[16 + i] = static_cast<char>(chunk_blocks >> (8 * i));
        for (int i = 0; i < 8; i++) {
            h[24 + i] = static_cast<char>(block_count >> (8 * i));
            h[32 + i] = static_cast<char>(chunks >> (8 * i));
        }
        return h;
    };
    // A block count near 2^64 wraps "count + chunk_blocks - 1" to a few chunks and "count + 7"
    // to a small map: a 72-byte file would pass for the whole device.
    for (auto [count, per, chunks] : {std::tuple{~0ull, 4u, 0ull}, {~0ull - 2, 4u, 0ull}, {~0ull, 1u, 0ull},
                                      {1ull << 61, 4u, 1ull << 59}, {30ull, 0u, 8ull}}) {
        std::string file = sealed_index(header(count, per, chunks));
        EXPECT_THROW(repo::format::decode_index(file, "ix"), Error) << count;
        // Written with a manifest that agrees, as whoever wrote one could write the other.
        nlohmann::json m = manifest;
        m["block_count"] = count;
        m["chunk_blocks"] = per;
        m["index_sha256"] = repo::to_hex(
            repo::format::sha256({reinterpret_cast<const uint8_t*>(file.data()), file.size()}));
        env.poke(index_path, file);
        put_manifest(m);
        ExpectRefused(manifest_path, "geometry");
    }
    // Reserved bytes set, under a sound checksum.
    std::string reserved = body;
    reserved[20] = 1;
    env.poke(index_path, sealed_index(reserved));
    manifest["index_sha256"] = repo::to_hex(repo::format::sha256(
        {reinterpret_cast<const uint8_t*>(sealed_index(reserved).data()), sealed_index(reserved).size()}));
    put_manifest(manifest);
    ExpectRefused(index_path, "index header damaged");
    // Longer than its geometry allows: refused before it is read.
    env.poke(index_path, sound + std::string(1 << 20, 'x'));
    ExpectRefused(index_path, "index has trailing bytes");
}

TEST_F(HostileTest, ChunkHeadersAndSizesAreCheckedBeforeUse)
{
    auto ix = repo::format::decode_index(env.peek(index_path), "");
    std::string hex = repo::to_hex(ix.digests[0]);
    std::string path = "/repo/chunks/" + hex.substr(0, 2) + "/" + hex;
    std::string sound = env.peek(path);
    for (size_t at : {6, 7, 20, 23}) {
        std::string bad = sound;
        bad[at] = 1;
        env.poke(path, bad);
        ExpectRefused(path, "reserved");
    }
    env.poke(path, sound + std::string(kChunk + 1, '\0'));
    ExpectRefused(path, "chunk is too large");
    env.poke(path, sound);
    ExpectRefused(path, "", true);
}

} // namespace
