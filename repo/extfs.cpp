// libext2fs over a backup: the file system read through a device whose reads come from the
// backup's blocks, so that directories can be listed and files extracted without restoring
// the image.
#include "repo/extfs.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "repo/ext_device.h"

namespace repo {

namespace {

// What the device reads from. The first failure of a read is kept, so that the caller gets
// the repository's error (a damaged chunk, naming the backup) rather than libext2fs's code
// for a short read.
struct Source {
    Repository::BlockReader* backup = nullptr;
    std::unique_ptr<Error> failure;
};

// Reads `bytes` bytes at byte `offset` of the backed-up device.
errcode_t read_bytes(Source& s, uint64_t offset, uint64_t bytes, uint8_t* out)
{
    const Manifest& m = s.backup->manifest();
    uint64_t bs = m.source.block_size, device = m.source.block_count * bs;
    if (offset > device || bytes > device - offset)
        return EXT2_ET_SHORT_READ;
    try {
        uint64_t first = offset / bs, last = (offset + bytes + bs - 1) / bs;
        if (offset % bs == 0 && bytes % bs == 0) {
            s.backup->read(first, last - first, out);
        } else {
            std::vector<uint8_t> buf((last - first) * bs);
            s.backup->read(first, last - first, buf.data());
            memcpy(out, buf.data() + offset % bs, bytes);
        }
        return 0;
    } catch (const Error& e) {
        if (!s.failure)
            s.failure = std::make_unique<Error>(e);
        return EXT2_ET_SHORT_READ;
    }
}

// An open file system over a backup; closes it when done.
class Fs {
public:
    explicit Fs(Repository::BlockReader& backup)
        : device_([this](uint64_t offset, uint64_t bytes, uint8_t* out) {
              return read_bytes(source_, offset, bytes, out);
          })
    {
        source_.backup = &backup;
        errcode_t err = device_.open(&fs_);
        if (err) {
            fs_ = nullptr;
            rethrow_failure();
            throw Error(Error::Kind::Invalid,
                        "backup " + backup.manifest().id + " holds no ext2/3/4 file system that can be read (" +
                            error_message(err) + ")");
        }
    }
    ~Fs()
    {
        if (fs_)
            ext2fs_close_free(&fs_);
    }
    Fs(const Fs&) = delete;
    Fs& operator=(const Fs&) = delete;

    ext2_filsys get() { return fs_; }

    // Throws the repository's error of a failed read if there was one, else one for `err`.
    void check(errcode_t err, const std::string& what, const std::string& path)
    {
        if (!err)
            return;
        rethrow_failure();
        throw Error(Error::Kind::Io, what + " failed (" + error_message(err) + ")", path);
    }

    void rethrow_failure()
    {
        if (source_.failure)
            throw Error(*source_.failure);
    }

    static std::string error_message(errcode_t err)
    {
        const char* m = error_message_or_null(err);
        return m ? m : "error " + std::to_string(err);
    }

private:
    static const char* error_message_or_null(errcode_t err)
    {
        if (err == EXT2_ET_BAD_MAGIC)
            return "no ext2/3/4 super block";
        if (err == EXT2_ET_SHORT_READ)
            return "short read";
        if (err == EXT2_ET_FILE_NOT_FOUND)
            return "not found";
        return nullptr;
    }

