#pragma once
// The registry operations Keyscour relies on, with the platform's handles
// and status codes, so that the engine and the writer run alike over
// the real registry, an in-memory tree, or a wrapper that records or fails.

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace keyscour {

// Opaque 32-bit key handle; the root keys are the predefined values below.
using KeyHandle = std::uint32_t;
using Status = std::uint32_t;

namespace status {
inline constexpr Status kSuccess = 0;
inline constexpr Status kNotSupported = 50;
inline constexpr Status kNotFound = 2;
inline constexpr Status kAccessDenied = 5;
inline constexpr Status kInvalidHandle = 6;
inline constexpr Status kBadPathname = 161;
inline constexpr Status kMoreData = 234;
inline constexpr Status kNoMoreItems = 259;
inline constexpr Status kAlreadyExists = 183;
}  // namespace status

namespace value_type {
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kString = 1;
inline constexpr std::uint32_t kExpandString = 2;
inline constexpr std::uint32_t kBinary = 3;
inline constexpr std::uint32_t kDword = 4;
inline constexpr std::uint32_t kMultiString = 7;
inline constexpr std::uint32_t kQword = 11;
}  // namespace value_type

class Registry {
public:
    virtual ~Registry() = default;

    // Opens an existing key for reading (KEY_READ).
    virtual Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) = 0;
    // Writes the index-th sub key name, NUL-terminated, into nameChars characters.
    virtual Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name,
                           std::uint32_t nameChars) = 0;
    // nameChars and dataBytes are in: buffer sizes, out: lengths returned.
    // A null name asks for the type and data alone: nameChars is left as it
    // is, and no name is read (a hive's names cost as much as their data).
    virtual Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name,
                             std::uint32_t& nameChars, std::uint32_t& type, std::uint8_t* data,
                             std::uint32_t& dataBytes) = 0;
    // Opens a key for writing (KEY_ALL_ACCESS), creating it and its missing parents.
    virtual Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) = 0;
    virtual Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type,
                            const std::uint8_t* data, std::uint32_t dataBytes) = 0;
    virtual Status CloseKey(KeyHandle key) = 0;
    // Reads a value's type and its whole data; kNotFound when the key holds
    // no value of that name. For the undo file, taken before a write.
    virtual Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                              std::vector<std::uint8_t>& data) = 0;
    // Removes a key with everything below it; kNotFound when it is missing.
    // For applying registry scripts ([-key]).
    virtual Status DeleteKey(KeyHandle base, const std::wstring& path) = 0;
    // Removes one value of a key opened for writing; kNotFound when missing.
    virtual Status DeleteValue(KeyHandle key, const std::wstring& name) = 0;
    // The longest value name (in characters, without its NUL) and the
    // largest value data (in bytes) of a key, as RegQueryInfoKeyW gives
    // them: what a reader's buffers need. kNotSupported where unknown.
    virtual Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) {
        (void)key;
        longestNameChars = largestDataBytes = 0;
        return status::kNotSupported;
    }
    // Gives the value name of a key opened for writing the name newName,
    // keeping its type, data and (where the store keeps one) its place
    // among the key's values. A case-only change is a rename too.
    // kAlreadyExists when another value has newName.
    virtual Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) {
        (void)key;
        (void)name;
        (void)newName;
        return status::kNotSupported;
    }
    // Gives the key at path below base (its last name) the name newName,
    // keeping everything below it and all the platform keeps with a key.
    // kAlreadyExists when a sibling has newName.
    virtual Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) {
        (void)base;
        (void)path;
        (void)newName;
        return status::kNotSupported;
    }
    // What no registry script can carry about the key at path below root:
    // whether it is a link (opened as itself, not followed) or volatile.
    struct KeyKind {
        bool link = false;
        bool isVolatile = false;
    };
    virtual Status QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) {
        (void)root;
        (void)path;
        kind = {};
        return status::kSuccess;
    }
    // The key's last-write time, as a FILETIME (100-nanosecond intervals
    // since 1601-01-01, UTC); kNotSupported for a store that keeps none.
    virtual Status QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) {
        (void)key;
        fileTime = 0;
        return status::kNotSupported;
    }
    // The path below root at which the store keeps the key path names: in a
    // redirected view (the 32-bit one's WOW6432Node) the real path, which
    // an undo file must name; path itself elsewhere, and for a key that is
    // not there.
    virtual std::wstring StoredPath(KeyHandle root, const std::wstring& path) {
        (void)root;
        return path;
    }
    // Whether the value at index of a key marks a value deleted in this
    // layer of a differencing hive (a tombstone): to be listed, never to be
    // written or kept for undo, which would bring the lower layer's back.
    // Only hive files have them.
    virtual bool IsTombstone(KeyHandle key, std::uint32_t index) {
        (void)key;
        (void)index;
        return false;
    }
};

// A key handle of a Registry, closed once when its owner goes.
struct RegistryKeyTraits {
    using pointer = KeyHandle;
    Registry* registry = nullptr;
    static constexpr pointer invalid() noexcept { return 0; }
    void close(pointer key) const noexcept {
        // A failing or throwing close must not turn an orderly exit into a crash.
        try {
            registry->CloseKey(key);
        } catch (...) {
        }
    }
};
using unique_registry_key = unique_handle<RegistryKeyTraits>;

inline unique_registry_key AdoptKey(Registry& registry, KeyHandle key) {
    return unique_registry_key(key, RegistryKeyTraits{&registry});
}

}  // namespace keyscour
