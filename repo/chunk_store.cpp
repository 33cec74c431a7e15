// The two chunk stores: a file per chunk (version 1) and pack files with an index (version 2).
#include "repo/chunk_store.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>

#include "repo/format.h"

namespace repo {

std::string read_required(Env& env, const std::string& path, Error::Kind kind, const std::string& message,
                          uint64_t max_bytes, const std::string& too_large)
{
    try {
        auto f = env.open_read(path);
        uint64_t size = f->size();
        if (size > max_bytes)
            throw Error(Error::Kind::Damaged, too_large + " (" + std::to_string(size) + " bytes)", path);
        std::string data(size, '\0');
        data.resize(f->read_at(0, data.data(), size));
        return data;
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound)
            throw Error(kind, message, path);
        throw;
    }
}

ChunkSession::ChunkSession() : rng_(std::random_device{}()) {}

bool ChunkSession::recheck(const Digest& d)
{
    std::lock_guard g(mu_);
    if (!all_ && rng_() % kRecheckOneIn != 0)
        return false;
    return checked_.insert(d).second;
}

namespace {

bool is_temp(const std::string& name)
{
    return !name.empty() && name[0] == '.' && name.find(".tmp-") != std::string::npos;
}

// ---------------------------------------------------------------------------------------
// Version 1: chunks/HH/<digest>, each written under a temporary name, synced and renamed.

class FileChunkStore : public ChunkStore {
public:
    FileChunkStore(Env& env, const std::string& dir, uint32_t chunk_bytes)
        : env_(env), chunks_dir_(join(dir, "chunks")), chunk_bytes_(chunk_bytes)
    {
    }

    std::string chunk_dir(const Digest& d) const { return join(chunks_dir_, to_hex(std::span(d.data(), 1))); }
    std::string where(const Digest& d) override { return join(chunk_dir(d), to_hex(d)); }
    bool has(const Digest& d) override { return env_.exists(where(d)); }
    // Whether chunk `d` reads back sound.
    bool sound(const Digest& d)
    {
        try {
            get(d);
            return true;
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged)
                throw;
            return false;
        }
    }
    std::optional<uint64_t> stored_bytes(const Digest& d) override
    {
        if (!has(d))
            return std::nullopt;
        return env_.open_read(where(d))->size();
    }

    std::vector<uint8_t> get(const Digest& d) override
    {
        std::string path = where(d);
        std::string file = read_required(env_, path, Error::Kind::Damaged, "chunk missing",
                                         format::max_chunk_file_bytes(chunk_bytes_), "chunk is too large");
        return format::decode_chunk(file, d, path);
    }

    std::set<Digest> missing(const std::set<Digest>& chunks) override
    {
        std::set<Digest> out;
        std::copy_if(chunks.begin(), chunks.end(), std::inserter(out, out.end()),
                     [&](const Digest& d) { return !has(d); });
        return out;
    }

    std::unique_ptr<ChunkSession> begin() override;

    // Calls f(directory) for each chunk directory in order, reporting progress by directory.
    template <typename F> void each_dir(const ProgressFn& progress, F&& f)
    {
        std::vector<std::string> subdirs = env_.list(chunks_dir_);
        std::sort(subdirs.begin(), subdirs.end());
        uint64_t done = 0;
        for (const std::string& sub : subdirs) {
            if (progress)
                progress(done++, subdirs.size());
            std::string d = join(chunks_dir_, sub);
            if (env_.is_dir(d))
                f(d);
        }
        if (progress)
            progress(done, subdirs.size());
    }

    void collect(const std::set<Digest>& live, const std::function<void(bool)>& check_lock,
                 const ProgressFn& progress, GcResult& result) override
    {
        each_dir(progress, [&](const std::string& d) {
            check_lock(true);
            bool changed = false;
            for (const std::string& name : env_.list(d)) {
                Digest digest;
                bool chunk = format::from_hex(name, digest) && !live.count(digest);
                if (!chunk && !is_temp(name))
                    continue;
                check_lock(false);
                std::string path = join(d, name);
                uint64_t size = env_.open_read(path)->size();
                env_.remove(path);
                changed = true;
                if (chunk) {
                    result.chunks_removed++;
                    result.bytes_removed += size;
                } else {
                    result.other_files_removed++;
                }
            }
            if (changed)
                env_.sync_dir(d);
        });
    }

