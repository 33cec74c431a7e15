// Key files: the master key wrapped under Argon2id-derived keys, and a key store on a
// directory.
#include "repo/keys.h"

#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <optional>
#include <nlohmann/json.hpp>

#include "repo/repository.h"

namespace repo::keys {

namespace {

using nlohmann::json;

constexpr const char* kFormat = "kestrel-key";
constexpr uint32_t kKeyFileVersion = 1;
constexpr uint32_t kArgon2Version = 0x13;
constexpr size_t kNameBytes = 16;
constexpr size_t kWrappedBytes = MasterKey::kBytes + seal_layout::kOverhead;

std::atomic<int> weak_kdf_scopes{0};

[[noreturn]] void damaged(const std::string& what, const std::string& name)
{
    throw Error(Error::Kind::Damaged, "key file " + what, name);
}

bool is_key_name(const std::string& name)
{
    return name.size() == 2 * kNameBytes &&
           std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Hex of exactly `out.size()` bytes; false for anything else.
bool parse_hex(std::string_view hex, std::span<uint8_t> out)
{
    size_t len = 0;
    const char* end = nullptr;
    return hex.size() == 2 * out.size() &&
           sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), nullptr, &len, &end) == 0 &&
           len == out.size() && end == hex.data() + hex.size();
}

std::span<const uint8_t> bytes_of(std::string_view s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Why `p` is outside what a key file may ask for; empty when it is within.
std::string kdf_out_of_bounds(const KdfParams& p)
{
    if (p.ops < 1 || p.ops > kMaxKdfOps)
        return "asks for " + std::to_string(p.ops) + " KDF passes (1 to " + std::to_string(kMaxKdfOps) + ")";
    if (p.memory_kib < kMinKdfMemoryKib || p.memory_kib > kMaxKdfMemoryKib)
        return "asks for " + std::to_string(p.memory_kib) + " KiB of KDF memory (" +
               std::to_string(kMinKdfMemoryKib) + " to " + std::to_string(kMaxKdfMemoryKib) + ")";
    if (uint64_t(p.ops) * p.memory_kib > kMaxKdfWorkKib)
        return "asks for " + std::to_string(p.ops) + " KDF passes over " + std::to_string(p.memory_kib) +
               " KiB (at most " + std::to_string(kMaxKdfWorkKib) + " KiB of passes)";
    return {};
}

// The context a wrapped master key is sealed with.
std::string wrap_context(std::string_view bind)
{
    std::string c = "key:";
    c += bind;
    return c;
}

std::string utc_text(int64_t t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string this_host()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return "";
    return buf;
}

std::string this_user()
{
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found)
        return pw.pw_name;
    return std::to_string(geteuid());
}

void check_password(const std::string& password)
{
    if (password.empty())
        throw Error(Error::Kind::Invalid, "the password is empty");
}

void check_new_kdf(const KdfParams& p)
{
    std::string why = kdf_out_of_bounds(p);
    if (!why.empty())
        throw Error(Error::Kind::Invalid, "a new key " + why);
    bool weak = p.ops < kStandardKdf.ops || p.memory_kib < kStandardKdf.memory_kib;
    if (weak && weak_kdf_scopes.load() == 0)
        throw Error(Error::Kind::Invalid, "a new key needs at least " + std::to_string(kStandardKdf.ops) +
                                              " KDF passes over " + std::to_string(kStandardKdf.memory_kib) + " KiB");
}

// The sorted key-file names of the store. Kind::Damaged beyond kMaxKeyFiles.
std::vector<std::string> key_names(KeyStore& store)
{
    std::vector<std::string> names;
    for (auto& n : store.list())
        if (is_key_name(n))
            names.push_back(n);
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxKeyFiles)
        throw Error(Error::Kind::Damaged, "the repository holds " + std::to_string(names.size()) +
                                              " key files (at most " + std::to_string(kMaxKeyFiles) + ")");
    return names;
}

KeyFile read_key_file(KeyStore& store, const std::string& name)
{
    return parse_key_file(store.load(name, kMaxKeyFileBytes), name);
}

