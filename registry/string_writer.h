#pragma once
// The only write Keyscour makes: a text stored as a REG_SZ value at a value
// path, the key created where missing. Every failure leaves as a
// NumberedError, after the key has been closed.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error_numbers.h"
#include "base/numbered_error.h"
#include "registry/registry.h"

namespace keyscour::MRegistry {

inline constexpr std::int32_t kErrorBase = error_number::kBase;
inline constexpr std::int32_t kErrorSectionEmpty = error_number::kSectionEmpty;
inline constexpr std::int32_t kErrorKeyEmpty = error_number::kKeyEmpty;
inline constexpr std::int32_t kErrorRegistryStatus = error_number::kRegistryStatus;  // plus the status
inline constexpr std::int32_t kErrorInvalidArgument = 5;

// Where a value path leads: the key path as the create step receives it
// (spaces trimmed) and the value name as the store step receives it.
struct ValuePath {
    std::wstring keyPath;
    std::wstring valueName;
};
// Fills path, or gives the error the write fails with before it reaches the
// registry. The value name is what follows the last backslash, or, given
// keyPathLength, what follows the backslash at that place: a name may hold
// backslashes of its own.
std::optional<NumberedError> ResolveValuePath(const std::wstring& sSection, ValuePath& path);
std::optional<NumberedError> ResolveValuePath(const std::wstring& sSection, std::size_t keyPathLength,
                                              ValuePath& path);

// sSection is a key path below lBaseKey, a backslash and the value name.
void WriteStringValue(Registry& registry, std::int32_t lBaseKey, const std::wstring& sSection,
                      const std::wstring& sData);
void WriteStringValue(Registry& registry, std::int32_t lBaseKey, const std::wstring& sSection,
                      std::size_t keyPathLength, const std::wstring& sData);

// A value's place resolved once, from the walk that found it to the
// snapshot and the write: its root, its key's path, its name.
struct ValueAddress {
    KeyHandle root = 0;
    std::wstring keyPath;
    std::wstring valueName;
};

// The command line's write: a value of any type with its data as given, in
// an existing key. Fails as WriteStringValue does, with its errors.
void WriteValue(Registry& registry, const ValueAddress& where, std::uint32_t type, const std::vector<std::uint8_t>& data);
// The command line's renames: the value at where given newName, in its
// existing key; the key at keyPath below root given newName.
void RenameValue(Registry& registry, const ValueAddress& where, const std::wstring& newName);
void RenameKey(Registry& registry, KeyHandle root, const std::wstring& keyPath, const std::wstring& newName);

}  // namespace keyscour::MRegistry
