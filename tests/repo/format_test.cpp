// The chunk file's checksum and encoding: every method of computing CRC-32C gives the same
// value, and chunks come out byte for byte as a fresh one-shot zstd call and a bitwise
// checksum make them, whichever thread encodes them and whatever it encoded before.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <zstd.h>

#include "repo/format.h"

using repo::Error;
namespace format = repo::format;

namespace {

// CRC-32C one bit at a time: slow and obviously right.
uint32_t crc_bitwise(std::span<const uint8_t> data)
{
    uint32_t c = 0xffffffffu;
    for (uint8_t b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
    }
    return ~c;
}

void put32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s += static_cast<char>(v >> (8 * i));
}

// A chunk file as a fresh compression context for every chunk writes it.
std::string chunk_one_shot(std::span<const uint8_t> raw)
{
    std::string stored(ZSTD_compressBound(raw.size()), '\0');
    size_t n = ZSTD_compress(stored.data(), stored.size(), raw.data(), raw.size(), 3);
    char codec = 1;
    if (ZSTD_isError(n) || n >= raw.size()) {
        stored.assign(reinterpret_cast<const char*>(raw.data()), raw.size());
        codec = 0;
    } else {
        stored.resize(n);
    }
    std::string out = "KSCK";
    out += '\1';
    out += codec;
    out += std::string(2, '\0');
    put32(out, static_cast<uint32_t>(raw.size()));
    put32(out, static_cast<uint32_t>(stored.size()));
    put32(out, crc_bitwise({reinterpret_cast<const uint8_t*>(stored.data()), stored.size()}));
    put32(out, 0);
    return out + stored;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

// Data that compresses about two to one, as file systems' blocks often do.
std::vector<uint8_t> half_random(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v = random_bytes(n, seed);
    for (size_t i = 0; i < n; i += 64)
        std::fill(v.begin() + static_cast<long>(i), v.begin() + static_cast<long>(std::min(n, i + 32)), uint8_t(i >> 6));
    return v;
}

TEST(FormatTest, EveryCrcMethodAgreesAtEveryLengthAndAlignment)
{
    const std::string check = "123456789";
    std::span<const uint8_t> check_bytes(reinterpret_cast<const uint8_t*>(check.data()), check.size());
    EXPECT_EQ(crc_bitwise(check_bytes), 0xE3069283u);
    EXPECT_EQ(format::crc32c(check_bytes), 0xE3069283u);
    EXPECT_EQ(format::crc32c_portable(check_bytes), 0xE3069283u);
    bool hw = format::crc32c_hw_available();
    if (hw) {
        EXPECT_EQ(format::crc32c_hw(check_bytes), 0xE3069283u);
    } else {
        EXPECT_THROW(format::crc32c_hw(check_bytes), Error);
    }

    // Every length up to a few hundred bytes at every offset from an 8-byte boundary: the
    // head, the eight-byte body and the tail of each method all get their turn.
    std::vector<uint8_t> buf = random_bytes(320 + 8, 5);
    for (size_t off = 0; off < 8; off++)
        for (size_t len = 0; len <= 320; len++) {
            std::span<const uint8_t> s(buf.data() + off, len);
            uint32_t want = crc_bitwise(s);
            ASSERT_EQ(format::crc32c_portable(s), want) << "offset " << off << " length " << len;
            ASSERT_EQ(format::crc32c(s), want) << "offset " << off << " length " << len;
            if (hw) {
                ASSERT_EQ(format::crc32c_hw(s), want) << "offset " << off << " length " << len;
            }
        }

    for (size_t n : {size_t(65536), size_t(1 << 20) + 13}) {
        std::vector<uint8_t> big = random_bytes(n, static_cast<uint32_t>(n));
        uint32_t want = crc_bitwise(big);
        EXPECT_EQ(format::crc32c_portable(big), want);
        EXPECT_EQ(format::crc32c(big), want);
        if (hw) {
            EXPECT_EQ(format::crc32c_hw(big), want);
        }
    }
}

TEST(FormatTest, ChunksAreTheBytesAFreshEncoderWritesOnEveryThread)
{
    // Sizes and contents alternate so that each thread's reused context and buffer meet a
    // smaller, larger and differently compressible chunk after each other.
    std::vector<std::vector<uint8_t>> inputs;
    for (uint32_t i = 0; i < 12; i++) {
        size_t n = (i % 3 == 0) ? 65536 : (i % 3 == 1) ? 4096 : 16384 + 7 * i;
        inputs.push_back(i % 4 == 3 ? random_bytes(n, i) : half_random(n, i));
    }
    inputs.push_back(std::vector<uint8_t>(65536, 0));
    inputs.push_back({});
    inputs.push_back(random_bytes(1, 99));

    std::vector<std::string> want;
    for (const auto& in : inputs)
        want.push_back(chunk_one_shot(in));
    EXPECT_EQ(want[3][5], format::kCodecNone) << "random data is stored as it is";
    EXPECT_EQ(want[0][5], format::kCodecZstd);

    auto check_all = [&](int rounds, std::vector<std::string>& failures) {
        for (int r = 0; r < rounds; r++)
            for (size_t i = 0; i < inputs.size(); i++) {
                std::string file = format::encode_chunk(inputs[i]);
                auto view = format::encode_chunk_view(inputs[i]);
                std::string viewed(reinterpret_cast<const char*>(view.data()), view.size());
                if (file != want[i] || viewed != want[i])
                    failures.push_back("input " + std::to_string(i));
                // What the old encoder wrote reads back as what was stored.
                if (format::decode_chunk(want[i], format::sha256(inputs[i]), "c") != inputs[i])
                    failures.push_back("decode of input " + std::to_string(i));
            }
    };
    std::vector<std::string> failures[3];
    std::thread a(check_all, 3, std::ref(failures[0])), b(check_all, 3, std::ref(failures[1]));
    check_all(1, failures[2]);
    a.join();
    b.join();
    for (const auto& f : failures)
        EXPECT_TRUE(f.empty()) << f.size() << " mismatches, first: " << f.front();
}

} // namespace