// The master key in `file` if `password` opens it; nothing otherwise.
std::optional<MasterKey> try_open(const KeyFile& file, std::string_view bind, const std::string& password)
{
    auto kek = derive_key(password, file.salt, file.kdf);
    SealingKey wrapping(kek);
    wipe(kek);
    std::string bytes;
    try {
        wrapping.open_into(file.wrapped, wrap_context(bind), bytes);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::Damaged)
            return std::nullopt;
        throw;
    }
    // The length is fixed by parse_key_file.
    MasterKey key = MasterKey::from_bytes(bytes_of(bytes));
    wipe(bytes);
    return key;
}

std::string write_new_key(KeyStore& store, std::string_view bind, const MasterKey& key, const std::string& password,
                          const NewKey& options)
{
    check_password(password);
    check_new_kdf(options.kdf);
    KeyFile f;
    f.created = utc_text(options.created >= 0 ? options.created : static_cast<int64_t>(time(nullptr)));
    f.host = options.host.empty() ? this_host() : options.host;
    f.user = options.user.empty() ? this_user() : options.user;
    f.kdf = options.kdf;
    random_bytes(f.salt);
    auto kek = derive_key(password, f.salt, f.kdf);
    SealingKey wrapping(kek);
    wipe(kek);
    std::array<uint8_t, MasterKey::kBytes> raw;
    key.to_bytes(raw);
    f.wrapped = wrapping.seal({reinterpret_cast<const char*>(raw.data()), raw.size()}, wrap_context(bind));
    wipe(raw);

    std::array<uint8_t, kNameBytes> id;
    random_bytes(id);
    std::string name = to_hex(id);
    store.save(name, encode_key_file(f));
    return name;
}

} // namespace

std::vector<std::string> BackendKeyStore::list()
{
    std::vector<std::string> names;
    for (const ObjectInfo& o : store_.list(prefix_)) {
        std::string n = o.name.substr(prefix_.size() + 1);
        if (is_key_name(n))
            names.push_back(n);
    }
    return names;
}

std::string BackendKeyStore::load(const std::string& name, size_t limit)
{
    std::optional<uint64_t> size = store_.stat(object(name));
    if (!size)
        throw Error(Error::Kind::NotFound, "no key file of that name", join(store_.location(), object(name)));
    if (*size > limit)
        throw Error(Error::Kind::Damaged, "key file of " + std::to_string(*size) + " bytes (at most " +
                                              std::to_string(limit) + ")", join(store_.location(), object(name)));
    std::string data = store_.load(object(name));
    if (data.size() > limit)
        throw Error(Error::Kind::Damaged, "key file grew past " + std::to_string(limit) + " bytes",
                    join(store_.location(), object(name)));
    return data;
}

void BackendKeyStore::save(const std::string& name, const std::string& bytes)
{
    try {
        store_.save_new(object(name), bytes);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Exists)
            throw;
        throw Error(Error::Kind::Exists, "a key file of that name exists", join(store_.location(), object(name)));
    }
}

void BackendKeyStore::remove(const std::string& name)
{
    if (!store_.stat(object(name)))
        throw Error(Error::Kind::NotFound, "no key file of that name", join(store_.location(), object(name)));
    store_.remove(object(name));
}

std::vector<std::string> MemoryKeyStore::list()
{
    std::vector<std::string> names;
    for (auto& [name, bytes] : files)
        names.push_back(name);
    return names;
}

std::string MemoryKeyStore::load(const std::string& name, size_t limit)
{
    auto it = files.find(name);
    if (it == files.end())
        throw Error(Error::Kind::NotFound, "no key file of that name", name);
    if (it->second.size() > limit)
        throw Error(Error::Kind::Damaged, "key file of " + std::to_string(it->second.size()) + " bytes (at most " +
                                              std::to_string(limit) + ")", name);
    return it->second;
}

void MemoryKeyStore::save(const std::string& name, const std::string& bytes)
{
    if (!files.emplace(name, bytes).second)
        throw Error(Error::Kind::Exists, "a key file of that name exists", name);
}

