#include "base/unicode_case.h"
#include "engine/text_case.h"

#include <algorithm>
#include <cstdint>

namespace keyscour {

namespace {

inline wchar_t Upper(wchar_t ch) { return UpperCaseOf(ch); }

inline bool EqualAt(std::wstring_view text, std::size_t at, std::wstring_view upperNeedle) {
    for (std::size_t j = 0; j < upperNeedle.size(); ++j)
        if (Upper(text[at + j]) != upperNeedle[j]) return false;
    return true;
}

// Whether one of the block's characters may begin a match of a needle
// whose first character is first (lower: the same in lower case, if
// ASCII). Kept out of line, so that the compiler makes vector steps of it.
constexpr std::size_t kBlock = 16;
[[gnu::noinline]] bool MayStartIn(const wchar_t* block, std::uint32_t first, std::uint32_t lower) {
    std::uint32_t may = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
        const auto c = static_cast<std::uint32_t>(block[k]);
        may |= (c == first) | (c == lower) | (c >= 0x80);
    }
    return may != 0;
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
    // Only these can begin a match: the first character in either ASCII
    // case, and anything beyond ASCII (ı and ſ upper-case to I and S).
    // Blocks without one are passed over whole.
    const wchar_t first = upperNeedle[0];
    const wchar_t lower = first >= L'A' && first <= L'Z' ? static_cast<wchar_t>(first + 0x20) : first;
    const std::size_t starts = text.size() - upperNeedle.size() + 1;
    for (std::size_t i = 0; i < starts;) {
        if (i + kBlock <= starts && !MayStartIn(text.data() + i, first, lower)) {
            i += kBlock;
            continue;
        }
        for (const std::size_t end = std::min(i + kBlock, starts); i < end; ++i)
            if (Upper(text[i]) == first && EqualAt(text, i, upperNeedle)) return true;
    }
    return false;
}

}  // namespace keyscour
