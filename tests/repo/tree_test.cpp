// The map tree: what it stores and looks up equals a plain array of positions, an edit
// stores only the pieces on the way to what changed, and hostile pieces are refused.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "repo/pack.h"
#include "repo/tree.h"
#include "tests/support/repo_source.h"

using repo::Digest;
using repo::Error;
using namespace repo_test;

namespace {

struct Slot {
    Digest digest{};
    std::vector<uint8_t> used;
    bool operator==(const Slot&) const = default;
};

// Pieces in memory, by digest; load hands back whatever is stored there, so a test can
// plant a hostile piece under any digest.
struct MemoryStore {
    std::map<Digest, std::vector<uint8_t>> pieces;
    uint64_t stores = 0;
    repo::tree::Store store{
        [this](std::span<const uint8_t> p) {
            Digest d = repo::format::sha256(p);
            pieces[d].assign(p.begin(), p.end());
            stores++;
            return d;
        },
        [this](const Digest& d) {
            auto it = pieces.find(d);
            if (it == pieces.end())
                throw Error(Error::Kind::Damaged, "chunk missing", repo::to_hex(d));
            return it->second;
        },
        [](const Digest& d) { return "piece " + repo::to_hex(d); }};
};

Slot random_slot(const repo::tree::Geometry& g, uint64_t pos, std::mt19937& rng)
{
    Slot s;
    for (auto& b : s.digest)
        b = static_cast<uint8_t>(rng());
    s.digest[0] |= 1;
    s.used.assign(g.used_bytes, 0);
    uint64_t blocks = std::min<uint64_t>(g.chunk_blocks, g.block_count - pos * g.chunk_blocks);
    for (uint64_t i = 0; i < blocks; i++)
        if (rng() % 2 || i == 0)
            s.used[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return s;
}

Digest build(const repo::tree::Geometry& g, const Digest& parent, const std::map<uint64_t, Slot>& changes,
             MemoryStore& m, uint64_t* stored = nullptr)
{
    repo::tree::Builder b(g, parent, m.store);
    for (const auto& [pos, s] : changes)
        b.set(pos, s.digest, s.used);
    Digest root = b.finish();
    if (stored)
        *stored = b.pieces_stored();
    return root;
}

void expect_equal(const repo::tree::Geometry& g, const Digest& root, MemoryStore& m, const std::vector<Slot>& want)
{
    std::vector<Slot> got(g.positions);
    uint64_t last = 0;
    bool any = false;
    repo::tree::walk(g, root, m.store, {}, [&](uint64_t pos, const Digest& d, std::span<const uint8_t> used) {
        EXPECT_TRUE(!any || pos > last) << "positions out of order";
        any = true;
        last = pos;
        got[pos] = {d, {used.begin(), used.end()}};
    });
    for (uint64_t p = 0; p < g.positions; p++) {
        ASSERT_EQ(got[p], want[p]) << "walk, position " << p;
        auto e = repo::tree::lookup(g, root, m.store, p);
        if (repo::format::is_zero_digest(want[p].digest))
            ASSERT_FALSE(e) << "lookup, position " << p;
        else
            ASSERT_TRUE(e && e->digest == want[p].digest && e->used == want[p].used) << "lookup, position " << p;
    }
}

TEST(TreeTest, BuildsAndEditsLikeAPlainArray)
{
    std::mt19937 rng(7);
    struct Shape {
        uint64_t blocks;
        uint32_t chunk_blocks, chunk_bytes;
    };
    // Small chunks give small pieces, so that a few thousand positions already make a tree
    // of several levels; odd block counts leave a short last position and leaf.
    for (Shape sh : {Shape{1, 1, 4096}, Shape{9000, 8, 4096}, Shape{70001, 3, 12288}, Shape{123457, 128, 65536},
                     Shape{40000, 1, 4096}}) {
        repo::tree::Geometry g = repo::tree::geometry(sh.blocks, sh.chunk_blocks, sh.chunk_bytes);
        SCOPED_TRACE(std::to_string(g.positions) + " positions, height " + std::to_string(g.height));
        MemoryStore m;
        std::vector<Slot> want(g.positions);
        std::map<uint64_t, Slot> first;
        for (uint64_t p = 0; p < g.positions; p++)
            if (rng() % 10 == 0 || p == g.positions - 1)
                want[p] = first[p] = random_slot(g, p, rng);
        Digest root = build(g, {}, first, m);
        expect_equal(g, root, m, want);

        for (int round = 0; round < 4; round++) {
            std::map<uint64_t, Slot> edit;
            for (int i = 0; i < 20; i++) {
                uint64_t p = rng() % g.positions;
                edit[p] = rng() % 3 ? random_slot(g, p, rng) : Slot{}; // some positions emptied
            }
            // A run of positions emptied, which may empty whole pieces.
            uint64_t from = rng() % g.positions;
            for (uint64_t p = from; p < std::min<uint64_t>(g.positions, from + 600); p++)
                edit[p] = Slot{};
            for (auto& [p, s] : edit)
                want[p] = s.digest == Digest{} ? Slot{} : s;
            uint64_t stored = 0;
            root = build(g, root, edit, m, &stored);
            expect_equal(g, root, m, want);
            // Canonical: the same map built from nothing has the same root.
            std::map<uint64_t, Slot> all;
            for (uint64_t p = 0; p < g.positions; p++)
                if (want[p].digest != Digest{})
                    all[p] = want[p];
            MemoryStore fresh;
            EXPECT_EQ(build(g, {}, all, fresh), root);
        }

        // An edit that changes nothing (positions set to what they hold) stores nothing.
        uint64_t stored = 1;
        std::map<uint64_t, Slot> same;
        for (uint64_t p = 0; p < g.positions; p += 97)
            same[p] = want[p];
        EXPECT_EQ(build(g, root, same, m, &stored), root);
        EXPECT_EQ(stored, 0u);
    }
}

TEST(TreeTest, AnEditStoresOnlyThePathToWhatChanged)
{
    // 1 TiB of 4 KiB blocks in 64 KiB chunks: 16 Mi positions.
    repo::tree::Geometry g = repo::tree::geometry(uint64_t(1) << 28, 16, 65536);
    EXPECT_EQ(g.leaf_span, 256u);
    EXPECT_EQ(g.fanout, 256u);
    EXPECT_EQ(g.height, 2u);
    MemoryStore m;
    std::mt19937 rng(3);
    std::map<uint64_t, Slot> sparse;
    for (uint64_t p = 0; p < g.positions; p += 4099)
        sparse[p] = random_slot(g, p, rng);
    Digest root = build(g, {}, sparse, m);
    // The empty regions between cost nothing: one leaf per used position at most.
    EXPECT_LE(m.pieces.size(), sparse.size() + 1 + 256);
    uint64_t stored = 0;
    Digest again = build(g, root, {}, m, &stored);
    EXPECT_EQ(again, root);
    EXPECT_EQ(stored, 0u);
    std::map<uint64_t, Slot> one{{12345678, random_slot(g, 12345678, rng)}};
    Digest changed = build(g, root, one, m, &stored);
    EXPECT_NE(changed, root);
    EXPECT_EQ(stored, g.height + 1);
    EXPECT_EQ(repo::tree::lookup(g, changed, m.store, 12345678)->digest, one[12345678].digest);
    // Contract breaches are the caller's.
    repo::tree::Builder b(g, root, m.store);
    b.set(5, {}, {});
    EXPECT_THROW(b.set(5, {}, {}), Error);
    EXPECT_THROW(b.set(g.positions, {}, {}), Error);
}

// A map of a few levels with the pieces at hand, for planting hostile ones.
struct Planted {
    Planted()
    {
        std::mt19937 rng(11);
        for (uint64_t p = 0; p < g.positions; p += 3)
            slots[p] = random_slot(g, p, rng);
        root = build(g, {}, slots, m);
    }
    repo::tree::Geometry g = repo::tree::geometry(20000, 1, 4096);
    MemoryStore m;
    std::map<uint64_t, Slot> slots;
    Digest root;

    // Replaces the root with `bytes` (stored under the root's own digest, as a damaged
    // store would hand it back) and expects every reader to refuse it as damage.
    void ExpectRefused(const std::vector<uint8_t>& bytes, const std::string& why)
    {
        SCOPED_TRACE(why);
        m.pieces[root] = bytes;
        auto check = [&](auto&& f) {
            try {
                f();
                ADD_FAILURE() << "a hostile piece was accepted";
            } catch (const Error& e) {
                EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
                EXPECT_NE(e.path().find("piece "), std::string::npos) << e.what();
            }
        };
        check([&] { repo::tree::walk(g, root, m.store, {}, {}); });
        check([&] { repo::tree::lookup(g, root, m.store, 0); });
        check([&] { build(g, root, {{0, Slot{}}}, m); });
    }
};

TEST(TreeTest, HostilePiecesAreRefused)
{
    Planted t;
    ASSERT_GE(t.g.height, 2u);
    const std::vector<uint8_t> good = t.m.pieces[t.root];
    auto with = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> p = good;
        p[at] = v;
        return p;
    };
    t.ExpectRefused({}, "empty");
    t.ExpectRefused({good.begin(), good.begin() + 10}, "shorter than a header");
    t.ExpectRefused({good.begin(), good.end() - 1}, "truncated");
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    t.ExpectRefused(longer, "a trailing byte");
    t.ExpectRefused(with(0, 'x'), "bad magic");
    t.ExpectRefused(with(4, 9), "unknown version");
    t.ExpectRefused(with(6, 1), "reserved byte");
    t.ExpectRefused(with(5, uint8_t(t.g.height + 1)), "a level above the root's (a deeper tree than the device has)");
    t.ExpectRefused(with(5, 0), "a leaf where an interior piece belongs");
    t.ExpectRefused(with(8, uint8_t(good[8] * 2)), "another slot count");
    t.ExpectRefused(with(12, 64), "another slot size");
    // The root of 20000 one-block positions has five live slots: a bit past them.
    uint32_t bitmap = (t.g.fanout + 7) / 8;
    t.ExpectRefused(with(repo::tree::kHeaderBytes + bitmap - 1, 0x80), "a slot past the device");
    // No slot present: an empty piece stands for a null child.
    std::vector<uint8_t> none(good.begin(), good.begin() + repo::tree::kHeaderBytes + bitmap);
    std::fill(none.begin() + repo::tree::kHeaderBytes, none.end(), 0);
    t.ExpectRefused(none, "no slot");
    std::vector<uint8_t> zero = good;
    std::fill(zero.begin() + repo::tree::kHeaderBytes + bitmap, zero.begin() + repo::tree::kHeaderBytes + bitmap + 32, 0);
    t.ExpectRefused(zero, "an all-zero child");
    // A cycle by digest: the root names itself as its first child. The level each piece
    // states ends the descent at once.
    std::vector<uint8_t> cycle = good;
    std::copy(t.root.begin(), t.root.end(), cycle.begin() + repo::tree::kHeaderBytes + bitmap);
    t.ExpectRefused(cycle, "a cycle");
}

TEST(TreeTest, HostileLeavesAreRefused)
{
    Planted t;
    // Find a leaf: the first child, down to level 0.
    Digest leaf = t.root;
    for (unsigned level = t.g.height; level > 0; level--) {
        const std::vector<uint8_t>& p = t.m.pieces[leaf];
        std::copy_n(p.begin() + repo::tree::kHeaderBytes + (t.g.fanout + 7) / 8, 32, leaf.begin());
    }
    std::vector<uint8_t> good = t.m.pieces[leaf];
    size_t first = repo::tree::kHeaderBytes + (t.g.leaf_span + 7) / 8;  // the first present slot
    auto expect_refused = [&](std::vector<uint8_t> bytes, const std::string& why) {
        SCOPED_TRACE(why);
        t.m.pieces[leaf] = std::move(bytes);
        EXPECT_THROW(repo::tree::walk(t.g, t.root, t.m.store, {}, {}), Error);
        try {
            repo::tree::lookup(t.g, t.root, t.m.store, 0);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), Error::Kind::Damaged) << e.what();
        }
    };
    std::vector<uint8_t> unused = good;
    unused[first + 32] = 0;  // position 0 holds a chunk but no used block
    expect_refused(unused, "a chunk without used blocks");
    t.m.pieces[leaf] = good;
    EXPECT_TRUE(repo::tree::lookup(t.g, t.root, t.m.store, 0));

    // The last position of a 20001-block device holds one block: a second bit is past its end.
    repo::tree::Geometry g = repo::tree::geometry(20001, 8, 4096);
    MemoryStore m;
    uint64_t last = g.positions - 1;
    std::vector<uint8_t> bits(g.used_bytes, 0);
    bits[0] = 1;
    Digest d{};
    d[0] = 1;
    repo::tree::Builder b(g, {}, m.store);
    b.set(last, d, bits);
    Digest root = b.finish();
    EXPECT_TRUE(repo::tree::lookup(g, root, m.store, last));
    for (auto& [digest, p] : m.pieces)
        if (p[5] == 0)
            p.back() |= 2;
    EXPECT_THROW(repo::tree::lookup(g, root, m.store, last), Error);
}

