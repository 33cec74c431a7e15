// libext2fs over a backup: the file system read through a device whose reads come from the
// backup's blocks, so that directories can be listed and files extracted without restoring
// the image.
//
// The file system is untrusted: anyone who could write to it chose its names, modes, links
// and, on a damaged or hostile image, its very structures. So extract creates every entry
// relative to its parent's open directory, exclusively (O_EXCL, mkdirat, symlinkat, mknodat,
// linkat never replace anything), follows no link it meets, refuses names that are not a
// single path component, and reads the file system in a child process (repo/isolate.h).
#include "repo/extfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "repo/ext_device.h"
#include "repo/isolate.h"

namespace repo {

bool ExtractOptions::geteuid_is_root() { return geteuid() == 0; }

std::string printable_name(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

nlohmann::json to_json(const ExtractReport& r)
{
    return {{"bytes", r.bytes},
            {"extracted",
             {{"files", r.files},
              {"directories", r.directories},
              {"symlinks", r.symlinks},
              {"hard_links", r.hard_links},
              {"fifos", r.fifos},
              {"devices", r.devices}}},
            {"refused", r.refused},
            {"skipped", r.skipped},
            {"not_kept", r.not_kept},
            {"warnings", r.warnings},
            {"warnings_dropped", r.warnings_dropped}};
}

ExtractReport extract_report_from_json(const nlohmann::json& j)
{
    ExtractReport r;
    r.bytes = j.at("bytes");
    const auto& x = j.at("extracted");
    r.files = x.at("files");
    r.directories = x.at("directories");
    r.symlinks = x.at("symlinks");
    r.hard_links = x.at("hard_links");
    r.fifos = x.at("fifos");
    r.devices = x.at("devices");
    r.refused = j.at("refused").get<std::map<std::string, uint64_t>>();
    r.skipped = j.at("skipped").get<std::map<std::string, uint64_t>>();
    r.not_kept = j.at("not_kept").get<std::map<std::string, uint64_t>>();
    r.warnings = j.at("warnings").get<std::vector<std::string>>();
    r.warnings_dropped = j.at("warnings_dropped");
    return r;
}

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

// A structure of the file system that cannot be read: damage in the file system itself (the
// repository's chunks were sound). Extract refuses the entry it concerns and goes on.
class FsDamage : public Error {
public:
    FsDamage(const std::string& message, const std::string& path) : Error(Error::Kind::Damaged, message, path) {}
};

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
    const std::string& id() const { return source_.backup->manifest().id; }

    // Throws the repository's error of a failed read if there was one, else FsDamage for `err`.
    void check(errcode_t err, const std::string& what, const std::string& path)
    {
        if (!err)
            return;
        rethrow_failure();
        throw FsDamage(what + " failed (" + error_message(err) + ")", path);
    }

    void rethrow_failure()
    {
        if (source_.failure)
            throw Error(*source_.failure);
    }

    static std::string error_message(errcode_t err)
    {
        if (err == EXT2_ET_BAD_MAGIC)
            return "no ext2/3/4 super block";
        if (err == EXT2_ET_SHORT_READ)
            return "short read";
        if (err == EXT2_ET_FILE_NOT_FOUND)
            return "not found";
        const char* m = error_message_or_null(err);
        return m ? m : "error " + std::to_string(err);
    }

private:
    static const char* error_message_or_null(errcode_t err)
    {
        const char* m = ::error_message(err);
        return m && *m ? m : nullptr;
    }

    Source source_;
    extdev::ExtDevice device_;
    ext2_filsys fs_ = nullptr;
};

// An inode as the file system holds it, whole: the extended attributes stored in the inode
// lie past struct ext2_inode_large.
struct Node {
    ext2_ino_t ino = 0;
    std::vector<uint64_t> raw; // 8-byte units: aligned for the struct
    const ext2_inode_large& inode() const { return *reinterpret_cast<const ext2_inode_large*>(raw.data()); }
    size_t bytes() const { return raw.size() * 8; }
};

Node read_node(Fs& fs, ext2_ino_t ino, const std::string& path)
{
    Node n;
    n.ino = ino;
    size_t bytes = std::max<size_t>(sizeof(ext2_inode_large), EXT2_INODE_SIZE(fs.get()->super));
    n.raw.assign((bytes + 7) / 8, 0);
    if (ino < EXT2_ROOT_INO || ino > fs.get()->super->s_inodes_count)
        throw FsDamage("inode number " + std::to_string(ino) + " out of range", path);
    fs.check(ext2fs_read_inode_full(fs.get(), ino, reinterpret_cast<ext2_inode*>(n.raw.data()),
                                    static_cast<int>(n.bytes())),
             "reading inode " + std::to_string(ino), path);
    return n;
}

// The file system's view of a path: each component looked up in its directory, no symlink
// followed on the way (a symlink is an entry like any other; one in the middle of a path is
// "not a directory").
Node lookup(Fs& fs, const std::string& path)
{
    if (path.empty() || path[0] != '/')
        throw Error(Error::Kind::Invalid, "a path in the backup must start with /", path);
    Node n = read_node(fs, EXT2_ROOT_INO, "/");
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        std::string name = path.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (!LINUX_S_ISDIR(n.inode().i_mode))
            throw Error(Error::Kind::NotFound, "no such file or directory in the backup", path);
        ext2_ino_t ino = 0;
        errcode_t err = ext2fs_lookup(fs.get(), n.ino, name.c_str(), static_cast<int>(name.size()), nullptr, &ino);
        if (err == EXT2_ET_FILE_NOT_FOUND)
            throw Error(Error::Kind::NotFound, "no such file or directory in the backup", path);
        fs.check(err, "looking up the path", path);
        n = read_node(fs, ino, path);
    }
    return n;
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

ext2_inode* plain(const Node& n) { return reinterpret_cast<ext2_inode*>(const_cast<ext2_inode_large*>(&n.inode())); }

// Reads the file through libext2fs's file interface, calling `sink` with each piece: for
// what is small and may live in the inode (inline data, slow symlinks).
template <typename Sink> void read_file(Fs& fs, const Node& n, const std::string& path, uint64_t limit, Sink&& sink)
{
    ext2_file_t file;
    fs.check(ext2fs_file_open2(fs.get(), n.ino, plain(n), 0, &file), "opening the file", path);
    std::vector<char> buf(1 << 16);
    uint64_t offset = 0;
    errcode_t err = 0;
    while (offset < limit) {
        unsigned int got = 0;
        err = ext2fs_file_read(file, buf.data(), static_cast<unsigned>(std::min<uint64_t>(buf.size(), limit - offset)),
                               &got);
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
    uint64_t size = EXT2_I_SIZE(&n.inode());
    if (size > 65536)
        throw FsDamage("symlink target too long", path);
    if (ext2fs_is_fast_symlink(plain(n)))
        return std::string(reinterpret_cast<const char*>(n.inode().i_block),
                           strnlen(reinterpret_cast<const char*>(n.inode().i_block),
                                   std::min<uint64_t>(size, sizeof n.inode().i_block)));
    std::string target;
    read_file(fs, n, path, size, [&](uint64_t, const char* data, size_t got) { target.append(data, got); });
    return target;
}

FsEntry entry_of(Fs& fs, const Node& n, const std::string& name, const std::string& path)
{
    FsEntry e;
    e.name = name;
    e.mode = n.inode().i_mode;
    e.type = type_of(n.inode().i_mode);
    e.size = EXT2_I_SIZE(&n.inode());
    e.mtime = static_cast<int32_t>(n.inode().i_mtime);
    e.uid = inode_uid(n.inode());
    e.gid = inode_gid(n.inode());
    if (e.type == 'l')
        e.link_target = link_target(fs, n, path);
    return e;
}

// The entries of a directory inode as (name, inode number), sorted by name, without its own
// "." and "..". Names are as stored: they may hold anything a damaged file system holds.
// A directory that cannot be read to its end gives what was read and sets `damaged`.
std::vector<std::pair<std::string, ext2_ino_t>> dir_entries(Fs& fs, ext2_ino_t dir, const std::string& path,
                                                            std::string* damaged)
{
    struct Collect {
        std::vector<std::pair<std::string, ext2_ino_t>> out;
        bool seen_dot = false, seen_dotdot = false;
    } c;
    auto cb = [](struct ext2_dir_entry* d, int, int, char*, void* priv) -> int {
        auto* c = static_cast<Collect*>(priv);
        std::string name(d->name, ext2fs_dirent_name_len(d));
        if (name == "." && !c->seen_dot)
            c->seen_dot = true;
        else if (name == ".." && !c->seen_dotdot)
            c->seen_dotdot = true;
        else if (d->inode)
            c->out.emplace_back(name, d->inode);
        return 0;
    };
    errcode_t err = ext2fs_dir_iterate(fs.get(), dir, 0, nullptr, cb, &c);
    if (err) {
        fs.rethrow_failure();
        if (!damaged)
            fs.check(err, "reading the directory", path);
        *damaged = "reading the directory failed (" + Fs::error_message(err) + ")";
    }
    std::sort(c.out.begin(), c.out.end());
    return std::move(c.out);
}

std::string child(const std::string& dir, const std::string& name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Why a name from the file system cannot be created as one entry of a directory, or empty.
const char* unsafe_name(const std::string& name)
{
    if (name.empty())
        return "an empty name";
    if (name == "." || name == "..")
        return "a name that is . or ..";
    if (name.find('/') != std::string::npos)
        return "a name holding /";
    if (name.find('\0') != std::string::npos)
        return "a name holding a NUL byte";
    return nullptr;
}

// An open file descriptor, closed when done.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    // Closes, returning close()'s errno (0 when it succeeded).
    int close_checked()
    {
        int err = ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
        return err;
    }

private:
    int fd_;
};

Error host_error(const std::string& what, int err, const std::string& path)
{
    return Error(err == ENOSPC || err == EDQUOT ? Error::Kind::NoSpace : Error::Kind::Io,
                 what + " failed (" + strerror(err) + ")", path);
}

// Removes `name` in directory `dfd` and, for a directory, everything below it, following no
// link: a symlink is removed, never what it points to. Best effort; never throws.
void remove_tree(int dfd, const std::string& name, unsigned depth = 0)
{
    struct stat st;
    if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlinkat(dfd, name.c_str(), 0);
        return;
    }
    int fd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && depth < 4096) {
        fchmod(fd, 0700); // a directory whose mode was applied may refuse its owner
        if (DIR* d = fdopendir(fd)) {
            std::vector<std::string> names;
            while (struct dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            for (const auto& n : names)
                remove_tree(dirfd(d), n, depth + 1);
            closedir(d);
            fd = -1;
        }
    }
    if (fd >= 0)
        close(fd);
    unlinkat(dfd, name.c_str(), AT_REMOVEDIR);
}

// A time of an inode: seconds with the extra epoch bits and nanoseconds of a large inode.
struct timespec inode_time(const Fs& fs, const Node& n, uint32_t seconds, const uint32_t* extra)
{
    struct timespec t;
    t.tv_sec = static_cast<int32_t>(seconds);
    t.tv_nsec = 0;
    ext2_filsys f = const_cast<Fs&>(fs).get();
    size_t have = EXT2_GOOD_OLD_INODE_SIZE + n.inode().i_extra_isize;
    size_t field_end = reinterpret_cast<const char*>(extra) - reinterpret_cast<const char*>(&n.inode()) + 4;
    if (EXT2_INODE_SIZE(f->super) > EXT2_GOOD_OLD_INODE_SIZE && have >= field_end &&
        have <= size_t(EXT2_INODE_SIZE(f->super))) {
        t.tv_sec += int64_t(*extra & EXT4_EPOCH_MASK) << 32;
        t.tv_nsec = std::min<long>(*extra >> EXT4_EPOCH_BITS, 999999999);
    }
    return t;
}

// A run of a file's data: `count` blocks from logical block `logical`, stored from `physical`.
struct Run {
    uint64_t logical, physical, count;
};

class Extractor {
public:
    Extractor(Fs& fs, const ExtractOptions& opt, int root_fd, std::function<void(uint64_t)> on_bytes)
        : fs_(fs), opt_(opt), root_fd_(root_fd), on_bytes_(std::move(on_bytes)),
          bs_(fs.get()->blocksize)
    {
    }

