#include "agent/backup.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent/used_blocks.h"

namespace agent {

namespace {

std::string status_text(int s)
{
    switch (s) {
    case kes::KES_NOT_READY: return "the module or the device's queue is not ready";
    case kes::KES_INVALID: return "the request is not valid now";
    case kes::KES_REFUSED: return "refused";
    case kes::KES_NO_MEMORY: return "out of memory";
    case kes::KES_COPY_FROM_USER:
    case kes::KES_COPY_TO_USER: return "a copy between the agent and the module failed";
    case kes::KES_NO_DEVICE: return "no file system is mounted on the device";
    case kes::KES_BUSY: return "another backup is running";
    case kes::KES_STARTED: return "a backup is already started on this handle";
    case kes::KES_IO_ERROR: return "I/O error";
    default: break;
    }
    if (s < 0)
        return std::string(strerror(-s));
    return "status " + std::to_string(s);
}

std::string device_name(uint32_t major, uint32_t minor)
{
    return "device " + std::to_string(major) + ":" + std::to_string(minor);
}

std::string block_list(const std::vector<uint32_t>& blocks)
{
    std::string out;
    for (size_t i = 0; i < blocks.size() && i < 10; i++)
        out += (i ? ", " : "") + std::to_string(blocks[i]);
    if (blocks.size() > 10)
        out += " and " + std::to_string(blocks.size() - 10) + " more";
    return out;
}

std::chrono::nanoseconds span_of(int32_t sec, int32_t nsec)
{
    return std::chrono::seconds(sec) + std::chrono::nanoseconds(nsec);
}

// One backup, step by step. Every failure goes through fail(), which aborts the sink once
// it has begun, so no path can leave a backup half written.
class BackupRun {
public:
    BackupRun(Transport& t, const BackupJob& job, BlockSink& sink, const Progress& progress)
        : dev_(t), job_(job), sink_(sink), progress_(progress)
    {
    }

    BackupResult run();

private:
    BackupResult fail(Failure kind, int status, std::string what);
    // Why the backup cannot be incremental, decided before the snapshot; "" when it can.
    std::string reason_for_full(const kes::AutoMapStateInfo& am) const;
    // Reads count blocks at first into out through the mapped buffer, in runs.
    int read_into(uint32_t first, uint32_t count, uint8_t* out);
    // Reads one run of at most max_run_ blocks and puts each wanted one into the sink (the
    // others, read only to join two runs, are dropped). Returns 0, or the status of a read
    // that failed otherwise than for unreadable blocks; a sink's error goes to sink_error.
    int read_run(uint32_t first, uint32_t count, const BlockBitmap& wanted, std::vector<uint8_t>& buf,
                 std::string& sink_error);
    // Whether a run of count blocks goes to the short buffer, mapping it at the first such
    // run; a short buffer that cannot be mapped only means reading into the full one.
    bool into_short(uint32_t count);
    // The module's state: nothing while the backup holds, else the failure it says.
    std::optional<BackupResult> check_module_state();

    // The steps of run(), in order; each returns the failure that ends the backup, or nothing.
    // Opens the control device and reads the device's geometry.
    std::optional<BackupResult> open_device();
    // Starts the backup and decides whether it can be incremental.
    std::optional<BackupResult> start();
    // Takes the snapshot, falling back to a full backup once if the module does not take
    // the previous backup's key.
    std::optional<BackupResult> take_snapshot(kes::BackupStateInfo& st);
    // The key for the next backup and the blocks changed since the previous one.
    std::optional<BackupResult> read_changes(BlockBitmap& changed);
    // Maps the module's read buffer, sized for runs of at most run_blocks.
    std::optional<BackupResult> map_buffer(const kes::BackupStateInfo& st);
    // The used blocks from the file system, the wanted ones loaded into the module, the sink begun.
    std::optional<BackupResult> plan_backup(BlockBitmap& changed, BackupPlan& plan);
    // Reads every wanted block into the sink, run by run.
    std::optional<BackupResult> deliver(const BackupPlan& plan);
    // The backup's figures handed to the sink's commit.
    std::optional<BackupResult> commit(std::chrono::steady_clock::time_point started,
                                       std::chrono::system_clock::time_point snapshot_time);
    // The blocks one read takes from wanted block b on, and how many of them are wanted.
    uint32_t run_length(const BlockBitmap& wanted_map, uint32_t b, uint32_t& wanted) const;

