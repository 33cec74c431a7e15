// The local directory store.
#include "repo/backend.h"

#include <algorithm>

#include <unistd.h>

namespace repo {

bool valid_object_name(std::string_view name)
{
    if (name.empty() || name.size() > 512)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos)
            end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part.empty() || part[0] == '.')
            return false;
        for (char c : part)
            if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
                return false;
        start = end + 1;
    }
    return true;
}

namespace {

void check_name(const std::string& name, const std::string& where)
{
    if (!valid_object_name(name))
        throw Error(Error::Kind::Invalid, "not a valid object name: \"" + name + "\"", where);
}

} // namespace

LocalBackend::LocalBackend(Env& env, std::string dir) : env_(env), dir_(std::move(dir)) {}

std::string LocalBackend::path(const std::string& name) const
{
    check_name(name, dir_);
    return join(dir_, name);
}

bool LocalBackend::private_for(const std::string& name) const
{
    return private_ || name.starts_with("keys/");
}

void LocalBackend::make_parents(const std::string& name)
{
    // Each directory on the way down, made when missing and its parent synced so the new
    // name survives a crash before the object's own directory sync.
    std::string parent = dir_;
    size_t start = 0;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', start)) {
        std::string d = join(parent, name.substr(start, slash - start));
        if (!env_.is_dir(d)) {
            env_.mkdir(d);
            if (private_for(name))
                env_.chmod(d, 0700);
            env_.sync_dir(parent);
        }
        parent = d;
        start = slash + 1;
    }
}

void LocalBackend::save(const std::string& name, std::string_view data)
{
    store(name, data, false);
}

void LocalBackend::save_new(const std::string& name, std::string_view data)
{
    store(name, data, true);
}

void LocalBackend::store(const std::string& name, std::string_view data, bool exclusive)
{
    std::string p = path(name);
    make_parents(name);
    std::string tmp = temp_name(p);
    try {
        auto f = env_.create(tmp);
        if (private_for(name))
            env_.chmod(tmp, 0600);
        f->append(data.data(), data.size());
        f->sync();
        f->close();
        if (exclusive)
            env_.rename_new(tmp, p);
        else
            env_.rename(tmp, p);
    } catch (...) {
        try {
            env_.remove(tmp);
        } catch (...) {
        }
        throw;
    }
    env_.sync_dir(dir_of(p));
}

std::string LocalBackend::object_path(const std::string& name)
{
    std::string p = path(name);
    if (env_.is_dir(p))
        throw Error(Error::Kind::NotFound, "a directory, not an object", p);
    return p;
}

std::string LocalBackend::load(const std::string& name)
{
    return env_.read_file(object_path(name));
}

std::string LocalBackend::load_range(const std::string& name, uint64_t offset, uint64_t length)
{
    auto f = env_.open_read(object_path(name));
    uint64_t size = f->size();
    if (offset >= size)
        return {};
    std::string out(std::min<uint64_t>(length, size - offset), '\0');
    out.resize(f->read_at(offset, out.data(), out.size()));
    return out;
}

std::optional<uint64_t> LocalBackend::stat(const std::string& name)
{
    try {
        return env_.open_read(object_path(name))->size();
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound)
            return std::nullopt;
        throw;
    }
}

void LocalBackend::list_into(const std::string& prefix, std::vector<ObjectInfo>& out, int depth)
{
    std::vector<std::string> names;
    try {
        names = env_.list(join(dir_, prefix));
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound)
            return; // nothing stored under the prefix yet
        throw;
    }
    for (const std::string& n : names) {
        if (!valid_object_name(n))
            continue; // temporary files and anything that is not ours
        std::string name = prefix + "/" + n;
        std::string p = join(dir_, name);
        if (env_.is_dir(p)) {
            if (depth < 4)
                list_into(name, out, depth + 1);
            continue;
        }
        try {
            out.push_back({name, env_.open_read(p)->size()});
        } catch (const Error& e) {
            if (e.kind() != Error::Kind::NotFound)
                throw; // removed between the listing and now: not there any more
        }
    }
}

std::vector<ObjectInfo> LocalBackend::list(const std::string& prefix)
{
    check_name(prefix, dir_);
    std::vector<ObjectInfo> out;
    list_into(prefix, out, 0);
    return out;
}

void LocalBackend::remove(const std::string& name)
{
    std::string p = path(name);
    try {
        env_.remove(p);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::NotFound)
            throw;
        return;
    }
    env_.sync_dir(dir_of(p));
}

