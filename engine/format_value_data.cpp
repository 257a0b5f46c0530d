// The display text of a value's data: what a data search compares and what
// the result list shows.

#include <cstdint>

#include "base/utf16.h"
#include "engine/keyscour.h"

namespace keyscour {

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

void BinaryText(std::span<const std::uint8_t> data, std::wstring& text) {
    text.resize(data.size() * 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        text[3 * i] = kHexDigits[data[i] >> 4];
        text[3 * i + 1] = kHexDigits[data[i] & 0xF];
        text[3 * i + 2] = L' ';
    }
    if (!text.empty()) text.pop_back();  // no space after the last byte
}

// Bytes up to the first NUL code unit: decoding only those is the same as
// decoding all and cutting at the first NUL.
std::size_t Utf16LengthToNul(std::span<const std::uint8_t> data) {
    std::size_t i = 0;
    while (i + 1 < data.size() && (data[i] | data[i + 1]) != 0) i += 2;
    return i;
}

void DwordText(std::span<const std::uint8_t> data, std::wstring& text) {
    // Missing high bytes count as zero; nothing is read past the data.
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4 && i < data.size(); ++i) number |= std::uint32_t{data[i]} << (8 * i);
    text.assign(L"0x");
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kHexDigits[(number >> shift) & 0xF]);
    text.append(1, L'(').append(std::to_wstring(static_cast<std::int32_t>(number))).append(1, L')');
}

}  // namespace

void cKeyscour::FormatValueData(std::uint32_t type, std::span<const std::uint8_t> data, std::wstring& text) {
    switch (type) {
        case 1:  // REG_SZ
        case 7:  // REG_MULTI_SZ: only the first string shows
            DecodeUtf16Le(data.data(), Utf16LengthToNul(data), text);
            return;
        case 3:  // REG_BINARY
            BinaryText(data, text);
            return;
        case 4:  // REG_DWORD
            DwordText(data, text);
            return;
        default:
            text.assign(L"Temporary unsupported");
    }
}

std::wstring cKeyscour::FormatValueData(std::uint32_t type, std::span<const std::uint8_t> data) {
    std::wstring text;
    FormatValueData(type, data, text);
    return text;
}

}  // namespace keyscour
