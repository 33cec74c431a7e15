// XChaCha20-Poly1305 as libcrypto's ChaCha20-Poly1305 under a subkey that HChaCha20
// (libsodium) derives from the key and the first 16 nonce bytes: the IETF XChaCha
// construction, byte for byte what libsodium's own XChaCha20-Poly1305 produces, at the speed
// of libcrypto's vectorised ChaCha20 and Poly1305. HMAC-SHA-256 from libcrypto names chunks.
#include "repo/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sodium.h>

#include <climits>
#include <cstring>

namespace repo {

// 32 secret bytes, wiped on destruction.
struct Key32 {
    std::array<uint8_t, 32> bytes{};
    Key32() = default;
    Key32(const Key32&) = delete;
    Key32& operator=(const Key32&) = delete;
    ~Key32() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

namespace {

using namespace seal_layout;

// libcrypto's update calls take int lengths: longer data goes in pieces of this size.
constexpr size_t kPiece = size_t(1) << 30;

[[noreturn]] void crypto_failure(const char* what)
{
    throw Error(Error::Kind::Io, std::string(what) + " failed in libcrypto");
}

// Fetched once for the process (explicit fetches avoid libcrypto's per-call lookups, which
// take a lock that every worker thread would contend for); never freed.
const EVP_CIPHER* chacha20_poly1305()
{
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    if (!cipher)
        crypto_failure("fetching ChaCha20-Poly1305");
    return cipher;
}

EVP_MAC* hmac()
{
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!mac)
        crypto_failure("fetching HMAC");
    return mac;
}

// The calling thread's cipher context, reinitialised with a key for every object.
EVP_CIPHER_CTX* thread_cipher()
{
    struct Holder {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        ~Holder() { EVP_CIPHER_CTX_free(ctx); }
    };
    thread_local Holder h;
    if (!h.ctx)
        crypto_failure("allocating a cipher context");
    return h.ctx;
}

// The calling thread's HMAC-SHA-256 context, rekeyed for every chunk.
EVP_MAC_CTX* thread_hmac()
{
    struct Holder {
        EVP_MAC_CTX* ctx = nullptr;
        ~Holder() { EVP_MAC_CTX_free(ctx); }
    };
    thread_local Holder h;
    if (!h.ctx) {
        EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(hmac());
        if (!ctx)
            crypto_failure("allocating an HMAC context");
        char digest[] = "SHA256";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        if (!EVP_MAC_CTX_set_params(ctx, params)) {
            EVP_MAC_CTX_free(ctx);
            crypto_failure("setting up HMAC-SHA-256");
        }
        h.ctx = ctx;
    }
    return h.ctx;
}

// The calling thread's cipher context, set up to seal (`encrypt`) or open the object whose
// header is `header` under `key`: ChaCha20-Poly1305 under the HChaCha20 subkey of the key and
// the first 16 nonce bytes, with the 96-bit nonce of four zero bytes and the last 8 nonce
// bytes, and the header and the context as associated data.
EVP_CIPHER_CTX* start(const uint8_t* key, const uint8_t* header, std::string_view context, bool encrypt)
{
    const uint8_t* nonce = header + 2;
    Key32 subkey;
    crypto_core_hchacha20(subkey.bytes.data(), nonce, key, nullptr);
    uint8_t iv[12] = {};
    memcpy(iv + 4, nonce + 16, 8);
    EVP_CIPHER_CTX* ctx = thread_cipher();
    if (!EVP_CipherInit_ex2(ctx, chacha20_poly1305(), subkey.bytes.data(), iv, encrypt ? 1 : 0, nullptr))
        crypto_failure("ChaCha20-Poly1305");
    int n = 0;
    if (!EVP_CipherUpdate(ctx, nullptr, &n, header, kHeaderBytes))
        crypto_failure("ChaCha20-Poly1305");
    for (size_t at = 0; at < context.size(); at += kPiece) {
        size_t len = std::min(kPiece, context.size() - at);
        if (!EVP_CipherUpdate(ctx, nullptr, &n, reinterpret_cast<const uint8_t*>(context.data()) + at,
                              static_cast<int>(len)))
            crypto_failure("ChaCha20-Poly1305");
    }
    return ctx;
}

void crypt_pieces(EVP_CIPHER_CTX* ctx, const uint8_t* in, size_t size, uint8_t* out)
{
    for (size_t at = 0; at < size; at += kPiece) {
        size_t len = std::min(kPiece, size - at);
        int n = 0;
        if (!EVP_CipherUpdate(ctx, out + at, &n, in + at, static_cast<int>(len)) || size_t(n) != len)
            crypto_failure("ChaCha20-Poly1305");
    }
}

bool overlaps(const uint8_t* a, size_t an, const uint8_t* b, size_t bn)
{
    auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return an && bn && x < y + bn && y < x + an;
}

} // namespace

struct SealingKey::Secret : Key32 {};

struct MasterKey::IdKey : Key32 {};

SealingKey::SealingKey(std::span<const uint8_t> bytes)
{
    if (bytes.size() != kBytes)
        throw Error(Error::Kind::Invalid, "a sealing key is " + std::to_string(kBytes) + " bytes, not " +
                                              std::to_string(bytes.size()));
    auto s = std::make_shared<Secret>();
    memcpy(s->bytes.data(), bytes.data(), kBytes);
    secret_ = std::move(s);
}

size_t SealingKey::seal_to(std::span<const uint8_t> plain, std::string_view context,
                           std::span<uint8_t> out) const
{
    if (plain.size() > SIZE_MAX - kOverhead || out.size() != plain.size() + kOverhead)
        throw Error(Error::Kind::Invalid, "the buffer of a sealed object must be its plaintext's size + " +
                                              std::to_string(kOverhead));
    if (overlaps(plain.data(), plain.size(), out.data(), out.size()))
        throw Error(Error::Kind::Invalid, "sealing in place");
    uint8_t* header = out.data();
    header[0] = kVersion;
    header[1] = kCipherXChaCha20Poly1305;
    random_bytes({header + 2, kNonceBytes});

    EVP_CIPHER_CTX* ctx = start(secret_->bytes.data(), header, context, true);
    crypt_pieces(ctx, plain.data(), plain.size(), header + kHeaderBytes);
    int n = 0;
    uint8_t* tag = out.data() + out.size() - kTagBytes;
    if (!EVP_EncryptFinal_ex(ctx, tag, &n) || n != 0 ||
        !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTagBytes, tag))
        crypto_failure("ChaCha20-Poly1305");
    return out.size();
}

