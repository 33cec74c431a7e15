#include "machine/image_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace demo {

namespace {

constexpr uint64_t kSector = 512;

// Up to n bytes of the file at offset; fewer past its end.
std::vector<unsigned char> read_at(int fd, uint64_t offset, size_t n)
{
    std::vector<unsigned char> buf(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, buf.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    buf.resize(got);
    return buf;
}

bool has(const std::vector<unsigned char>& b, size_t at, const char* magic)
{
    const size_t n = strlen(magic);
    return b.size() >= at + n && memcmp(b.data() + at, magic, n) == 0;
}

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

struct FsFound {
    std::string type;    // "" when nothing known was found
    uint64_t bytes = 0;  // the size the file system says it has (0: not known)
};

// The file system that starts at `offset`, by its signature: ext2/3/4 with its size from
// the superblock, or a few common others by name.
FsFound probe_fs(int fd, uint64_t offset)
{
    const std::vector<unsigned char> b = read_at(fd, offset, 0x10100);
    if (b.size() >= 1024 + 0x158 && b[1024 + 56] == 0x53 && b[1024 + 57] == 0xEF) {
        const unsigned char* sb = b.data() + 1024;
        const uint32_t log = le32(sb + 24);
        const uint32_t compat = le32(sb + 0x5C), incompat = le32(sb + 0x60);
        uint64_t blocks = le32(sb + 4);
        if (incompat & 0x80) // 64-bit block numbers
            blocks |= uint64_t(le32(sb + 0x150)) << 32;
        const char* type = (incompat & 0x2C0) ? "ext4" : (compat & 0x4) ? "ext3" : "ext2";
        return {type, log <= 6 ? blocks * (1024ull << log) : 0};
    }
    if (has(b, 0, "XFSB"))
        return {"XFS", 0};
    if (has(b, 0x10040, "_BHRfS_M"))
        return {"Btrfs", 0};
    if (has(b, 3, "NTFS    "))
        return {"NTFS", 0};
    if (has(b, 3, "EXFAT   "))
        return {"exFAT", 0};
    if (has(b, 82, "FAT32") || has(b, 54, "FAT1") || has(b, 54, "FAT "))
        return {"FAT", 0};
    if (has(b, 4086, "SWAPSPACE2"))
        return {"swap", 0};
    if (has(b, 0x8001, "CD001"))
        return {"ISO 9660", 0};
    return {};
}

std::string sectors_text(uint64_t s) { return std::to_string(s) + " sector" + (s == 1 ? "" : "s"); }

bool is_extended(unsigned char type) { return type == 0x05 || type == 0x0F || type == 0x85; }

} // namespace

std::string explain_partition(const std::string& path, unsigned partition, std::string* foreign_type)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    const off_t end = lseek(fd, 0, SEEK_END);
    const uint64_t image_sectors = end > 0 ? uint64_t(end) / kSector : 0;
    const std::string p = "partition " + std::to_string(partition);

    // A file system at the very start: a FAT boot sector ends in the MBR's signature too,
    // so file systems are looked for before the table.
    const FsFound bare = probe_fs(fd, 0);
    if (!bare.type.empty())
        return path + " is a bare " + bare.type +
               " file system, not a disk with a partition table: put it in partition 1 of a disk image with an "
               "MBR (e.g. made with sfdisk, the file system copied in at the partition's start with dd) and back up "
               "that partition";

    const std::vector<unsigned char> mbr = read_at(fd, 0, 2 * kSector);
    if (mbr.size() < kSector || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return path + " has no MBR partition table (nor a file system at its start): give a disk image whose "
                      "sector 0 holds an MBR with primary partitions";
    struct Entry {
        unsigned char type;
        uint64_t start, sectors;
    } e[4];
    for (unsigned i = 0; i < 4; i++) {
        const unsigned char* x = mbr.data() + 446 + 16 * i;
        e[i] = {x[4], le32(x + 8), le32(x + 12)};
    }
    for (const Entry& x : e)
        if (x.type == 0xEE)
            return path + " is a GPT disk; only MBR partition tables are read: back up a copy converted to MBR "
                          "(sgdisk --gpt-to-mbr on the copy) or copy the partition into an MBR disk image";
    if (partition > 4) {
        for (unsigned i = 0; i < 4; i++)
            if (is_extended(e[i].type))
                return p + " of " + path + " is a logical partition inside extended partition " +
                       std::to_string(i + 1) + "; only primary partitions 1-4 can be backed up: move the file "
                       "system to a primary partition (or copy it into one of another disk image)";
        return path + " has no " + p + ": its MBR holds primary partitions 1-4 only, and no extended one";
    }
    const Entry& x = e[partition - 1];
    if (x.type == 0 || x.sectors == 0) {
        std::string used;
        for (unsigned i = 0; i < 4; i++)
            if (e[i].type && e[i].sectors)
                used += (used.empty() ? "" : ", ") + std::to_string(i + 1);
        return path + " has no " + p + (used.empty() ? ": its MBR lists no partition"
                                                     : ": its MBR lists partition" +
                                                           std::string(used.size() > 1 ? "s " : " ") + used);
    }
    if (is_extended(x.type))
        return p + " of " + path + " is an extended partition, a container of logical partitions with no file "
                                   "system of its own: back up a primary partition instead";
    if (x.start >= image_sectors)
        return p + " of " + path + " starts at sector " + std::to_string(x.start) + ", past the end of the image (" +
               sectors_text(image_sectors) + "): the image is cut short or its partition table is wrong";
    const FsFound fs = probe_fs(fd, x.start * kSector);
    if (x.start + x.sectors > image_sectors)
        return p + " of " + path + " runs past the end of the image (it ends at sector " +
               std::to_string(x.start + x.sectors) + ", the image has " + sectors_text(image_sectors) +
               "): the image is cut short; copy the whole disk again";
    if (fs.type.empty())
        return p + " of " + path + " holds no file system known here (neither ext2/3/4 nor another recognised "
                                   "one): check the partition number";
    if (fs.bytes == 0) {
        if (foreign_type)
            *foreign_type = fs.type;
        return p + " of " + path + " holds a file system of type " + fs.type +
               ", which kestrel cannot read: it is backed up raw, every block of the partition";
    }
    if (fs.bytes > x.sectors * kSector)
        return p + " of " + path + " holds an " + fs.type + " file system of " + std::to_string(fs.bytes) +
               " bytes, larger than the partition (" + std::to_string(x.sectors * kSector) +
               " bytes): grow the partition to the file system's size, or shrink the file system (resize2fs) "
               "before backing it up";
    return "";
}

} // namespace demo
