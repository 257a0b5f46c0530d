#include "ui/plain_controls.h"

#include <string>

#include "base/win32_handles.h"
#include "ui/window_text.h"

namespace keyscour::plain_controls {

namespace {

// The font set with WM_SETFONT lives in the window's extra bytes.
constexpr int kFontSlot = 0;

void PaintFrame(HWND frame, HDC dc) {
    RECT rect{};
    GetClientRect(frame, &rect);
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

    auto font = reinterpret_cast<HFONT>(GetWindowLongPtrW(frame, kFontSlot));
    const ScopedSelection selected(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);

    // The border runs through the middle of the caption's line.
    RECT border = rect;
    border.top += metrics.tmHeight / 2;
    DrawEdge(dc, &border, EDGE_ETCHED, BF_RECT);

    const std::wstring caption = WindowText(frame);
    if (!caption.empty()) {
        const int shown = static_cast<int>(caption.size());
        SIZE space{}, size{};
        GetTextExtentPoint32W(dc, L" ", 1, &space);
        GetTextExtentPoint32W(dc, caption.c_str(), shown, &size);
        // White a space wide on either side keeps the border off the text.
        const int left = metrics.tmAveCharWidth;
        RECT gap{left, 0, left + size.cx + 2 * space.cx, metrics.tmHeight};
        FillRect(dc, &gap, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        TextOutW(dc, left + space.cx, 0, caption.c_str(), shown);
    }
}

LRESULT CALLBACK FrameProcedure(HWND frame, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETFONT:
        SetWindowLongPtrW(frame, kFontSlot, static_cast<LONG_PTR>(wParam));
        if (LOWORD(lParam)) InvalidateRect(frame, nullptr, TRUE);
        return 0;
    case WM_GETFONT:
        return GetWindowLongPtrW(frame, kFontSlot);
    case WM_SETTEXT: {
        const LRESULT result = DefWindowProcW(frame, message, wParam, lParam);
        InvalidateRect(frame, nullptr, TRUE);
        return result;
    }
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT fills the whole frame
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(frame, &paint);
        PaintFrame(frame, dc);
        EndPaint(frame, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintFrame(frame, reinterpret_cast<HDC>(wParam));
        return 0;
    default:
        return DefWindowProcW(frame, message, wParam, lParam);
    }
}

bool RegisterOne(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, int extraBytes) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = procedure;
    wc.cbWndExtra = extraBytes;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool Register(HINSTANCE instance) {
    static const bool registered = RegisterOne(instance, kFrameClass, FrameProcedure, sizeof(LONG_PTR)) &&
                                   RegisterOne(instance, kPictureClass, DefWindowProcW, 0);
    return registered;
}

}  // namespace keyscour::plain_controls
