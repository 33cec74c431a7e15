#include "repo/format.h"

#include <cstring>
#include <openssl/evp.h>
#include <zstd.h>

namespace repo {

std::string to_hex(std::span<const uint8_t> bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

nlohmann::json to_json(const Manifest& m)
{
    const BackupCounts& c = m.counts;
    return {
        {"format", "kestrel-manifest"},
        {"version", format::kManifestVersion},
        {"id", m.id},
        {"source", m.source.source},
        {"start_sector", m.source.start_sector},
        {"sector_count", m.source.sector_count},
        {"fs_type", m.source.fs_type},
        {"block_size", m.source.block_size},
        {"block_count", m.source.block_count},
        {"chunk_blocks", m.chunk_blocks},
        {"parent", m.parent ? nlohmann::json(*m.parent) : nlohmann::json(nullptr)},
        {"snapshot_time", m.snapshot_time},
        {"duration_ms", m.duration_ms},
        {"incremental", m.incremental},
        {"reason", m.reason},
        {"counts",
         {{"blocks_written", c.blocks_written}, {"blocks_kept", c.blocks_kept}, {"blocks_unused", c.blocks_unused},
          {"chunks", c.chunks}, {"chunks_empty", c.chunks_empty}, {"chunks_reused", c.chunks_reused},
          {"chunks_new", c.chunks_new}, {"bytes_new", c.bytes_new}}},
        {"module_stats", m.module_stats},
        {"session_key", to_hex(m.session_key)},
        {"unreadable_blocks", m.unreadable_blocks},
        {"index_sha256", to_hex(m.index_digest)},
    };
}

} // namespace repo

namespace repo::format {

namespace {

void put32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

void put64(std::string& s, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t get32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

uint64_t get64(const std::string& s, size_t at)
{
    return get32(s, at) | (uint64_t(get32(s, at + 4)) << 32);
}

std::span<const uint8_t> bytes_of(const std::string& s, size_t from = 0, size_t n = std::string::npos)
{
    n = std::min(n, s.size() - from);
    return {reinterpret_cast<const uint8_t*>(s.data()) + from, n};
}

[[noreturn]] void damaged(const std::string& what, const std::string& path)
{
    throw Error(Error::Kind::Damaged, what, path);
}

constexpr char kChunkMagic[4] = {'K', 'S', 'C', 'K'};
constexpr char kIndexMagic[8] = {'K', 'S', 'T', 'I', 'N', 'D', 'E', 'X'};
constexpr size_t kIndexHeaderBytes = 40;

} // namespace

Digest sha256(std::span<const uint8_t> data)
{
    Digest d{};
    unsigned int len = 0;
    if (!EVP_Digest(data.data(), data.size(), d.data(), &len, EVP_sha256(), nullptr) || len != d.size())
        throw Error(Error::Kind::Io, "SHA-256 failed in libcrypto");
    return d;
}

uint32_t crc32c(std::span<const uint8_t> data)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xffffffffu;
    for (uint8_t b : data)
        c = table[(c ^ b) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

bool is_zero_digest(const Digest& d)
{
    return all_zero(d);
}

bool all_zero(std::span<const uint8_t> data)
{
    const uint8_t* p = data.data();
    size_t n = data.size();
    while (n >= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        if (w)
            return false;
        p += 8;
        n -= 8;
    }
    while (n--)
        if (*p++)
            return false;
    return true;
}

bool from_hex(const std::string& hex, Digest& out)
{
    if (hex.size() != 64)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < 32; i++) {
        int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string encode_config(uint32_t chunk_bytes, const std::string& repo_id)
{
    nlohmann::json j = {{"format", "kestrel-repository"}, {"version", kRepoVersion},
                        {"chunk_bytes", chunk_bytes},       {"hash", "sha256"},
                        {"compression", "zstd"},            {"id", repo_id}};
    return j.dump(2) + "\n";
}

uint32_t decode_config(const std::string& text, const std::string& path)
{
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.value("format", "") != "kestrel-repository")
        throw Error(Error::Kind::Format, "not a kestrel repository config", path);
    if (!j.contains("version") || !j["version"].is_number_unsigned() || j["version"] != kRepoVersion)
        throw Error(Error::Kind::Format,
                    "repository format version " + (j.contains("version") ? j["version"].dump() : "?") +
                        " is not supported (this program reads version " + std::to_string(kRepoVersion) + ")",
                    path);
    if (j.value("hash", "") != "sha256" || j.value("compression", "") != "zstd" ||
        !j.contains("chunk_bytes") || !j["chunk_bytes"].is_number_unsigned())
        throw Error(Error::Kind::Format, "repository config names an unknown hash, codec or chunk size", path);
    uint64_t cb = j["chunk_bytes"].get<uint64_t>();
    if (cb < 4096 || cb > (16u << 20) || cb % 4096)
        throw Error(Error::Kind::Format, "repository config has a bad chunk size", path);
    return static_cast<uint32_t>(cb);
}

std::string encode_chunk(std::span<const uint8_t> raw, int level)
{
    std::string stored(ZSTD_compressBound(raw.size()), '\0');
    size_t n = ZSTD_compress(stored.data(), stored.size(), raw.data(), raw.size(), level);
    uint8_t codec = kCodecZstd;
    if (ZSTD_isError(n) || n >= raw.size()) {
        stored.assign(reinterpret_cast<const char*>(raw.data()), raw.size());
        codec = kCodecNone;
    } else {
        stored.resize(n);
    }
    std::string out(kChunkMagic, 4);
    out += static_cast<char>(kChunkVersion);
    out += static_cast<char>(codec);
    out += std::string(2, '\0');
    put32(out, static_cast<uint32_t>(raw.size()));
    put32(out, static_cast<uint32_t>(stored.size()));
    put32(out, crc32c(bytes_of(stored)));
    put32(out, 0);
    return out + stored;
}

std::vector<uint8_t> decode_chunk(const std::string& file, const Digest& expect, const std::string& path)
{
    if (file.size() < kChunkHeaderBytes)
        damaged("chunk truncated", path);
    if (memcmp(file.data(), kChunkMagic, 4) != 0)
        damaged("chunk header damaged", path);
    if (static_cast<uint8_t>(file[4]) != kChunkVersion)
        damaged("chunk of unknown version " + std::to_string(static_cast<uint8_t>(file[4])), path);
    uint8_t codec = static_cast<uint8_t>(file[5]);
    uint32_t raw_len = get32(file, 8), stored_len = get32(file, 12), crc = get32(file, 16);
    if (file.size() - kChunkHeaderBytes < stored_len)
        damaged("chunk truncated", path);
    if (file.size() - kChunkHeaderBytes > stored_len)
        damaged("chunk has trailing bytes", path);
    auto stored = bytes_of(file, kChunkHeaderBytes);
    if (crc32c(stored) != crc)
        damaged("chunk checksum mismatch", path);
    std::vector<uint8_t> raw(raw_len);
    if (codec == kCodecNone) {
        if (stored_len != raw_len)
            damaged("chunk length mismatch", path);
        memcpy(raw.data(), stored.data(), raw_len);
    } else if (codec == kCodecZstd) {
        size_t n = ZSTD_decompress(raw.data(), raw.size(), stored.data(), stored.size());
        if (ZSTD_isError(n))
            damaged(std::string("chunk does not decompress (") + ZSTD_getErrorName(n) + ")", path);
        if (n != raw_len)
            damaged("chunk length mismatch", path);
    } else {
        damaged("chunk of unknown codec " + std::to_string(codec), path);
    }
    if (sha256(raw) != expect)
        damaged("chunk digest mismatch", path);
    return raw;
}

std::string encode_index(const Index& index)
{
    std::string out(kIndexMagic, 8);
    put32(out, kIndexVersion);
    put32(out, index.block_size);
    put32(out, index.chunk_blocks);
    put32(out, 0);
    put64(out, index.block_count);
    put64(out, index.digests.size());
    for (const Digest& d : index.digests)
        out.append(reinterpret_cast<const char*>(d.data()), d.size());
    out.append(reinterpret_cast<const char*>(index.used.data()), index.used.size());
    Digest sum = sha256(bytes_of(out));
    out.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return out;
}

Index decode_index(const std::string& file, const std::string& path)
{
    if (file.size() < kIndexHeaderBytes + 32)
        damaged("index truncated", path);
    if (memcmp(file.data(), kIndexMagic, 8) != 0)
        damaged("index header damaged", path);
    Index ix;
    uint32_t version = get32(file, 8);
    ix.block_size = get32(file, 12);
    ix.chunk_blocks = get32(file, 16);
    ix.block_count = get64(file, 24);
    uint64_t chunks = get64(file, 32);
    if (version != kIndexVersion)
        damaged("index of unknown version " + std::to_string(version), path);
    if (!ix.block_size || !ix.chunk_blocks || chunks != (ix.block_count + ix.chunk_blocks - 1) / ix.chunk_blocks ||
        chunks > file.size() / 32)
        damaged("index header damaged", path);
    uint64_t used_bytes = (ix.block_count + 7) / 8;
    uint64_t expect = kIndexHeaderBytes + chunks * 32 + used_bytes + 32;
    if (file.size() < expect)
        damaged("index truncated", path);
    if (file.size() > expect)
        damaged("index has trailing bytes", path);
    Digest sum;
    memcpy(sum.data(), file.data() + expect - 32, 32);
    if (sha256(bytes_of(file, 0, expect - 32)) != sum)
        damaged("index checksum mismatch", path);
    ix.digests.resize(chunks);
    size_t at = kIndexHeaderBytes;
    for (auto& d : ix.digests) {
        memcpy(d.data(), file.data() + at, 32);
        at += 32;
    }
    ix.used.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + used_bytes));
    return ix;
}

std::string encode_manifest(const Manifest& m)
{
    std::string body = to_json(m).dump(-1, ' ', true);
    return body + "\nsha256:" + to_hex(sha256(bytes_of(body))) + "\n";
}

Manifest decode_manifest(const std::string& text, const std::string& path)
{
    size_t nl = text.find('\n');
    const std::string tag = "sha256:";
    if (nl == std::string::npos || text.size() != nl + 1 + tag.size() + 64 + 1 ||
        text.compare(nl + 1, tag.size(), tag) != 0 || text.back() != '\n')
        damaged("manifest truncated", path);
    std::string body = text.substr(0, nl);
    if (to_hex(sha256(bytes_of(body))) != text.substr(nl + 1 + tag.size(), 64))
        damaged("manifest checksum mismatch", path);
    nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.value("format", "") != "kestrel-manifest")
        damaged("manifest does not parse", path);
    try {
        Manifest m;
        m.version = j.at("version").get<uint32_t>();
        if (m.version != kManifestVersion)
            throw Error(Error::Kind::Format, "manifest version " + std::to_string(m.version) + " is not supported", path);
        m.id = j.at("id").get<std::string>();
        m.source.source = j.at("source").get<std::string>();
        m.source.start_sector = j.at("start_sector").get<uint64_t>();
        m.source.sector_count = j.at("sector_count").get<uint64_t>();
        m.source.fs_type = j.at("fs_type").get<std::string>();
        m.source.block_size = j.at("block_size").get<uint32_t>();
        m.source.block_count = j.at("block_count").get<uint64_t>();
        m.chunk_blocks = j.at("chunk_blocks").get<uint32_t>();
        if (!j.at("parent").is_null())
            m.parent = j.at("parent").get<std::string>();
        m.snapshot_time = j.at("snapshot_time").get<int64_t>();
        m.duration_ms = j.at("duration_ms").get<uint64_t>();
        m.incremental = j.at("incremental").get<bool>();
        m.reason = j.at("reason").get<std::string>();
        const auto& c = j.at("counts");
        m.counts.blocks_written = c.at("blocks_written").get<uint64_t>();
        m.counts.blocks_kept = c.at("blocks_kept").get<uint64_t>();
        m.counts.blocks_unused = c.at("blocks_unused").get<uint64_t>();
        m.counts.chunks = c.at("chunks").get<uint64_t>();
        m.counts.chunks_empty = c.at("chunks_empty").get<uint64_t>();
        m.counts.chunks_reused = c.at("chunks_reused").get<uint64_t>();
        m.counts.chunks_new = c.at("chunks_new").get<uint64_t>();
        m.counts.bytes_new = c.at("bytes_new").get<uint64_t>();
        m.module_stats = j.at("module_stats");
        std::string key = j.at("session_key").get<std::string>();
        if (key.size() != 112)
            damaged("manifest has a bad session key", path);
        for (size_t i = 0; i < 56; i++)
            m.session_key[i] = static_cast<uint8_t>(std::stoul(key.substr(2 * i, 2), nullptr, 16));
        m.unreadable_blocks = j.at("unreadable_blocks").get<std::vector<uint64_t>>();
        if (!from_hex(j.at("index_sha256").get<std::string>(), m.index_digest))
            damaged("manifest has a bad index digest", path);
        if (!m.source.block_size || !m.chunk_blocks)
            damaged("manifest has a bad geometry", path);
        return m;
    } catch (const nlohmann::json::exception& e) {
        damaged(std::string("manifest lacks a field (") + e.what() + ")", path);
    } catch (const std::invalid_argument&) {
        damaged("manifest has a bad session key", path);
    }
}

} // namespace repo::format