    Source source_;
    extdev::ExtDevice device_;
    ext2_filsys fs_ = nullptr;
};

struct Node {
    ext2_ino_t ino = 0;
    struct ext2_inode_large inode;
};

Node read_node(Fs& fs, ext2_ino_t ino, const std::string& path)
{
    Node n;
    n.ino = ino;
    memset(&n.inode, 0, sizeof n.inode);
    fs.check(ext2fs_read_inode_full(fs.get(), ino, reinterpret_cast<ext2_inode*>(&n.inode), sizeof n.inode),
             "reading the inode", path);
    return n;
}

Node lookup(Fs& fs, const std::string& path)
{
    if (path.empty() || path[0] != '/')
        throw Error(Error::Kind::Invalid, "a path in the backup must start with /", path);
    ext2_ino_t ino = EXT2_ROOT_INO;
    if (path != "/") {
        errcode_t err = ext2fs_namei(fs.get(), EXT2_ROOT_INO, EXT2_ROOT_INO, path.c_str() + 1, &ino);
        if (err == EXT2_ET_FILE_NOT_FOUND || err == EXT2_ET_NO_DIRECTORY)
            throw Error(Error::Kind::NotFound, "no such file or directory in the backup", path);
        fs.check(err, "looking up the path", path);
    }
    return read_node(fs, ino, path);
}

char type_of(uint16_t mode)
{
    if (LINUX_S_ISREG(mode))
        return 'f';
    if (LINUX_S_ISDIR(mode))
        return 'd';
    if (LINUX_S_ISLNK(mode))
        return 'l';
    if (LINUX_S_ISCHR(mode))
        return 'c';
    if (LINUX_S_ISBLK(mode))
        return 'b';
    if (LINUX_S_ISFIFO(mode))
        return 'p';
    if (LINUX_S_ISSOCK(mode))
        return 's';
    return '?';
}

// Reads up to `size` bytes of file `ino` from `offset`, calling `sink` with each piece.
template <typename Sink> void read_file(Fs& fs, const Node& n, const std::string& path, Sink&& sink)
{
    ext2_file_t file;
    fs.check(ext2fs_file_open2(fs.get(), n.ino, reinterpret_cast<ext2_inode*>(const_cast<ext2_inode_large*>(&n.inode)),
                               0, &file),
             "opening the file", path);
    std::vector<char> buf(1 << 16);
    uint64_t offset = 0;
    errcode_t err = 0;
    for (;;) {
        unsigned int got = 0;
        err = ext2fs_file_read(file, buf.data(), static_cast<unsigned>(buf.size()), &got);
        if (err || got == 0)
            break;
        try {
            sink(offset, buf.data(), got);
        } catch (...) {
            ext2fs_file_close(file);
            throw;
        }
        offset += got;
    }
    ext2fs_file_close(file);
    fs.check(err, "reading the file", path);
}

std::string link_target(Fs& fs, const Node& n, const std::string& path)
{
    uint64_t size = EXT2_I_SIZE(&n.inode);
    if (size > 65536)
        throw Error(Error::Kind::Damaged, "symlink target too long", path);
    if (ext2fs_is_fast_symlink(reinterpret_cast<ext2_inode*>(const_cast<ext2_inode_large*>(&n.inode))))
        return std::string(reinterpret_cast<const char*>(n.inode.i_block), strnlen(reinterpret_cast<const char*>(n.inode.i_block), std::min<uint64_t>(size, sizeof n.inode.i_block)));
    std::string target;
    read_file(fs, n, path, [&](uint64_t, const char* data, size_t got) { target.append(data, got); });
    target.resize(std::min<uint64_t>(target.size(), size));
    return target;
}

FsEntry entry_of(Fs& fs, const Node& n, const std::string& name, const std::string& path)
{
    FsEntry e;
    e.name = name;
    e.mode = n.inode.i_mode;
    e.type = type_of(n.inode.i_mode);
    e.size = EXT2_I_SIZE(&n.inode);
    e.mtime = n.inode.i_mtime;
    e.uid = inode_uid(n.inode);
    e.gid = inode_gid(n.inode);
    if (e.type == 'l')
        e.link_target = link_target(fs, n, path);
    return e;
}

// The entries of a directory inode (no "." and ".."), as (name, inode number).
std::vector<std::pair<std::string, ext2_ino_t>> dir_entries(Fs& fs, ext2_ino_t dir, const std::string& path)
{
    std::vector<std::pair<std::string, ext2_ino_t>> out;
    auto cb = [](struct ext2_dir_entry* d, int, int, char*, void* priv) -> int {
        auto* v = static_cast<std::vector<std::pair<std::string, ext2_ino_t>>*>(priv);
        std::string name(d->name, ext2fs_dirent_name_len(d));
        if (d->inode && name != "." && name != "..")
            v->emplace_back(name, d->inode);
        return 0;
    };
    fs.check(ext2fs_dir_iterate(fs.get(), dir, 0, nullptr, cb, &out), "reading the directory", path);
    std::sort(out.begin(), out.end());
    return out;
}

std::string child(const std::string& dir, const std::string& name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

void remove_tree(Env& env, const std::string& path)
{
    try {
        if (env.is_dir(path))
            for (const std::string& name : env.list(path))
                remove_tree(env, join(path, name));
        env.remove(path);
    } catch (const Error&) {
    }
}

struct Extractor {
    Fs& fs;
    Env& env;
    const ProgressFn& progress;
    uint64_t total;
    uint64_t written = 0;

    void node(const Node& n, const std::string& from, const std::string& to)
    {
        uint16_t mode = n.inode.i_mode;
        if (LINUX_S_ISDIR(mode)) {
            env.mkdir(to);
            for (auto& [name, ino] : dir_entries(fs, n.ino, from))
                node(read_node(fs, ino, child(from, name)), child(from, name), join(to, name));
            env.chmod(to, mode & 07777);
        } else if (LINUX_S_ISREG(mode)) {
            auto f = env.create(to);
            read_file(fs, n, from, [&](uint64_t offset, const char* data, size_t got) {
                f->write_at(offset, data, got);
                written += got;
                if (progress)
                    progress(written, total);
            });
            f->truncate(EXT2_I_SIZE(&n.inode));
            f->sync();
            f->close();
            env.chmod(to, mode & 07777);
        } else if (LINUX_S_ISLNK(mode)) {
            env.symlink(link_target(fs, n, from), to);
        }
        // Devices, fifos and sockets hold no data: they are left out.
    }
};

} // namespace

std::vector<FsEntry> fs_list(Repository::BlockReader& backup, const std::string& path)
{
    Fs fs(backup);
    Node n = lookup(fs, path);
    std::vector<FsEntry> out;
    if (!LINUX_S_ISDIR(n.inode.i_mode)) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        out.push_back(entry_of(fs, n, name, path));
        return out;
    }
    for (auto& [name, ino] : dir_entries(fs, n.ino, path))
        out.push_back(entry_of(fs, read_node(fs, ino, child(path, name)), name, child(path, name)));
    return out;
}

uint64_t fs_extract(Repository::BlockReader& backup, Env& env, const std::string& path,
                    const std::string& to_dir, const ProgressFn& progress)
{
    Fs fs(backup);
    Node n = lookup(fs, path);
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    std::string name = trimmed == "/" ? "root" : base_of(trimmed);
    if (!env.is_dir(to_dir))
        throw Error(Error::Kind::NotFound, "extract target is not a directory", to_dir);
    std::string target = join(to_dir, name);
    if (env.exists(target))
        throw Error(Error::Kind::Exists, "extract target exists", target);
    // The bytes to write, for the progress figure: the used blocks of the file system.
    uint64_t total = (ext2fs_blocks_count(fs.get()->super) - ext2fs_free_blocks_count(fs.get()->super)) *
                     uint64_t(fs.get()->blocksize);
    std::string tmp = temp_name(target);
    Extractor x{fs, env, progress, total};
    try {
        x.node(n, trimmed, tmp);
        if (env.exists(target))
            throw Error(Error::Kind::Exists, "extract target appeared while extracting", target);
        env.rename(tmp, target);
        env.sync_dir(to_dir);
    } catch (...) {
        remove_tree(env, tmp);
        throw;
    }
    return x.written;
}

} // namespace repo
