#include "engine/text_case.h"

namespace keyscour {

bool EqualsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring& scratch) {
    // Upper-casing keeps the length, on either platform.
    if (text.size() != upperNeedle.size()) return false;
    ToUpperCase(text, scratch);
    return scratch == upperNeedle;
}

bool ContainsUpperCased(std::wstring_view text, std::wstring_view upperNeedle, std::wstring& scratch) {
    ToUpperCase(text, scratch);
    return std::wstring_view(scratch).find(upperNeedle) != std::wstring_view::npos;
}

}  // namespace keyscour
