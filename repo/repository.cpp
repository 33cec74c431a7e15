// The repository: layout, the backup writer, restore, verify, forget and gc.
//
//   DIR/config                   format, version, chunk size
//   DIR/locks/<id>               one lock object per holder (repo/lock.h)
//   DIR/chunks/HH/<digest>       version 1: chunks, HH the digest's first two hex digits
//   DIR/data/HH/<pack id>        version 2: packs of chunks (repo/pack.h)
//   DIR/index/<index id>         version 2: where each chunk lies in the packs
//   DIR/backups/<id>.index       the fixed index of a version 1 backup (a version 2 backup's
//                                map is a tree of pieces stored as chunks, repo/tree.h)
//   DIR/backups/<id>.manifest    the manifest: a backup exists when its manifest does
#include "repo/repository.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "repo/chunk_store.h"
#include "repo/extfs.h"
#include "repo/format.h"
#include "repo/isolate.h"
#include "repo/restore.h"
#include "repo/s3_backend.h"
#include "repo/tree.h"

namespace repo {

std::vector<std::string> VerifyReport::damaged_backups() const
{
    std::set<std::string> ids;
    for (const Damage& d : damage)
        ids.insert(d.backups.begin(), d.backups.end());
    return {ids.begin(), ids.end()};
}

namespace {

using format::Index;

constexpr const char* kManifestSuffix = ".manifest";
constexpr const char* kIndexSuffix = ".index";
// Raw chunk bytes a writer queues for its workers at most (and holds in buffers about as many).
constexpr size_t kQueuedChunkBytes = size_t(8) << 20;

bool ends_with(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Object `name` of `store`, at most `limit` bytes. A missing object is Error `missing` with
// `missing_message`; a larger one is Damaged. A store that is missing as a whole (an S3
// bucket) is reported as the store reports it.
std::string read_object(Backend& store, const std::string& name, uint64_t limit, Error::Kind missing,
                        const std::string& missing_message, const std::string& too_large)
{
    const std::string where = join(store.location(), name);
    std::string data;
    try {
        data = store.load_range(name, 0, limit + 1);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound && e.path() != store.location())
            throw Error(missing, missing_message, where);
        throw;
    }
    if (data.size() > limit)
        throw Error(Error::Kind::Damaged, too_large + " (over " + std::to_string(limit) + " bytes)", where);
    return data;
}

constexpr const char* kBackupsPrefix = "backups";

// A damaged-data error again, naming the backup it hurts.
[[noreturn]] void rethrow_for(const Error& e, const std::string& id)
{
    throw Error(e.kind(), "backup " + id + ": " + e.message(), e.path());
}

// "YYYYMMDD-HHMMSS-uuuuuu-xx": the UTC time the backup began to the microsecond, then two
// random hex digits. Ids sort in the order backups began, which breaks ties between
// backups of equal snapshot time.
std::string new_backup_id()
{
    static thread_local std::mt19937 rng{std::random_device{}()};
    auto now = std::chrono::system_clock::now();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(us / 1000000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[48];
    snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d-%06lld-%02x", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(us % 1000000),
             static_cast<unsigned>(rng() & 0xff));
    return buf;
}

// A backup id names a file: only letters, digits, '-', '_' and '.' (not leading).
bool valid_id(const std::string& id)
{
    if (id.empty() || id.size() > 128 || id[0] == '.')
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
}

class RepositoryImpl;

// Hashes, compresses and stores chunks on worker threads. A job's failure is kept and
// thrown to the writer at its next call.
class ChunkPool {
public:
    using Job = std::function<void()>;
    // Queues up to `limit` jobs. A deep queue lets the workers go on while the thread that
    // fills it waits for the disk or the scheduler; a shallow one leaves them idle each time.
    ChunkPool(unsigned threads, size_t limit) : limit_(std::max<size_t>(limit, threads * 2))
    {
        for (unsigned i = 0; i < threads; i++)
            workers_.emplace_back([this] { run(); });
    }
    ~ChunkPool() { stop(); }

    // Queues a job; waits while the queue is full. Throws the first failure of a job.
    void submit(Job job)
    {
        std::unique_lock g(mu_);
        room_.wait(g, [&] { return jobs_.size() < limit_ || error_; });
        if (error_)
            std::rethrow_exception(error_);
        jobs_.push_back(std::move(job));
        work_.notify_one();
    }

    // Waits for every queued job. Throws the first failure of a job.
    void drain()
    {
        std::unique_lock g(mu_);
        idle_.wait(g, [&] { return (jobs_.empty() && busy_ == 0) || error_; });
        if (error_) {
            jobs_.clear();
            idle_.wait(g, [&] { return busy_ == 0; });
            std::rethrow_exception(error_);
        }
    }

    // Drops queued jobs and joins the workers.
    void stop() noexcept
    {
        {
            std::lock_guard g(mu_);
            stopping_ = true;
            jobs_.clear();
            work_.notify_all();
        }
        for (auto& t : workers_)
            if (t.joinable())
                t.join();
    }

private:
    void run()
    {
        std::unique_lock g(mu_);
        for (;;) {
            work_.wait(g, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_++;
            room_.notify_one();
            g.unlock();
            std::exception_ptr failed;
            try {
                job();
            } catch (...) {
                failed = std::current_exception();
            }
            g.lock();
            busy_--;
            if (failed && !error_)
                error_ = failed;
            if (failed)
                jobs_.clear();
            room_.notify_all();
            idle_.notify_all();
        }
    }

    std::mutex mu_;
    std::condition_variable work_, room_, idle_;
    std::deque<Job> jobs_;            // guarded by mu_
    size_t limit_;
    unsigned busy_ = 0;               // guarded by mu_
    bool stopping_ = false;           // guarded by mu_
    std::exception_ptr error_;        // guarded by mu_
    std::vector<std::thread> workers_;
};

class RepositoryImpl : public Repository {
public:
    // `local`: the store is the directory `dir` (version 1's chunk files can only be there).
    RepositoryImpl(Env& env, std::unique_ptr<Backend> store, bool local, uint32_t chunk_bytes, uint32_t version,
                   uint64_t pack_bytes)
        : env_(env), dir_(store->location()), local_(local), chunk_bytes_(chunk_bytes), version_(version),
          pack_bytes_(pack_bytes), store_(std::move(store)),
          chunks_(version == format::kRepoVersionFiles
                      ? file_chunk_store(env, dir_, chunk_bytes)
                      : pack_chunk_store(*store_, pack::identity_seal(), chunk_bytes, pack_bytes,
                                         local && env.is_dir(join(dir_, "chunks"))
                                             ? file_chunk_store(env, dir_, chunk_bytes)
                                             : nullptr))
    {
    }

    ChunkStore& chunks() { return *chunks_; }

    // Seals everything from now on under `key` (an encrypted repository, just opened), and
    // makes every file and directory the store creates private.
    void use_key(keys::Unlocked key)
    {
        key_seal_ = pack::key_seal(key.key);
        seal_ = key_seal_.get();
        key_ = std::move(key);
        store_->set_private(true);
        chunks_ = pack_chunk_store(*store_, *seal_, chunk_bytes_, pack_bytes_);
    }
    const pack::Seal& seal() const { return *seal_; }

    // An object's bytes as stored, and back: sealed under the data key with `context` in an
    // encrypted repository, as they are otherwise.
    std::string seal_object(std::string_view plain, std::string_view context) const
    {
        return seal_->seal(plain, context);
    }
    std::string open_object(std::string_view stored, std::string_view context, const std::string& path) const
    {
        return seal_->open(stored, context, path);
    }
    static std::string manifest_context(const std::string& id) { return "manifest:" + id; }

