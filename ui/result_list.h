#pragma once
// ListView1, the result list: one row per hit, in report view. The kind of
// hit and the row's text colour stay with the row in its item data.

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <optional>
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

// A text colour for every cell of the row, drawn until the rows are cleared.
void SetRowColour(HWND list, int row, COLORREF colour);
std::optional<COLORREF> RowColour(HWND list, int row);
// The answer to the list's NM_CUSTOMDRAW: coloured rows in their colour.
LRESULT CustomDraw(NMLVCUSTOMDRAW& draw);

// Column widths in twips: a quarter, a half and a quarter of the list.
void FitColumns(HWND list, const Twips& twips);

}  // namespace keyscour::result_list
