#include "ui/result_list.h"

#include <commctrl.h>

#include <vector>

#include "ui/form1_design.h"

namespace keyscour::result_list {

namespace {

// Item data: the kind of hit in the low bits, a colour flag, and the colour.
constexpr LPARAM kKindMask = 0x0F;
constexpr LPARAM kHasColour = 0x10;
constexpr int kColourShift = 8;

LPARAM Data(HWND list, int row) {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    ListView_GetItem(list, &item);
    return item.lParam;
}

}  // namespace

HWND Create(HWND parent, int id, const RECT& pixels, const Twips& twips) {
    // Several rows selectable (no LVS_SINGLESEL); the selection shows while
    // the list lacks the focus, since the replace buttons take it.
    HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_TABSTOP | WS_CLIPSIBLINGS | LVS_REPORT | LVS_SHOWSELALWAYS,
                                pixels.left, pixels.top, pixels.right - pixels.left, pixels.bottom - pixels.top,
                                parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    if (!list) return nullptr;
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    ListView_SetTextColor(list, GetSysColor(COLOR_WINDOWTEXT));
    ListView_SetTextBkColor(list, GetSysColor(COLOR_WINDOW));
    ListView_SetBkColor(list, GetSysColor(COLOR_WINDOW));
    int index = 0;
    for (const auto& column : design::kColumns) {
        LVCOLUMNW lvc{};
        lvc.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        lvc.fmt = LVCFMT_LEFT;
        lvc.cx = twips.ToPixels(column.width);
        lvc.pszText = const_cast<wchar_t*>(column.caption);
        ListView_InsertColumn(list, index++, &lvc);
    }
    return list;
}

void AddRow(HWND list, const std::wstring& rootKey, const std::wstring& key, const std::wstring& value,
            std::int32_t found) {
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(list);
    item.pszText = const_cast<wchar_t*>(rootKey.c_str());
    item.lParam = found & kKindMask;
    const int row = ListView_InsertItem(list, &item);
    if (row < 0) return;
    ListView_SetItemText(list, row, 1, const_cast<wchar_t*>(key.c_str()));
    ListView_SetItemText(list, row, 2, const_cast<wchar_t*>(value.c_str()));
}

void Clear(HWND list) { ListView_DeleteAllItems(list); }

int RowCount(HWND list) { return ListView_GetItemCount(list); }

std::wstring Text(HWND list, int row, int column) {
    // The list gives no length; grow the buffer until the text fits.
    for (std::size_t size = 256;; size *= 4) {
        std::vector<wchar_t> buffer(size);
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = buffer.data();
        item.cchTextMax = static_cast<int>(size);
        const auto length = static_cast<std::size_t>(
            SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)));
        if (length + 1 < size) return std::wstring(buffer.data(), length);
    }
}

std::int32_t Kind(HWND list, int row) { return static_cast<std::int32_t>(Data(list, row) & kKindMask); }

void SetRowColour(HWND list, int row, COLORREF colour) {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.lParam = (Data(list, row) & kKindMask) | kHasColour |
                  static_cast<LPARAM>(colour & 0xFFFFFF) << kColourShift;
    ListView_SetItem(list, &item);
}

std::optional<COLORREF> RowColour(HWND list, int row) {
    const LPARAM data = Data(list, row);
    if (!(data & kHasColour)) return std::nullopt;
    return static_cast<COLORREF>((data >> kColourShift) & 0xFFFFFF);
}

LRESULT CustomDraw(NMLVCUSTOMDRAW& draw) {
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        const LPARAM data = draw.nmcd.lItemlParam;
        if (!(data & kHasColour)) return CDRF_DODEFAULT;
        draw.clrText = static_cast<COLORREF>((data >> kColourShift) & 0xFFFFFF);
        return CDRF_NEWFONT;
    }
    default: return CDRF_DODEFAULT;
    }
}

bool IsSelected(HWND list, int row) { return ListView_GetItemState(list, row, LVIS_SELECTED) & LVIS_SELECTED; }

void FitColumns(HWND list, const Twips& twips) {
    for (int column = 0; column < 3; ++column) {
        RECT rect{};
        GetWindowRect(list, &rect);
        const double width = twips.FromPixels(rect.right - rect.left);
        ListView_SetColumnWidth(list, column, twips.ToPixels(column == 1 ? width / 2 : width / 4));
    }
}

}  // namespace keyscour::result_list