    std::vector<Lost> repair(const std::function<void(bool)>& check_lock, const ProgressFn& progress,
                             uint64_t& checked) override
    {
        std::vector<Lost> lost;
        std::string aside = join(dir_of(chunks_dir_), "damaged");
        each_dir(progress, [&](const std::string& d) {
            for (const std::string& name : env_.list(d)) {
                Digest digest;
                if (!format::from_hex(name, digest))
                    continue;
                checked++;
                try {
                    get(digest);
                    continue;
                } catch (const Error& e) {
                    if (e.kind() != Error::Kind::Damaged)
                        throw;
                    lost.push_back({e.message(), join(aside, name), {digest}});
                }
                check_lock(false);
                if (!env_.is_dir(aside)) {
                    env_.mkdir(aside);
                    env_.sync_dir(dir_of(aside));
                }
                env_.rename(join(d, name), join(aside, name));
                env_.sync_dir(aside);
                env_.sync_dir(d);
            }
        });
        return lost;
    }

    Env& env_;
    std::string chunks_dir_;
    uint32_t chunk_bytes_;
};

class FileSession : public ChunkSession {
public:
    explicit FileSession(FileChunkStore& s) : s_(s) {}

    uint64_t put(const Digest& d, std::span<const uint8_t> raw, pack::BlobType) override
    {
        std::string dir = s_.chunk_dir(d), path = s_.where(d);
        {
            std::lock_guard g(mu_);
            touched_dirs_.insert(dir);
            if (!stored_.insert(d).second)
                return 0; // this session has it
        }
        bool again = false;
        if (s_.env_.exists(path)) {
            if (!recheck(d) || s_.sound(d))
                return 0;
            again = true; // written over the damaged file below
        }
        std::span<const uint8_t> file = format::encode_chunk_view(raw);
        bool ready;
        {
            std::lock_guard g(mu_);
            ready = ready_dirs_.count(dir) != 0;
        }
        if (!ready) {
            bool made = !s_.env_.is_dir(dir);
            if (made)
                s_.env_.mkdir(dir);
            std::lock_guard g(mu_);
            created_dir_ = created_dir_ || made;
            ready_dirs_.insert(dir);
        }
        std::string tmp = temp_name(path);
        try {
            auto f = s_.env_.create(tmp);
            f->append(file.data(), file.size());
            f->sync();
            f->close();
            s_.env_.rename(tmp, path);
        } catch (...) {
            std::lock_guard g(mu_);
            stored_.erase(d);
            try {
                s_.env_.remove(tmp);
            } catch (...) {
            }
            throw;
        }
        if (again)
            note_stored_again();
        return file.size();
    }

    // Chunks are durable before anything names them: their directories hold the renames
    // (and any directory just created).
    void finish() override
    {
        std::lock_guard g(mu_);
        for (const std::string& d : touched_dirs_)
            s_.env_.sync_dir(d);
        if (created_dir_)
            s_.env_.sync_dir(s_.chunks_dir_);
    }

private:
    FileChunkStore& s_;
    std::mutex mu_;
    std::set<Digest> stored_;             // guarded by mu_
    std::set<std::string> touched_dirs_;  // guarded by mu_
    std::set<std::string> ready_dirs_;    // chunk directories known to exist; guarded by mu_
    bool created_dir_ = false;            // guarded by mu_
};

std::unique_ptr<ChunkSession> FileChunkStore::begin() { return std::make_unique<FileSession>(*this); }

// ---------------------------------------------------------------------------------------
// Version 2: packs and the index (repo/pack.h).

class PackChunkStore : public ChunkStore {
public:
    PackChunkStore(Backend& store, const pack::Seal& seal, uint32_t chunk_bytes, uint64_t pack_bytes,
                   std::unique_ptr<ChunkStore> files)
        : store_(store), seal_(seal), chunk_bytes_(chunk_bytes), pack_bytes_(pack_bytes), index_(store, seal),
          files_(std::move(files))
    {
    }

    // Whether `d` is a chunk file left from the repository's version 1 days.
    bool in_files(const Digest& d) { return files_ && files_->has(d); }

    std::unique_ptr<ChunkSession> begin() override;

    // The index objects are read once, at first use; a chunk not found is looked for again
    // in index objects written since.
    void ensure_loaded()
    {
        std::lock_guard g(load_mu_);
        if (!loaded_) {
            index_.load();
            loaded_ = true;
        }
    }

