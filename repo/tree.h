// A backup's block-to-chunk map as a tree of content-addressed pieces.
//
// Chunk positions are grouped into leaves of a fixed number of positions (the leaf span);
// interior pieces hold the digests of a fixed number of children (the fan-out), up to one
// root. Because a leaf always covers the same positions, a backup whose region did not
// change names the parent's piece for it, and only the pieces on the path to a changed
// position are new: an unchanged incremental stores nothing but its manifest. A subtree
// without any used block is a null child (an all-zero digest), so an empty region costs
// nothing at all. docs/repository.md describes the piece layout.
//
// Pure module: pieces are stored and loaded through the two callbacks of Store; nothing
// here touches a file. Every piece loaded is hostile input: its header, size, level, slot
// count and contents are checked before anything is indexed, and a piece that breaks any
// rule is Error::Damaged naming the piece (via Store::name).
//
// Errors: repo::Error (repo/error.h), as the rest of the repository library.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "repo/repository.h"

namespace repo::tree {

constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kMaxSpan = 256;      // leaf span and fan-out at most
constexpr unsigned kMaxHeight = 64;     // far above any device's; bounds recursion

// The shape of one backup's tree, fixed by its geometry: readers derive it from the
// manifest, so a piece cannot claim another.
struct Geometry {
    uint64_t block_count = 0;
    uint32_t chunk_blocks = 0;
    uint64_t positions = 0;     // chunk positions
    uint32_t used_bytes = 0;    // bytes of a position's used-block bits
    uint32_t leaf_span = 0;     // positions per leaf
    uint32_t fanout = 0;        // children per interior piece
    uint64_t leaves = 0;
    unsigned height = 0;        // 0: the root is the only leaf

    // Bytes of one slot of a piece at `level`.
    uint32_t slot_bytes(unsigned level) const { return level ? 32 : 32 + used_bytes; }
    uint32_t slots(unsigned level) const { return level ? fanout : leaf_span; }
};

// The tree's shape for a device of `block_count` blocks, `chunk_blocks` to a chunk, in a
// repository of `chunk_bytes`: the largest leaf span and fan-out up to kMaxSpan (powers of
// two) whose fullest piece still fits in one chunk. Error::Invalid for an empty geometry.
Geometry geometry(uint64_t block_count, uint32_t chunk_blocks, uint32_t chunk_bytes);

// How pieces reach the repository: store returns the digest a piece is stored under, load
// returns the bytes stored under a digest (Error::Damaged when missing or wrong), name says
// where a piece lives for an error message.
struct Store {
    std::function<Digest(std::span<const uint8_t>)> store;
    std::function<std::vector<uint8_t>(const Digest&)> load;
    std::function<std::string(const Digest&)> name;
};

// Writes a new tree from a parent's (or from nothing: an all-zero parent root) and the
// positions that differ from it. Only the pieces on the way to a changed position are
// loaded, rebuilt and stored; every other piece is the parent's, by identity.
class Builder {
public:
    Builder(const Geometry& g, const Digest& parent_root, const Store& store);

    // Position `pos` now holds chunk `digest` with blocks `used` in use (used_bytes bytes,
    // bit i % 8 of byte i / 8 for the position's block i), or nothing (an all-zero digest,
    // `used` then ignored). Positions must come in strictly ascending order.
    void set(uint64_t pos, const Digest& digest, std::span<const uint8_t> used);

    // Stores what is left and returns the root digest (all zeros for an empty map).
    Digest finish();

    uint64_t pieces_stored() const { return pieces_stored_; }
    uint64_t bytes_stored() const { return bytes_stored_; }

private:
    struct Node {
        uint64_t number = 0;            // index among the pieces of its level
        Digest original{};              // its digest in the parent tree
        std::vector<uint8_t> slots;     // slots(level) × slot_bytes(level); absent: zero digest
        bool changed = false;
        bool open = false;
    };
    void open(unsigned level, uint64_t number);
    void close(unsigned level);

    Geometry g_;
    Digest root_;
    const Store& store_;
    std::vector<Node> path_;            // per level, the piece being edited
    uint64_t next_ = 0;
    bool finished_ = false;
    uint64_t pieces_stored_ = 0, bytes_stored_ = 0;
};

// Calls `piece` for every piece of the tree (digest, level; parents before children) and
// `entry` for every position holding a chunk, in ascending order. Each piece is loaded
// once per occurrence and checked.
void walk(const Geometry& g, const Digest& root, const Store& store,
          const std::function<void(const Digest&, unsigned)>& piece,
          const std::function<void(uint64_t, const Digest&, std::span<const uint8_t>)>& entry);

// The chunk at `pos` and its used-block bits, or nothing for an empty position. Loads the
// pieces on the way (height + 1 at most). Error::Invalid beyond the last position.
struct Entry {
    Digest digest{};
    std::vector<uint8_t> used;
};
std::optional<Entry> lookup(const Geometry& g, const Digest& root, const Store& store, uint64_t pos);

} // namespace repo::tree
