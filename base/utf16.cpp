#include "base/utf16.h"

namespace keyscour {

namespace {
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

std::wstring DecodeUtf16Le(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t units = count / 2;
    std::wstring text;
    text.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        char32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (!kWideIsUtf16 && IsHighSurrogate(unit) && i + 1 < units) {
            char32_t next = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (IsLowSurrogate(next)) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
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
