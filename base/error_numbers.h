#pragma once
// Every error number this program raises of its own, in one table: the
// base of the range the design's errors take (0x80040000, as a COM "object
// error"), and each kind's place in it. Those marked "+ status" carry the
// registry's status added, so that the number tells both.

#include <cstdint>

namespace keyscour::error_number {

inline constexpr std::int32_t kBase = static_cast<std::int32_t>(0x80040000u);
inline constexpr std::int32_t kSectionEmpty = kBase + 1001;      // "Section may not be empty"
inline constexpr std::int32_t kKeyEmpty = kBase + 1002;          // "Key may not be empty"
inline constexpr std::int32_t kRegistryStatus = kBase + 2000;    // a write the registry refused, + status
inline constexpr std::int32_t kUndoFileNotWritten = kBase + 3000;
inline constexpr std::int32_t kUndoUnreadable = kBase + 4000;     // a value not read for undo, + status
inline constexpr std::int32_t kUndoKeyUnreadable = kBase + 4500;  // a key not opened for undo, + status
inline constexpr std::int32_t kNotScriptable = kBase + 5000;      // a name an undo file cannot carry
inline constexpr std::int32_t kExportNotWritten = kBase + 6000;

}  // namespace keyscour::error_number
