#include "base/utf16.h"

#include <cstring>

namespace keyscour {

namespace {
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

void DecodeUtf16Le(const std::uint8_t* bytes, std::size_t count, std::wstring& text) {
    const std::size_t units = count / 2;
    text.resize(units);
    if constexpr (kWideIsUtf16) {
        if (units) std::memcpy(text.data(), bytes, units * 2);  // little-endian, as Windows itself
        return;
    }
    // Text without surrogates, as nearly all is, goes a unit a character.
    wchar_t* const to = text.data();
    std::uint32_t surrogates = 0;  // a count, not a flag, so that the loop goes in vector steps
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        surrogates += (unit & 0xF800) == 0xD800;
        to[i] = static_cast<wchar_t>(unit);
    }
    if (surrogates == 0) return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (IsHighSurrogate(unit) && i + 1 < units) {
            const char32_t next = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (IsLowSurrogate(next)) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        text[out++] = static_cast<wchar_t>(unit);
    }
    text.resize(out);
}

std::vector<std::uint8_t> EncodeUtf16Le(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    auto put = [&bytes](char32_t unit) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    };
    for (wchar_t ch : text) {
        char32_t c = static_cast<char32_t>(ch);
        if (!kWideIsUtf16 && c > 0xFFFF) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return bytes;
}

}  // namespace keyscour
