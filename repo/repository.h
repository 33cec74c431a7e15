// The backup repository: what the agent and the kestrel command call.
//
// A repository is a directory of content-addressed chunks (a fixed number of blocks each,
// named by the SHA-256 of their contents, or in an encrypted repository by a keyed hash,
// zstd-compressed; in pack files of several MiB with
// a repository-wide index, or a file each in version 1 repositories) and, per backup, a manifest and a
// fixed index with one chunk digest per chunk position. Every backup restores on its own; an
// incremental backup stores only the chunks that changed. docs/repository.md describes the
// format.
//
// Errors: every function reports failure by throwing repo::Error (repo/error.h); nothing
// else escapes except std::bad_alloc. A function that throws leaves the repository as it
// was, plus at most unreferenced files that gc removes.
//
// Threads: a Repository may be used from one thread at a time; any number of Repository
// objects, in one process or many, on one host or many, may use one repository at once.
// Backups, restores, verifies and block readers hold shared locks (repo/lock.h), forget and
// gc an exclusive one, each for as long as it runs; a lock that was lost meanwhile (its
// object removed, or taken for stale) is noticed, and what relied on it is checked again
// or refused, so gc never removes what a running backup or reader uses.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "repo/backend.h"
#include "repo/env.h"
#include "repo/error.h"
#include "repo/keys.h"
#include "repo/lock.h"

namespace repo {

using Digest = std::array<uint8_t, 32>;      // SHA-256
using SessionKey = std::array<uint8_t, 56>;  // the module's session key

// The chunk size of a new repository unless init is told otherwise (see docs/repository.md
// for the measurement behind it).
constexpr uint32_t kDefaultChunkBytes = 64 * 1024;
// The pack size of a new repository: 16 MiB keeps it at 64 files per GiB of incompressible
// data, fewer for data that compresses.
constexpr uint64_t kDefaultPackBytes = 16u << 20;

// Where a backup came from and its shape. `source` identifies the device the backups of
// one chain share, e.g. "disk.img#2" or "dev 8:1"; the agent picks it, the repository only
// compares it.
struct SourceInfo {
    std::string source;
    uint64_t start_sector = 0;   // first sector of the partition on its disk
    uint64_t sector_count = 0;   // sectors of the partition
    std::string fs_type;         // "ext2", "ext3", "ext4", or "raw" for unknown content
    uint32_t block_size = 0;     // 1024, 2048 or 4096 (a power of two from 512 to 65536)
    uint64_t block_count = 0;    // file-system blocks backed up (block 0 .. block_count-1)
};

// The figures of one backup, filled by the writer.
struct BackupCounts {
    uint64_t blocks_written = 0;   // blocks handed to put()
    uint64_t blocks_kept = 0;      // used blocks taken unchanged from the parent
    uint64_t blocks_unused = 0;    // blocks neither put nor kept: restored as zeros
    uint64_t chunks = 0;           // chunk positions of the index
    uint64_t chunks_empty = 0;     // positions with no used block (nothing stored)
    uint64_t chunks_reused = 0;    // positions that took the parent's digest unread
    uint64_t chunks_new = 0;       // chunks this backup stored (not in the repository before)
    uint64_t bytes_new = 0;        // bytes of those chunk files on disk
    uint64_t map_pieces_new = 0;   // pieces of the map tree this backup stored (version 2)
    uint64_t map_bytes_new = 0;    // their bytes before compression
    uint64_t chunks_stored_again = 0;  // chunks (and map pieces) the repository held, stored
                                       // again: the stored copy was missing or damaged
};

// What commit() records beside what begin_backup() was told.
struct CommitInfo {
    int64_t snapshot_time = 0;          // seconds since the epoch (UTC) of the snapshot
    uint64_t duration_ms = 0;           // how long the backup took
    bool incremental = false;           // true when only changed blocks were read
    std::string reason;                 // why full or incremental, for the user
    nlohmann::json module_stats = nlohmann::json::object(); // the module's statistics
    SessionKey session_key{};           // the key the next incremental must present
    std::vector<uint64_t> unreadable_blocks; // blocks the disk could not read (stored as zeros)
    std::string host;                   // the machine backed up ("" when not known)
    std::vector<std::string> tags;      // the user's labels, sorted, once each
};

// Whether `host` may name a machine in a manifest: 1 to kMaxHostBytes letters, digits and
// ".-_". Whether `tag` may label a backup: 1 to kMaxTagBytes letters, digits and "._-:@+=/".
// A manifest holds at most kMaxTags tags. What the manifest reader enforces, so that a name
// read back can be printed and filtered on safely.
constexpr size_t kMaxHostBytes = 253;
constexpr size_t kMaxTagBytes = 64;
constexpr size_t kMaxTags = 64;
bool valid_host(const std::string& host);
bool valid_tag(const std::string& tag);

// One backup's manifest.
struct Manifest {
    uint32_t version = 1;       // manifest format version: 1 (index file) or 2 (map tree)
    std::string id;             // the backup id
    SourceInfo source;
    uint32_t chunk_blocks = 0;  // blocks per chunk
    std::optional<std::string> parent;
    int64_t snapshot_time = 0;
    uint64_t duration_ms = 0;
    bool incremental = false;
    std::string reason;
    BackupCounts counts;
    nlohmann::json module_stats = nlohmann::json::object();
    SessionKey session_key{};
    std::vector<uint64_t> unreadable_blocks;
    Digest index_digest{};      // version 1: SHA-256 of the backup's index file
    Digest tree_root{};         // version 2: the root piece of its map tree (zeros: empty)
    std::string host;           // "" for backups written before hosts were recorded
    std::vector<std::string> tags;
};

// Which backups list, forget and stats look at. Empty fields select everything; `tags`
// holds alternatives, each a set of tags a backup must all carry ({{"a","b"},{"c"}}: a and
// b, or c).
struct BackupFilter {
    std::string host;
    std::string source;
    std::vector<std::vector<std::string>> tags;
    bool matches(const Manifest& m) const;
};

// Writes one backup. Blocks are handed over in strictly ascending order, each block at most
// once, by put() (the block's snapshot contents) or keep() (used, unchanged since the
// parent: the parent's contents are taken). Blocks never named are unused and restore as
// zeros. Hashing, compression and chunk writes run on worker threads while the caller goes
// on; chunks are synced before the index and the manifest are written.
//
// A writer holds a shared lock from begin_backup() until commit() or abort() (or its
// destruction, which aborts). Nothing it wrote is referenced until commit() returns. When
// the lock was lost while it ran, commit() takes a new one and checks that every chunk the
// backup references is still stored; when some are gone it fails (Error::Locked) and
// commits nothing.
class BackupWriter {
public:
    virtual ~BackupWriter() = default;

