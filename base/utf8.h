#pragma once
// UTF-8 at the edges: command lines, files and consoles other than the
// Windows console. Text inside is wide (UTF-16 on Windows, UTF-32 here).

#include <functional>
#include <string>
#include <string_view>

namespace keyscour {

// Calls visit(codePoint, lone) for each character of text: a surrogate pair
// (UTF-16) is one code point; a surrogate without its partner comes as
// itself with lone set.
void ForEachCodePoint(std::wstring_view text, const std::function<void(char32_t, bool)>& visit);

// Whether text is UTF-8 throughout: no overlong forms, surrogates or values
// past Unicode; and where the first byte that is not, or npos.
bool IsValidUtf8(std::string_view text);
std::size_t FirstInvalidUtf8(std::string_view text);

// Lone surrogates, which UTF-8 cannot carry, become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Bytes that are not UTF-8 become U+FFFD; a byte order mark is kept.
std::wstring FromUtf8(std::string_view text);
void FromUtf8(std::string_view text, std::wstring& out);  // into reused storage

}  // namespace keyscour
