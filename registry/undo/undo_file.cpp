#include "registry/undo/undo_file.h"

#include <cstdio>

#include "base/utf16.h"

namespace keyscour::undo_file {

namespace {

constexpr std::wstring_view kClosingStart = L"; Quillon Keyscour undo file end: ";

struct Measure {
    std::size_t values = 0;
    std::size_t bytes = 0;
    std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, over the UTF-16LE bytes
};

Measure MeasureOf(std::wstring_view script) {
    Measure measure;
    const auto bytes = EncodeUtf16Le(std::wstring(script));
    measure.bytes = bytes.size();
    for (std::uint8_t b : bytes) measure.hash = (measure.hash ^ b) * 0x100000001b3ull;
    // A value line starts with its quoted name or @; continued lines with spaces.
    bool lineStart = true;
    for (wchar_t c : script) {
        if (lineStart && (c == L'"' || c == L'@')) ++measure.values;
        lineStart = c == L'\n';
    }
    return measure;
}

std::wstring LineOf(const Measure& measure) {
    wchar_t line[160];
    std::swprintf(line, 160, L"%ls%llu values, %llu bytes, fnv1a64 %016llx", std::wstring(kClosingStart).c_str(),
                  static_cast<unsigned long long>(measure.values), static_cast<unsigned long long>(measure.bytes),
                  static_cast<unsigned long long>(measure.hash));
    return line;
}

}  // namespace

std::wstring Write(const std::wstring& folder, const std::wstring& script) {
    const std::wstring temporary = WriteTemporary(folder, script);
    try {
        return Publish(temporary);
    } catch (...) {
        Discard(temporary);
        throw;
    }
}

std::wstring ClosingLine(std::wstring_view script) { return LineOf(MeasureOf(script)) + L"\r\n"; }

Ending CheckEnding(std::wstring_view text, std::wstring_view& body) {
    // The last line that is not empty.
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == L'\n' || text[end - 1] == L'\r')) --end;
    const std::size_t start = text.rfind(L'\n', end == 0 ? 0 : end - 1);
    const std::size_t lineStart = start == std::wstring_view::npos ? 0 : start + 1;
    const std::wstring_view last = text.substr(lineStart, end - lineStart);
    body = text;
    if (!last.starts_with(kClosingStart)) return Ending::kMissing;
    body = text.substr(0, lineStart);
    return last == LineOf(MeasureOf(body)) ? Ending::kWhole : Ending::kMismatch;
}

}  // namespace keyscour::undo_file
