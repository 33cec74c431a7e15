// Writing a backup's image: the target's checks, the workers that read and write chunk
// positions, the temporary file and its removal on failure, on a signal or by the next run.
#include "repo/restore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

#include "repo/format.h"

namespace repo {

namespace {

constexpr const char* kRestoreTag = ".restore-";
constexpr size_t kSuffixDigits = 12;

// ".<name>.restore-<12 hex>" beside `path`: a name the next restore to `path` recognises.
std::string restore_temp_name(const std::string& path)
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[kSuffixDigits + 1];
    snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(rng() & 0xffffffffffffull));
    std::string name = ".";
    name += base_of(path);
    name += kRestoreTag;
    name += suffix;
    return join(dir_of(path), name);
}

bool is_restore_temp_of(const std::string& name, const std::string& target_base)
{
    std::string prefix = "." + target_base + kRestoreTag;
    if (name.size() != prefix.size() + kSuffixDigits || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Removes the temporary files earlier restores to `target` left when they were killed. A
// restore holds the lock of its temporary file while it runs, so one that is running is
// left alone.
void remove_leftovers(Env& env, const std::string& target)
{
    std::string dir = dir_of(target), base = base_of(target);
    bool removed = false;
    for (const std::string& name : env.list(dir)) {
        if (!is_restore_temp_of(name, base))
            continue;
        std::string path = join(dir, name);
        try {
            auto lock = env.lock(path);
            env.remove(path);
            removed = true;
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::Locked && e.kind() != Error::Kind::NotFound)
                throw;
        }
    }
    if (removed)
        env.sync_dir(dir);
}

bool inside(const std::string& path, const std::string& dir)
{
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           (dir.back() == '/' || path[dir.size()] == '/'));
}

// Reads every chunk position on a few worker threads and writes it at its offset. On a
// file (`sparse`), all-zero blocks are skipped and stay holes; on a device every byte of
// the image is written. Memory: one chunk per worker.
void write_positions(WritableFile& out, const ImageLayout& layout, const PositionReader& read, bool sparse,
                     unsigned threads, const ProgressFn& progress)
{
    const uint64_t bs = layout.block_size;
    std::atomic<uint64_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mu;
    std::condition_variable changed;
    uint64_t done = 0;          // guarded by mu
    unsigned finished = 0;      // guarded by mu
    std::exception_ptr error;   // guarded by mu

    auto work = [&] {
        try {
            std::vector<uint8_t> chunk, zeros;
            while (!failed.load(std::memory_order_relaxed)) {
                uint64_t pos = next.fetch_add(1);
                if (pos >= layout.positions)
                    break;
                bool has = read(pos, chunk);
                uint64_t first = pos * layout.chunk_blocks;
                uint64_t n = std::min<uint64_t>(layout.chunk_blocks, layout.block_count - first);
                if (!sparse) {
                    if (!has) {
                        zeros.resize(n * bs);
                        out.write_at(first * bs, zeros.data(), n * bs);
                    } else {
                        out.write_at(first * bs, chunk.data(), n * bs);
                    }
                } else if (has) {
                    // Runs of blocks with data; zero blocks stay holes.
                    for (uint64_t i = 0; i < n;) {
                        if (format::all_zero(std::span(chunk.data() + i * bs, bs))) {
                            i++;
                            continue;
                        }
                        uint64_t j = i + 1;
                        while (j < n && !format::all_zero(std::span(chunk.data() + j * bs, bs)))
                            j++;
                        out.write_at((first + i) * bs, chunk.data() + i * bs, (j - i) * bs);
                        i = j;
                    }
                }
                std::lock_guard g(mu);
                done++;
                changed.notify_one();
            }
        } catch (...) {
            failed = true;
            std::lock_guard g(mu);
            if (!error)
                error = std::current_exception();
        }
        std::lock_guard g(mu);
        finished++;
        changed.notify_one();
    };

    threads = static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(threads, layout.positions)));
    std::vector<std::thread> workers;
    try {
        for (unsigned i = 0; i < threads; i++)
            workers.emplace_back(work);
        std::unique_lock g(mu);
        uint64_t shown = UINT64_MAX;
        for (bool end = false; !end;) {
            changed.wait(g, [&] { return done != shown || finished == workers.size(); });
            shown = done;
            end = finished == workers.size();
            if (progress && !failed) {
                g.unlock();
                progress(shown, layout.positions);
                g.lock();
            }
        }
    } catch (...) {
        failed = true;
        for (auto& t : workers)
            t.join();
        throw;
    }
    for (auto& t : workers)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

