// A libFuzzer target over a backup's index: the input is the index without its trailing
// SHA-256, which the target appends; the manifest is rewritten to record that digest and
// the geometry the index's header claims (as someone who can write both files would), then
// every reader of the repository runs over them.
#include <cstring>

#include "fuzz/repo_fixture.h"

namespace {

uint64_t le(const std::string& s, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Fixture& f = fuzz::fixture();
    std::string index = fuzz::seal_index(std::string(reinterpret_cast<const char*>(data), size));
    try {
        repo::format::decode_index(index, "index");
    } catch (const repo::Error&) {
    }
    repo::Manifest m = repo::format::decode_manifest(fuzz::seal_manifest(f.manifest_body), "manifest");
    m.index_digest = repo::format::sha256({reinterpret_cast<const uint8_t*>(index.data()), index.size()});
    if (index.size() >= 40) {
        m.source.block_size = static_cast<uint32_t>(le(index, 12, 4));
        m.chunk_blocks = static_cast<uint32_t>(le(index, 16, 4));
        m.source.block_count = le(index, 24, 8);
    }
    f.put(fuzz::kIndex, index);
    f.put(fuzz::kManifest, repo::format::encode_manifest(m));
    f.read_everything();
    f.put(fuzz::kIndex, fuzz::seal_index(f.index_body));
    f.put(fuzz::kManifest, fuzz::seal_manifest(f.manifest_body));
    return 0;
}