    bool find(const Digest& d, pack::Location& loc)
    {
        ensure_loaded();
        if (index_.find(d, loc))
            return true;
        index_.load();
        return index_.find(d, loc);
    }

    bool has(const Digest& d) override
    {
        ensure_loaded();
        return index_.has(d) || in_files(d);
    }

    std::optional<uint64_t> stored_bytes(const Digest& d) override
    {
        pack::Location loc;
        if (find(d, loc))
            return loc.blob.length;
        if (in_files(d))
            return files_->stored_bytes(d);
        return std::nullopt;
    }

    std::string where(const Digest& d) override
    {
        pack::Location loc;
        if (find(d, loc))
            return join(store_.location(), pack::pack_name(loc.pack));
        if (in_files(d))
            return files_->where(d);
        return join(store_.location(), "index");
    }

    std::vector<uint8_t> get(const Digest& d) override { return get_once(d, true); }

    void forget_index()
    {
        std::lock_guard g(load_mu_);
        index_.clear();
        loaded_ = false;
    }

    std::vector<uint8_t> get_once(const Digest& d, bool retry)
    {
        pack::Location loc;
        if (!find(d, loc) && in_files(d))
            return files_->get(d);
        if (!find(d, loc))
            throw Error(Error::Kind::Damaged, "chunk missing (no index lists " + to_hex(d) + ")",
                        join(store_.location(), "index"));
        bool unread = false;
        try {
            return read_copy(index_, loc, d, unread);
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged || !unread || !retry)
                throw;
            // The pack may have been rewritten by a gc since the index was read.
            forget_index();
            return get_once(d, false);
        }
    }

    // The chunk at `loc`, checked against `d`. `unread`: the blob could not be read from
    // its pack (as opposed to read and found wrong).
    std::vector<uint8_t> read_at(const pack::Location& loc, const Digest& d, bool& unread)
    {
        std::string path = join(store_.location(), pack::pack_name(loc.pack));
        if (loc.blob.raw_length > chunk_bytes_ || loc.blob.length > format::max_chunk_file_bytes(chunk_bytes_))
            throw Error(Error::Kind::Damaged, "index names a chunk larger than the chunk size", path);
        std::string blob;
        try {
            blob = pack::read_blob(store_, seal_, loc);
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged)
                throw;
            unread = true;
            throw Error(e.kind(), e.message(), join(store_.location(), e.path()));
        }
        return decode(blob, d, path);
    }

    // A chunk's raw contents, checked against its id.
    std::vector<uint8_t> decode(const std::string& blob, const Digest& d, const std::string& path) const
    {
        std::vector<uint8_t> raw = format::decode_chunk_contents(blob, path);
        if (seal_.id(raw) != d)
            throw Error(Error::Kind::Damaged, "chunk digest mismatch", path);
        return raw;
    }

    // The chunk from the first of its copies `ix` lists (`first`, then the others) that
    // reads back sound; the first copy's damage when none does.
    std::vector<uint8_t> read_copy(const pack::PackIndex& ix, const pack::Location& first, const Digest& d,
                                   bool& unread)
    {
        try {
            return read_at(first, d, unread);
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged)
                throw;
            for (const pack::Location& other : ix.also_at(d)) {
                bool ignored = false;
                try {
                    return read_at(other, d, ignored);
                } catch (const Error& again) {
                    if (again.kind() != Error::Kind::Damaged)
                        throw;
                }
            }
            throw;
        }
    }

    // Whether some copy of `d` that `ix` lists (or, for none, its version 1 chunk file)
    // reads back sound.
    bool sound(const pack::PackIndex& ix, const Digest& d)
    {
        try {
            pack::Location loc;
            bool unread = false;
            if (ix.find(d, loc))
                read_copy(ix, loc, d, unread);
            else if (in_files(d))
                files_->get(d);
            else
                return false;
            return true;
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged)
                throw;
            return false;
        }
    }

    std::set<Digest> missing(const std::set<Digest>& chunks) override
    {
        pack::PackIndex fresh(store_, seal_);
        fresh.load();
        std::map<Digest, bool> present;
        auto exists = [&](const pack::Location& l) {
            auto it = present.find(l.pack);
            if (it == present.end())
                it = present.emplace(l.pack, store_.stat(pack::pack_name(l.pack)).has_value()).first;
            return it->second;
        };
        std::set<Digest> out;
        // A chunk is stored while some pack that holds a copy of it exists.
        for (const Digest& d : chunks) {
            pack::Location loc;
            if (!fresh.find(d, loc)) {
                if (!in_files(d))
                    out.insert(d);
                continue;
            }
            if (!exists(loc)) {
                std::vector<pack::Location> others = fresh.also_at(d);
                if (std::none_of(others.begin(), others.end(), exists))
                    out.insert(d);
            }
        }
        return out;
    }

    std::vector<Lost> check_headers() override
    {
        ensure_loaded();
        std::vector<Lost> out;
        for (const auto& [id, entry] : index_.packs()) {
            std::string name = pack::pack_name(id);
            std::string path = join(store_.location(), name);
            std::optional<uint64_t> size = store_.stat(name);
            if (!size)
                continue;  // its chunks are reported missing
            Lost l{"", path, {}};
            try {
                if (*size < 4)
                    throw Error(Error::Kind::Damaged, "pack truncated", path);
                uint64_t hlen = pack::pack_header_length(store_.load_range(name, *size - 4, 4));
                if (hlen > pack::kMaxHeaderBytes || hlen > *size - 4)
                    throw Error(Error::Kind::Damaged, "pack header length damaged", path);
                std::vector<pack::BlobEntry> blobs =
                    pack::decode_pack_tail(store_.load_range(name, *size - 4 - hlen, hlen + 4), *size, path, seal_);
                bool same = blobs.size() == entry.blobs.size();
                for (size_t i = 0; same && i < blobs.size(); i++) {
                    const pack::BlobEntry &a = blobs[i], &b = entry.blobs[i];
                    same = a.id == b.id && a.type == b.type && a.offset == b.offset && a.length == b.length &&
                           a.raw_length == b.raw_length;
                }
                if (same)
                    continue;
                l.what = "pack header differs from the index";
            } catch (const Error& e) {
                if (e.kind() == Error::Kind::NotFound)
                    continue;  // gone meanwhile: its chunks are reported missing
                if (e.kind() != Error::Kind::Damaged)
                    throw;
                l.what = e.message();
            }
            for (const pack::BlobEntry& b : entry.blobs)
                l.chunks.insert(b.id);
            out.push_back(std::move(l));
        }
        return out;
    }

    void collect(const std::set<Digest>& live, const std::function<void(bool)>& check_lock,
                 const ProgressFn& progress, GcResult& result) override;
    std::vector<Lost> repair(const std::function<void(bool)>& check_lock, const ProgressFn& progress,
                             uint64_t& checked) override;
    std::vector<Lost> lost_before_reading(const pack::PackIndex& old, const std::vector<std::string>& bad,
                                          const std::map<std::string, uint64_t>& objects);

    // The pack of the first copy of `d` in a pack the store has that reads back sound
    // (`fallback` when none does).
    Digest sound_copy(const pack::PackIndex& ix, const Digest& d, const std::map<std::string, uint64_t>& objects,
                      const Digest& fallback)
    {
        std::vector<pack::Location> copies;
        pack::Location loc;
        if (ix.find(d, loc))
            copies.push_back(loc);
        for (const pack::Location& other : ix.also_at(d))
            copies.push_back(other);
        std::erase_if(copies, [&](const pack::Location& c) { return !objects.count(pack::pack_name(c.pack)); });
        for (const pack::Location& c : copies) {
            bool unread = false;
            try {
                read_at(c, d, unread);
                return c.pack;
            } catch (const Error& e) {
                if (e.kind() != Error::Kind::Damaged)
                    throw;
            }
        }
        return fallback;
    }

    // The packs the store holds (those no index lists too), with their sizes.
    std::map<std::string, uint64_t> pack_objects()
    {
        std::map<std::string, uint64_t> objects;
        for (const ObjectInfo& o : store_.list("data"))
            objects[o.name] = o.size;
        return objects;
    }

    // Copies the live blobs `owned` of pack `name` into `writer`, each checked first: a
    // damaged copy is not carried on (the next backup of its data stores it again).
    void carry_over(const std::string& name, const std::vector<const pack::BlobEntry*>& owned,
                    pack::PackWriter& writer)
    {
        std::string data = store_.load(name);
        for (const pack::BlobEntry* b : owned) {
            if (b->offset > data.size() || b->length > data.size() - b->offset)
                continue; // truncated: verify reports what it loses
            std::string blob;
            try {
                blob = seal_.open(std::string_view(data).substr(b->offset, b->length), pack::blob_context(b->id), name);
                decode(blob, b->id, name);
            } catch (const Error& e) {
                if (e.kind() != Error::Kind::Damaged)
                    throw;
                continue;
            }
            writer.add(b->id, b->type, blob, b->raw_length);
        }
    }

    // Keeps a copy of `name` under damaged/, then removes it.
    void set_aside(const std::string& name)
    {
        try {
            store_.save("damaged/" + name, store_.load(name));
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::NotFound)
                throw;
            return;
        }
        store_.remove(name);
    }

    Backend& store_;
    const pack::Seal& seal_;
    uint32_t chunk_bytes_;
    uint64_t pack_bytes_;
    pack::PackIndex index_;
    std::mutex load_mu_;
    bool loaded_ = false;  // guarded by load_mu_
    std::unique_ptr<ChunkStore> files_;  // chunk files of a repository made as version 1, or none
};

