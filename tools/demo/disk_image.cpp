#include "tools/demo/disk_image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>

extern char** environ;

namespace demo {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string errno_text(int err) { return std::string(strerror(err)); }

// An open host file, closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd(const std::string& path, int flags, mode_t mode = 0644) : fd(::open(path.c_str(), flags | O_CLOEXEC, mode))
    {
        if (fd < 0)
            fail("cannot open " + path + ": " + errno_text(errno));
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

void pwrite_all(int fd, const void* buf, size_t len, uint64_t off, const std::string& path)
{
    const char* p = static_cast<const char*>(buf);
    while (len) {
        ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("cannot write " + path + ": " + errno_text(errno));
        p += n;
        len -= static_cast<size_t>(n);
        off += static_cast<uint64_t>(n);
    }
}

bool pread_all(int fd, void* buf, size_t len, uint64_t off)
{
    char* p = static_cast<char*>(buf);
    while (len) {
        ssize_t n = ::pread(fd, p, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
        off += static_cast<uint64_t>(n);
    }
    return true;
}

std::string find_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    std::string dirs = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    dirs += ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string cand = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(cand.c_str(), X_OK) == 0)
            return cand;
        start = end + 1;
    }
    return "";
}

// Everything libext2fs's iterators collect, passed through their void* arguments.
struct Walk {
    ext2_filsys fs;
    std::vector<FileInfo>* files;
    std::string dir;
    errcode_t err = 0;
};

int collect_block(ext2_filsys, blk64_t* blocknr, e2_blkcnt_t blockcnt, blk64_t, int, void* priv)
{
    auto* blocks = static_cast<std::vector<uint64_t>*>(priv);
    if (blockcnt < 0)
        return 0;
    if (blocks->size() <= static_cast<size_t>(blockcnt))
        blocks->resize(static_cast<size_t>(blockcnt) + 1, 0);
    (*blocks)[static_cast<size_t>(blockcnt)] = *blocknr;
    return 0;
}

void walk_dir(Walk& w, ext2_ino_t dir);

int visit_entry(ext2_ino_t, int, struct ext2_dir_entry* dirent, int, int, char*, void* priv)
{
    auto* w = static_cast<Walk*>(priv);
    int len = ext2fs_dirent_name_len(dirent);
    std::string name(dirent->name, static_cast<size_t>(len));
    if (name == "." || name == "..")
        return 0;
    struct ext2_inode inode;
    if ((w->err = ext2fs_read_inode(w->fs, dirent->inode, &inode)))
        return DIRENT_ABORT;
    std::string path = w->dir + "/" + name;
    if (LINUX_S_ISDIR(inode.i_mode)) {
        Walk sub{w->fs, w->files, path, 0};
        walk_dir(sub, dirent->inode);
        if ((w->err = sub.err))
            return DIRENT_ABORT;
    } else if (LINUX_S_ISREG(inode.i_mode)) {
        FileInfo f;
        f.path = path;
        f.size = EXT2_I_SIZE(&inode);
        if (!(inode.i_flags & EXT4_INLINE_DATA_FL) &&
            (w->err = ext2fs_block_iterate3(w->fs, dirent->inode, BLOCK_FLAG_DATA_ONLY | BLOCK_FLAG_READ_ONLY,
                                            nullptr, collect_block, &f.blocks)))
            return DIRENT_ABORT;
        w->files->push_back(std::move(f));
    }
    return 0;
}

void walk_dir(Walk& w, ext2_ino_t dir)
{
    errcode_t err = ext2fs_dir_iterate2(w.fs, dir, 0, nullptr, visit_entry, &w);
    if (err && !w.err)
        w.err = err;
}

} // namespace

