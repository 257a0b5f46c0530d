#pragma once
// One upper-case rule for every comparison that ignores case, the same
// whatever locale the environment names: a search must find the same hits
// under LANG=C as under a user's own locale.

namespace keyscour {

wchar_t UpperCaseBeyondAscii(wchar_t ch);

// Inline for ASCII, which is nearly every character a walk compares.
inline wchar_t UpperCaseOf(wchar_t ch) {
    if (ch < 0x80) return ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - 0x20) : ch;
    return UpperCaseBeyondAscii(ch);
}

}  // namespace keyscour