    // The snapshot contents of `block`: data.size() must be the block size; block must be
    // above every block named before and below the block count. Throws Error::Invalid on a
    // contract breach, or the error of a chunk write that failed meanwhile (the writer is
    // then aborted).
    virtual void put(uint64_t block, std::span<const uint8_t> data) = 0;

    // Blocks first .. first+count-1 are used and unchanged since the parent: their contents
    // come from the parent backup. Same ordering rule as put(). Error::Invalid without a
    // parent.
    virtual void keep(uint64_t first, uint64_t count) = 0;

    // Finishes the backup: the chunks still open, then the index and the manifest, each
    // synced, written under a temporary name and renamed. Returns the backup id. On error
    // the backup is aborted and nothing references what it wrote. Call at most once.
    virtual std::string commit(const CommitInfo& info) = 0;

    // Drops the backup: waits for the workers, leaves no index or manifest, releases the
    // lock. Chunks already stored stay for gc (or for the next backup to reuse). Never throws.
    virtual void abort() noexcept = 0;

    // The figures so far (complete after commit()).
    virtual BackupCounts counts() const = 0;

    // Reads back every chunk the repository has already before reusing it, instead of a
    // random sample (kRecheckOneIn, repo/chunk_store.h): a chunk whose stored copy is missing
    // or damaged is stored again. For a backup the user asked to be full. Call before put().
    virtual void check_all_reused() = 0;