uint64_t populate_tree(const std::string& dir, unsigned files, uint64_t seed, uint64_t max_file_bytes)
{
    std::mt19937_64 rng(seed);
    uint64_t total = 0;
    const char* dirs[] = {"", "docs", "docs/old", "src", "src/lib", "data", "data/raw", "logs"};
    for (const char* d : dirs)
        std::filesystem::create_directories(std::filesystem::path(dir) / d);
    for (unsigned i = 0; i < files; i++) {
        // Mostly small files, some of a few blocks, a few large ones; some empty.
        uint64_t size;
        switch (rng() % 8) {
        case 0: size = 0; break;
        case 1: case 2: size = rng() % 200; break;
        case 3: case 4: size = rng() % 8192; break;
        case 5: case 6: size = rng() % 65536; break;
        default: size = rng() % (max_file_bytes + 1); break;
        }
        std::filesystem::path name = std::filesystem::path(dir) / dirs[rng() % std::size(dirs)] /
                                     ("file" + std::to_string(i) + (i % 3 ? ".bin" : ".txt"));
        std::vector<char> data(size);
        if (i % 3) {
            for (auto& c : data)
                c = static_cast<char>(rng());
        } else {
            for (size_t j = 0; j < size; j++)
                data[j] = "kestrel backs up blocks. "[(j + i) % 25];
        }
        std::ofstream out(name, std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(size));
        if (!out)
            fail("cannot write " + name.string());
        total += size;
    }
    return total;
}

CheckResult run_program(const std::vector<std::string>& argv)
{
    CheckResult r;
    std::string prog = find_program(argv.at(0));
    if (prog.empty()) {
        r.output = argv[0] + ": not found";
        return r;
    }
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        r.output = "pipe: " + errno_text(errno);
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args[0] = const_cast<char*>(prog.c_str());
    args.push_back(nullptr);
    pid_t pid;
    int err = posix_spawn(&pid, prog.c_str(), &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    if (err) {
        ::close(pipefd[0]);
        r.output = prog + ": " + errno_text(err);
        return r;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            r.output.append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

void make_file_system(const std::string& path, const FsSpec& spec)
{
    {
        Fd f(path, O_RDWR | O_CREAT | O_TRUNC);
        if (ftruncate(f.fd, static_cast<off_t>(spec.bytes)) != 0)
            fail("cannot size " + path + ": " + errno_text(errno));
    }
    std::vector<std::string> argv = {"mkfs." + spec.type, "-q", "-F", "-b", std::to_string(spec.block_size)};
    if (!spec.source_dir.empty()) {
        argv.push_back("-d");
        argv.push_back(spec.source_dir);
    }
    argv.push_back(path);
    CheckResult r = run_program(argv);
    if (r.exit_code != 0) {
        std::string out = r.output.substr(0, r.output.find('\n'));
        fail("mkfs." + spec.type + " failed on " + path + (out.empty() ? "" : ": " + out));
    }
}

std::vector<sim::Partition> make_disk_image(const std::string& path, const std::vector<FsSpec>& file_systems)
{
    constexpr uint64_t kAlign = 2048; // sectors: 1 MiB
    std::vector<sim::Partition> parts;
    uint64_t next = kAlign;
    for (const FsSpec& fs : file_systems) {
        uint64_t sectors = fs.bytes / 512;
        parts.push_back({next, sectors});
        next = (next + sectors + kAlign - 1) / kAlign * kAlign;
    }
    Fd disk(path, O_RDWR | O_CREAT | O_TRUNC);
    if (ftruncate(disk.fd, static_cast<off_t>(next * 512)) != 0)
        fail("cannot size " + path + ": " + errno_text(errno));
    auto mbr = sim::make_mbr(parts);
    pwrite_all(disk.fd, mbr.data(), mbr.size(), 0, path);

    for (size_t i = 0; i < file_systems.size(); i++) {
        std::string tmp = path + ".part" + std::to_string(i + 1);
        make_file_system(tmp, file_systems[i]);
        {
            // Copied in chunks; chunks of zeros are left as holes, so the image stays sparse.
            Fd src(tmp, O_RDONLY);
            std::vector<char> chunk(1 << 20);
            for (uint64_t off = 0; off < file_systems[i].bytes; off += chunk.size()) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), file_systems[i].bytes - off));
                if (!pread_all(src.fd, chunk.data(), n, off))
                    fail("cannot read " + tmp + ": " + errno_text(errno));
                bool zero = std::all_of(chunk.begin(), chunk.begin() + static_cast<long>(n), [](char c) { return c == 0; });
                if (!zero)
                    pwrite_all(disk.fd, chunk.data(), n, parts[i].start_sect * 512 + off, path);
            }
        }
        unlink(tmp.c_str());
    }
    return parts;
}

