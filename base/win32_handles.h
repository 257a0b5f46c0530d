#pragma once
// Owners for the platform's handles, all one template with a close policy.
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

using unique_hkey = unique_handle<Win32HandleTraits<HKEY, &RegCloseKey>>;
using unique_hwnd = unique_handle<Win32HandleTraits<HWND, &DestroyWindow>>;
using unique_hfont = unique_handle<Win32HandleTraits<HFONT, &DeleteGdiObject<HFONT>>>;
using unique_hbitmap = unique_handle<Win32HandleTraits<HBITMAP, &DeleteGdiObject<HBITMAP>>>;
using unique_hbrush = unique_handle<Win32HandleTraits<HBRUSH, &DeleteGdiObject<HBRUSH>>>;
using unique_hcursor = unique_handle<Win32HandleTraits<HCURSOR, &DestroyCursor>>;
using unique_hicon = unique_handle<Win32HandleTraits<HICON, &DestroyIcon>>;
using unique_hmodule = unique_handle<Win32HandleTraits<HMODULE, &FreeLibrary>>;

}  // namespace keyscour
