#include "registry/win32_registry.h"

#include <algorithm>
#include <cstring>

#include <windows.h>

#include <array>
#include <functional>
#include <string>
#include <cstdint>

#include "base/unicode_case.h"
#include "registry/root_keys.h"

namespace keyscour {

namespace {

// The predefined handles are 32-bit values that the platform sign-extends on
// Win64; opened handles fit 32 bits on every Windows.
HKEY ToHkey(KeyHandle key) {
    return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(key)));
}

KeyHandle FromHkey(HKEY key) { return static_cast<KeyHandle>(reinterpret_cast<std::uintptr_t>(key)); }

bool SameName(const std::wstring& a, const std::wstring& b) { return UpperCased(a) == UpperCased(b); }

// RegRenameKey is advapi32's since Vista but was long undocumented: found
// at run time, so that a system without it refuses renames, not the start.
using RenameKeyFunction = LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
RenameKeyFunction RenameKeyOfSystem() {
    static const auto function = reinterpret_cast<RenameKeyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegRenameKey")));
    return function;
}

// A name no sibling holds, for a case-only rename that goes through it.
std::wstring TemporaryName(const std::wstring& name, const std::function<bool(const std::wstring&)>& taken) {
    for (unsigned i = 0;; ++i) {
        std::wstring candidate = name.substr(0, 200) + L".keyscour-rename-" + std::to_wstring(GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(i);
        if (!taken(candidate)) return candidate;
    }
}

// KEY_FLAGS_INFORMATION of NtQueryKey (Windows 8 on): bit 0 of KeyFlags is volatile.
struct KeyFlagsInformation {
    ULONG wow64Flags;
    ULONG keyFlags;
    ULONG controlFlags;
};
using QueryKeyFunction = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

}  // namespace

Status Win32Registry::OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(ToHkey(root), path.c_str(), 0, KEY_READ | view_, &opened);
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
                                           KEY_ALL_ACCESS | view_, nullptr, &opened, nullptr);
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

Status Win32Registry::QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) {
    FILETIME written{};
    const LSTATUS status = RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, &written);
    fileTime = status == ERROR_SUCCESS
                   ? static_cast<std::uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime
                   : 0;
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

Status Win32Registry::RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (const Status read = QueryValue(key, name, type, data); read != ERROR_SUCCESS) return read;
    const auto exists = [this, key](const std::wstring& candidate) {
        std::uint32_t otherType = 0;
        std::vector<std::uint8_t> other;
        return QueryValue(key, candidate, otherType, other) != ERROR_FILE_NOT_FOUND;
    };
    const bool caseOnly = SameName(name, newName);
    if (!caseOnly && exists(newName)) return ERROR_ALREADY_EXISTS;
    const auto size = static_cast<std::uint32_t>(data.size());
    // Setting "Alice" over "alice" keeps "alice", and removing "alice" then
    // removes the only copy: a case-only rename goes through a name of its own.
    const std::wstring via = caseOnly ? TemporaryName(name, exists) : newName;
    if (const Status set = SetValue(key, via, type, data.data(), size); set != ERROR_SUCCESS) return set;
    if (const Status removed = DeleteValue(key, name); removed != ERROR_SUCCESS) {
        DeleteValue(key, via);
        return removed;
    }
    if (!caseOnly) return ERROR_SUCCESS;
    if (const Status set = SetValue(key, newName, type, data.data(), size); set != ERROR_SUCCESS) {
        // The value stays whole under the name it came through; put its own back.
        if (SetValue(key, name, type, data.data(), size) == ERROR_SUCCESS) DeleteValue(key, via);
        return set;
    }
    return DeleteValue(key, via);
}