    ControlDevice dev_;
    const BackupJob& job_;
    BlockSink& sink_;
    const Progress& progress_;
    BackupResult r_;
    std::string name_;        // the device's name, for messages
    std::string full_reason_; // why the backup is full; "" while it can be incremental
    Geometry geo_;
    bool begun_ = false;
    uint32_t max_run_ = 0;
    enum class Short { Untried, Mapped, Unavailable } short_ = Short::Untried;
    static constexpr uint32_t kShortBufferPages = 4;
};

BackupResult BackupRun::fail(Failure kind, int status, std::string what)
{
    r_.status = status ? status : -1;
    r_.failure = kind;
    r_.error = std::move(what);
    if (begun_)
        sink_.abort(r_.error);
    begun_ = false;
    dev_.close();
    return r_;
}

std::string BackupRun::reason_for_full(const kes::AutoMapStateInfo& am) const
{
    if (job_.full)
        return "a full backup was asked for";
    // The snapshot closes the automap without handing its changes out.
    if (job_.no_tracking)
        return "change tracking is being switched off for the device";
    if (!job_.previous)
        return "there is no previous backup of the device";
    const PreviousBackup& p = *job_.previous;
    if (p.geometry.block_size) {
        if (p.geometry.major != geo_.major || p.geometry.minor != geo_.minor)
            return "the previous backup is of another device";
        if (p.geometry.block_size != geo_.block_size || p.geometry.blocks != geo_.blocks)
            return "the device was resized (" + std::to_string(p.geometry.blocks) + " blocks of " +
                   std::to_string(p.geometry.block_size) + " bytes, now " + std::to_string(geo_.blocks) +
                   " of " + std::to_string(geo_.block_size) + ")";
    }
    // A backup taken without tracking left no key behind to present.
    if (std::all_of(p.key.begin(), p.key.end(), [](uint8_t c) { return c == 0; }))
        return "the previous backup left no change tracking for the device";
    if (am.major == 0 && am.minor == 0 && am.numBlocks == 0)
        return "the module has no change tracking for the device (the machine was restarted or the "
               "module reloaded)";
    if (am.tracking != kes::AUTOMAP_TRACKING)
        return "change tracking of the device was stopped";
    if (am.numBlocks != geo_.blocks)
        return "the device was resized (change tracking covers " + std::to_string(am.numBlocks) +
               " blocks, the device has " + std::to_string(geo_.blocks) + ")";
    if (!std::equal(p.key.begin(), p.key.end(), std::begin(am.sessionKey)))
        return "the session key does not match the device's change tracking (tracking was reset, "
               "or another backup took the changes)";
    return "";
}

int BackupRun::read_into(uint32_t first, uint32_t count, uint8_t* out)
{
    const uint32_t bs = geo_.block_size;
    int result = 0;
    for (uint32_t done = 0; done < count;) {
        uint32_t n = std::min(max_run_, count - done);
        int s = dev_.read_blocks(first + done, n);
        if (s && s != kes::KES_IO_ERROR)
            return s;
        if (s)
            result = s;
        for (uint32_t i = 0; i < n; i++)
            if (!dev_.buffer_block(i, bs, out + size_t(done + i) * bs))
                return -EFAULT;
        done += n;
    }
    return result;
}

bool BackupRun::into_short(uint32_t count)
{
    const uint64_t bytes = uint64_t(count) * geo_.block_size;
    if (bytes > kShortBufferPages * 4096 || uint64_t(max_run_) * geo_.block_size <= kShortBufferPages * 4096)
        return false;
    if (short_ == Short::Untried)
        short_ = dev_.map_short_buffer(kShortBufferPages) == 0 ? Short::Mapped : Short::Unavailable;
    return short_ == Short::Mapped;
}

int BackupRun::read_run(uint32_t first, uint32_t count, const BlockBitmap& wanted, std::vector<uint8_t>& buf,
                        std::string& sink_error)
{
    const uint32_t bs = geo_.block_size;
    int s = dev_.read_blocks(first, count, into_short(count));
    if (s == 0) {
        // The blocks go to the sink straight from the mapped buffer where the transport
        // can offer them in place, else through a copy.
        for (uint32_t i = 0; i < count && sink_error.empty(); i++) {
            if (!wanted.test(first + i))
                continue;
            const uint8_t* data = dev_.buffer_view(i, bs);
            if (!data) {
                buf.resize(bs);
                if (!dev_.buffer_block(i, bs, buf.data()))
                    return -EFAULT;
                data = buf.data();
            }
            sink_error = sink_.put(first + i, std::span<const uint8_t>(data, bs));
        }
        return 0;
    }
    if (s != kes::KES_IO_ERROR)
        return s;
    buf.resize(size_t(count) * bs);
    for (uint32_t i = 0; i < count; i++)
        if (!dev_.buffer_block(i, bs, buf.data() + size_t(i) * bs))
            return -EFAULT;
    // The run had blocks the disk could not read; they arrived as zeros. Find them by
    // reading each wanted block again on its own (an unwanted one in a gap is no loss).
    // Blocks that the first read took from the copy-on-write cache are gone from it now,
    // so the data of the first read is kept for every block that reads back the same or
    // that the first read filled. A block that came back as zeros the first time and with
    // data now was either unreadable then (a passing error) or zeros in the cache and
    // overwritten since: it takes the new data and is listed with the unreadable ones,
    // never silently zero.
    r_.unreadable_runs++;
    std::vector<uint8_t> one(bs);
    for (uint32_t i = 0; i < count; i++) {
        if (!wanted.test(first + i))
            continue;
        uint8_t* kept = buf.data() + size_t(i) * bs;
        int s1 = read_into(first + i, 1, one.data());
        if (s1 && s1 != kes::KES_IO_ERROR)
            return s1;
        bool zeros = std::all_of(kept, kept + bs, [](uint8_t c) { return c == 0; });
        if (s1 == kes::KES_IO_ERROR) {
            r_.unreadable.push_back(first + i);
        } else if (zeros && memcmp(kept, one.data(), bs) != 0) {
            memcpy(kept, one.data(), bs);
            r_.unreadable.push_back(first + i);
        }
    }
    for (uint32_t i = 0; i < count && sink_error.empty(); i++)
        if (wanted.test(first + i))
            sink_error = sink_.put(first + i, std::span<const uint8_t>(buf.data() + size_t(i) * bs, bs));
    return 0;
}

std::optional<BackupResult> BackupRun::check_module_state()
{
    kes::BackupStateInfo st{};
    int s = dev_.state(st);
    if (s)
        return fail(Failure::ControlDevice, s, "cannot read the backup's state: " + status_text(s));
    r_.final_state = st.state;
    if (!kes::backupFailed(st.state))
        return std::nullopt;
    dev_.stats(r_.stats);
    const int status = static_cast<int>(st.state);
    switch (st.state) {
    case kes::BACKUP_ERR_CACHE:
        if (r_.stats.peakCachedBlocks >= r_.stats.maxCacheBlocks)
            return fail(Failure::CacheFull, status,
                        "the copy-on-write cache is full (raise the cache limit): its " +
                            std::to_string(r_.stats.maxCacheBlocks) +
                            " blocks filled up while the device was being written; run the backup again "
                            "with a larger --cache");
        return fail(Failure::CopyOnWrite, status,
                    "the module ran out of memory for copy-on-write; the snapshot was lost");
    case kes::BACKUP_ERR_READ:
        return fail(Failure::CopyOnWrite, status,
                    "the disk could not be read: an old block could not be copied for copy-on-write; "
                    "the snapshot was lost");
    case kes::BACKUP_ERR_QUEUE:
        return fail(Failure::WriteQueue, status,
                    "a write could not be held back for copy-on-write (the worker queue was lost); "
                    "the snapshot was lost");
    case kes::BACKUP_ERR_MAP:
        return fail(Failure::ControlDevice, status, "the module could not load the map of wanted blocks");
    default:
        return fail(Failure::CopyOnWrite, status,
                    "the backup failed in the module (state " + std::to_string(st.state) + ")");
    }
}

BackupResult BackupRun::run()
{
    const auto started = std::chrono::steady_clock::now();
    name_ = device_name(job_.major, job_.minor);
    std::optional<BackupResult> failed = open_device();
    if (!failed)
        failed = start();
    kes::BackupStateInfo st{};
    if (!failed)
        failed = take_snapshot(st);
    if (failed)
        return *failed;
    const auto snapshot_time = std::chrono::system_clock::now();

    BlockBitmap changed;
    BackupPlan plan;
    failed = read_changes(changed);
    if (!failed)
        failed = map_buffer(st);
    if (!failed)
        failed = plan_backup(changed, plan);
    if (!failed)
        failed = deliver(plan);
    if (!failed)
        failed = commit(started, snapshot_time);
    return failed ? *failed : r_;
}

std::optional<BackupResult> BackupRun::open_device()
{
    int s = dev_.open();
    if (s)
        return fail(Failure::ControlDevice, s, std::string("cannot open ") + ControlDevice::kPath + ": " + status_text(s));

    kes::BlockSizeInfo bsi{};
    if ((s = dev_.block_size(job_.major, job_.minor, bsi)))
        return fail(Failure::Refused, s, "cannot read the geometry of " + name_ + ": " + status_text(s));
    if (bsi.blockSize == 0 || bsi.blockSize % 512)
        return fail(Failure::Refused, -EINVAL, name_ + " reports a block size of " + std::to_string(bsi.blockSize));
    geo_.major = job_.major;
    geo_.minor = job_.minor;
    geo_.block_size = bsi.blockSize;
    geo_.blocks = job_.fs_blocks ? job_.fs_blocks
                                 : static_cast<uint32_t>(uint64_t(bsi.partSizeKB) * 1024 / bsi.blockSize);
    r_.block_size = geo_.block_size;
    r_.fs_blocks = geo_.blocks;
    return std::nullopt;
}

std::optional<BackupResult> BackupRun::start()
{
    int s;
    if ((s = dev_.start_backup(job_.major, job_.minor, geo_.blocks, job_.max_cache_blocks)))
        return fail(Failure::Refused, s, "the module refused to start a backup of " + name_ + ": " + status_text(s));

    kes::AutoMapStateInfo am{};
    if ((s = dev_.automap_state(am)))
        return fail(Failure::ControlDevice, s, "cannot read the change tracking state: " + status_text(s));
    full_reason_ = reason_for_full(am);
    if (job_.no_tracking && (s = dev_.no_start_automap()))
        return fail(Failure::ControlDevice, s, "cannot switch change tracking off: " + status_text(s));
    // A full backup starts tracking afresh instead of presenting a key that cannot match.
    if (!full_reason_.empty() && (s = dev_.no_load_from_automap()))
        return fail(Failure::ControlDevice, s, "cannot ask for a full backup: " + status_text(s));
    return std::nullopt;
}

std::optional<BackupResult> BackupRun::take_snapshot(kes::BackupStateInfo& st)
{
    SessionKey key{};
    if (full_reason_.empty())
        key = job_.previous->key;
    for (int attempt = 0;; attempt++) {
        int s;
        if ((s = dev_.snapshot(key)))
            return fail(Failure::Freeze, s,
                        s == kes::KES_INVALID ? "the file system on " + name_ + " could not be frozen for the snapshot"
                                              : "the snapshot of " + name_ + " failed: " + status_text(s));
        if ((s = dev_.state(st)))
            return fail(Failure::ControlDevice, s, "cannot read the backup's state: " + status_text(s));
        if (st.state == kes::BACKUP_SNAPSHOT)
            return std::nullopt;
        if (st.state != kes::BACKUP_STARTED || attempt > 0)
            return fail(Failure::Freeze, static_cast<int>(st.state),
                        "the snapshot of " + name_ + " was not taken (state " + std::to_string(st.state) + ")");
        // The module kept the snapshot back: the key did not match after all.
        full_reason_ = "the session key did not match the device's change tracking at the snapshot";
        if ((s = dev_.no_load_from_automap()))
            return fail(Failure::ControlDevice, s, "cannot ask for a full backup: " + status_text(s));
    }
}

std::optional<BackupResult> BackupRun::read_changes(BlockBitmap& changed)
{
    kes::AutoMapStateInfo after{};
    int s;
    if ((s = dev_.automap_state(after)))
        return fail(Failure::ControlDevice, s, "cannot read the change tracking state: " + status_text(s));
    // A backup that switches tracking off hands out no key, even where the module still
    // reports the device tracked until the backup is closed.
    if (after.tracking == kes::AUTOMAP_TRACKING && !job_.no_tracking) {
        SessionKey k;
        std::copy(std::begin(after.sessionKey), std::end(after.sessionKey), k.begin());
        r_.key = k;
    }

    if (full_reason_.empty()) {
        s = dev_.get_automap(geo_.blocks, changed);
        if (s == kes::KES_INVALID)
            full_reason_ = "change tracking of the device was reset during the snapshot";
        else if (s)
            full_reason_ = "the map of changed blocks could not be read (" + status_text(s) + ")";
    }
    return std::nullopt;
}

std::optional<BackupResult> BackupRun::map_buffer(const kes::BackupStateInfo& st)
{
    max_run_ = std::min<uint32_t>(std::max<uint32_t>(job_.run_blocks, 1), st.bufferBytes / geo_.block_size);
    if (max_run_ == 0)
        return fail(Failure::ControlDevice, -EINVAL, "no room for a block in the read buffer");
    const uint32_t pages = (max_run_ * geo_.block_size + 4095) / 4096;
    long m = dev_.map_buffer(pages);
    if (m < 0)
        return fail(Failure::ControlDevice, static_cast<int>(m), "cannot map the read buffer: " + status_text(static_cast<int>(m)));
    return std::nullopt;
}

std::optional<BackupResult> BackupRun::plan_backup(BlockBitmap& changed, BackupPlan& plan)
{
    UsedBlocks used;
    if (job_.used_only) {
        used = find_used_blocks([this](uint32_t first, uint32_t count,
                                       uint8_t* out) { return read_into(first, count, out); },
                                geo_.block_size, geo_.blocks);
    } else {
        used.used = BlockBitmap(geo_.blocks, true);
        used.why_all = "every block was asked for";
    }
    r_.fs_type = used.fs_type;
    r_.all_blocks_reason = used.from_file_system ? "" : used.why_all;
    r_.metadata_blocks = used.blocks_read;
    if (auto failed = check_module_state())
        return failed;

    plan.geometry = geo_;
    plan.fs_type = used.from_file_system ? used.fs_type : "";
    plan.used = used.used;
    plan.incremental = full_reason_.empty();
    plan.full_reason = full_reason_;
    if (plan.incremental) {
        // The changed blocks the file system still uses, and the blocks the previous
        // backup could not read.
        plan.changed = BlockBitmap(geo_.blocks);
        for (uint32_t b : job_.previous->unreadable)
            if (b < geo_.blocks)
                changed.set(b);
        for (size_t i = 0; i < plan.changed.bytes().size(); i++)
            plan.changed.bytes()[i] = changed.bytes()[i] & plan.used.bytes()[i];
    } else {
        plan.changed = plan.used;
    }
    r_.incremental = plan.incremental;
    r_.full_reason = full_reason_;
    r_.used_blocks = plan.used.count();

    int s;
    if ((s = dev_.load_block_map(plan.changed)))
        return fail(Failure::ControlDevice, s, "cannot load the map of wanted blocks: " + status_text(s));
    r_.wanted_blocks = plan.changed.count();

    std::string e = sink_.begin(plan);
    if (!e.empty())
        return fail(Failure::Sink, -EIO, e);
    begun_ = true;
    return std::nullopt;
}

uint32_t BackupRun::run_length(const BlockBitmap& wanted_map, uint32_t b, uint32_t& wanted) const
{
    // A run of wanted blocks, joined to the next one across a gap of at most max_gap
    // unwanted blocks while the whole still fits one read. The unwanted blocks are read
    // from the disk as they are now and dropped: in the state the map of wanted blocks
    // puts the backup in, nothing is kept or copied for them, so reading them changes
    // nothing the wanted blocks depend on.
    uint32_t n = 1;
    wanted = 1;
    for (;;) {
        while (n < max_run_ && b + n < geo_.blocks && wanted_map.test(b + n)) {
            n++;
            wanted++;
        }
        uint32_t gap = 0;
        while (gap < job_.max_gap && n + gap < max_run_ && b + n + gap < geo_.blocks &&
               !wanted_map.test(b + n + gap))
            gap++;
        if (gap == 0 || n + gap >= max_run_ || b + n + gap >= geo_.blocks || !wanted_map.test(b + n + gap))
            return n;
        n += gap;
    }
}

std::optional<BackupResult> BackupRun::deliver(const BackupPlan& plan)
{
    // Filled only when a block has to be copied out of the buffer.
    std::vector<uint8_t> buf;
    std::string e;
    uint32_t read_since_check = 0;
    for (uint32_t b = 0; b < geo_.blocks;) {
        if (!plan.changed.test(b)) {
            b++;
            continue;
        }
        uint32_t wanted;
        const uint32_t n = run_length(plan.changed, b, wanted);
        if (int s = read_run(b, n, plan.changed, buf, e)) {
            if (auto failed = check_module_state())
                return failed;
            return fail(Failure::ControlDevice, s,
                        "the read of blocks " + std::to_string(b) + ".." + std::to_string(b + n - 1) +
                            " failed: " + status_text(s));
        }
        if (!e.empty())
            return fail(Failure::Sink, -EIO, e);
        r_.delivered_blocks += wanted;
        b += n;
        // A failure in the module is final, so the check after the loop covers every read;
        // the checks on the way only stop a failed backup early, and come once per buffer's
        // worth of blocks read rather than after every short read of a scattered incremental.
        read_since_check += n;
        if (read_since_check >= max_run_) {
            read_since_check = 0;
            if (auto failed = check_module_state())
                return failed;
        }
        if (progress_)
            progress_(r_.delivered_blocks, r_.wanted_blocks);
    }
    return std::nullopt;
}

std::optional<BackupResult> BackupRun::commit(std::chrono::steady_clock::time_point started,
                                              std::chrono::system_clock::time_point snapshot_time)
{
    if (int s = dev_.stats(r_.stats))
        return fail(Failure::ControlDevice, s, "cannot read the backup's statistics: " + status_text(s));
    if (auto failed = check_module_state())
        return failed;
    dev_.close();

    BackupFacts facts;
    facts.snapshot_time = snapshot_time;
    facts.time_to_freeze = span_of(r_.stats.timeToFreezeSec, r_.stats.timeToFreezeNsec);
    facts.time_frozen = span_of(r_.stats.timeFrozenSec, r_.stats.timeFrozenNsec);
    facts.duration = std::chrono::steady_clock::now() - started;
    facts.used_blocks = r_.used_blocks;
    facts.changed_blocks = r_.delivered_blocks;
    facts.metadata_blocks = r_.metadata_blocks;
    facts.stats = r_.stats;
    facts.next_key = r_.key;
    facts.unreadable = r_.unreadable;
    std::string e = sink_.commit(facts);
    if (!e.empty())
        return fail(Failure::Sink, -EIO, e);
    begun_ = false;
    r_.committed = true;
    if (!r_.unreadable.empty()) {
        r_.status = kes::KES_IO_ERROR;
        r_.failure = Failure::Unreadable;
        r_.error = std::to_string(r_.unreadable.size()) + " block" + (r_.unreadable.size() == 1 ? "" : "s") +
                   " of " + name_ + " could not be read (" + block_list(r_.unreadable) +
                   "); the backup is stored and marked as lacking them";
    }
    return std::nullopt;
}

// Hands every block to a function; nothing to begin, commit or abort.
class FnSink : public BlockSink {
public:
    explicit FnSink(const BlockFn& fn) : fn_(fn) {}
    std::string begin(const BackupPlan&) override { return ""; }
    std::string put(uint32_t block, std::span<const uint8_t> data) override
    {
        if (fn_)
            fn_(block, data.data(), static_cast<uint32_t>(data.size()));
        return "";
    }
    std::string commit(const BackupFacts&) override { return ""; }
    void abort(const std::string&) override {}

private:
    const BlockFn& fn_;
};

} // namespace

BackupResult back_up(Transport& t, const BackupJob& job, BlockSink& sink, const Progress& progress)
{
    BackupRun run(t, job, sink, progress);
    return run.run();
}

BackupResult run_backup(Transport& t, const BackupRequest& req, const BlockFn& fn, const Progress& progress)
{
    BackupJob job;
    job.major = req.major;
    job.minor = req.minor;
    job.fs_blocks = req.fs_blocks;
    job.max_cache_blocks = req.max_cache_blocks;
    if (req.previous_key)
        job.previous = PreviousBackup{*req.previous_key, {}, {}};
    job.full = req.full;
    job.no_tracking = req.no_tracking;
    job.used_only = false;
    job.run_blocks = req.run_blocks;
    job.max_gap = req.max_gap;
    FnSink sink(fn);
    return back_up(t, job, sink, progress);
}

} // namespace agent