    // The backup's id (fixed at begin_backup()).
    virtual const std::string& id() const = 0;
};

// The outcome of verify.
struct Damage {
    std::string what;                  // "chunk missing", "index truncated", ...
    std::string path;                  // the damaged file
    std::vector<std::string> backups;  // every backup it affects
};

struct VerifyReport {
    uint64_t backups_checked = 0;
    uint64_t chunks_checked = 0;       // chunks referenced, each at least looked up in the store
    uint64_t chunks_read = 0;          // of those, chunks read back and checked
    uint64_t bytes_checked = 0;        // the bytes of the chunks read
    std::vector<Damage> damage;        // empty when everything is sound
    bool clean() const { return damage.empty(); }
    // Every backup named by some damage, sorted, once each.
    std::vector<std::string> damaged_backups() const;
};

// Which referenced chunks verify reads back and checks; the others are only looked up in
// the store (the index, for packs). A share of `percent` is drawn at random on every run,
// so repeated runs cover everything in time; slice `slice` of `slices` is the chunks whose
// digest falls in it, so the runs 1/m ... m/m together read every chunk exactly once.
struct ReadSubset {
    double percent = 100;  // (0, 100]; used when slices is 0
    uint32_t slice = 0;    // 1 ... slices
    uint32_t slices = 0;
    bool all() const { return slices == 0 && percent >= 100; }
    // Whether slice `slice` of `slices` holds chunk `d` (slices > 0).
    bool slice_holds(const Digest& d) const;
};

// "N%" (0 < N <= 100, a decimal fraction allowed) or "n/m" (1 <= n <= m); none otherwise.
std::optional<ReadSubset> parse_read_subset(const std::string& text);

struct VerifyOptions {
    ReadSubset read;  // default: every chunk
};

// Retention: a backup is kept when any rule keeps it; rules count per host and source.
struct RetentionPolicy {
    uint32_t keep_last = 0;     // the newest N
    uint32_t keep_daily = 0;    // the newest backup of each of the newest N days (UTC)
    uint32_t keep_weekly = 0;   // ... of each of the newest N ISO weeks
    uint32_t keep_monthly = 0;  // ... of each of the newest N months
    bool empty() const { return !keep_last && !keep_daily && !keep_weekly && !keep_monthly; }
};

struct ForgetResult {
    std::vector<std::string> kept;
    std::vector<std::string> forgotten;
};

struct GcResult {
    uint64_t chunks_referenced = 0;
    uint64_t chunks_removed = 0;
    uint64_t bytes_removed = 0;
    uint64_t other_files_removed = 0;  // temporary files, indexes without a manifest, packs no index lists
    uint64_t packs_removed = 0;        // packs with nothing live (version 2)
    uint64_t packs_repacked = 0;       // packs whose live chunks were copied into new packs
};

// What repair did: each damaged object it set aside (or found missing), with the backups
// that referenced a chunk lost with it.
struct RepairReport {
    uint64_t chunks_checked = 0;
    uint64_t chunks_lost = 0;            // chunks no longer stored
    std::vector<Damage> damage;          // path: where the object was set aside (or missing)
    // Every backup that references a chunk not stored now, sorted.
    std::vector<std::string> affected_backups;
    bool clean() const { return damage.empty() && affected_backups.empty(); }
};

// Called now and then during long work: done of total units (bytes or chunks).
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// How a backup's image is written.
struct RestoreOptions {
    // Replace an existing image file, or write onto a block device; without it both are
    // refused (Error::Exists).
    bool overwrite = false;
    // Workers that read, check and decompress chunks (0: one per core, 2 to 8).
    unsigned threads = 0;
};

// A directory entry of a backed-up ext2/3/4 file system.
struct FsEntry {
    std::string name;
    char type = '?';            // 'f' file, 'd' directory, 'l' symlink, 'c','b','p','s' other
    uint32_t mode = 0;          // permission bits and type, as in st_mode
    uint64_t size = 0;
    int64_t mtime = 0;
    uint32_t uid = 0, gid = 0;
    std::string link_target;    // for symlinks
};

// A name or symlink target of a backed-up file system for a line of text: control
// characters and backslashes escaped, so that a name holding a newline cannot forge a line.
std::string printable_name(const std::string& name);

// How extract writes what it takes from a backup.
struct ExtractOptions {
    // Whether to restore owners and groups, device nodes and the security.*, trusted.* and
    // POSIX ACL extended attributes, as only root may. Default: when running as root.
    bool as_root = geteuid_is_root();
    // Read the file system in a child process, so that a damaged one that crashes libext2fs
    // ends in Error::Damaged instead of the caller's death. Off only for tests that want to
    // see a crash where it happens.
    bool isolate = true;
    ProgressFn progress;