unsigned worker_count(unsigned asked)
{
    if (asked)
        return asked;
    return std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
}

void write_device(Env& env, const std::string& target, const ImageLayout& layout, const PositionReader& read,
                  const RestoreOptions& options, const ProgressFn& progress)
{
    uint64_t size = 0;
    auto dev = env.open_device(target, size);
    uint64_t bytes = layout.block_count * layout.block_size;
    if (size < bytes)
        throw Error(Error::Kind::Invalid,
                    "the device holds " + std::to_string(size) + " bytes, less than the image's " +
                        std::to_string(bytes),
                    target);
    write_positions(*dev, layout, read, false, worker_count(options.threads), progress);
    dev->sync();
    dev->close();
}

} // namespace

void write_image(Env& env, const std::string& repo_dir, const std::string& target, const ImageLayout& layout,
                 const PositionReader& read, const RestoreOptions& options, const ProgressFn& progress)
{
    std::string real = env.real_path(target);
    if (!repo_dir.empty() && inside(real, env.real_path(repo_dir)))
        throw Error(Error::Kind::Invalid, "the restore target is inside the repository", target);
    FileInfo info = env.file_info(target);
    switch (info.type) {
    case FileType::Directory:
        throw Error(Error::Kind::Exists, "the restore target is a directory", target);
    case FileType::Other:
        throw Error(Error::Kind::Invalid, "the restore target is neither a file nor a block device", target);
    case FileType::BlockDevice:
        if (!options.overwrite)
            throw Error(Error::Kind::Exists, "the restore target is a block device; writing onto it needs overwrite",
                        target);
        write_device(env, target, layout, read, options, progress);
        return;
    case FileType::Regular:
        if (!options.overwrite)
            throw Error(Error::Kind::Exists, "restore target exists", target);
        break;
    case FileType::Missing:
        if (env.exists(target))
            throw Error(Error::Kind::Exists, "restore target exists (a symbolic link to nothing)", target);
        if (!env.is_dir(dir_of(target)))
            throw Error(Error::Kind::NotFound, "the restore target's directory does not exist", target);
        break;
    }
    // An existing file is replaced where it really is, a symbolic link to it staying.
    const std::string final_path = info.type == FileType::Regular ? real : target;
    remove_leftovers(env, final_path);
    std::string tmp = restore_temp_name(final_path);
    // Held until the file has its final name or is gone: the next run's sweep skips it.
    auto lock = env.lock(tmp);
    SignalCleanup on_signal(tmp);
    try {
        auto f = env.create(tmp);
        write_positions(*f, layout, read, true, worker_count(options.threads), progress);
        f->truncate(layout.block_count * layout.block_size);
        f->sync();
        f->close();
        if (info.type == FileType::Regular)
            env.chmod(tmp, info.mode);
        else if (env.exists(final_path))
            throw Error(Error::Kind::Exists, "restore target appeared while restoring", target);
        env.rename(tmp, final_path);
    } catch (...) {
        try {
            env.remove(tmp);
        } catch (...) {
        }
        throw;
    }
    env.sync_dir(dir_of(final_path));
}

// ---------------------------------------------------------------------------------------
// Temporary files removed on a fatal signal

namespace {

constexpr int kSlots = 8;

struct Slot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a path
    char path[4096];
};

Slot g_slots[kSlots];

// Only async-signal-safe calls: unlink, and raise to die of the signal once the handler
// (installed with SA_RESETHAND) returns.
extern "C" void remove_temp_files_and_die(int sig)
{
    int saved = errno;
    for (Slot& s : g_slots)
        if (s.state.load(std::memory_order_acquire) == 2)
            unlink(s.path);
    errno = saved;
    raise(sig);
}

} // namespace

void remove_temp_files_on_signal()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue; // started with the signal ignored (nohup, a background job): keep it so
        struct sigaction sa {};
        sa.sa_handler = remove_temp_files_and_die;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

SignalCleanup::SignalCleanup(const std::string& path) : slot_(-1)
{
    if (path.size() >= sizeof g_slots[0].path)
        return;
    for (int i = 0; i < kSlots; i++) {
        int free_slot = 0;
        if (g_slots[i].state.compare_exchange_strong(free_slot, 1)) {
            memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].state.store(2, std::memory_order_release);
            slot_ = i;
            return;
        }
    }
}

SignalCleanup::~SignalCleanup()
{
    if (slot_ >= 0)
        g_slots[slot_].state.store(0, std::memory_order_release);
}

} // namespace repo