    ExtractReport report;

    // Extracts inode `ino` as `name` in the directory open as `dfd`. `rel` holds the names
    // from the target directory down to `dfd`; `from` is the entry's path in the backup.
    // Refused and skipped entries are reported; an Error (the repository's data damaged,
    // the target failing) ends the whole extract.
    void entry(int dfd, std::vector<std::string>& rel, const std::string& name, ext2_ino_t ino,
               const std::string& from, unsigned depth)
    {
        if (interrupted())
            throw Error(Error::Kind::Io, "extract interrupted");
        Node n;
        try {
            n = read_node(fs_, ino, from);
        } catch (const FsDamage& e) {
            refuse("damaged", from, ino, e.message());
            return;
        }
        rel.push_back(name);
        try {
            make(dfd, rel, name, n, from, depth);
        } catch (const FsDamage& e) {
            if (created_)
                remove_tree(dfd, name);
            created_ = false;
            refuse("damaged", from, ino, e.message());
        } catch (const Refusal& r) {
            if (created_)
                remove_tree(dfd, name);
            created_ = false;
            refuse(r.reason, from, ino, r.detail);
        } catch (...) {
            created_ = false;
            rel.pop_back();
            throw;
        }
        created_ = false;
        rel.pop_back();
    }

    // Called once, when the first entry (the top of what is extracted) has been created.
    std::function<void()> on_top_created;

private:
    struct Refusal {
        std::string reason, detail;
    };
    // Each level holds its directory open while its contents are made.
    static constexpr unsigned kMaxDepth = 512;

