#pragma once
// The undo file of a replace: the registry script of what it overwrites,
// written and flushed to disk before the first write.

#include <cstdint>
#include <string>

namespace keyscour::undo_file {

// Errors: the base plus the platform's error code.
inline constexpr std::int32_t kErrorNotWritten = static_cast<std::int32_t>(0x80040000u) + 3000;

// %LOCALAPPDATA%\Quillon Keyscour\Undo on Windows;
// $XDG_STATE_HOME/quillon-keyscour/undo elsewhere (~/.local/state/...).
std::wstring DefaultFolder();

// Writes script as UTF-16LE with a byte order mark into a new file in folder
// (created where missing), named by the local date and time, and flushes it
// to the disk. Returns the file's path; throws NumberedError when the file
// cannot be written whole, and then leaves no file behind.
std::wstring Write(const std::wstring& folder, const std::wstring& script);

}  // namespace keyscour::undo_file
