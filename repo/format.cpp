#include "repo/format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <openssl/evp.h>
#include <zstd.h>
#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

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
    nlohmann::json j = {
        {"format", "kestrel-manifest"},
        {"version", m.version},
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
        {"host", m.host},
        {"tags", m.tags},
    };
    if (m.version >= format::kManifestVersionTree) {
        j["tree_sha256"] = to_hex(m.tree_root);
        j["counts"]["map_pieces_new"] = c.map_pieces_new;
        j["counts"]["map_bytes_new"] = c.map_bytes_new;
    } else {
        j["index_sha256"] = to_hex(m.index_digest);
    }
    if (c.chunks_stored_again)
        j["counts"]["chunks_stored_again"] = c.chunks_stored_again;
    return j;
}

namespace {
bool all_of_chars(const std::string& s, size_t max, const char* extra)
{
    if (s.empty() || s.size() > max)
        return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr(extra, c))
            return false;
    return true;
}
} // namespace

bool valid_host(const std::string& host) { return all_of_chars(host, kMaxHostBytes, ".-_"); }
bool valid_tag(const std::string& tag) { return all_of_chars(tag, kMaxTagBytes, "._-:@+=/"); }

bool BackupFilter::matches(const Manifest& m) const
{
    if (!host.empty() && m.host != host)
        return false;
    if (!source.empty() && m.source.source != source)
        return false;
    if (tags.empty())
        return true;
    for (const std::vector<std::string>& all : tags)
        if (std::all_of(all.begin(), all.end(),
                        [&](const std::string& t) { return std::find(m.tags.begin(), m.tags.end(), t) != m.tags.end(); }))
            return true;
    return false;
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

namespace {

using CrcFn = uint32_t (*)(uint32_t crc, const uint8_t* p, size_t n);

uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Slicing by eight: table k holds the checksum of a byte followed by k zero bytes, so eight
// bytes fold in with eight independent lookups.
uint32_t crc32c_tables(uint32_t c, const uint8_t* p, size_t n)
{
    static const auto t = [] {
        std::array<std::array<uint32_t, 256>, 8> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
            t[0][i] = c;
        }
        for (size_t k = 1; k < 8; k++)
            for (uint32_t i = 0; i < 256; i++)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t lo = load_le32(p) ^ c, hi = load_le32(p + 4);
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    }
    while (n--)
        c = t[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    return c;
}

#if defined(__x86_64__)
// The processor's crc32 instruction (SSE4.2), eight bytes at a time. Built for that
// instruction set alone, so the rest of the program keeps running on any x86-64.
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t c, const uint8_t* p, size_t n)
{
    for (; n && (reinterpret_cast<uintptr_t>(p) & 7); n--)
        c = _mm_crc32_u8(c, *p++);
    uint64_t c64 = c;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        c64 = _mm_crc32_u64(c64, w);
    }
    c = static_cast<uint32_t>(c64);
    while (n--)
        c = _mm_crc32_u8(c, *p++);
    return c;
}
#endif

CrcFn hw_crc()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.2"))
        return crc32c_sse42;
#endif
    return nullptr;
}

uint32_t run_crc(CrcFn fn, std::span<const uint8_t> data)
{
    return fn(0xffffffffu, data.data(), data.size()) ^ 0xffffffffu;
}

} // namespace

uint32_t crc32c(std::span<const uint8_t> data)
{
    static const CrcFn fn = [] {
        CrcFn hw = hw_crc();
        return hw ? hw : crc32c_tables;
    }();
    return run_crc(fn, data);
}

bool crc32c_hw_available()
{
    return hw_crc() != nullptr;
}

uint32_t crc32c_hw(std::span<const uint8_t> data)
{
    CrcFn fn = hw_crc();
    if (!fn)
        throw Error(Error::Kind::Invalid, "this processor has no CRC-32C instruction");
    return run_crc(fn, data);
}

uint32_t crc32c_portable(std::span<const uint8_t> data)
{
    return run_crc(crc32c_tables, data);
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

namespace {

// Parses exactly 2 × out.size() lower-case hex digits into `out`.
bool hex_bytes(std::string_view hex, std::span<uint8_t> out)
{
    if (hex.size() != 2 * out.size())
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < out.size(); i++) {
        int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

} // namespace

bool from_hex(const std::string& hex, Digest& out)
{
    return hex_bytes(hex, out);
}

namespace {

// Whether JSON text nests arrays and objects at most `max` deep (counted outside strings),
// checked before parsing: both the parser's result and its printer recurse per level.
bool nesting_within(const std::string& text, int max)
{
    int depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max)
                return false;
        } else if (c == ']' || c == '}') {
            depth--;
        }
    }
    return true;
}