void LocalBackend::create()
{
    if (env_.exists(dir_)) {
        if (!env_.is_dir(dir_))
            throw Error(Error::Kind::Exists, "cannot create a repository: a file is in the way", dir_);
        if (env_.exists(join(dir_, "config")))
            throw Error(Error::Kind::Exists, "a repository exists already", dir_);
        if (!env_.list(dir_).empty())
            throw Error(Error::Kind::Exists, "cannot create a repository in a directory that is not empty", dir_);
        if (private_)
            env_.chmod(dir_, 0700);
        return;
    }
    env_.mkdir(dir_);
    if (private_)
        env_.chmod(dir_, 0700);
    env_.sync_dir(dir_of(dir_));
}

uint64_t LocalBackend::remove_leftovers(const std::string& prefix)
{
    std::string dir = path(prefix);
    std::vector<std::string> names;
    try {
        names = env_.list(dir);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::NotFound)
            return 0;
        throw;
    }
    uint64_t removed = 0;
    for (const std::string& n : names) {
        // The temporary names save() writes under (see temp_name()).
        if (n.empty() || n[0] != '.' || n.find(".tmp-") == std::string::npos || env_.is_dir(join(dir, n)))
            continue;
        env_.remove(join(dir, n));
        removed++;
    }
    if (removed)
        env_.sync_dir(dir);
    return removed;
}

// ---- read-ahead windows over a store far away ----

ReadAheadBackend::ReadAheadBackend(std::unique_ptr<Backend> inner, std::string prefix, uint64_t window, size_t windows)
    : inner_(std::move(inner)), prefix_(std::move(prefix) + "/"), window_(window), windows_(std::max<size_t>(windows, 2)),
      owner_(getpid())
{
}

ReadAheadBackend::WindowPtr ReadAheadBackend::find(const std::string& name, uint64_t start)
{
    for (const WindowPtr& w : cache_)
        if (w->start == start && w->name == name)
            return w;
    return nullptr;
}

ReadAheadBackend::WindowPtr ReadAheadBackend::window(const std::string& name, uint64_t start, bool wait)
{
    std::unique_lock lock(mu_);
    if (WindowPtr w = find(name, start)) {
        if (!wait && !w->ready)
            return nullptr;
        done_.wait(lock, [&] { return w->ready || w->failed; });
        return w->ready ? w : nullptr;
    }
    auto w = std::make_shared<Window>();
    w->name = name;
    w->start = start;
    cache_.push_front(w);
    // The oldest finished windows go; ones being fetched stay until they are done.
    for (auto it = cache_.end(); cache_.size() > windows_ && it != cache_.begin();) {
        --it;
        if ((*it)->ready)
            it = cache_.erase(it);
    }
    lock.unlock();
    std::string data;
    bool ok = true;
    try {
        data = inner_->load_range(name, start, window_);
    } catch (...) {
        ok = false;  // not kept: the reader asks the store itself and gets its error
    }
    lock.lock();
    w->data = std::move(data);
    w->ready = ok;
    w->failed = !ok;
    if (!ok)
        cache_.remove(w);
    done_.notify_all();
    return ok ? w : nullptr;
}

std::string ReadAheadBackend::load_range(const std::string& name, uint64_t offset, uint64_t length)
{
    const uint64_t start = offset / window_ * window_;
    if (getpid() != owner_ || name.compare(0, prefix_.size(), prefix_) != 0 || length == 0 ||
        length > window_ / 2 || offset + length > start + window_)
        return inner_->load_range(name, offset, length);
    WindowPtr w = window(name, start, true);
    if (!w)
        return inner_->load_range(name, offset, length);
    std::string out = offset - start >= w->data.size() ? std::string() : w->data.substr(offset - start, length);
    // Reading on from the window before: the next one is fetched now, before it is needed.
    if (w->data.size() == window_ && start >= window_) {
        bool ahead;
        {
            std::lock_guard lock(mu_);
            ahead = find(name, start - window_) && !find(name, start + window_);
        }
        if (ahead)
            window(name, start + window_, false);
    }
    return out;
}

void ReadAheadBackend::drop(const std::string& name)
{
    std::lock_guard lock(mu_);
    cache_.remove_if([&](const WindowPtr& w) { return w->name == name && (w->ready || w->failed); });
}

void ReadAheadBackend::save(const std::string& name, std::string_view data)
{
    inner_->save(name, data);
    drop(name);
}

void ReadAheadBackend::save_hashed(const std::string& name, std::string_view data,
                                   const std::array<uint8_t, 32>& sha256)
{
    inner_->save_hashed(name, data, sha256);
    drop(name);
}

void ReadAheadBackend::save_new(const std::string& name, std::string_view data)
{
    inner_->save_new(name, data);
    drop(name);
}

void ReadAheadBackend::remove(const std::string& name)
{
    inner_->remove(name);
    drop(name);
}

} // namespace repo
