// What the repository file fuzzers share: an in-memory repository built from the sound
// files of the seed corpus (fuzz/repo_corpus, written by fuzz/repo_seeds.py), a way to put
// one file of it in the fuzzer's hands, and every reader run over the result.
//
// A reader may refuse a file only with repo::Error; any other exception escapes the target
// and libFuzzer reports it, as it reports crashes, leaks, sanitizer findings, hangs and
// allocations beyond -malloc_limit_mb.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/fault_env.h"
#include "repo/format.h"
#include "repo/repository.h"

namespace fuzz {

constexpr const char* kBackupId = "20240101-000000-000000-00";
constexpr const char* kManifest = "/repo/backups/20240101-000000-000000-00.manifest";
constexpr const char* kIndex = "/repo/backups/20240101-000000-000000-00.index";

inline std::string seed(const std::string& name)
{
    std::ifstream in(std::string(KESTREL_REPO_SEEDS) + "/" + name, std::ios::binary);
    if (!in) {
        fprintf(stderr, "repository fuzzer: the seed %s is missing (run fuzz/repo_seeds.py)\n", name.c_str());
        abort();
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string sha256_hex(const std::string& data)
{
    return repo::to_hex(repo::format::sha256({reinterpret_cast<const uint8_t*>(data.data()), data.size()}));
}

// A manifest file from its JSON line: the line, its checksum line.
inline std::string seal_manifest(const std::string& body)
{
    return body + "\nsha256:" + sha256_hex(body) + "\n";
}

inline std::string seal_index(const std::string& body)
{
    repo::Digest d = repo::format::sha256({reinterpret_cast<const uint8_t*>(body.data()), body.size()});
    return body + std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

class Fixture {
public:
    Fixture()
    {
        env.mkdir("/repo");
        env.mkdir("/repo/chunks");
        env.mkdir("/repo/backups");
        config = seed("config/sound");
        manifest_body = seed("manifest/sound");
        index_body = seed("index/sound");
        put("/repo/config", config);
        put(kManifest, seal_manifest(manifest_body));
        put(kIndex, seal_index(index_body));
        // The chunks the index names, in its order (position 1 is empty).
        std::string index = seal_index(index_body);
        for (size_t pos : {0, 2}) {
            std::string hex = repo::to_hex(
                std::span(reinterpret_cast<const uint8_t*>(index.data()) + 40 + 32 * pos, 32));
            env.mkdir("/repo/chunks/" + hex.substr(0, 2));
            std::string path = "/repo/chunks/" + hex.substr(0, 2) + "/" + hex;
            put(path, seed("chunk/" + hex));
            chunk_paths[pos == 0 ? 0 : 1] = path;
            chunks[pos == 0 ? 0 : 1] = seed("chunk/" + hex);
        }
        auto r = repo::Repository::open(env, "/repo");
        if (!r->verify(std::nullopt).clean()) {
            fprintf(stderr, "repository fuzzer: the seed repository is not sound\n");
            abort();
        }
    }

    void put(const std::string& path, const std::string& data)
    {
        auto f = env.create(path);
        f->append(data.data(), data.size());
        f->close();
    }

    // Every reader of the repository at /repo, each refusal a repo::Error.
    void read_everything()
    {
        std::unique_ptr<repo::Repository> r;
        try {
            r = repo::Repository::open(env, "/repo");
        } catch (const repo::Error&) {
            return;
        }
        try {
            r->list();
        } catch (const repo::Error&) {
        }
        try {
            r->verify(std::nullopt);
        } catch (const repo::Error&) {
        }
        try {
            auto reader = r->reader(kBackupId);
            uint64_t blocks = reader->manifest().source.block_count;
            std::vector<uint8_t> block(reader->manifest().source.block_size);
            for (uint64_t b = 0; b < blocks && b < 64; b++)
                reader->read(b, 1, block.data());
        } catch (const repo::Error&) {
        }
        try {
            // The image lives in memory here: only small ones, the code path is the same.
            repo::Manifest m = r->manifest(kBackupId);
            if (m.source.block_count * m.source.block_size <= (1u << 20)) {
                repo::RestoreOptions opt;
                opt.threads = 1;
                r->restore(kBackupId, "/image", {}, opt);
            }
        } catch (const repo::Error&) {
        }
        if (env.exists("/image"))
            env.remove("/image");
    }

    repo::FaultEnv env;
    std::string config, manifest_body, index_body;
    std::string chunk_paths[2], chunks[2];
};

inline Fixture& fixture()
{
    static Fixture f;
    return f;
}

} // namespace fuzz