// The fields of a JSON object read from a repository file. Every read checks presence, type
// and range, and a failure is Error::Damaged naming the file: nothing of the JSON library's
// own exceptions reaches the caller.
class Fields {
public:
    Fields(const nlohmann::json& j, std::string what, const std::string& path)
        : j_(j), what_(std::move(what)), path_(path)
    {
    }

    bool has(const char* key) const { return j_.contains(key); }

    const nlohmann::json& at(const char* key) const
    {
        auto it = j_.find(key);
        if (it == j_.end())
            damaged(what_ + " lacks the field \"" + key + "\"", path_);
        return *it;
    }

    uint64_t u64(const char* key, uint64_t max = UINT64_MAX) const
    {
        const nlohmann::json& v = at(key);
        if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
            bad(key);
        return v.get<uint64_t>();
    }

    uint32_t u32(const char* key) const { return static_cast<uint32_t>(u64(key, UINT32_MAX)); }

    int64_t i64(const char* key) const
    {
        const nlohmann::json& v = at(key);
        if (v.is_number_unsigned() ? v.get<uint64_t>() > uint64_t(INT64_MAX) : !v.is_number_integer())
            bad(key);
        return v.get<int64_t>();
    }

    std::string str(const char* key) const
    {
        const nlohmann::json& v = at(key);
        if (!v.is_string())
            bad(key);
        return v.get<std::string>();
    }

    bool boolean(const char* key) const
    {
        const nlohmann::json& v = at(key);
        if (!v.is_boolean())
            bad(key);
        return v.get<bool>();
    }

    const nlohmann::json& object(const char* key) const
    {
        const nlohmann::json& v = at(key);
        if (!v.is_object())
            bad(key);
        return v;
    }

    [[noreturn]] void bad(const char* key) const
    {
        damaged(what_ + " has a bad \"" + key + "\" field", path_);
    }

private:
    const nlohmann::json& j_;
    std::string what_;
    const std::string& path_;
};

// The JSON object of a repository file, or Error::Damaged ("<what> does not parse").
nlohmann::json parse_object(const std::string& text, const std::string& what, const std::string& path)
{
    if (!nesting_within(text, kMaxJsonDepth))
        damaged(what + " does not parse (nested too deep)", path);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        damaged(what + " does not parse", path);
    return j;
}

} // namespace

std::string encode_config(const Config& c)
{
    nlohmann::json j = {{"format", "kestrel-repository"}, {"version", c.version},
                        {"chunk_bytes", c.chunk_bytes},     {"hash", c.encrypted ? "hmac-sha256" : "sha256"},
                        {"compression", "zstd"},            {"id", c.id}};
    if (c.version != kRepoVersionFiles)
        j["pack_bytes"] = c.pack_bytes;
    if (c.encrypted)
        j["encryption"] = "xchacha20-poly1305";
    if (!c.sealed.empty())
        j["sealed"] = to_hex(std::span(reinterpret_cast<const uint8_t*>(c.sealed.data()), c.sealed.size()));
    return j.dump(2) + "\n";
}

std::string encode_config(uint32_t chunk_bytes, const std::string& repo_id, uint32_t version,
                          uint64_t pack_bytes)
{
    return encode_config(Config{version, chunk_bytes, pack_bytes, repo_id, false, {}});
}

