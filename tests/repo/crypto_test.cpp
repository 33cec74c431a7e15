// Sealed objects and chunk ids: the construction is held against libsodium's own
// XChaCha20-Poly1305 and HMAC-SHA-256; any change to a sealed object, and any other key or
// context, is damage; many threads share one key.
#include <gtest/gtest.h>

#include <sodium.h>

#include <random>
#include <set>
#include <thread>

#include "repo/crypto.h"
#include "repo/format.h"

using repo::Error;
using repo::MasterKey;
using repo::SealingKey;
namespace layout = repo::seal_layout;

namespace {

std::string random_text(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::span<const uint8_t> bytes(std::string_view s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

SealingKey key_of(uint8_t fill)
{
    std::array<uint8_t, 32> k;
    k.fill(fill);
    return SealingKey(k);
}

// Expects `f` to throw repo::Error of `kind`.
template <typename F>
void expect_error(Error::Kind kind, F&& f)
{
    try {
        f();
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
    }
}

TEST(CryptoTest, SealedObjectsRoundTripAtEverySizeClass)
{
    SealingKey key = key_of(7);
    for (size_t n : {0, 1, 15, 16, 17, 63, 64, 65, 4095, 65536, (1 << 20) + 3}) {
        std::string plain = random_text(n, uint32_t(n));
        for (std::string_view context : {"", "chunk", "pack 0123"}) {
            std::string sealed = key.seal(plain, context);
            ASSERT_EQ(sealed.size(), n + layout::kOverhead);
            EXPECT_EQ(uint8_t(sealed[0]), layout::kVersion);
            EXPECT_EQ(uint8_t(sealed[1]), layout::kCipherXChaCha20Poly1305);
            if (n >= 16) {  // the plaintext does not show through
                EXPECT_EQ(sealed.find(plain.substr(0, 16)), std::string::npos);
            }
            EXPECT_EQ(key.open(sealed, context), plain) << n;
        }
    }
    // The span forms and append: several objects one after another in one buffer.
    std::string buf = "head";
    key.seal_append(buf, "one", "a");
    key.seal_append(buf, "second", "b");
    EXPECT_EQ(key.open(std::string_view(buf).substr(4, 3 + layout::kOverhead), "a"), "one");
    EXPECT_EQ(key.open(std::string_view(buf).substr(7 + layout::kOverhead), "b"), "second");
}

// The layout is XChaCha20-Poly1305 (IETF) with the header and context as associated data:
// libsodium opens what we seal, and we open what libsodium seals.
TEST(CryptoTest, SameBytesAsLibsodiumXChaCha20Poly1305)
{
    ASSERT_GE(sodium_init(), 0);
    std::array<uint8_t, 32> k;
    for (size_t i = 0; i < k.size(); i++)
        k[i] = uint8_t(i * 13 + 1);
    SealingKey key(k);
    for (size_t n : {0, 1, 100, 70000}) {
        std::string plain = random_text(n, 99 + uint32_t(n));
        std::string context = "manifest 20261209";
        std::string sealed = key.seal(plain, context);
        std::string ad = sealed.substr(0, layout::kHeaderBytes) + context;
        std::string out(n, '\0');
        unsigned long long out_len = 0;
        ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt(
                      reinterpret_cast<uint8_t*>(out.data()), &out_len, nullptr,
                      reinterpret_cast<const uint8_t*>(sealed.data()) + layout::kHeaderBytes,
                      sealed.size() - layout::kHeaderBytes, reinterpret_cast<const uint8_t*>(ad.data()), ad.size(),
                      reinterpret_cast<const uint8_t*>(sealed.data()) + 2, k.data()),
                  0);
        EXPECT_EQ(out_len, n);
        EXPECT_EQ(out, plain);

        std::string theirs(layout::kHeaderBytes, '\0');
        theirs[0] = char(layout::kVersion);
        theirs[1] = char(layout::kCipherXChaCha20Poly1305);
        randombytes_buf(theirs.data() + 2, layout::kNonceBytes);
        std::string their_ad = theirs + context;
        theirs.resize(layout::kHeaderBytes + n + layout::kTagBytes);
        unsigned long long c_len = 0;
        crypto_aead_xchacha20poly1305_ietf_encrypt(
            reinterpret_cast<uint8_t*>(theirs.data()) + layout::kHeaderBytes, &c_len,
            reinterpret_cast<const uint8_t*>(plain.data()), n, reinterpret_cast<const uint8_t*>(their_ad.data()),
            their_ad.size(), nullptr, reinterpret_cast<const uint8_t*>(theirs.data()) + 2, k.data());
        EXPECT_EQ(key.open(theirs, context), plain);
    }
}

TEST(CryptoTest, EveryChangedByteOrLengthIsDamage)
{
    SealingKey key = key_of(1);
    std::string sealed = key.seal("a small object", "ctx");
    for (size_t i = 0; i < sealed.size(); i++) {
        for (uint8_t flip : {0x01, 0x80, 0xff}) {
            std::string bad = sealed;
            bad[i] = char(bad[i] ^ flip);
            std::string out = "left over";
            expect_error(Error::Kind::Damaged, [&] { key.open_into(bad, "ctx", out, "obj"); });
            EXPECT_TRUE(out.empty()) << "byte " << i;
        }
    }
    for (size_t n = 0; n < sealed.size(); n++)
        expect_error(Error::Kind::Damaged, [&] { key.open(sealed.substr(0, n), "ctx"); });
    expect_error(Error::Kind::Damaged, [&] { key.open(sealed + '\0', "ctx"); });
    // The span form zeroes its output when the tag does not match.
    std::string bad = sealed;
    bad[layout::kHeaderBytes] ^= 1;
    std::vector<uint8_t> out(sealed.size() - layout::kOverhead, 0xaa);
    expect_error(Error::Kind::Damaged, [&] { key.open_to(bytes(bad), "ctx", out); });
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), ptrdiff_t(out.size()));
    // An error names the object and says what is wrong.
    try {
        key.open(bad, "ctx", "packs/ab/abcd");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.path(), "packs/ab/abcd");
        EXPECT_NE(std::string(e.what()).find("does not authenticate"), std::string::npos);
    }
}

