// Writing a backup's image to its target, and the temporary files a fatal signal must not
// leave behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "repo/env.h"
#include "repo/repository.h"

namespace repo {

// The shape of an image: `positions` chunks of `chunk_blocks` blocks of `block_size` bytes,
// the last one cut at `block_count`.
struct ImageLayout {
    uint64_t block_count = 0;
    uint32_t block_size = 0;
    uint32_t chunk_blocks = 0;
    uint64_t positions = 0;
};

// Fills `out` with chunk position `pos` (chunk_blocks × block_size bytes, checked) and returns
// true, or returns false for a position that holds no used block (zeros). Called from several
// threads at once, each with its own `out`.
using PositionReader = std::function<bool(uint64_t pos, std::vector<uint8_t>& out)>;

// Writes the image to `target` as Repository::restore describes; `repo_dir` is the
// repository's directory, which the target must not be inside ("" for a repository that
// is not in a local directory). `progress` is called on the calling
// thread only, with chunk positions done of the total.
void write_image(Env& env, const std::string& repo_dir, const std::string& target, const ImageLayout& layout,
                 const PositionReader& read, const RestoreOptions& options, const ProgressFn& progress);

// Installs handlers of SIGINT, SIGTERM and SIGHUP that remove the temporary files registered
// at that moment, then end the process by the same signal as if there were no handler. For
// programs that write such files; call it once from the main thread before any is made.
void remove_temp_files_on_signal();

// Registers `path` to be removed by those handlers for as long as the guard lives. At most a
// few paths at once (others go unregistered; a later restore removes what they leave).
class SignalCleanup {
public:
    explicit SignalCleanup(const std::string& path);
    ~SignalCleanup();
    SignalCleanup(const SignalCleanup&) = delete;
    SignalCleanup& operator=(const SignalCleanup&) = delete;

private:
    int slot_;
};

} // namespace repo