void MemoryKeyStore::remove(const std::string& name)
{
    if (!files.erase(name))
        throw Error(Error::Kind::NotFound, "no key file of that name", name);
}

KeyFile parse_key_file(std::string_view text, const std::string& name)
{
    if (text.size() > kMaxKeyFileBytes)
        damaged("is larger than " + std::to_string(kMaxKeyFileBytes) + " bytes", name);
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        damaged("is not a JSON object", name);
    auto str = [&](const json& o, const char* field) -> std::string {
        auto it = o.find(field);
        if (it == o.end() || !it->is_string())
            damaged("lacks the text field \"" + std::string(field) + "\"", name);
        return it->get<std::string>();
    };
    auto num = [&](const json& o, const char* field) -> uint64_t {
        auto it = o.find(field);
        if (it == o.end() || !it->is_number_unsigned())
            damaged("lacks the whole-number field \"" + std::string(field) + "\"", name);
        return it->get<uint64_t>();
    };
    if (str(j, "format") != kFormat)
        damaged("is not a kestrel key file", name);
    KeyFile f;
    uint64_t version = num(j, "version");
    if (version != kKeyFileVersion)
        damaged("of unknown version " + std::to_string(version), name);
    f.version = kKeyFileVersion;
    f.created = str(j, "created");
    f.host = str(j, "host");
    f.user = str(j, "user");

    auto kdf = j.find("kdf");
    if (kdf == j.end() || !kdf->is_object())
        damaged("lacks the object \"kdf\"", name);
    if (str(*kdf, "algorithm") != "argon2id")
        damaged("names an unknown KDF \"" + str(*kdf, "algorithm") + "\"", name);
    if (num(*kdf, "version") != kArgon2Version)
        damaged("names an unknown Argon2 version", name);
    if (num(*kdf, "parallelism") != 1)
        damaged("asks for more than one Argon2 lane", name);
    uint64_t ops = num(*kdf, "ops"), mem = num(*kdf, "memory_kib");
    if (ops > kMaxKdfOps || mem > kMaxKdfMemoryKib)
        damaged("asks for KDF parameters beyond the bounds (" + std::to_string(ops) + " passes over " +
                    std::to_string(mem) + " KiB)", name);
    f.kdf = {static_cast<uint32_t>(ops), static_cast<uint32_t>(mem)};
    if (std::string why = kdf_out_of_bounds(f.kdf); !why.empty())
        damaged(why, name);
    if (!parse_hex(str(*kdf, "salt"), f.salt))
        damaged("has a salt that is not " + std::to_string(kSaltBytes) + " bytes of hex", name);

    std::string wrapped = str(j, "wrapped");
    f.wrapped.resize(kWrappedBytes);
    if (!parse_hex(wrapped, {reinterpret_cast<uint8_t*>(f.wrapped.data()), f.wrapped.size()}))
        damaged("has a wrapped key that is not " + std::to_string(kWrappedBytes) + " bytes of hex", name);
    return f;
}

std::string encode_key_file(const KeyFile& f)
{
    json j = {
        {"format", kFormat},
        {"version", f.version},
        {"created", f.created},
        {"host", f.host},
        {"user", f.user},
        {"kdf",
         {{"algorithm", "argon2id"},
          {"version", kArgon2Version},
          {"ops", f.kdf.ops},
          {"memory_kib", f.kdf.memory_kib},
          {"parallelism", 1},
          {"salt", to_hex(f.salt)}}},
        {"wrapped", to_hex(bytes_of(f.wrapped))},
    };
    return j.dump(2, ' ', true, json::error_handler_t::replace) + "\n";
}

