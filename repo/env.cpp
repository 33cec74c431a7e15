// The operating system's implementation of Env, and the helpers every Env shares.
#include "repo/env.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

namespace repo {

std::string dir_of(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir == ".")
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string temp_name(const std::string& path)
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[20];
    snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(rng() & 0xffffffffffffull));
    // Appended piece by piece: GCC 12 at -O3 takes "." + std::string for an overlapping
    // copy (a false -Wrestrict).
    std::string name = ".";
    name += base_of(path);
    name += ".tmp-";
    name += suffix;
    return join(dir_of(path), name);
}

std::string Env::read_file(const std::string& path)
{
    auto f = open_read(path);
    uint64_t size = f->size();
    std::string data(size, '\0');
    size_t got = f->read_at(0, data.data(), size);
    data.resize(got);
    return data;
}

void Env::write_file_atomic(const std::string& path, const std::string& data)
{
    std::string tmp = temp_name(path);
    try {
        auto f = create(tmp);
        f->append(data.data(), data.size());
        f->sync();
        f->close();
        rename(tmp, path);
    } catch (...) {
        try {
            remove(tmp);
        } catch (...) {
        }
        throw;
    }
    sync_dir(dir_of(path));
}

FileInfo Env::file_info(const std::string& path)
{
    FileInfo info;
    if (is_dir(path))
        info.type = FileType::Directory;
    else if (exists(path))
        info.type = FileType::Regular;
    info.mode = info.type == FileType::Missing ? 0 : 0644;
    return info;
}

std::string Env::real_path(const std::string& path)
{
    return path;
}

std::unique_ptr<WritableFile> Env::open_device(const std::string& path, uint64_t&)
{
    throw Error(Error::Kind::Invalid, "not a block device", path);
}

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int err)
{
    Error::Kind kind = Error::Kind::Io;
    if (err == ENOSPC || err == EDQUOT)
        kind = Error::Kind::NoSpace;
    else if (err == ENOENT)
        kind = Error::Kind::NotFound;
    else if (err == EEXIST || err == ENOTEMPTY)
        kind = Error::Kind::Exists;
    throw Error(kind, what + " failed (" + strerror(err) + ")", path);
}

class PosixWritable : public WritableFile {
public:
    PosixWritable(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixWritable() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    void write_at(uint64_t offset, const void* data, size_t n) override
    {
        const char* p = static_cast<const char*>(data);
        while (n) {
            ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail("write", path_, errno);
            }
            p += w;
            n -= static_cast<size_t>(w);
            offset += static_cast<uint64_t>(w);
        }
    }
    void truncate(uint64_t size) override
    {
        if (::ftruncate(fd_, static_cast<off_t>(size)))
            fail("truncate", path_, errno);
    }
    void sync() override
    {
        if (::fsync(fd_))
            fail("sync", path_, errno);
    }
    void close() override
    {
        if (fd_ < 0)
            return;
        int fd = fd_;
        fd_ = -1;
        if (::close(fd))
            fail("close", path_, errno);
    }

private:
    int fd_;
    std::string path_;
};

class PosixReadable : public ReadableFile {
public:
    PosixReadable(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixReadable() override { ::close(fd_); }
    uint64_t size() override
    {
        struct stat st;
        if (fstat(fd_, &st))
            fail("stat", path_, errno);
        return static_cast<uint64_t>(st.st_size);
    }
    size_t read_at(uint64_t offset, void* data, size_t n) override
    {
        size_t done = 0;
        while (done < n) {
            ssize_t r = ::pread(fd_, static_cast<char*>(data) + done, n - done,
                                static_cast<off_t>(offset + done));
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                fail("read", path_, errno);
            }
            if (r == 0)
                break;
            done += static_cast<size_t>(r);
        }
        return done;
    }

private:
    int fd_;
    std::string path_;
};

class PosixLock : public FileLock {
public:
    explicit PosixLock(int fd) : fd_(fd) {}
    ~PosixLock() override { ::close(fd_); } // closing drops the flock
private:
    int fd_;
};

