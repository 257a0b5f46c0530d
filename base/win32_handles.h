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

using unique_hkey = unique_handle<Win32HandleTraits<HKEY, &RegCloseKey>>;
using unique_hwnd = unique_handle<Win32HandleTraits<HWND, &DestroyWindow>>;
using unique_hfont = unique_handle<Win32HandleTraits<HFONT, [](HFONT font) { DeleteObject(font); }>>;
using unique_hbitmap = unique_handle<Win32HandleTraits<HBITMAP, [](HBITMAP bitmap) { DeleteObject(bitmap); }>>;
using unique_hbrush = unique_handle<Win32HandleTraits<HBRUSH, [](HBRUSH brush) { DeleteObject(brush); }>>;
using unique_hcursor = unique_handle<Win32HandleTraits<HCURSOR, &DestroyCursor>>;
using unique_hicon = unique_handle<Win32HandleTraits<HICON, &DestroyIcon>>;
using unique_hmodule = unique_handle<Win32HandleTraits<HMODULE, &FreeLibrary>>;

}  // namespace keyscour