    // Makes the entry (or skips it, or links it to an earlier one).
    void make(int dfd, std::vector<std::string>& rel, const std::string& name, const Node& n,
              const std::string& from, unsigned depth)
    {
        uint16_t mode = n.inode().i_mode;
        bool multi = !LINUX_S_ISDIR(mode) && n.inode().i_links_count > 1;
        if (multi && link_to_first(dfd, name, n.ino))
            return;
        if (LINUX_S_ISDIR(mode)) {
            directory(dfd, rel, name, n, from, depth);
        } else if (LINUX_S_ISREG(mode)) {
            file(dfd, name, n, from);
        } else if (LINUX_S_ISLNK(mode)) {
            std::string target = link_target(fs_, n, from);
            if (target.empty() || target.find('\0') != std::string::npos)
                throw Refusal{"damaged", "a symlink with an empty target or a NUL byte in it"};
            create(symlinkat(target.c_str(), dfd, name.c_str()), name);
            meta(-1, dfd, name, n, 'l');
            report.symlinks++;
        } else if (LINUX_S_ISFIFO(mode)) {
            create(mknodat(dfd, name.c_str(), S_IFIFO | 0600, 0), name);
            meta(-1, dfd, name, n, 'p');
            report.fifos++;
        } else if (LINUX_S_ISCHR(mode) || LINUX_S_ISBLK(mode)) {
            if (!opt_.as_root) {
                skip("device (not root)", from, n.ino);
                return;
            }
            int rc = mknodat(dfd, name.c_str(), (LINUX_S_ISCHR(mode) ? S_IFCHR : S_IFBLK) | 0600, device_number(n));
            if (rc != 0 && errno == EPERM) {
                skip("device (not permitted)", from, n.ino);
                return;
            }
            create(rc, name);
            meta(-1, dfd, name, n, 'c');
            report.devices++;
        } else if (LINUX_S_ISSOCK(mode)) {
            skip("socket", from, n.ino);
            return;
        } else {
            throw Refusal{"damaged", "an inode of no known type (mode " + std::to_string(mode) + ")"};
        }
        if (multi)
            first_link_[n.ino] = rel;
    }

    // Takes the result of a call that creates `name` (0, or -1 with errno).
    void create(int rc, const std::string& name)
    {
        if (rc != 0) {
            if (errno == EEXIST)
                throw Refusal{"duplicate name", "a second entry of the same name in its directory"};
            throw host_error("creating", errno, name);
        }
        created_ = true;
        if (!top_created_) {
            top_created_ = true;
            if (on_top_created)
                on_top_created();
        }
    }