    bool encrypted() const override { return seal_->encrypted(); }
    keys::Unlocked& unlocked()
    {
        if (!key_)
            throw Error(Error::Kind::Invalid, "the repository is not encrypted: it has no keys", dir_);
        return *key_;
    }
    std::vector<keys::KeyInfo> list_keys() override
    {
        unlocked();
        keys::BackendKeyStore ks(*store_);
        return keys::list_keys(ks);
    }
    std::string key_in_use() const override { return key_ ? key_->name : std::string(); }
    std::string add_key(const std::string& password, const keys::NewKey& options) override
    {
        keys::Unlocked& k = unlocked();
        auto held = lock(LockMode::Exclusive, "key add");
        keys::BackendKeyStore ks(*store_);
        return keys::add_key(ks, repo_id_, k.key, password, options);
    }
    void remove_key(const std::string& name) override
    {
        keys::Unlocked& k = unlocked();
        auto held = lock(LockMode::Exclusive, "key remove");
        keys::BackendKeyStore ks(*store_);
        keys::remove_key(ks, k, name);
    }
    void set_repo_id(std::string id) { repo_id_ = std::move(id); }

    // Whether new backups store their map as a tree of pieces.
    bool writes_tree() const { return version_ >= format::kRepoVersionTree; }

    const std::string& dir() const override { return dir_; }
    uint32_t chunk_bytes() const override { return chunk_bytes_; }
    Backend& store() override { return *store_; }
    void set_lock_options(const LockOptions& options) override { lock_options_ = options; }
    std::unique_ptr<RepoLock> lock(LockMode mode, const std::string& operation) override
    {
        return RepoLock::acquire(*store_, mode, operation, lock_options_);
    }

    // After a read met a missing or damaged chunk: when the reader's lock was lost, gc may
    // have removed it, so that is the error rather than damage.
    void check_read_lock(RepoLock& lock, const std::string& what)
    {
        if (!lock.intact())
            throw Error(Error::Kind::Locked,
                        "the repository's lock was lost while " + what +
                            " ran (its lock object was removed, or judged stale), so gc may have removed what it "
                            "read; run it again",
                        store_->location());
    }

    // Where object `name` is, for messages.
    std::string where(const std::string& name) const { return join(dir_, name); }
    std::string manifest_name(const std::string& id) const
    {
        return std::string(kBackupsPrefix) + "/" + id + kManifestSuffix;
    }
    std::string index_name(const std::string& id) const { return std::string(kBackupsPrefix) + "/" + id + kIndexSuffix; }
    std::string chunk_path(const Digest& d) const { return chunks_->where(d); }

    // The repository's own objects (config, manifests, version 1 indexes), each saved
    // whole: a reader sees the old object or the new one, never a part.
    void save_object(const std::string& name, std::string_view bytes) { store_->save(name, bytes); }
    // Object `name` of at most `limit` bytes (Error::Damaged when larger), or Error
    // `missing` with `missing_message` when there is none.
    std::string load_object(const std::string& name, uint64_t limit, Error::Kind missing,
                            const std::string& missing_message, const std::string& too_large)
    {
        return read_object(*store_, name, limit, missing, missing_message, too_large);
    }

    // The names directly under backups/ (a file-system store's subdirectories, which hold
    // nobody's backup, are left out).
    std::vector<ObjectInfo> backup_objects()
    {
        const size_t skip = strlen(kBackupsPrefix) + 1;
        std::vector<ObjectInfo> out;
        for (ObjectInfo& o : store_->list(kBackupsPrefix))
            if (o.name.find('/', skip) == std::string::npos) {
                o.name.erase(0, skip);
                out.push_back(std::move(o));
            }
        return out;
    }

    std::vector<std::string> backup_ids()
    {
        std::vector<std::string> ids;
        for (const ObjectInfo& o : backup_objects())
            if (ends_with(o.name, kManifestSuffix))
                ids.push_back(o.name.substr(0, o.name.size() - strlen(kManifestSuffix)));
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    bool has_backup(const std::string& id) { return valid_id(id) && store_->stat(manifest_name(id)).has_value(); }

    Manifest manifest(const std::string& id) override
    {
        if (!valid_id(id))
            throw Error(Error::Kind::NotFound, "no backup " + id, where(kBackupsPrefix));
        std::string path = where(manifest_name(id));
        std::string text = load_object(manifest_name(id), format::kMaxManifestBytes, Error::Kind::NotFound,
                                       "no backup " + id, "manifest is too large");
        Manifest m = format::decode_manifest(open_object(text, manifest_context(id), path), path);
        if (m.id != id)
            throw Error(Error::Kind::Damaged, "manifest names another backup", path);
        format::check_geometry(m, chunk_bytes_, path);
        return m;
    }

    // The index of a backup, checked against its manifest: its index file, or its map tree
    // read in full (each piece's digest added to `pieces` when given).
    Index index(const Manifest& m, std::vector<Digest>* pieces = nullptr)
    {
        if (m.version >= format::kManifestVersionTree)
            return tree_index(m, pieces);
        std::string path = where(index_name(m.id));
        // The manifest's geometry (checked against the config) fixes the index's size.
        std::string file = load_object(index_name(m.id), format::index_file_bytes(m.source.block_count, m.chunk_blocks),
                                       Error::Kind::Damaged, "index missing", "index has trailing bytes");
        Index ix = format::decode_index(file, path);
        if (format::sha256(std::span(reinterpret_cast<const uint8_t*>(file.data()), file.size())) != m.index_digest)
            throw Error(Error::Kind::Damaged, "index does not match its manifest", path);
        if (ix.block_size != m.source.block_size || ix.block_count != m.source.block_count ||
            ix.chunk_blocks != m.chunk_blocks)
            throw Error(Error::Kind::Damaged, "index geometry differs from its manifest", path);
        return ix;
    }

    tree::Geometry tree_geometry(const Manifest& m) const
    {
        return tree::geometry(m.source.block_count, m.chunk_blocks, chunk_bytes_);
    }

    // Pieces of map trees are chunks like any other: stored (through a writer's `session`,
    // as tree blobs) and read by digest.
    tree::Store tree_store(ChunkSession* session = nullptr)
    {
        return {[this, session](std::span<const uint8_t> piece) {
                    if (!session)
                        throw Error(Error::Kind::Invalid, "a map tree stored outside a backup");
                    Digest d = seal_->id(piece);
                    session->put(d, piece, pack::BlobType::Tree);
                    return d;
                },
                [this](const Digest& d) { return read_chunk(d); },
                [this](const Digest& d) { return chunk_path(d); }};
    }

    Index tree_index(const Manifest& m, std::vector<Digest>* pieces)
    {
        tree::Geometry g = tree_geometry(m);
        Index ix;
        ix.block_size = m.source.block_size;
        ix.chunk_blocks = m.chunk_blocks;
        ix.block_count = m.source.block_count;
        ix.positions = g.positions;
        // Sized by what the tree holds, not by what the manifest claims: a map of a huge
        // device with few chunks stays small.
        tree::walk(
            g, m.tree_root, tree_store(),
            [&](const Digest& d, unsigned) {
                if (pieces)
                    pieces->push_back(d);
            },
            [&](uint64_t pos, const Digest& d, std::span<const uint8_t> used) {
                ix.digests.resize(pos + 1);
                ix.digests[pos] = d;
                uint64_t first = pos * m.chunk_blocks;
                ix.used.resize((std::min<uint64_t>(first + m.chunk_blocks, m.source.block_count) + 7) / 8);
                for (uint64_t i = 0; i < m.chunk_blocks && first + i < m.source.block_count; i++)
                    if ((used[i / 8] >> (i % 8)) & 1)
                        ix.used[(first + i) >> 3] |= static_cast<uint8_t>(1u << ((first + i) & 7));
            });
        return ix;
    }

    // A chunk's raw contents, checked. Error::Damaged when missing or wrong.
    std::vector<uint8_t> read_chunk(const Digest& d) { return chunks_->get(d); }

    // Reads one chunk position of a backup into `out` (chunk_blocks × block_size bytes;
    // zeros for an empty position). Checks the chunk's length.
    void read_position(const Manifest& m, const Index& ix, uint64_t pos, std::vector<uint8_t>& out)
    {
        size_t bytes = size_t(m.chunk_blocks) * m.source.block_size;
        const Digest& d = ix.digest_at(pos);
        if (format::is_zero_digest(d)) {
            out.assign(bytes, 0);
            return;
        }
        out = read_chunk(d);
        if (out.size() != bytes)
            throw Error(Error::Kind::Damaged, "chunk length differs from the backup's chunk size",
                        chunk_path(d));
    }

    std::vector<Manifest> list() override { return list_all(nullptr); }

    std::vector<Manifest> list(std::vector<Damage>& damaged) override { return list_all(&damaged); }

    std::vector<Manifest> list_all(std::vector<Damage>* damaged)
    {
        std::vector<Manifest> out;
        for (const std::string& id : backup_ids()) {
            try {
                out.push_back(manifest(id));
            } catch (const Error& e) {
                if (e.kind() != Error::Kind::Damaged && e.kind() != Error::Kind::Format &&
                    e.kind() != Error::Kind::NotFound)
                    throw;
                if (damaged && e.kind() != Error::Kind::NotFound) // NotFound: forgotten meanwhile
                    damaged->push_back({e.message(), e.path(), {id}});
            }
        }
        std::stable_sort(out.begin(), out.end(), [](const Manifest& a, const Manifest& b) {
            return a.snapshot_time != b.snapshot_time ? a.snapshot_time < b.snapshot_time : a.id < b.id;
        });
        return out;
    }

    std::optional<Manifest> latest(const std::string& source) override
    {
        std::optional<Manifest> best;
        for (Manifest& m : list())
            if (m.source.source == source)
                best = std::move(m); // list() is ordered oldest first
        return best;
    }

    std::unique_ptr<BackupWriter> begin_backup(const SourceInfo& source,
                                               const std::optional<std::string>& parent,
                                               unsigned threads, std::unique_ptr<RepoLock> lock) override;

    void restore(const std::string& id, const std::string& target, const ProgressFn& progress,
                 const RestoreOptions& options) override;
    std::unique_ptr<BlockReader> reader(const std::string& id) override;

    std::vector<FsEntry> ls(const std::string& id, const std::string& path) override
    {
        return read_fs(id, [&](BlockReader& r) { return fs_list(r, path); });
    }

    ExtractReport extract(const std::string& id, const std::string& path, const std::string& to_dir,
                          const ExtractOptions& options) override
    {
        return read_fs(id, [&](BlockReader& r) { return fs_extract(r, path, to_dir, options); });
    }

    // Runs a file-system read of backup `id`; damage found there (often in a child process,
    // which cannot look at the lock) is checked against the lock here.
    template <typename F>
    auto read_fs(const std::string& id, F&& read) -> decltype(read(std::declval<BlockReader&>()))
    {
        auto r = reader(id);
        try {
            return read(*r);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::Damaged)
                recheck_reader_damage(*r);
            throw;
        }
    }
    void recheck_reader_damage(BlockReader& r);

