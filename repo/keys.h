// The repository's keys: one random master key (repo/crypto.h), kept in one or more key
// files, each wrapping it under a key derived from a password with Argon2id. Anyone who
// knows one of the passwords opens the repository; adding or removing a password never
// re-encrypts anything.
//
// A key file is a JSON object (docs/repository.md gives every field) naming its KDF and the
// KDF's parameters and salt, the wrapped master key (a sealed object whose context binds it
// to one repository), and when, where and by whom it was made. Key files are named by 32
// random hex digits and stored through a KeyStore, so that any backend can hold them.
//
// Errors: every function throws repo::Error. A password that opens no key file is
// Kind::WrongPassword; a key store that holds no readable key file, or a key file that
// cannot be parsed or asks for KDF parameters beyond the bounds below, is Kind::Damaged
// (naming the file); a request this module refuses (removing the last key or the key in
// use, weak parameters for a new key, an empty password) is Kind::Invalid; the store's own
// errors pass through.
//
// Threads: the functions keep no state; calls on different stores may run at once. Adding
// and removing keys is not atomic across key files: callers hold the repository exclusively
// while they add or remove a key, so that two removals cannot leave no key at all.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "repo/backend.h"
#include "repo/crypto.h"
#include "repo/env.h"

namespace repo::keys {

// Argon2id (version 0x13, one lane) parameters.
struct KdfParams {
    uint32_t ops = 0;         // passes over the memory (t)
    uint32_t memory_kib = 0;  // memory in KiB (m)
    bool operator==(const KdfParams&) const = default;
};

// New keys: 3 passes over 64 MiB (half a second on the busy development machine, once per
// command). No weaker parameters are accepted for a new key (but see
// testing::WeakKdfForTests).
constexpr KdfParams kStandardKdf{3, 64 * 1024};
// The most a key file may ask for: anything beyond is refused as damaged before the KDF runs,
// so a hostile key file can neither exhaust memory nor stall an unlock for long.
constexpr uint32_t kMaxKdfOps = 10;
constexpr uint32_t kMaxKdfMemoryKib = 1024 * 1024;             // 1 GiB
constexpr uint64_t kMaxKdfWorkKib = uint64_t(4) * 1024 * 1024; // ops × memory: 4 GiB of passes
constexpr uint32_t kMinKdfMemoryKib = 8;                       // the algorithm's least
constexpr size_t kSaltBytes = 16;
// A key store holding more key files, or a key file larger than this, is refused as damaged.
constexpr size_t kMaxKeyFiles = 64;
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

// Where key files live. Names are 32 lower-case hex digits (other names a store holds are
// ignored). Implementations throw repo::Error and may be used from one thread at a time.
class KeyStore {
public:
    virtual ~KeyStore() = default;
    // The names of the stored key files, in no order (none when the store is empty or does
    // not exist yet). Temporary files of an interrupted save are not listed.
    virtual std::vector<std::string> list() = 0;
    // The file's bytes. Kind::NotFound when there is none of that name; Kind::Damaged when it
    // is larger than `limit` bytes (nothing that large is read).
    virtual std::string load(const std::string& name, size_t limit) = 0;
    // Stores a new file, durably on return, never replacing one: Kind::Exists when the name is
    // taken. A failed or interrupted save leaves no file of that name.
    virtual void save(const std::string& name, const std::string& bytes) = 0;
    // Removes the file, durably on return. Kind::NotFound when there is none of that name.
    virtual void remove(const std::string& name) = 0;
};

// Key files as objects "<prefix>/<name>" of a repository's Backend, so that any store holds
// them (LocalBackend makes them 0600 in a 0700 directory). A save never replaces a key file:
// it stores the object only when the name is free.
class BackendKeyStore : public KeyStore {
public:
    explicit BackendKeyStore(Backend& store, std::string prefix = "keys") : store_(store), prefix_(std::move(prefix)) {}
    std::vector<std::string> list() override;
    std::string load(const std::string& name, size_t limit) override;
    void save(const std::string& name, const std::string& bytes) override;
    void remove(const std::string& name) override;

private:
    std::string object(const std::string& name) const { return prefix_ + "/" + name; }