    void directory(int dfd, std::vector<std::string>& rel, const std::string& name, const Node& n,
                   const std::string& from, unsigned depth)
    {
        if (!dirs_seen_.insert(n.ino).second)
            throw Refusal{"damaged", "a directory met a second time (a loop, or a second link to a directory)"};
        if (depth >= kMaxDepth)
            throw Refusal{"too deep", "more than " + std::to_string(kMaxDepth) + " directories deep"};
        // 0700 while it fills: no other user can reach in before the tree is complete.
        create(mkdirat(dfd, name.c_str(), 0700), name);
        Fd fd(openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0)
            throw host_error("opening the directory", errno, name);
        created_ = false; // from here on, each entry below looks after itself
        std::string damaged;
        auto entries = dir_entries(fs_, n.ino, from, &damaged);
        for (auto& [cname, cino] : entries) {
            std::string cfrom = child(from, cname);
            if (const char* why = unsafe_name(cname))
                refuse("unsafe name", cfrom, cino, why);
            else
                entry(fd.get(), rel, cname, cino, cfrom, depth + 1);
        }
        if (!damaged.empty())
            refuse("damaged", from, n.ino, damaged + "; extracted the entries read before it");
        // The directory's own metadata last: its contents changed its times.
        meta(fd.get(), dfd, name, n, 'd');
        report.directories++;
    }

    void file(int dfd, const std::string& name, const Node& n, const std::string& from)
    {
        int raw = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        create(raw < 0 ? -1 : 0, name);
        Fd fd(raw);
        uint64_t size = EXT2_I_SIZE(&n.inode());
        if (n.inode().i_flags & EXT4_INLINE_DATA_FL) {
            read_file(fs_, n, from, size, [&](uint64_t offset, const char* data, size_t got) {
                write_at(fd.get(), data, got, offset, name);
            });
        } else {
            for (const Run& r : runs(n, size, from))
                copy_run(fd.get(), r, size, from, name);
        }
        if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            if (errno == EFBIG || errno == EINVAL)
                throw Refusal{"too large", "a size of " + std::to_string(size) + " bytes the target cannot hold"};
            throw host_error("setting the size", errno, name);
        }
        meta(fd.get(), dfd, name, n, 'f');
        if (int err = fd.close_checked())
            throw host_error("writing", err, name);
        report.files++;
    }

    // The runs of a file's data that hold blocks, in logical order, clipped to its size.
    // Holes and unwritten extents are left out: they read as zeros and stay holes.
    std::vector<Run> runs(const Node& n, uint64_t size, const std::string& from)
    {
        uint64_t blocks = size / bs_ + (size % bs_ != 0);
        uint64_t fs_blocks = ext2fs_blocks_count(fs_.get()->super);
        std::vector<Run> out;
        auto add = [&](uint64_t logical, uint64_t physical, uint64_t count) {
            if (logical >= blocks)
                return;
            count = std::min(count, blocks - logical);
            if (physical >= fs_blocks || count > fs_blocks - physical)
                throw FsDamage("a data block beyond the end of the file system", from);
            if (!out.empty() && out.back().logical + out.back().count == logical &&
                out.back().physical + out.back().count == physical)
                out.back().count += count;
            else
                out.push_back({logical, physical, count});
        };
        if (n.inode().i_flags & EXT4_EXTENTS_FL) {
            ext2_extent_handle_t h;
            fs_.check(ext2fs_extent_open2(fs_.get(), n.ino, plain(n), &h), "reading the extent tree", from);
            struct Closer {
                ext2_extent_handle_t h;
                ~Closer() { ext2fs_extent_free(h); }
            } closer{h};
            struct ext2fs_extent e;
            uint64_t next = 0, steps = 0, limit = 4 * blocks + 100000;
            errcode_t err = ext2fs_extent_get(h, EXT2_EXTENT_ROOT, &e);
            for (; !err; err = ext2fs_extent_get(h, EXT2_EXTENT_NEXT, &e)) {
                if (++steps > limit)
                    throw FsDamage("an extent tree far larger than its file", from);
                if (!(e.e_flags & EXT2_EXTENT_FLAGS_LEAF) || (e.e_flags & EXT2_EXTENT_FLAGS_SECOND_VISIT))
                    continue;
                if (e.e_lblk < next)
                    throw FsDamage("extents out of order or overlapping", from);
                next = e.e_lblk + uint64_t(e.e_len);
                if (!(e.e_flags & EXT2_EXTENT_FLAGS_UNINIT) && e.e_len)
                    add(e.e_lblk, e.e_pblk, e.e_len);
            }
            if (err != EXT2_ET_EXTENT_NO_NEXT && err != EXT2_ET_EXTENT_NO_DOWN)
                fs_.check(err, "reading the extent tree", from);
        } else {
            struct Walk {
                decltype(add)* add_run;
                uint64_t blocks;
                std::exception_ptr failure;
            } w{&add, blocks, nullptr};
            auto cb = [](ext2_filsys, blk64_t* block, e2_blkcnt_t count, blk64_t, int, void* priv) -> int {
                auto* w = static_cast<Walk*>(priv);
                if (count < 0)
                    return 0;
                if (uint64_t(count) >= w->blocks)
                    return BLOCK_ABORT;
                try {
                    (*w->add_run)(uint64_t(count), *block, 1);
                } catch (...) {
                    w->failure = std::current_exception();
                    return BLOCK_ABORT;
                }
                return 0;
            };
            errcode_t err = ext2fs_block_iterate3(fs_.get(), n.ino, BLOCK_FLAG_READ_ONLY | BLOCK_FLAG_DATA_ONLY,
                                                  nullptr, cb, &w);
            if (w.failure)
                std::rethrow_exception(w.failure);
            fs_.check(err, "reading the block map", from);
        }
        return out;
    }

