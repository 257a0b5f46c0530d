#include "tests/support/blank_hive.h"

#include "registry/hive/hive_registry.h"

#include <cstdio>
#include <cstring>

namespace keyscour {

namespace {

constexpr std::size_t kBlock = 4096;
constexpr std::uint32_t kRootCell = 0x20;  // after the bin's 32-byte header
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
std::size_t Rounded8(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

}  // namespace


std::vector<std::uint8_t> BlankHive(const BlankHiveOptions& options) {
    std::vector<std::uint8_t> hive(2 * kBlock, 0);
    // Base block.
    std::memcpy(hive.data(), "regf", 4);
    Put32(hive, 0x04, options.primarySequence);
    Put32(hive, 0x08, options.secondarySequence);
    Put32(hive, 0x14, 1);  // major version
    Put32(hive, 0x18, options.minorVersion);
    Put32(hive, 0x1C, 0);  // a primary file
    Put32(hive, 0x20, 1);  // direct memory load
    Put32(hive, 0x24, kRootCell);
    Put32(hive, 0x28, kBlock);  // the bins' size
    Put32(hive, 0x2C, 1);       // clustering factor

    // The one hive bin.
    const std::size_t bin = kBlock;
    std::memcpy(hive.data() + bin, "hbin", 4);
    Put32(hive, bin + 0x04, 0);  // its offset in the bins
    Put32(hive, bin + 0x08, kBlock);

    // The root key: a named key cell, allocated (negative size).
    const std::size_t nk = bin + kRootCell;
    const std::size_t nkSize = Rounded8(4 + 0x4C + options.rootName.size());
    const std::uint32_t skCell = kRootCell + static_cast<std::uint32_t>(nkSize);
    Put32(hive, nk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(nkSize)));
    std::memcpy(hive.data() + nk + 4, "nk", 2);
    Put16(hive, nk + 4 + 0x02, 0x2C);  // a hive's root, not to be deleted, name in ASCII
    Put32(hive, nk + 4 + 0x10, 0);      // parent: none
    Put32(hive, nk + 4 + 0x1C, kNone);  // no sub keys
    Put32(hive, nk + 4 + 0x20, kNone);  // no volatile sub keys
    Put32(hive, nk + 4 + 0x28, kNone);  // no values
    Put32(hive, nk + 4 + 0x2C, skCell);
    Put32(hive, nk + 4 + 0x30, kNone);  // no class name
    Put16(hive, nk + 4 + 0x48, static_cast<std::uint16_t>(options.rootName.size()));
    std::memcpy(hive.data() + nk + 4 + 0x4C, options.rootName.data(), options.rootName.size());

    // Its security cell: one descriptor, its own neighbour in the list,
    // self-relative with no owner, group or lists.
    const std::size_t sk = bin + skCell;
    constexpr std::uint32_t kDescriptor = 20;
    const std::size_t skSize = Rounded8(4 + 0x14 + kDescriptor);
    Put32(hive, sk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(skSize)));
    std::memcpy(hive.data() + sk + 4, "sk", 2);
    Put32(hive, sk + 4 + 0x04, skCell);  // previous
    Put32(hive, sk + 4 + 0x08, skCell);  // next
    Put32(hive, sk + 4 + 0x0C, 1);       // references
    Put32(hive, sk + 4 + 0x10, kDescriptor);
    hive[sk + 4 + 0x14] = 1;                  // revision
    Put16(hive, sk + 4 + 0x14 + 2, 0x8000);  // self-relative

    // The rest of the bin is one free cell.
    const std::size_t free = sk + skSize;
    Put32(hive, free, static_cast<std::uint32_t>(bin + kBlock - free));

    Put32(hive, 0x1FC, BaseBlockChecksum(hive.data()));
    return hive;
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> ReadHiveValue(const std::string& path,
                                                                               const std::wstring& key,
                                                                               const std::wstring& name) {
    HiveRegistry registry(path, false);
    KeyHandle opened = 0;
    if (registry.OpenKey(HiveRegistry::kRoot, key, opened) != 0) return std::nullopt;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    const Status read = registry.QueryValue(opened, name, type, data);
    registry.CloseKey(opened);
    if (read != 0) return std::nullopt;
    return std::make_pair(type, std::move(data));
}

bool MakeHiveOf(const std::string& path, const std::vector<HiveValue>& values) {
    if (!WriteFileBytes(path, BlankHive())) return false;
    HiveRegistry registry(path, true);
    for (const auto& value : values) {
        KeyHandle key = 0;
        if (registry.CreateKey(HiveRegistry::kRoot, value.key, key) != 0) return false;
        const bool set = value.type == HiveValue::kKeyOnly ||
                         registry.SetValue(key, value.name, value.type, value.data.data(),
                                           static_cast<std::uint32_t>(value.data.size())) == 0;
        registry.CloseKey(key);
        if (!set) return false;
    }
    return registry.Commit();
}

}  // namespace keyscour