    VerifyReport verify(const std::optional<std::string>& id, const ProgressFn& progress,
                        const VerifyOptions& options) override;
    void verify_chunk(const Digest& d, const std::vector<std::string>& backups, VerifyReport& report);
    ForgetResult forget(const RetentionPolicy& policy, bool dry_run, const BackupFilter& filter) override;
    std::vector<Digest> chunks_of(const std::string& id) override;
    StoredSize stored_size(const std::vector<Digest>& digests) override;
    ForgetResult forget_ids(const std::vector<std::string>& ids, bool dry_run) override;
    // Removes the manifests, then the indexes, of `ids` (each known to exist).
    void remove_backups(const std::vector<std::string>& ids);
    GcResult gc(const ProgressFn& progress) override;
    RepairReport repair(const ProgressFn& progress) override;
    // Throws Error::Locked for `what` when `lock` is lost (`full`: also when it was lost and
    // taken again meanwhile).
    void check_exclusive(RepoLock& lock, bool full, const std::string& what);

private:
    Env& env_;
    std::string dir_;  // the store's location
    bool local_;
    uint32_t chunk_bytes_;
    uint32_t version_;
    uint64_t pack_bytes_;
    std::unique_ptr<Backend> store_;
    std::string repo_id_;
    // The sealing of an encrypted repository (before chunks_, which uses it).
    std::unique_ptr<pack::Seal> key_seal_;
    const pack::Seal* seal_ = &pack::identity_seal();
    std::optional<keys::Unlocked> key_;
    std::unique_ptr<ChunkStore> chunks_;
    LockOptions lock_options_;
};

// ---------------------------------------------------------------------------------------
// Writing a backup

class Writer : public BackupWriter {
public:
    Writer(RepositoryImpl& repo, std::unique_ptr<RepoLock> lock, const SourceInfo& source,
           std::optional<Manifest> parent, std::optional<Index> parent_index, unsigned threads)
        : repo_(repo), lock_(std::move(lock)), source_(source),
          parent_(std::move(parent)), parent_index_(std::move(parent_index)), id_(new_backup_id()),
          session_(repo.chunks().begin()), pool_(threads, kQueuedChunkBytes / repo.chunk_bytes())
    {
        block_size_ = source.block_size;
        chunk_blocks_ = repo.chunk_bytes() / block_size_;
        chunks_ = (source.block_count + chunk_blocks_ - 1) / chunk_blocks_;
        index_.block_size = block_size_;
        index_.chunk_blocks = chunk_blocks_;
        index_.block_count = source.block_count;
        index_.positions = chunks_;
        index_.digests.assign(chunks_, Digest{});
        index_.used.assign((source.block_count + 7) / 8, 0);
        buffer_ = spare_buffer();
        state_.assign(chunk_blocks_, kUnused);
        counts_.chunks = chunks_;
        while (repo.store().stat(repo.manifest_name(id_)) || repo.store().stat(repo.index_name(id_)))
            id_ = new_backup_id();
    }

    ~Writer() override { abort(); }

    const std::string& id() const override { return id_; }

    void check_all_reused() override { session_->check_all_reused(); }

    BackupCounts counts() const override
    {
        std::lock_guard g(mu_);
        return counts_;
    }

    void put(uint64_t block, std::span<const uint8_t> data) override
    {
        check_open();
        if (data.size() != block_size_)
            throw Error(Error::Kind::Invalid, "block " + std::to_string(block) + " is " +
                                                  std::to_string(data.size()) + " bytes, not the block size " +
                                                  std::to_string(block_size_));
        check_order(block, 1);
        guarded([&] {
            move_to(block / chunk_blocks_);
            uint64_t in = block % chunk_blocks_;
            memcpy(buffer_->data() + in * block_size_, data.data(), block_size_);
            state_[in] = kPut;
            puts_in_chunk_++;
            counts_.blocks_written++;
            next_ = block + 1;
        });
    }

    void keep(uint64_t first, uint64_t count) override
    {
        check_open();
        if (!parent_)
            throw Error(Error::Kind::Invalid, "blocks kept from the parent, but the backup has no parent");
        if (!count)
            return;
        check_order(first, count);
        guarded([&] {
            for (uint64_t b = first; b < first + count; b++) {
                move_to(b / chunk_blocks_);
                state_[b % chunk_blocks_] = kKept;
            }
            counts_.blocks_kept += count;
            next_ = first + count;
        });
    }

