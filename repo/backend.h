// Where a repository's objects live: a flat store of named objects that are written whole,
// read whole or in part, listed by prefix and removed. Nothing above this interface assumes
// a file system: no rename, no file locks, no partial writes, so the same repository code
// runs on a local directory or on object storage.
//
// Names are relative, made of '/'-separated parts of letters, digits, '-', '_' and '.'
// (no part empty or starting with '.'): "locks/5f0c...", "data/ab/ab12...".
//
// Errors: every call throws repo::Error (Kind::NotFound for a missing object where the
// call says so, Kind::NoSpace for a full store, Kind::Io otherwise). Every call is safe
// from several threads at once.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repo/env.h"

namespace repo {

struct ObjectInfo {
    std::string name;   // the full name, e.g. "locks/5f0c..."
    uint64_t size = 0;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Where the store is, for messages: a directory, later a URL.
    virtual const std::string& location() const = 0;

    // Stores `data` as object `name`, replacing one of that name. A reader sees the old
    // object or the new one whole, never a part; once save() returns the object is durable.
    virtual void save(const std::string& name, std::string_view data) = 0;

    // save() of an object whose SHA-256 the caller has computed already: a store that sends
    // the digest along with the object (S3 signs it) takes it instead of hashing the bytes
    // again, and there a digest that is not the data's fails the save. Other stores ignore it.
    virtual void save_hashed(const std::string& name, std::string_view data, const std::array<uint8_t, 32>& sha256)
    {
        (void)sha256;
        save(name, data);
    }

    // The whole object. Error::NotFound when there is none.
    virtual std::string load(const std::string& name) = 0;

    // Up to `length` bytes of the object from `offset` (fewer only at its end).
    // Error::NotFound when there is none.
    virtual std::string load_range(const std::string& name, uint64_t offset, uint64_t length) = 0;

    // The object's size, or none when it does not exist.
    virtual std::optional<uint64_t> stat(const std::string& name) = 0;

    // Every object whose name starts with `prefix` + "/", in no particular order.
    virtual std::vector<ObjectInfo> list(const std::string& prefix) = 0;

    // Stores `data` as object `name` only when there is none of that name: Error::Exists
    // otherwise, and of two saves of one name at once, exactly one succeeds.
    virtual void save_new(const std::string& name, std::string_view data) = 0;

    // Removes the object; no error when it is already gone.
    virtual void remove(const std::string& name) = 0;

    // Objects (and directories) stored from now on are readable by their owner alone, where
    // the store knows owners (a local directory); object storage ignores it.
    virtual void set_private(bool on) { (void)on; }

    // Makes the store's place ready for a new repository. Error::Exists when it holds a
    // repository ("config") or any other object already.
    virtual void create() = 0;

    // Removes what saves under `prefix` + "/" that were cut short left behind (never listed,
    // never read), returning how many; only while nothing else saves there. Stores whose
    // saves leave nothing behind have nothing to do.
    virtual uint64_t remove_leftovers(const std::string& prefix)
    {
        (void)prefix;
        return 0;
    }
};

// Whether `name` is a valid object name (see above).
bool valid_object_name(std::string_view name);

// Objects as files under a directory of an Env: "a/b/c" is DIR/a/b/c. Saves write a
// temporary file beside the object, sync it, rename it into place and sync the directory;
// directories are made as needed. Temporary files are never listed; a directory is no object
// (stat() has none, load() says NotFound). Key files ("keys/...") are made 0600 in
// directories made 0700; with set_private(true) (an encrypted repository) every object and
// directory is. With a FaultEnv under it, every operation of the store can be failed or
// crashed in tests.
class LocalBackend : public Backend {
public:
    LocalBackend(Env& env, std::string dir);
    void set_private(bool on) override { private_ = on; }

    const std::string& location() const override { return dir_; }
    void save(const std::string& name, std::string_view data) override;
    void save_new(const std::string& name, std::string_view data) override;
    std::string load(const std::string& name) override;
    std::string load_range(const std::string& name, uint64_t offset, uint64_t length) override;
    std::optional<uint64_t> stat(const std::string& name) override;
    std::vector<ObjectInfo> list(const std::string& prefix) override;
    void remove(const std::string& name) override;
    void create() override;
    uint64_t remove_leftovers(const std::string& prefix) override;

private:
    std::string path(const std::string& name) const;
    // path(name), Error::NotFound when that is a directory.
    std::string object_path(const std::string& name);
    // Makes the directories above `name`, syncing each parent that gained one.
    void make_parents(const std::string& name);
    // save() or, `exclusive`, save_new().
    void store(const std::string& name, std::string_view data, bool exclusive);
    void list_into(const std::string& prefix, std::vector<ObjectInfo>& out, int depth);
    bool private_for(const std::string& name) const;

    Env& env_;
    std::string dir_;
    bool private_ = false;
};

// A store far away (S3): small reads of an object under `prefix` (objects that never change
// once stored, such as packs) are served from windows of it read
// whole, so that reading chunks one after another (a restore, a verify) costs one request
// per window rather than one per chunk. A window is fetched once however many threads want
// it at the same moment; when a thread reads from the window after the one it last used,
// the next window is fetched too, ahead of need. The last few windows are kept. Everything
// else goes straight to the store under it, and a save or remove drops that object's
// windows. In a forked child (which must not wait on a fetch the parent's threads began)
// reads go straight to the store.
class ReadAheadBackend : public Backend {
public:
    ReadAheadBackend(std::unique_ptr<Backend> inner, std::string prefix, uint64_t window = 4 << 20,
                     size_t windows = 12);

    const std::string& location() const override { return inner_->location(); }
    void save(const std::string& name, std::string_view data) override;
    void save_hashed(const std::string& name, std::string_view data, const std::array<uint8_t, 32>& sha256) override;
    void save_new(const std::string& name, std::string_view data) override;
    void set_private(bool on) override { inner_->set_private(on); }
    std::string load(const std::string& name) override { return inner_->load(name); }
    std::string load_range(const std::string& name, uint64_t offset, uint64_t length) override;
    std::optional<uint64_t> stat(const std::string& name) override { return inner_->stat(name); }
    std::vector<ObjectInfo> list(const std::string& prefix) override { return inner_->list(prefix); }
    void remove(const std::string& name) override;
    void create() override { inner_->create(); }
    uint64_t remove_leftovers(const std::string& prefix) override { return inner_->remove_leftovers(prefix); }

private:
    struct Window {
        std::string name;
        uint64_t start = 0;
        bool ready = false;
        bool failed = false;
        std::string data;  // up to window_ bytes from start (fewer at the object's end)
    };
    using WindowPtr = std::shared_ptr<Window>;

    // The window of `name` at `start`, fetched by this thread or (when `wait`) waited for
    // while another fetches it; none when its fetch failed (or, without `wait`, is not done).
    WindowPtr window(const std::string& name, uint64_t start, bool wait);
    WindowPtr find(const std::string& name, uint64_t start);  // needs mu_
    void drop(const std::string& name);

    std::unique_ptr<Backend> inner_;
    const std::string prefix_;  // with a trailing '/'

    const uint64_t window_;
    const size_t windows_;
    const int owner_;               // the process that made it
    std::mutex mu_;
    std::condition_variable done_;  // a window became ready or failed
    std::list<WindowPtr> cache_;    // newest first; guarded by mu_
};

} // namespace repo
