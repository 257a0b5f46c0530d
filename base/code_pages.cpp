#include "base/code_pages.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace keyscour {

namespace {

constexpr int kDoubleBytePages[] = {932, 936, 949, 950};

const code_pages::SingleBytePage* SingleByte(int page) {
    for (std::size_t i = 0; i < code_pages::kSingleBytePageCount; ++i)
        if (code_pages::kSingleBytePages[i].page == page) return &code_pages::kSingleBytePages[i];
    return nullptr;
}

void AppendCodePoint(char32_t c, std::wstring& text) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c > 0xFFFF) {
            c -= 0x10000;
            text += static_cast<wchar_t>(0xD800 + (c >> 10));
            text += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    text += static_cast<wchar_t>(c);
}

#ifdef _WIN32
std::optional<std::size_t> DecodeDoubleByte(int page, std::string_view bytes, std::wstring& text) {
    // One character at a time, lead byte and trail: where a byte does not
    // decode is then known exactly.
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length =
            IsDBCSLeadByteEx(static_cast<UINT>(page), static_cast<BYTE>(bytes[at])) && at + 1 < bytes.size() ? 2 : 1;
        wchar_t wide[2] = {};
        const int made = MultiByteToWideChar(static_cast<UINT>(page), MB_ERR_INVALID_CHARS, bytes.data() + at,
                                             static_cast<int>(length), wide, 2);
        if (made <= 0) return at;
        text.append(wide, static_cast<std::size_t>(made));
        at += length;
    }
    return std::nullopt;
}
#else
std::optional<std::size_t> DecodeDoubleByte(int page, std::string_view bytes, std::wstring& text) {
    const std::string name = "CP" + std::to_string(page);
    iconv_t convert = iconv_open("UTF-32LE", name.c_str());
    if (convert == reinterpret_cast<iconv_t>(-1)) return std::size_t{0};
    std::vector<char> out(bytes.size() * 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    const std::size_t done = iconv(convert, &in, &inLeft, &to, &outLeft);
    iconv_close(convert);
    const std::size_t made = static_cast<std::size_t>(to - out.data()) / 4;
    for (std::size_t i = 0; i < made; ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(out.data() + i * 4);
        AppendCodePoint(static_cast<char32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<char32_t>(b[3]) << 24), text);
    }
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) return bytes.size() - inLeft;
    return std::nullopt;
}
#endif

}  // namespace

bool IsKnownCodePage(int page) {
    return SingleByte(page) || std::find(std::begin(kDoubleBytePages), std::end(kDoubleBytePages), page) !=
                                   std::end(kDoubleBytePages);
}

int DefaultAnsiCodePage() {
#ifdef _WIN32
    const int page = static_cast<int>(GetACP());
    return IsKnownCodePage(page) ? page : 1252;
#else
    return 1252;
#endif
}

std::optional<std::size_t> DecodeCodePage(int page, std::string_view bytes, std::wstring& text) {
    const code_pages::SingleBytePage* table = SingleByte(page);
    if (!table) return DecodeDoubleByte(page, bytes, text);
    text.reserve(text.size() + bytes.size());
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            text += static_cast<wchar_t>(byte);
            continue;
        }
        const std::uint16_t c = table->high[byte - 0x80];
        if (c == 0) return at;
        text += static_cast<wchar_t>(c);
    }
    return std::nullopt;
}

}  // namespace keyscour
