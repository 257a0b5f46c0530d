#pragma once
// A blank hive file, written from the format's description: a 4096-byte
// base block and one 4096-byte hive bin holding the root key and its
// security cell. hivex opens such a file and grows it as keys are added.

#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "registry/hive/base_block.h"

namespace keyscour {

struct BlankHiveOptions {
    std::uint32_t minorVersion = 3;  // 3 (Windows XP on) or 5 (Windows 8.1 on)
    std::uint32_t primarySequence = 1;
    std::uint32_t secondarySequence = 1;
    std::string rootName = "ROOT";
};

std::vector<std::uint8_t> BlankHive(const BlankHiveOptions& options = {});

// A value's type and data as the hive at path holds it, read afresh; none
// when the key or the value is not there.
std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> ReadHiveValue(const std::string& path,
                                                                               const std::wstring& key,
                                                                               const std::wstring& name);

// A value of a hive a test makes; a key alone when type is kKeyOnly.
struct HiveValue {
    static constexpr std::uint32_t kKeyOnly = ~0u;
    std::wstring key, name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

// A blank hive at path holding values, written through the project's hive
// registry and committed; false when any step fails.
bool MakeHiveOf(const std::string& path, const std::vector<HiveValue>& values);

// Writes bytes to path whole; false when that fails.
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace keyscour