Status Win32Registry::RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) {
    const RenameKeyFunction renameKey = RenameKeyOfSystem();
    if (!renameKey) return ERROR_CALL_NOT_IMPLEMENTED;
    if (path.empty()) return ERROR_ACCESS_DENIED;
    const std::size_t slash = path.rfind(L'\\');
    const std::wstring parentPath = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    HKEY parent = nullptr;
    if (const LSTATUS opened = RegOpenKeyExW(ToHkey(base), parentPath.c_str(), 0, KEY_READ | KEY_WRITE, &parent);
        opened != ERROR_SUCCESS)
        return static_cast<Status>(opened);
    const auto exists = [parent](const std::wstring& candidate) {
        // Followed first (Wine compares a link's own name by its case), then
        // as itself: a link whose target is gone is there all the same.
        for (const DWORD options : {DWORD{0}, DWORD{REG_OPTION_OPEN_LINK}}) {
            HKEY probe = nullptr;
            const LSTATUS status = RegOpenKeyExW(parent, candidate.c_str(), options, KEY_QUERY_VALUE, &probe);
            if (status == ERROR_SUCCESS) RegCloseKey(probe);
            if (status != ERROR_FILE_NOT_FOUND) return true;
        }
        return false;
    };
    // Wine's RegRenameKey (8.0) leaves its parent's list of sub keys out of
    // order, with the key listed twice and a sibling lost: there the key is
    // copied whole under its new name and then removed, class name included.
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    const auto rename = [&](HKEY under, LPCWSTR from, LPCWSTR to) -> LSTATUS {
        if (!wine) return renameKey(under, from, to);
        HKEY source = nullptr;
        LSTATUS done = RegOpenKeyExW(under, from, 0, KEY_READ, &source);
        if (done != ERROR_SUCCESS) return done;
        wchar_t className[256] = L"";
        DWORD classChars = 256;
        RegQueryInfoKeyW(source, className, &classChars, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        HKEY target = nullptr;
        DWORD disposition = 0;
        done = RegCreateKeyExW(under, to, 0, className, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &target,
                               &disposition);
        if (done == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
            RegCloseKey(target);
            RegCloseKey(source);
            return ERROR_ALREADY_EXISTS;
        }
        if (done == ERROR_SUCCESS) done = RegCopyTreeW(source, nullptr, target);
        if (target) RegCloseKey(target);
        RegCloseKey(source);
        if (done != ERROR_SUCCESS) {
            RegDeleteTreeW(under, to);
            return done;
        }
        return RegDeleteTreeW(under, from);
    };
    LSTATUS status = ERROR_SUCCESS;
    if (!SameName(name, newName)) {
        status = exists(newName) ? ERROR_ALREADY_EXISTS : rename(parent, name.c_str(), newName.c_str());
    } else {
        // A sibling of the same name, as the registry compares, is the key
        // itself: the case changes through a name of its own.
        const std::wstring via = TemporaryName(name, exists);
        status = rename(parent, name.c_str(), via.c_str());
        if (status == ERROR_SUCCESS) {
            status = rename(parent, via.c_str(), newName.c_str());
            if (status != ERROR_SUCCESS) rename(parent, via.c_str(), name.c_str());
        }
    }
    RegCloseKey(parent);
    return static_cast<Status>(status);
}

Status Win32Registry::QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) {
    kind = {};
    HKEY key = nullptr;
    const LSTATUS opened =
        RegOpenKeyExW(ToHkey(root), path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view_, &key);
    if (opened != ERROR_SUCCESS) return static_cast<Status>(opened);
    DWORD type = 0;
    const LSTATUS link = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    kind.link = link == ERROR_SUCCESS && type == REG_LINK;
    // Where the system answers (Windows 8 on); elsewhere nothing is known volatile.
    static const auto query = reinterpret_cast<QueryKeyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    constexpr int kKeyFlagsInformation = 8;
    KeyFlagsInformation flags{};
    ULONG got = 0;
    if (query && query(key, kKeyFlagsInformation, &flags, sizeof flags, &got) == 0) kind.isVolatile = flags.keyFlags & 1;
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

namespace {

// A key's full name as the kernel keeps it ("\\REGISTRY\\MACHINE\\SOFTWARE\\..."), or empty.
std::wstring KernelNameOf(HKEY key) {
    static const auto query = reinterpret_cast<QueryKeyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    constexpr int kKeyNameInformation = 3;
    if (!query) return {};
    std::vector<std::uint8_t> buffer(1024);
    ULONG got = 0;
    LONG status = query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &got);
    if (status != 0 && got > buffer.size()) {
        buffer.resize(got);
        status = query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &got);
    }
    if (status != 0 || got < sizeof(ULONG)) return {};
    ULONG bytes = 0;
    std::memcpy(&bytes, buffer.data(), sizeof bytes);
    bytes = std::min<ULONG>(bytes, got - sizeof(ULONG));
    std::wstring name(bytes / sizeof(wchar_t), L'\0');
    std::memcpy(name.data(), buffer.data() + sizeof(ULONG), name.size() * sizeof(wchar_t));
    return name;
}

}  // namespace

static_assert(Win32Registry::kView32 == KEY_WOW64_32KEY);

std::wstring Win32Registry::StoredPath(KeyHandle root, const std::wstring& path) {
    if (view_ == 0) return path;
    // What the kernel names the root: a predefined handle has no name of
    // its own to ask, and a 32-bit view redirects below HKLM and HKCU only.
    std::wstring rootName;
    if (root == kLocalMachine) {
        rootName = L"\\REGISTRY\\MACHINE";
    } else if (root == kUsers) {
        rootName = L"\\REGISTRY\\USER";
    } else if (root == kCurrentUser) {
        if (currentUserName_.empty()) {
            HKEY software = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_QUERY_VALUE, &software) != ERROR_SUCCESS)
                return path;
            const std::wstring name = KernelNameOf(software);
            RegCloseKey(software);
            if (name.size() < 9) return path;
            currentUserName_ = name.substr(0, name.size() - 9);  // less "\\Software"
        }
        rootName = currentUserName_;
    } else {
        return path;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(ToHkey(root), path.c_str(), 0, KEY_QUERY_VALUE | view_, &key) != ERROR_SUCCESS) return path;
    const std::wstring name = KernelNameOf(key);
    RegCloseKey(key);
    if (name.size() <= rootName.size() + 1 || name[rootName.size()] != L'\\' ||
        CompareStringOrdinal(name.c_str(), static_cast<int>(rootName.size()), rootName.c_str(),
                             static_cast<int>(rootName.size()), TRUE) != CSTR_EQUAL)
        return path;
    return name.substr(rootName.size() + 1);
}

}  // namespace keyscour