    std::string commit(const CommitInfo& info) override
    {
        check_open();
        guarded([&] {
            if (!info.host.empty() && !valid_host(info.host))
                throw Error(Error::Kind::Invalid, "\"" + info.host + "\" is not a host name");
            std::vector<std::string> tags = info.tags;
            std::sort(tags.begin(), tags.end());
            tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
            if (tags.size() > kMaxTags)
                throw Error(Error::Kind::Invalid, "a backup carries at most " + std::to_string(kMaxTags) + " tags");
            for (const std::string& t : tags)
                if (!valid_tag(t))
                    throw Error(Error::Kind::Invalid, "\"" + t + "\" is not a tag");
            move_to(chunks_); // finishes every remaining position
            pool_.drain();
            Manifest m;
            if (repo_.writes_tree())
                m.tree_root = write_tree();
            // Chunks and map pieces are durable (and, in packs, indexed) before anything
            // names them.
            session_->finish();
            counts_.chunks_stored_again = session_->stored_again();
            tree_root_ = m.tree_root;
            confirm_lock();

            if (repo_.writes_tree()) {
                m.version = format::kManifestVersionTree;
                counts_.map_pieces_new = map_pieces_new_;
                counts_.map_bytes_new = map_bytes_new_;
            } else {
                std::string index_file = format::encode_index(index_);
                repo_.save_object(repo_.index_name(id_), index_file);
                m.index_digest = format::sha256(std::span(reinterpret_cast<const uint8_t*>(index_file.data()),
                                                          index_file.size()));
            }
            m.id = id_;
            m.source = source_;
            m.chunk_blocks = chunk_blocks_;
            if (parent_)
                m.parent = parent_->id;
            m.snapshot_time = info.snapshot_time;
            m.duration_ms = info.duration_ms;
            m.incremental = info.incremental;
            m.reason = info.reason;
            m.counts = counts_;
            m.module_stats = info.module_stats;
            m.session_key = info.session_key;
            m.unreadable_blocks = info.unreadable_blocks;
            m.host = info.host;
            m.tags = tags;
            repo_.save_object(repo_.manifest_name(id_),
                              repo_.seal_object(format::encode_manifest(m), RepositoryImpl::manifest_context(id_)));
            // A gc that came in through a gap in the lock just before the manifest was
            // written cannot have seen it: checked once more, now that it names the chunks.
            confirm_lock();
        });
        finished_ = true;
        pool_.stop();
        lock_.reset();
        return id_;
    }

    void abort() noexcept override
    {
        if (finished_)
            return;
        finished_ = true;
        pool_.stop();
        // A commit that failed after the manifest reached its name (its directory could not
        // be synced, the answer to its upload was lost) must not leave a backup behind that
        // the caller was told failed: the manifest goes, then the index. Both are ours: the
        // lock is held and the id unique.
        try {
            repo_.store().remove(repo_.manifest_name(id_));
            if (!repo_.writes_tree())
                repo_.store().remove(repo_.index_name(id_));
        } catch (...) {
        }
        lock_.reset();
    }

private:
    enum : uint8_t { kUnused, kPut, kKept };

    // The used-block bits of chunk position `pos` of `ix`, as a map piece holds them.
    std::vector<uint8_t> position_used(const Index& ix, uint64_t pos) const
    {
        std::vector<uint8_t> bits((chunk_blocks_ + 7) / 8, 0);
        for (uint64_t i = 0, b = pos * chunk_blocks_; i < chunk_blocks_ && b < source_.block_count; i++, b++)
            if (ix.block_used(b))
                bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        return bits;
    }

    // Stores the backup's map as a tree: from the parent's tree with only the positions that
    // differ from it, so that unchanged regions keep the parent's pieces without being
    // hashed again; from nothing when the parent has none. Its pieces go into the backup's
    // chunk session, made durable with its chunks. Returns the root.
    Digest write_tree()
    {
        tree::Geometry g = tree_geometry();
        bool from_parent = parent_ && parent_->version >= format::kManifestVersionTree;
        tree::Store store = repo_.tree_store(session_.get());
        tree::Builder b(g, from_parent ? parent_->tree_root : Digest{}, store);
        for (uint64_t pos = 0; pos < chunks_; pos++) {
            const Digest& d = index_.digests[pos];
            if (from_parent) {
                const Digest& old = parent_index_->digest_at(pos);
                if (d == old && (format::is_zero_digest(d) || position_used(index_, pos) == position_used(*parent_index_, pos)))
                    continue;
            } else if (format::is_zero_digest(d)) {
                continue;
            }
            b.set(pos, d, position_used(index_, pos));
        }
        Digest root = b.finish();
        map_pieces_new_ = b.pieces_stored();
        map_bytes_new_ = b.bytes_stored();
        return root;
    }

    // The map tree's shape: this backup's geometry, which is its parent's.
    tree::Geometry tree_geometry() const
    {
        return tree::geometry(source_.block_count, chunk_blocks_, repo_.chunk_bytes());
    }

    // Makes sure nothing this backup references went while its lock was lost: when the
    // lock did not hold throughout, takes a new one (waiting for gc as a new backup would)
    // and checks that every chunk the index names is still stored.
    void confirm_lock()
    {
        if (lock_->intact())
            return;
        lock_.reset();
        lock_ = repo_.lock(LockMode::Shared, "backup");
        std::set<Digest> named(index_.digests.begin(), index_.digests.end());
        named.erase(Digest{});
        uint64_t gone = repo_.chunks().missing(named).size();
        if (!format::is_zero_digest(tree_root_)) {
            try {
                tree::walk(tree_geometry(), tree_root_, repo_.tree_store(), {}, {});
            } catch (const Error& e) {
                if (e.kind() != Error::Kind::Damaged)
                    throw;
                gone++;
            }
        }
        if (gone)
            throw Error(Error::Kind::Locked,
                        "backup " + id_ + " lost its lock while it ran (its lock object was removed, or judged "
                            "stale) and " + std::to_string(gone) +
                            " chunks it needs were removed meanwhile; nothing was committed; run the backup again",
                        repo_.store().location());
    }

    void check_open() const
    {
        if (finished_)
            throw Error(Error::Kind::Invalid, "backup " + id_ + " is already committed or aborted");
    }

    void check_order(uint64_t first, uint64_t count) const
    {
        if (first < next_ || first + count > source_.block_count || first + count < first)
            throw Error(Error::Kind::Invalid,
                        "block " + std::to_string(first) + " is out of order or beyond the " +
                            std::to_string(source_.block_count) + " blocks of backup " + id_);
    }

    // Runs `f`; on failure aborts the backup and passes the error on.
    template <typename F> void guarded(F&& f)
    {
        try {
            f();
        } catch (...) {
            abort();
            throw;
        }
    }

    // Finishes every chunk position before `pos`, then makes `pos` current.
    void move_to(uint64_t pos)
    {
        if (pos == current_ && have_current_)
            return;
        if (have_current_)
            finish(current_);
        uint64_t from = have_current_ ? current_ + 1 : done_;
        for (uint64_t p = from; p < pos && p < chunks_; p++) {
            counts_.chunks_empty++;
            counts_.blocks_unused += blocks_at(p);
        }
        done_ = pos;
        current_ = pos;
        have_current_ = pos < chunks_;
    }

    uint64_t blocks_at(uint64_t pos) const
    {
        return std::min<uint64_t>(chunk_blocks_, source_.block_count - pos * chunk_blocks_);
    }

