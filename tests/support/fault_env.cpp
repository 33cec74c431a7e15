#include "tests/support/fault_env.h"

#include <algorithm>
#include <cstring>

namespace repo {

struct FaultEnv::Node {
    bool dir = false;
    bool symlink = false;
    std::string data;    // current contents (or a symlink's target)
    std::string synced;  // contents as of the last sync
    uint32_t mode = 0644;
};

namespace {
[[noreturn]] void not_found(const char* op, const std::string& path)
{
    throw Error(Error::Kind::NotFound, std::string(op) + " failed (no such file or directory)", path);
}
} // namespace

class FaultWritable : public WritableFile {
public:
    FaultWritable(FaultEnv& env, std::shared_ptr<FaultEnv::Node> node, std::string path)
        : env_(env), node_(std::move(node)), path_(std::move(path))
    {
    }
    void write_at(uint64_t offset, const void* data, size_t n) override
    {
        std::lock_guard g(env_.mu_);
        env_.step_locked("write", path_);
        uint64_t end = offset + n;
        if (end > node_->data.size()) {
            uint64_t grow = end - node_->data.size();
            uint64_t used = 0;
            for (auto& [name, node] : env_.names_)
                used += node->data.size();
            if (used + grow > env_.capacity_)
                throw Error(Error::Kind::NoSpace, "write failed (no space left on device)", path_);
            node_->data.resize(end, '\0');
        }
        memcpy(node_->data.data() + offset, data, n);
    }
    void truncate(uint64_t size) override
    {
        std::lock_guard g(env_.mu_);
        env_.step_locked("truncate", path_);
        node_->data.resize(size, '\0'); // sparse: counts no capacity in a real file system
    }
    void sync() override
    {
        std::lock_guard g(env_.mu_);
        env_.step_locked("sync", path_);
        node_->synced = node_->data;
    }
    void close() override {}

private:
    FaultEnv& env_;
    std::shared_ptr<FaultEnv::Node> node_;
    std::string path_;
};

class FaultReadable : public ReadableFile {
public:
    FaultReadable(FaultEnv& env, std::shared_ptr<FaultEnv::Node> node, std::string path)
        : env_(env), node_(std::move(node)), path_(std::move(path))
    {
    }
    uint64_t size() override
    {
        std::lock_guard g(env_.mu_);
        return node_->data.size();
    }
    size_t read_at(uint64_t offset, void* data, size_t n) override
    {
        std::lock_guard g(env_.mu_);
        env_.step_locked("read", path_);
        if (offset >= node_->data.size())
            return 0;
        size_t got = std::min<uint64_t>(n, node_->data.size() - offset);
        memcpy(data, node_->data.data() + offset, got);
        return got;
    }

private:
    FaultEnv& env_;
    std::shared_ptr<FaultEnv::Node> node_;
    std::string path_;
};

class FaultLock : public FileLock {
public:
    FaultLock(FaultEnv& env, std::string path) : env_(env), path_(std::move(path)) {}
    ~FaultLock() override
    {
        std::lock_guard g(env_.mu_);
        env_.locks_.erase(path_);
    }

private:
    FaultEnv& env_;
    std::string path_;
};

FaultEnv::FaultEnv()
{
    auto root = std::make_shared<Node>();
    root->dir = true;
    names_["/"] = root;
    durable_["/"] = root;
}

FaultEnv::~FaultEnv() = default;

uint64_t FaultEnv::ops() const
{
    std::lock_guard g(mu_);
    return ops_;
}

void FaultEnv::reset_count()
{
    std::lock_guard g(mu_);
    ops_ = 0;
}

void FaultEnv::fail_at(uint64_t n, bool persistent)
{
    std::lock_guard g(mu_);
    fail_at_ = ops_ + n;
    fail_persistent_ = persistent;
    fired_ = false;
}

void FaultEnv::crash_at(uint64_t n)
{
    std::lock_guard g(mu_);
    crash_at_ = ops_ + n;
    fired_ = false;
}

void FaultEnv::set_capacity(uint64_t bytes)
{
    std::lock_guard g(mu_);
    capacity_ = bytes;
}

void FaultEnv::clear_faults()
{
    std::lock_guard g(mu_);
    fail_at_ = crash_at_ = 0;
    fail_persistent_ = false;
    capacity_ = UINT64_MAX;
}

bool FaultEnv::fault_fired() const
{
    std::lock_guard g(mu_);
    return fired_;
}

void FaultEnv::restart()
{
    std::lock_guard g(mu_);
    names_ = durable_;
    for (auto& [name, node] : names_)
        if (!node->dir && !node->symlink)
            node->data = node->synced;
    locks_.clear();
    crashed_ = false;
    fail_at_ = crash_at_ = 0;
    fail_persistent_ = false;
    capacity_ = UINT64_MAX;
}

uint64_t FaultEnv::used_bytes() const
{
    std::lock_guard g(mu_);
    uint64_t used = 0;
    for (auto& [name, node] : names_)
        used += node->data.size();
    return used;
}

void FaultEnv::step_locked(const char* op, const std::string& path)
{
    ops_++;
    if (crashed_)
        throw Error(Error::Kind::Crashed, std::string(op) + " after a crash", path);
    if (crash_at_ && ops_ == crash_at_) {
        crashed_ = true;
        fired_ = true;
        throw Error(Error::Kind::Crashed, std::string(op) + " crashed", path);
    }
    if (fail_at_ && (ops_ == fail_at_ || (fail_persistent_ && ops_ > fail_at_))) {
        fired_ = true;
        throw Error(Error::Kind::Io, std::string(op) + " failed (injected I/O error)", path);
    }
}

std::shared_ptr<FaultEnv::Node> FaultEnv::find_locked(const std::string& path, const char* op)
{
    auto it = names_.find(path);
    if (it == names_.end())
        not_found(op, path);
    return it->second;
}

void FaultEnv::require_parent_locked(const std::string& path, const char* op)
{
    auto it = names_.find(dir_of(path));
    if (it == names_.end() || !it->second->dir)
        not_found(op, path);
}

std::unique_ptr<WritableFile> FaultEnv::create(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("create", path);
    require_parent_locked(path, "create");
    auto it = names_.find(path);
    if (it != names_.end() && it->second->dir)
        throw Error(Error::Kind::Io, "create failed (is a directory)", path);
    auto node = std::make_shared<Node>();
    if (it != names_.end()) {
        node = it->second;
        node->data.clear();
    } else {
        names_[path] = node;
    }
    return std::make_unique<FaultWritable>(*this, node, path);
}

std::unique_ptr<ReadableFile> FaultEnv::open_read(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("open", path);
    auto node = find_locked(path, "open");
    if (node->dir)
        throw Error(Error::Kind::Io, "open failed (is a directory)", path);
    return std::make_unique<FaultReadable>(*this, node, path);
}

bool FaultEnv::exists(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("stat", path);
    return names_.count(path) != 0;
}

bool FaultEnv::is_dir(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("stat", path);
    auto it = names_.find(path);
    return it != names_.end() && it->second->dir;
}

void FaultEnv::rename(const std::string& from, const std::string& to)
{
    std::lock_guard g(mu_);
    step_locked("rename", from);
    auto node = find_locked(from, "rename");
    require_parent_locked(to, "rename");
    if (node->dir) {
        // Move the directory and everything below it.
        std::map<std::string, std::shared_ptr<Node>> moved;
        std::string prefix = from + "/";
        for (auto it = names_.begin(); it != names_.end();) {
            if (it->first == from || it->first.compare(0, prefix.size(), prefix) == 0) {
                moved[to + it->first.substr(from.size())] = it->second;
                it = names_.erase(it);
            } else {
                ++it;
            }
        }
        names_.insert(moved.begin(), moved.end());
        return;
    }
    names_.erase(from);
    names_[to] = node;
}

void FaultEnv::rename_new(const std::string& from, const std::string& to)
{
    std::lock_guard g(mu_);
    step_locked("rename", from);
    auto node = find_locked(from, "rename");
    require_parent_locked(to, "rename");
    if (node->dir)
        throw Error(Error::Kind::Invalid, "exclusive rename of a directory", from);
    if (names_.count(to))
        throw Error(Error::Kind::Exists, "rename failed (File exists)", to);
    names_.erase(from);
    names_[to] = node;
}

void FaultEnv::remove(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("remove", path);
    auto node = find_locked(path, "remove");
    if (node->dir) {
        std::string prefix = path + "/";
        auto next = names_.upper_bound(path);
        if (next != names_.end() && next->first.compare(0, prefix.size(), prefix) == 0)
            throw Error(Error::Kind::Exists, "remove failed (directory not empty)", path);
    }
    names_.erase(path);
}

std::vector<std::string> FaultEnv::list(const std::string& dir)
{
    std::lock_guard g(mu_);
    step_locked("list", dir);
    auto node = find_locked(dir, "list");
    if (!node->dir)
        throw Error(Error::Kind::Io, "list failed (not a directory)", dir);
    std::vector<std::string> out;
    std::string prefix = dir == "/" ? "/" : dir + "/";
    for (auto it = names_.upper_bound(prefix); it != names_.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0)
            break;
        std::string rest = it->first.substr(prefix.size());
        if (!rest.empty() && rest.find('/') == std::string::npos)
            out.push_back(rest);
    }
    return out;
}