    Backend& store_;
    std::string prefix_;
};

// Key files in memory, for tests and for programs that keep them elsewhere.
class MemoryKeyStore : public KeyStore {
public:
    std::vector<std::string> list() override;
    std::string load(const std::string& name, size_t limit) override;
    void save(const std::string& name, const std::string& bytes) override;
    void remove(const std::string& name) override;

    std::map<std::string, std::string> files;  // by name
};

// The parsed contents of a key file.
struct KeyFile {
    uint32_t version = 1;
    std::string created;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
    std::string host;
    std::string user;
    KdfParams kdf;
    std::array<uint8_t, kSaltBytes> salt{};
    std::string wrapped;  // the sealed master key
};

// The key file in `text`. Kind::Damaged naming `name` for anything but a well-formed key file
// of a version this program reads whose KDF parameters lie within the bounds above.
KeyFile parse_key_file(std::string_view text, const std::string& name);
std::string encode_key_file(const KeyFile& file);

// What a new key file records besides its password. Empty host or user: this machine's and
// the effective user's; created < 0: now (seconds since 1970, UTC).
struct NewKey {
    KdfParams kdf = kStandardKdf;
    std::string host;
    std::string user;
    int64_t created = -1;
};

// An opened repository key: the master key, and the name of the key file that opened it.
struct Unlocked {
    MasterKey key;
    std::string name;
};

// What binds a repository's key files to it (its id, say) is `bind` in every function: a key
// file made with another `bind` does not open, even with its password, so that a key file
// copied in from another repository cannot yield a master key that opens nothing here.

// Makes a new master key and the store's first key file for `password`. Kind::Exists when the
// store holds a key file already; Kind::Invalid for an empty password or parameters below the
// standard ones.
Unlocked create_first_key(KeyStore& store, std::string_view bind, const std::string& password,
                          const NewKey& options = {});

// Opens the master key with `password`: tries every key file in name order (only `name` when
// it is not empty) and returns the first that opens. Kind::WrongPassword when none does (its
// message counts the damaged key files skipped, if any); Kind::Damaged when the store holds no
// key file, none that can be read, or more than kMaxKeyFiles; Kind::NotFound when `name` is
// given and not stored.
Unlocked unlock(KeyStore& store, std::string_view bind, const std::string& password,
                const std::string& name = {});

// Adds a key file wrapping `key` under `password`; returns its name. Kind::Invalid as for
// create_first_key, or when the store holds kMaxKeyFiles already.
std::string add_key(KeyStore& store, std::string_view bind, const MasterKey& key, const std::string& password,
                    const NewKey& options = {});

// Every key file's name and record, sorted by name; a damaged one has `error` set and the
// rest empty.
struct KeyInfo {
    std::string name;
    std::string created;
    std::string host;
    std::string user;
    KdfParams kdf;
    std::string error;
};
std::vector<KeyInfo> list_keys(KeyStore& store);

// Removes the key file `name`. Kind::Invalid when it is the one that opened `in_use`, or when
// it is the last key file of the store that is not damaged; Kind::NotFound when there is no
// such key file.
void remove_key(KeyStore& store, const Unlocked& in_use, const std::string& name);

// Runs Argon2id: the 32-byte key for `password` and `salt`. Kind::Invalid for parameters
// outside the bounds above; Kind::Io when the memory cannot be had.
std::array<uint8_t, 32> derive_key(const std::string& password, std::span<const uint8_t> salt,
                                   const KdfParams& params);

namespace testing {
// While one of these lives, new keys may use any parameters within the bounds (tests use
// kCheapKdf so that each key costs microseconds instead of a fifth of a second). Nothing
// outside tests makes one.
class WeakKdfForTests {
public:
    WeakKdfForTests();
    ~WeakKdfForTests();
    WeakKdfForTests(const WeakKdfForTests&) = delete;
    WeakKdfForTests& operator=(const WeakKdfForTests&) = delete;
};
constexpr KdfParams kCheapKdf{1, kMinKdfMemoryKib};
} // namespace testing

} // namespace repo::keys
