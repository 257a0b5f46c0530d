#pragma once
// What the parts of the hive registry share: hivex's memory, its statuses
// in the platform's, and the names and paths it hands out. Private to
// registry/hive.

#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "registry/registry.h"

namespace keyscour::hive_detail {

constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxDepth = 512;  // levels of keys below a root, as Windows allows
// Bounds on what is kept of a walk: enough for its current branch many
// times over, and far below the memory of a large hive.
constexpr std::size_t kChildrenCacheLimit = 1 << 10;
// A key's record holds 76 bytes before its name, after the cell's 4-byte
// size: hivex's length of the record is those 80 and the name's bytes.
constexpr std::size_t kNameRecordHeader = 80;
constexpr std::uint16_t kTombstone = 0x0002;  // a value record's flag

// hivex hands out malloc'd memory.
struct Freed {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using malloced = std::unique_ptr<T, Freed>;

inline Status StatusOfErrno(int error) {
    switch (error) {
    case ENOENT: return status::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return status::kAccessDenied;
    case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case ERANGE:
    case EINVAL: return status::kBadPathname;
    default: return status::kFileCorrupt;
    }
}

// A value's type as hivex keeps it: any 32-bit number, while C++ may only
// hold the enumeration's own values in a hive_type. The bytes are read,
// never the enumeration's value.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));
inline std::uint32_t TypeNumber(const hive_type& type) {
    std::uint32_t number = 0;
    std::memcpy(&number, &type, sizeof number);
    return number;
}

// The length of text when it is ASCII to its NUL, with no backslash, as
// nearly every name is, else npos: such text widens a byte a character,
// and a path can hold it.
inline std::size_t PlainAsciiLength(const char* text) {
    std::size_t length = 0;
    for (unsigned char c; (c = static_cast<unsigned char>(text[length])) - 1u < 0x7Fu && c != '\\';) ++length;
    return text[length] == '\0' ? length : std::string::npos;
}

inline std::wstring ErrnoText(int error) { return FromUtf8(std::strerror(error)); }

inline std::wstring Hex(std::size_t offset) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%zx", offset);
    return text;
}

// Splits a path into its parts; false for an empty part (a trailing
// backslash is forgiven, as the platform forgives it).
inline bool PartsOf(std::wstring_view path, std::vector<std::wstring_view>& parts) {
    parts.clear();
    if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    if (path.empty()) return true;
    for (;;) {
        const std::size_t slash = path.find(L'\\');
        const std::wstring_view part = path.substr(0, slash);
        if (part.empty()) return false;
        parts.push_back(part);
        if (slash == std::wstring_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

}  // namespace keyscour::hive_detail