// A writer's session reads the index afresh when it begins (under the writer's lock, so no
// gc runs until it ends): what an earlier gc removed is not taken for stored.
class PackSession : public ChunkSession {
public:
    explicit PackSession(PackChunkStore& s)
        : s_(s), known_(s.store_, s.seal_), writer_(s.store_, s.seal_, s.pack_bytes_)
    {
        known_.load();
    }

    uint64_t put(const Digest& d, std::span<const uint8_t> raw, pack::BlobType type) override
    {
        if (writer_.added(d))
            return 0;
        // A chunk stored again goes into this session's packs like a new one: readers and gc
        // take whichever copy reads back sound.
        const bool again = known_.has(d) || s_.in_files(d);
        if (again && (!recheck(d) || s_.sound(known_, d)))
            return 0;
        std::span<const uint8_t> file = format::encode_chunk_view(raw);
        uint64_t bytes = writer_.add(d, type, {reinterpret_cast<const char*>(file.data()), file.size()},
                                     static_cast<uint32_t>(raw.size()));
        if (again && bytes)
            note_stored_again();
        return bytes;
    }

    // The last pack, then the index object naming this session's packs; later sessions of
    // this process see them at once.
    void finish() override
    {
        for (const pack::PackEntry& p : writer_.finish())
            s_.index_.add(p);
    }

private:
    PackChunkStore& s_;
    pack::PackIndex known_;
    pack::PackWriter writer_;
};

