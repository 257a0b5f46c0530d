#pragma once
// The registry's root keys, in the order the root key drop-down lists them.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "registry/registry.h"

namespace keyscour {

struct RootKeyEntry {
    std::wstring_view name;
    KeyHandle handle;  // 0 stands for every root in turn
};

inline constexpr KeyHandle kClassesRoot = 0x80000000u;
inline constexpr KeyHandle kCurrentUser = 0x80000001u;
inline constexpr KeyHandle kLocalMachine = 0x80000002u;
inline constexpr KeyHandle kUsers = 0x80000003u;
inline constexpr KeyHandle kPerformanceData = 0x80000004u;
inline constexpr KeyHandle kCurrentConfig = 0x80000005u;
inline constexpr KeyHandle kDynData = 0x80000006u;

inline constexpr std::array<RootKeyEntry, 8> kRootKeyTable{{
    {L"HKEY_ALL", 0},
    {L"HKEY_CLASSES_ROOT", kClassesRoot},
    {L"HKEY_CURRENT_USER", kCurrentUser},
    {L"HKEY_LOCAL_MACHINE", kLocalMachine},
    {L"HKEY_USERS", kUsers},
    {L"HKEY_PERFORMANCE_DATA", kPerformanceData},
    {L"HKEY_CURRENT_CONFIG", kCurrentConfig},
    {L"HKEY_DYN_DATA", kDynData},
}};

inline constexpr bool IsPredefinedRoot(KeyHandle handle) {
    return handle >= kClassesRoot && handle <= kDynData;
}

// The name of a root key handle; empty for 0 and for handles outside the table.
inline constexpr std::wstring_view RootKeyNameOf(KeyHandle handle) {
    if (!IsPredefinedRoot(handle)) return {};
    for (const auto& entry : kRootKeyTable)
        if (entry.handle == handle) return entry.name;
    return {};
}

// The handle of a root key name, "HKEY_ALL" (0) included; nothing for other texts.
inline std::optional<KeyHandle> RootKeyHandle(std::wstring_view name) {
    for (const auto& entry : kRootKeyTable)
        if (entry.name == name) return entry.handle;
    return std::nullopt;
}

// A root's name as admins type it: the long name or its short form (HKCR,
// HKCU, HKLM, HKU, HKCC), in any case. "HKEY_ALL" is not a root here.
std::optional<KeyHandle> ParseRootName(std::wstring_view name);

// A full key name ("HKEY_LOCAL_MACHINE\\SOFTWARE\\X" or "HKLM\\SOFTWARE\\X")
// split into its root and the path below it.
struct KeyPlace {
    KeyHandle root;
    std::wstring path;
};
std::optional<KeyPlace> SplitFullKeyName(std::wstring_view fullKey);

}  // namespace keyscour
