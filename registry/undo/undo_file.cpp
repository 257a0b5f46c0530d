#include "registry/undo/undo_file.h"

#include <cstdio>

#include "base/utf16.h"

namespace keyscour::undo_file {

namespace {

constexpr std::wstring_view kClosingStart = L"; Quillon Keyscour undo file end: ";

std::wstring LineOf(std::uint64_t values, std::uint64_t bytes, std::uint64_t hash) {
    wchar_t line[160];
    std::swprintf(line, 160, L"%ls%llu values, %llu bytes, fnv1a64 %016llx", std::wstring(kClosingStart).c_str(),
                  static_cast<unsigned long long>(values), static_cast<unsigned long long>(bytes),
                  static_cast<unsigned long long>(hash));
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

std::vector<std::uint8_t> ClosingMeasure::Add(std::wstring_view piece) {
    // Over the UTF-16LE bytes the file holds: wchar_t is 32 bits natively.
    std::vector<std::uint8_t> bytes = EncodeUtf16Le(std::wstring(piece));
    for (const std::uint8_t b : bytes) hash_ = (hash_ ^ b) * 0x100000001b3ull;
    bytes_ += bytes.size();
    // A value line starts with its quoted name or @; continued lines with spaces.
    for (const wchar_t c : piece) {
        if (lineStart_ && (c == L'"' || c == L'@')) ++values_;
        lineStart_ = c == L'\n';
    }
    return bytes;
}

std::wstring ClosingMeasure::Line() const { return LineOf(values_, bytes_, hash_) + L"\r\n"; }

std::wstring ClosingLine(std::wstring_view script) {
    ClosingMeasure measure;
    measure.Add(script);
    return measure.Line();
}

std::wstring WriteTemporary(const std::wstring& folder, const std::wstring& script,
                            const std::function<void(const std::wstring& temporary)>& made) {
    return WriteTemporary(folder, [&script](const PieceWriter& write) { write(script); }, made);
}

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
    return std::wstring(last) + L"\r\n" == ClosingLine(body) ? Ending::kWhole : Ending::kMismatch;
}

}  // namespace keyscour::undo_file