    void copy_run(int fd, const Run& r, uint64_t size, const std::string& from, const std::string& name)
    {
        constexpr uint64_t kPiece = 1 << 20;
        uint64_t per = std::max<uint64_t>(1, kPiece / bs_);
        if (buf_.size() < per * bs_)
            buf_.resize(per * bs_);
        for (uint64_t done = 0; done < r.count; done += per) {
            if (interrupted())
                throw Error(Error::Kind::Io, "extract interrupted");
            uint64_t count = std::min(per, r.count - done);
            fs_.check(io_channel_read_blk64(fs_.get()->io, r.physical + done, static_cast<int>(count), buf_.data()),
                      "reading the file's data", from);
            uint64_t offset = (r.logical + done) * bs_;
            uint64_t bytes = std::min<uint64_t>(count * bs_, size - offset);
            write_at(fd, buf_.data(), bytes, offset, name);
        }
    }

    void write_at(int fd, const void* data, uint64_t bytes, uint64_t offset, const std::string& name)
    {
        const char* p = static_cast<const char*>(data);
        uint64_t left = bytes;
        while (left) {
            ssize_t w = pwrite(fd, p, left, static_cast<off_t>(offset));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throw host_error("writing", w < 0 ? errno : EIO, name);
            p += w;
            offset += uint64_t(w);
            left -= uint64_t(w);
        }
        report.bytes += bytes;
        on_bytes_(report.bytes);
    }