    // Completes chunk position `pos` from the blocks named for it and hands it to a worker.
    void finish(uint64_t pos)
    {
        uint64_t n = blocks_at(pos), first = pos * chunk_blocks_;
        uint64_t kept = 0, used = 0;
        bool same_use = true;
        for (uint64_t i = 0; i < n; i++) {
            bool u = state_[i] != kUnused;
            if (u) {
                index_.used[(first + i) >> 3] |= static_cast<uint8_t>(1u << ((first + i) & 7));
                used++;
            }
            kept += state_[i] == kKept;
            if (parent_index_ && u != parent_index_->block_used(first + i))
                same_use = false;
        }
        counts_.blocks_unused += n - used;
        if (!used) {
            counts_.chunks_empty++;
        } else if (kept == used && same_use) {
            // Nothing changed here and the same blocks are in use: the parent's chunk is this
            // chunk, unread.
            index_.digests[pos] = parent_index_->digest_at(pos);
            counts_.chunks_reused++;
        } else {
            if (kept) {
                // A partly changed chunk: the parent's chunk with the new blocks merged in.
                std::vector<uint8_t> old;
                try {
                    repo_.read_position(*parent_, *parent_index_, pos, old);
                } catch (const Error& e) {
                    if (e.kind() != Error::Kind::Damaged)
                        throw;
                    throw Error(Error::Kind::Damaged,
                                "the parent backup " + parent_->id + " is damaged where this incremental needs its "
                                    "unchanged blocks (" + e.message() +
                                    "); a full backup (kestrel backup --full) reads them from the disk again",
                                e.path());
                }
                for (uint64_t i = 0; i < n; i++)
                    if (state_[i] == kKept)
                        memcpy(buffer_->data() + i * block_size_, old.data() + i * block_size_, block_size_);
            }
            for (uint64_t i = 0; i < chunk_blocks_; i++)
                if (state_[i] == kUnused)
                    memset(buffer_->data() + i * block_size_, 0, block_size_);
            // The filled buffer goes to the worker as it is, and filling goes on in a spare
            // one; the worker hands its buffer back when done. The pool's bound on queued
            // jobs bounds the buffers too.
            std::shared_ptr<std::vector<uint8_t>> raw = std::exchange(buffer_, spare_buffer());
            pool_.submit([this, pos, raw]() mutable {
                store(pos, *raw);
                std::lock_guard g(mu_);
                spares_.push_back(std::move(raw));
            });
        }
        std::fill(state_.begin(), state_.end(), kUnused);
        puts_in_chunk_ = 0;
    }

    // A buffer for the next chunk position: one a worker handed back, or a new one. Every
    // byte of it is written before it is stored (put, kept blocks, zeros for the rest).
    std::shared_ptr<std::vector<uint8_t>> spare_buffer()
    {
        {
            std::lock_guard g(mu_);
            if (!spares_.empty()) {
                auto b = std::move(spares_.back());
                spares_.pop_back();
                return b;
            }
        }
        return std::make_shared<std::vector<uint8_t>>(size_t(chunk_blocks_) * block_size_);
    }

    // On a worker: hashes the chunk and stores it unless the repository has it already.
    void store(uint64_t pos, const std::vector<uint8_t>& raw)
    {
        Digest d = repo_.seal().id(raw);
        {
            std::lock_guard g(mu_);
            index_.digests[pos] = d;
        }
        uint64_t bytes = session_->put(d, raw);
        if (!bytes)
            return;
        std::lock_guard g(mu_);
        counts_.chunks_new++;
        counts_.bytes_new += bytes;
    }

    RepositoryImpl& repo_;
    std::unique_ptr<RepoLock> lock_;
    SourceInfo source_;
    std::optional<Manifest> parent_;
    std::optional<Index> parent_index_;
    std::string id_;
    uint32_t block_size_ = 0, chunk_blocks_ = 0;
    uint64_t chunks_ = 0;

    // The caller's thread only:
    uint64_t next_ = 0;            // lowest block that may be named next
    uint64_t current_ = 0;         // the chunk position being filled
    bool have_current_ = false;
    uint64_t done_ = 0;            // positions below this are finished
    std::shared_ptr<std::vector<uint8_t>> buffer_;  // the current position's blocks
    std::vector<uint8_t> state_;   // per block of the current position: kUnused, kPut, kKept
    uint64_t puts_in_chunk_ = 0;
    bool finished_ = false;
    Digest tree_root_{};           // the map tree's root once written
    uint64_t map_pieces_new_ = 0, map_bytes_new_ = 0;

    mutable std::mutex mu_;
    Index index_;                         // digests guarded by mu_ (written by workers)
    BackupCounts counts_;                 // guarded by mu_ where workers write
    std::unique_ptr<ChunkSession> session_;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> spares_;  // chunk buffers; guarded by mu_
    ChunkPool pool_;                      // last: its workers stop before the rest goes
};

std::unique_ptr<BackupWriter> RepositoryImpl::begin_backup(const SourceInfo& source,
                                                           const std::optional<std::string>& parent,
                                                           unsigned threads, std::unique_ptr<RepoLock> lock)
{
    uint32_t bs = source.block_size;
    if (bs < 512 || bs > 65536 || (bs & (bs - 1)) || chunk_bytes_ % bs)
        throw Error(Error::Kind::Invalid, "block size " + std::to_string(bs) + " does not divide the chunk size " +
                                              std::to_string(chunk_bytes_));
    if (!source.block_count)
        throw Error(Error::Kind::Invalid, "a backup of no blocks");
    if (source.source.empty())
        throw Error(Error::Kind::Invalid, "a backup needs a source name");
    if (!lock)
        lock = this->lock(LockMode::Shared, "backup");
    std::optional<Manifest> pm;
    std::optional<Index> pix;
    if (parent) {
        try {
            pm = manifest(*parent);
            pix = index(*pm);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::Damaged)
                rethrow_for(e, *parent);
            throw;
        }
        if (pm->source.block_size != bs || pm->source.block_count != source.block_count ||
            pm->chunk_blocks != chunk_bytes_ / bs)
            throw Error(Error::Kind::Invalid,
                        "parent backup " + *parent + " has another geometry (" + std::to_string(pm->source.block_count) +
                            " blocks of " + std::to_string(pm->source.block_size) + " bytes)",
                        where(manifest_name(*parent)));
    }
    if (!threads) {
        threads = std::max(2u, std::thread::hardware_concurrency());
        // A worker that fills a pack also uploads it; far away that takes long enough that
        // twice the workers keep the cores hashing and compressing meanwhile.
        if (!local_)
            threads *= 2;
    }
    return std::make_unique<Writer>(*this, std::move(lock), source, std::move(pm), std::move(pix), threads);
}

// ---------------------------------------------------------------------------------------
// Reading

class Reader : public Repository::BlockReader {
public:
    Reader(RepositoryImpl& repo, std::unique_ptr<RepoLock> lock, Manifest m, Index ix)
        : repo_(repo), lock_(std::move(lock)), m_(std::move(m)), ix_(std::move(ix))
    {
    }

    const Manifest& manifest() const override { return m_; }

    // After damage met while reading: Error::Locked when the lock was lost meanwhile.
    void recheck_damage() { repo_.check_read_lock(*lock_, "reading backup " + m_.id); }

    void read(uint64_t first, uint64_t count, uint8_t* out) override
    {
        uint64_t bs = m_.source.block_size;
        if (first + count > m_.source.block_count || first + count < first)
            throw Error(Error::Kind::Invalid, "read beyond the " + std::to_string(m_.source.block_count) +
                                                  " blocks of backup " + m_.id);
        while (count) {
            uint64_t pos = first / m_.chunk_blocks, in = first % m_.chunk_blocks;
            uint64_t n = std::min<uint64_t>(count, m_.chunk_blocks - in);
            const std::vector<uint8_t>& chunk = load(pos);
            memcpy(out, chunk.data() + in * bs, n * bs);
            out += n * bs;
            first += n;
            count -= n;
        }
    }

