// A libFuzzer target over a backup's manifest: the input is its JSON line, sealed with a
// matching checksum line (as someone who can write the repository's files would), then
// every reader of the repository runs over it.
#include "fuzz/repo_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Fixture& f = fuzz::fixture();
    std::string manifest = fuzz::seal_manifest(std::string(reinterpret_cast<const char*>(data), size));
    try {
        repo::Manifest m = repo::format::decode_manifest(manifest, "manifest");
        repo::format::check_geometry(m, 4096, "manifest");
        repo::to_json(m).dump();
    } catch (const repo::Error&) {
    }
    f.put(fuzz::kManifest, manifest);
    f.read_everything();
    f.put(fuzz::kManifest, fuzz::seal_manifest(f.manifest_body));
    return 0;
}