    static bool geteuid_is_root();
};

// What extract did. An entry is refused when the file system holds something no sound one
// does (an unsafe name, a second entry of one name, a damaged inode); it is skipped when it
// is sound but not extracted (a device node without root, a socket).
struct ExtractReport {
    uint64_t bytes = 0;         // file data written
    uint64_t files = 0, directories = 0, symlinks = 0, hard_links = 0, fifos = 0, devices = 0;
    std::map<std::string, uint64_t> refused;   // by reason
    std::map<std::string, uint64_t> skipped;   // by reason
    std::map<std::string, uint64_t> not_kept;  // attributes that could not be set, by what
    std::vector<std::string> warnings;         // one line each, the first kMaxWarnings
    uint64_t warnings_dropped = 0;             // warnings beyond those
    static constexpr size_t kMaxWarnings = 100;

    // True when nothing was refused.
    bool complete() const { return refused.empty(); }
};
nlohmann::json to_json(const ExtractReport& r);
ExtractReport extract_report_from_json(const nlohmann::json& j);

// What a new repository is like (see Repository::init).
struct InitOptions {
    // A multiple of 4096 from 4096 to 16 MiB.
    uint32_t chunk_bytes = kDefaultChunkBytes;
    // 2: chunks in pack files of about `pack_bytes` (64 KiB to 1 GiB) with a repository-wide
    // index, each backup's map a tree of pieces (docs/repository.md). 1: a file per chunk,
    // only in a local directory.
    uint32_t version = 2;
    uint64_t pack_bytes = kDefaultPackBytes;
    // Encrypts the repository (version 2 only): a new master key, and its first key file
    // under this password. None: not encrypted.
    std::optional<std::string> password;
    // The first key file's KDF cost (never below keys::kStandardKdf outside tests).
    keys::KdfParams kdf = keys::kStandardKdf;
};

// How a repository is opened.
struct OpenOptions {
    // Asked for the password, only when the repository is encrypted (its errors pass on).
    std::function<std::string()> password;
    // The key file to try (its name); empty: every key file, in name order.
    std::string key_name;
};

// A repository's location is a directory or an "s3:" address (repo/s3_backend.h); every
// object of the repository is stored through the Backend that location names.
class Repository {
public:
    // Creates a repository at `location`: a directory that must not exist or be empty, or an
    // S3 bucket (which must exist) whose prefix holds no object yet. With a password, version
    // 2 is encrypted: every object sealed under a new master key kept under keys/ (in a
    // directory, files 0600 and directories 0700 throughout). Error::Exists when something
    // is stored there already, or another init of the same place got there first;
    // Error::Invalid for a bad option, version 1 on object storage or encrypted, an empty
    // password, or KDF parameters below the standard ones.
    static void init(Env& env, const std::string& location, const InitOptions& options = {});
    static void init(Env& env, const std::string& location, uint32_t chunk_bytes, uint32_t version = 2,
                     uint64_t pack_bytes = kDefaultPackBytes);

    // Opens the repository at `location`. Error::NotFound when there is none; Error::Format
    // when its config is of another format or version. An encrypted one asks
    // options.password and opens its master key: Error::WrongPassword when no key file opens
    // with it, Error::Invalid when no password callback is given, Error::Damaged when its
    // config does not match its sealed copy, or a config that claims no encryption sits
    // beside key files. `env` must outlive the Repository.
    static std::unique_ptr<Repository> open(Env& env, const std::string& location, const OpenOptions& options = {});

    virtual ~Repository() = default;

    // The location: the directory, or the store's address.
    virtual const std::string& dir() const = 0;
    virtual uint32_t chunk_bytes() const = 0;

    // The store under the repository (its locks live there).
    virtual Backend& store() = 0;

    // How locks are taken from now on (how long to wait for a conflicting holder, ...). Set
    // before other threads use the repository: it is not guarded against them.
    virtual void set_lock_options(const LockOptions& options) = 0;

