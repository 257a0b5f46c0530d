// The registry script writer: keys and values in the form regedit exports.

#include "registry/script/reg_script.h"

#include <cstdio>
#include <cwctype>
#include <algorithm>
#include <optional>
#include <utility>

#include "base/code_pages.h"
#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/registry.h"

namespace keyscour {

namespace {



// "@" names the unnamed default value.
std::wstring ValueNameText(std::wstring_view name) { return name.empty() ? L"@" : RegScriptQuoted(name); }

// Text that the quoted form carries exactly: whole UTF-16 units, one
// terminator at the end and none before it, no line breaks.
bool QuotableString(std::span<const std::uint8_t> data, std::wstring& text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    text.clear();
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (text.back() != L'\0') return false;
    text.pop_back();
    return text.find_first_of(std::wstring_view(L"\0\r\n", 3)) == std::wstring::npos;
}

std::wstring HexBytes(std::span<const std::uint8_t> data) {
    std::wstring hex;
    hex.reserve(data.size() * 3);
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) hex += L',';
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 0xF];
    }
    return hex;
}

}  // namespace

RegScriptWriter::RegScriptWriter() : text_(std::wstring(kRegScriptHeader) + L"\r\n") {}

void RegScriptWriter::Key(std::wstring_view fullKey) { text_.append(L"\r\n[").append(fullKey).append(L"]\r\n"); }

void RegScriptWriter::RemovedKey(std::wstring_view fullKey) {
    text_.append(L"\r\n[-").append(fullKey).append(L"]\r\n");
}

void RegScriptWriter::Value(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    text_.append(RegScriptValueLine(name, type, data)).append(L"\r\n");
}

void RegScriptWriter::Comment(std::wstring_view text) { text_.append(L"\r\n").append(text).append(L"\r\n"); }

void RegScriptWriter::RemovedValue(std::wstring_view name) { text_.append(ValueNameText(name)).append(L"=-\r\n"); }

std::wstring RegScriptWriter::Finish() { return std::move(text_.append(L"\r\n")); }

std::wstring RegScriptWriter::Take() { return std::exchange(text_, std::wstring()); }

std::wstring RegScriptQuoted(std::wstring_view text) {
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') quoted += L'\\';
        quoted += c;
    }
    return quoted + L'"';
}

bool RegScriptWriter::Carries(std::wstring_view name) { return name.find_first_of(L"\r\n") == std::wstring_view::npos; }

std::wstring RegScriptValueLine(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    std::wstring line = ValueNameText(name) + L'=';
    std::wstring text;
    if (type == value_type::kString && QuotableString(data, text)) return line + RegScriptQuoted(text);
    if (type == value_type::kDword && data.size() == 4) {
        wchar_t number[16];
        std::swprintf(number, 16, L"dword:%08x",
                      static_cast<unsigned>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24));
        return line + number;
    }
    if (type == value_type::kBinary) return line + L"hex:" + HexBytes(data);
    wchar_t prefix[24];
    std::swprintf(prefix, 24, L"hex(%x):", type);
    return line + prefix + HexBytes(data);
}

}  // namespace keyscour
