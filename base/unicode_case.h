#pragma once
// The locale-free upper-case rule: a hive's names and mounts everywhere,
// and natively everything a search compares, the same whatever locale the
// environment names (a search must find the same hits under LANG=C as
// under a user's own locale). On Windows a search compares in the user's
// locale instead (engine/text_case.h), as the platform does.

#include <string>
#include <string_view>

namespace keyscour {

wchar_t UpperCaseBeyondAscii(wchar_t ch);

// Inline for ASCII, which is nearly every character a walk compares.
inline wchar_t UpperCaseOf(wchar_t ch) {
    if (ch < 0x80) return ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - 0x20) : ch;
    return UpperCaseBeyondAscii(ch);
}

// A registry name as it compares: every character upper-cased, into
// reused storage or as a new string.
void UpperCaseInto(std::wstring_view text, std::wstring& upper);
std::wstring UpperCased(std::wstring_view text);

}  // namespace keyscour
