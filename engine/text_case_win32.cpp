#include <windows.h>

#include "engine/text_case.h"

namespace keyscour {

void ToUpperCase(std::wstring_view text, std::wstring& upper) {
    upper.assign(text);
    if (upper.empty()) return;
    const int length = static_cast<int>(upper.size());
    // Upper-casing keeps the length, so the mapping can fill the copy.
    if (LCMapStringEx(LOCALE_NAME_USER_DEFAULT, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING, text.data(), length,
                      upper.data(), length, nullptr, nullptr, 0) != length) {
        upper.assign(text);
        CharUpperBuffW(upper.data(), static_cast<DWORD>(length));
    }
}

}  // namespace keyscour
