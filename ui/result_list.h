#pragma once
// ListView1, the result list: one row per hit, in report view. It is an
// owner-data list: the rows live in a ResultRows the window owns, and the
// list asks for their texts (LVN_GETDISPINFO) and colours (NM_CUSTOMDRAW).
// Selection and focus stay the list's own, so other programs read and set
// them with the usual list messages.

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "ui/result_rows.h"
#include "ui/twips.h"

namespace keyscour::result_list {

HWND Create(HWND parent, int id, const RECT& pixels, const Twips& twips);

// Tells the list how many rows there are; rows it knew keep their state.
void SetCount(HWND list, std::size_t count);
int RowCount(HWND list);
// A cell as the list shows it, read through the list as any program would.
std::wstring Text(HWND list, int row, int column);
bool IsSelected(HWND list, int row);
// The selected rows in order, found range by range rather than row by row.
std::vector<int> SelectedRows(HWND list);

// The answers to the list's questions about rows.
void FillDisplayInfo(NMLVDISPINFOW& info, const ResultRows& rows);
// Red rows in red; selected rows in a colour that shows with and without
// the focus, since the replace buttons act on them after taking it.
LRESULT CustomDraw(NMLVCUSTOMDRAW& draw, const ResultRows& rows);

// Column widths in twips: a quarter, a half and a quarter of the list.
void FitColumns(HWND list, const Twips& twips);

}  // namespace keyscour::result_list
