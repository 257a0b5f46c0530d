#include "registry/root_keys.h"

#include <cwctype>

namespace keyscour {

namespace {

struct ShortName {
    std::wstring_view name;
    KeyHandle handle;
};
constexpr ShortName kShortNames[] = {
    {L"HKCR", kClassesRoot}, {L"HKCU", kCurrentUser}, {L"HKLM", kLocalMachine},
    {L"HKU", kUsers},        {L"HKCC", kCurrentConfig},
};

bool SameAscii(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
    return true;
}

}  // namespace

std::optional<KeyHandle> ParseRootName(std::wstring_view name) {
    for (const auto& entry : kRootKeyTable)
        if (entry.handle != 0 && SameAscii(entry.name, name)) return entry.handle;
    for (const auto& entry : kShortNames)
        if (SameAscii(entry.name, name)) return entry.handle;
    return std::nullopt;
}

std::optional<KeyPlace> SplitFullKeyName(std::wstring_view fullKey) {
    const std::size_t slash = fullKey.find(L'\\');
    const auto root = ParseRootName(fullKey.substr(0, slash));
    if (!root) return std::nullopt;
    return KeyPlace{*root, slash == std::wstring_view::npos ? std::wstring() : std::wstring(fullKey.substr(slash + 1))};
}

}  // namespace keyscour