std::unique_ptr<ChunkSession> PackChunkStore::begin() { return std::make_unique<PackSession>(*this); }

// gc of packs, each step safe to be cut short by a crash:
//  1. every pack the index lists is kept (enough of it live), dropped (nothing live, or gone
//     from the store) or rewritten (its live blobs copied into new packs, which are saved);
//  2. one new index object lists the kept and the new packs;
//  3. only then the old index objects go, then the dropped and rewritten packs, and packs no
//     index listed (left by writers that crashed before their index object).
// A crash before 2 leaves new packs no index lists (the next gc removes them); after 2 the
// old and the new index objects name only packs that still exist, or packs that 3 removes
// only once no index object names them.
void PackChunkStore::collect(const std::set<Digest>& live, const std::function<void(bool)>& check_lock,
                             const ProgressFn& progress, GcResult& result)
{
    pack::PackIndex all(store_, seal_);
    all.load();
    std::set<std::string> old_indexes = all.index_objects();
    std::map<Digest, pack::PackEntry> packs = all.packs();
    std::map<std::string, uint64_t> objects = pack_objects();

    std::vector<pack::PackEntry> kept;
    std::vector<std::string> doomed;
    std::set<std::string> indexed;
    bool lost = false;  // the index lists a pack the store lacks
    // Each live chunk belongs to one copy: the first in a pack the store still has, or for
    // a chunk stored more than once, the first such that reads back sound (a backup that
    // found a copy damaged stored another: that one must stay).
    std::map<Digest, Digest> owner;
    for (const auto& [id, p] : packs)
        if (objects.count(pack::pack_name(id)))
            for (const pack::BlobEntry& b : p.blobs)
                if (live.count(b.id) && owner.try_emplace(b.id, id).second && !all.also_at(b.id).empty())
                    owner[b.id] = sound_copy(all, b.id, objects, id);
    pack::PackWriter writer(store_, seal_, pack_bytes_);
    uint64_t done = 0;
    for (const auto& [id, p] : packs) {
        if (progress)
            progress(done++, packs.size());
        std::string name = pack::pack_name(id);
        indexed.insert(name);
        auto obj = objects.find(name);
        if (obj == objects.end()) {
            lost = true; // the new index no longer lists it, so its chunks are stored again
            continue;
        }
        uint64_t live_bytes = 0;
        std::vector<const pack::BlobEntry*> owned;  // live blobs whose copy is this one
        for (const pack::BlobEntry& b : p.blobs) {
            auto o = owner.find(b.id);
            if (o != owner.end() && o->second == id) {
                owned.push_back(&b);
                live_bytes += b.length;
            }
        }
        uint64_t total = std::max<uint64_t>(p.bytes(), 1);
        if (!owned.empty() && double(live_bytes) >= pack::kRepackBelow * double(total)) {
            kept.push_back(p);
            continue;
        }
        check_lock(true);
        if (!owned.empty()) {
            carry_over(name, owned, writer);
            result.packs_repacked++;
        } else {
            result.packs_removed++;
        }
        result.chunks_removed += p.blobs.size() - owned.size();
        result.bytes_removed += obj->second;
        doomed.push_back(name);
    }
    if (progress)
        progress(done, packs.size());
    for (const auto& obj : objects)
        if (!indexed.count(obj.first)) {
            doomed.push_back(obj.first);
            result.other_files_removed++;
        }
    if (doomed.empty() && !lost && old_indexes.size() <= 1) {
        if (files_)
            files_->collect(live, check_lock, {}, result);
        return;
    }

    check_lock(true);
    std::vector<pack::PackEntry> added = writer.finish(kept);
    std::set<std::string> listed;  // what the new index names: never removed below
    for (const pack::PackEntry& p : added) {
        listed.insert(pack::pack_name(p.id));
        result.bytes_removed -= std::min(result.bytes_removed, p.bytes());
    }
    for (const std::string& name : old_indexes)
        if (name != writer.index_written()) {
            check_lock(false);
            store_.remove(name);
        }
    for (const std::string& name : doomed)
        if (!listed.count(name)) {
            check_lock(false);
            store_.remove(name);
        }
    forget_index();
    if (files_)
        files_->collect(live, check_lock, {}, result);
}

