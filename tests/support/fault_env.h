// An in-memory Env for tests that can fail any operation, fill the disk, or crash and drop
// everything that was not synced.
//
// Durability follows a journalling file system's rules: a file's contents survive a crash as
// of its last sync(); a name (created, renamed, removed) survives as of the last sync_dir()
// of its directory. After crash_at() fires, every operation throws Error::Crashed until
// restart(), which brings back what was durable, as a reboot would.
#pragma once

#include <map>
#include <mutex>
#include <set>

#include "repo/env.h"

namespace repo {

class FaultEnv : public Env {
public:
    FaultEnv();
    ~FaultEnv() override;

    // Operations counted since construction (or the last reset_count()).
    uint64_t ops() const;
    void reset_count();
    // The `n`th operation from now (1: the next) throws Error::Io and does nothing; with
    // `persistent`, so does every later one until clear_faults().
    void fail_at(uint64_t n, bool persistent = false);
    // The `n`th operation from now crashes the machine: it and everything after throws
    // Error::Crashed.
    void crash_at(uint64_t n);
    // Writes that would take the file data beyond `bytes` in total throw Error::NoSpace.
    void set_capacity(uint64_t bytes);
    void clear_faults();
    // Whether a planned fault has fired.
    bool fault_fired() const;
    // After a crash: only what was durable remains; faults are cleared and locks released.
    void restart();
    // Total bytes of file data.
    uint64_t used_bytes() const;

    std::unique_ptr<WritableFile> create(const std::string& path) override;
    std::unique_ptr<ReadableFile> open_read(const std::string& path) override;
    bool exists(const std::string& path) override;
    bool is_dir(const std::string& path) override;
    void rename(const std::string& from, const std::string& to) override;
    void rename_new(const std::string& from, const std::string& to) override;
    void remove(const std::string& path) override;
    std::vector<std::string> list(const std::string& dir) override;
    void mkdir(const std::string& path) override;
    void sync_dir(const std::string& dir) override;
    void symlink(const std::string& target, const std::string& path) override;
    void chmod(const std::string& path, uint32_t mode) override;
    std::unique_ptr<FileLock> lock(const std::string& path) override;
    FileInfo file_info(const std::string& path) override;

    // For tests that damage files on purpose: the file's data, read and written directly
    // (durably), bypassing faults. Error::NotFound when there is no such file.
    std::string peek(const std::string& path);
    void poke(const std::string& path, const std::string& data);
    std::string symlink_target(const std::string& path);
    uint32_t mode_of(const std::string& path);

    struct Node;

private:
    friend class FaultWritable;
    friend class FaultReadable;
    friend class FaultLock;
    // Counts one operation and throws the fault planned for it. Needs mu_ held.
    void step_locked(const char* op, const std::string& path);
    std::shared_ptr<Node> find_locked(const std::string& path, const char* op);
    void require_parent_locked(const std::string& path, const char* op);

    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<Node>> names_;    // guarded by mu_
    std::map<std::string, std::shared_ptr<Node>> durable_;  // guarded by mu_
    std::set<std::string> locks_;                           // guarded by mu_
    uint64_t ops_ = 0;                                      // guarded by mu_
    uint64_t fail_at_ = 0, crash_at_ = 0;                   // guarded by mu_
    bool fail_persistent_ = false, crashed_ = false, fired_ = false;  // guarded by mu_
    uint64_t capacity_ = UINT64_MAX;                        // guarded by mu_
};

} // namespace repo