TEST(CryptoTest, AnotherKeyOrContextIsDamage)
{
    SealingKey key = key_of(1), other = key_of(2);
    std::string sealed = key.seal("payload", "chunk");
    expect_error(Error::Kind::Damaged, [&] { other.open(sealed, "chunk"); });
    for (std::string_view ctx : {"", "chunk ", "chun", "Chunk", "tree"})
        expect_error(Error::Kind::Damaged, [&] { key.open(sealed, ctx); });
    // A version or cipher this program does not know is damage, named as such, even when the
    // rest would authenticate.
    std::string v2 = sealed;
    v2[0] = 2;
    try {
        key.open(v2, "chunk");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), Error::Kind::Damaged);
        EXPECT_NE(std::string(e.what()).find("version 2"), std::string::npos);
    }
    // Two random keys made by MasterKey do not open each other's objects either.
    MasterKey a = MasterKey::generate(), b = MasterKey::generate();
    EXPECT_FALSE(a.same_as(b));
    expect_error(Error::Kind::Damaged, [&] { b.open(a.seal("x")); });
}

TEST(CryptoTest, BufferSizesAndOverlapsAreRefused)
{
    SealingKey key = key_of(3);
    std::string plain = "twelve bytes";
    std::vector<uint8_t> out(plain.size() + layout::kOverhead);
    expect_error(Error::Kind::Invalid, [&] { key.seal_to(bytes(plain), "", std::span(out).first(out.size() - 1)); });
    EXPECT_EQ(key.seal_to(bytes(plain), "", out), out.size());
    std::vector<uint8_t> back(plain.size() + 1);
    expect_error(Error::Kind::Invalid, [&] { key.open_to(out, "", back); });
    // Sealing or opening in place.
    std::vector<uint8_t> both(plain.size() + layout::kOverhead);
    expect_error(Error::Kind::Invalid,
                 [&] { key.seal_to(std::span(both).first(plain.size()), "", both); });
    std::string s = key.seal(plain);
    expect_error(Error::Kind::Invalid, [&] { key.seal_append(s, std::string_view(s).substr(0, 4)); });
    EXPECT_EQ(key.open(s), plain);  // the refused append left the buffer as it was
    expect_error(Error::Kind::Invalid, [&] { SealingKey(std::span(out).first(31)); });
    expect_error(Error::Kind::Invalid, [&] { MasterKey::from_bytes(std::span(out).first(32)); });
}