void SealingKey::seal_append(std::string& out, std::string_view plain, std::string_view context) const
{
    if (overlaps(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                 reinterpret_cast<const uint8_t*>(out.data()), out.capacity()))
        throw Error(Error::Kind::Invalid, "sealing in place");
    size_t base = out.size();
    out.resize(base + plain.size() + kOverhead);
    try {
        seal_to({reinterpret_cast<const uint8_t*>(plain.data()), plain.size()}, context,
                {reinterpret_cast<uint8_t*>(out.data()) + base, plain.size() + kOverhead});
    } catch (...) {
        out.resize(base);
        throw;
    }
}

std::string SealingKey::seal(std::string_view plain, std::string_view context) const
{
    std::string out;
    seal_append(out, plain, context);
    return out;
}

size_t SealingKey::open_to(std::span<const uint8_t> sealed, std::string_view context,
                           std::span<uint8_t> out, const std::string& path) const
{
    if (sealed.size() < kOverhead)
        throw Error(Error::Kind::Damaged, "sealed object is truncated (" + std::to_string(sealed.size()) +
                                              " bytes, at least " + std::to_string(kOverhead) + ")", path);
    size_t n = sealed.size() - kOverhead;
    if (out.size() != n)
        throw Error(Error::Kind::Invalid, "the buffer of an opened object must be its sealed size - " +
                                              std::to_string(kOverhead));
    if (overlaps(sealed.data(), sealed.size(), out.data(), out.size()))
        throw Error(Error::Kind::Invalid, "opening in place");
    const uint8_t* header = sealed.data();
    if (header[0] != kVersion)
        throw Error(Error::Kind::Damaged, "sealed object of unknown layout version " + std::to_string(header[0]),
                    path);
    if (header[1] != kCipherXChaCha20Poly1305)
        throw Error(Error::Kind::Damaged, "sealed object of unknown cipher " + std::to_string(header[1]), path);

    EVP_CIPHER_CTX* ctx = start(secret_->bytes.data(), header, context, false);
    crypt_pieces(ctx, header + kHeaderBytes, n, out.data());
    uint8_t tag[kTagBytes];
    memcpy(tag, sealed.data() + sealed.size() - kTagBytes, kTagBytes);
    if (!EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTagBytes, tag))
        crypto_failure("ChaCha20-Poly1305");
    int fin = 0;
    uint8_t none[16];
    if (EVP_DecryptFinal_ex(ctx, none, &fin) <= 0) {
        OPENSSL_cleanse(out.data(), out.size());
        throw Error(Error::Kind::Damaged,
                    "sealed object does not authenticate (changed, or sealed with another key or for another use)",
                    path);
    }
    return n;
}

