// A libFuzzer target over the pieces of a backup's map tree as a reader meets them. The
// input is a geometry and a list of pieces, the last one the root:
//
//   bytes 0-7   block count (little-endian; taken modulo 65536, plus 1)
//   byte 8      blocks per chunk (modulo 64, plus 1)
//   byte 9      chunk bytes: 1024, 4096 or 16384 (modulo 3), which fixes leaf span and fan-out
//   then        pieces, each a 2-byte little-endian length and that many bytes
//
// Piece i (from 0) is stored under the digest whose first two bytes are i + 1 (little-endian)
// and whose other bytes are zero, so a piece names another by writing that digest; any other
// digest is a missing piece. The target walks the tree, looks positions up, and builds a new
// tree on it as an incremental would. Each may refuse the tree only with repo::Error; when
// the walk accepts it, lookups must agree with the walk, and the new tree must walk clean and
// hold the old entries with the changes made. Anything else aborts.
//
// With KESTREL_FUZZ_WRITE_SEEDS=DIR in the environment the target first writes trees the
// builder made, for the seed corpus (fuzz/corpus-tree).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "repo/tree.h"

namespace {

using repo::Digest;
using repo::Error;
namespace tree = repo::tree;

constexpr uint32_t kChunkBytes[3] = {1024, 4096, 16384};

[[noreturn]] void fail(const std::string& what)
{
    fprintf(stderr, "tree fuzzer: %s\n", what.c_str());
    abort();
}

Digest piece_digest(size_t i)
{
    Digest d{};
    d[0] = static_cast<uint8_t>((i + 1) & 0xff);
    d[1] = static_cast<uint8_t>((i + 1) >> 8);
    return d;
}

// Pieces by their place in a list, stored ones appended.
struct Pieces {
    std::vector<std::vector<uint8_t>> list;
    tree::Store store()
    {
        return {[this](std::span<const uint8_t> p) {
                    if (list.size() >= 0xffff)
                        fail("too many pieces stored");
                    list.emplace_back(p.begin(), p.end());
                    return piece_digest(list.size() - 1);
                },
                [this](const Digest& d) {
                    size_t i = size_t(d[0]) | size_t(d[1]) << 8;
                    bool named = i >= 1 && i <= list.size() &&
                                 std::all_of(d.begin() + 2, d.end(), [](uint8_t b) { return b == 0; });
                    if (!named)
                        throw Error(Error::Kind::Damaged, "map piece missing", repo::to_hex(d));
                    return list[i - 1];
                },
                [](const Digest& d) { return repo::to_hex(d); }};
    }
};

using Entries = std::map<uint64_t, std::pair<Digest, std::vector<uint8_t>>>;

// Walks the tree: its entries, checked to come in ascending order within the geometry.
Entries walk(const tree::Geometry& g, const Digest& root, const tree::Store& store)
{
    Entries out;
    tree::walk(g, root, store, {}, [&](uint64_t pos, const Digest& d, std::span<const uint8_t> used) {
        if (pos >= g.positions || (!out.empty() && pos <= out.rbegin()->first) || used.size() != g.used_bytes)
            fail("walk gave position " + std::to_string(pos) + " out of order or beyond the device");
        out[pos] = {d, {used.begin(), used.end()}};
    });
    return out;
}

// Builds a tree on `root` as an incremental would: a few positions get a new chunk (block 0
// in use), a few lose theirs. Returns the new root; `entries` becomes what it must hold.
Digest build_on(const tree::Geometry& g, const Digest& root, const tree::Store& store, Entries& entries)
{
    tree::Builder b(g, root, store);
    std::vector<uint64_t> at{0, g.positions / 3, g.positions / 2, g.positions - 1};
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    std::vector<uint8_t> used(g.used_bytes, 0);
    used[0] = 1;
    for (uint64_t pos : at) {
        if (pos % 2 && entries.count(pos)) {
            b.set(pos, Digest{}, {});
            entries.erase(pos);
            continue;
        }
        Digest d{};
        d.fill(0xc5);
        memcpy(d.data(), &pos, sizeof pos);
        b.set(pos, d, used);
        entries[pos] = {d, used};
    }
    return b.finish();
}

void run(const uint8_t* data, size_t size)
{
    if (size < 10)
        return;
    uint64_t blocks = 0;
    memcpy(&blocks, data, 8);
    tree::Geometry g = tree::geometry(blocks % 65536 + 1, data[8] % 64 + 1, kChunkBytes[data[9] % 3]);
    Pieces pieces;
    for (size_t at = 10; at + 2 <= size;) {
        size_t n = data[at] | size_t(data[at + 1]) << 8;
        at += 2;
        n = std::min(n, size - at);
        pieces.list.emplace_back(data + at, data + at + n);
        at += n;
    }
    if (pieces.list.empty())
        return;
    const Digest root = piece_digest(pieces.list.size() - 1);
    tree::Store store = pieces.store();

    Entries entries;
    bool sound = true;
    try {
        entries = walk(g, root, store);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Damaged)
            fail(std::string("walk: ") + e.what());
        sound = false;
    }
    for (uint64_t pos : {uint64_t(0), g.positions / 2, g.positions - 1}) {
        try {
            std::optional<tree::Entry> e = tree::lookup(g, root, store, pos);
            auto it = entries.find(pos);
            if (sound && (e.has_value() != (it != entries.end()) ||
                          (e && (e->digest != it->second.first || e->used != it->second.second))))
                fail("lookup of position " + std::to_string(pos) + " disagrees with the walk");
        } catch (const Error& e) {
            if (sound || e.kind() != Error::Kind::Damaged)
                fail(std::string("lookup: ") + e.what());
        }
    }
    try {
        Digest next = build_on(g, root, store, entries);
        if (sound && walk(g, next, store) != entries)
            fail("the tree built on a sound one does not hold what was set");
    } catch (const Error& e) {
        if (sound || e.kind() != Error::Kind::Damaged)
            fail(std::string("build: ") + e.what());
    }
}

// Trees the builder makes from nothing, as inputs.
void write_seeds(const std::string& dir)
{
    struct Shape {
        uint64_t blocks;
        uint8_t chunk_blocks, chunk_size;
    };
    for (Shape s : {Shape{100, 4, 0}, Shape{5000, 16, 0}, Shape{60000, 1, 1}, Shape{3000, 64, 2}}) {
        tree::Geometry g = tree::geometry(s.blocks, s.chunk_blocks, kChunkBytes[s.chunk_size]);
        Pieces pieces;
        tree::Store store = pieces.store();
        Entries entries;
        if (walk(g, build_on(g, Digest{}, store, entries), store) != entries)
            fail("a seed does not hold what was set");
        std::string input(reinterpret_cast<const char*>(&s.blocks), 8);
        input[0] = static_cast<char>(s.blocks - 1);
        input[1] = static_cast<char>((s.blocks - 1) >> 8);
        input.push_back(static_cast<char>(s.chunk_blocks - 1));
        input.push_back(static_cast<char>(s.chunk_size));
        for (const auto& p : pieces.list) {
            input.push_back(static_cast<char>(p.size() & 0xff));
            input.push_back(static_cast<char>(p.size() >> 8));
            input.append(p.begin(), p.end());
        }
        std::ofstream(dir + "/tree-" + std::to_string(s.blocks) + "-" + std::to_string(s.chunk_blocks),
                      std::ios::binary)
            << input;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* dir = getenv("KESTREL_FUZZ_WRITE_SEEDS"))
        write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    run(data, size);
    return 0;
}
