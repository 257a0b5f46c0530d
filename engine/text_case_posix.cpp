#include <cwctype>

#include "engine/text_case.h"

namespace keyscour {

// The C library's wide functions follow the environment's LC_CTYPE.
std::wstring ToUpperCase(std::wstring_view text) {
    std::wstring upper(text);
    for (auto& ch : upper) ch = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(ch)));
    return upper;
}

}  // namespace keyscour
