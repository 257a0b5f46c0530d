#include "registry/win32_registry.h"

#include <windows.h>

#include <array>
#include <cstdint>

namespace keyscour {

namespace {

// The predefined handles are 32-bit values that the platform sign-extends on
// Win64; opened handles fit 32 bits on every Windows.
HKEY ToHkey(KeyHandle key) {
    return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(key)));
}

KeyHandle FromHkey(HKEY key) { return static_cast<KeyHandle>(reinterpret_cast<std::uintptr_t>(key)); }

}  // namespace

Status Win32Registry::OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(ToHkey(root), path.c_str(), 0, KEY_READ, &opened);
    key = status == ERROR_SUCCESS ? FromHkey(opened) : 0;
    return static_cast<Status>(status);
}

Status Win32Registry::EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    return static_cast<Status>(RegEnumKeyW(ToHkey(key), index, name, nameChars));
}

Status Win32Registry::EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                                std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) {
    // The function always writes a name: one that is not wanted goes here.
    std::array<wchar_t, 16384> unwanted;
    DWORD nameLength = name ? nameChars : static_cast<DWORD>(unwanted.size());
    DWORD valueType = 0;
    DWORD dataLength = dataBytes;
    const LSTATUS status = RegEnumValueW(ToHkey(key), index, name ? name : unwanted.data(), &nameLength, nullptr,
                                         &valueType, data, &dataLength);
    if (name) nameChars = nameLength;
    type = valueType;
    dataBytes = dataLength;
    return static_cast<Status>(status);
}

Status Win32Registry::CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegCreateKeyExW(ToHkey(base), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &opened, nullptr);
    key = status == ERROR_SUCCESS ? FromHkey(opened) : 0;
    return static_cast<Status>(status);
}

Status Win32Registry::SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t dataBytes) {
    return static_cast<Status>(RegSetValueExW(ToHkey(key), name.c_str(), 0, type, data, dataBytes));
}

Status Win32Registry::QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) {
    DWORD name = 0, data = 0;
    const LSTATUS status = RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            &name, &data, nullptr, nullptr);
    longestNameChars = name;
    largestDataBytes = data;
    return static_cast<Status>(status);
}

Status Win32Registry::QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                                 std::vector<std::uint8_t>& data) {
    // The value may grow between the size query and the read; ask again.
    for (;;) {
        DWORD valueType = 0;
        DWORD bytes = static_cast<DWORD>(data.size());
        LSTATUS status = RegQueryValueExW(ToHkey(key), name.c_str(), nullptr, &valueType,
                                          data.empty() ? nullptr : data.data(), &bytes);
        if (status == ERROR_SUCCESS && data.empty() && bytes > 0) {
            data.resize(bytes);
            continue;
        }
        if (status == ERROR_MORE_DATA) {
            data.resize(bytes);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            type = valueType;
            data.resize(bytes);
        }
        return static_cast<Status>(status);
    }
}

Status Win32Registry::DeleteKey(KeyHandle base, const std::wstring& path) {
    // With a sub key named, the tree's root goes too.
    if (path.empty()) return ERROR_ACCESS_DENIED;
    return static_cast<Status>(RegDeleteTreeW(ToHkey(base), path.c_str()));
}

Status Win32Registry::DeleteValue(KeyHandle key, const std::wstring& name) {
    return static_cast<Status>(RegDeleteValueW(ToHkey(key), name.c_str()));
}

Status Win32Registry::CloseKey(KeyHandle key) { return static_cast<Status>(RegCloseKey(ToHkey(key))); }

}  // namespace keyscour
