// Reading a block map's bytes from the kernel side, for the block map tests.
#pragma once

#include <cstdint>
#include <vector>

#include "blockmap/blockmap.h"

namespace kestrel_test {

// The map's bytesInMap bytes, in the layout shared with the agent.
inline std::vector<uint8_t> MapBytes(kes::BlockMap& map)
{
    std::vector<uint8_t> out(map.bytesInMap);
    for (uint32_t off = 0; off < map.bytesInMap; off += PAGE_SIZE) {
        struct page* p = map.pages[off / PAGE_SIZE];
        uint32_t n = map.bytesInMap - off < PAGE_SIZE ? map.bytesInMap - off : PAGE_SIZE;
        memcpy(out.data() + off, kmap(p), n);
        kunmap(p);
    }
    return out;
}

} // namespace kestrel_test
