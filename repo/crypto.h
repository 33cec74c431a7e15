// Sealing of stored objects and the keyed hash that names chunks.
//
// A sealed object is the object's bytes encrypted and authenticated with XChaCha20-Poly1305
// under a 32-byte key, with a fresh random 192-bit nonce for every seal (so the number of
// objects sealed under one key has no practical limit) and a two-byte header that names the
// layout version and the cipher:
//
//     offset 0   1 byte    layout version, 1
//     offset 1   1 byte    cipher, 1 = XChaCha20-Poly1305 (IETF variant)
//     offset 2   24 bytes  nonce
//     offset 26  n bytes   ciphertext (as long as the plaintext)
//     end - 16   16 bytes  Poly1305 tag
//
// The associated data authenticated with it is the 26 header bytes followed by the caller's
// `context` (empty by default). The context binds an object to its role: seal a chunk with
// the context "chunk" and it cannot be opened as, say, a manifest; seal it with its name and
// it cannot be moved under another name. The context is not stored: the opener must give
// the same bytes. docs/repository.md describes the layout for other programs.
//
// Errors: every function throws repo::Error. Opening anything that is not an object sealed
// under this key with this context (truncated, any bit changed, an unknown version or
// cipher, another key, another context) is Kind::Damaged and never reads or writes outside
// the buffers given. Kind::Invalid marks a caller's mistake (a wrong buffer size);
// Kind::Io a failure inside libcrypto or of the system's random source.
//
// Threads: every const member function may be called from any number of threads at once on
// one key (each thread keeps its own cipher and MAC contexts); keys are immutable after
// construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "repo/error.h"

namespace repo {

using Digest = std::array<uint8_t, 32>;

namespace seal_layout {
constexpr uint8_t kVersion = 1;
constexpr uint8_t kCipherXChaCha20Poly1305 = 1;
constexpr size_t kNonceBytes = 24;
constexpr size_t kHeaderBytes = 2 + kNonceBytes;
constexpr size_t kTagBytes = 16;
// Sealed size minus plaintext size.
constexpr size_t kOverhead = kHeaderBytes + kTagBytes;
} // namespace seal_layout

// A 32-byte secret key for sealing and opening. Copies share the key; its memory is wiped
// when the last copy goes.
class SealingKey {
public:
    static constexpr size_t kBytes = 32;

    // A key from `bytes` (exactly kBytes, else Kind::Invalid).
    explicit SealingKey(std::span<const uint8_t> bytes);

    // Seals `plain` into `out`, which must be exactly plain.size() + kOverhead bytes (else
    // Kind::Invalid) and must not overlap `plain`. Returns out.size().
    size_t seal_to(std::span<const uint8_t> plain, std::string_view context,
                   std::span<uint8_t> out) const;
    // Appends the sealed object to `out` (which `plain` must not point into).
    void seal_append(std::string& out, std::string_view plain, std::string_view context = {}) const;
    std::string seal(std::string_view plain, std::string_view context = {}) const;

    // Opens `sealed` into `out`, which must be exactly sealed.size() - kOverhead bytes (else
    // Kind::Invalid; a `sealed` shorter than kOverhead is Kind::Damaged) and must not overlap
    // it. Returns out.size(). On Kind::Damaged `out` is zeroed, so that no unauthenticated
    // byte is ever seen. `path` names the object in the error (may be empty).
    size_t open_to(std::span<const uint8_t> sealed, std::string_view context, std::span<uint8_t> out,
                   const std::string& path = {}) const;
    // The plaintext in `out` (resized; its capacity reused). On error `out` is empty.
    void open_into(std::string_view sealed, std::string_view context, std::string& out,
                   const std::string& path = {}) const;
    std::string open(std::string_view sealed, std::string_view context = {},
                     const std::string& path = {}) const;

private:
    friend class MasterKey;
    struct Secret;
    std::shared_ptr<const Secret> secret_;
};

// The repository's master key: a sealing key for every stored object and a separate key for
// the chunk-id hash. Both are random; key files (repo/keys.h) keep them wrapped under
// passwords. Cheap to copy (copies share the secret).
class MasterKey {
public:
    // The serialised form: the data key, then the id key.
    static constexpr size_t kBytes = 2 * SealingKey::kBytes;

    // A new master key from the system's cryptographically secure random source.
    static MasterKey generate();
    // The key whose serialised form is `bytes` (exactly kBytes, else Kind::Invalid).
    static MasterKey from_bytes(std::span<const uint8_t> bytes);
    // Writes the serialised form into `out` (the caller wipes it when done).
    void to_bytes(std::span<uint8_t, kBytes> out) const;
    // Whether both keys are the same as `other`'s (in constant time).
    bool same_as(const MasterKey& other) const;

    // The sealing key of every stored object.
    const SealingKey& data() const { return data_; }

    // A chunk's id: HMAC-SHA-256 of its contents under the id key. Equal contents have equal
    // ids within a repository, but the ids tell nothing about the contents to whoever lacks
    // the key (unlike a plain SHA-256, which anyone can compute for a guessed block).
    Digest id(std::span<const uint8_t> data) const;

    // Shorthands for data().
    std::string seal(std::string_view plain, std::string_view context = {}) const
    {
        return data_.seal(plain, context);
    }
    std::string open(std::string_view sealed, std::string_view context = {},
                     const std::string& path = {}) const
    {
        return data_.open(sealed, context, path);
    }

private:
    struct IdKey;
    MasterKey(SealingKey data, std::shared_ptr<const IdKey> id_key);

    SealingKey data_;
    std::shared_ptr<const IdKey> id_key_;
};

// `n` bytes from the system's cryptographically secure random source (Kind::Io when it
// fails).
void random_bytes(std::span<uint8_t> out);
// Overwrites `data` with zeros in a way the compiler cannot drop.
void wipe(std::span<uint8_t> data);
void wipe(std::string& s);

} // namespace repo
