#include "ui/list_commands.h"

namespace keyscour::list_commands {

HMENU Create(bool anySelected, bool anyRows) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    const UINT selected = anySelected ? MF_ENABLED : MF_GRAYED;
    const UINT rows = anyRows ? MF_ENABLED : MF_GRAYED;
    AppendMenuW(menu, MF_STRING | selected, kCopy, L"&Copy\tCtrl+C");
    AppendMenuW(menu, MF_STRING | selected, kCopyKeyPath, L"Copy &Key Path");
    AppendMenuW(menu, MF_STRING | selected, kOpenInRegedit, L"&Open in Registry Editor");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | selected, kExportSelected, L"Export &Selected...");
    AppendMenuW(menu, MF_STRING | rows, kExportAll, L"Export &All...");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | rows, kSelectAll, L"Select A&ll\tCtrl+A");
    return menu;
}

}  // namespace keyscour::list_commands