Config read_config(const std::string& text, const std::string& path)
{
    if (text.size() > kMaxConfigBytes)
        damaged("repository config is too large", path);
    nlohmann::json j = parse_object(text, "repository config", path);
    Fields f(j, "repository config", path);
    if (f.str("format") != "kestrel-repository")
        throw Error(Error::Kind::Format, "not a kestrel repository config", path);
    const nlohmann::json& version = f.at("version");
    if (!version.is_number_unsigned())
        f.bad("version");
    if (version.get<uint64_t>() != kRepoVersion && version.get<uint64_t>() != kRepoVersionFiles)
        throw Error(Error::Kind::Format,
                    "repository format version " + version.dump() + " is not supported (this program reads versions " +
                        std::to_string(kRepoVersionFiles) + " and " + std::to_string(kRepoVersion) + ")",
                    path);
    Config c;
    c.version = static_cast<uint32_t>(version.get<uint64_t>());
    if (j.contains("encryption")) {
        if (f.str("encryption") != "xchacha20-poly1305" || c.version == kRepoVersionFiles)
            throw Error(Error::Kind::Format, "repository config names an unknown encryption", path);
        c.encrypted = true;
    }
    if (f.str("hash") != (c.encrypted ? "hmac-sha256" : "sha256") || f.str("compression") != "zstd")
        throw Error(Error::Kind::Format, "repository config names an unknown hash or codec", path);
    uint64_t cb = f.u64("chunk_bytes");
    if (cb < 4096 || cb > kMaxChunkBytes || cb % 4096)
        damaged("repository config has a bad chunk size", path);
    c.chunk_bytes = static_cast<uint32_t>(cb);
    if (c.version != kRepoVersionFiles) {
        uint64_t pb = f.u64("pack_bytes");
        if (pb < kMinPackBytes || pb > kMaxPackBytes)
            damaged("repository config has a bad pack size", path);
        c.pack_bytes = pb;
    }
    if (j.contains("id"))
        c.id = f.str("id");
    if (c.encrypted) {
        // The id binds the key files to the repository: it must be there to be bound to.
        std::array<uint8_t, 16> id{};
        if (!hex_bytes(c.id, id))
            f.bad("id");
        // The sealed copy itself carries none.
        if (j.contains("sealed")) {
            std::string hex = f.str("sealed");
            c.sealed.resize(hex.size() / 2);
            if (hex.empty() || hex.size() % 2 ||
                !hex_bytes(hex, std::span(reinterpret_cast<uint8_t*>(c.sealed.data()), c.sealed.size())))
                f.bad("sealed");
        }
    } else if (j.contains("sealed")) {
        f.bad("sealed");
    }
    return c;
}

namespace {

void store32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The calling thread's zstd contexts and chunk buffer, kept from one chunk to the next: a
// fresh compression context allocates and clears its tables for every chunk, and a fresh
// buffer is faulted in page by page. A reused context at the same level compresses to the
// same bytes.
struct ChunkScratch {
    ZSTD_CCtx* cctx = nullptr;
    ZSTD_DCtx* dctx = nullptr;
    std::unique_ptr<uint8_t[]> buf;
    size_t cap = 0;

    ChunkScratch() = default;
    ChunkScratch(const ChunkScratch&) = delete;
    ChunkScratch& operator=(const ChunkScratch&) = delete;
    ~ChunkScratch()
    {
        ZSTD_freeCCtx(cctx);
        ZSTD_freeDCtx(dctx);
    }

    ZSTD_CCtx* compressor()
    {
        if (!cctx && !(cctx = ZSTD_createCCtx()))
            throw std::bad_alloc();
        return cctx;
    }

    ZSTD_DCtx* decompressor()
    {
        if (!dctx && !(dctx = ZSTD_createDCtx()))
            throw std::bad_alloc();
        return dctx;
    }

    // The buffer, at least `n` bytes; its old contents are not kept.
    uint8_t* room(size_t n)
    {
        if (cap < n) {
            buf = std::make_unique_for_overwrite<uint8_t[]>(n);
            cap = n;
        }
        return buf.get();
    }
};

ChunkScratch& scratch()
{
    static thread_local ChunkScratch s;
    return s;
}

} // namespace

std::span<const uint8_t> encode_chunk_view(std::span<const uint8_t> raw, int level)
{
    ChunkScratch& s = scratch();
    size_t bound = ZSTD_compressBound(raw.size());
    uint8_t* out = s.room(kChunkHeaderBytes + std::max(bound, raw.size()));
    uint8_t* stored = out + kChunkHeaderBytes;
    size_t n = ZSTD_compressCCtx(s.compressor(), stored, bound, raw.data(), raw.size(), level);
    uint8_t codec = kCodecZstd;
    if (ZSTD_isError(n) || n >= raw.size()) {
        if (!raw.empty()) // an empty span may have no address, which memcpy must not get
            memcpy(stored, raw.data(), raw.size());
        n = raw.size();
        codec = kCodecNone;
    }
    memcpy(out, kChunkMagic, 4);
    out[4] = static_cast<uint8_t>(kChunkVersion);
    out[5] = codec;
    out[6] = out[7] = 0;
    store32(out + 8, static_cast<uint32_t>(raw.size()));
    store32(out + 12, static_cast<uint32_t>(n));
    store32(out + 16, crc32c({stored, n}));
    store32(out + 20, 0);
    return {out, kChunkHeaderBytes + n};
}

std::string encode_chunk(std::span<const uint8_t> raw, int level)
{
    std::span<const uint8_t> file = encode_chunk_view(raw, level);
    return {reinterpret_cast<const char*>(file.data()), file.size()};
}