// A chunk with a sound copy in another pack (stored again by a backup that found this one
// damaged, or by two writers at once) is not lost: takes such chunks out of `lost`, given the
// sound packs repair kept and the writer it copied sound blobs with.
void not_lost_while_stored(std::vector<ChunkStore::Lost>& lost, const std::vector<pack::PackEntry>& sound,
                           const pack::PackWriter& writer)
{
    std::set<Digest> gone;
    for (const ChunkStore::Lost& l : lost)
        gone.insert(l.chunks.begin(), l.chunks.end());
    std::set<Digest> still;
    for (const pack::PackEntry& p : sound)
        for (const pack::BlobEntry& b : p.blobs)
            if (gone.count(b.id))
                still.insert(b.id);
    for (const Digest& d : gone)
        if (writer.added(d))
            still.insert(d);
    for (ChunkStore::Lost& l : lost)
        std::erase_if(l.chunks, [&](const Digest& d) { return still.count(d) != 0; });
}

// What repair knows lost before it reads a pack: the index objects that could not be read
// (`bad`) and the packs the index lists that the store lacks, with their chunks.
std::vector<ChunkStore::Lost> PackChunkStore::lost_before_reading(const pack::PackIndex& old,
                                                                  const std::vector<std::string>& bad,
                                                                  const std::map<std::string, uint64_t>& objects)
{
    std::vector<Lost> lost;
    for (const std::string& name : bad)
        lost.push_back({"index object damaged", join(store_.location(), "damaged/" + name), {}});
    for (const auto& [id, p] : old.packs())
        if (!objects.count(pack::pack_name(id))) {
            Lost l{"pack missing", join(store_.location(), pack::pack_name(id)), {}};
            for (const pack::BlobEntry& b : p.blobs)
                l.chunks.insert(b.id);
            lost.push_back(std::move(l));
        }
    return lost;
}