// Where the block device `rdev` is mounted, from /proc/self/mounts; empty when it is not.
std::string mount_point_of(dev_t rdev)
{
    FILE* f = fopen("/proc/self/mounts", "re");
    if (!f)
        return {};
    std::string where;
    char* line = nullptr;
    size_t cap = 0;
    while (where.empty() && getline(&line, &cap, f) > 0) {
        char source[4096], dir[4096];
        if (sscanf(line, "%4095s %4095s", source, dir) != 2 || source[0] != '/')
            continue;
        struct stat st;
        if (stat(source, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
            where = dir;
    }
    free(line);
    fclose(f);
    return where;
}

class PosixEnv : public Env {
public:
    std::unique_ptr<WritableFile> create(const std::string& path) override
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            fail("create", path, errno);
        return std::make_unique<PosixWritable>(fd, path);
    }
    std::unique_ptr<ReadableFile> open_read(const std::string& path) override
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            fail("open", path, errno);
        return std::make_unique<PosixReadable>(fd, path);
    }
    bool exists(const std::string& path) override
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    bool is_dir(const std::string& path) override
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    void rename(const std::string& from, const std::string& to) override
    {
        if (::rename(from.c_str(), to.c_str()))
            fail("rename to " + to, from, errno);
    }
    void rename_new(const std::string& from, const std::string& to) override
    {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return;
        if (errno != EINVAL && errno != ENOSYS)
            fail("rename to " + to, from, errno);
        // A file system without the exclusive rename: a hard link is exclusive too.
        if (::link(from.c_str(), to.c_str()))
            fail("link to " + to, from, errno);
        ::unlink(from.c_str());
    }
    void remove(const std::string& path) override
    {
        if (::remove(path.c_str()))
            fail("remove", path, errno);
    }
    std::vector<std::string> list(const std::string& dir) override
    {
        DIR* d = opendir(dir.c_str());
        if (!d)
            fail("list", dir, errno);
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
        }
        closedir(d);
        return names;
    }
    void mkdir(const std::string& path) override
    {
        if (::mkdir(path.c_str(), 0755) && !(errno == EEXIST && is_dir(path)))
            fail("mkdir", path, errno);
    }
    void sync_dir(const std::string& dir) override
    {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            fail("open", dir, errno);
        int r = ::fsync(fd);
        int err = errno;
        ::close(fd);
        if (r)
            fail("sync", dir, err);
    }
    void symlink(const std::string& target, const std::string& path) override
    {
        if (::symlink(target.c_str(), path.c_str()))
            fail("symlink", path, errno);
    }
    void chmod(const std::string& path, uint32_t mode) override
    {
        if (::chmod(path.c_str(), mode & 07777))
            fail("chmod", path, errno);
    }
    FileInfo file_info(const std::string& path) override
    {
        FileInfo info;
        struct stat st;
        if (::stat(path.c_str(), &st)) {
            if (errno != ENOENT && errno != ENOTDIR)
                fail("stat", path, errno);
            return info;
        }
        info.mode = st.st_mode & 07777;
        if (S_ISREG(st.st_mode))
            info.type = FileType::Regular;
        else if (S_ISDIR(st.st_mode))
            info.type = FileType::Directory;
        else if (S_ISBLK(st.st_mode))
            info.type = FileType::BlockDevice;
        else
            info.type = FileType::Other;
        return info;
    }
    std::string real_path(const std::string& path) override
    {
        if (char* r = ::realpath(path.c_str(), nullptr)) {
            std::string out = r;
            free(r);
            return out;
        }
        if (char* r = ::realpath(dir_of(path).c_str(), nullptr)) {
            std::string out = join(r, base_of(path));
            free(r);
            return out;
        }
        return path;
    }
    std::unique_ptr<WritableFile> open_device(const std::string& path, uint64_t& size) override
    {
        struct stat st;
        if (::stat(path.c_str(), &st))
            fail("stat", path, errno);
        if (!S_ISBLK(st.st_mode))
            throw Error(Error::Kind::Invalid, "not a block device", path);
        std::string where = mount_point_of(st.st_rdev);
        if (!where.empty())
            throw Error(Error::Kind::Invalid, "the device is mounted on " + where, path);
        // Device-mapper, md and the like list themselves as holders of what they stack on.
        char holders[64];
        snprintf(holders, sizeof holders, "/sys/dev/block/%u:%u/holders", major(st.st_rdev), minor(st.st_rdev));
        if (DIR* d = opendir(holders)) {
            std::string holder;
            while (struct dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    holder = e->d_name;
            closedir(d);
            if (!holder.empty())
                throw Error(Error::Kind::Invalid, "the device is in use by " + holder, path);
        }
        // O_EXCL on a block device claims it: the open fails while a file system, swap or
        // another exclusive opener has it (or, for a whole disk, one of its partitions).
        int fd = ::open(path.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EBUSY)
                throw Error(Error::Kind::Invalid,
                            "the device is in use (mounted, swap, or held by another program)", path);
            fail("open", path, errno);
        }
        auto file = std::make_unique<PosixWritable>(fd, path);
        if (ioctl(fd, BLKGETSIZE64, &size))
            fail("size of the device", path, errno);
        return file;
    }
    std::unique_ptr<FileLock> lock(const std::string& path) override
    {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            fail("open", path, errno);
        if (flock(fd, LOCK_EX | LOCK_NB)) {
            int err = errno;
            ::close(fd);
            if (err == EWOULDBLOCK)
                throw Error(Error::Kind::Locked,
                            "the repository is locked by another writer (a backup, forget or gc)", path);
            fail("lock", path, err);
        }
        return std::make_unique<PosixLock>(fd);
    }
};

} // namespace

Env& Env::posix()
{
    static PosixEnv env;
    return env;
}

} // namespace repo
