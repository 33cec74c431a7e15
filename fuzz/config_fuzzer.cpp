// A libFuzzer target over the repository's config: the input is the config file of a
// repository that holds one sound backup; the repository is opened and read in full.
#include "fuzz/repo_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Fixture& f = fuzz::fixture();
    std::string input(reinterpret_cast<const char*>(data), size);
    try {
        repo::format::read_config(input, "config");
    } catch (const repo::Error&) {
    }
    f.put("/repo/config", input);
    f.read_everything();
    f.put("/repo/config", f.config);
    return 0;
}