std::array<uint8_t, 32> derive_key(const std::string& password, std::span<const uint8_t> salt,
                                   const KdfParams& params)
{
    if (std::string why = kdf_out_of_bounds(params); !why.empty())
        throw Error(Error::Kind::Invalid, "key derivation " + why);
    if (salt.size() != kSaltBytes)
        throw Error(Error::Kind::Invalid, "a KDF salt is " + std::to_string(kSaltBytes) + " bytes");
    if (sodium_init() < 0)
        throw Error(Error::Kind::Io, "libsodium cannot be initialised");
    std::array<uint8_t, 32> out;
    if (crypto_pwhash(out.data(), out.size(), password.data(), password.size(), salt.data(), params.ops,
                      size_t(params.memory_kib) * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw Error(Error::Kind::Io, "key derivation could not have its " + std::to_string(params.memory_kib / 1024) +
                                         " MiB of memory");
    return out;
}

Unlocked create_first_key(KeyStore& store, std::string_view bind, const std::string& password,
                          const NewKey& options)
{
    if (!key_names(store).empty())
        throw Error(Error::Kind::Exists, "the repository has a key already");
    MasterKey key = MasterKey::generate();
    std::string name = write_new_key(store, bind, key, password, options);
    return {key, name};
}

Unlocked unlock(KeyStore& store, std::string_view bind, const std::string& password, const std::string& name)
{
    std::vector<std::string> names;
    if (!name.empty()) {
        if (!is_key_name(name))
            throw Error(Error::Kind::NotFound, "no key file of that name", name);
        names.push_back(name);
    } else {
        names = key_names(store);
        if (names.empty())
            throw Error(Error::Kind::Damaged, "the repository has no key file");
    }
    size_t damaged_files = 0;
    std::string last_damage;
    for (auto& n : names) {
        KeyFile f;
        try {
            f = read_key_file(store, n);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::NotFound && name.empty())
                continue;  // removed since it was listed
            if (e.kind() != Error::Kind::Damaged || !name.empty())
                throw;
            damaged_files++;
            last_damage = e.what();
            continue;
        }
        if (auto key = try_open(f, bind, password))
            return {*key, n};
    }
    if (damaged_files == names.size())
        throw Error(Error::Kind::Damaged, "no key file of the repository can be read (" + last_damage + ")");
    std::string msg = "wrong password: no key of the repository opens with it";
    if (damaged_files)
        msg += " (" + std::to_string(damaged_files) + " damaged key file" + (damaged_files > 1 ? "s" : "") +
               " skipped: " + last_damage + ")";
    throw Error(Error::Kind::WrongPassword, msg);
}

std::string add_key(KeyStore& store, std::string_view bind, const MasterKey& key, const std::string& password,
                    const NewKey& options)
{
    if (key_names(store).size() >= kMaxKeyFiles)
        throw Error(Error::Kind::Invalid, "the repository has " + std::to_string(kMaxKeyFiles) +
                                              " keys, the most it may have");
    return write_new_key(store, bind, key, password, options);
}

std::vector<KeyInfo> list_keys(KeyStore& store)
{
    std::vector<KeyInfo> out;
    for (auto& n : key_names(store)) {
        KeyInfo info;
        info.name = n;
        try {
            KeyFile f = read_key_file(store, n);
            info.created = f.created;
            info.host = f.host;
            info.user = f.user;
            info.kdf = f.kdf;
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::NotFound)
                continue;
            if (e.kind() != Error::Kind::Damaged)
                throw;
            info.error = e.what();
        }
        out.push_back(std::move(info));
    }
    return out;
}

void remove_key(KeyStore& store, const Unlocked& in_use, const std::string& name)
{
    if (name == in_use.name)
        throw Error(Error::Kind::Invalid, "cannot remove the key that opened the repository", name);
    auto keys = list_keys(store);
    auto it = std::find_if(keys.begin(), keys.end(), [&](const KeyInfo& k) { return k.name == name; });
    if (it == keys.end())
        throw Error(Error::Kind::NotFound, "no key file of that name", name);
    size_t sound = std::count_if(keys.begin(), keys.end(), [](const KeyInfo& k) { return k.error.empty(); });
    if (it->error.empty() && sound <= 1)
        throw Error(Error::Kind::Invalid, "cannot remove the repository's last key", name);
    store.remove(name);
}

namespace testing {
WeakKdfForTests::WeakKdfForTests()
{
    weak_kdf_scopes++;
}
WeakKdfForTests::~WeakKdfForTests()
{
    weak_kdf_scopes--;
}
} // namespace testing

} // namespace repo::keys
