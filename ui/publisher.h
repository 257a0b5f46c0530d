#pragma once
// The publisher's web page and tagline. A reserved example domain stands in
// until the product has a site of its own.

namespace keyscour {

inline constexpr wchar_t kPublisherAddress[] = L"https://www.example.com/quillon-keyscour";
inline constexpr wchar_t kPublisherTagline[] = L"Registry tools you can trust";

}  // namespace keyscour
