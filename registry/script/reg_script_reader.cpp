// The registry script reader: the encodings a .reg file comes in, then its
// lines, handed to a visitor.

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

std::optional<RegFileEncoding> ParseRegFileEncoding(std::wstring_view name) {
    std::wstring lower;
    for (wchar_t c : name) lower += static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c + 0x20 : c);
    if (lower == L"utf-8" || lower == L"utf8") return RegFileEncoding{RegFileEncoding::Kind::kUtf8, 0};
    if (lower == L"utf-16" || lower == L"utf16") return RegFileEncoding{RegFileEncoding::Kind::kUtf16, 0};
    std::wstring_view digits = lower;
    if (digits.starts_with(L"cp")) digits.remove_prefix(2);
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    int page = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return std::nullopt;
        page = page * 10 + (c - L'0');
    }
    if (!IsKnownCodePage(page)) return std::nullopt;
    return RegFileEncoding{RegFileEncoding::Kind::kCodePage, page};
}

namespace {

std::size_t LineOf(std::string_view bytes, std::size_t at) {
    return 1 + static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

}  // namespace

DecodedRegFile DecodeRegFile(std::span<const std::uint8_t> bytes, RegFileEncoding encoding) {
    using Kind = RegFileEncoding::Kind;
    const bool utf16Mark = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const bool utf8Mark = text.starts_with("\xEF\xBB\xBF");
    const bool toldUtf8 = encoding.kind == Kind::kUtf8;
    // Where the text stops being UTF-8, looked for once: it decides an
    // unmarked file's encoding and names the line of a bad byte.
    std::optional<std::size_t> invalidUtf8;
    const auto firstInvalid = [&] {
        if (!invalidUtf8) invalidUtf8 = FirstInvalidUtf8(utf8Mark ? text.substr(3) : text);
        return *invalidUtf8;
    };
    if (encoding.kind == Kind::kAuto) {
        if (utf16Mark) encoding.kind = Kind::kUtf16;
        else if (utf8Mark || firstInvalid() == std::string_view::npos) encoding.kind = Kind::kUtf8;
        else encoding = {Kind::kCodePage, DefaultAnsiCodePage()};
    }
    DecodedRegFile decoded;
    switch (encoding.kind) {
    case Kind::kUtf16: {
        const std::size_t start = utf16Mark ? 2 : 0;
        if ((bytes.size() - start) % 2 != 0)
            throw RegScriptError{0, L"not UTF-16: the file's length is an odd number of bytes"};
        decoded.text = DecodeUtf16Le(bytes.data() + start, bytes.size() - start);
        break;
    }
    case Kind::kUtf8: {
        const std::size_t bad = firstInvalid();
        if (utf8Mark) text.remove_prefix(3);
        if (bad != std::string_view::npos)
            throw RegScriptError{LineOf(text, bad), L"a byte that is not UTF-8 (give --encoding with the file's code page)"};
        decoded.text = FromUtf8(text);
        break;
    }
    default:
        if (const auto bad = DecodeCodePage(encoding.codePage, text, decoded.text))
            throw RegScriptError{LineOf(text, *bad), L"a byte that code page " + std::to_wstring(encoding.codePage) +
                                                         L" does not decode"};
        decoded.ansiCodePage = encoding.codePage;
        break;
    }
    // regedit writes REGEDIT4 string bytes in ANSI even where the text is
    // plain ASCII; only a file said to be UTF-8 has them in UTF-8.
    if (decoded.ansiCodePage == 0 && !toldUtf8) decoded.ansiCodePage = DefaultAnsiCodePage();
    return decoded;
}

namespace {

class LineReader {
public:
    LineReader(std::wstring_view line, std::size_t number) : line_(line), number_(number) {}

