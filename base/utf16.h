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
void DecodeUtf16Le(const std::uint8_t* bytes, std::size_t count, std::wstring& text);
inline std::wstring DecodeUtf16Le(const std::uint8_t* bytes, std::size_t count) {
    std::wstring text;
    DecodeUtf16Le(bytes, count, text);
    return text;
}

// The text's code units, two bytes each, without a terminating NUL.
std::vector<std::uint8_t> EncodeUtf16Le(const std::wstring& text);

}  // namespace keyscour