    // Takes the repository's lock for `operation` ("backup", "gc", ...). Error::Locked
    // when a conflicting holder keeps it past the wait. What the agent calls before its
    // snapshot, so that a backup refused by the lock has not used its change tracking.
    virtual std::unique_ptr<RepoLock> lock(LockMode mode, const std::string& operation) = 0;

    // Every backup, oldest snapshot first (ties by id). A manifest that cannot be read is
    // skipped here; verify reports it.
    virtual std::vector<Manifest> list() = 0;
    // The same, and each backup whose manifest cannot be read added to `damaged`.
    virtual std::vector<Manifest> list(std::vector<Damage>& damaged) = 0;

    // The manifest of backup `id`. Error::NotFound when there is none, Error::Damaged when
    // it cannot be read.
    virtual Manifest manifest(const std::string& id) = 0;

    // The newest backup (by snapshot time) of `source`, or none. What the agent asks before
    // a backup: the session key to present, the geometry to compare and the parent id.
    virtual std::optional<Manifest> latest(const std::string& source) = 0;

    // Starts a backup. With `parent`, the parent must be a backup of the same block size and
    // block count (Error::Invalid otherwise) whose index reads back sound (Error::Damaged);
    // keep() then takes blocks from it. Holds `lock` (a shared lock from lock()), or takes
    // one when none is given: Error::Locked while gc or forget runs. `threads` (0: one per
    // core) is how many workers hash and compress.
    virtual std::unique_ptr<BackupWriter> begin_backup(const SourceInfo& source,
                                                       const std::optional<std::string>& parent,
                                                       unsigned threads = 0,
                                                       std::unique_ptr<RepoLock> lock = nullptr) = 0;

    // Restores backup `id` to `target`, checking each chunk against its digest; a few
    // workers read, check and decompress chunks and write them where they belong, and the
    // image is synced once at the end.
    //  - A new image file (block_count × block_size bytes, sparse where the backup holds
    //    zeros) is written under a temporary name beside it (".<name>.restore-<12 hex>", held
    //    locked while in use) and renamed when complete; on failure nothing is left. Such
    //    files of earlier runs that were killed are removed first.
    //  - An existing image file is replaced the same way (it keeps its mode) only with
    //    `options.overwrite`; a symbolic link to one is followed.
    //  - A block device is written in place only with `options.overwrite`, when it is not
    //    mounted or otherwise in use and is large enough (Error::Invalid otherwise). What it
    //    held beyond the image is left as it was.
    // Error::Exists for an existing target without `overwrite` or for a directory;
    // Error::Invalid for a target inside the repository or of another kind; Error::Damaged
    // (naming the backup and the file) when a chunk, the index or the manifest is damaged.
    // Holds a shared lock while it runs; a chunk missing because the lock was lost is
    // Error::Locked, not damage.
    virtual void restore(const std::string& id, const std::string& target, const ProgressFn& progress = {},
                         const RestoreOptions& options = {}) = 0;

    // Reads blocks of backup `id` without restoring it, each chunk checked as it is read.
    // Error::Damaged as for restore. The reader holds a shared lock for its lifetime.
    class BlockReader {
    public:
        virtual ~BlockReader() = default;
        virtual const Manifest& manifest() const = 0;
        // Reads `count` blocks from `first` into `out` (count × block_size bytes).
        // Error::Invalid past the last block.
        virtual void read(uint64_t first, uint64_t count, uint8_t* out) = 0;
        // The digest naming chunk position `pos` (blocks pos × chunk_blocks onward), all
        // zeros for a position without a used block, read from the index only. Positions of
        // two backups with equal digests hold equal blocks. Nothing when the reader cannot
        // say (the blocks must then be compared); Error::Invalid past the last position.
        virtual std::optional<Digest> chunk_digest(uint64_t pos) const
        {
            (void)pos;
            return std::nullopt;
        }
    };
    virtual std::unique_ptr<BlockReader> reader(const std::string& id) = 0;

