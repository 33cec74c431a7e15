// kestrel mount: the repository as a read-only file system. One folder per backup, named by
// its id, holding `image` (the device image, unused blocks reading as zeros) and, for
// ext2/3/4, `files` (the backed-up tree); `latest` is a link to the newest backup's folder.
//
// FUSE calls in from several threads. The repository and its readers are used by one thread
// at a time, so every call that reaches them holds one mutex; a file of `files` is extracted
// once (in the isolated reader, like `kestrel extract`) into a private temporary folder and
// read from there with pread, which needs no lock.
#include <cstdio>

#include "tools/cli.h"

#ifdef KESTREL_HAVE_FUSE
#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace cli {

namespace {

class MountedRepo {
public:
    MountedRepo(std::unique_ptr<repo::Repository> r, std::string tmp) : repo_(std::move(r)), tmp_(std::move(tmp))
    {
        for (repo::Manifest& m : repo_->list())
            backups_.emplace(m.id, std::move(m));
        if (!backups_.empty())
            latest_ = repo_->list().back().id;
    }

    // What a path of the mount names.
    struct Where {
        const repo::Manifest* backup = nullptr;
        enum { Root, Latest, Backup, Image, Files, Missing } kind = Missing;
        std::string fs_path;  // within `files`
    };

    Where locate(const std::string& path) const
    {
        Where w;
        if (path == "/") {
            w.kind = Where::Root;
            return w;
        }
        size_t slash = path.find('/', 1);
        std::string first = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        if (first == "latest" && slash == std::string::npos && !latest_.empty()) {
            w.kind = Where::Latest;
            return w;
        }
        auto it = backups_.find(first);
        if (it == backups_.end())
            return w;
        w.backup = &it->second;
        if (slash == std::string::npos) {
            w.kind = Where::Backup;
            return w;
        }
        std::string rest = path.substr(slash);
        if (rest == "/image")
            w.kind = Where::Image;
        else if (is_ext(*w.backup) && (rest == "/files" || rest.starts_with("/files/"))) {
            w.kind = Where::Files;
            w.fs_path = rest == "/files" ? "/" : rest.substr(6);
        }
        return w;
    }

    static bool is_ext(const repo::Manifest& m) { return m.source.fs_type.starts_with("ext"); }

    int getattr(const char* path, struct stat* st)
    {
        memset(st, 0, sizeof *st);
        st->st_uid = getuid();
        st->st_gid = getgid();
        Where w = locate(path);
        switch (w.kind) {
        case Where::Root:
        case Where::Backup:
            st->st_mode = S_IFDIR | 0555;
            st->st_nlink = 2;
            if (w.backup)
                st->st_mtime = w.backup->snapshot_time;
            return 0;
        case Where::Latest:
            st->st_mode = S_IFLNK | 0777;
            st->st_size = static_cast<off_t>(latest_.size());
            st->st_nlink = 1;
            return 0;
        case Where::Image:
            st->st_mode = S_IFREG | 0444;
            st->st_size = static_cast<off_t>(w.backup->source.block_count * w.backup->source.block_size);
            st->st_blksize = w.backup->source.block_size;
            st->st_nlink = 1;
            st->st_mtime = w.backup->snapshot_time;
            return 0;
        case Where::Files:
            return file_attr(*w.backup, w.fs_path, st);
        case Where::Missing:
            break;
        }
        return -ENOENT;
    }

    int readlink(const char* path, char* buf, size_t size)
    {
        if (size == 0)
            return -EINVAL;
        Where w = locate(path);
        std::string target;
        if (w.kind == Where::Latest) {
            target = latest_;
        } else if (w.kind == Where::Files) {
            repo::FsEntry e;
            if (int err = entry(*w.backup, w.fs_path, e))
                return err;
            if (e.type != 'l')
                return -EINVAL;
            target = e.link_target;
        } else {
            return -EINVAL;
        }
        size_t n = std::min(size - 1, target.size());
        memcpy(buf, target.data(), n);
        buf[n] = 0;
        return 0;
    }

