#pragma once
// Upper-casing by the rules of the user's locale, the one case rule of every
// comparison the search makes.

#include <string>
#include <string_view>

namespace keyscour {

std::wstring ToUpperCase(std::wstring_view text);

}  // namespace keyscour
