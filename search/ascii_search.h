#pragma once
// The search the command line makes of nearly every value: plain ASCII
// text for an ASCII needle, ignoring case or not, read as the value
// stores it (UTF-16LE) eight characters at a time, never decoded.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace keyscour::search {

// Whether the text holds needle (ASCII, not empty; upper case when
// ignoreCase, and then found in any case): a REG_SZ or REG_EXPAND_SZ to
// its NUL, a REG_MULTI_SZ (list) to the empty string that ends it. None
// when the text holds a character beyond ASCII before its end: the full
// rule decides such text.
std::optional<bool> FindAscii(std::span<const std::uint8_t> data, bool list, std::u16string_view needle,
                              bool ignoreCase = true);
// The same for a name, decoded already; none when it is not all ASCII.
std::optional<bool> FindAscii(std::wstring_view name, std::u16string_view needle, bool ignoreCase = true);

}  // namespace keyscour::search