void FaultEnv::mkdir(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("mkdir", path);
    auto it = names_.find(path);
    if (it != names_.end()) {
        if (it->second->dir)
            return;
        throw Error(Error::Kind::Exists, "mkdir failed (file exists)", path);
    }
    require_parent_locked(path, "mkdir");
    auto node = std::make_shared<Node>();
    node->dir = true;
    node->mode = 0755;
    names_[path] = node;
}

void FaultEnv::sync_dir(const std::string& dir)
{
    std::lock_guard g(mu_);
    step_locked("syncdir", dir);
    find_locked(dir, "syncdir");
    // The names directly in `dir` become durable as they are now.
    auto direct = [&](const std::string& p) { return p != "/" && dir_of(p) == dir; };
    for (auto it = durable_.begin(); it != durable_.end();) {
        if (direct(it->first) && !names_.count(it->first))
            it = durable_.erase(it);
        else
            ++it;
    }
    for (auto& [name, node] : names_)
        if (direct(name))
            durable_[name] = node;
}

void FaultEnv::symlink(const std::string& target, const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("symlink", path);
    require_parent_locked(path, "symlink");
    if (names_.count(path))
        throw Error(Error::Kind::Exists, "symlink failed (file exists)", path);
    auto node = std::make_shared<Node>();
    node->symlink = true;
    node->data = target;
    node->mode = 0777;
    names_[path] = node;
}

