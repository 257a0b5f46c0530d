#pragma once
// Unicode text onto the clipboard.

#include <windows.h>

#include <string>

namespace keyscour::clipboard {

bool PutText(HWND owner, const std::wstring& text);

}  // namespace keyscour::clipboard
