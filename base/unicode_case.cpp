#include "base/unicode_case.h"

#include <cstdint>

namespace keyscour {

void UpperCaseInto(std::wstring_view text, std::wstring& upper) {
    upper.resize(text.size());
    wchar_t* const out = upper.data();
    // ASCII, nearly all a walk compares, goes in vector steps; text with
    // anything beyond it, a character at a time.
    std::uint32_t beyond = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        beyond += c >= 0x80;
        out[i] = static_cast<wchar_t>(c - (c - L'a' < 26u ? 0x20u : 0u));
    }
    if (beyond == 0) return;
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = UpperCaseOf(text[i]);
}

std::wstring UpperCased(std::wstring_view text) {
    std::wstring upper;
    UpperCaseInto(text, upper);
    return upper;
}

}  // namespace keyscour
