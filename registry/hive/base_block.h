#pragma once
// A hive's base block, as the regf format lays out its first sector: the
// checksum that makes it whole.

#include <cstdint>
#include <span>

namespace keyscour {

// The XOR of the base block's first 127 doublewords, as stored at 0x1FC.
std::uint32_t BaseBlockChecksum(const std::uint8_t* baseBlock);

// Whether a base block's first sector checks out: its signature and its
// XOR checksum.
bool BaseBlockChecksOut(std::span<const std::uint8_t> baseBlock);

// Of two sequence numbers, the later, as numbers that wrap past
// 0xFFFFFFFF to 0 are compared: the one less than half the range ahead.
inline std::uint32_t LaterSequence(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0 ? a : b;
}

}  // namespace keyscour
