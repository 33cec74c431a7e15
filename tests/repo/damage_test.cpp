// Damaged repositories: every kind of damage is found by verify, which names every backup it
// affects, and by restore, which fails naming the backup and the file and leaves no image.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "tests/support/repo_source.h"

using namespace repo_test;
using repo::Error;

namespace {

class DamageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        repo::Repository::init(env, "/repo", 16384, 1); // chunk files, which these tests damage
        r = repo::Repository::open(env, "/repo");
        dev = random_device(4096, 40, 1.0, 11);
        full = write_backup(*r, dev);
        dev.write(1, 12); // chunk 0 changes; chunks 1.. are shared by both backups
        BackupPlan plan;
        plan.parent = full;
        plan.changed = {1};
        plan.snapshot_time += 60;
        inc = write_backup(*r, dev, plan);
        ASSERT_TRUE(r->verify(std::nullopt).clean());
    }

    std::string chunk_path(const std::string& id, size_t pos)
    {
        auto ix = repo::format::decode_index(env.peek("/repo/backups/" + id + ".index"), "");
        std::string hex = repo::to_hex(ix.digests[pos]);
        return "/repo/chunks/" + hex.substr(0, 2) + "/" + hex;
    }

    // Damage is reported by verify with exactly `affected`, and restore of each affected
    // backup fails as damage naming it and leaves no image; the others still restore.
    void ExpectDetected(const std::vector<std::string>& affected, const std::string& what)
    {
        SCOPED_TRACE(what);
        repo::VerifyReport rep = r->verify(std::nullopt);
        ASSERT_FALSE(rep.clean());
        std::vector<std::string> want = affected;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(rep.damaged_backups(), want);
        EXPECT_NE(rep.damage[0].what.find(what), std::string::npos) << rep.damage[0].what;
        for (const std::string& id : {full, inc}) {
            bool hurt = std::find(affected.begin(), affected.end(), id) != affected.end();
            if (!hurt) {
                EXPECT_NO_THROW(restore_image(*r, env, id, "/image"));
                continue;
            }
            EXPECT_FALSE(r->verify(id).clean());
            try {
                r->restore(id, "/image");
                ADD_FAILURE() << "restore of a damaged backup succeeded";
            } catch (const Error& e) {
                EXPECT_EQ(e.kind(), Error::Kind::Damaged);
                EXPECT_NE(std::string(e.what()).find("backup " + id), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
            }
            EXPECT_FALSE(env.exists("/image"));
            EXPECT_EQ(env.list("/").size(), 1u) << "a temporary image was left";
        }
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev{4096, 1};
    std::string full, inc;
};

TEST_F(DamageTest, MissingChunkAffectsEveryBackupThatUsesIt)
{
    env.remove(chunk_path(full, 3));
    ExpectDetected({full, inc}, "chunk missing");
}

TEST_F(DamageTest, ChunkOfOneBackupOnly)
{
    env.remove(chunk_path(inc, 0));
    ExpectDetected({inc}, "chunk missing");
}

TEST_F(DamageTest, TruncatedChunk)
{
    std::string p = chunk_path(full, 2);
    std::string data = env.peek(p);
    env.poke(p, data.substr(0, data.size() / 2));
    ExpectDetected({full, inc}, "chunk truncated");
    env.poke(p, data.substr(0, 10));
    ExpectDetected({full, inc}, "chunk truncated");
}

TEST_F(DamageTest, FlippedStoredByteIsCaughtBeforeDecompression)
{
    std::string p = chunk_path(full, 2);
    std::string data = env.peek(p);
    data[data.size() - 5] ^= 0x10;
    env.poke(p, data);
    ExpectDetected({full, inc}, "chunk checksum mismatch");
}

TEST_F(DamageTest, FlippedHeaderByte)
{
    std::string p = chunk_path(full, 4);
    std::string data = env.peek(p);
    data[1] ^= 0x01;
    env.poke(p, data);
    ExpectDetected({full, inc}, "chunk header damaged");
}

TEST_F(DamageTest, ChunkWithAnotherChunksContents)
{
    // A well-formed chunk file under the wrong name: only the digest can tell.
    env.poke(chunk_path(full, 2), env.peek(chunk_path(full, 3)));
    ExpectDetected({full, inc}, "chunk digest mismatch");
}

TEST_F(DamageTest, TruncatedOrAlteredIndex)
{
    std::string p = "/repo/backups/" + inc + ".index";
    std::string data = env.peek(p);
    env.poke(p, data.substr(0, data.size() - 40));
    ExpectDetected({inc}, "index truncated");
    std::string flipped = data;
    flipped[60] ^= 1;
    env.poke(p, flipped);
    ExpectDetected({inc}, "index checksum mismatch");
    env.remove(p);
    ExpectDetected({inc}, "index missing");
}

TEST_F(DamageTest, IndexOfAnotherBackup)
{
    // Well-formed but not the one the manifest recorded.
    env.poke("/repo/backups/" + inc + ".index", env.peek("/repo/backups/" + full + ".index"));
    ExpectDetected({inc}, "index does not match its manifest");
}

TEST_F(DamageTest, TruncatedOrAlteredManifest)
{
    std::string p = "/repo/backups/" + full + ".manifest";
    std::string data = env.peek(p);
    env.poke(p, data.substr(0, data.size() / 2));
    ExpectDetected({full}, "manifest truncated");
    std::string flipped = data;
    flipped[data.find("block_count") + 14] ^= 1;
    env.poke(p, flipped);
    ExpectDetected({full}, "manifest checksum mismatch");
    // A damaged manifest is left out of the list, and gc will not run blind.
    EXPECT_EQ(r->list().size(), 1u);
    try {
        r->gc();
        ADD_FAILURE() << "gc ran over an unreadable manifest";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged);
        EXPECT_NE(std::string(e.what()).find(full), std::string::npos) << e.what();
    }
}

TEST_F(DamageTest, FormatRejectsMalformedPieces)
{
    std::vector<uint8_t> raw(8192, 7);
    repo::Digest d = repo::format::sha256(raw);
    std::string chunk = repo::format::encode_chunk(raw);
    EXPECT_LT(chunk.size(), 200u) << "compressible data is compressed";
    EXPECT_EQ(repo::format::decode_chunk(chunk, d, "c"), raw);
    std::string trailing = chunk + "x";
    EXPECT_THROW(repo::format::decode_chunk(trailing, d, "c"), Error);
    std::string codec = chunk;
    codec[5] = 9;
    EXPECT_THROW(repo::format::decode_chunk(codec, d, "c"), Error);

    // Incompressible data is stored raw and still checked.
    std::vector<uint8_t> noise(4096);
    std::mt19937 rng(1);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng());
    std::string stored = repo::format::encode_chunk(noise);
    EXPECT_EQ(stored[5], repo::format::kCodecNone);
    EXPECT_EQ(repo::format::decode_chunk(stored, repo::format::sha256(noise), "c"), noise);
    // The raw length is outside the checksum: a huge one is damage found before 4 GiB are
    // allocated for it, as is a stored chunk whose two lengths differ.
    std::string huge = chunk;
    huge.replace(8, 4, 4, '\xff');
    EXPECT_THROW(repo::format::decode_chunk(huge, d, "c"), Error);
    std::string longer = stored;
    longer[9] ^= 1;
    EXPECT_THROW(repo::format::decode_chunk(longer, repo::format::sha256(noise), "c"), Error);

    EXPECT_THROW(repo::format::read_config("{}", "cfg"), Error);
    EXPECT_THROW(repo::format::read_config("not json", "cfg"), Error);
}

} // namespace