    // File-level access to a backup of an ext2/3/4 file system, read through the backup's
    // index (nothing is restored in full) in a child process (a damaged file system that
    // crashes the reader ends in Error::Damaged). Paths are absolute within the file system;
    // no symlink of the backup is followed on the way. Error::NotFound for a path that does
    // not exist, Error::Invalid for a backup that holds no ext2/3/4 file system.
    virtual std::vector<FsEntry> ls(const std::string& id, const std::string& path) = 0;
    // Extracts the file, symlink, fifo, device or tree at `path` to `to_dir`/<its name> with
    // its metadata (`to_dir` must exist; Error::Exists when the name is taken there). Every
    // entry is created relative to its parent's directory descriptor and exclusively: nothing
    // there is followed or overwritten. Written in place and made durable once at the end;
    // when extract fails or is interrupted it removes what it created, and only that.
    // Entries the file system should not hold are refused and reported, the rest extracted.
    virtual ExtractReport extract(const std::string& id, const std::string& path,
                                  const std::string& to_dir, const ExtractOptions& options = {}) = 0;

    // Checks one backup (or all when `id` is empty): its manifest and index read back sound
    // and every chunk it references exists, decompresses and hashes to its name (only the
    // chunks `options.read` selects are read; the others are looked up). Damage is
    // reported, not thrown; Error::NotFound for an unknown `id`. Holds a shared lock; when
    // the lock was lost meanwhile the findings cannot be trusted: Error::Locked.
    virtual VerifyReport verify(const std::optional<std::string>& id, const ProgressFn& progress = {},
                                const VerifyOptions& options = {}) = 0;

    // Forgets the backups `policy` does not keep (an empty policy is Error::Invalid) among
    // those `filter` selects; the others are left alone and not reported. With `dry_run`
    // only reports. Takes the lock exclusively. Chunks stay until gc.
    virtual ForgetResult forget(const RetentionPolicy& policy, bool dry_run = false,
                                const BackupFilter& filter = {}) = 0;

    // Forgets the named backups, also those whose manifest or index is damaged. Error::NotFound
    // (nothing forgotten) when one does not exist. Takes the lock exclusively.
    virtual ForgetResult forget_ids(const std::vector<std::string>& ids, bool dry_run = false) = 0;

    // The chunks backup `id` references, sorted, once each (empty positions left out),
    // read from its index alone. Error::NotFound / Error::Damaged as for manifest().
    virtual std::vector<Digest> chunks_of(const std::string& id) = 0;

    // What the chunks of `digests` (sorted, once each) take in the store, without reading
    // their data.
    struct StoredSize {
        uint64_t chunks = 0;   // chunks found
        uint64_t bytes = 0;    // their size in the store (compressed)
        uint64_t missing = 0;  // chunks not stored
    };
    virtual StoredSize stored_size(const std::vector<Digest>& digests) = 0;

    // Removes chunks no manifest references, temporary files and indexes without a manifest.
    // Takes the lock exclusively, so it never runs beside a backup or a reader
    // (Error::Locked), and stops (Error::Locked) when its lock is lost meanwhile. Refuses
    // (Error::Damaged) when a manifest or index cannot be read, since it could not know
    // what that backup references.
    virtual GcResult gc(const ProgressFn& progress = {}) = 0;

    // Reads every stored chunk and sets damaged objects aside under DIR/damaged/ (kept for
    // inspection, never removed); in a version 2 repository it rebuilds the index from the
    // packs, listing only sound chunks. A backup that afterwards has the data of a lost chunk
    // stores it again (a full backup, or an incremental where that data changed). Lists the
    // backups that reference a lost chunk. Takes the lock exclusively (Error::Locked).
    virtual RepairReport repair(const ProgressFn& progress = {}) = 0;

    // Whether every object is sealed under a master key (and chunks named by a keyed hash).
    virtual bool encrypted() const = 0;
    // The key files of an encrypted repository (Error::Invalid for one that is not), and the
    // name of the one that opened it.
    virtual std::vector<keys::KeyInfo> list_keys() = 0;
    virtual std::string key_in_use() const = 0;
    // Adds a key file for `password`; returns its name. Takes the lock exclusively.
    virtual std::string add_key(const std::string& password, const keys::NewKey& options = {}) = 0;
    // Removes key file `name`: never the one in use, nor the last one that opens.
    // Error::NotFound when there is none of that name. Takes the lock exclusively.
    virtual void remove_key(const std::string& name) = 0;
};

std::string to_hex(std::span<const uint8_t> bytes);

// The manifest as the JSON object its file holds (docs/repository.md lists the fields).
nlohmann::json to_json(const Manifest& m);

} // namespace repo
