#include "base/marvin32.h"

#include <bit>

namespace keyscour {

namespace {

void Mix(std::uint32_t& low, std::uint32_t& high) {
    high ^= low;
    low = std::rotl(low, 20);
    low += high;
    high = std::rotl(high, 9);
    high ^= low;
    low = std::rotl(low, 27);
    low += high;
    high = std::rotl(high, 19);
}

}  // namespace

std::uint64_t Marvin32(std::span<const std::uint8_t> data, std::uint64_t seed) {
    auto low = static_cast<std::uint32_t>(seed);
    auto high = static_cast<std::uint32_t>(seed >> 32);
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        low += data[at] | data[at + 1] << 8 | data[at + 2] << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
        Mix(low, high);
    }
    // The last one to three bytes, then a one bit past them.
    std::uint32_t last = 0x80;
    for (std::size_t i = data.size(); i > at; --i) last = last << 8 | data[i - 1];
    low += last;
    Mix(low, high);
    Mix(low, high);
    return static_cast<std::uint64_t>(high) << 32 | low;
}

}  // namespace keyscour
