// Pack files and index objects: encoding, decoding, the merged index and the pack writer.
#include "repo/pack.h"

#include <cstring>
#include <utility>

#include "repo/format.h"

namespace repo::pack {

namespace {

constexpr char kPackMagic[8] = {'K', 'S', 'T', 'R', 'P', 'A', 'C', 'K'};
constexpr char kIndexMagic[8] = {'K', 'S', 'T', 'R', 'I', 'N', 'D', 'X'};
constexpr uint32_t kPackVersion = 1;
constexpr uint32_t kIndexVersion = 1;
constexpr size_t kEntryBytes = 56;

[[noreturn]] void damaged(const std::string& what, const std::string& name)
{
    throw Error(Error::Kind::Damaged, what, name);
}

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out.push_back(static_cast<char>(v >> (8 * i)));
}

void put64(std::string& out, uint64_t v)
{
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

uint32_t get32(std::string_view s, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= uint32_t(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

uint64_t get64(std::string_view s, size_t at) { return get32(s, at) | uint64_t(get32(s, at + 4)) << 32; }

std::span<const uint8_t> bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

void put_entry(std::string& out, const BlobEntry& b)
{
    out.push_back(static_cast<char>(b.type));
    out.append(3, '\0');
    put32(out, b.length);
    put32(out, b.raw_length);
    put32(out, 0);
    put64(out, b.offset);
    out.append(reinterpret_cast<const char*>(b.id.data()), b.id.size());
}

BlobEntry get_entry(std::string_view s, size_t at, const std::string& name)
{
    BlobEntry b;
    uint8_t type = static_cast<uint8_t>(s[at]);
    if (type > uint8_t(BlobType::Tree) || s[at + 1] || s[at + 2] || s[at + 3] || get32(s, at + 12))
        damaged("blob entry damaged (unknown type or reserved bytes set)", name);
    b.type = static_cast<BlobType>(type);
    b.length = get32(s, at + 4);
    b.raw_length = get32(s, at + 8);
    b.offset = get64(s, at + 16);
    memcpy(b.id.data(), s.data() + at + 24, 32);
    return b;
}

// Checks the magic, version and trailing checksum of a header or index; its body's bounds.
void check_frame(std::string_view s, const char* magic, uint32_t version, const std::string& what,
                 const std::string& name)
{
    if (s.size() < 20 || memcmp(s.data(), magic, 8) != 0)
        damaged(what + " damaged (no magic)", name);
    if (format::crc32c(bytes(s.substr(0, s.size() - 4))) != get32(s, s.size() - 4))
        damaged(what + " checksum mismatch", name);
    if (get32(s, 8) != version)
        damaged(what + " of unknown version " + std::to_string(get32(s, 8)), name);
}

void finish_frame(std::string& out) { put32(out, format::crc32c(bytes(out))); }

std::string key(const Digest& d) { return {reinterpret_cast<const char*>(d.data()), d.size()}; }

class IdentitySeal : public Seal {
public:
    std::string seal(std::string_view plain, std::string_view) const override { return std::string(plain); }
    std::string_view seal_view(std::string_view plain, std::string_view, std::string&) const override
    {
        return plain;
    }
    std::string open(std::string_view sealed, std::string_view, const std::string&) const override
    {
        return std::string(sealed);
    }
    Digest id(std::span<const uint8_t> raw) const override { return format::sha256(raw); }
    bool encrypted() const override { return false; }
};

class KeySeal : public Seal {
public:
    explicit KeySeal(const MasterKey& key) : key_(key) {}
    std::string seal(std::string_view plain, std::string_view context) const override
    {
        return key_.data().seal(plain, context);
    }
    std::string_view seal_view(std::string_view plain, std::string_view context, std::string& scratch) const override
    {
        scratch.clear();
        key_.data().seal_append(scratch, plain, context);
        return scratch;
    }
    std::string open(std::string_view sealed, std::string_view context, const std::string& name) const override
    {
        return key_.data().open(sealed, context, name);
    }
    Digest id(std::span<const uint8_t> raw) const override { return key_.id(raw); }
    bool encrypted() const override { return true; }

private:
    MasterKey key_;
};

} // namespace

const Seal& identity_seal()
{
    static const IdentitySeal s;
    return s;
}

std::unique_ptr<Seal> key_seal(const MasterKey& key) { return std::make_unique<KeySeal>(key); }

std::string blob_context(const Digest& id) { return "blob:" + to_hex(id); }

uint64_t PackEntry::bytes() const
{
    uint64_t n = 0;
    for (const BlobEntry& b : blobs)
        n += b.length;
    return n;
}

std::string pack_name(const Digest& id)
{
    std::string hex = to_hex(id);
    return "data/" + hex.substr(0, 2) + "/" + hex;
}

std::string index_name(const Digest& id) { return "index/" + to_hex(id); }

std::string encode_pack_header(const std::vector<BlobEntry>& blobs)
{
    std::string out(kPackMagic, 8);
    put32(out, kPackVersion);
    put32(out, static_cast<uint32_t>(blobs.size()));
    for (const BlobEntry& b : blobs)
        put_entry(out, b);
    finish_frame(out);
    return out;
}

std::vector<BlobEntry> decode_pack_header(std::string_view pack, const std::string& name, const Seal& seal)
{
    return decode_pack_tail(pack, pack.size(), name, seal);
}

uint32_t pack_header_length(std::string_view last4) { return get32(last4, 0); }

std::vector<BlobEntry> decode_pack_tail(std::string_view tail, uint64_t pack_size, const std::string& name,
                                        const Seal& seal)
{
    if (tail.size() < 4 || tail.size() > pack_size)
        damaged("pack truncated", name);
    uint64_t hlen = get32(tail, tail.size() - 4);
    if (hlen > kMaxHeaderBytes || hlen > tail.size() - 4)
        damaged("pack header length damaged", name);
    uint64_t hstart = pack_size - 4 - hlen;
    std::string h = seal.open(tail.substr(tail.size() - 4 - hlen, hlen), kPackHeaderContext, name);
    check_frame(h, kPackMagic, kPackVersion, "pack header", name);
    uint64_t count = get32(h, 12);
    if (h.size() != 20 + count * kEntryBytes)
        damaged("pack header length damaged", name);
    std::vector<BlobEntry> blobs;
    uint64_t next = 0;
    for (uint64_t i = 0; i < count; i++) {
        BlobEntry b = get_entry(h, 16 + i * kEntryBytes, name);
        if (b.offset != next || b.length > hstart - b.offset)
            damaged("pack header names a blob outside the pack", name);
        next = b.offset + b.length;
        blobs.push_back(b);
    }
    if (next != hstart)
        damaged("pack holds bytes its header does not name", name);
    return blobs;
}

std::string encode_index(const std::vector<PackEntry>& packs)
{
    std::string out(kIndexMagic, 8);
    put32(out, kIndexVersion);
    put32(out, static_cast<uint32_t>(packs.size()));
    for (const PackEntry& p : packs) {
        out.append(reinterpret_cast<const char*>(p.id.data()), p.id.size());
        put32(out, static_cast<uint32_t>(p.blobs.size()));
        put32(out, 0);
        for (const BlobEntry& b : p.blobs)
            put_entry(out, b);
    }
    finish_frame(out);
    return out;
}

std::vector<PackEntry> decode_index(std::string_view s, const std::string& name)
{
    check_frame(s, kIndexMagic, kIndexVersion, "index object", name);
    uint64_t count = get32(s, 12), at = 16, end = s.size() - 4;
    std::vector<PackEntry> packs;
    for (uint64_t i = 0; i < count; i++) {
        if (end - at < 40)
            damaged("index object truncated", name);
        PackEntry p;
        memcpy(p.id.data(), s.data() + at, 32);
        uint64_t n = get32(s, at + 32);
        if (get32(s, at + 36))
            damaged("index object damaged (reserved bytes set)", name);
        at += 40;
        if ((end - at) / kEntryBytes < n)
            damaged("index object truncated", name);
        for (uint64_t j = 0; j < n; j++, at += kEntryBytes)
            p.blobs.push_back(get_entry(s, at, name));
        packs.push_back(std::move(p));
    }
    if (at != end)
        damaged("index object has trailing bytes", name);
    return packs;
}

void PackIndex::clear()
{
    std::lock_guard g(mu_);
    blobs_.clear();
    more_.clear();
    packs_.clear();
    loaded_.clear();
}

size_t PackIndex::load(std::vector<std::string>* damaged_out)
{
    size_t n = 0;
    for (const ObjectInfo& o : store_.list("index")) {
        {
            std::lock_guard g(mu_);
            if (loaded_.count(o.name))
                continue;
        }
        std::vector<PackEntry> packs;
        try {
            if (o.size > kMaxIndexBytes)
                damaged("index object is too large", o.name);
            packs = decode_index(seal_.open(store_.load(o.name), kIndexContext, o.name), o.name);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::NotFound)
                continue; // replaced by gc meanwhile: what it listed is in its successor
            if (e.kind() != Error::Kind::Damaged || !damaged_out)
                throw;
            damaged_out->push_back(o.name);
            continue;
        }
        std::lock_guard g(mu_);
        for (const PackEntry& p : packs)
            add_locked(p);
        loaded_.insert(o.name);
        n++;
    }
    return n;
}

void PackIndex::add(const PackEntry& p)
{
    std::lock_guard g(mu_);
    add_locked(p);
}

void PackIndex::add_locked(const PackEntry& p)
{
    // A pack listed again (by a writer's own add() and then its index object, or by gc's new
    // index beside the old ones) adds no copies.
    const bool again = !packs_.try_emplace(p.id, p).second;
    for (const BlobEntry& b : p.blobs) {
        auto [it, first] = blobs_.try_emplace(key(b.id), Location{p.id, b});
        if (!first && !again && it->second.pack != p.id)
            more_[it->first].push_back(Location{p.id, b});
    }
}

bool PackIndex::find(const Digest& blob, Location& out) const
{
    std::lock_guard g(mu_);
    auto it = blobs_.find(key(blob));
    if (it == blobs_.end())
        return false;
    out = it->second;
    return true;
}

bool PackIndex::has(const Digest& blob) const
{
    std::lock_guard g(mu_);
    return blobs_.count(key(blob)) != 0;
}

std::vector<Location> PackIndex::also_at(const Digest& blob) const
{
    std::lock_guard g(mu_);
    auto it = more_.find(key(blob));
    return it == more_.end() ? std::vector<Location>{} : it->second;
}

std::map<Digest, PackEntry> PackIndex::packs() const
{
    std::lock_guard g(mu_);
    return packs_;
}

std::set<std::string> PackIndex::index_objects() const
{
    std::lock_guard g(mu_);
    return loaded_;
}

bool PackWriter::added(const Digest& id) const
{
    std::lock_guard g(mu_);
    return added_.count(id) != 0;
}

uint64_t PackWriter::add(const Digest& id, BlobType type, std::string_view blob, uint32_t raw_length)
{
    // Sealed outside the writer's lock, so that workers seal at once and only the copy into
    // the pack is taken in turn.
    thread_local std::string scratch;
    const std::string_view sealed = seal_.seal_view(blob, blob_context(id), scratch);
    Open full;
    {
        std::lock_guard g(mu_);
        if (!added_.insert(id).second)
            return 0;
        BlobEntry b{id, type, open_.bytes.size(), static_cast<uint32_t>(sealed.size()), raw_length};
        // A pack's bytes are gathered in one buffer of about its final size, not grown (and
        // copied) step by step; the buffer of the pack saved last is used again, its pages
        // already mapped.
        if (open_.bytes.empty()) {
            open_.bytes.swap(spare_);
            open_.bytes.clear();
            open_.bytes.reserve(target_ + target_ / 8 + sealed.size());
        }
        open_.bytes += sealed;
        open_.blobs.push_back(b);
        if (open_.bytes.size() < target_)
            return sealed.size();
        full = std::move(open_);
        open_ = Open{};
    }
    try {
        PackEntry p = save_pack(full);
        std::lock_guard g(mu_);
        done_.push_back(std::move(p));
        if (spare_.capacity() < full.bytes.capacity())
            spare_ = std::move(full.bytes);
    } catch (...) {
        std::lock_guard g(mu_);
        for (const BlobEntry& b : full.blobs)
            added_.erase(b.id);
        throw;
    }
    return sealed.size();
}

PackEntry PackWriter::save_pack(Open& p)
{
    std::string header = seal_.seal(encode_pack_header(p.blobs), kPackHeaderContext);
    p.bytes += header;
    put32(p.bytes, static_cast<uint32_t>(header.size()));
    PackEntry e;
    e.id = format::sha256(bytes(p.bytes));
    e.blobs = std::move(p.blobs);
    store_.save_hashed(pack_name(e.id), p.bytes, e.id);
    return e;
}

std::vector<PackEntry> PackWriter::finish(const std::vector<PackEntry>& also)
{
    std::lock_guard g(mu_);
    if (!open_.blobs.empty()) {
        done_.push_back(save_pack(open_));
        open_ = Open{};
    }
    std::vector<PackEntry> listed = done_;
    listed.insert(listed.end(), also.begin(), also.end());
    if (!listed.empty()) {
        std::string ix = seal_.seal(encode_index(listed), kIndexContext);
        index_ = index_name(format::sha256(bytes(ix)));
        store_.save(index_, ix);
    }
    return std::exchange(done_, {});
}

std::string PackWriter::index_written() const
{
    std::lock_guard g(mu_);
    return index_;
}

std::string read_blob(Backend& store, const Seal& seal, const Location& loc)
{
    std::string name = pack_name(loc.pack);
    std::string data;
    try {
        data = store.load_range(name, loc.blob.offset, loc.blob.length);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound)
            damaged("chunk missing (its pack is gone)", name);
        throw;
    }
    if (data.size() != loc.blob.length)
        damaged("pack truncated", name);
    return seal.open(data, blob_context(loc.blob.id), name);
}

} // namespace repo::pack
