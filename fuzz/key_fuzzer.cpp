// A libFuzzer target over what a repository's keys read from storage: key files and sealed
// objects. The first byte of an input picks which; the rest is the file.
//
//   0: a key file. parse_key_file either refuses it as damaged or returns a key file that
//      encodes and parses back to the same fields; then, when its KDF is cheap (the fuzzer
//      cannot wait for a real one), unlock with the password "pw" either opens it or says the
//      password is wrong; listing never fails.
//   1: a sealed object, opened with a fixed key and the context "chunk": either damage, or
//      it opens (only a genuine sealed object can) and seals and opens again to the same bytes.
//
// Anything else, an exception that is not repo::Error or an error of another kind, aborts.
// With KESTREL_FUZZ_WRITE_SEEDS=DIR in the environment the target first writes one genuine
// input of each kind into DIR, for the seed corpus (fuzz/corpus-keys).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "repo/crypto.h"
#include "repo/keys.h"

namespace {

namespace keys = repo::keys;
using repo::Error;

const repo::MasterKey& fixed_key()
{
    static repo::MasterKey key = [] {
        std::array<uint8_t, repo::MasterKey::kBytes> b;
        for (size_t i = 0; i < b.size(); i++)
            b[i] = uint8_t(i);
        return repo::MasterKey::from_bytes(b);
    }();
    return key;
}

[[noreturn]] void fail(const std::string& what)
{
    fprintf(stderr, "key fuzzer: %s\n", what.c_str());
    abort();
}

void expect_kind(const Error& e, std::initializer_list<Error::Kind> kinds)
{
    for (auto k : kinds)
        if (e.kind() == k)
            return;
    fail(std::string("unexpected error: ") + e.what());
}

void key_file(const std::string& text)
{
    keys::KeyFile f;
    try {
        f = keys::parse_key_file(text, "k");
    } catch (const Error& e) {
        expect_kind(e, {Error::Kind::Damaged});
        return;
    }
    keys::KeyFile again = keys::parse_key_file(keys::encode_key_file(f), "k");
    if (again.kdf != f.kdf || again.salt != f.salt || again.wrapped != f.wrapped || again.host != f.host ||
        again.user != f.user || again.created != f.created)
        fail("a key file does not encode and parse back to itself");
    keys::MemoryKeyStore store;
    store.files[std::string(32, 'a')] = text;
    if (keys::list_keys(store).size() != 1)
        fail("a key file is not listed");
    if (uint64_t(f.kdf.ops) * f.kdf.memory_kib > 256)
        return;
    try {
        keys::unlock(store, "r", "pw");
    } catch (const Error& e) {
        expect_kind(e, {Error::Kind::WrongPassword});
    }
}

void sealed_object(const std::string& sealed)
{
    std::string plain;
    try {
        plain = fixed_key().open(sealed, "chunk");
    } catch (const Error& e) {
        expect_kind(e, {Error::Kind::Damaged});
        return;
    }
    if (fixed_key().open(fixed_key().seal(plain, "chunk"), "chunk") != plain)
        fail("a sealed object does not open to what was sealed");
}

void write_seeds(const std::string& dir)
{
    keys::testing::WeakKdfForTests weak;
    keys::MemoryKeyStore store;
    keys::NewKey opts;
    opts.kdf = keys::testing::kCheapKdf;
    opts.host = "seed-host";
    opts.user = "seed";
    opts.created = 0;
    keys::add_key(store, "r", fixed_key(), "pw", opts);
    std::ofstream(dir + "/key-file", std::ios::binary) << '\0' << store.files.begin()->second;
    std::ofstream(dir + "/sealed-chunk", std::ios::binary)
        << '\1' << fixed_key().seal("the contents of a chunk", "chunk");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* dir = getenv("KESTREL_FUZZ_WRITE_SEEDS"))
        write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        if (data[0] % 2 == 0)
            key_file(rest);
        else
            sealed_object(rest);
    } catch (const Error& e) {
        fail(std::string("unexpected error: ") + e.what());
    }
    return 0;
}
