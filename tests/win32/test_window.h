#pragma once
// A plain top-level window for tests to host controls in.

#include <windows.h>

#include <string>
#include <vector>

#include "base/win32_handles.h"

namespace keyscour::testing {

inline unique_hwnd MakeHostWindow(int width, int height) {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = L"KeyscourTestHost";
        return RegisterClassExW(&wc);
    }();
    (void)atom;
    return unique_hwnd(CreateWindowExW(0, L"KeyscourTestHost", L"host", WS_POPUP | WS_VISIBLE, 100, 100, width,
                                       height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
}

inline std::vector<HWND> ChildrenOfClass(HWND parent, const wchar_t* className) {
    struct Search {
        const wchar_t* className;
        std::vector<HWND> found;
    } search{className, {}};
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM data) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(data);
            wchar_t name[64] = {};
            GetClassNameW(child, name, 64);
            if (lstrcmpiW(name, s.className) == 0) s.found.push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The child's rectangle in its parent's client coordinates.
inline RECT RectInParent(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The pixels a window paints of itself, through WM_PRINTCLIENT.
inline std::vector<COLORREF> Printed(HWND window, const RECT& area) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    RECT client{};
    GetClientRect(window, &client);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
    std::vector<COLORREF> pixels;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x) pixels.push_back(GetPixel(dc, x, y));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixels;
}

inline void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace keyscour::testing
