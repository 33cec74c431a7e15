// What sealing objects and naming chunks cost, against the plain SHA-256 of the same data in
// the same run: 64 MiB in 64 KiB chunks that compress two to one, on one thread. Each round
// measures every figure once, in turn; the table gives the median over the rounds of each
// figure's ratio to that round's SHA-256, and the median MB/s. zstd (level 3, the chunk
// codec) and libsodium's own XChaCha20-Poly1305 are measured beside them for scale, and the
// time of one key derivation with the parameters of new keys (what opening a repository costs).
#include <sodium.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "repo/crypto.h"
#include "repo/format.h"
#include "repo/keys.h"

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTotal = 64u << 20;
constexpr int kRounds = 7;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    if (sodium_init() < 0)
        return 1;
    // Every 4 KiB block: 2 KiB of random bytes, then 2 KiB of one repeated byte.
    std::vector<uint8_t> data(kTotal);
    std::mt19937 rng(1);
    for (size_t b = 0; b < kTotal; b += 4096) {
        for (size_t i = 0; i < 2048; i++)
            data[b + i] = uint8_t(rng());
        std::fill(data.begin() + long(b + 2048), data.begin() + long(b + 4096), uint8_t(b >> 12));
    }
    repo::MasterKey key = repo::MasterKey::generate();
    std::array<uint8_t, 32> raw_key;
    repo::random_bytes(raw_key);
    std::vector<uint8_t> sealed(kChunk + repo::seal_layout::kOverhead), opened(kChunk);
    std::vector<std::vector<uint8_t>> sealed_all(kTotal / kChunk);
    for (size_t c = 0; c < sealed_all.size(); c++) {
        sealed_all[c].resize(kChunk + repo::seal_layout::kOverhead);
        key.data().seal_to({data.data() + c * kChunk, kChunk}, "chunk", sealed_all[c]);
    }
    std::vector<uint8_t> zout(ZSTD_compressBound(kChunk));
    ZSTD_CCtx* zctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(zctx, ZSTD_c_compressionLevel, 3);
    volatile uint8_t sink = 0;

    struct Figure {
        const char* name;
        std::function<void(size_t)> per_chunk;
        std::vector<double> mbs, ratio;
    };
    std::vector<Figure> figures = {
        {"SHA-256 (baseline)", [&](size_t c) { sink = sink + repo::format::sha256({data.data() + c * kChunk, kChunk})[0]; }, {}, {}},
        {"chunk id (HMAC-SHA-256)", [&](size_t c) { sink = sink + key.id({data.data() + c * kChunk, kChunk})[0]; }, {}, {}},
        {"seal (XChaCha20-Poly1305)",
         [&](size_t c) { key.data().seal_to({data.data() + c * kChunk, kChunk}, "chunk", sealed); }, {}, {}},
        {"open", [&](size_t c) { key.data().open_to(sealed_all[c], "chunk", opened); }, {}, {}},
        {"libsodium's XChaCha20-Poly1305 seal",
         [&](size_t c) {
             unsigned long long n = 0;
             crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data() + 26, &n, data.data() + c * kChunk, kChunk,
                                                        nullptr, 0, nullptr, sealed.data() + 2, raw_key.data());
         },
         {}, {}},
        {"zstd level 3",
         [&](size_t c) { ZSTD_compress2(zctx, zout.data(), zout.size(), data.data() + c * kChunk, kChunk); }, {}, {}},
    };
    for (int r = 0; r < kRounds; r++) {
        double base = 0;
        for (auto& f : figures) {
            auto t0 = std::chrono::steady_clock::now();
            for (size_t c = 0; c < kTotal / kChunk; c++)
                f.per_chunk(c);
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            double mbs = kTotal / s / 1e6;
            if (&f == &figures[0])
                base = mbs;
            f.mbs.push_back(mbs);
            f.ratio.push_back(mbs / base);
        }
    }
    ZSTD_freeCCtx(zctx);
    printf("%-38s %10s %18s\n", "figure (64 KiB chunks, one thread)", "MB/s", "ratio to SHA-256");
    for (auto& f : figures)
        printf("%-38s %10.0f %18.2f\n", f.name, median(f.mbs), median(f.ratio));

    // What opening a repository costs: one key derivation with the parameters of new keys.
    std::vector<double> kdf_ms;
    std::array<uint8_t, repo::keys::kSaltBytes> salt{};
    for (int r = 0; r < 3; r++) {
        auto t0 = std::chrono::steady_clock::now();
        auto k = repo::keys::derive_key("a password", salt, repo::keys::kStandardKdf);
        kdf_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        sink = sink + k[0];
    }
    printf("%-38s %10.0f ms (%u passes over %u MiB)\n", "key derivation (Argon2id)", median(kdf_ms),
           repo::keys::kStandardKdf.ops, repo::keys::kStandardKdf.memory_kib / 1024);
    return sink == 255 ? 0 : 0;
}
