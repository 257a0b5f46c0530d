#include "ui/status_label.h"

#include <commctrl.h>

#include <algorithm>

#include "base/win32_handles.h"
#include "ui/window_text.h"

namespace keyscour {

void StatusLabel::Attach(HWND label) {
    label_ = label;
    text_ = WindowText(label);
    SetWindowSubclass(label, &StatusLabel::Procedure, 0, reinterpret_cast<DWORD_PTR>(this));
}

void StatusLabel::SetText(const std::wstring& text) {
    text_ = text;
    dirty_ = true;
    if (!held_) Flush();
}

void StatusLabel::HoldPainting(bool hold) {
    held_ = hold;
    if (!hold) Flush();
}

void StatusLabel::Flush() {
    if (!dirty_ || !label_) return;
    dirty_ = false;
    InvalidateRect(label_, nullptr, TRUE);
}

void StatusLabel::Paint(HDC dc) const {
    RECT client{};
    GetClientRect(label_, &client);
    // The parent chooses colours and the background, as for any label.
    auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(GetParent(label_), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(label_)));
    FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
    const ScopedSelection font(dc, reinterpret_cast<HFONT>(SendMessageW(label_, WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    const std::wstring shown = ShortenedInTheMiddle(dc, text_, client.right - client.left);
    DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &client, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
}

std::wstring ShortenedInTheMiddle(HDC dc, const std::wstring& text, int width) {
    auto fits = [dc, width](const std::wstring& candidate) {
        SIZE size{};
        GetTextExtentPoint32W(dc, candidate.c_str(), static_cast<int>(candidate.size()), &size);
        return size.cx <= width;
    };
    if (fits(text)) return text;
    // Both ends of a key path say the most: its root and the key itself.
    auto keeping = [&text](std::size_t kept) {
        const std::size_t head = (kept + 1) / 2;
        return text.substr(0, head) + L"\u2026" + text.substr(text.size() - (kept - head));
    };
    std::size_t low = 0, high = text.size();  // keeping low characters fits; high does not
    while (high - low > 1) {
        const std::size_t middle = (low + high) / 2;
        (fits(keeping(middle)) ? low : high) = middle;
    }
    return keeping(low);
}

LRESULT CALLBACK StatusLabel::Procedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                        DWORD_PTR data) {
    auto& self = *reinterpret_cast<StatusLabel*>(data);
    switch (message) {
    case WM_SETTEXT:
        self.SetText(lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
        return TRUE;
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(self.text_.size());
    case WM_GETTEXT: {
        if (wParam == 0) return 0;
        const std::size_t count = std::min<std::size_t>(self.text_.size(), wParam - 1);
        auto* buffer = reinterpret_cast<wchar_t*>(lParam);
        std::copy_n(self.text_.c_str(), count, buffer);
        buffer[count] = L'\0';
        return static_cast<LRESULT>(count);
    }
    case WM_ERASEBKGND:
        return 1;  // painted whole in WM_PAINT
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(label, &paint);
        self.Paint(dc);
        EndPaint(label, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        self.Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_NCDESTROY:
        RemoveWindowSubclass(label, &StatusLabel::Procedure, id);
        self.label_ = nullptr;
        break;
    default:
        break;
    }
    return DefSubclassProc(label, message, wParam, lParam);
}

}  // namespace keyscour
