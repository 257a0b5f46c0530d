#pragma once
// The undo file of a replace: the registry script of what it overwrites,
// written and flushed to disk before the first write.

#include "base/error_numbers.h"
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour::undo_file {

// Errors: the base plus the platform's error code.
inline constexpr std::int32_t kErrorNotWritten = error_number::kUndoFileNotWritten;

// %LOCALAPPDATA%\Quillon Keyscour\Undo on Windows;
// $XDG_STATE_HOME/quillon-keyscour/undo elsewhere (~/.local/state/...).
std::wstring DefaultFolder();

// Writes script and its closing line as UTF-16LE with a byte order mark
// into a new file in folder (created where missing), named by the local
// date and time: written under a name of its own, flushed, and only then
// given its name, which never replaces a file (" (2)" and on when taken),
// so that no undo file is ever seen cut short or overwritten. Returns the
// file's path; throws NumberedError when the file cannot be written whole,
// and then leaves no file behind.
std::wstring Write(const std::wstring& folder, const std::wstring& script);

// Write in two steps, for writes that last only at a commit: an undo file
// published before it would "restore" what a run killed before its commit
// never changed. WriteTemporary writes the whole file, flushed, under a
// name starting with kTemporaryPrefix in folder, telling made that name
// before the first byte, so that what a kill leaves can be found; it
// leaves no file behind when it throws. Publish gives a temporary its
// dated name, as Write does, and returns it; NumberedError when it cannot,
// the temporary kept.
inline constexpr std::wstring_view kTemporaryPrefix = L".keyscour-undo";
std::wstring WriteTemporary(const std::wstring& folder, const std::wstring& script,
                            const std::function<void(const std::wstring& temporary)>& made = {});
// The same for a script too big to hold whole: script calls its argument
// with each piece, in order.
using PieceWriter = std::function<void(std::wstring_view piece)>;
using ScriptPieces = std::function<void(const PieceWriter& write)>;
std::wstring WriteTemporary(const std::wstring& folder, const ScriptPieces& script,
                            const std::function<void(const std::wstring& temporary)>& made = {});
std::wstring Publish(const std::wstring& temporary);
// Removes a temporary that is not to be published.
void Discard(const std::wstring& temporary);

// The comment line that ends an undo file: the count of its value lines,
// and the length and a hash of the bytes before it. regedit and reg import
// skip comments; undo refuses a file whose line is missing or wrong.
std::wstring ClosingLine(std::wstring_view script);
// The closing line of a script given in pieces.
class ClosingMeasure {
public:
    // Measures piece; returns its UTF-16LE bytes, as the file holds them.
    std::vector<std::uint8_t> Add(std::wstring_view piece);
    std::wstring Line() const;  // with its CR LF

private:
    std::uint64_t values_ = 0, bytes_ = 0;
    std::uint64_t hash_ = 0xcbf29ce484222325ull;  // FNV-1a, over the UTF-16LE bytes
    bool lineStart_ = true;
};
enum class Ending { kWhole, kMissing, kMismatch };
// text: a whole file, decoded. body: what precedes the closing line (the
// whole text when there is none).
Ending CheckEnding(std::wstring_view text, std::wstring_view& body);

}  // namespace keyscour::undo_file
