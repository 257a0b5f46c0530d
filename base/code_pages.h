#pragma once
// The ANSI and OEM code pages a REGEDIT4 file may be written in, decoded
// as Windows' MultiByteToWideChar decodes them: the single-byte pages from
// tables of our own in both builds (glibc's iconv refuses bytes Windows
// maps), the double-byte ones through the platform (iconv natively).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keyscour {

namespace code_pages {
struct SingleBytePage {
    int page;
    std::uint16_t high[128];  // bytes 0x80..0xFF; 0 where the byte does not decode
};
extern const SingleBytePage kSingleBytePages[];
extern const std::size_t kSingleBytePageCount;
}  // namespace code_pages

// Whether page is one that can be decoded here.
bool IsKnownCodePage(int page);
// The code page an ANSI file is taken to be in without being told: the
// system's (GetACP) on Windows, 1252 natively.
int DefaultAnsiCodePage();
// Decodes bytes of page, appending to text. Returns the offset of the first
// byte that does not decode (nothing is then appended past it), or nothing.
std::optional<std::size_t> DecodeCodePage(int page, std::string_view bytes, std::wstring& text);

}  // namespace keyscour
