// Pieces the stand-alone benchmarks share: timing, test data, and a plain backup of an image
// file through the repository's interface.
#pragma once

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "repo/repository.h"

namespace bench {

inline void must(bool ok, const std::string& what)
{
    if (!ok) {
        fprintf(stderr, "benchmark: %s failed\n", what.c_str());
        exit(1);
    }
}

inline double seconds(const std::function<void()>& f)
{
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The median of `v`, 0 for none.
inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// CPU time of the whole process (every thread), in seconds.
inline double process_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Fills `buf` with blocks of `block_size` bytes, each half pseudo-random (from the xorshift
// state `x`) and half a repeated line (`line(i)` for the i-th block of `buf`), as mixed file
// contents are: about half of it compresses.
inline void fill_mixed(std::vector<uint8_t>& buf, size_t block_size, uint64_t& x,
                       const std::function<std::string(size_t)>& line)
{
    for (size_t b = 0; b < buf.size(); b += block_size) {
        for (size_t j = 0; j < block_size / 2; j += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&buf[b + j], &x, 8);
        }
        const std::string text = line(b / block_size);
        for (size_t j = block_size / 2; j < block_size; j += text.size())
            memcpy(&buf[b + j], text.data(), std::min(text.size(), block_size - j));
    }
}

// A full backup of the image file (`image_bytes`, blocks of `block_size`) into `r`: every
// block, or with `skip_zero` every block that is not all zeros. Returns the backup's id.
inline std::string back_up_image(repo::Repository& r, const std::string& image, uint64_t image_bytes,
                                 uint32_t block_size, const std::string& fs_type, bool skip_zero)
{
    repo::SourceInfo src;
    src.source = "bench-image";
    src.fs_type = fs_type;
    src.block_size = block_size;
    src.block_count = image_bytes / block_size;
    src.sector_count = image_bytes / 512;
    auto w = r.begin_backup(src, std::nullopt);
    int fd = open(image.c_str(), O_RDONLY);
    must(fd >= 0, "opening the image");
    std::vector<uint8_t> buf(4 << 20), zero(block_size, 0);
    for (uint64_t off = 0; off < image_bytes; off += buf.size()) {
        must(pread(fd, buf.data(), buf.size(), static_cast<off_t>(off)) == static_cast<ssize_t>(buf.size()),
             "reading the image");
        for (size_t b = 0; b < buf.size(); b += block_size)
            if (!skip_zero || memcmp(&buf[b], zero.data(), block_size) != 0)
                w->put((off + b) / block_size, std::span(&buf[b], block_size));
    }
    close(fd);
    return w->commit({});
}

} // namespace bench