// Backups of a version 2 repository: maps as trees, read back, shared with later backups
// and kept by gc; a version 1 repository's backups read as before and parent the first tree.
struct TreeRepo {
    explicit TreeRepo(uint32_t version)
    {
        repo::Repository::init(env, "/repo", 16384, version);
        r = repo::Repository::open(env, "/repo");
    }
    std::string backup(const std::optional<std::string>& parent, std::set<uint64_t> changed)
    {
        BackupPlan plan;
        plan.parent = parent;
        plan.changed = std::move(changed);
        plan.snapshot_time += ++day * 86400;
        std::string id = write_backup(*r, dev, plan);
        images[id] = dev.expected_image();
        return id;
    }
    void ExpectSound()
    {
        repo::VerifyReport rep = r->verify(std::nullopt);
        for (const auto& d : rep.damage)
            ADD_FAILURE() << d.what << ": " << d.path;
        for (const repo::Manifest& m : r->list())
            EXPECT_TRUE(restore_image(*r, env, m.id, "/image") == images.at(m.id)) << m.id;
    }
    // The pack that holds piece `d`.
    std::string piece_path(const Digest& d)
    {
        repo::pack::PackIndex idx(r->store(), repo::pack::identity_seal());
        idx.load();
        repo::pack::Location loc;
        if (!idx.find(d, loc))
            return "/repo/index";
        return "/repo/" + repo::pack::pack_name(loc.pack);
    }

