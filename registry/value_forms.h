#pragma once
// A value's data as the command line compares and prints it, and as the
// window's exports write it: strings as stored, each string of a
// multi-string on its own, numbers in decimal and in hex, everything else
// as lower-case hex bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour {

// "REG_SZ", ..., or "REG_0x1234" for a type without a name.
std::wstring TypeName(std::uint32_t type);
std::optional<std::uint32_t> ParseTypeName(std::wstring_view name);

// The strings of REG_SZ and REG_EXPAND_SZ data: the text up to its first
// NUL, or all of it when it has none.
std::wstring StringOf(std::span<const std::uint8_t> data);
// The strings of REG_MULTI_SZ data, without the empty one that ends the list.
std::vector<std::wstring> StringsOf(std::span<const std::uint8_t> data);
// A REG_DWORD (4 bytes) or REG_QWORD (8 bytes), little-endian; nothing for other sizes.
std::optional<std::uint64_t> NumberOf(std::uint32_t type, std::span<const std::uint8_t> data);
// "00 0a ff".
std::wstring HexOf(std::span<const std::uint8_t> data);

// The texts a search compares with its text, in order.
void ComparedTexts(std::uint32_t type, std::span<const std::uint8_t> data, std::vector<std::wstring>& texts);

// The data as one line of text for tables and CSV: multi-strings joined by
// line breaks, numbers in decimal, the rest in hex.
std::wstring DataText(std::uint32_t type, std::span<const std::uint8_t> data);

// A field of CSV or tab-separated text: as it is, or, when it holds one of
// special, in quotes with inner quotes doubled, as RFC 4180 and
// spreadsheets read it.
std::wstring QuotedField(std::wstring_view text, std::wstring_view special);

// Data for strings: the text with its terminator; for multi-strings, each
// string ended by a NUL and the list by another.
std::vector<std::uint8_t> StringData(std::wstring_view text);
std::vector<std::uint8_t> MultiStringData(const std::vector<std::wstring>& strings);

}  // namespace keyscour
