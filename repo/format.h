// The repository's file formats: config, chunk files, index files and manifests. Encoding
// and decoding only; no file I/O. docs/repository.md is the reference.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "repo/repository.h"

namespace repo::format {

// The repository format new repositories get; version 1 (a file per chunk) is still read
// and written where a repository has it.
constexpr uint32_t kRepoVersion = 2;
constexpr uint32_t kRepoVersionFiles = 1;
constexpr uint64_t kMinPackBytes = 64u << 10, kMaxPackBytes = 1u << 30;
// Version 2 also stores each new backup's map as a tree of pieces (repo/tree.h) under a
// manifest of version 2; a repository's version 1 backups stay as they are.
constexpr uint32_t kRepoVersionTree = 2;
constexpr uint32_t kChunkVersion = 1;
constexpr uint32_t kIndexVersion = 1;
constexpr uint32_t kManifestVersion = 1;
constexpr uint32_t kManifestVersionTree = 2;  // names the root of a map tree, not an index file
constexpr size_t kChunkHeaderBytes = 24;
constexpr uint8_t kCodecNone = 0;
constexpr uint8_t kCodecZstd = 1;
constexpr uint32_t kMaxChunkBytes = 16u << 20;  // the largest chunk size a repository may have

// Limits on what a reader accepts from a repository's files, checked before it allocates:
// a config or manifest larger than this is damage, as is JSON nested deeper than
// kMaxJsonDepth (the parser and printer recurse per level). A device of more than
// kMaxDeviceBytes cannot be a backup (file offsets are signed 64-bit).
constexpr uint64_t kMaxConfigBytes = 64u << 10;
constexpr uint64_t kMaxManifestBytes = 64u << 20;
constexpr int kMaxJsonDepth = 32;
constexpr uint64_t kMaxDeviceBytes = uint64_t(1) << 62;

Digest sha256(std::span<const uint8_t> data);
// CRC-32C (Castagnoli), by the processor's crc32 instruction where it has one (checked at
// run time) and by tables otherwise.
uint32_t crc32c(std::span<const uint8_t> data);
// The same checksum by one method, so that tests can hold the two against each other:
// crc32c_hw throws Error::Invalid unless crc32c_hw_available().
bool crc32c_hw_available();
uint32_t crc32c_hw(std::span<const uint8_t> data);
uint32_t crc32c_portable(std::span<const uint8_t> data);
bool is_zero_digest(const Digest& d);
bool all_zero(std::span<const uint8_t> data);
// Parses 64 hex digits; false when `hex` is not one.
bool from_hex(const std::string& hex, Digest& out);

// The config file: format name, version, chunk size, hash and codec, repository id.
// `pack_bytes` (version 2 only): the size at which writers close a pack file.
// A repository's config. An encrypted one names its cipher and keyed hash, and carries a
// sealed copy of itself (`sealed`, the plaintext config without this field, sealed under
// the data key with the context config_context(id)) that decides once the key is open: a
// plaintext field changed by someone without the key is found then.
struct Config {
    uint32_t version = kRepoVersion;
    uint32_t chunk_bytes = 0;
    uint64_t pack_bytes = 0;
    std::string id;        // 32 hex digits (older repositories: anything)
    bool encrypted = false;
    std::string sealed;    // encrypted: the sealed copy (bytes)
    bool same_as(const Config& o) const
    {
        return version == o.version && chunk_bytes == o.chunk_bytes && pack_bytes == o.pack_bytes && id == o.id &&
               encrypted == o.encrypted;
    }
};
inline std::string config_context(const std::string& id) { return "config:" + id; }
std::string encode_config(const Config& config);
// Error::Format for a config of another format, version, hash, codec or cipher;
// Error::Damaged for one that does not parse or has a field out of range.
Config read_config(const std::string& text, const std::string& path);
std::string encode_config(uint32_t chunk_bytes, const std::string& repo_id, uint32_t version = kRepoVersion,
                          uint64_t pack_bytes = kDefaultPackBytes);

// A chunk file: the 24-byte header and the stored bytes (zstd, or raw when that is not
// smaller).
std::string encode_chunk(std::span<const uint8_t> raw, int level = 3);
// The same file in a buffer of the calling thread, reused by its next encode_chunk_view or
// encode_chunk: no copy and no allocation once the buffer has grown to the chunk size.
std::span<const uint8_t> encode_chunk_view(std::span<const uint8_t> raw, int level = 3);
// The size a chunk file of a repository with `chunk_bytes` can have at most.
uint64_t max_chunk_file_bytes(uint32_t chunk_bytes);
// The chunk's raw contents. Throws Error::Damaged naming `path` when the header, the checksum
// of the stored bytes, the decompression, the length or the digest (`expect`) is wrong.
std::vector<uint8_t> decode_chunk(const std::string& file, const Digest& expect,
                                  const std::string& path);
// The same without the digest check, for chunks named otherwise (by a keyed hash): the caller
// checks the contents against their name.
std::vector<uint8_t> decode_chunk_contents(const std::string& file, const std::string& path);

// The fixed index of one backup: per chunk position the chunk's digest (all zeros: the
// position holds no used block), then the map of used blocks.
struct Index {
    uint32_t block_size = 0;
    uint32_t chunk_blocks = 0;
    uint64_t block_count = 0;
    uint64_t positions = 0;      // chunk positions of the device
    // Both may end before the device does (a map read from a tree stops at its last chunk):
    // what lies beyond holds no chunk and no used block.
    std::vector<Digest> digests;
    std::vector<uint8_t> used;  // bit b % 8 of byte b / 8: block b is used
    bool block_used(uint64_t b) const { return (b >> 3) < used.size() && ((used[b >> 3] >> (b & 7)) & 1); }
    const Digest& digest_at(uint64_t pos) const
    {
        static const Digest none{};
        return pos < digests.size() ? digests[pos] : none;
    }
};
std::string encode_index(const Index& index);
// Throws Error::Damaged naming `path` when truncated, of the wrong shape or checksum.
Index decode_index(const std::string& file, const std::string& path);
// The size of the index file of a device of `block_count` blocks, `chunk_blocks` to a chunk;
// 0 when no index can be that large (the geometry is damage).
uint64_t index_file_bytes(uint64_t block_count, uint32_t chunk_blocks);

std::string encode_manifest(const Manifest& m);
// Throws Error::Damaged naming `path` when it does not parse or lacks a field, Error::Format
// for a manifest of a newer version.
Manifest decode_manifest(const std::string& text, const std::string& path);
// Throws Error::Damaged naming `path` unless the manifest's geometry is one a repository of
// `chunk_bytes` writes: a block size that is a power of two from 512 to 64 KiB, chunks of
// exactly `chunk_bytes`, a device of at most kMaxDeviceBytes, unreadable blocks on it.
void check_geometry(const Manifest& m, uint32_t chunk_bytes, const std::string& path);

} // namespace repo::format