    // Links `name` to the place the inode was first extracted, if it was; false when it was
    // not (or the link could not be made: the inode is then extracted again, as a copy).
    bool link_to_first(int dfd, const std::string& name, ext2_ino_t ino)
    {
        auto it = first_link_.find(ino);
        if (it == first_link_.end())
            return false;
        const std::vector<std::string>& path = it->second;
        Fd holder;
        int at = root_fd_;
        for (size_t i = 0; i + 1 < path.size(); i++) {
            Fd next(openat(at, path[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.get() < 0)
                return copied();
            holder = std::move(next);
            at = holder.get();
        }
        if (linkat(at, path.back().c_str(), dfd, name.c_str(), 0) != 0) {
            if (errno == EEXIST)
                throw Refusal{"duplicate name", "a second entry of the same name in its directory"};
            return copied();
        }
        report.hard_links++;
        return true;
    }

    bool copied()
    {
        report.not_kept["hard link (extracted as a copy)"]++;
        return false;
    }

    static dev_t device_number(const Node& n)
    {
        // The old encoding in the first block pointer, the new (with wider numbers) in the second.
        uint32_t old_enc = n.inode().i_block[0], new_enc = n.inode().i_block[1];
        if (old_enc)
            return makedev((old_enc >> 8) & 0xff, old_enc & 0xff);
        return makedev((new_enc & 0xfff00) >> 8, (new_enc & 0xff) | ((new_enc >> 12) & 0xfff00));
    }

    // Owner, extended attributes, mode and times, in that order: a change of owner clears
    // setuid, setgid and file capabilities, and every change touches the times. `fd` is the
    // open entry (a file or directory), or -1 to work by name in `dfd` without following it.
    void meta(int fd, int dfd, const std::string& name, const Node& n, char type)
    {
        uint32_t uid = inode_uid(n.inode()), gid = inode_gid(n.inode());
        bool owner_set;
        if (opt_.as_root) {
            int rc = fd >= 0 ? fchown(fd, uid, gid) : fchownat(dfd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
            owner_set = rc == 0;
            if (!owner_set)
                not_kept("owner", name, errno);
        } else {
            struct stat st;
            int rc = fd >= 0 ? fstat(fd, &st) : fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
            owner_set = rc == 0 && st.st_uid == uid && st.st_gid == gid;
            if (!owner_set)
                report.not_kept["owner (not root)"]++;
        }
        xattrs(fd, dfd, name, n, type);
        if (type != 'l') {
            mode_t mode = n.inode().i_mode & 07777;
            if (!owner_set && type != 'd' && (mode & (S_ISUID | S_ISGID))) {
                // Someone else's setuid program must not become ours.
                mode &= ~mode_t(S_ISUID | S_ISGID);
                report.not_kept["setuid/setgid (owner not set)"]++;
            }
            int rc = fd >= 0 ? fchmod(fd, mode) : fchmodat(dfd, name.c_str(), mode, AT_SYMLINK_NOFOLLOW);
            if (rc != 0)
                not_kept("mode", name, errno);
        }
        struct timespec ts[2] = {inode_time(fs_, n, n.inode().i_atime, &n.inode().i_atime_extra),
                                 inode_time(fs_, n, n.inode().i_mtime, &n.inode().i_mtime_extra)};
        int rc = fd >= 0 ? futimens(fd, ts) : utimensat(dfd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW);
        if (rc != 0)
            not_kept("times", name, errno);
    }

    void xattrs(int fd, int dfd, const std::string& name, const Node& n, char type)
    {
        std::vector<std::pair<std::string, std::string>> all;
        try {
            all = read_xattrs(n, name);
        } catch (const FsDamage& e) {
            report.not_kept["extended attributes (damaged)"]++;
            warn("extended attributes of " + printable_name(name) + " (inode " + std::to_string(n.ino) +
                 ") not extracted: " + e.message());
            return;
        }
        for (const auto& [key, value] : all) {
            bool user = key.rfind("user.", 0) == 0;
            bool acl = key == "system.posix_acl_access" || (key == "system.posix_acl_default" && type == 'd');
            bool privileged = key.rfind("security.", 0) == 0 || key.rfind("trusted.", 0) == 0 || acl;
            if (!user && !privileged)
                continue; // file-system internals (system.data of inline data, ...)
            if (privileged && !opt_.as_root) {
                report.not_kept["extended attribute (not root)"]++;
                continue;
            }
            int rc;
            if (fd >= 0) {
                rc = fsetxattr(fd, key.c_str(), value.data(), value.size(), 0);
            } else {
                // Through the directory's descriptor; the last component is not followed.
                std::string at = "/proc/self/fd/" + std::to_string(dfd) + "/" + name;
                rc = lsetxattr(at.c_str(), key.c_str(), value.data(), value.size(), 0);
            }
            if (rc != 0)
                not_kept("extended attribute " + key, name, errno);
        }
    }

    std::vector<std::pair<std::string, std::string>> read_xattrs(const Node& n, const std::string& from)
    {
        std::vector<std::pair<std::string, std::string>> out;
        if (!ext2fs_has_feature_xattr(fs_.get()->super))
            return out;
        // Nothing outside the inode and no block: no attributes (the common case, read fast).
        bool in_inode = EXT2_INODE_SIZE(fs_.get()->super) > EXT2_GOOD_OLD_INODE_SIZE &&
                        n.inode().i_extra_isize + EXT2_GOOD_OLD_INODE_SIZE + 4u <= EXT2_INODE_SIZE(fs_.get()->super);
        if (in_inode) {
            uint32_t magic;
            memcpy(&magic, reinterpret_cast<const char*>(&n.inode()) + EXT2_GOOD_OLD_INODE_SIZE + n.inode().i_extra_isize,
                   4);
            in_inode = magic == EXT2_EXT_ATTR_MAGIC;
        }
        if (!in_inode && ext2fs_file_acl_block(fs_.get(), plain(n)) == 0)
            return out;
        struct ext2_xattr_handle* h = nullptr;
        fs_.check(ext2fs_xattrs_open(fs_.get(), n.ino, &h), "reading extended attributes", from);
        struct Closer {
            struct ext2_xattr_handle** h;
            ~Closer() { ext2fs_xattrs_close(h); }
        } closer{&h};
        fs_.check(ext2fs_xattrs_read_inode(h, const_cast<ext2_inode_large*>(&n.inode())), "reading extended attributes",
                  from);
        auto cb = [](char* key, char* value, size_t len, void* priv) -> int {
            static_cast<decltype(out)*>(priv)->emplace_back(key, std::string(value, len));
            return 0;
        };
        fs_.check(ext2fs_xattrs_iterate(h, cb, &out), "reading extended attributes", from);
        // POSIX ACLs are stored in a format of their own; libext2fs gives them in the
        // kernel's extended-attribute format only when asked for by name.
        for (auto& [key, value] : out) {
            if (key != "system.posix_acl_access" && key != "system.posix_acl_default")
                continue;
            void* v = nullptr;
            size_t len = 0;
            fs_.check(ext2fs_xattr_get(h, key.c_str(), &v, &len), "reading the ACL", from);
            value.assign(static_cast<const char*>(v), len);
            ext2fs_free_mem(&v);
        }
        return out;
    }

    void not_kept(const std::string& what, const std::string& name, int err)
    {
        report.not_kept[what]++;
        warn(what + " of " + printable_name(name) + " not set: " + strerror(err));
    }

    void refuse(const std::string& reason, const std::string& from, ext2_ino_t ino, const std::string& detail)
    {
        report.refused[reason]++;
        warn("refused " + printable_name(from) + " (inode " + std::to_string(ino) + "): " + detail);
    }

    void skip(const std::string& reason, const std::string& from, ext2_ino_t ino)
    {
        report.skipped[reason]++;
        warn("skipped " + printable_name(from) + " (inode " + std::to_string(ino) + "): " + reason);
    }

    void warn(const std::string& line)
    {
        if (report.warnings.size() < ExtractReport::kMaxWarnings)
            report.warnings.push_back(line);
        else
            report.warnings_dropped++;
    }

    Fs& fs_;
    const ExtractOptions& opt_;
    int root_fd_;
    std::function<void(uint64_t)> on_bytes_;
    uint64_t bs_;
    bool created_ = false;      // the entry being made exists and must go if it is refused
    bool top_created_ = false;  // the first entry was created
    std::vector<char> buf_;
    std::unordered_set<ext2_ino_t> dirs_seen_;
    std::unordered_map<ext2_ino_t, std::vector<std::string>> first_link_;
};

// The name the extracted entry takes in the target directory.
std::string target_name(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed == "/")
        return "root";
    std::string name = trimmed.substr(trimmed.find_last_of('/') + 1);
    if (unsafe_name(name))
        throw Error(Error::Kind::Invalid, "the path to extract must end in a name (not . or ..)", path);
    return name;
}

// What a child process sends its parent.
constexpr char kProgress = 'P';  // "done total"
constexpr char kCreated = 'C';   // the top entry exists in the target
constexpr char kRemoved = 'X';   // the top entry was removed again
constexpr char kResult = 'R';    // the result

// Appends a length-prefixed string, and reads one back (a name may hold any byte).
void put(std::string& out, const std::string& s)
{
    uint64_t n = s.size();
    out.append(reinterpret_cast<const char*>(&n), 8);
    out += s;
}

std::string take(const std::string& in, size_t& pos)
{
    uint64_t n;
    if (in.size() - pos < 8)
        throw Error(Error::Kind::Io, "the reader process sent a malformed listing");
    memcpy(&n, in.data() + pos, 8);
    pos += 8;
    if (in.size() - pos < n)
        throw Error(Error::Kind::Io, "the reader process sent a malformed listing");
    std::string s = in.substr(pos, n);
    pos += n;
    return s;
}

std::vector<FsEntry> list(Repository::BlockReader& backup, const std::string& path)
{
    Fs fs(backup);
    Node n = lookup(fs, path);
    std::vector<FsEntry> out;
    if (!LINUX_S_ISDIR(n.inode().i_mode)) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        out.push_back(entry_of(fs, n, name, path));
        return out;
    }
    for (auto& [name, ino] : dir_entries(fs, n.ino, path, nullptr)) {
        try {
            out.push_back(entry_of(fs, read_node(fs, ino, child(path, name)), name, child(path, name)));
        } catch (const FsDamage&) {
            FsEntry e; // an entry whose inode cannot be read: listed, of no known type
            e.name = name;
            out.push_back(e);
        }
    }
    return out;
}

// The runs of device blocks `n` owns, merged where they touch. At most as many steps as the
// file system has blocks: a hostile map cannot make the walk endless.
std::vector<std::pair<uint64_t, uint64_t>> owned_blocks(Fs& fs, const Node& n, const std::string& path)
{
    struct Walk {
        std::vector<std::pair<uint64_t, uint64_t>> runs;
        uint64_t fs_blocks, steps = 0;
        bool too_many = false;
    } w{{}, ext2fs_blocks_count(fs.get()->super)};
    if (!ext2fs_inode_has_valid_blocks2(fs.get(), plain(n)))
        return {};
    auto cb = [](ext2_filsys, blk64_t* block, e2_blkcnt_t, blk64_t, int, void* priv) -> int {
        auto* w = static_cast<Walk*>(priv);
        if (++w->steps > w->fs_blocks) {
            w->too_many = true;
            return BLOCK_ABORT;
        }
        uint64_t b = *block;
        if (b == 0 || b >= w->fs_blocks)
            return 0;
        if (!w->runs.empty() && w->runs.back().first + w->runs.back().second == b)
            w->runs.back().second++;
        else
            w->runs.emplace_back(b, 1);
        return 0;
    };
    errcode_t err = ext2fs_block_iterate3(fs.get(), n.ino, BLOCK_FLAG_READ_ONLY, nullptr, cb, &w);
    fs.check(err, "reading the block map", path);
    if (w.too_many)
        throw FsDamage("a block map larger than the file system", path);
    return std::move(w.runs);
}

std::vector<FsNode> walk(Repository::BlockReader& backup)
{
    Fs fs(backup);
    std::vector<FsNode> out;
    std::unordered_set<ext2_ino_t> entered;
    // Depth first with an explicit stack, so that a deep tree cannot exhaust the call stack.
    std::vector<std::pair<std::string, ext2_ino_t>> todo{{"/", EXT2_ROOT_INO}};
    while (!todo.empty()) {
        auto [path, ino] = todo.back();
        todo.pop_back();
        FsNode node;
        node.path = path;
        node.entry.name = path == "/" ? "/" : path.substr(path.find_last_of('/') + 1);
        Node n;
        try {
            n = read_node(fs, ino, path);
            node.entry = entry_of(fs, n, node.entry.name, path);
            node.ctime = static_cast<int32_t>(n.inode().i_ctime);
            node.blocks = owned_blocks(fs, n, path);
        } catch (const FsDamage&) {
            node.entry.type = '?';
            out.push_back(std::move(node));
            continue;
        }
        out.push_back(node);
        if (node.entry.type != 'd' || !entered.insert(ino).second)
            continue;
        std::string damaged;
        auto entries = dir_entries(fs, ino, path, &damaged);
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
            todo.emplace_back(child(path, it->first), it->second);
    }
    return out;
}

void put_node(std::string& msg, const FsNode& n)
{
    const FsEntry& e = n.entry;
    put(msg, n.path);
    put(msg, e.name);
    put(msg, std::string(1, e.type));
    for (uint64_t v : {uint64_t(e.mode), e.size, uint64_t(e.mtime), uint64_t(e.uid), uint64_t(e.gid), uint64_t(n.ctime),
                       uint64_t(n.blocks.size())})
        put(msg, std::to_string(v));
    put(msg, e.link_target);
    for (const auto& [first, count] : n.blocks) {
        put(msg, std::to_string(first));
        put(msg, std::to_string(count));
    }
}

FsNode take_node(const std::string& msg, size_t& pos)
{
    FsNode n;
    FsEntry& e = n.entry;
    n.path = take(msg, pos);
    e.name = take(msg, pos);
    e.type = take(msg, pos).c_str()[0];
    auto number = [&] { return std::stoull(take(msg, pos)); };
    e.mode = static_cast<uint32_t>(number());
    e.size = number();
    e.mtime = static_cast<int64_t>(number());
    e.uid = static_cast<uint32_t>(number());
    e.gid = static_cast<uint32_t>(number());
    n.ctime = static_cast<int64_t>(number());
    uint64_t runs = number();
    e.link_target = take(msg, pos);
    if (runs > (msg.size() - pos) / 16)
        throw Error(Error::Kind::Io, "the reader process sent a malformed listing");
    for (uint64_t i = 0; i < runs; i++) {
        uint64_t first = number();
        n.blocks.emplace_back(first, number());
    }
    return n;
}

} // namespace