void SealingKey::open_into(std::string_view sealed, std::string_view context, std::string& out,
                           const std::string& path) const
{
    auto in = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(sealed.data()), sealed.size());
    if (overlaps(in.data(), in.size(), reinterpret_cast<const uint8_t*>(out.data()), out.capacity()))
        throw Error(Error::Kind::Invalid, "opening in place");
    out.clear();
    if (sealed.size() < kOverhead) {
        open_to(in, context, {}, path);  // throws the error for a truncated object
    }
    out.resize(sealed.size() - kOverhead);
    try {
        open_to(in, context, {reinterpret_cast<uint8_t*>(out.data()), out.size()}, path);
    } catch (...) {
        out.clear();
        throw;
    }
}

std::string SealingKey::open(std::string_view sealed, std::string_view context, const std::string& path) const
{
    std::string out;
    open_into(sealed, context, out, path);
    return out;
}

MasterKey::MasterKey(SealingKey data, std::shared_ptr<const IdKey> id_key)
    : data_(std::move(data)), id_key_(std::move(id_key))
{
}

MasterKey MasterKey::generate()
{
    std::array<uint8_t, kBytes> bytes;
    random_bytes(bytes);
    MasterKey k = from_bytes(bytes);
    wipe(bytes);
    return k;
}

MasterKey MasterKey::from_bytes(std::span<const uint8_t> bytes)
{
    if (bytes.size() != kBytes)
        throw Error(Error::Kind::Invalid, "a master key is " + std::to_string(kBytes) + " bytes, not " +
                                              std::to_string(bytes.size()));
    auto id = std::make_shared<IdKey>();
    memcpy(id->bytes.data(), bytes.data() + SealingKey::kBytes, SealingKey::kBytes);
    return MasterKey(SealingKey(bytes.first(SealingKey::kBytes)), std::move(id));
}

void MasterKey::to_bytes(std::span<uint8_t, kBytes> out) const
{
    memcpy(out.data(), data_.secret_->bytes.data(), SealingKey::kBytes);
    memcpy(out.data() + SealingKey::kBytes, id_key_->bytes.data(), SealingKey::kBytes);
}

bool MasterKey::same_as(const MasterKey& other) const
{
    return CRYPTO_memcmp(data_.secret_->bytes.data(), other.data_.secret_->bytes.data(), SealingKey::kBytes) == 0 &&
           CRYPTO_memcmp(id_key_->bytes.data(), other.id_key_->bytes.data(), SealingKey::kBytes) == 0;
}

Digest MasterKey::id(std::span<const uint8_t> data) const
{
    EVP_MAC_CTX* ctx = thread_hmac();
    Digest d{};
    size_t len = 0;
    if (!EVP_MAC_init(ctx, id_key_->bytes.data(), id_key_->bytes.size(), nullptr) ||
        !EVP_MAC_update(ctx, data.data(), data.size()) || !EVP_MAC_final(ctx, d.data(), &len, d.size()) ||
        len != d.size())
        crypto_failure("HMAC-SHA-256");
    return d;
}

void random_bytes(std::span<uint8_t> out)
{
    for (size_t at = 0; at < out.size(); at += kPiece) {
        size_t len = std::min(kPiece, out.size() - at);
        if (RAND_bytes(out.data() + at, static_cast<int>(len)) != 1)
            throw Error(Error::Kind::Io, "the system's random source failed");
    }
}

void wipe(std::span<uint8_t> data)
{
    OPENSSL_cleanse(data.data(), data.size());
}

void wipe(std::string& s)
{
    OPENSSL_cleanse(s.data(), s.size());
}

} // namespace repo
