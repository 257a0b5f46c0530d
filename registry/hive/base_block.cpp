#include "registry/hive/base_block.h"

#include <cstring>

namespace keyscour {

std::uint32_t BaseBlockChecksum(const std::uint8_t* baseBlock) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 0x1FC; i += 4)
        sum ^= static_cast<std::uint32_t>(baseBlock[i] | baseBlock[i + 1] << 8 | baseBlock[i + 2] << 16 |
                                          static_cast<std::uint32_t>(baseBlock[i + 3]) << 24);
    if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
    if (sum == 0) return 1;
    return sum;
}

bool BaseBlockChecksOut(std::span<const std::uint8_t> baseBlock) {
    if (baseBlock.size() < 512 || std::memcmp(baseBlock.data(), "regf", 4) != 0) return false;
    const std::uint32_t stored = baseBlock[0x1FC] | baseBlock[0x1FD] << 8 | baseBlock[0x1FE] << 16 |
                                 static_cast<std::uint32_t>(baseBlock[0x1FF]) << 24;
    return stored == BaseBlockChecksum(baseBlock.data());
}

}  // namespace keyscour