void FaultEnv::chmod(const std::string& path, uint32_t mode)
{
    std::lock_guard g(mu_);
    step_locked("chmod", path);
    find_locked(path, "chmod")->mode = mode & 07777;
}

std::unique_ptr<FileLock> FaultEnv::lock(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("lock", path);
    if (locks_.count(path))
        throw Error(Error::Kind::Locked, "the repository is locked by another writer (a backup, forget or gc)", path);
    require_parent_locked(path, "lock");
    if (!names_.count(path))
        names_[path] = std::make_shared<Node>();
    locks_.insert(path);
    return std::make_unique<FaultLock>(*this, path);
}

FileInfo FaultEnv::file_info(const std::string& path)
{
    std::lock_guard g(mu_);
    step_locked("stat", path);
    FileInfo info;
    auto it = names_.find(path);
    if (it == names_.end())
        return info;
    info.type = it->second->dir ? FileType::Directory : it->second->symlink ? FileType::Other : FileType::Regular;
    info.mode = it->second->mode & 07777;
    return info;
}

std::string FaultEnv::peek(const std::string& path)
{
    std::lock_guard g(mu_);
    return find_locked(path, "peek")->data;
}

void FaultEnv::poke(const std::string& path, const std::string& data)
{
    std::lock_guard g(mu_);
    auto node = find_locked(path, "poke");
    node->data = node->synced = data;
}

std::string FaultEnv::symlink_target(const std::string& path)
{
    std::lock_guard g(mu_);
    auto node = find_locked(path, "readlink");
    if (!node->symlink)
        throw Error(Error::Kind::Invalid, "not a symlink", path);
    return node->data;
}

uint32_t FaultEnv::mode_of(const std::string& path)
{
    std::lock_guard g(mu_);
    return find_locked(path, "stat")->mode;
}

} // namespace repo