std::vector<FsNode> fs_walk(Repository::BlockReader& backup, bool isolate)
{
    if (!isolate)
        return walk(backup);
    std::vector<FsNode> out;
    run_isolated(
        "reading the file system of backup " + backup.manifest().id,
        [&](ChildPipe& pipe) {
            // In batches: a pipe message has a size limit, a file system does not.
            std::string msg;
            for (const FsNode& n : walk(backup)) {
                put_node(msg, n);
                if (msg.size() > (1u << 20)) {
                    pipe.send(kResult, msg);
                    msg.clear();
                }
            }
            if (!msg.empty())
                pipe.send(kResult, msg);
        },
        [&](char tag, const std::string& msg) {
            if (tag != kResult)
                return;
            for (size_t pos = 0; pos < msg.size();)
                out.push_back(take_node(msg, pos));
        });
    return out;
}

std::vector<FsEntry> fs_list(Repository::BlockReader& backup, const std::string& path, bool isolate)
{
    if (!isolate)
        return list(backup, path);
    std::vector<FsEntry> out;
    run_isolated(
        "reading the file system of backup " + backup.manifest().id,
        [&](ChildPipe& pipe) {
            std::string msg;
            for (const FsEntry& e : list(backup, path)) {
                put(msg, e.name);
                put(msg, std::string(1, e.type));
                for (uint64_t v : {uint64_t(e.mode), e.size, uint64_t(e.mtime), uint64_t(e.uid), uint64_t(e.gid)})
                    put(msg, std::to_string(v));
                put(msg, e.link_target);
            }
            pipe.send(kResult, msg);
        },
        [&](char tag, const std::string& msg) {
            if (tag != kResult)
                return;
            for (size_t pos = 0; pos < msg.size();) {
                FsEntry e;
                e.name = take(msg, pos);
                e.type = take(msg, pos).c_str()[0];
                e.mode = static_cast<uint32_t>(std::stoull(take(msg, pos)));
                e.size = std::stoull(take(msg, pos));
                e.mtime = static_cast<int64_t>(std::stoull(take(msg, pos)));
                e.uid = static_cast<uint32_t>(std::stoull(take(msg, pos)));
                e.gid = static_cast<uint32_t>(std::stoull(take(msg, pos)));
                e.link_target = take(msg, pos);
                out.push_back(std::move(e));
            }
        });
    return out;
}

