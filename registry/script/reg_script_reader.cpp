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
#include "registry/root_keys.h"

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

constexpr bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
constexpr bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}
constexpr unsigned HexValue(wchar_t c) {
    return static_cast<unsigned>(c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10);
}

std::wstring_view SkipBlanks(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::wstring_view TrimBlanksRight(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Nothing, or a comment: what may follow a value on its line.
bool EndsValue(std::wstring_view rest) {
    rest = SkipBlanks(rest);
    return rest.empty() || rest.front() == L';';
}

// The lines of a script as Windows splits them: at CR LF, CR or LF.
class Lines {
public:
    explicit Lines(std::wstring_view text) : text_(text) {}
    bool Next(std::wstring_view& line) {
        if (done_) return false;
        const wchar_t* const begin = text_.data();
        const wchar_t* const end = begin + text_.size();
        const wchar_t* at = begin;
        while (at != end && *at != L'\n' && *at != L'\r') ++at;
        line = std::wstring_view(begin, static_cast<std::size_t>(at - begin));
        ++number_;
        if (at == end) {
            done_ = true;
        } else {
            const wchar_t* next = at + (*at == L'\r' && at + 1 != end && at[1] == L'\n' ? 2 : 1);
            text_ = std::wstring_view(next, static_cast<std::size_t>(end - next));
            done_ = text_.empty();
        }
        return true;
    }
    std::size_t Number() const { return number_; }

private:
    std::wstring_view text_;
    std::size_t number_ = 0;
    bool done_ = false;
};

// A quoted text with the escapes Windows reads (\\, \", \n, \r, and any
// other character standing for itself), from just after its opening
// quote; rest is what follows the closing quote. Nothing for a text that
// does not close on its line or holds \0.
std::optional<std::wstring> Unquoted(std::wstring_view text, std::wstring_view& rest) {
    std::wstring result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'"') {
            rest = text.substr(i + 1);
            return result;
        }
        if (c != L'\\') {
            result += c;
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        const wchar_t escaped = text[i];
        if (escaped == L'0') return std::nullopt;
        result += escaped == L'n' ? L'\n' : escaped == L'r' ? L'\r' : escaped;
    }
    return std::nullopt;
}

// A number as the C library's wcstoul reads one in base 16, kept to 32
// bits: leading white space, a sign, a 0x. Nothing when no digit is read,
// or when it does not fit.
struct HexNumber {
    bool read = false;
    bool fits = true;
    std::uint32_t value = 0;
    std::size_t end = 0;
};
HexNumber ReadHexNumber(std::wstring_view text) {
    HexNumber number;
    // The usual byte, two digits and a comma or the end, read at once.
    if (text.size() >= 2 && IsHexDigit(text[0]) && IsHexDigit(text[1]) && (text.size() == 2 || !IsHexDigit(text[2]))) {
        number.read = true;
        number.end = 2;
        number.value = HexValue(text[0]) * 16 + HexValue(text[1]);
        return number;
    }
    std::size_t at = 0;
    while (at < text.size() && std::iswspace(static_cast<wint_t>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) negative = text[at++] == L'-';
    if (at + 2 < text.size() && text[at] == L'0' && (text[at + 1] | 0x20) == L'x' && IsHexDigit(text[at + 2])) at += 2;
    std::uint64_t value = 0;
    const std::size_t digits = at;
    while (at < text.size() && IsHexDigit(text[at])) {
        value = value * 16 + HexValue(text[at++]);
        if (value > 0xFFFFFFFFu) number.fits = false;
    }
    if (at == digits) return number;
    number.read = true;
    number.end = at;
    number.value = negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(value)) : static_cast<std::uint32_t>(value);
    if (!number.fits) number.value = 0xFFFFFFFFu;
    return number;
}

enum class HexRun { kDone, kContinued, kBad };

// Comma-separated bytes, appended to data: done at the end of the line or
// a comment, continued where the line ends in a backslash after a comma.
HexRun ReadHexBytes(std::wstring_view text, std::vector<std::uint8_t>& data) {
    while (!text.empty()) {
        const HexNumber number = ReadHexNumber(text);
        if (!number.read) {
            const std::wstring_view rest = SkipBlanks(text);
            if (!rest.empty() && rest.front() == L'\\')
                return EndsValue(rest.substr(1)) ? HexRun::kContinued : HexRun::kBad;
            return !rest.empty() && rest.front() == L';' ? HexRun::kDone : HexRun::kBad;
        }
        if (!number.fits || number.value > 0xFF) return HexRun::kBad;
        data.push_back(static_cast<std::uint8_t>(number.value));
        text.remove_prefix(number.end);
        if (text.empty()) return HexRun::kDone;
        if (text.front() != L',') return EndsValue(text) ? HexRun::kDone : HexRun::kBad;
        text.remove_prefix(1);
    }
    return HexRun::kDone;
}

// In a REGEDIT4 file, string data stands in ANSI bytes; it is stored as
// the registry stores text, in UTF-16.
std::optional<std::vector<std::uint8_t>> Widened(const std::vector<std::uint8_t>& narrow, int codePage,
                                                 std::wstring& why) {
    const std::string_view bytes(reinterpret_cast<const char*>(narrow.data()), narrow.size());
    std::wstring text;
    if (codePage == 0) {
        if (!IsValidUtf8(bytes)) {
            why = L"string bytes that are not UTF-8";
            return std::nullopt;
        }
        text = FromUtf8(bytes);
    } else if (DecodeCodePage(codePage, bytes, text)) {
        why = L"string bytes that code page " + std::to_wstring(codePage) + L" does not decode";
        return std::nullopt;
    }
    return EncodeUtf16Le(text);
}

bool IsStringType(std::uint32_t type) {
    return type == value_type::kString || type == value_type::kExpandString || type == value_type::kMultiString;
}

// Reads a script line by line as Windows' importer does: a line it cannot
// use is skipped alone (and said), a value whose data does not read is
// dropped, and only a file without a header is refused whole.
class ScriptReader {
public:
    ScriptReader(std::wstring_view text, RegScriptVisitor& visitor, const RegScriptReading& reading)
        : lines_(text), visitor_(visitor), reading_(reading) {}

    void Run() {
        std::wstring_view line;
        lines_.Next(line);
        const std::wstring_view header = SkipBlanks(line);
        if (header == kRegScriptHeader) {
            form_ = Form::kVersion5;
        } else if (header == kRegScriptHeader4) {
            form_ = Form::kRegedit4;
        } else if (header.starts_with(L"REGEDIT") && !reading_.exact) {
            form_ = Form::kWindows31;
        } else {
            throw RegScriptError{1, L"not a registry script: the first line must be \"" + std::wstring(kRegScriptHeader) +
                                        L"\" or \"REGEDIT4\""};
        }
        while (lines_.Next(line)) {
            if (reading_.stop && ++read_ % 4096 == 0 && reading_.stop()) throw RegScriptStopped{};
            if (form_ == Form::kWindows31) Windows31Line(line);
            else Line(line);
        }
    }

private:
    enum class Form { kWindows31, kRegedit4, kVersion5 };

    void Skip(std::size_t line, const std::wstring& why) {
        if (reading_.exact) throw RegScriptError{line, why};
        if (reading_.skipped) reading_.skipped(line, why);
    }

    // "HKEY_CLASSES_ROOT\path = text" sets the key's default value.
    void Windows31Line(std::wstring_view line) {
        const std::size_t number = lines_.Number();
        if (!line.starts_with(L"HKEY_CLASSES_ROOT")) {
            if (!SkipBlanks(line).empty()) Skip(number, L"a Windows 3.1 script sets HKEY_CLASSES_ROOT lines only");
            return;
        }
        std::size_t end = 0;
        while (end < line.size() && !std::iswspace(static_cast<wint_t>(line[end]))) ++end;
        std::wstring_view value = SkipBlanks(line.substr(end));
        if (!value.empty() && value.front() == L'=') value.remove_prefix(1);
        if (!value.empty() && value.front() == L' ') value.remove_prefix(1);
        if (!OpenKey(line.substr(0, end), number)) return;
        std::vector<std::uint8_t> data = EncodeUtf16Le(std::wstring(value));
        data.insert(data.end(), {0, 0});
        visitor_.Value(L"", value_type::kString, std::move(data), number);
    }

    void Line(std::wstring_view line) {
        const std::size_t number = lines_.Number();
        const std::wstring_view text = SkipBlanks(line);
        if (text.empty() || text.front() == L';' || text.front() == L'#') return;
        if (text.find(L'\0') != std::wstring_view::npos) return Skip(number, L"a NUL in the line");
        if (text.front() == L'[') return KeyLine(text.substr(1), number);
        std::wstring name;
        std::wstring_view rest;
        if (text.front() == L'@') {
            rest = text.substr(1);
        } else if (text.front() == L'"') {
            const auto unquoted = Unquoted(text.substr(1), rest);
            if (!unquoted) return Skip(number, L"the value's name does not close on its line, or holds \\0");
            name = *unquoted;
        } else {
            return Skip(number, L"not a key, a value or a comment");
        }
        rest = SkipBlanks(rest);
        if (rest.empty() || rest.front() != L'=') return Skip(number, L"'=' expected after the value's name");
        ValueData(name, TrimBlanksRight(SkipBlanks(rest.substr(1))), number);
    }

    // After '[': the key's name runs to the last ']' on the line.
    void KeyLine(std::wstring_view text, std::size_t number) {
        const std::size_t close = text.rfind(L']');
        if (text.empty() || IsBlank(text.front()) || close == std::wstring_view::npos)
            return Skip(number, L"not a key line: a name right after '[' and a ']' after it are needed");
        std::wstring_view name = text.substr(0, close);
        if (!name.empty() && name.front() == L'-') {
            keyOpen_ = false;
            const auto place = Normalized(name.substr(1));
            if (!place || place->second.empty()) return Skip(number, L"no key below a root to remove");
            return visitor_.Key(place->first, true, number);
        }
        OpenKey(name, number);
    }

    // A key path as the registry takes it: a root it knows, trailing
    // backslashes dropped, no empty or overlong name inside.
    static std::optional<std::pair<std::wstring, std::wstring>> Normalized(std::wstring_view name) {
        while (!name.empty() && name.back() == L'\\') name.remove_suffix(1);
        const auto place = SplitFullKeyName(name);
        if (!place) return std::nullopt;
        std::wstring_view path = place->path;
        for (std::size_t at = 0; !path.empty();) {
            const std::size_t slash = path.find(L'\\', at);
            const std::size_t length = (slash == std::wstring_view::npos ? path.size() : slash) - at;
            if (length == 0 || length > 255) return std::nullopt;
            if (slash == std::wstring_view::npos) break;
            at = slash + 1;
        }
        return std::pair{std::wstring(name), place->path};
    }

    bool OpenKey(std::wstring_view name, std::size_t number) {
        keyOpen_ = false;
        const auto place = Normalized(name);
        if (!place) {
            Skip(number, L"a key the registry cannot open: " + std::wstring(name));
            return false;
        }
        visitor_.Key(place->first, false, number);
        keyOpen_ = true;
        return true;
    }

    void ValueData(const std::wstring& name, std::wstring_view data, std::size_t number) {
        if (data.starts_with(L"-")) {
            if (!EndsValue(data.substr(1))) return Skip(number, L"nothing but a comment may follow '=-'");
            if (!keyOpen_) return Skip(number, L"no key is open for this value");
            return visitor_.RemovedValue(name, number);
        }
        std::uint32_t type = value_type::kString;
        std::vector<std::uint8_t> bytes;
        if (data.starts_with(L"\"")) {
            std::wstring_view rest;
            const auto text = Unquoted(data.substr(1), rest);
            if (!text || !EndsValue(rest))
                return Skip(number, L"the string does not close, holds \\0, or has more than a comment after it");
            bytes = EncodeUtf16Le(*text);
            bytes.insert(bytes.end(), {0, 0});
        } else if (data.starts_with(L"dword:")) {
            type = value_type::kDword;
            const auto dword = Dword(data.substr(6));
            if (!dword) return Skip(number, L"dword: takes 1 to 8 hexadecimal digits");
            bytes = {static_cast<std::uint8_t>(*dword), static_cast<std::uint8_t>(*dword >> 8),
                     static_cast<std::uint8_t>(*dword >> 16), static_cast<std::uint8_t>(*dword >> 24)};
        } else if (data.starts_with(L"hex:")) {
            type = value_type::kBinary;
            if (!HexData(data.substr(4), bytes, number)) return;
        } else if (data.starts_with(L"hex(")) {
            std::wstring_view rest = data.substr(4);
            if (rest.empty() || (rest.size() > 1 && (rest[1] | 0x20) == L'x'))
                return Skip(number, L"hex( takes a type number without 0x");
            const HexNumber number32 = ReadHexNumber(rest);
            const std::size_t end = number32.read ? number32.end : 0;
            if (!number32.fits || rest.substr(end, 2) != L"):")
                return Skip(number, L"hex(N): takes a type number of at most 32 bits");
            type = number32.value;
            if (!HexData(rest.substr(end + 2), bytes, number)) return;
            if (IsStringType(type) && !bytes.empty() && !reading_.exact) Terminate(bytes);
            if (form_ == Form::kRegedit4 && IsStringType(type)) {
                std::wstring why;
                auto wide = Widened(bytes, reading_.ansiCodePage, why);
                if (!wide) return Skip(number, why);
                bytes = std::move(*wide);
            }
        } else {
            return Skip(number, L"the value's data is not in a form a registry script uses");
        }
        if (!keyOpen_) return Skip(number, L"no key is open for this value");
        visitor_.Value(name, type, std::move(bytes), number);
    }

    // Windows stores text data read from hex with a terminator it lacks.
    void Terminate(std::vector<std::uint8_t>& bytes) const {
        if (form_ == Form::kRegedit4) {
            if (bytes.back() != 0) bytes.push_back(0);
            return;
        }
        if (bytes.size() % 2 != 0) bytes.push_back(0);  // the last unit made whole
        if (bytes[bytes.size() - 2] != 0 || bytes[bytes.size() - 1] != 0) bytes.insert(bytes.end(), {0, 0});
    }

    static std::optional<std::uint32_t> Dword(std::wstring_view text) {
        text = SkipBlanks(text);
        if (text.empty()) return std::nullopt;
        std::size_t digits = 0;
        std::uint32_t value = 0;
        while (digits < text.size() && IsHexDigit(text[digits])) value = value * 16 + HexValue(text[digits++]);
        if (digits > 8 || !EndsValue(text.substr(digits))) return std::nullopt;
        return value;
    }

    // The bytes of hex data, over the lines a backslash after a comma joins
    // (blank and comment lines among them passed over). A line that cannot
    // go on drops the value, and is itself taken up, as Windows takes it.
    bool HexData(std::wstring_view text, std::vector<std::uint8_t>& bytes, std::size_t number) {
        if (text.empty()) return true;
        for (;;) {
            const HexRun run = ReadHexBytes(text, bytes);
            if (run == HexRun::kDone) return true;
            if (run == HexRun::kBad) {
                Skip(number, L"the value's hexadecimal data does not read");
                return false;
            }
            std::wstring_view next;
            for (;;) {
                if (!lines_.Next(next)) return true;
                next = SkipBlanks(next);
                if (!next.empty() && next.front() != L';') break;
            }
            if (!IsHexDigit(next.front())) {
                Skip(number, L"the value's data goes on into a line that is not hexadecimal data");
                Skip(lines_.Number(), L"taken as the data of the value before it, which it cannot be");
                return false;
            }
            text = next;
        }
    }

    Lines lines_;
    RegScriptVisitor& visitor_;
    const RegScriptReading& reading_;
    Form form_ = Form::kVersion5;
    bool keyOpen_ = false;
    std::size_t read_ = 0;
};

}  // namespace

void ReadRegScript(std::wstring_view text, RegScriptVisitor& visitor, const RegScriptReading& reading) {
    if (text.empty()) throw RegScriptError{0, L"not a registry script: the file is empty"};
    ScriptReader(text, visitor, reading).Run();
}

}  // namespace keyscour
