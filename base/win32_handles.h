#pragma once
// Owners for the platform's handles, all one template with a close policy,
// and the scope of a GDI selection.
// Predefined root keys are plain values and never owned.

#include <windows.h>

#include "base/unique_handle.h"

namespace keyscour {

template <typename Handle, auto Close>
struct Win32HandleTraits {
    using pointer = Handle;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer handle) noexcept { Close(handle); }
};

// Named, not a lambda, so that classes holding these stay free of
// internal-linkage types.
template <typename Object>
inline void DeleteGdiObject(Object object) noexcept {
    DeleteObject(object);
}

// A file: CreateFileW fails with INVALID_HANDLE_VALUE, not null.
struct Win32FileTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer file) noexcept { CloseHandle(file); }
};
using unique_hfile = unique_handle<Win32FileTraits>;

using unique_hkey = unique_handle<Win32HandleTraits<HKEY, &RegCloseKey>>;
using unique_hwnd = unique_handle<Win32HandleTraits<HWND, &DestroyWindow>>;
using unique_hfont = unique_handle<Win32HandleTraits<HFONT, &DeleteGdiObject<HFONT>>>;
using unique_hbitmap = unique_handle<Win32HandleTraits<HBITMAP, &DeleteGdiObject<HBITMAP>>>;
using unique_hbrush = unique_handle<Win32HandleTraits<HBRUSH, &DeleteGdiObject<HBRUSH>>>;
using unique_hcursor = unique_handle<Win32HandleTraits<HCURSOR, &DestroyCursor>>;
using unique_hicon = unique_handle<Win32HandleTraits<HICON, &DestroyIcon>>;
using unique_hmodule = unique_handle<Win32HandleTraits<HMODULE, &FreeLibrary>>;
using unique_hdc = unique_handle<Win32HandleTraits<HDC, &DeleteDC>>;  // a DC made, not one borrowed

// An object selected into a DC for one scope; the old one goes back at its end.
class ScopedSelection {
public:
    ScopedSelection(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(object ? SelectObject(dc, object) : nullptr) {}
    ~ScopedSelection() {
        if (old_) SelectObject(dc_, old_);
    }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

}  // namespace keyscour