    repo::FaultEnv env;
    std::unique_ptr<repo::Repository> r;
    Device dev = random_device(4096, 3000, 0.3, 5);
    std::map<std::string, std::vector<uint8_t>> images;
    int day = 0;
};

TEST(TreeRepositoryTest, BackupsShareUnchangedPiecesAndGcKeepsThem)
{
    TreeRepo t(2);
    std::string a = t.backup(std::nullopt, {});
    repo::Manifest ma = t.r->manifest(a);
    EXPECT_EQ(ma.version, 2u);
    EXPECT_GT(ma.counts.map_pieces_new, 0u);
    EXPECT_FALSE(t.env.exists("/repo/backups/" + a + ".index"));

    std::string b = t.backup(a, {});
    repo::Manifest mb = t.r->manifest(b);
    EXPECT_EQ(mb.tree_root, ma.tree_root);
    EXPECT_EQ(mb.counts.map_pieces_new, 0u);
    EXPECT_EQ(mb.counts.map_bytes_new, 0u);

    // Change one block, free another and use a new one: a few pieces on their paths.
    t.dev.write(7, 99);
    t.dev.release(2999);
    t.dev.write(2998, 98);
    std::string c = t.backup(b, {7, 2998});
    repo::Manifest mc = t.r->manifest(c);
    EXPECT_NE(mc.tree_root, mb.tree_root);
    EXPECT_GT(mc.counts.map_pieces_new, 0u);
    t.ExpectSound();

    // The first two go; the third names pieces it shares with them, which gc keeps.
    t.r->forget_ids({a, b});
    t.r->gc();  // packs mostly live stay whole, so what it removes depends on the packing
    t.ExpectSound();

    // A piece gone is damage of the backup that names it.
    ASSERT_TRUE(t.env.exists(t.piece_path(mc.tree_root)));
    t.env.remove(t.piece_path(mc.tree_root));
    repo::VerifyReport rep = t.r->verify(std::nullopt);
    ASSERT_EQ(rep.damage.size(), 1u);
    EXPECT_EQ(rep.damage[0].backups, std::vector<std::string>{c});
    try {
        restore_image(*t.r, t.env, c, "/image");
        ADD_FAILURE() << "a backup without its map restored";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged);
        EXPECT_NE(std::string(e.what()).find("backup " + c), std::string::npos) << e.what();
    }
    EXPECT_THROW(t.r->gc(), Error);
}