uint64_t max_chunk_file_bytes(uint32_t chunk_bytes)
{
    // Stored as is when zstd does not make it smaller: never more than the raw bytes.
    return kChunkHeaderBytes + chunk_bytes;
}

std::vector<uint8_t> decode_chunk(const std::string& file, const Digest& expect, const std::string& path)
{
    std::vector<uint8_t> raw = decode_chunk_contents(file, path);
    if (sha256(raw) != expect)
        damaged("chunk digest mismatch", path);
    return raw;
}

std::vector<uint8_t> decode_chunk_contents(const std::string& file, const std::string& path)
{
    if (file.size() < kChunkHeaderBytes)
        damaged("chunk truncated", path);
    if (memcmp(file.data(), kChunkMagic, 4) != 0)
        damaged("chunk header damaged", path);
    if (static_cast<uint8_t>(file[4]) != kChunkVersion)
        damaged("chunk of unknown version " + std::to_string(static_cast<uint8_t>(file[4])), path);
    if (file[6] || file[7] || get32(file, 20))
        damaged("chunk header damaged (reserved bytes set)", path);
    uint8_t codec = static_cast<uint8_t>(file[5]);
    uint32_t raw_len = get32(file, 8), stored_len = get32(file, 12), crc = get32(file, 16);
    if (file.size() - kChunkHeaderBytes < stored_len)
        damaged("chunk truncated", path);
    if (file.size() - kChunkHeaderBytes > stored_len)
        damaged("chunk has trailing bytes", path);
    auto stored = bytes_of(file, kChunkHeaderBytes);
    if (crc32c(stored) != crc)
        damaged("chunk checksum mismatch", path);
    // The header's length is not under the checksum: a damaged one must not make us
    // allocate gigabytes before the contents prove it wrong.
    if (raw_len > kMaxChunkBytes || (codec == kCodecNone && stored_len != raw_len))
        damaged("chunk length mismatch", path);
    std::vector<uint8_t> raw(raw_len);
    if (codec == kCodecNone) {
        if (raw_len)
            memcpy(raw.data(), stored.data(), raw_len);
    } else if (codec == kCodecZstd) {
        size_t n = ZSTD_decompressDCtx(scratch().decompressor(), raw.data(), raw.size(), stored.data(), stored.size());
        if (ZSTD_isError(n))
            damaged(std::string("chunk does not decompress (") + ZSTD_getErrorName(n) + ")", path);
        if (n != raw_len)
            damaged("chunk length mismatch", path);
    } else {
        damaged("chunk of unknown codec " + std::to_string(codec), path);
    }
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

uint64_t index_file_bytes(uint64_t block_count, uint32_t chunk_blocks)
{
    if (!chunk_blocks || block_count > kMaxDeviceBytes / 512)
        return 0;
    uint64_t chunks = block_count / chunk_blocks + (block_count % chunk_blocks != 0);
    // block_count < 2^53: none of these sums can wrap.
    return kIndexHeaderBytes + chunks * 32 + (block_count + 7) / 8 + 32;
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
    // The header is checked field by field before anything is computed from it: a block
    // count near 2^64 must not wrap the sums below into a small, plausible size.
    uint64_t expect = index_file_bytes(ix.block_count, ix.chunk_blocks);
    if (!ix.block_size || get32(file, 20) || !expect ||
        chunks != ix.block_count / ix.chunk_blocks + (ix.block_count % ix.chunk_blocks != 0))
        damaged("index header damaged", path);
    if (file.size() < expect)
        damaged("index truncated", path);
    if (file.size() > expect)
        damaged("index has trailing bytes", path);
    Digest sum;
    memcpy(sum.data(), file.data() + expect - 32, 32);
    if (sha256(bytes_of(file, 0, expect - 32)) != sum)
        damaged("index checksum mismatch", path);
    uint64_t used_bytes = (ix.block_count + 7) / 8;
    ix.positions = chunks;
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
    if (text.size() > kMaxManifestBytes)
        damaged("manifest is too large", path);
    size_t nl = text.find('\n');
    const std::string tag = "sha256:";
    if (nl == std::string::npos || text.size() != nl + 1 + tag.size() + 64 + 1 ||
        text.compare(nl + 1, tag.size(), tag) != 0 || text.back() != '\n')
        damaged("manifest truncated", path);
    std::string body = text.substr(0, nl);
    if (to_hex(sha256(bytes_of(body))) != text.substr(nl + 1 + tag.size(), 64))
        damaged("manifest checksum mismatch", path);
    nlohmann::json j = parse_object(body, "manifest", path);
    Fields f(j, "manifest", path);
    if (f.str("format") != "kestrel-manifest")
        damaged("manifest does not parse (not a kestrel manifest)", path);
    Manifest m;
    m.version = f.u32("version");
    if (m.version != kManifestVersion && m.version != kManifestVersionTree)
        throw Error(Error::Kind::Format, "manifest version " + std::to_string(m.version) + " is not supported", path);
    m.id = f.str("id");
    m.source.source = f.str("source");
    m.source.start_sector = f.u64("start_sector");
    m.source.sector_count = f.u64("sector_count");
    m.source.fs_type = f.str("fs_type");
    m.source.block_size = f.u32("block_size");
    m.source.block_count = f.u64("block_count");
    m.chunk_blocks = f.u32("chunk_blocks");
    if (!f.at("parent").is_null())
        m.parent = f.str("parent");
    m.snapshot_time = f.i64("snapshot_time");
    m.duration_ms = f.u64("duration_ms");
    m.incremental = f.boolean("incremental");
    m.reason = f.str("reason");
    Fields c(f.object("counts"), "manifest's counts", path);
    m.counts.blocks_written = c.u64("blocks_written");
    m.counts.blocks_kept = c.u64("blocks_kept");
    m.counts.blocks_unused = c.u64("blocks_unused");
    m.counts.chunks = c.u64("chunks");
    m.counts.chunks_empty = c.u64("chunks_empty");
    m.counts.chunks_reused = c.u64("chunks_reused");
    m.counts.chunks_new = c.u64("chunks_new");
    m.counts.bytes_new = c.u64("bytes_new");
    if (c.has("map_pieces_new"))
        m.counts.map_pieces_new = c.u64("map_pieces_new");
    if (c.has("map_bytes_new"))
        m.counts.map_bytes_new = c.u64("map_bytes_new");
    if (c.has("chunks_stored_again"))
        m.counts.chunks_stored_again = c.u64("chunks_stored_again");
    m.module_stats = f.object("module_stats");
    if (!hex_bytes(f.str("session_key"), m.session_key))
        f.bad("session_key");
    const nlohmann::json& unreadable = f.at("unreadable_blocks");
    if (!unreadable.is_array())
        f.bad("unreadable_blocks");
    m.unreadable_blocks.reserve(unreadable.size());
    for (const nlohmann::json& b : unreadable) {
        if (!b.is_number_unsigned())
            f.bad("unreadable_blocks");
        m.unreadable_blocks.push_back(b.get<uint64_t>());
    }
    if (m.version == kManifestVersionTree) {
        if (!from_hex(f.str("tree_sha256"), m.tree_root))
            f.bad("tree_sha256");
    } else if (!from_hex(f.str("index_sha256"), m.index_digest)) {
        f.bad("index_sha256");
    }
    if (!m.source.block_size || !m.chunk_blocks)
        damaged("manifest has a bad geometry", path);
    // Host and tags came later: a manifest without them is of an unknown host, untagged.
    if (f.has("host")) {
        m.host = f.str("host");
        if (!m.host.empty() && !valid_host(m.host))
            f.bad("host");
    }
    if (f.has("tags")) {
        const nlohmann::json& tags = f.at("tags");
        if (!tags.is_array() || tags.size() > kMaxTags)
            f.bad("tags");
        for (const nlohmann::json& t : tags) {
            if (!t.is_string() || !valid_tag(t.get<std::string>()))
                f.bad("tags");
            m.tags.push_back(t.get<std::string>());
        }
    }
    return m;
}

void check_geometry(const Manifest& m, uint32_t chunk_bytes, const std::string& path)
{
    uint32_t bs = m.source.block_size;
    bool sound = bs >= 512 && bs <= 65536 && (bs & (bs - 1)) == 0 && uint64_t(m.chunk_blocks) * bs == chunk_bytes &&
                 m.source.block_count <= kMaxDeviceBytes / bs;
    if (!sound)
        damaged("manifest's geometry (" + std::to_string(m.source.block_count) + " blocks of " + std::to_string(bs) +
                    " bytes, " + std::to_string(m.chunk_blocks) + " to a chunk) does not fit the repository's " +
                    std::to_string(chunk_bytes) + "-byte chunks",
                path);
    for (uint64_t b : m.unreadable_blocks)
        if (b >= m.source.block_count)
            damaged("manifest names an unreadable block beyond the device", path);
}

} // namespace repo::format
