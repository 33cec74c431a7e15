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

#include <cstdint>
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

    // The whole object. Error::NotFound when there is none.
    virtual std::string load(const std::string& name) = 0;

    // Up to `length` bytes of the object from `offset` (fewer only at its end).
    // Error::NotFound when there is none.
    virtual std::string load_range(const std::string& name, uint64_t offset, uint64_t length) = 0;

    // The object's size, or none when it does not exist.
    virtual std::optional<uint64_t> stat(const std::string& name) = 0;

    // Every object whose name starts with `prefix` + "/", in no particular order.
    virtual std::vector<ObjectInfo> list(const std::string& prefix) = 0;

    // Removes the object; no error when it is already gone.
    virtual void remove(const std::string& name) = 0;
};

// Whether `name` is a valid object name (see above).
bool valid_object_name(std::string_view name);

// Objects as files under a directory of an Env: "a/b/c" is DIR/a/b/c. Saves write a
// temporary file beside the object, sync it, rename it into place and sync the directory;
// directories are made as needed. Temporary files are never listed. With a FaultEnv under
// it, every operation of the store can be failed or crashed in tests. Key files ("keys/...")
// are made 0600 in directories made 0700; with set_private(true) (an encrypted repository)
// every object and directory is.
class LocalBackend : public Backend {
public:
    LocalBackend(Env& env, std::string dir);
    void set_private(bool on) { private_ = on; }

    const std::string& location() const override { return dir_; }
    void save(const std::string& name, std::string_view data) override;
    std::string load(const std::string& name) override;
    std::string load_range(const std::string& name, uint64_t offset, uint64_t length) override;
    std::optional<uint64_t> stat(const std::string& name) override;
    std::vector<ObjectInfo> list(const std::string& prefix) override;
    void remove(const std::string& name) override;

private:
    std::string path(const std::string& name) const;
    // Makes the directories above `name`, syncing each parent that gained one.
    void make_parents(const std::string& name);
    void list_into(const std::string& prefix, std::vector<ObjectInfo>& out, int depth);
    bool private_for(const std::string& name) const;

    Env& env_;
    std::string dir_;
    bool private_ = false;
};

} // namespace repo