    [[noreturn]] void Fail(const std::wstring& what) const { throw RegScriptError{number_, what}; }
    bool AtEnd() const { return at_ >= line_.size(); }
    wchar_t Peek() const { return AtEnd() ? L'\0' : line_[at_]; }
    void SkipSpaces() {
        while (!AtEnd() && (line_[at_] == L' ' || line_[at_] == L'\t')) ++at_;
    }
    bool Take(std::wstring_view word) {
        if (line_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    // A quoted string with the escapes regedit and Wine write.
    std::wstring QuotedText() {
        if (!Take(L"\"")) Fail(L"a quote expected");
        std::wstring text;
        for (;;) {
            if (AtEnd()) Fail(L"the closing quote is missing");
            const wchar_t c = line_[at_++];
            if (c == L'"') return text;
            if (c != L'\\' || AtEnd()) {
                text += c;
                continue;
            }
            const wchar_t escaped = line_[at_++];
            text += escaped == L'n' ? L'\n' : escaped == L'r' ? L'\r' : escaped == L'0' ? L'\0' : escaped;
        }
    }
    std::uint32_t HexNumber(std::size_t maxDigits) {
        std::uint32_t number = 0;
        std::size_t digits = 0;
        while (!AtEnd() && std::iswxdigit(static_cast<wint_t>(line_[at_])) && digits < maxDigits) {
            const wchar_t c = line_[at_++];
            number = number * 16 + static_cast<std::uint32_t>(c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
            ++digits;
        }
        if (digits == 0) Fail(L"a hexadecimal number expected");
        return number;
    }
    std::vector<std::uint8_t> HexBytes() {
        std::vector<std::uint8_t> bytes;
        SkipSpaces();
        if (AtEnd()) return bytes;
        for (;;) {
            SkipSpaces();
            bytes.push_back(static_cast<std::uint8_t>(HexNumber(2)));
            SkipSpaces();
            if (AtEnd()) return bytes;
            if (!Take(L",")) Fail(L"a comma expected between bytes");
            SkipSpaces();
            if (AtEnd()) return bytes;  // a last comma, as continued lines leave
        }
    }

private:
    std::wstring_view line_;
    std::size_t number_;
    std::size_t at_ = 0;
};

std::wstring_view TrimRight(std::wstring_view text) {
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t' || text.back() == L'\r')) text.remove_suffix(1);
    return text;
}

std::wstring_view TrimLeft(std::wstring_view text) {
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
    return text;
}

// In a REGEDIT4 file, string data stands in ANSI bytes; it is stored as
// the registry stores text, in UTF-16.
std::vector<std::uint8_t> Widened(const std::vector<std::uint8_t>& narrow, int codePage, const LineReader& reader) {
    const std::string_view bytes(reinterpret_cast<const char*>(narrow.data()), narrow.size());
    std::wstring text;
    if (codePage == 0) {
        if (!IsValidUtf8(bytes)) reader.Fail(L"string bytes that are not UTF-8");
        text = FromUtf8(bytes);
    } else if (DecodeCodePage(codePage, bytes, text)) {
        reader.Fail(L"string bytes that code page " + std::to_wstring(codePage) + L" does not decode");
    }
    return EncodeUtf16Le(text);
}

void ReadValueLine(LineReader& reader, bool regedit4, int codePage, RegScriptVisitor& visitor, std::size_t number) {
    std::wstring name;
    if (!reader.Take(L"@")) name = reader.QuotedText();
    if (name.find(L'\0') != std::wstring::npos) reader.Fail(L"a value name holds a NUL");
    reader.SkipSpaces();
    if (!reader.Take(L"=")) reader.Fail(L"'=' expected after the value's name");
    reader.SkipSpaces();
    if (reader.Take(L"-")) {
        reader.SkipSpaces();
        if (!reader.AtEnd()) reader.Fail(L"nothing may follow '=-'");
        return visitor.RemovedValue(name, number);
    }
    std::uint32_t type = value_type::kString;
    std::vector<std::uint8_t> data;
    if (reader.Peek() == L'"') {
        // The file's text is decoded already, in either form.
        data = EncodeUtf16Le(reader.QuotedText());
        data.insert(data.end(), {0, 0});
    } else if (reader.Take(L"dword:")) {
        type = value_type::kDword;
        const std::uint32_t number = reader.HexNumber(8);
        data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    } else if (reader.Take(L"hex:")) {
        type = value_type::kBinary;
        data = reader.HexBytes();
    } else if (reader.Take(L"hex(")) {
        type = reader.HexNumber(8);
        if (!reader.Take(L"):")) reader.Fail(L"'):' expected after the type");
        data = reader.HexBytes();
        const bool text = type == value_type::kString || type == value_type::kExpandString ||
                          type == value_type::kMultiString;
        if (regedit4 && text) data = Widened(data, codePage, reader);
    } else {
        reader.Fail(L"the value's data is not in a form a registry script uses");
    }
    reader.SkipSpaces();
    if (!reader.AtEnd()) reader.Fail(L"unexpected text after the value");
    visitor.Value(name, type, std::move(data), number);
}

}  // namespace

void ReadRegScript(std::wstring_view text, RegScriptVisitor& visitor, const RegScriptReading& reading) {
    bool headerSeen = false;
    bool regedit4 = false;
    std::size_t number = 0, logical = 0;
    std::wstring joined;
    while (!text.empty()) {
        // One logical line: a value's data may go on over lines ending in '\'.
        const std::size_t first = number + 1;
        if (reading.stop && ++logical % 4096 == 0 && reading.stop()) throw RegScriptStopped{};
        joined.clear();
        for (;;) {
            const std::size_t end = text.find(L'\n');
            std::wstring_view line = TrimRight(text.substr(0, end));
            text = end == std::wstring_view::npos ? std::wstring_view{} : text.substr(end + 1);
            ++number;
            if (!joined.empty()) line = TrimLeft(line);
            // Only a value line goes on: a comment or a key line ending in '\' is whole.
            const std::wstring_view start = TrimLeft(joined.empty() ? line : std::wstring_view(joined));
            const bool continues = !line.empty() && line.back() == L'\\' && headerSeen &&
                                   (start.starts_with(L"\"") || start.starts_with(L"@"));
            if (continues) {
                joined.append(line.substr(0, line.size() - 1));
                if (!text.empty()) continue;
            } else {
                joined.append(line);
            }
            break;
        }
        const std::wstring_view line = TrimLeft(joined);
        if (line.empty() || line.front() == L';') continue;
        if (!headerSeen) {
            if (line == kRegScriptHeader) {
                headerSeen = true;
            } else if (line == kRegScriptHeader4) {
                headerSeen = regedit4 = true;
            } else {
                throw RegScriptError{first, L"not a registry script: the first line must be \"" + std::wstring(kRegScriptHeader) +
                                                L"\" or \"REGEDIT4\""};
            }
            continue;
        }
        if (line.front() == L'[') {
            const std::size_t close = line.rfind(L']');
            if (close == std::wstring_view::npos) throw RegScriptError{first, L"a key line must end in ']'"};
            const bool remove = line.size() > 1 && line[1] == L'-';
            const std::wstring key(line.substr(remove ? 2 : 1, close - (remove ? 2 : 1)));
            if (key.empty()) throw RegScriptError{first, L"a key line names no key"};
            // The registry's functions take names ended by a NUL: one inside
            // would name another key.
            if (key.find(L'\0') != std::wstring::npos) throw RegScriptError{first, L"a key name holds a NUL"};
            visitor.Key(key, remove, first);
            continue;
        }
        LineReader reader(line, first);
        ReadValueLine(reader, regedit4, reading.ansiCodePage, visitor, first);
    }
    if (!headerSeen) throw RegScriptError{0, L"not a registry script: the file is empty"};
}

}  // namespace keyscour
