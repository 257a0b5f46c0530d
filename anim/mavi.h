#pragma once
// The busy animation: one animation control at a time inside a host window,
// still on its first frame while idle, looping while a search runs. It shows
// no messages; when something fails the host simply stays empty.

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

namespace keyscour::mAVI {

// With a non-zero lResID, sClipSource names the library that holds the clip;
// with 0 it is the path of a clip file.
void OpenAnimation(HWND hWndHost, const std::wstring& sClipSource, std::int32_t lResID, bool bCenter,
                   bool bAutoPlay);
void CloseAnimation();
// Moves the control to the centre of the host at its current size.
void CenterAnimation(HWND hWndHost);
// Initialises common-control classes; only the first call of a process acts.
void InitComCtl(std::int32_t lICC);

// The control of the latest successful open, or null.
HWND AnimationWindow();

// The calls the module makes to acquire and release, so that tests can count
// them. The defaults are the platform's own functions.
struct PlatformCalls {
    HMODULE (*loadLibrary)(const wchar_t* name) = nullptr;
    BOOL (*freeLibrary)(HMODULE module) = nullptr;
    BOOL (*destroyWindow)(HWND window) = nullptr;
    BOOL (*initCommonControlsEx)(const INITCOMMONCONTROLSEX* init) = nullptr;  // null: entry point missing
    void (*initCommonControls)() = nullptr;
};
PlatformCalls& Platform();

}  // namespace keyscour::mAVI
