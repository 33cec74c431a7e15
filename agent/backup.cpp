#include "agent/backup.h"

#include <algorithm>
#include <vector>

namespace agent {

namespace {

constexpr uint32_t kStateSnapshot = 4;
constexpr uint32_t kStatusIoError = 12;
constexpr uint32_t kStateFailed = 8; // this and every state above it

BackupResult fail(BackupResult r, int status, std::string what)
{
    r.status = status ? status : -1;
    r.error = std::move(what) + " (status " + std::to_string(status) + ")";
    return r;
}

// What made the module give up a backup, by its error state.
std::string failure_cause(uint32_t state)
{
    switch (state) {
    case 8:
        return "the disk could not be read";
    case 10:
        return "the copy-on-write cache is full (raise the cache limit)";
    default:
        return "the backup failed in the module";
    }
}

// The backup failed in the module (an error state): what was delivered cannot be trusted.
BackupResult fail_in_module(BackupResult r, uint32_t state)
{
    r.final_state = state;
    r.status = static_cast<int>(state);
    r.error = failure_cause(state) + " (state " + std::to_string(state) + ")";
    return r;
}

} // namespace

BackupResult run_backup(Transport& t, const BackupRequest& req, const BlockSink& sink,
                        const Progress& progress)
{
    BackupResult r;
    ControlDevice dev(t);
    int s = dev.open();
    if (s)
        return fail(r, s, "cannot open the control device");

    kes::BlockSizeInfo geo{};
    if ((s = dev.block_size(req.major, req.minor, geo)))
        return fail(r, s, "cannot read the device's geometry");
    r.block_size = geo.blockSize;
    r.fs_blocks = req.fs_blocks ? req.fs_blocks
                                : static_cast<uint32_t>(uint64_t(geo.partSizeKB) * 1024 / geo.blockSize);
    if ((s = dev.start_backup(req.major, req.minor, r.fs_blocks, req.max_cache_blocks)))
        return fail(r, s, "cannot start the backup");
    if (req.no_tracking && (s = dev.no_start_automap()))
        return fail(r, s, "cannot switch change tracking off");
    if (req.full && (s = dev.no_load_from_automap()))
        return fail(r, s, "cannot ask for a full backup");

    SessionKey key{};
    if (req.previous_key)
        key = *req.previous_key;
    if ((s = dev.snapshot(key)))
        return fail(r, s, "snapshot failed");
    kes::BackupStateInfo st{};
    if ((s = dev.state(st)))
        return fail(r, s, "cannot read the backup's state");
    if (st.state != kStateSnapshot) {
        // The key did not match the device's automap: take a full backup instead.
        if ((s = dev.no_load_from_automap()) || (s = dev.snapshot(key)) || (s = dev.state(st)))
            return fail(r, s, "snapshot failed");
        if (st.state != kStateSnapshot)
            return fail(r, static_cast<int>(st.state), "snapshot not taken");
    }

    kes::AutoMapStateInfo am{};
    if ((s = dev.automap_state(am)))
        return fail(r, s, "cannot read the automap state");
    if (am.tracking == 1) {
        SessionKey k;
        std::copy(std::begin(am.sessionKey), std::end(am.sessionKey), k.begin());
        r.key = k;
    }

    BlockBitmap wanted(r.fs_blocks, true);
    if (req.previous_key && !req.full) {
        BlockBitmap changed;
        if (dev.get_automap(r.fs_blocks, changed) == 0) {
            wanted = std::move(changed);
            r.incremental = true;
        }
    }
    if ((s = dev.load_block_map(wanted)))
        return fail(r, s, "cannot load the map of wanted blocks");
    r.wanted_blocks = wanted.count();

    uint32_t per_page = 4096 / r.block_size;
    uint32_t max_run = std::min<uint32_t>(req.run_blocks, st.bufferBytes / r.block_size);
    if (max_run == 0)
        return fail(r, -22, "no room for a block in the read buffer");
    long m = dev.map_buffer((max_run + per_page - 1) / per_page);
    if (m < 0)
        return fail(r, static_cast<int>(m), "cannot map the read buffer");

    std::vector<uint8_t> block(r.block_size);
    for (uint32_t b = 0; b < r.fs_blocks;) {
        if (!wanted.test(b)) {
            b++;
            continue;
        }
        uint32_t n = 1;
        while (n < max_run && b + n < r.fs_blocks && wanted.test(b + n))
            n++;
        s = dev.read_blocks(b, n);
        if (s == static_cast<int>(kStatusIoError))
            r.unreadable_runs++;
        else if (s) {
            // A read is refused once copy-on-write has failed: say why.
            kes::BackupStateInfo now{};
            if (dev.state(now) == 0 && now.state >= kStateFailed)
                return fail_in_module(r, now.state);
            return fail(r, s, "read of blocks " + std::to_string(b) + ".." + std::to_string(b + n - 1) + " failed");
        }
        for (uint32_t i = 0; i < n; i++) {
            if (!dev.buffer_block(i, r.block_size, block.data()))
                return fail(r, -14, "cannot read the mapped buffer");
            if (sink)
                sink(b + i, block.data(), r.block_size);
        }
        r.delivered_blocks += n;
        b += n;
        if (progress)
            progress(r.delivered_blocks, r.wanted_blocks);
    }

    dev.stats(r.stats);
    if ((s = dev.state(st)))
        return fail(r, s, "cannot read the backup's state");
    r.final_state = st.state;
    dev.close();
    // An error state means copy-on-write could not keep some snapshot block.
    if (r.final_state >= kStateFailed)
        return fail_in_module(r, r.final_state);
    return r;
}

} // namespace agent
