// The result list's commands: its context menu, copying, regedit, exports,
// select all; and Esc, which stops a search. None writes to the registry
// but regedit's own remembered key, and none changes the rows.

#include <windows.h>
#include <commctrl.h>

#include "base/error_numbers.h"
#include "base/numbered_error.h"
#include "base/utf16.h"
#include "base/win32_handles.h"
#include "registry/root_keys.h"
#include "ui/clipboard.h"
#include "ui/form1.h"
#include "ui/list_commands.h"
#include "ui/result_list.h"
#include "ui/row_export.h"

namespace keyscour {

namespace {

using namespace design;

constexpr std::int32_t kErrorExportNotWritten = error_number::kExportNotWritten;

void WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!ok) throw NumberedError(kErrorExportNotWritten + static_cast<std::int32_t>(error), L"Could not write " + path);
}

}  // namespace

void Form1::OnContextMenu(HWND over, int x, int y) {
    HWND list = Control(kListView1);
    if (over != list) return;
    SyncListCount();
    POINT at{x, y};
    if (x == -1 && y == -1) {
        // From the keyboard: at the focused row, or the list's corner.
        RECT rect{0, 0, 0, 0};
        const int focused = ListView_GetNextItem(list, -1, LVNI_FOCUSED);
        if (focused >= 0) ListView_GetItemRect(list, focused, &rect, LVIR_LABEL);
        at = {rect.left + 8, rect.bottom};
        ClientToScreen(list, &at);
    }
    const bool anySelected = ListView_GetSelectedCount(list) > 0;
    HMENU menu = list_commands::Create(anySelected, rows_.Count() > 0);
    if (!menu) return;
    // The choice comes back as WM_COMMAND, as from any menu.
    TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_LEFTALIGN, at.x, at.y, 0, hwnd_, nullptr);
    DestroyMenu(menu);
}

void Form1::OnEscape() {
    // Esc stops a search, as the stop button does; while idle it does nothing.
    if (Text(kCommand1) == L"&Stop Search") Command1_Click();
}

void Form1::ListCommand(int command) {
    SyncListCount();
    try {
        switch (command) {
        case list_commands::kCopy: CopyRows(); break;
        case list_commands::kCopyKeyPath: CopyKeyPaths(); break;
        case list_commands::kOpenInRegedit: OpenInRegistryEditor(); break;
        case list_commands::kExportSelected: ExportRows(true); break;
        case list_commands::kExportAll: ExportRows(false); break;
        case list_commands::kSelectAll: SelectAllRows(); break;
        default: break;
        }
    } catch (const NumberedError& error) {
        ReportError(error.Number(), error.Description());
    } catch (const std::bad_alloc&) {
        ReportError(7, L"Out of memory");
    } catch (...) {
        ReportError(51, L"Internal error");
    }
}

std::vector<std::size_t> Form1::SelectedRows() const {
    std::vector<std::size_t> rows;
    for (int row : result_list::SelectedRows(Control(kListView1)))
        if (static_cast<std::size_t>(row) < rows_.Count()) rows.push_back(static_cast<std::size_t>(row));
    return rows;
}

void Form1::CopyRows() {
    const auto rows = SelectedRows();
    if (!rows.empty()) clipboard::PutText(hwnd_, row_export::TabSeparated(rows_, rows));
}

void Form1::CopyKeyPaths() {
    std::wstring text;
    for (std::size_t row : SelectedRows()) text += (text.empty() ? L"" : L"\r\n") + row_export::KeyPath(rows_, row);
    if (!text.empty()) clipboard::PutText(hwnd_, text);
}

void Form1::OpenInRegistryEditor() {
    HWND list = Control(kListView1);
    int row = ListView_GetNextItem(list, -1, LVNI_FOCUSED | LVNI_SELECTED);
    if (row < 0) row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.Count()) return;
    // regedit opens at the key it remembers from its last close.
    const std::wstring lastKey = L"Computer\\" + row_export::KeyPath(rows_, static_cast<std::size_t>(row));
    KeyHandle key = 0;
    if (registry_.CreateKey(kCurrentUser, list_commands::kRegeditKey, key) == status::kSuccess) {
        const auto owner = AdoptKey(registry_, key);
        auto data = EncodeUtf16Le(lastKey);
        data.insert(data.end(), {0, 0});
        registry_.SetValue(key, list_commands::kRegeditLastKey, value_type::kString, data.data(),
                           static_cast<std::uint32_t>(data.size()));
    }
    options_.shellExecute(hwnd_, L"open", L"regedit.exe", L"", L"", SW_SHOWNORMAL);
}

void Form1::ExportRows(bool selectedOnly) {
    std::vector<std::size_t> rows;
    if (selectedOnly) {
        rows = SelectedRows();
    } else {
        for (std::size_t row = 0; row < rows_.Count(); ++row) rows.push_back(row);
    }
    if (rows.empty()) return;
    const auto target = options_.saveFile(hwnd_, selectedOnly ? L"Export Selected" : L"Export All");
    if (!target) return;
    if (target->second == 2) {
        WriteWholeFile(target->first, row_export::Csv(registry_, rows_, rows));
    } else {
        const std::wstring script = L"\xFEFF" + row_export::RegScript(registry_, rows_, rows);
        const auto bytes = EncodeUtf16Le(script);
        WriteWholeFile(target->first, std::string(bytes.begin(), bytes.end()));
    }
}

void Form1::SelectAllRows() {
    ListView_SetItemState(Control(kListView1), -1, LVIS_SELECTED, LVIS_SELECTED);
}

LRESULT CALLBACK Form1::ListProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId,
                                      DWORD_PTR self) {
    // Ctrl+C and Ctrl+A while the list has the focus; elsewhere they keep
    // their meaning in the text boxes.
    if (message == WM_KEYDOWN && (GetKeyState(VK_CONTROL) & 0x8000) && (wParam == 'C' || wParam == 'A')) {
        reinterpret_cast<Form1*>(self)->ListCommand(wParam == 'C' ? list_commands::kCopy : list_commands::kSelectAll);
        return 0;
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(list, &Form1::ListProcedure, subclassId);
    return DefSubclassProc(list, message, wParam, lParam);
}

}  // namespace keyscour