std::vector<FileInfo> list_files(ext2_filsys fs)
{
    std::vector<FileInfo> files;
    Walk w{fs, &files, "", 0};
    walk_dir(w, EXT2_ROOT_INO);
    if (w.err)
        fail("cannot list the files: " + agent::ext_error_text(w.err));
    return files;
}

std::vector<uint8_t> read_file(ext2_filsys fs, const std::string& path)
{
    ext2_ino_t ino;
    errcode_t err = ext2fs_namei(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path.c_str(), &ino);
    if (err)
        fail("cannot find " + path + ": " + agent::ext_error_text(err));
    ext2_file_t file;
    if ((err = ext2fs_file_open(fs, ino, 0, &file)))
        fail("cannot open " + path + ": " + agent::ext_error_text(err));
    std::vector<uint8_t> out(ext2fs_file_get_size(file));
    size_t done = 0;
    while (done < out.size()) {
        unsigned int got = 0;
        unsigned int want = static_cast<unsigned int>(std::min<size_t>(out.size() - done, 1 << 20));
        if ((err = ext2fs_file_read(file, out.data() + done, want, &got)) || got == 0)
            break;
        done += got;
    }
    ext2fs_file_close(file);
    if (err || done != out.size())
        fail("cannot read " + path + (err ? ": " + agent::ext_error_text(err) : ": short read"));
    return out;
}

std::map<std::string, std::vector<uint8_t>> read_all_files(ext2_filsys fs)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (const FileInfo& f : list_files(fs))
        out[f.path] = read_file(fs, f.path);
    return out;
}

std::vector<std::string> differing_files(ext2_filsys a, ext2_filsys b)
{
    auto fa = read_all_files(a), fb = read_all_files(b);
    std::vector<std::string> out;
    for (const auto& [path, data] : fa) {
        auto it = fb.find(path);
        if (it == fb.end() || it->second != data)
            out.push_back(path);
    }
    for (const auto& [path, data] : fb)
        if (!fa.count(path))
            out.push_back(path);
    return out;
}

DemoDisk make_demo_disk(const std::string& dir, uint64_t seed, unsigned files, uint64_t ext4_bytes,
                        uint64_t ext2_bytes)
{
    DemoDisk d;
    const std::string tree = dir + "/tree";
    populate_tree(tree, files, seed);
    d.files = files;
    d.image = dir + "/disk.img";
    d.file_systems = {{"ext4", 4096, ext4_bytes, tree}, {"ext2", 1024, ext2_bytes, tree + "/docs"}};
    d.partitions = make_disk_image(d.image, d.file_systems);
    return d;
}

std::vector<FileInfo> partition_files(const DemoDisk& d, size_t i)
{
    const FsSpec& spec = d.file_systems.at(i);
    agent::ExtSource src(file_reader(d.image, d.partitions.at(i).start_sect * 512, spec.block_size), spec.block_size,
                         spec.bytes / spec.block_size);
    if (!src.fs())
        fail("cannot read the file system of partition " + std::to_string(i + 1) + " of " + d.image + ": " +
             agent::ext_error_text(src.error()));
    return list_files(src.fs());
}

agent::BlockReadFn memory_reader(const std::vector<uint8_t>& image, uint32_t block_size)
{
    return [&image, block_size](uint32_t first, uint32_t count, uint8_t* out) {
        uint64_t off = uint64_t(first) * block_size, len = uint64_t(count) * block_size;
        if (off + len > image.size())
            return -EIO;
        memcpy(out, image.data() + off, len);
        return 0;
    };
}

agent::BlockReadFn file_reader(const std::string& path, uint64_t offset, uint32_t block_size)
{
    auto fd = std::make_shared<Fd>(path, O_RDONLY);
    return [fd, offset, block_size](uint32_t first, uint32_t count, uint8_t* out) {
        return pread_all(fd->fd, out, size_t(count) * block_size, offset + uint64_t(first) * block_size) ? 0 : -EIO;
    };
}

CheckResult check_file_system(const std::string& path) { return run_program({"e2fsck", "-fn", path}); }

} // namespace demo