ExtractReport fs_extract(Repository::BlockReader& backup, const std::string& path, const std::string& to_dir,
                         const ExtractOptions& options)
{
    std::string name = target_name(path);
    Fd root(open(to_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0)
        throw Error(Error::Kind::NotFound, "extract target is not a directory", to_dir);
    struct stat st;
    std::string target = to_dir + (to_dir.empty() || to_dir.back() == '/' ? "" : "/") + name;
    if (fstatat(root.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        throw Error(Error::Kind::Exists, "extract target exists", target);

    // The work itself, in this process or a child. `send` reports to whoever waits.
    auto work = [&](const std::function<void(char, const std::string&)>& send) {
        Fs fs(backup);
        Node n = lookup(fs, path);
        // The bytes to write, for the progress figure: the used blocks of the file system.
        uint64_t total = (ext2fs_blocks_count(fs.get()->super) - ext2fs_free_blocks_count(fs.get()->super)) *
                         uint64_t(fs.get()->blocksize);
        uint64_t last = 0;
        Extractor x(fs, options, root.get(), [&](uint64_t done) {
            if (done - last >= (4u << 20)) {
                last = done;
                send(kProgress, std::to_string(done) + " " + std::to_string(total));
            }
        });
        bool made = false; // the top entry is ours: only then may it be removed
        x.on_top_created = [&] {
            made = true;
            send(kCreated, "");
        };
        std::vector<std::string> rel;
        try {
            x.entry(root.get(), rel, name, n.ino, path, 0);
            if (syncfs(root.get()) != 0)
                throw host_error("making the extracted files durable", errno, target);
        } catch (...) {
            if (made) {
                remove_tree(root.get(), name);
                send(kRemoved, "");
            }
            throw;
        }
        if (fstatat(root.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            send(kRemoved, ""); // the top entry itself was refused or skipped
        return x.report;
    };

    ExtractReport report;
    bool created = false;
    auto on_message = [&](char tag, const std::string& msg) {
        if (tag == kProgress && options.progress) {
            uint64_t done = 0, total = 0;
            size_t space = msg.find(' ');
            if (space != std::string::npos) {
                done = std::stoull(msg.substr(0, space));
                total = std::stoull(msg.substr(space + 1));
                options.progress(done, total);
            }
        } else if (tag == kCreated) {
            created = true;
        } else if (tag == kRemoved) {
            created = false;
        } else if (tag == kResult) {
            report = extract_report_from_json(nlohmann::json::parse(msg));
        }
    };
    if (!options.isolate) {
        report = work(on_message);
        return report;
    }
    try {
        run_isolated("reading the file system of backup " + backup.manifest().id,
                     [&](ChildPipe& pipe) {
                         ExtractReport r = work([&](char tag, const std::string& msg) { pipe.send(tag, msg); });
                         pipe.send(kResult,
                                   to_json(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
                     },
                     on_message);
    } catch (...) {
        // The child died before it could clean up: what it created goes here.
        if (created)
            remove_tree(root.get(), name);
        throw;
    }
    return report;
}

} // namespace repo
