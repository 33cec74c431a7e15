// The repository's locks: one small object per holder under "locks/", so that any number
// of backups, restores and verifies share the repository while gc, forget and repair take
// it alone. They work on any Backend (no file locks, no rename), and they cannot be lost
// silently: a holder refreshes its object now and then and finds out when it was removed
// (by hand, by a cleanup job) or when a taker judged it stale, so the work that relied on
// it is checked again before it counts.
//
// A lock object is JSON: {"format": "kestrel-lock", "version": 1, "exclusive": bool,
// "operation": "backup", "host": ..., "pid": ..., "user": ..., "created": seconds,
// "refreshed": seconds}. It is stale, and ignored, when it was not refreshed for
// LockOptions::stale_after, or at once when its host is this host and its process is gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "repo/backend.h"

namespace repo {

enum class LockMode { Shared, Exclusive };

struct LockOptions {
    // How long to wait for a conflicting holder to go; zero fails at once.
    std::chrono::milliseconds wait{0};
    // How often a holder rewrites its object, and how old an object may get before others
    // take it for the leftover of a holder that is gone.
    std::chrono::seconds refresh_every{5 * 60};
    std::chrono::seconds stale_after{30 * 60};
    // How often a waiting taker looks again.
    std::chrono::milliseconds poll{500};
    // Whether a holder refreshes on a thread of its own (tests refresh by hand).
    bool refresh_thread = true;
    // Who is asking and what time it is; tests pose as other hosts and move the clock.
    std::string host;                     // empty: this machine's name
    int64_t pid = 0;                      // 0: this process
    std::function<int64_t()> now;         // empty: the system clock (seconds since the epoch)
    // Whether a process of this host is alive; empty: asks the kernel.
    std::function<bool(int64_t pid)> alive;
};

struct LockInfo {
    std::string name;          // the object, "locks/<id>"
    bool exclusive = false;
    std::string operation;     // "backup", "restore", "verify", "gc", ...
    std::string host;
    int64_t pid = 0;
    std::string user;
    int64_t created = 0;
    int64_t refreshed = 0;
    bool readable = true;      // false: the object could not be decoded (then it counts as exclusive)
};

// Every lock object in the store, readable or not (vanished ones are left out).
std::vector<LockInfo> list_locks(Backend& store);

// Whether `l` is the leftover of a holder that is gone.
bool is_stale(const LockInfo& l, const LockOptions& opt);

// "gc (pid 4711 on host web3, user root) since 2026-12-09 00:41:07 UTC"
std::string describe(const LockInfo& l);

// A lock held until destroyed (or release()).
class RepoLock {
public:
    // Takes the lock for `operation`, waiting up to opt.wait for conflicting holders.
    // Error::Locked naming a holder when it could not. An exclusive taker removes the stale
    // objects it meets.
    static std::unique_ptr<RepoLock> acquire(Backend& store, LockMode mode, const std::string& operation,
                                             const LockOptions& opt);
    ~RepoLock();
    RepoLock(const RepoLock&) = delete;
    RepoLock& operator=(const RepoLock&) = delete;

    // Rewrites the object with the current time. Finds the lock lost when its object was
    // gone, or when a shared holder sees a live exclusive holder beside it (one that took
    // the repository while the object was missing).
    void refresh();

    // Refreshes, then says whether the lock has held without a gap since it was taken.
    // Once false, stays false: whatever relied on it must be checked again.
    bool intact();

    // The quick check between steps of long exclusive work: whether the object is still
    // there (one stat, no rewrite). Once false, stays false.
    bool still_held();

    // Removes the object (also done by the destructor, which never throws).
    void release();

    LockMode mode() const { return info_.exclusive ? LockMode::Exclusive : LockMode::Shared; }
    const LockInfo& info() const { return info_; }
    const LockOptions& options() const { return opt_; }

private:
    RepoLock(Backend& store, LockInfo info, LockOptions opt);
    void write();
    void refresher();

    Backend& store_;
    LockOptions opt_;
    std::mutex mu_;
    LockInfo info_;            // refreshed guarded by mu_
    bool lost_ = false;        // guarded by mu_
    bool released_ = false;    // guarded by mu_
    bool started_ = false;     // the refresher runs; guarded by mu_
    std::condition_variable stop_;
    std::condition_variable parked_;  // started_ set
    std::thread thread_;
};

// Removes stale lock objects (with `all`, every lock object: only when the caller knows no
// kestrel uses the repository). Returns the names removed.
std::vector<std::string> remove_locks(Backend& store, const LockOptions& opt, bool all);

} // namespace repo