// Repair of packs: every pack is read whole and each blob checked. A pack with damage has its
// sound blobs copied into a new pack and is set aside; then one new index object lists every
// sound pack and blob, and only then the old index objects go (a damaged one was set aside
// before: the rebuilt one may bear its name). A crash midway leaves at most packs that no
// index lists (the next repair lists them again) or copies set aside of packs still in place.
std::vector<ChunkStore::Lost> PackChunkStore::repair(const std::function<void(bool)>& check_lock,
                                                     const ProgressFn& progress, uint64_t& checked)
{
    pack::PackIndex old(store_, seal_);
    std::vector<std::string> bad_indexes;
    old.load(&bad_indexes);
    std::map<std::string, uint64_t> objects = pack_objects();
    std::vector<Lost> lost = lost_before_reading(old, bad_indexes, objects);

    std::vector<pack::PackEntry> sound;
    std::vector<std::string> damaged;
    pack::PackWriter writer(store_, seal_, pack_bytes_);
    uint64_t done = 0;
    for (const auto& [name, size] : objects) {
        if (progress)
            progress(done++, objects.size());
        check_lock(true);
        std::string path = join(store_.location(), name);
        std::string data;
        std::vector<pack::BlobEntry> blobs;
        pack::PackEntry entry;
        bool named_right = format::from_hex(name.substr(name.rfind('/') + 1), entry.id);
        try {
            if (size > format::kMaxPackBytes + format::max_chunk_file_bytes(chunk_bytes_) + pack::kMaxHeaderBytes)
                throw Error(Error::Kind::Damaged, "pack is too large", path);
            data = store_.load(name);
            blobs = pack::decode_pack_header(data, name, seal_);
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged)
                throw;
            Lost l{e.message(), join(store_.location(), "damaged/" + name), {}};
            for (const auto& [id, p] : old.packs())
                if (pack::pack_name(id) == name)
                    for (const pack::BlobEntry& b : p.blobs)
                        l.chunks.insert(b.id);
            lost.push_back(std::move(l));
            damaged.push_back(name);
            continue;
        }
        bool whole = named_right && format::sha256(std::span(reinterpret_cast<const uint8_t*>(data.data()),
                                                             data.size())) == entry.id;
        std::vector<std::pair<pack::BlobEntry, std::string>> good;
        Lost l{"chunk damaged", join(store_.location(), "damaged/" + name), {}};
        for (const pack::BlobEntry& b : blobs) {
            checked++;
            try {
                std::string blob =
                    seal_.open(std::string_view(data).substr(b.offset, b.length), pack::blob_context(b.id), name);
                decode(blob, b.id, path);
                good.emplace_back(b, std::move(blob));
            } catch (const Error& e) {
                if (e.kind() != Error::Kind::Damaged)
                    throw;
                l.what = e.message();
                l.chunks.insert(b.id);
            }
        }
        if (whole && l.chunks.empty()) {
            entry.blobs = std::move(blobs);
            sound.push_back(std::move(entry));
            continue;
        }
        if (!l.chunks.empty())
            lost.push_back(std::move(l));
        else
            lost.push_back({"pack does not match its name", join(store_.location(), "damaged/" + name), {}});
        for (auto& [b, blob] : good)
            writer.add(b.id, b.type, blob, b.raw_length);
        damaged.push_back(name);
    }
    if (progress)
        progress(done, objects.size());

    // A damaged index object goes aside first: the rebuilt one may bear its name (names are
    // the SHA-256 of the contents the damaged one once had).
    for (const std::string& name : bad_indexes) {
        check_lock(false);
        set_aside(name);
    }
    check_lock(true);
    writer.finish(sound);
    for (const std::string& name : old.index_objects())
        if (name != writer.index_written()) {
            check_lock(false);
            store_.remove(name);
        }
    for (const std::string& name : damaged) {
        check_lock(false);
        set_aside(name);
    }
    forget_index();
    not_lost_while_stored(lost, sound, writer);
    return lost;
}

} // namespace

std::unique_ptr<ChunkStore> file_chunk_store(Env& env, const std::string& dir, uint32_t chunk_bytes)
{
    return std::make_unique<FileChunkStore>(env, dir, chunk_bytes);
}

std::unique_ptr<ChunkStore> pack_chunk_store(Backend& store, const pack::Seal& seal, uint32_t chunk_bytes,
                                             uint64_t pack_bytes, std::unique_ptr<ChunkStore> files)
{
    return std::make_unique<PackChunkStore>(store, seal, chunk_bytes, pack_bytes, std::move(files));
}

} // namespace repo
