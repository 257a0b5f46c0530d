#include "base/unicode_case.h"
#include "engine/text_case.h"

namespace keyscour {

namespace {

inline wchar_t Upper(wchar_t ch) { return UpperCaseOf(ch); }

inline bool EqualAt(std::wstring_view text, std::size_t at, std::wstring_view upperNeedle) {
    for (std::size_t j = 0; j < upperNeedle.size(); ++j)
        if (Upper(text[at + j]) != upperNeedle[j]) return false;
    return true;
}

}  // namespace

void ToUpperCase(std::wstring_view text, std::wstring& upper) {
    upper.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) upper[i] = Upper(text[i]);
}

// Per-character upper-casing keeps the length, so both compare in place.
bool EqualsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring&) {
    return text.size() == upperNeedle.size() && EqualAt(text, 0, upperNeedle);
}

bool ContainsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring&) {
    if (upperNeedle.size() > text.size()) return false;
    if (upperNeedle.empty()) return true;
    for (std::size_t i = 0; i + upperNeedle.size() <= text.size(); ++i)
        if (Upper(text[i]) == upperNeedle[0] && EqualAt(text, i, upperNeedle)) return true;
    return false;
}

}  // namespace keyscour
