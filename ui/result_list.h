#pragma once
// ListView1, the result list: one row per hit, in report view. The kind of
// hit stays with its row in the item data, unseen.

#include <windows.h>

#include <cstdint>
#include <string>

#include "ui/twips.h"

namespace keyscour::result_list {

HWND Create(HWND parent, int id, const RECT& pixels, const Twips& twips);

void AddRow(HWND list, const std::wstring& rootKey, const std::wstring& key, const std::wstring& value,
            std::int32_t found);
void Clear(HWND list);

int RowCount(HWND list);
std::wstring Text(HWND list, int row, int column);  // column 0 is the item text
std::int32_t Kind(HWND list, int row);
bool IsSelected(HWND list, int row);

// Column widths in twips: a quarter, a half and a quarter of the list.
void FitColumns(HWND list, const Twips& twips);

}  // namespace keyscour::result_list