    int readdir(const char* path, void* buf, fuse_fill_dir_t filler)
    {
        Where w = locate(path);
        auto add = [&](const std::string& name) { filler(buf, name.c_str(), nullptr, 0, fuse_fill_dir_flags(0)); };
        add(".");
        add("..");
        switch (w.kind) {
        case Where::Root:
            for (const auto& [id, m] : backups_)
                add(id);
            if (!latest_.empty())
                add("latest");
            return 0;
        case Where::Backup:
            add("image");
            if (is_ext(*w.backup))
                add("files");
            return 0;
        case Where::Files: {
            const std::vector<repo::FsEntry>* list = nullptr;
            if (int err = listing(*w.backup, w.fs_path, list))
                return err;
            for (const auto& e : *list)
                if (presentable(e.name))
                    add(e.name);
            return 0;
        }
        default:
            return -ENOTDIR;
        }
    }

    // Opens `image` (fh 0: read through the repository) or a file of `files` (fh: the
    // descriptor of its extracted copy, plus one).
    int open(const char* path, struct fuse_file_info* fi)
    {
        if ((fi->flags & O_ACCMODE) != O_RDONLY)
            return -EROFS;
        Where w = locate(path);
        if (w.kind == Where::Image) {
            fi->fh = 0;
            fi->keep_cache = 1;
            return 0;
        }
        if (w.kind != Where::Files)
            return -ENOENT;
        std::string copy;
        if (int err = extracted(*w.backup, w.fs_path, copy))
            return err;
        int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return -errno;
        fi->fh = static_cast<uint64_t>(fd) + 1;
        fi->keep_cache = 1;
        return 0;
    }

    int read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi)
    {
        if (fi->fh) {
            ssize_t n = pread(static_cast<int>(fi->fh - 1), buf, size, offset);
            return n < 0 ? -errno : static_cast<int>(n);
        }
        Where w = locate(path);
        if (w.kind != Where::Image)
            return -EIO;
        return read_image(*w.backup, buf, size, offset);
    }

    int release(struct fuse_file_info* fi)
    {
        if (fi->fh)
            close(static_cast<int>(fi->fh - 1));
        return 0;
    }

private:
    // A name the kernel can be given: a single path component.
    static bool presentable(const std::string& name)
    {
        return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
               name.find('\0') == std::string::npos;
    }

    static int error_code(const repo::Error& e)
    {
        switch (e.kind()) {
        case repo::Error::Kind::NotFound: return -ENOENT;
        case repo::Error::Kind::Invalid: return -ENOENT;
        default: break;
        }
        fprintf(stderr, "kestrel: %s\n", e.what());
        return -EIO;
    }

    int read_image(const repo::Manifest& m, char* buf, size_t size, off_t offset)
    {
        const uint64_t bs = m.source.block_size, end = m.source.block_count * bs;
        if (offset < 0)
            return -EINVAL;
        uint64_t from = static_cast<uint64_t>(offset);
        if (from >= end)
            return 0;
        size = static_cast<size_t>(std::min<uint64_t>(size, end - from));
        const uint64_t first = from / bs, last = (from + size + bs - 1) / bs;
        std::lock_guard<std::mutex> hold(mu_);
        try {
            auto& reader = readers_[m.id];
            if (!reader)
                reader = repo_->reader(m.id);
            block_buf_.resize((last - first) * bs);
            reader->read(first, last - first, block_buf_.data());
            memcpy(buf, block_buf_.data() + from % bs, size);
            return static_cast<int>(size);
        } catch (const repo::Error& e) {
            return error_code(e);
        }
    }

    // The listing of directory `dir` of backup `m`, read once.
    // Each directory on the way is checked to be one: ls of anything else lists that entry.
    int listing(const repo::Manifest& m, const std::string& dir, const std::vector<repo::FsEntry>*& out)
    {
        if (dir != "/") {
            repo::FsEntry e;
            if (int err = entry(m, dir, e))
                return err;
            if (e.type != 'd')
                return -ENOTDIR;
        }
        std::lock_guard<std::mutex> hold(mu_);
        auto key = std::make_pair(m.id, dir);
        auto it = listings_.find(key);
        if (it == listings_.end()) {
            try {
                it = listings_.emplace(key, repo_->ls(m.id, dir)).first;
            } catch (const repo::Error& e) {
                return error_code(e);
            }
        }
        out = &it->second;
        return 0;
    }

