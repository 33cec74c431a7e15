// A libFuzzer target over chunk files: the input takes the place of the backup's first
// chunk, once as it is and once with its checksum field made to match its stored bytes (so
// that decompression is reached), and every reader of the repository runs over it.
#include "fuzz/repo_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Fixture& f = fuzz::fixture();
    std::string chunk(reinterpret_cast<const char*>(data), size);
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            if (chunk.size() < repo::format::kChunkHeaderBytes)
                break;
            uint32_t crc = repo::format::crc32c(
                {reinterpret_cast<const uint8_t*>(chunk.data()) + repo::format::kChunkHeaderBytes,
                 chunk.size() - repo::format::kChunkHeaderBytes});
            for (int i = 0; i < 4; i++)
                chunk[16 + i] = static_cast<char>(crc >> (8 * i));
        }
        try {
            repo::format::decode_chunk(chunk, repo::Digest{}, "chunk");
        } catch (const repo::Error&) {
        }
        f.put(f.chunk_paths[0], chunk);
        f.read_everything();
    }
    f.put(f.chunk_paths[0], f.chunks[0]);
    return 0;
}
