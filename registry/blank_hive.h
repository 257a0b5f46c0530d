#pragma once
// A blank hive file, written from the format's description: a 4096-byte
// base block and one 4096-byte hive bin holding the root key and its
// security cell. hivex opens such a file and grows it as keys are added.

#include <cstdint>
#include <string>
#include <vector>

namespace keyscour {

struct BlankHiveOptions {
    std::uint32_t minorVersion = 3;  // 3 (Windows XP on) or 5 (Windows 8.1 on)
    std::uint32_t primarySequence = 1;
    std::uint32_t secondarySequence = 1;
    std::string rootName = "ROOT";
};

std::vector<std::uint8_t> BlankHive(const BlankHiveOptions& options = {});

// The XOR of the base block's first 127 doublewords, as stored at 0x1FC.
std::uint32_t BaseBlockChecksum(const std::uint8_t* baseBlock);

// Writes bytes to path whole; false when that fails.
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace keyscour