    static std::string parent(const std::string& p)
    {
        size_t slash = p.find_last_of('/');
        return slash == 0 ? "/" : p.substr(0, slash);
    }

    // The entry at `path` (not the root), from its directory's listing.
    int entry(const repo::Manifest& m, const std::string& path, repo::FsEntry& out)
    {
        const std::vector<repo::FsEntry>* list = nullptr;
        if (int err = listing(m, parent(path), list))
            return err;
        const std::string name = path.substr(path.find_last_of('/') + 1);
        for (const auto& e : *list)
            if (e.name == name && presentable(name)) {
                out = e;
                return 0;
            }
        return -ENOENT;
    }

    int file_attr(const repo::Manifest& m, const std::string& path, struct stat* st)
    {
        st->st_nlink = 1;
        if (path == "/") {
            st->st_mode = S_IFDIR | 0555;
            st->st_mtime = m.snapshot_time;
            return 0;
        }
        repo::FsEntry e;
        if (int err = entry(m, path, e))
            return err;
        // The type and permission bits as backed up, without write permission.
        st->st_mode = (e.mode & ~0222u);
        st->st_size = static_cast<off_t>(e.size);
        st->st_mtime = e.mtime;
        st->st_uid = e.uid;
        st->st_gid = e.gid;
        if (e.type == 'd')
            st->st_nlink = 2;
        if (e.type == 'l')
            st->st_size = static_cast<off_t>(e.link_target.size());
        return 0;
    }

    // The host path of an extracted copy of regular file `path`, extracting it the first time.
    int extracted(const repo::Manifest& m, const std::string& path, std::string& out)
    {
        repo::FsEntry e;
        if (int err = entry(m, path, e))
            return err;
        if (e.type != 'f')
            return -EACCES;
        std::lock_guard<std::mutex> hold(mu_);
        auto key = std::make_pair(m.id, path);
        auto it = copies_.find(key);
        if (it == copies_.end()) {
            std::string dir = tmp_ + "/" + std::to_string(copies_.size());
            if (mkdir(dir.c_str(), 0700) != 0)
                return -errno;
            try {
                repo::ExtractOptions eo;
                eo.as_root = false;
                repo_->extract(m.id, path, dir, eo);
            } catch (const repo::Error& e) {
                return error_code(e);
            }
            std::string copy = dir + "/" + path.substr(path.find_last_of('/') + 1);
            chmod(copy.c_str(), 0400);
            it = copies_.emplace(key, copy).first;
        }
        out = it->second;
        return 0;
    }

    std::unique_ptr<repo::Repository> repo_;
    const std::string tmp_;
    std::map<std::string, repo::Manifest> backups_;  // fixed at mount time
    std::string latest_;
    std::mutex mu_;  // guards repo_, readers_, block_buf_, listings_, copies_
    std::map<std::string, std::unique_ptr<repo::Repository::BlockReader>> readers_;
    std::vector<uint8_t> block_buf_;
    std::map<std::pair<std::string, std::string>, std::vector<repo::FsEntry>> listings_;
    std::map<std::pair<std::string, std::string>, std::string> copies_;
};

MountedRepo& mounted() { return *static_cast<MountedRepo*>(fuse_get_context()->private_data); }

fuse_operations operations()
{
    fuse_operations ops{};
    ops.init = [](fuse_conn_info*, fuse_config* cfg) -> void* {
        cfg->kernel_cache = 1;
        return fuse_get_context()->private_data;
    };
    ops.getattr = [](const char* path, struct stat* st, fuse_file_info*) { return mounted().getattr(path, st); };
    ops.readlink = [](const char* path, char* buf, size_t size) { return mounted().readlink(path, buf, size); };
    ops.readdir = [](const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
                     fuse_readdir_flags) { return mounted().readdir(path, buf, filler); };
    ops.open = [](const char* path, fuse_file_info* fi) { return mounted().open(path, fi); };
    ops.read = [](const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
        return mounted().read(path, buf, size, offset, fi);
    };
    ops.release = [](const char*, fuse_file_info* fi) { return mounted().release(fi); };
    return ops;
}

