// The display text of a value's data: what a data search compares and what
// the result list shows.

#include <cstdint>

#include "base/utf16.h"
#include "engine/keyscour.h"

namespace keyscour {

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

std::wstring BinaryText(std::span<const std::uint8_t> data) {
    std::wstring text;
    text.reserve(data.size() * 3);
    for (std::uint8_t byte : data) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0xF]);
        text.push_back(L' ');
    }
    text.pop_back();  // the buffer always holds at least one byte
    return text;
}

std::wstring DwordText(std::span<const std::uint8_t> data) {
    // Missing high bytes count as zero; nothing is read past the data.
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4 && i < data.size(); ++i) number |= std::uint32_t{data[i]} << (8 * i);
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kHexDigits[(number >> shift) & 0xF]);
    text += L'(' + std::to_wstring(static_cast<std::int32_t>(number)) + L')';
    return text;
}

}  // namespace

std::wstring cKeyscour::FormatValueData(std::uint32_t type, std::span<const std::uint8_t> data) {
    switch (type) {
        case 1:  // REG_SZ
        case 7:  // REG_MULTI_SZ: only the first string shows
            return TrimNull(DecodeUtf16Le(data.data(), data.size()));
        case 3:  // REG_BINARY
            return data.empty() ? std::wstring() : BinaryText(data);
        case 4:  // REG_DWORD
            return DwordText(data);
        default:
            return L"Temporary unsupported";
    }
}

}  // namespace keyscour
