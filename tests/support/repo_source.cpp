#include "tests/support/repo_source.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

#include <ext2fs/ext2fs.h>

namespace repo_test {

Device::Device(uint32_t bs, uint64_t n) : block_size(bs), blocks(n), data(size_t(bs) * n, 0), used(n, false) {}

void Device::write(uint64_t b, uint32_t seed)
{
    std::mt19937 rng(seed * 2654435761u + static_cast<uint32_t>(b));
    uint8_t* p = block(b);
    // Half random, half a pattern: compressible like real data, and unique per seed and block.
    for (uint32_t i = 0; i < block_size; i++)
        p[i] = i < block_size / 2 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(i ^ seed);
    used[b] = true;
}

std::vector<uint8_t> Device::expected_image() const
{
    std::vector<uint8_t> out(data.size(), 0);
    for (uint64_t b = 0; b < blocks; b++)
        if (used[b])
            memcpy(out.data() + b * block_size, block(b), block_size);
    return out;
}

Device random_device(uint32_t block_size, uint64_t blocks, double used_fraction, uint32_t seed)
{
    Device d(block_size, blocks);
    std::mt19937 rng(seed);
    for (uint64_t b = 0; b < blocks; b++)
        if (std::uniform_real_distribution<double>(0, 1)(rng) < used_fraction)
            d.write(b, seed);
    return d;
}

std::string write_backup(repo::Repository& r, const Device& dev, const BackupPlan& plan)
{
    repo::SourceInfo src;
    src.source = plan.source;
    src.fs_type = plan.fs_type;
    src.block_size = dev.block_size;
    src.block_count = dev.blocks;
    src.sector_count = dev.blocks * dev.block_size / 512;
    auto w = r.begin_backup(src, plan.parent, plan.threads);
    if (plan.check_all_reused)
        w->check_all_reused();
    for (uint64_t b = 0; b < dev.blocks; b++) {
        if (!dev.used[b])
            continue;
        if (plan.parent && !plan.changed.count(b))
            w->keep(b, 1);
        else
            w->put(b, std::span(dev.block(b), dev.block_size));
    }
    repo::CommitInfo info;
    info.snapshot_time = plan.snapshot_time;
    info.incremental = plan.parent.has_value();
    info.module_stats = {{"diskReads", 1}};
    info.host = plan.host;
    info.tags = plan.tags;
    for (size_t i = 0; i < info.session_key.size(); i++)
        info.session_key[i] = static_cast<uint8_t>(i + plan.snapshot_time);
    return w->commit(info);
}

std::vector<uint8_t> restore_image(repo::Repository& r, repo::Env& env, const std::string& id,
                                   const std::string& target)
{
    r.restore(id, target);
    std::string s = env.read_file(target);
    env.remove(target);
    return {s.begin(), s.end()};
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/kestrel-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void make_tree(const std::string& dir, uint32_t seed, int files)
{
    namespace fs = std::filesystem;
    std::mt19937 rng(seed);
    fs::create_directories(dir + "/etc/conf.d");
    fs::create_directories(dir + "/data/deep/deeper");
    const char* dirs[] = {"", "/etc", "/etc/conf.d", "/data", "/data/deep", "/data/deep/deeper"};
    for (int i = 0; i < files; i++) {
        std::string path = dir + dirs[rng() % 6] + "/file" + std::to_string(i) + ".bin";
        // Sizes from empty to a few hundred KiB, most small.
        size_t size = (rng() % 4 == 0) ? rng() % 300000 : rng() % 5000;
        std::string bytes(size, '\0');
        for (size_t k = 0; k < size; k++)
            bytes[k] = static_cast<char>(k % 7 == 0 ? rng() : 'a' + (k + i) % 26);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    }
    std::ofstream(dir + "/empty");
    {
        std::ofstream sparse(dir + "/data/sparse", std::ios::binary);
        sparse.seekp(1 << 20);
        sparse.write("end", 3);
    }
    fs::create_symlink("etc/conf.d", dir + "/link-to-conf");
    fs::create_symlink(std::string(200, 'x'), dir + "/long-link"); // a slow symlink
    fs::permissions(dir + "/etc", fs::perms(0750));
}

Device load_ext_image(const std::string& image, uint32_t block_size)
{
    std::string bytes = read_host_file(image);
    Device d(block_size, bytes.size() / block_size);
    memcpy(d.data.data(), bytes.data(), d.data.size());
    ext2_filsys fs = nullptr;
    if (ext2fs_open(image.c_str(), EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs))
        throw std::runtime_error("cannot open " + image + " with libext2fs");
    if (ext2fs_read_block_bitmap(fs)) {
        ext2fs_close_free(&fs);
        throw std::runtime_error("cannot read the block bitmap of " + image);
    }
    uint64_t first = fs->super->s_first_data_block;
    for (uint64_t b = 0; b < d.blocks; b++)
        d.used[b] = b < first || (b < ext2fs_blocks_count(fs->super) && ext2fs_test_block_bitmap2(fs->block_map, b));
    ext2fs_close_free(&fs);
    return d;
}

Device make_ext_image(const std::string& image, const std::string& type, uint32_t block_size, uint64_t blocks,
                      const std::string& tree)
{
    std::string out;
    std::string cmd = "mkfs.ext4 -q -F -t " + type + " -b " + std::to_string(block_size) + " -d '" + tree + "' '" +
                      image + "' " + std::to_string(blocks);
    if (run(cmd, &out) != 0)
        throw std::runtime_error(cmd + " failed: " + out);
    return load_ext_image(image, block_size);
}

std::string read_host_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int run(const std::string& command, std::string* output)
{
    std::string cmd = "PATH=$PATH:/sbin:/usr/sbin " + command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (output)
            output->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void rename_entry(const std::string& image, uint32_t ino, const std::string& from, const std::string& to)
{
    if (from.size() != to.size())
        throw std::runtime_error("rename_entry: names of different lengths");
    std::string bytes = read_host_file(image);
    std::string head(reinterpret_cast<const char*>(&ino), 4);
    size_t hits = 0;
    for (size_t at = bytes.find(head); at != std::string::npos; at = bytes.find(head, at + 1)) {
        if (at + 8 + from.size() > bytes.size() || uint8_t(bytes[at + 6]) != from.size() ||
            bytes.compare(at + 8, from.size(), from) != 0)
            continue;
        bytes.replace(at + 8, to.size(), to);
        hits++;
    }
    if (hits != 1)
        throw std::runtime_error("rename_entry: " + std::to_string(hits) + " entries named " + from);
    std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string word_after(const std::string& text, const std::string& key, size_t from)
{
    size_t at = text.find(key, from);
    if (at == std::string::npos)
        return "";
    at += key.size();
    while (at < text.size() && isspace(static_cast<unsigned char>(text[at])))
        at++;
    size_t end = at;
    while (end < text.size() && !isspace(static_cast<unsigned char>(text[end])))
        end++;
    return text.substr(at, end - at);
}

uint32_t inode_of(const std::string& image, const std::string& path)
{
    std::string out;
    run("debugfs -R 'stat \"" + path + "\"' " + image, &out);
    std::string ino = word_after(out, "Inode:");
    if (ino.empty())
        throw std::runtime_error("no inode for " + path + ": " + out);
    return std::stoul(ino);
}

} // namespace repo_test
