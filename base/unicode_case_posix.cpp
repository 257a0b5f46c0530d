#include "base/unicode_case.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace keyscour {

namespace {

// glibc's C.UTF-8 carries the whole Unicode case table and ships with
// libc-bin, so it is there even where no other locale is installed. The
// plain C locale would leave every letter beyond ASCII alone.
locale_t CaseLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

}  // namespace

wchar_t UpperCaseBeyondAscii(wchar_t ch) {
    const locale_t locale = CaseLocale();
    if (!locale) return ch;
    return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(ch), locale));
}

}  // namespace keyscour
