// Where a repository keeps its chunks, behind one small interface: a file per chunk
// (version 1: chunks/HH/<digest>) or pack files and a repository-wide index (version 2,
// repo/pack.h). The repository's writers, readers, verify and gc use only this.
//
// Errors: repo::Error; a chunk that is missing or does not decode is Error::Damaged naming
// the file or object it was looked for in.
// Threads: every call is safe from several threads at once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "repo/backend.h"
#include "repo/env.h"
#include "repo/pack.h"
#include "repo/repository.h"

namespace repo {

// The file at `path`; its absence is reported as `kind` with `message`. A file of more than
// `max_bytes` is damage (`too_large` says what), found before anything is allocated for it.
std::string read_required(Env& env, const std::string& path, Error::Kind kind, const std::string& message,
                          uint64_t max_bytes, const std::string& too_large);

// One writer's chunks: nothing it puts is named to other writers before finish() returns,
// and everything it put is durable by then.
//
// A chunk the repository has already is not stored again, but one in kRecheckOneIn of those
// (every one after check_all_reused()) is read back first, each at most once a session:
// when no sound copy is stored (missing, damaged), the session stores the chunk again, so
// the backup references a sound copy and the damage is not passed on to every later backup
// of the same data. Reading back costs about what hashing the chunk did, so the share keeps
// a backup that reuses everything within a few percent of one that reads nothing back.
constexpr uint32_t kRecheckOneIn = 32;

class ChunkSession {
public:
    ChunkSession();
    virtual ~ChunkSession() = default;
    // Stores chunk `d` (the SHA-256 of `raw`) unless the repository or this session has it
    // (and, when it is read back, soundly); returns the bytes it stored (0 when it had it).
    virtual uint64_t put(const Digest& d, std::span<const uint8_t> raw,
                         pack::BlobType type = pack::BlobType::Data) = 0;
    virtual void finish() = 0;

    // From now on every chunk the repository has is read back before it is reused.
    void check_all_reused() { all_ = true; }
    // Chunks found missing or damaged and stored again (put() counted their bytes).
    uint64_t stored_again() const { return stored_again_; }

protected:
    // Whether to read back the stored copy of `d` before reusing it.
    bool recheck(const Digest& d);
    void note_stored_again() { stored_again_++; }

private:
    std::atomic<bool> all_{false};
    std::atomic<uint64_t> stored_again_{0};
    std::mutex mu_;
    std::mt19937_64 rng_;       // guarded by mu_
    std::set<Digest> checked_;  // guarded by mu_
};

class ChunkStore {
public:
    virtual ~ChunkStore() = default;
    virtual std::unique_ptr<ChunkSession> begin() = 0;
    // Whether chunk `d` is stored (as far as this store has looked).
    virtual bool has(const Digest& d) = 0;
    // The chunk's raw contents, checked against `d`.
    virtual std::vector<uint8_t> get(const Digest& d) = 0;
    // The bytes chunk `d` takes in the store, or none when it is not stored.
    virtual std::optional<uint64_t> stored_bytes(const Digest& d) = 0;
    // The file or object that holds (or should hold) `d`, for messages.
    virtual std::string where(const Digest& d) = 0;
    // Those of `chunks` not stored now, looked up afresh in the store without reading them
    // (after a lost lock, when gc may have run meanwhile; by verify for the chunks it does
    // not read): for packs, listed in the index and held by a pack that exists.
    virtual std::set<Digest> missing(const std::set<Digest>& chunks) = 0;
    // Removes what no backup references: chunks not in `live`, temporary files, and (for
    // packs) rewrites packs mostly dead. `check_lock(full)` is called between steps and
    // throws when gc must stop.
    virtual void collect(const std::set<Digest>& live, const std::function<void(bool)>& check_lock,
                         const ProgressFn& progress, GcResult& result) = 0;

    // What repair found: chunks that are no longer stored, and why.
    struct Lost {
        std::string what;
        std::string path;  // the object set aside (or missing)
        std::set<Digest> chunks;
    };
    // Reads and checks every stored chunk. A damaged object is set aside under
    // DIR/damaged/ (kept, not removed); the index is rebuilt from the packs, listing only
    // sound chunks, so the next backup that has a lost chunk's data stores it again.
    // Reads the header of every pack the index lists and checks it against the index (so
    // that the index can be rebuilt from the packs); what is wrong, with the chunks of the
    // pack. Nothing for chunk files.
    virtual std::vector<Lost> check_headers() { return {}; }
    virtual std::vector<Lost> repair(const std::function<void(bool)>& check_lock, const ProgressFn& progress,
                                     uint64_t& chunks_checked) = 0;
};

// Version 1: chunk files under `dir`/chunks, through `env`.
std::unique_ptr<ChunkStore> file_chunk_store(Env& env, const std::string& dir, uint32_t chunk_bytes);
// Version 2: packs and index objects in `store`, each object through `seal`. `files`: the
// chunk files of a repository that was version 1 before, still read (and collected by gc).
std::unique_ptr<ChunkStore> pack_chunk_store(Backend& store, const pack::Seal& seal, uint32_t chunk_bytes,
                                             uint64_t pack_bytes, std::unique_ptr<ChunkStore> files = nullptr);

} // namespace repo
