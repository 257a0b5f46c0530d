#pragma once
// The result list's context menu: its commands, their captions and keys.

#include <windows.h>

namespace keyscour::list_commands {

enum Command : int {
    kCopy = 40001,
    kCopyKeyPath,
    kOpenInRegedit,
    kExportSelected,
    kExportAll,
    kSelectAll,
};

// The menu, with items that cannot act on what is listed and selected greyed.
HMENU Create(bool anySelected, bool anyRows);

// regedit opens where it was last closed: its own remembered key.
inline constexpr wchar_t kRegeditKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
inline constexpr wchar_t kRegeditLastKey[] = L"LastKey";

}  // namespace keyscour::list_commands
