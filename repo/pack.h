// Chunk storage of a version 2 repository: blobs (chunk files, as a version 1 repository
// stores each on its own) collected into pack files of several MiB, and a repository-wide
// index of where each blob lies. Everything goes through a Backend, so a pack repository can
// live on object storage; docs/repository.md describes the objects byte by byte.
//
//   data/HH/<pack id>     a pack: its blobs, then its header, then the header's length
//   index/<index id>      which blobs the packs a writer (or gc) added hold, and where
//
// Both are named by the SHA-256 of their (sealed) bytes, so writers at once never write the same name
// with other bytes; an object is only ever added whole (Backend::save) or removed.
//
// Errors: repo::Error, Kind::Damaged for an object that does not decode (naming it).
// Threads: PackIndex and PackWriter are safe from several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "repo/backend.h"
#include "repo/crypto.h"
#include "repo/repository.h"

namespace repo::pack {

// gc rewrites a pack whose live blobs hold less than this share of its bytes.
constexpr double kRepackBelow = 0.5;
// The largest header and index objects a reader accepts before it allocates.
constexpr uint64_t kMaxHeaderBytes = 64u << 20;
constexpr uint64_t kMaxIndexBytes = 1u << 30;

enum class BlobType : uint8_t { Data = 0, Tree = 1 };

struct BlobEntry {
    Digest id{};          // the blob's id: Seal::id of its raw contents
    BlobType type = BlobType::Data;
    uint64_t offset = 0;  // within the pack
    uint32_t length = 0;  // sealed bytes in the pack
    uint32_t raw_length = 0;
};

struct PackEntry {
    Digest id{};  // the pack's name
    std::vector<BlobEntry> blobs;
    uint64_t bytes() const;  // the blobs' bytes
};

// What each object passes through on its way to the store and back, and how chunks are
// named. Unencrypted: the bytes as they are, and chunks named by their SHA-256. Encrypted:
// every object sealed under the repository's data key (repo/crypto.h) with a context that
// says what it is (blob_context, kPackHeaderContext, kIndexContext, ...), and chunks named
// by the keyed hash MasterKey::id. open() throws Error::Damaged naming `name`.
class Seal {
public:
    virtual ~Seal() = default;
    virtual std::string seal(std::string_view plain, std::string_view context) const = 0;
    // The sealed bytes of `plain`: `plain` itself where sealing changes nothing, else sealed
    // into `scratch` (whose buffer is reused from call to call; `plain` must not lie in it).
    virtual std::string_view seal_view(std::string_view plain, std::string_view context,
                                       std::string& scratch) const = 0;
    virtual std::string open(std::string_view sealed, std::string_view context, const std::string& name) const = 0;
    // The id of a chunk or map piece with raw contents `raw`.
    virtual Digest id(std::span<const uint8_t> raw) const = 0;
    virtual bool encrypted() const = 0;
};
const Seal& identity_seal();
// Seals under `key` (which the Seal keeps a copy of).
std::unique_ptr<Seal> key_seal(const MasterKey& key);

// The contexts objects are sealed with: a blob is bound to its id (so that no blob can be
// passed off as another, within or across packs), headers and index objects to their role.
std::string blob_context(const Digest& id);
constexpr std::string_view kPackHeaderContext = "pack header";
constexpr std::string_view kIndexContext = "index";

std::string pack_name(const Digest& id);
std::string index_name(const Digest& id);

// A pack's header (its blob list) and the pack's tail; decode_pack_header reads the list from
// a whole pack and checks that every blob lies inside it, in order, without overlap.
std::string encode_pack_header(const std::vector<BlobEntry>& blobs);
std::vector<BlobEntry> decode_pack_header(std::string_view pack, const std::string& name, const Seal& seal);
// The same from the pack's last bytes alone (`tail`, holding at least the header and its
// length) and the pack's size; pack_header_length reads the length from the last 4 bytes.
std::vector<BlobEntry> decode_pack_tail(std::string_view tail, uint64_t pack_size, const std::string& name,
                                        const Seal& seal);
uint32_t pack_header_length(std::string_view last4);
std::string encode_index(const std::vector<PackEntry>& packs);
std::vector<PackEntry> decode_index(std::string_view data, const std::string& name);

struct Location {
    Digest pack{};
    BlobEntry blob;
};

// The merged index objects of a repository. load() reads the index objects it has not read
// yet; a blob in several packs keeps the location found first, and its other locations for
// also_at() (a copy stored again because the first was found damaged, or by two writers at
// once).
class PackIndex {
public:
    PackIndex(Backend& store, const Seal& seal) : store_(store), seal_(seal) {}
    // Reads new index objects; returns how many. Throws Error::Damaged for one that does not
    // decode (its name in the error), or, with `damaged`, adds its name there and goes on.
    size_t load(std::vector<std::string>* damaged = nullptr);
    // Forgets everything loaded: the next load() reads every index object again.
    void clear();
    bool find(const Digest& blob, Location& out) const;
    bool has(const Digest& blob) const;
    // The blob's locations other than find()'s, in the order found (usually none).
    std::vector<Location> also_at(const Digest& blob) const;
    // Every pack the loaded indexes list, and the index objects they came from.
    std::map<Digest, PackEntry> packs() const;
    std::set<std::string> index_objects() const;
    void add(const PackEntry& p);

private:
    void add_locked(const PackEntry& p);  // needs mu_

    Backend& store_;
    const Seal& seal_;
    mutable std::mutex mu_;
    std::unordered_map<std::string, Location> blobs_;  // by raw digest bytes; guarded by mu_
    std::unordered_map<std::string, std::vector<Location>> more_;  // further copies; guarded by mu_
    std::map<Digest, PackEntry> packs_;                // guarded by mu_
    std::set<std::string> loaded_;                     // guarded by mu_
};

// Collects blobs into packs and saves each pack when it is full; finish() saves the last
// pack and then one index object of everything this writer added. Nothing is named by an
// index until finish() returns, and every pack it names was saved (durable) before it.
class PackWriter {
public:
    PackWriter(Backend& store, const Seal& seal, uint64_t target)
        : store_(store), seal_(seal), target_(target)
    {
    }
    // Adds a blob (a chunk file's bytes) unless this writer has it already; returns the bytes
    // it takes in the pack (0 when it had it). May save a full pack, outside the writer's lock.
    uint64_t add(const Digest& id, BlobType type, std::string_view blob, uint32_t raw_length);
    // Saves what is left, then one index object listing the packs this writer saved and
    // `also` (packs already stored, for gc's new index); returns the packs it saved. Writes no
    // index object when that list is empty.
    std::vector<PackEntry> finish(const std::vector<PackEntry>& also = {});
    // The name of the index object finish() wrote, or "".
    std::string index_written() const;
    bool added(const Digest& id) const;

private:
    struct Open {
        std::string bytes;
        std::vector<BlobEntry> blobs;
    };
    PackEntry save_pack(Open& p);

    Backend& store_;
    const Seal& seal_;
    uint64_t target_;
    mutable std::mutex mu_;
    Open open_;                   // guarded by mu_
    std::string spare_;           // guarded by mu_: a saved pack's buffer, for the next pack
    std::vector<PackEntry> done_; // guarded by mu_
    std::set<Digest> added_;      // guarded by mu_
    std::string index_;           // guarded by mu_
};

// The blob's bytes from its pack (Error::Damaged "chunk missing" when the pack is gone).
std::string read_blob(Backend& store, const Seal& seal, const Location& loc);

} // namespace repo::pack
