#include "ui/clipboard.h"

#include <cstring>

namespace keyscour::clipboard {

bool PutText(HWND owner, const std::wstring& text) {
    if (!OpenClipboard(owner)) return false;
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool put = false;
    if (memory) {
        if (void* target = GlobalLock(memory)) {
            std::memcpy(target, text.c_str(), bytes);
            GlobalUnlock(memory);
            // The clipboard owns the memory once it has taken it.
            put = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!put) GlobalFree(memory);
    }
    CloseClipboard();
    return put;
}

}  // namespace keyscour::clipboard