    std::optional<Digest> chunk_digest(uint64_t pos) const override
    {
        if (pos >= ix_.positions)
            throw Error(Error::Kind::Invalid, "chunk position " + std::to_string(pos) + " beyond the " +
                                                  std::to_string(ix_.positions) + " of backup " + m_.id);
        return ix_.digest_at(pos);
    }

private:
    // A few recent chunks stay decoded: the file system reads around the same places.
    const std::vector<uint8_t>& load(uint64_t pos)
    {
        for (auto& [p, data] : cache_)
            if (p == pos)
                return data;
        if (cache_.size() >= 16)
            cache_.pop_front();
        std::vector<uint8_t> data;
        try {
            repo_.read_position(m_, ix_, pos, data);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::Damaged) {
                // In a reader's child the lock's mutex may be held by its refresher thread,
                // which did not come along: the parent checks the lock when the damage
                // reaches it (recheck_damage).
                if (!in_isolated_child())
                    recheck_damage();
                rethrow_for(e, m_.id);
            }
            throw;
        }
        cache_.emplace_back(pos, std::move(data));
        return cache_.back().second;
    }

    RepositoryImpl& repo_;
    std::unique_ptr<RepoLock> lock_;
    Manifest m_;
    Index ix_;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> cache_;
};

void RepositoryImpl::recheck_reader_damage(BlockReader& r) { static_cast<Reader&>(r).recheck_damage(); }

std::unique_ptr<Repository::BlockReader> RepositoryImpl::reader(const std::string& id)
{
    auto lock = this->lock(LockMode::Shared, "read");
    try {
        Manifest m = manifest(id);
        Index ix = index(m);
        return std::make_unique<Reader>(*this, std::move(lock), std::move(m), std::move(ix));
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::Damaged)
            rethrow_for(e, id);
        throw;
    }
}

void RepositoryImpl::restore(const std::string& id, const std::string& target, const ProgressFn& progress,
                             const RestoreOptions& options)
{
    auto lock = this->lock(LockMode::Shared, "restore");
    try {
        Manifest m = manifest(id);
        Index ix = index(m);
        ImageLayout layout{m.source.block_count, m.source.block_size, m.chunk_blocks, ix.positions};
        write_image(
            // A target inside the repository's directory would be written among its objects.
            env_, local_ ? dir_ : std::string(), target, layout,
            [&](uint64_t pos, std::vector<uint8_t>& out) {
                if (format::is_zero_digest(ix.digest_at(pos)))
                    return false;
                read_position(m, ix, pos, out);
                return true;
            },
            options, progress);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::Damaged) {
            check_read_lock(*lock, "restore of backup " + id);
            rethrow_for(e, id);
        }
        throw;
    }
}

// ---------------------------------------------------------------------------------------
// Verify, forget, gc

namespace {

// Which of `digests` (in order) verify reads: all, a slice by digest, or a random share of
// exactly ceil(count * percent / 100) chunks, drawn afresh on every run.
std::vector<bool> chunks_to_read(const std::vector<Digest>& digests, const ReadSubset& subset)
{
    std::vector<bool> read(digests.size(), subset.all());
    if (subset.all())
        return read;
    if (subset.slices) {
        for (size_t i = 0; i < digests.size(); i++)
            read[i] = subset.slice_holds(digests[i]);
        return read;
    }
    const uint64_t want = std::min<uint64_t>(
        digests.size(), static_cast<uint64_t>(std::ceil(static_cast<double>(digests.size()) * subset.percent / 100)));
    std::vector<size_t> all(digests.size()), picked;
    for (size_t i = 0; i < all.size(); i++)
        all[i] = i;
    std::mt19937_64 rng(std::random_device{}());
    std::sample(all.begin(), all.end(), std::back_inserter(picked), want, rng);
    for (size_t i : picked)
        read[i] = true;
    return read;
}

} // namespace

// Reads chunk `d` back and checks it.
void RepositoryImpl::verify_chunk(const Digest& d, const std::vector<std::string>& backups, VerifyReport& report)
{
    report.chunks_read++;
    try {
        std::vector<uint8_t> raw = read_chunk(d);
        report.bytes_checked += raw.size();
        // Every chunk is chunk_bytes long whatever the block size (restore checks the
        // same); a chunk of another length cannot be laid out at its positions.
        if (raw.size() != chunk_bytes_)
            report.damage.push_back({"chunk length differs from the chunk size", chunk_path(d), backups});
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Damaged)
            throw;
        report.damage.push_back({e.message(), e.path(), backups});
    }
}

VerifyReport RepositoryImpl::verify(const std::optional<std::string>& id, const ProgressFn& progress,
                                    const VerifyOptions& options)
{
    auto lock = this->lock(LockMode::Shared, "verify");
    VerifyReport report;
    std::vector<std::string> ids;
    if (id) {
        if (!has_backup(*id))
            throw Error(Error::Kind::NotFound, "no backup " + *id, where(manifest_name(*id)));
        ids.push_back(*id);
    } else {
        ids = backup_ids();
    }
    std::map<Digest, std::vector<std::string>> users;
    for (const std::string& b : ids) {
        report.backups_checked++;
        try {
            Manifest m = manifest(b);
            Index ix = index(m);
            for (const Digest& d : ix.digests)
                if (!format::is_zero_digest(d)) {
                    auto& u = users[d];
                    if (u.empty() || u.back() != b)
                        u.push_back(b);
                }
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged && e.kind() != Error::Kind::Format)
                throw;
            report.damage.push_back({e.message(), e.path(), {b}});
        }
    }
    std::vector<Digest> digests;
    digests.reserve(users.size());
    for (const auto& u : users)
        digests.push_back(u.first);
    const std::vector<bool> read = chunks_to_read(digests, options.read);
    // The chunks not read are still looked up, all at once (a pack's presence once).
    std::set<Digest> unread;
    for (size_t i = 0; i < digests.size(); i++)
        if (!read[i])
            unread.insert(digests[i]);
    const std::set<Digest> gone = unread.empty() ? unread : chunks_->missing(unread);
    uint64_t done = 0;
    for (auto& [d, backups] : users) {
        if (progress)
            progress(done, users.size());
        report.chunks_checked++;
        if (read[done])
            verify_chunk(d, backups, report);
        else if (gone.count(d))
            report.damage.push_back({"chunk missing", chunk_path(d), backups});
        done++;
    }
    if (progress)
        progress(done, users.size());
    // Reading everything also reads every pack's header: what repair would rebuild the
    // index from must be sound too.
    std::vector<ChunkStore::Lost> headers;
    if (options.read.all()) {
        try {
            headers = chunks_->check_headers();
        } catch (const Error& e) {
            // An index that cannot be read: every chunk read above has said so already.
            if (e.kind() != Error::Kind::Damaged)
                throw;
            if (report.clean())
                report.damage.push_back({e.message(), e.path(), ids});
        }
    }
    for (const ChunkStore::Lost& l : headers) {
        std::set<std::string> affected;
        for (const Digest& d : l.chunks)
            if (auto u = users.find(d); u != users.end())
                affected.insert(u->second.begin(), u->second.end());
        if (!affected.empty())
            report.damage.push_back({l.what, l.path, {affected.begin(), affected.end()}});
    }
    if (!report.clean())
        check_read_lock(*lock, "verify");
    return report;
}

