// The local directory store.
#include "repo/backend.h"

#include <algorithm>

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

std::string LocalBackend::load(const std::string& name)
{
    return env_.read_file(path(name));
}

std::string LocalBackend::load_range(const std::string& name, uint64_t offset, uint64_t length)
{
    auto f = env_.open_read(path(name));
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
        return env_.open_read(path(name))->size();
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

} // namespace repo
