#include "base/unicode_case.h"
#include "engine/text_case.h"

namespace keyscour {

void ToUpperCase(std::wstring_view text, std::wstring& upper) { UpperCaseInto(text, upper); }

}  // namespace keyscour