namespace {

// The retention buckets of a snapshot time (UTC): day, ISO week, month.
std::string bucket(int64_t t, char kind)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[16];
    if (kind == 'd')
        strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    else if (kind == 'w')
        strftime(buf, sizeof buf, "%G-W%V", &tm);
    else
        strftime(buf, sizeof buf, "%Y-%m", &tm);
    return buf;
}

} // namespace

ForgetResult RepositoryImpl::forget(const RetentionPolicy& policy, bool dry_run, const BackupFilter& filter)
{
    if (policy.empty())
        throw Error(Error::Kind::Invalid, "forget needs a retention rule (keep-last, keep-daily, keep-weekly or keep-monthly)");
    std::unique_ptr<RepoLock> lock;
    if (!dry_run)
        lock = this->lock(LockMode::Exclusive, "forget");
    // Rules count per host and source: two machines backing up devices of one name keep
    // their own histories.
    std::map<std::pair<std::string, std::string>, std::vector<Manifest>> by_source;
    for (Manifest& m : list())
        if (filter.matches(m))
            by_source[{m.host, m.source.source}].push_back(std::move(m));
    ForgetResult result;
    std::vector<std::string> doomed;
    for (auto& entry : by_source) {
        std::vector<Manifest>& backups = entry.second; // a plain reference: lambdas below capture it
        std::reverse(backups.begin(), backups.end()); // newest first
        std::set<std::string> keep;
        for (size_t i = 0; i < backups.size() && i < policy.keep_last; i++)
            keep.insert(backups[i].id);
        auto per_bucket = [&](uint32_t n, char kind) {
            std::string last;
            uint32_t taken = 0;
            for (const Manifest& m : backups) {
                if (taken >= n)
                    break;
                std::string b = bucket(m.snapshot_time, kind);
                if (b != last) {
                    keep.insert(m.id);
                    last = b;
                    taken++;
                }
            }
        };
        per_bucket(policy.keep_daily, 'd');
        per_bucket(policy.keep_weekly, 'w');
        per_bucket(policy.keep_monthly, 'm');
        for (const Manifest& m : backups)
            (keep.count(m.id) ? result.kept : result.forgotten).push_back(m.id);
    }
    if (dry_run)
        return result;
    remove_backups(result.forgotten);
    return result;
}

std::vector<Digest> RepositoryImpl::chunks_of(const std::string& id)
{
    Index ix = index(manifest(id));
    std::vector<Digest> out;
    for (const Digest& d : ix.digests)
        if (!format::is_zero_digest(d))
            out.push_back(d);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

Repository::StoredSize RepositoryImpl::stored_size(const std::vector<Digest>& digests)
{
    StoredSize out;
    for (const Digest& d : digests) {
        std::optional<uint64_t> bytes = chunks_->stored_bytes(d);
        if (!bytes) {
            out.missing++;
            continue;
        }
        out.chunks++;
        out.bytes += *bytes;
    }
    return out;
}

void RepositoryImpl::remove_backups(const std::vector<std::string>& ids)
{
    // The manifest goes first: once it is gone (and that is durable) the backup is gone;
    // an index left behind by a crash is removed by gc.
    for (const std::string& id : ids)
        store_->remove(manifest_name(id));
    for (const std::string& id : ids)
        store_->remove(index_name(id));
}

ForgetResult RepositoryImpl::forget_ids(const std::vector<std::string>& ids, bool dry_run)
{
    if (ids.empty())
        throw Error(Error::Kind::Invalid, "forget needs the ids of the backups to forget");
    std::unique_ptr<RepoLock> lock;
    if (!dry_run)
        lock = this->lock(LockMode::Exclusive, "forget");
    // Every id is checked before anything goes; a manifest that cannot be read is forgotten
    // all the same, since that is how a damaged backup leaves the repository.
    std::set<std::string> named;
    for (const std::string& id : ids) {
        if (!has_backup(id))
            throw Error(Error::Kind::NotFound, "no backup " + id, where(kBackupsPrefix));
        named.insert(id);
    }
    ForgetResult result;
    result.forgotten.assign(named.begin(), named.end());
    for (const std::string& id : backup_ids())
        if (!named.count(id))
            result.kept.push_back(id);
    if (!dry_run)
        remove_backups(result.forgotten);
    return result;
}

GcResult RepositoryImpl::gc(const ProgressFn& progress)
{
    auto lock = this->lock(LockMode::Exclusive, "gc");
    auto check_lock = [&](bool full) { check_exclusive(*lock, full, "gc"); };
    GcResult result;
    std::set<Digest> referenced;
    std::set<std::string> ids;
    for (const std::string& id : backup_ids()) {
        try {
            Manifest m = manifest(id);
            std::vector<Digest> pieces;
            for (const Digest& d : index(m, &pieces).digests)
                if (!format::is_zero_digest(d))
                    referenced.insert(d);
            referenced.insert(pieces.begin(), pieces.end());
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::Damaged || e.kind() == Error::Kind::Format)
                throw Error(e.kind(),
                            "gc refused: backup " + id + " cannot be read (" + e.message() +
                                "), so the chunks it references are unknown; run verify",
                            e.path());
            throw;
        }
        ids.insert(id);
    }
    result.chunks_referenced = referenced.size();

    check_lock(true);
    // Indexes without a manifest, and what saves that were cut short left behind.
    for (const ObjectInfo& o : backup_objects())
        if (ends_with(o.name, kIndexSuffix) && !ids.count(o.name.substr(0, o.name.size() - strlen(kIndexSuffix)))) {
            check_lock(false);
            store_->remove(std::string(kBackupsPrefix) + "/" + o.name);
            result.other_files_removed++;
        }
    check_lock(false);
    result.other_files_removed += store_->remove_leftovers(kBackupsPrefix);

    chunks_->collect(referenced, check_lock, progress, result);
    return result;
}

// Between steps: an exclusive holder whose lock object went cannot know that no backup
// started since, so it stops before removing anything more.
void RepositoryImpl::check_exclusive(RepoLock& lock, bool full, const std::string& what)
{
    if (full ? lock.intact() : lock.still_held())
        return;
    throw Error(Error::Kind::Locked,
                what + " stopped: its lock was lost while it ran (its lock object was removed, or judged stale); "
                       "run " + what + " again",
                store_->location());
}

RepairReport RepositoryImpl::repair(const ProgressFn& progress)
{
    auto lock = this->lock(LockMode::Exclusive, "repair");
    RepairReport report;
    std::vector<ChunkStore::Lost> lost = chunks_->repair(
        [&](bool full) { check_exclusive(*lock, full, "repair"); }, progress, report.chunks_checked);
    // Which backups each lost chunk hurts, and every backup that needs a chunk not stored now
    // (lost today or earlier).
    std::map<Digest, std::set<std::string>> users;
    std::set<std::string> affected;
    for (const std::string& id : backup_ids()) {
        try {
            Manifest m = manifest(id);
            std::vector<Digest> pieces;  // of its map, stored beside its chunks
            Index ix = index(m, &pieces);
            pieces.insert(pieces.end(), ix.digests.begin(), ix.digests.end());
            for (const Digest& d : pieces)
                if (!format::is_zero_digest(d)) {
                    users[d].insert(id);
                    if (!chunks_->has(d))
                        affected.insert(id);
                }
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Damaged && e.kind() != Error::Kind::Format)
                throw;
            // A backup whose manifest or map cannot be read is hurt whatever it references.
            report.damage.push_back({e.message(), e.path(), {id}});
            affected.insert(id);
        }
    }
    for (const ChunkStore::Lost& l : lost) {
        std::set<std::string> hurt;
        for (const Digest& d : l.chunks) {
            report.chunks_lost++;
            if (auto it = users.find(d); it != users.end())
                hurt.insert(it->second.begin(), it->second.end());
        }
        report.damage.push_back({l.what, l.path, {hurt.begin(), hurt.end()}});
    }
    report.affected_backups.assign(affected.begin(), affected.end());
    return report;
}

} // namespace