// Mounts and serves until unmounted (fusermount3 -u) or told to stop: SIGINT, SIGTERM and
// SIGHUP end the loop, and the mount is taken down before this returns.
void serve(MountedRepo& state, const std::string& mountpoint)
{
    // No user text in the options: a comma in it would add options of its own.
    std::vector<std::string> args = {"kestrel", "-o", "ro,fsname=kestrel,subtype=kestrel"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse_operations ops = operations();
    struct Fuse {
        fuse* f;
        ~Fuse() { fuse_destroy(f); }
    } f{fuse_new(&fargs, &ops, sizeof ops, &state)};
    fuse_opt_free_args(&fargs);
    if (!f.f)
        throw repo::Error(repo::Error::Kind::Io, "setting up FUSE failed", mountpoint);
    if (fuse_mount(f.f, mountpoint.c_str()) != 0)
        throw repo::Error(repo::Error::Kind::Io, "mounting failed (is it an existing directory, and is /dev/fuse usable?)",
                          mountpoint);
    fuse_session* se = fuse_get_session(f.f);
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_unmount(f.f);
        throw repo::Error(repo::Error::Kind::Io, "installing the signal handlers failed", mountpoint);
    }
    fuse_loop_config* cfg = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(cfg, 8);
    fuse_loop_cfg_set_clone_fd(cfg, 0);
    // 0 when unmounted from outside, the signal's number when one ended the loop, negative on error.
    const int rc = fuse_loop_mt(f.f, cfg);
    fuse_loop_cfg_destroy(cfg);
    fuse_remove_signal_handlers(se);
    fuse_unmount(f.f);
    if (rc < 0)
        throw repo::Error(repo::Error::Kind::Io, std::string("serving the mount failed: ") + strerror(-rc), mountpoint);
}

int run_mount(const RepoOptions& opt, const std::string& mountpoint)
{
    std::string tmp;
    int code = guarded(opt.json, [&] {
        auto r = open_repo(opt);
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-mount-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw repo::Error(repo::Error::Kind::Io, std::string("creating a temporary folder: ") + strerror(errno),
                              pattern);
        tmp = pattern;
        MountedRepo state(std::move(r), tmp);
        fprintf(stderr, "kestrel: mounting repository %s at %s (read-only); Ctrl-C or fusermount3 -u unmounts\n",
                opt.repo.c_str(), mountpoint.c_str());
        serve(state, mountpoint);
        return kExitOk;
    });
    if (!tmp.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(tmp, ec);
    }
    return code;
}

} // namespace

void register_mount(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RepoOptions>();
    auto mountpoint = std::make_shared<std::string>();
    CLI::App* mount = app.add_subcommand(
        "mount", "mount the repository read-only through FUSE: a folder per backup with its device image and, for "
                 "ext2/3/4, its files; runs until Ctrl-C or fusermount3 -u");
    add_repo_options(mount, *opt);
    mount->add_option("mountpoint", *mountpoint, "an existing empty directory")->required();
    commands.add(mount, [opt, mountpoint] { return run_mount(*opt, *mountpoint); });
}

} // namespace cli

#else

namespace cli {

void register_mount(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RepoOptions>();
    auto mountpoint = std::make_shared<std::string>();
    CLI::App* mount = app.add_subcommand("mount", "mount the repository read-only (this build has no FUSE support)");
    add_repo_options(mount, *opt);
    mount->add_option("mountpoint", *mountpoint, "an existing empty directory")->required();
    commands.add(mount, [] {
        fprintf(stderr, "kestrel: this kestrel was built without libfuse3: mount is not available\n");
        return kExitFailed;
    });
}

} // namespace cli

#endif
