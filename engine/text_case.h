#pragma once
// The case rule of what a search compares, in the window and the command
// line alike: on Windows the user's own locale, through LCMapStringEx, as
// the platform compares; natively base/unicode_case. Names that must
// compare the same wherever they are read (a hive's keys and values, the
// mounts of hives) take base/unicode_case on every platform.

#include <string>
#include <string_view>

namespace keyscour {

// Writes the upper-case form into upper, reusing its storage.
void ToUpperCase(std::wstring_view text, std::wstring& upper);

inline std::wstring ToUpperCase(std::wstring_view text) {
    std::wstring upper;
    ToUpperCase(text, upper);
    return upper;
}

// Whether text, upper-cased, equals or contains upperNeedle (already upper
// case). scratch is storage the comparison may reuse from call to call.
bool EqualsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring& scratch);
bool ContainsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring& scratch);

}  // namespace keyscour
