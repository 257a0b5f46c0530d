#include "ui/result_list.h"

#include <algorithm>

#include "ui/form1_design.h"

namespace keyscour::result_list {

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);

COLORREF Mix(COLORREF a, COLORREF b) {
    return RGB((GetRValue(a) + GetRValue(b)) / 2, (GetGValue(a) + GetGValue(b)) / 2, (GetBValue(a) + GetBValue(b)) / 2);
}

}  // namespace

HWND Create(HWND parent, int id, const RECT& pixels, const Twips& twips) {
    // Several rows selectable (no LVS_SINGLESEL); the selection shows while
    // the list lacks the focus, since the replace buttons take it.
    HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_TABSTOP | WS_CLIPSIBLINGS | LVS_REPORT | LVS_SHOWSELALWAYS |
                                    LVS_OWNERDATA,
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

void SetCount(HWND list, std::size_t count) {
    if (static_cast<std::size_t>(RowCount(list)) == count) return;
    ListView_SetItemCountEx(list, static_cast<int>(count), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

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

bool IsSelected(HWND list, int row) { return ListView_GetItemState(list, row, LVIS_SELECTED) & LVIS_SELECTED; }

std::vector<int> SelectedRows(HWND list) {
    std::vector<int> rows;
    rows.reserve(static_cast<std::size_t>(ListView_GetSelectedCount(list)));
    for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(list, row, LVNI_SELECTED))
        rows.push_back(row);
    return rows;
}

void FillDisplayInfo(NMLVDISPINFOW& info, const ResultRows& rows) {
    LVITEMW& item = info.item;
    if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
    if (item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= rows.Count()) {
        item.pszText[0] = L'\0';
        return;
    }
    const std::wstring_view text = rows.Column(static_cast<std::size_t>(item.iItem), item.iSubItem);
    const std::size_t count = std::min<std::size_t>(text.size(), static_cast<std::size_t>(item.cchTextMax) - 1);
    std::copy_n(text.data(), count, item.pszText);
    item.pszText[count] = L'\0';
}

LRESULT CustomDraw(NMLVCUSTOMDRAW& draw, const ResultRows& rows) {
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        const std::size_t row = draw.nmcd.dwItemSpec;
        const bool red = row < rows.Count() && rows.Red(row);
        HWND list = draw.nmcd.hdr.hwndFrom;
        const bool selected = (draw.nmcd.uItemState & CDIS_SELECTED) != 0;
        if (!red && !selected) return CDRF_DODEFAULT;
        if (selected) {
            // The list would paint its own selection colours over ours;
            // without the focus they are nearly white on white.
            draw.nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
            const bool focused = GetFocus() == list;
            const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
            draw.clrTextBk = focused ? highlight : Mix(highlight, GetSysColor(COLOR_WINDOW));
            draw.clrText = focused ? GetSysColor(COLOR_HIGHLIGHTTEXT) : GetSysColor(COLOR_WINDOWTEXT);
        }
        if (red) draw.clrText = kRed;
        return CDRF_NEWFONT;
    }
    default: return CDRF_DODEFAULT;
    }
}

void FitColumns(HWND list, const Twips& twips) {
    for (int column = 0; column < 3; ++column) {
        RECT rect{};
        GetWindowRect(list, &rect);
        const double width = twips.FromPixels(rect.right - rect.left);
        ListView_SetColumnWidth(list, column, twips.ToPixels(column == 1 ? width / 2 : width / 4));
    }
}

}  // namespace keyscour::result_list
