#pragma once
// A key below HKCU that one test owns: created empty before the test and
// removed with everything below it afterwards.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/utf16.h"
#include "base/win32_handles.h"

namespace keyscour::testing {

// A string's bytes as the registry stores it, with its terminator.
inline std::vector<std::uint8_t> WithTerminator(const std::wstring& text) {
    auto bytes = EncodeUtf16Le(text);
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

class ScratchKey {
public:
    ScratchKey() {
        static int serial = 0;
        path_ = L"Software\\Quillon Keyscour Tests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++serial);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(),
                        nullptr);
    }
    ~ScratchKey() {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Tests");  // only once empty
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // Path below HKCU.
    const std::wstring& Path() const { return path_; }
    std::wstring Below(const std::wstring& sub) const { return sub.empty() ? path_ : path_ + L"\\" + sub; }

    void AddKey(const std::wstring& sub) const {
        unique_hkey key;
        RegCreateKeyExW(HKEY_CURRENT_USER, Below(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr);
    }
    void Put(const std::wstring& sub, const std::wstring& name, DWORD type, const void* data, DWORD bytes) const {
        AddKey(sub);
        RegSetKeyValueW(HKEY_CURRENT_USER, Below(sub).c_str(), name.c_str(), type, data, bytes);
    }
    void PutString(const std::wstring& sub, const std::wstring& name, const std::wstring& text,
                   DWORD type = REG_SZ) const {
        Put(sub, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void PutDword(const std::wstring& sub, const std::wstring& name, DWORD number) const {
        Put(sub, name, REG_DWORD, &number, sizeof number);
    }

    struct Value {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        bool exists = false;
    };
    // The raw stored bytes, as the registry holds them.
    Value Get(const std::wstring& sub, const std::wstring& name) const {
        Value value;
        unique_hkey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, Below(sub).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return value;
        DWORD bytes = 0;
        if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS)
            return value;
        value.data.resize(bytes);
        value.exists = RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, value.data.data(),
                                        &bytes) == ERROR_SUCCESS;
        value.data.resize(bytes);
        return value;
    }
    bool KeyExists(const std::wstring& sub) const {
        unique_hkey key;
        return RegOpenKeyExW(HKEY_CURRENT_USER, Below(sub).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }

private:
    std::wstring path_;
    unique_hkey key_;
};

}  // namespace keyscour::testing
