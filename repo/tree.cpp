// The block-to-chunk map as a tree of pieces: shape, piece encoding and checks, building
// from a parent tree, walking and looking up.
#include "repo/tree.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "repo/format.h"

namespace repo::tree {

namespace {

constexpr uint8_t kMagic[4] = {'k', 't', 'r', 'e'};
constexpr uint8_t kPieceVersion = 1;

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool zero_digest(const uint8_t* p)
{
    return std::all_of(p, p + 32, [](uint8_t b) { return b == 0; });
}

// The number of pieces at each level, leaves first; the root's level holds one.
std::vector<uint64_t> pieces_per_level(const Geometry& g)
{
    std::vector<uint64_t> n{g.leaves};
    for (unsigned k = 1; k <= g.height; k++)
        n.push_back((n.back() + g.fanout - 1) / g.fanout);
    return n;
}

// The slots of piece `number` at `level` that stand for positions (or pieces) that exist:
// the last piece of a level may cover fewer.
uint32_t live_slots(const Geometry& g, unsigned level, uint64_t number)
{
    uint64_t below = level ? pieces_per_level(g)[level - 1] : g.positions;
    uint64_t first = number * g.slots(level);
    return static_cast<uint32_t>(std::min<uint64_t>(g.slots(level), below - first));
}

// The blocks at chunk position `pos` (the last one may hold fewer).
uint64_t blocks_at(const Geometry& g, uint64_t pos)
{
    return std::min<uint64_t>(g.chunk_blocks, g.block_count - pos * g.chunk_blocks);
}

[[noreturn]] void damaged(const Store& s, const Digest& d, const std::string& why)
{
    throw Error(Error::Kind::Damaged, "map piece " + why, s.name ? s.name(d) : to_hex(d));
}

std::vector<uint8_t> encode(const Geometry& g, unsigned level, const std::vector<uint8_t>& slots)
{
    uint32_t n = g.slots(level), sb = g.slot_bytes(level);
    std::vector<uint8_t> out(kHeaderBytes + (n + 7) / 8, 0);
    memcpy(out.data(), kMagic, 4);
    out[4] = kPieceVersion;
    out[5] = static_cast<uint8_t>(level);
    put32(&out[8], n);
    put32(&out[12], sb);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* slot = &slots[size_t(i) * sb];
        if (zero_digest(slot))
            continue;
        out[kHeaderBytes + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        out.insert(out.end(), slot, slot + sb);
    }
    return out;
}

// Checks a piece loaded for `number` at `level` and returns its slots, absent ones zero.
std::vector<uint8_t> decode(const Geometry& g, unsigned level, uint64_t number, const std::vector<uint8_t>& p,
                            const Digest& d, const Store& s)
{
    uint32_t n = g.slots(level), sb = g.slot_bytes(level);
    size_t bitmap = (n + 7) / 8;
    if (p.size() < kHeaderBytes + bitmap)
        damaged(s, d, "truncated (" + std::to_string(p.size()) + " bytes)");
    if (memcmp(p.data(), kMagic, 4) != 0 || p[4] != kPieceVersion || p[6] || p[7])
        damaged(s, d, "has a bad header");
    if (p[5] != level)
        damaged(s, d, "is of level " + std::to_string(p[5]) + " where level " + std::to_string(level) + " belongs");
    if (get32(&p[8]) != n || get32(&p[12]) != sb)
        damaged(s, d, "has another shape than the backup's geometry");
    const uint8_t* bits = &p[kHeaderBytes];
    uint32_t live = live_slots(g, level, number), present = 0;
    for (uint32_t i = 0; i < n; i++)
        if ((bits[i / 8] >> (i % 8)) & 1) {
            if (i >= live)
                damaged(s, d, "names a slot beyond the device");
            present++;
        }
    if (n % 8 && bits[bitmap - 1] >> (n % 8))
        damaged(s, d, "has bits set past its slots");
    if (!present)
        damaged(s, d, "is empty");
    if (p.size() != kHeaderBytes + bitmap + uint64_t(present) * sb)
        damaged(s, d, "is " + std::to_string(p.size()) + " bytes, not the " +
                          std::to_string(kHeaderBytes + bitmap + uint64_t(present) * sb) + " its slots need");
    std::vector<uint8_t> slots(size_t(n) * sb, 0);
    const uint8_t* next = bits + bitmap;
    for (uint32_t i = 0; i < n; i++) {
        if (!((bits[i / 8] >> (i % 8)) & 1))
            continue;
        if (zero_digest(next))
            damaged(s, d, "names an all-zero digest");
        if (!level) {
            // A position holding a chunk has a used block, and none past the device's end.
            uint64_t blocks = blocks_at(g, number * g.leaf_span + i);
            const uint8_t* used = next + 32;
            bool any = false;
            for (uint32_t b = 0; b < g.used_bytes * 8; b++) {
                bool u = (used[b / 8] >> (b % 8)) & 1;
                if (u && b >= blocks)
                    damaged(s, d, "marks blocks in use past the position's end");
                any = any || u;
            }
            if (!any)
                damaged(s, d, "names a chunk for a position without used blocks");
        }
        memcpy(&slots[size_t(i) * sb], next, sb);
        next += sb;
    }
    return slots;
}

// The numbers of the pieces on the way to position `pos`, per level from the leaf up.
std::vector<uint64_t> path_numbers(const Geometry& g, uint64_t pos)
{
    std::vector<uint64_t> number(g.height + 1);
    number[0] = pos / g.leaf_span;
    for (unsigned k = 1; k <= g.height; k++)
        number[k] = number[k - 1] / g.fanout;
    return number;
}

std::vector<uint8_t> load_piece(const Geometry& g, unsigned level, uint64_t number, const Digest& d,
                                const Store& s)
{
    return decode(g, level, number, s.load(d), d, s);
}

} // namespace

Geometry geometry(uint64_t block_count, uint32_t chunk_blocks, uint32_t chunk_bytes)
{
    if (!block_count || !chunk_blocks)
        throw Error(Error::Kind::Invalid, "a map of no blocks");
    Geometry g;
    g.block_count = block_count;
    g.chunk_blocks = chunk_blocks;
    g.positions = block_count / chunk_blocks + (block_count % chunk_blocks != 0);
    g.used_bytes = (chunk_blocks + 7) / 8;
    auto fits = [&](uint32_t n, uint32_t sb) { return kHeaderBytes + (n + 7) / 8 + uint64_t(n) * sb <= chunk_bytes; };
    g.leaf_span = kMaxSpan;
    while (g.leaf_span > 1 && !fits(g.leaf_span, 32 + g.used_bytes))
        g.leaf_span /= 2;
    g.fanout = kMaxSpan;
    while (g.fanout > 2 && !fits(g.fanout, 32))
        g.fanout /= 2;
    g.leaves = (g.positions + g.leaf_span - 1) / g.leaf_span;
    for (uint64_t n = g.leaves; n > 1; n = (n + g.fanout - 1) / g.fanout)
        g.height++;
    return g;
}

// ---------------------------------------------------------------------------------------

Builder::Builder(const Geometry& g, const Digest& parent_root, const Store& store)
    : g_(g), root_(parent_root), store_(store), path_(g.height + 1)
{
}

void Builder::open(unsigned level, uint64_t number)
{
    Node& n = path_[level];
    n.number = number;
    n.changed = false;
    n.open = true;
    if (level == g_.height) {
        n.original = root_;
    } else {
        const Node& up = path_[level + 1];
        memcpy(n.original.data(), &up.slots[size_t(number % g_.fanout) * 32], 32);
    }
    if (format::is_zero_digest(n.original))
        n.slots.assign(size_t(g_.slots(level)) * g_.slot_bytes(level), 0);
    else
        n.slots = load_piece(g_, level, number, n.original, store_);
}

void Builder::close(unsigned level)
{
    Node& n = path_[level];
    n.open = false;
    Digest d = n.original;
    if (n.changed) {
        std::vector<uint8_t> piece = encode(g_, level, n.slots);
        if (piece.size() == kHeaderBytes + (g_.slots(level) + 7) / 8) {
            d = Digest{};  // nothing left in it: a null child
        } else {
            d = store_.store(piece);
            pieces_stored_++;
            bytes_stored_ += piece.size();
        }
    }
    if (level == g_.height) {
        root_ = d;
        return;
    }
    Node& up = path_[level + 1];
    uint8_t* slot = &up.slots[size_t(n.number % g_.fanout) * 32];
    if (memcmp(slot, d.data(), 32) != 0) {
        memcpy(slot, d.data(), 32);
        up.changed = true;
    }
}

void Builder::set(uint64_t pos, const Digest& digest, std::span<const uint8_t> used)
{
    if (finished_ || pos >= g_.positions || pos < next_)
        throw Error(Error::Kind::Invalid, "map position " + std::to_string(pos) + " out of order or beyond the " +
                                              std::to_string(g_.positions) + " positions");
    bool present = !format::is_zero_digest(digest);
    if (present && used.size() != g_.used_bytes)
        throw Error(Error::Kind::Invalid, "used-block bits of the wrong size for map position " + std::to_string(pos));
    next_ = pos + 1;
    // The pieces from the root down to pos's leaf: the upper ones still open stay, the rest
    // are finished bottom up and the new path opened top down.
    std::vector<uint64_t> number = path_numbers(g_, pos);
    unsigned keep = g_.height + 1;
    while (keep > 0 && path_[keep - 1].open && path_[keep - 1].number == number[keep - 1])
        keep--;
    for (unsigned k = 0; k < keep; k++)
        if (path_[k].open)
            close(k);
    for (unsigned k = keep; k-- > 0;)
        open(k, number[k]);
    uint32_t sb = g_.slot_bytes(0);
    uint8_t* slot = &path_[0].slots[size_t(pos % g_.leaf_span) * sb];
    std::vector<uint8_t> want(sb, 0);
    if (present) {
        memcpy(want.data(), digest.data(), 32);
        memcpy(want.data() + 32, used.data(), g_.used_bytes);
    }
    if (memcmp(slot, want.data(), sb) != 0) {
        memcpy(slot, want.data(), sb);
        path_[0].changed = true;
    }
}

Digest Builder::finish()
{
    if (!finished_)
        for (unsigned k = 0; k <= g_.height; k++)
            if (path_[k].open)
                close(k);
    finished_ = true;
    return root_;
}

// ---------------------------------------------------------------------------------------

void walk(const Geometry& g, const Digest& root, const Store& store,
          const std::function<void(const Digest&, unsigned)>& piece,
          const std::function<void(uint64_t, const Digest&, std::span<const uint8_t>)>& entry)
{
    if (g.height > kMaxHeight)
        throw Error(Error::Kind::Damaged, "map of impossible height " + std::to_string(g.height));
    std::function<void(unsigned, uint64_t, const Digest&)> visit = [&](unsigned level, uint64_t number,
                                                                       const Digest& d) {
        if (piece)
            piece(d, level);
        std::vector<uint8_t> slots = load_piece(g, level, number, d, store);
        uint32_t sb = g.slot_bytes(level);
        for (uint32_t i = 0; i < g.slots(level); i++) {
            const uint8_t* slot = &slots[size_t(i) * sb];
            if (zero_digest(slot))
                continue;
            Digest child;
            memcpy(child.data(), slot, 32);
            if (level)
                visit(level - 1, number * g.fanout + i, child);
            else if (entry)
                entry(number * g.leaf_span + i, child, std::span(slot + 32, g.used_bytes));
        }
    };
    if (!format::is_zero_digest(root))
        visit(g.height, 0, root);
}

std::optional<Entry> lookup(const Geometry& g, const Digest& root, const Store& store, uint64_t pos)
{
    if (pos >= g.positions)
        throw Error(Error::Kind::Invalid, "map position " + std::to_string(pos) + " beyond the " +
                                              std::to_string(g.positions) + " positions");
    std::vector<uint64_t> number = path_numbers(g, pos);
    Digest d = root;
    for (unsigned level = g.height;; level--) {
        if (format::is_zero_digest(d))
            return std::nullopt;
        std::vector<uint8_t> slots = load_piece(g, level, number[level], d, store);
        uint64_t slot = level ? number[level - 1] % g.fanout : pos % g.leaf_span;
        const uint8_t* p = &slots[size_t(slot) * g.slot_bytes(level)];
        memcpy(d.data(), p, 32);
        if (!level)
            return format::is_zero_digest(d) ? std::nullopt
                                             : std::optional<Entry>(Entry{d, {p + 32, p + 32 + g.used_bytes}});
    }
}

} // namespace repo::tree
