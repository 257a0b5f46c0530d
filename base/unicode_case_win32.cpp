#include "base/unicode_case.h"

#include <windows.h>

namespace keyscour {

wchar_t UpperCaseBeyondAscii(wchar_t ch) {
    wchar_t upper = ch;
    // A lone surrogate maps to itself; the invariant table is the user's
    // locale's without the Turkic dotted-i rules.
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &ch, 1, &upper, 1, nullptr, nullptr, 0) != 1)
        return ch;
    return upper;
}

}  // namespace keyscour
