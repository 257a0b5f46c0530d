#pragma once
// Registry text travels as UTF-16LE. wchar_t is UTF-16 on Windows and
// UTF-32 on Linux, so the conversion is the identity on one and pairs up
// surrogates on the other.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keyscour {

// Decodes whole code units; an odd last byte is ignored.
std::wstring DecodeUtf16Le(const std::uint8_t* bytes, std::size_t count);

// The text's code units, two bytes each, without a terminating NUL.
std::vector<std::uint8_t> EncodeUtf16Le(const std::wstring& text);

}  // namespace keyscour