void Repository::init(Env& env, const std::string& location, const InitOptions& options)
{
    const bool encrypt = options.password.has_value();
    if (options.pack_bytes < format::kMinPackBytes || options.pack_bytes > format::kMaxPackBytes)
        throw Error(Error::Kind::Invalid,
                    "pack size " + std::to_string(options.pack_bytes) + " is not from 64 KiB to 1 GiB");
    if (options.version != format::kRepoVersion && options.version != format::kRepoVersionFiles)
        throw Error(Error::Kind::Invalid, "repository format version " + std::to_string(options.version) +
                                              " is not one this program writes (1 or 2)");
    if (options.chunk_bytes < 4096 || options.chunk_bytes > format::kMaxChunkBytes || options.chunk_bytes % 4096)
        throw Error(Error::Kind::Invalid, "chunk size " + std::to_string(options.chunk_bytes) +
                                              " is not a multiple of 4096 from 4 KiB to 16 MiB");
    if (encrypt && options.version == format::kRepoVersionFiles)
        throw Error(Error::Kind::Invalid, "a version 1 repository cannot be encrypted");
    if (encrypt && options.password->empty())
        throw Error(Error::Kind::Invalid, "the password is empty");
    const bool local = !is_s3_address(location);
    if (options.version == format::kRepoVersionFiles && !local)
        throw Error(Error::Kind::Invalid,
                    "a version 1 repository keeps a file per chunk and must be a local directory; "
                    "use version 2 on object storage",
                    location);
    std::unique_ptr<Backend> store = open_backend(env, location);
    // An encrypted repository is private to its owner throughout: whoever else may list the
    // directory learns nothing of it, not even its backups' ids and sizes.
    store->set_private(encrypt);
    store->create();
    // Version 2's data/, index/, backups/ and locks/ appear as objects arrive there.
    if (options.version == format::kRepoVersionFiles) {
        env.mkdir(join(location, "chunks"));
        env.sync_dir(location);
    }
    format::Config config;
    config.version = options.version;
    config.chunk_bytes = options.chunk_bytes;
    config.pack_bytes = options.pack_bytes;
    std::array<uint8_t, 16> rid{};
    random_bytes(rid);
    config.id = to_hex(rid);
    keys::BackendKeyStore ks(*store);
    std::string first_key;
    if (encrypt) {
        // The first key file, then the config that needs its master key. A crash between
        // them leaves a store without a config: not a repository, and init may run again
        // once it is emptied.
        keys::NewKey nk;
        nk.kdf = options.kdf;
        keys::Unlocked first = keys::create_first_key(ks, config.id, *options.password, nk);
        first_key = first.name;
        config.encrypted = true;
        config.sealed = first.key.seal(format::encode_config(config), format::config_context(config.id));
    }
    // The config last: a store without it is not a repository yet. Two inits of one place at
    // once (two machines' first backups) both get here when both found it empty; only one
    // config is stored, and the other init takes its key file back (bound to its own
    // repository id, it opens nothing here) and says the repository exists.
    try {
        store->save_new("config", format::encode_config(config));
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Exists)
            throw;
        if (!first_key.empty()) {
            try {
                ks.remove(first_key);
            } catch (const Error&) {
            }
        }
        throw Error(Error::Kind::Exists, "a repository exists already", location);
    }
}

void Repository::init(Env& env, const std::string& location, uint32_t chunk_bytes, uint32_t version,
                      uint64_t pack_bytes)
{
    InitOptions options;
    options.chunk_bytes = chunk_bytes;
    options.version = version;
    options.pack_bytes = pack_bytes;
    init(env, location, options);
}

std::unique_ptr<Repository> Repository::open(Env& env, const std::string& location, const OpenOptions& options)
{
    const bool local = !is_s3_address(location);
    std::unique_ptr<Backend> store = open_backend(env, location);
    // Packs far away are read a window at a time, not a request per chunk.
    if (!local)
        store = std::make_unique<ReadAheadBackend>(std::move(store), "data");
    std::string text = read_object(*store, "config", format::kMaxConfigBytes, Error::Kind::NotFound,
                                   "no repository (its config is missing)", "repository config is too large");
    std::string path = join(store->location(), "config");
    format::Config config = format::read_config(text, path);
    if (config.version == format::kRepoVersionFiles && (!local || !env.is_dir(join(location, "chunks"))))
        throw Error(Error::Kind::Format, "repository lacks its chunks directory", location);
    auto repo = std::make_unique<RepositoryImpl>(env, std::move(store), local, config.chunk_bytes, config.version,
                                                 config.pack_bytes);
    repo->set_repo_id(config.id);
    keys::BackendKeyStore ks(repo->store());
    if (!config.encrypted) {
        // Nobody without the key can turn an encrypted repository into a plain one by
        // rewriting its config: the key files give it away.
        if (!ks.list().empty())
            throw Error(Error::Kind::Damaged,
                        "repository config says it is not encrypted, but the repository holds key files", path);
        return repo;
    }
    if (config.sealed.empty())
        throw Error(Error::Kind::Damaged, "repository config lacks its sealed copy", path);
    if (!options.password)
        throw Error(Error::Kind::Invalid, "the repository is encrypted: a password is needed", location);
    keys::Unlocked key = keys::unlock(ks, config.id, options.password(), options.key_name);
    // The plaintext config only says how to open the key; the sealed copy decides. Any field
    // changed by someone without the key (a chunk size, a pack size, the cipher) is damage.
    std::string inner_text = key.key.open(config.sealed, format::config_context(config.id), path);
    format::Config inner = format::read_config(inner_text, path);
    if (!inner.sealed.empty() || !inner.same_as(config))
        throw Error(Error::Kind::Damaged, "repository config differs from its sealed copy", path);
    repo->use_key(std::move(key));
    return repo;
}

bool ReadSubset::slice_holds(const Digest& d) const
{
    // The digest is uniform (a hash), so its first eight bytes spread the chunks evenly.
    uint64_t v = 0;
    for (size_t i = 0; i < 8; i++)
        v = v << 8 | d[i];
    return v % slices == slice - 1;
}

std::optional<ReadSubset> parse_read_subset(const std::string& text)
{
    // Digits only (and one '.' in a percentage): no signs, spaces, exponents or "nan".
    auto digits = [](const std::string& t, bool point) {
        size_t points = 0;
        for (char c : t)
            if (c == '.' && point)
                points++;
            else if (c < '0' || c > '9')
                return false;
        return !t.empty() && points <= 1 && t != ".";
    };
    ReadSubset r;
    if (!text.empty() && text.back() == '%') {
        const std::string num = text.substr(0, text.size() - 1);
        if (!digits(num, true) || num.size() > 16)
            return std::nullopt;
        r.percent = std::stod(num);
        if (!(r.percent > 0 && r.percent <= 100))
            return std::nullopt;
        return r;
    }
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return std::nullopt;
    const std::string n = text.substr(0, slash), m = text.substr(slash + 1);
    if (!digits(n, false) || !digits(m, false) || n.size() > 9 || m.size() > 9)
        return std::nullopt;
    r.slice = static_cast<uint32_t>(std::stoul(n));
    r.slices = static_cast<uint32_t>(std::stoul(m));
    if (r.slice < 1 || r.slice > r.slices)
        return std::nullopt;
    return r;
}

} // namespace repo