// A manifest may claim any device size; what a reader holds in memory follows the tree's
// chunks, not that claim (4 PiB here, with no chunk).
TEST(TreeRepositoryTest, AHugeClaimedDeviceWithAnEmptyMapCostsNothing)
{
    TreeRepo t(2);
    std::string a = t.backup(std::nullopt, {});
    repo::Manifest m = t.r->manifest(a);
    m.id = "huge";
    m.source.block_count = uint64_t(1) << 40;
    m.tree_root = Digest{};
    t.env.write_file_atomic("/repo/backups/huge.manifest", repo::format::encode_manifest(m));
    EXPECT_TRUE(t.r->verify(std::string("huge")).clean());
    auto reader = t.r->reader("huge");
    std::vector<uint8_t> block(4096, 1);
    reader->read((uint64_t(1) << 40) - 1, 1, block.data());
    EXPECT_EQ(block, std::vector<uint8_t>(4096, 0));
    reader.reset();
    EXPECT_NO_THROW(t.r->gc());
}

TEST(TreeRepositoryTest, VersionOneBackupsStayReadableAndParentTheFirstTree)
{
    TreeRepo t(1);
    std::string a = t.backup(std::nullopt, {});
    EXPECT_EQ(t.r->manifest(a).version, 1u);
    EXPECT_TRUE(t.env.exists("/repo/backups/" + a + ".index"));
    // The repository moves to version 2: new backups write trees, the old ones stay.
    t.env.write_file_atomic("/repo/config", repo::format::encode_config(16384, "00", 2));
    t.r = repo::Repository::open(t.env, "/repo");
    t.dev.write(100, 5);
    std::string b = t.backup(a, {100});
    EXPECT_EQ(t.r->manifest(b).version, 2u);
    std::string c = t.backup(b, {});
    EXPECT_EQ(t.r->manifest(c).counts.map_pieces_new, 0u);
    t.ExpectSound();
    t.r->gc();
    EXPECT_TRUE(t.env.exists("/repo/backups/" + a + ".index"));
    t.ExpectSound();
}

} // namespace
