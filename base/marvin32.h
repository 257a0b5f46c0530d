#pragma once
// Marvin32, the keyed hash Windows uses (among other places) in the
// entries of a hive's transaction logs.

#include <cstdint>
#include <span>

namespace keyscour {

std::uint64_t Marvin32(std::span<const std::uint8_t> data, std::uint64_t seed);

}  // namespace keyscour
