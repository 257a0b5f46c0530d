#pragma once
// What the result list's commands make of its rows: tab-separated text for
// the clipboard, key paths, and exports of the rows' values as they are in
// the registry now, as a registry script or as CSV.

#include <string>
#include <vector>

#include "registry/registry.h"
#include "ui/result_rows.h"

namespace keyscour::row_export {

// The three columns as shown, one line per row; a cell holding a tab, a
// quote or a line break is quoted with inner quotes doubled, as
// spreadsheets read it.
std::wstring TabSeparated(const ResultRows& rows, const std::vector<std::size_t>& which);

// "HKEY_CURRENT_USER\\Software\\Key": the row's key, without a value's name.
std::wstring KeyPath(const ResultRows& rows, std::size_t row);

// The rows' values read now, in the "Windows Registry Editor Version 5.00"
// form of the undo file; key-name rows as their key's section alone. Values
// that are gone since the search are left out.
std::wstring RegScript(Registry& registry, const ResultRows& rows, const std::vector<std::size_t>& which);

// UTF-8 with a byte order mark: the three columns as shown, then the
// value's type and its whole data read now, quoted as RFC 4180 says.
std::string Csv(Registry& registry, const ResultRows& rows, const std::vector<std::size_t>& which);

}  // namespace keyscour::row_export
