#pragma once
// A registry key's last-write time, a FILETIME (100-nanosecond intervals
// since 1601-01-01 UTC), as ISO 8601 text in UTC, and back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keyscour {

// "2026-12-08T18:30:05Z", to the second (what is below it is dropped).
std::wstring IsoUtcOf(std::uint64_t fileTime);

// The FILETIME of "YYYY-MM-DD" (midnight UTC) or "YYYY-MM-DDTHH:MM[:SS]"
// with an optional "Z" or "+HH:MM"/"-HH:MM" (no zone: UTC; a space may
// stand for the T). None for anything else, or a date that does not exist.
std::optional<std::uint64_t> ParseIsoTime(std::wstring_view text);

}  // namespace keyscour
