#pragma once
// The real registry, through the platform's wide-character functions.

#include <string>

#include "registry/registry.h"

namespace keyscour {

class Win32Registry final : public Registry {
public:
    // view: 0 for the registry as this program sees it, or KEY_WOW64_32KEY
    // (KEY_WOW64_64KEY) for the 32-bit (64-bit) program's view; keys are
    // opened and created in it.
    explicit Win32Registry(unsigned view = 0) : view_(view) {}
    static constexpr unsigned kView32 = 0x0200;  // KEY_WOW64_32KEY
    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override;
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name,
                   std::uint32_t nameChars) override;
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) override;
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override;
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                    const std::uint8_t* data, std::uint32_t dataBytes) override;
    Status CloseKey(KeyHandle key) override;
    Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) override;
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                      std::vector<std::uint8_t>& data) override;
    Status DeleteKey(KeyHandle base, const std::wstring& path) override;
    Status DeleteValue(KeyHandle key, const std::wstring& name) override;
    Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) override;
    Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) override;
    Status QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) override;
    Status QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) override;
    // Through the key's own name (NtQueryKey), in a view of its own.
    std::wstring StoredPath(KeyHandle root, const std::wstring& path) override;

private:
    unsigned view_ = 0;
    std::wstring currentUserName_;  // HKCU's kernel name, asked once
};

}  // namespace keyscour
