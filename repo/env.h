// The file operations of the repository, behind one interface, so that tests can fail any
// of them, fill the disk or crash and drop what was not synced. Every operation throws
// repo::Error on failure (Kind::NoSpace for a full disk, Kind::NotFound for a missing file,
// Kind::Io otherwise) and is safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "repo/error.h"

namespace repo {

// A file open for writing. Data is durable only after sync().
class WritableFile {
public:
    virtual ~WritableFile() = default;
    // Writes `n` bytes at `offset` (the file grows as needed; a gap reads as zeros).
    virtual void write_at(uint64_t offset, const void* data, size_t n) = 0;
    // Appends at the end of what this handle wrote so far.
    void append(const void* data, size_t n)
    {
        write_at(end_, data, n);
        end_ += n;
    }
    // Sets the file's length (a longer file reads as zeros past its data: sparse).
    virtual void truncate(uint64_t size) = 0;
    // Makes the file's contents durable.
    virtual void sync() = 0;
    // Closes the handle (also done by the destructor, which never throws).
    virtual void close() = 0;

private:
    uint64_t end_ = 0;
};

// A file open for reading.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    virtual uint64_t size() = 0;
    // Reads up to `n` bytes at `offset`; returns how many were read (fewer only at the end).
    virtual size_t read_at(uint64_t offset, void* data, size_t n) = 0;
};

// Held until destroyed.
class FileLock {
public:
    virtual ~FileLock() = default;
};

// What a path names, its symbolic links followed.
enum class FileType { Missing, Regular, Directory, BlockDevice, Other };

struct FileInfo {
    FileType type = FileType::Missing;
    uint32_t mode = 0;  // permission bits (07777)
};

class Env {
public:
    virtual ~Env() = default;

    // Creates `path` (truncating an existing file) for writing.
    virtual std::unique_ptr<WritableFile> create(const std::string& path) = 0;
    virtual std::unique_ptr<ReadableFile> open_read(const std::string& path) = 0;
    // The whole file. Error::NotFound when it does not exist.
    std::string read_file(const std::string& path);
    // Writes `data` to `path` under a temporary name, syncs it and renames it over `path`,
    // then syncs the directory.
    void write_file_atomic(const std::string& path, const std::string& data);

    virtual bool exists(const std::string& path) = 0;
    virtual bool is_dir(const std::string& path) = 0;
    // Replaces `to` if it exists.
    virtual void rename(const std::string& from, const std::string& to) = 0;
    // Renames only when `to` does not exist: Error::Exists otherwise. The check and the
    // rename are one step, so of two renames to one name at once exactly one succeeds.
    virtual void rename_new(const std::string& from, const std::string& to) = 0;
    // Removes a file or an empty directory.
    virtual void remove(const std::string& path) = 0;
    // Names in `dir` (no "." or ".."), unsorted. Error::NotFound when it does not exist.
    virtual std::vector<std::string> list(const std::string& dir) = 0;
    // Creates a directory; no error when it exists already.
    virtual void mkdir(const std::string& path) = 0;
    // Makes the names in `dir` (creations, renames, removals) durable.
    virtual void sync_dir(const std::string& dir) = 0;
    virtual void symlink(const std::string& target, const std::string& path) = 0;
    virtual void chmod(const std::string& path, uint32_t mode) = 0;
    // Takes the exclusive lock `path` (creating it) without waiting. Error::Locked when
    // another holder has it.
    virtual std::unique_ptr<FileLock> lock(const std::string& path) = 0;

    // The type and mode of what `path` names. The default tells files from directories by
    // exists() and is_dir().
    virtual FileInfo file_info(const std::string& path);
    // `path` with its symbolic links, "." and ".." resolved, for comparing places; a path
    // that does not exist is resolved by its directory. The default returns `path`.
    virtual std::string real_path(const std::string& path);
    // Opens the block device `path` for writing in place (nothing truncated), exclusively,
    // and sets `size` to its size in bytes. Error::Invalid when it is not a block device, or
    // is mounted, used as swap or held by another program (device-mapper, md, an exclusive
    // opener). The default: Error::Invalid, there are no block devices.
    virtual std::unique_ptr<WritableFile> open_device(const std::string& path, uint64_t& size);

    // The operating system's files.
    static Env& posix();
};

// A unique temporary name beside `path` (same directory): "<dir>/.<name>.tmp-<random>".
std::string temp_name(const std::string& path);
std::string dir_of(const std::string& path);
std::string base_of(const std::string& path);
std::string join(const std::string& dir, const std::string& name);

} // namespace repo