TEST(CryptoTest, NoncesAreFresh)
{
    SealingKey key = key_of(4);
    std::set<std::string> nonces;
    for (int i = 0; i < 4096; i++)
        nonces.insert(key.seal("same").substr(2, layout::kNonceBytes));
    EXPECT_EQ(nonces.size(), 4096u);
}

// The chunk id is HMAC-SHA-256 under the master key's second half, as libsodium computes it;
// it is not the SHA-256 of the data and differs between repositories.
TEST(CryptoTest, ChunkIdIsKeyedHmacSha256)
{
    ASSERT_GE(sodium_init(), 0);
    MasterKey key = MasterKey::generate(), other = MasterKey::generate();
    std::array<uint8_t, MasterKey::kBytes> raw;
    key.to_bytes(raw);
    for (size_t n : {0, 1, 64, 65536}) {
        std::string data = random_text(n, 5);
        repo::Digest expect{};
        crypto_auth_hmacsha256_state st;
        crypto_auth_hmacsha256_init(&st, raw.data() + 32, 32);
        crypto_auth_hmacsha256_update(&st, bytes(data).data(), n);
        crypto_auth_hmacsha256_final(&st, expect.data());
        EXPECT_EQ(key.id(bytes(data)), expect) << n;
        EXPECT_NE(key.id(bytes(data)), repo::format::sha256(bytes(data)));
        EXPECT_NE(key.id(bytes(data)), other.id(bytes(data)));
    }
    // The serialised form brings back the same key.
    MasterKey again = MasterKey::from_bytes(raw);
    EXPECT_TRUE(again.same_as(key));
    EXPECT_EQ(again.id(bytes("abc")), key.id(bytes("abc")));
    EXPECT_EQ(again.open(key.seal("abc", "c"), "c"), "abc");
}

// Worker threads seal, open and name chunks under one shared key and their own, interleaved,
// so that each thread's contexts are rekeyed between keys all the time.
TEST(CryptoTest, ManyThreadsShareAKey)
{
    MasterKey shared = MasterKey::generate();
    std::vector<std::string> data;
    std::vector<repo::Digest> ids;
    for (uint32_t i = 0; i < 16; i++) {
        data.push_back(random_text(4096 + i * 1000, i));
        ids.push_back(shared.id(bytes(data.back())));
    }
    std::vector<std::string> sealed_by_main;
    for (auto& d : data)
        sealed_by_main.push_back(shared.seal(d, "chunk"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&, t] {
            MasterKey own = MasterKey::generate();
            for (int round = 0; round < 40; round++) {
                size_t i = size_t(t + round) % data.size();
                std::string mine = own.seal(data[i], "chunk");
                std::string theirs = shared.seal(data[i], "chunk");
                if (shared.id(bytes(data[i])) != ids[i] || own.id(bytes(data[i])) == ids[i] ||
                    own.open(mine, "chunk") != data[i] || shared.open(theirs, "chunk") != data[i] ||
                    shared.open(sealed_by_main[i], "chunk") != data[i])
                    failures++;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
